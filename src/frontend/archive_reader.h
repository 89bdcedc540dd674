// The pull side of a whole ELQ file, for the library: the caller asks for frames as it needs them
// and may seek to any frame. The blocks are found by walking their heads, their length fields
// taken only as hints: each block is confirmed where its range decoder ends, and where a hint is
// wrong the blocks are found by decoding them one after the other.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "foundation/digest.h"
#include "foundation/stream.h"
#include "frontend/block_decoder.h"
#include "frontend/checksum_section.h"
#include "frontend/container.h"

namespace elq {

// Raised for a file this reader does not take: not an ELQ file, or a header it cannot serve.
struct UnsupportedArchive {
    const char* reason;
};

class ArchiveReader {
public:
    // Reads the header and "HEAD" from `in`, which stands at the start of the file and stays the
    // caller's. A `seekable` stream (one that can seek and knows its size) also has its blocks,
    // "TAIL" and the presence of a checksum section found here; otherwise those show only once
    // the last frame has been read, and then the checksum section is checked as it is reached.
    // Not an ELQ file, or a header this reader cannot serve, raises UnsupportedArchive; damage
    // raises an Exception.
    ArchiveReader(InputStream& in, bool seekable);
    ArchiveReader(const ArchiveReader&) = delete;
    ArchiveReader& operator=(const ArchiveReader&) = delete;

    const ContainerHeader& header() const { return header_; }
    uint32_t channels() const { return header_.channels; }
    uint64_t totalFrames() const { return header_.totalSamples / header_.channels; }
    const std::vector<uint8_t>& headBytes() const { return head_; }
    // "TAIL"'s bytes, once known.
    bool tailKnown() const { return tailKnown_; }
    const std::vector<uint8_t>& tailBytes() const { return tail_; }
    // 1 when a checksum section follows "TAIL", 0 when none does, -1 while not known.
    int checksumPresent() const { return checksum_; }
    // The frame the next read starts at.
    uint64_t frame() const { return value_ / header_.channels; }

    // Decodes up to `frames` frames, interleaved, into `out`; returns the count, fewer only at the
    // end of the file. Damage raises an Exception that names the block; a later seek recovers.
    uint32_t read(int32_t* out, uint32_t frames);
    // Makes `frame` (at most totalFrames()) the next one read. A stream that cannot seek goes
    // forward only, by decoding what lies between.
    void seek(uint64_t frame);

    // A stream that cannot seek, read from its start to its end: true when its checksum section
    // was checked and matched (`md5` is then the WAVE file's). Raises the damage found; false
    // when there was no section or the file was not read in one sweep.
    bool checkedInSweep(uint8_t md5[16]);
    bool atEnd() const { return value_ == header_.totalSamples && !inBlock_; }

private:
    struct BlockEntry {
        uint64_t offset;
        uint64_t firstValue;
        uint32_t count;
    };

    void walkHeads();
    void readTail(uint64_t offset);
    // At the total, between blocks: reads the "TAIL" section that must stand there.
    void findTail();
    bool enterNextBlock();
    void enterBlock(uint64_t offset);
    void leaveBlock();
    uint32_t decode(int32_t* out, uint32_t values);
    [[noreturn]] void rethrowDamage(const Exception& e) const;
    // Values of the current block are packed as the WAVE file holds them, for the checksums of
    // a sweep.
    void digestValues(const int32_t* values, uint32_t count);

    InputStream& in_;
    bool seekable_;
    ContainerHeader header_;
    std::vector<uint8_t> head_;
    std::vector<uint8_t> tail_;
    bool tailKnown_ = false;
    int checksum_ = -1;

    // Blocks known so far, in file order; complete_ once they lead to "TAIL" at tailOffset_.
    std::vector<BlockEntry> blocks_;
    bool complete_ = false;
    uint64_t tailOffset_ = 0;
    uint64_t firstBlockOffset_ = 0;

    BlockDecoder block_;
    bool inBlock_ = false;
    size_t blockIndex_ = 0;    // of the current block, or of the next when between blocks
    uint64_t nextOffset_ = 0;  // where the next block or "TAIL" starts, between blocks
    uint64_t value_ = 0;       // values delivered so far
    bool broken_ = false;      // a failure left no position to go on from
    // The block being decoded (its number from 1, 0 for none) and its offset, for reports.
    uint32_t blockNumber_ = 0;
    uint64_t blockOffset_ = 0;

    // The sweep's checksums (streams that cannot seek).
    bool sweeping_ = false;
    Crc32 fileCrc_;
    Crc32 blockCrc_;
    Md5 md5_;
    ArchiveChecksums found_;
    std::string sweepFailure_;
    uint8_t storedMd5_[16] = {};
};

// Decodes the file on `in` (at its start) in full as the --verify test does: damage, a failed
// checksum or an MD5 that differs from the checksum section's raises an Exception. True when a
// checksum section was present; `md5` is the decoded WAVE file's in either case.
bool testArchive(InputStream& in, uint8_t md5[16]);

}  // namespace elq
