#include "frontend/block_format.h"

#include "foundation/exception.h"
#include "wave/sample_type.h"

namespace elq {

namespace {

void putLittleEndian32(uint8_t* p, uint32_t v) {
    p[0] = static_cast<uint8_t>(v);
    p[1] = static_cast<uint8_t>(v >> 8);
    p[2] = static_cast<uint8_t>(v >> 16);
    p[3] = static_cast<uint8_t>(v >> 24);
}

uint32_t littleEndian32(const uint8_t* p) {
    return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 |
           static_cast<uint32_t>(p[2]) << 16 | static_cast<uint32_t>(p[3]) << 24;
}

}  // namespace

void writeBlockHead(uint8_t* head, uint32_t payloadLength, uint32_t count, uint32_t blockWord) {
    putLittleEndian32(head, kCompTag);
    putLittleEndian32(head + 4, payloadLength + 12);
    putLittleEndian32(head + 8, kNoneTag);
    putLittleEndian32(head + 12, count);
    putLittleEndian32(head + 16, blockWord);
}

bool parseBlockHead(const uint8_t* bytes, BlockHead& head) {
    if (littleEndian32(bytes) != kCompTag) return false;
    head.length = littleEndian32(bytes + 4);
    head.count = littleEndian32(bytes + 12);
    head.word = unpackBlockWord(littleEndian32(bytes + 16));
    return true;
}

bool readBlockHead(InputStream& stream, BlockHead& head) {
    const uint64_t start = stream.position();
    uint8_t bytes[kBlockHeadSize];
    if (stream.read(bytes, 4) != 4 || littleEndian32(bytes) != kCompTag) {
        stream.seek(start);
        return false;
    }
    stream.readMin(bytes + 4, kBlockHeadSize - 4, kBlockHeadSize - 4);
    return parseBlockHead(bytes, head);
}

void checkBlockHead(const BlockHead& head) {
    const BlockWord& word = head.word;
    if (word.sampleType >= kSampleTypeCount) throwError(UNKNOWN, "damaged block: unknown sample type");
    if (word.reserved1 != 0 || word.channelCode > 1)
        throwError(UNKNOWN, "damaged block: unknown channel layout");
    if (word.family > 1) throwError(UNKNOWN, "damaged block: unknown residual coder");
    if (word.channelCode == 1 && head.count % 2 != 0)
        throwError(UNKNOWN, "damaged block: odd value count in a stereo block");
}

}  // namespace elq
