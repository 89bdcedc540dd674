#include "frontend/checksum_section.h"

#include <cstring>

#include "frontend/container.h"

namespace elq {

namespace {

constexpr uint32_t kVersion = 1;
// The fields between L and the block CRCs: version, MD5, file, HEAD and TAIL CRCs, K.
constexpr uint32_t kFixedLength = 4 + 16 + 4 + 4 + 4 + 4;

void put32(uint8_t* p, uint32_t v) {
    for (int i = 0; i < 4; ++i)
        p[i] = static_cast<uint8_t>(v >> (8 * i));
}

uint32_t get32(const uint8_t* p) {
    return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 |
           static_cast<uint32_t>(p[2]) << 16 | static_cast<uint32_t>(p[3]) << 24;
}

}  // namespace

void writeChecksumSection(OutputStream& out, const ArchiveChecksums& sums) {
    const uint32_t blocks = static_cast<uint32_t>(sums.blockCrcs.size());
    uint8_t fixed[8 + kFixedLength];
    put32(fixed, kSumsTag);
    put32(fixed + 4, kFixedLength + 4 * blocks + 4);
    put32(fixed + 8, kVersion);
    memcpy(fixed + 12, sums.md5, 16);
    put32(fixed + 28, sums.fileCrc);
    put32(fixed + 32, sums.headCrc);
    put32(fixed + 36, sums.tailCrc);
    put32(fixed + 40, blocks);
    Crc32 own;
    own.update(fixed, sizeof fixed);
    out.write(fixed, sizeof fixed);
    for (uint32_t crc : sums.blockCrcs) {
        uint8_t field[4];
        put32(field, crc);
        own.update(field, 4);
        out.write(field, 4);
    }
    out.writeU32(own.value());
}

void checkChecksumSection(InputStream& in, const ArchiveChecksums& found, uint8_t md5[16]) {
    uint8_t fixed[8 + kFixedLength];
    put32(fixed, kSumsTag);
    in.readMin(fixed + 4, sizeof fixed - 4, sizeof fixed - 4);
    const uint32_t length = get32(fixed + 4), blocks = get32(fixed + 40);
    if (get32(fixed + 8) != kVersion || length != kFixedLength + 4 * static_cast<uint64_t>(blocks) + 4)
        throwDescribed("damaged ELQ file: the checksum section is damaged");
    Crc32 own;
    own.update(fixed, sizeof fixed);
    // The block CRCs are compared as they are read: nothing is allocated for what L claims.
    uint32_t firstBlockDiffering = 0;
    for (uint32_t k = 0; k < blocks; ++k) {
        uint8_t field[4];
        in.readMin(field, 4, 4);
        own.update(field, 4);
        if (firstBlockDiffering == 0 && (k >= found.blockCrcs.size() || get32(field) != found.blockCrcs[k]))
            firstBlockDiffering = k + 1;
    }
    if (in.readU32() != own.value()) throwDescribed("damaged ELQ file: the checksum section is damaged");
    if (get32(fixed + 32) != found.headCrc)
        throwDescribed("damaged ELQ file: the stored WAVE header (HEAD) is damaged");
    if (firstBlockDiffering != 0 && firstBlockDiffering <= found.blockCrcs.size())
        throwDescribed("damaged ELQ file: block %u does not decode to the samples it held",
                       firstBlockDiffering);
    if (get32(fixed + 36) != found.tailCrc)
        throwDescribed("damaged ELQ file: the stored bytes after the samples (TAIL) are damaged");
    if (get32(fixed + 28) != found.fileCrc || blocks != found.blockCrcs.size())
        throwDescribed("damaged ELQ file: the header or a block head is damaged");
    memcpy(md5, fixed + 12, 16);
}

}  // namespace elq
