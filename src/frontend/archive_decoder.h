// The decode side of a whole ELQ file: header, stored "HEAD" bytes, the blocks (on worker threads
// when asked), "TAIL", and the checksum section when one follows. The decode command, the test of
// --verify and the encoder's own verification share it; only where the bytes go differs.
#pragma once

#include <cstdint>

#include "foundation/digest.h"
#include "foundation/stream.h"
#include "frontend/checksum_section.h"
#include "frontend/container.h"
#include "frontend/progress_line.h"

namespace elq {

// Raised for a block whose sample type has no output format ("Type not implemented").
struct TypeNotImplemented {};

// Decodes the one block held in `bytes` (head and payload, `length` bytes in all) and returns the
// CRC of its samples as the WAVE file holds them; damage raises an Exception, and so does a block
// that does not end exactly at `length`.
uint32_t decodedBlockCrc(const uint8_t* bytes, uint32_t length);

class ArchiveDecoder {
public:
    // `in` stands at the start of the file; every byte read from here on is checksummed.
    explicit ArchiveDecoder(InputStream& in);

    // Reads the first four bytes: true when they are the magic.
    bool readMagic();
    // Decodes the rest of the file into `out`. Damage raises an Exception that says where: an
    // UNKNOWN report naming the block (its number from 1 and byte offset) or the part a checksum
    // found changed; a file that ends early raises UNEXPECTEDEOF, and then blockInProgress()
    // tells where.
    void decode(ByteSink& out, uint32_t threads, ProgressLine& line);

    const ContainerHeader& header() const { return header_; }
    // After decode(): true when a checksum section was present and every checksum matched; its
    // MD5 of the WAVE file is then md5().
    bool checksummed() const { return checksummed_; }
    const uint8_t* md5() const { return md5_; }
    // The block being decoded when decode() failed (0: none) and its byte offset.
    uint32_t blockInProgress() const { return block_; }
    uint64_t blockOffset() const { return blockOffset_; }

private:
    friend class BlockWalk;

    InputStream& in_;
    Crc32 fileCrc_;
    ArchiveChecksums found_;
    ContainerHeader header_;
    bool checksummed_ = false;
    uint8_t md5_[16] = {};
    uint32_t block_ = 0;
    uint64_t blockOffset_ = 0;
};

}  // namespace elq
