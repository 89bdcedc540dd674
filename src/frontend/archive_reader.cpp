#include "frontend/archive_reader.h"

#include <cstring>

#include "foundation/exception.h"
#include "frontend/archive_decoder.h"
#include "frontend/block_format.h"
#include "frontend/progress_line.h"
#include "wave/pcm_samples.h"
#include "wave/sample_type.h"

namespace elq {

namespace {

// Collects stored bytes; grows only as bytes arrive, whatever length a damaged field claims.
class VectorSink final : public ByteSink {
public:
    explicit VectorSink(std::vector<uint8_t>& bytes) : bytes_(bytes) { bytes_.clear(); }
    void write(const uint8_t* bytes, uint32_t n) override { bytes_.insert(bytes_.end(), bytes, bytes + n); }

private:
    std::vector<uint8_t>& bytes_;
};

// Values skipped per step when a seek decodes its way forward.
constexpr uint32_t kSkipValues = 4096;

}  // namespace

ArchiveReader::ArchiveReader(InputStream& in, bool seekable) : in_(in), seekable_(seekable) {
    if (!seekable_) {
        in_.startDigest(&fileCrc_);
        sweeping_ = true;
    }
    if (!readMagic(in_)) throw UnsupportedArchive{"not an ELQ file"};
    header_ = readHeaderFields(in_);
    if (header_.channels != 1 && header_.channels != 2)
        throw UnsupportedArchive{"the ELQ header states a channel count other than 1 and 2"};
    if (!isCompressedSampleType(header_.sampleType))
        throw UnsupportedArchive{"the ELQ header states a sample type without a WAVE format"};
    if (header_.totalSamples % header_.channels != 0)
        throwDescribed("damaged ELQ header: an odd value count for two channels");
    in_.readU32();  // the "HEAD" tag, unchecked as decoders of the format do
    VectorSink head(head_);
    Crc32 headCrc;
    copyStoredBytes(in_, head, headCrc);
    found_.headCrc = headCrc.value();
    if (sweeping_ && !head_.empty()) md5_.update(head_.data(), head_.size());
    nextOffset_ = in_.position();
    if (!seekable_) return;

    firstBlockOffset_ = nextOffset_;
    walkHeads();
    // A length field that led astray: the blocks are found by decoding them all once.
    if (!complete_) {
        blocks_.clear();
        seek(totalFrames());
    }
    seek(0);
}

void ArchiveReader::walkHeads() {
    const uint64_t size = in_.size();
    uint64_t at = nextOffset_, values = 0;
    blocks_.clear();
    for (;;) {
        // A size of 0 is not known: a read past the end says so instead.
        if (size != 0 && (size < at || size - at < 4)) return;
        in_.seek(at);
        BlockHead head;
        try {
            if (in_.readU32() == kTailTag) break;
            in_.seek(at);
            if (!readBlockHead(in_, head)) return;
            checkBlockHead(head);
        } catch (const Exception&) {
            return;  // the decoding walk meets the same and reports it
        }
        const uint64_t length = static_cast<uint64_t>(head.length) + 8;
        if (head.word.sampleType != header_.sampleType || head.word.channelCode + 1 != header_.channels ||
            head.count > header_.totalSamples - values || length < kBlockHeadSize + 2)
            return;
        blocks_.push_back({at, values, head.count});
        values += head.count;
        at += length;
    }
    if (values != header_.totalSamples) return;
    readTail(at);
    complete_ = true;
}

void ArchiveReader::readTail(uint64_t offset) {
    if (in_.position() != offset) in_.seek(offset);
    in_.readU32();  // "TAIL", as seen
    VectorSink tail(tail_);
    Crc32 tailCrc;
    copyStoredBytes(in_, tail, tailCrc);
    found_.tailCrc = tailCrc.value();
    tailKnown_ = true;
    tailOffset_ = offset;
    checksum_ = 0;
    if (sweeping_) {
        if (!tail_.empty()) md5_.update(tail_.data(), tail_.size());
        in_.digestUpTo(in_.position());
        found_.fileCrc = fileCrc_.value();
    }
    // Other bytes after "TAIL" are ignored, as decoders of the format ignore them.
    if (in_.atEnd()) return;
    uint8_t tag[4];
    if (in_.read(tag, 4) != 4 || memcmp(tag, "SUMS", 4) != 0) return;
    checksum_ = 1;
    if (!sweeping_) return;
    try {
        if (!in_.digestComplete()) throwDescribed("the file could not be read in order for its checksum");
        checkChecksumSection(in_, found_, storedMd5_);
        uint8_t md5[16];
        md5_.finish(md5);
        if (memcmp(md5, storedMd5_, 16) != 0)
            throwDescribed(
                "damaged ELQ file: the decoded file does not have the MD5 its checksum section holds");
    } catch (const Exception& e) {
        sweepFailure_ =
            e.code == UNKNOWN ? e.description() : "damaged ELQ file: the checksum section is cut short";
    }
}

void ArchiveReader::enterBlock(uint64_t offset) {
    blockNumber_ = static_cast<uint32_t>(blockIndex_ + 1);
    blockOffset_ = offset;
    if (in_.position() != offset) in_.seek(offset);
    if (!block_.readHead(in_)) throwDescribed("no block starts here");
    const BlockHead& head = block_.head();
    if (head.word.sampleType != header_.sampleType || head.word.channelCode + 1 != header_.channels)
        throwDescribed("damaged block: its sample type or channels differ from the file's");
    if (head.count > header_.totalSamples - value_)
        throwDescribed("damaged block: more values than the file holds");
    block_.start(in_);
    inBlock_ = true;
    if (blockIndex_ == blocks_.size()) blocks_.push_back({offset, value_, head.count});
    if (sweeping_) blockCrc_.reset();
}

bool ArchiveReader::enterNextBlock() {
    if (tailKnown_ && nextOffset_ == tailOffset_)
        throwDescribed("damaged ELQ file: its blocks end after %llu of the %llu values its header states",
                       static_cast<unsigned long long>(value_),
                       static_cast<unsigned long long>(header_.totalSamples));
    enterBlock(nextOffset_);
    return true;
}

void ArchiveReader::leaveBlock() {
    block_.finish();
    inBlock_ = false;
    if (sweeping_) found_.blockCrcs.push_back(blockCrc_.value());
    const uint64_t at = in_.position();
    const uint32_t tag = peekTag(in_);
    ++blockIndex_;
    // The range decoder's end confirms the next block's start; a wrong length field had put it
    // elsewhere, and the blocks found through it do not count.
    if (blockIndex_ < blocks_.size() && blocks_[blockIndex_].offset != at) {
        blocks_.resize(blockIndex_);
        complete_ = false;
    }
    nextOffset_ = at;
    blockNumber_ = 0;
    if (tag == kCompTag) return;
    if (tag != kTailTag)
        throwDescribed("damaged ELQ file: block %u (at byte %llu) does not end where the next section begins",
                       static_cast<uint32_t>(blockIndex_), static_cast<unsigned long long>(blockOffset_));
    blocks_.resize(blockIndex_);
    if (!tailKnown_ || tailOffset_ != at) readTail(at);
    complete_ = value_ == header_.totalSamples;
}

void ArchiveReader::digestValues(const int32_t* values, uint32_t count) {
    const uint32_t bytes = pcmBytes(header_.sampleType);
    uint8_t staging[1024 * 4];
    for (uint32_t n; count > 0; values += n, count -= n) {
        n = count < 1024 ? count : 1024;
        const size_t length = static_cast<size_t>(packSamples(values, n, bytes, staging) - staging);
        blockCrc_.update(staging, length);
        md5_.update(staging, length);
    }
}

uint32_t ArchiveReader::decode(int32_t* out, uint32_t values) {
    uint32_t got = 0;
    while (got < values && value_ < header_.totalSamples) {
        if (!inBlock_) enterNextBlock();
        const uint32_t n = block_.read(out + got, values - got);
        if (sweeping_) digestValues(out + got, n);
        got += n;
        value_ += n;
        if (block_.valuesLeft() == 0) leaveBlock();
    }
    return got;
}

void ArchiveReader::rethrowDamage(const Exception& e) const {
    if (blockNumber_ == 0) throw e;
    if (e.code == UNEXPECTEDEOF)
        throwDescribed(
            "the ELQ file ends inside block %u, which starts at byte %llu: it is cut short or damaged",
            blockNumber_, static_cast<unsigned long long>(blockOffset_));
    if (e.code != UNKNOWN) throw e;
    throwDescribed("damaged ELQ file, block %u at byte %llu: %s", blockNumber_,
                   static_cast<unsigned long long>(blockOffset_), e.description());
}

void ArchiveReader::findTail() {
    if (inBlock_ || value_ != header_.totalSamples || tailKnown_) return;
    if (in_.position() != nextOffset_) in_.seek(nextOffset_);
    if (peekTag(in_) != kTailTag)
        throwDescribed("damaged ELQ file: no TAIL section after the last block, at byte %llu",
                       static_cast<unsigned long long>(nextOffset_));
    readTail(nextOffset_);
    complete_ = true;
}

uint32_t ArchiveReader::read(int32_t* out, uint32_t frames) {
    if (broken_) throwDescribed("a read failed before: seek to go on");
    try {
        const uint32_t values = decode(out, frames * header_.channels);
        findTail();  // a file without blocks has its "TAIL" right behind "HEAD"
        return values / header_.channels;
    } catch (const Exception& e) {
        broken_ = true;
        inBlock_ = false;
        rethrowDamage(e);
    }
}

void ArchiveReader::seek(uint64_t frame) {
    if (frame > totalFrames())
        throwDescribed("frame %llu lies beyond the end", static_cast<unsigned long long>(frame));
    const uint64_t target = frame * header_.channels;
    if (!seekable_ && (target < value_ || broken_))
        throw UnsupportedArchive{"a stream that cannot seek goes forward only"};
    try {
        if (seekable_) {
            broken_ = false;
            inBlock_ = false;
            // The last known block that starts at or before the target.
            size_t k = blocks_.size();
            while (k > 0 && blocks_[k - 1].firstValue > target)
                --k;
            if (k == 0 || (complete_ && target == header_.totalSamples)) {
                blockIndex_ = complete_ ? blocks_.size() : 0;
                value_ = complete_ ? header_.totalSamples : 0;
                nextOffset_ = complete_ ? tailOffset_ : firstBlockOffset_;
            } else {
                blockIndex_ = k - 1;
                value_ = blocks_[blockIndex_].firstValue;
                enterBlock(blocks_[blockIndex_].offset);
            }
        }
        // Decoding forward, through blocks not known before where the target lies beyond them.
        int32_t scratch[kSkipValues];
        while (value_ < target) {
            const uint64_t left = target - value_;
            decode(scratch, left < kSkipValues ? static_cast<uint32_t>(left) : kSkipValues);
        }
        if (seekable_) findTail();
    } catch (const Exception& e) {
        broken_ = true;
        inBlock_ = false;
        rethrowDamage(e);
    }
}

bool ArchiveReader::checkedInSweep(uint8_t md5[16]) {
    if (!sweeping_ || !tailKnown_) return false;
    if (!sweepFailure_.empty()) throwDescribed("%s", sweepFailure_.c_str());
    if (checksum_ != 1) return false;
    memcpy(md5, storedMd5_, 16);
    return true;
}

bool testArchive(InputStream& in, uint8_t md5[16]) {
    ArchiveDecoder decoder(in);
    if (!decoder.readMagic()) throw UnsupportedArchive{"not an ELQ file"};
    Md5Sink sink;
    ProgressLine line("", true);
    try {
        decoder.decode(sink, 1, line);
    } catch (const TypeNotImplemented&) {
        throwDescribed("damaged ELQ file: a block has a sample type without a WAVE format");
    } catch (const Exception& e) {
        if (e.code != UNEXPECTEDEOF || decoder.blockInProgress() == 0) throw;
        throwDescribed(
            "the ELQ file ends inside block %u, which starts at byte %llu: it is cut short or damaged",
            decoder.blockInProgress(), static_cast<unsigned long long>(decoder.blockOffset()));
    }
    sink.md5.finish(md5);
    if (decoder.checksummed() && memcmp(md5, decoder.md5(), 16) != 0)
        throwDescribed("damaged ELQ file: the decoded file does not have the MD5 its checksum section holds");
    return decoder.checksummed();
}

}  // namespace elq
