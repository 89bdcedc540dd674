// The optional checksum section an encoder appends after "TAIL": an MD5 of the whole WAVE file
// and CRC-32s of every part, so that any changed byte is found and named. Decoders that stop after
// "TAIL" never see it; what precedes it is a complete ELQ file on its own.
//
// Layout (little-endian): "SUMS", L (the bytes after this field, 40 + 4K), the version (1), the
// MD5 (16 bytes), the CRC of every ELQ byte before the section, the CRCs of the stored "HEAD" and
// "TAIL" bytes, K, the CRCs of the K blocks' decoded sample bytes (in the WAVE file's own
// format), and last the CRC of the section's own bytes before it.
#pragma once

#include <cstdint>
#include <vector>

#include "foundation/stream.h"

namespace elq {

struct ArchiveChecksums {
    uint8_t md5[16] = {};
    uint32_t fileCrc = 0;  // every ELQ byte before the section
    uint32_t headCrc = 0;
    uint32_t tailCrc = 0;
    std::vector<uint32_t> blockCrcs;
};

void writeChecksumSection(OutputStream& out, const ArchiveChecksums& sums);

// Reads the section at the stream's position, behind its "SUMS" tag, and compares it with what
// decoding found (`found.md5` is not compared). Raises an UNKNOWN report naming the first part
// that differs, in file order: "HEAD", a block by its number, "TAIL", then the header (a fixed
// field or a block head); or the section itself when its own CRC fails. Returns the stored MD5.
void checkChecksumSection(InputStream& in, const ArchiveChecksums& found, uint8_t md5[16]);

}  // namespace elq
