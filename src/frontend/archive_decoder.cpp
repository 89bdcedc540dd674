#include "frontend/archive_decoder.h"

#include <atomic>
#include <cstring>
#include <memory>
#include <vector>

#include "foundation/allocator.h"
#include "foundation/exception.h"
#include "frontend/block_format.h"
#include "frontend/stream_decoder.h"
#include "frontend/worker_pool.h"
#include "wave/pcm_samples.h"

namespace elq {

namespace {

// Raised on a worker for a block it leaves to the sequential decoder, which decodes it in its
// turn with the output and report one thread gives.
struct DecodeSequentially {};

// Writes decoded values in the block's sample type, keeps each block's CRC and the progress line.
class SampleWriter : public BlockSink {
public:
    SampleWriter(ByteSink& out, uint64_t total, ProgressLine& line, std::vector<uint32_t>& blockCrcs)
        : out_(out), total_(total), line_(line), blockCrcs_(blockCrcs) {}

    // What the header says is still to come bounds every block: a damaged head must not make
    // the decoder produce without bound.
    uint64_t valuesLeft() const { return total_ - samplesDone_; }
    uint32_t blocksDone() const { return static_cast<uint32_t>(blockCrcs_.size()); }

    void beginBlock(uint32_t count, uint32_t sampleType, uint32_t) override {
        if (count > valuesLeft()) throwError(UNKNOWN, "damaged block: more values than the file holds");
        bytes_ = pcmBytes(sampleType);
        if (bytes_ == 0) throw TypeNotImplemented{};
        blockCount_ = count;
        crc_.reset();
    }

    void putSamples(const int32_t* values, uint32_t count) override {
        uint8_t staging[kRoundValues * 4];
        while (count > 0) {
            uint32_t n = count < kRoundValues ? count : kRoundValues;
            uint8_t* end = packSamples(values, n, bytes_, staging);
            out_.write(staging, static_cast<uint32_t>(end - staging));
            crc_.update(staging, static_cast<size_t>(end - staging));
            values += n;
            count -= n;
        }
    }

    void endBlock() {
        samplesDone_ += blockCount_;
        blockCount_ = 0;
        blockCrcs_.push_back(crc_.value());
    }

    // A block decoded elsewhere: its values packed into `bytes`, `bytesPerValue` each, in the
    // pieces the decoder handed over. They go out in the very writes putSamples makes, so that
    // the output stream flushes at the same points and a later failure leaves the same file.
    void putBlock(const uint8_t* bytes, uint32_t bytesPerValue, const std::vector<uint32_t>& pieces,
                  uint32_t crc) {
        for (uint32_t piece : pieces) {
            for (uint32_t left = piece; left > 0;) {
                uint32_t n = left < kRoundValues ? left : kRoundValues;
                out_.write(bytes, n * bytesPerValue);
                bytes += n * bytesPerValue;
                left -= n;
            }
            samplesDone_ += piece;
        }
        blockCrcs_.push_back(crc);
    }

    // Shows `done` values of the whole file (finished blocks and parts of blocks) as per cent.
    void show(double done) { line_.show(done * 100 / (static_cast<double>(total_) + 1)); }
    uint64_t samplesDone() const { return samplesDone_; }

    static void report(void* context, double fraction) {
        auto* self = static_cast<SampleWriter*>(context);
        double d = static_cast<double>(self->total_) + 1;
        double lo = static_cast<double>(self->samplesDone_) * 100 / d;
        double hi = (static_cast<double>(self->samplesDone_) + self->blockCount_) * 100 / d;
        self->line_.show((hi - lo) * fraction + lo);
    }
    ProgressSink progress() { return {&SampleWriter::report, this}; }

private:
    // Values packed and written at a time.
    static constexpr uint32_t kRoundValues = 1024;

    ByteSink& out_;
    uint64_t total_;
    ProgressLine& line_;
    std::vector<uint32_t>& blockCrcs_;
    Crc32 crc_;
    uint32_t bytes_ = 0;
    uint32_t blockCount_ = 0;
    uint64_t samplesDone_ = 0;
};

// Blocks decoded in parallel are limited to this many values and to this many bytes per value
// (plus a little), so that the blocks in flight hold bounded memory whatever their heads claim;
// a block beyond either limit is decoded by the sequential decoder in pieces.
constexpr uint32_t kMaxParallelValues = 1u << 21;
constexpr uint64_t kMaxParallelBytesPerValue = 8;
constexpr uint64_t kParallelBytesSlack = 1u << 16;

// One block decoded on a worker from a copy of its bytes.
struct DecodeSlot : Job {
    uint32_t length = 0;  // L + 8, the block's bytes as its head claims
    uint32_t count = 0;   // values, as its head claims
    Buffer<uint8_t> compressed;
    Buffer<uint8_t> decoded;  // the values in the output's bytes
    uint32_t bytesPerValue = 0;
    uint32_t crc = 0;              // of the decoded bytes
    std::vector<uint32_t> pieces;  // values per piece the decoder handed over
    bool confirmed = false;        // the range decoder finished exactly at the claimed end
    // Progress only: a 32-bit atomic stays lock-free on every target without libatomic.
    std::atomic<float> fraction{0};
    std::atomic<bool> abandoned{false};
    const WorkerPool* pool = nullptr;

    static void report(void* context, double fraction) {
        auto* self = static_cast<DecodeSlot*>(context);
        if (self->abandoned.load(std::memory_order_relaxed) || self->pool->cancelled()) throw JobCancelled{};
        self->fraction.store(static_cast<float>(fraction), std::memory_order_relaxed);
    }
};

// Packs a worker's decoded values into its slot.
class SlotSink : public BlockSink {
public:
    explicit SlotSink(DecodeSlot& slot) : slot(slot) {}
    void beginBlock(uint32_t count, uint32_t sampleType, uint32_t) override {
        uint32_t bytes = pcmBytes(sampleType);
        if (bytes == 0 || count != slot.count) throw DecodeSequentially{};
        if (slot.decoded.size() < static_cast<size_t>(count) * bytes)
            slot.decoded.reset(static_cast<size_t>(count) * bytes, "data");
        slot.bytesPerValue = bytes;
        slot.pieces.clear();
        end = slot.decoded.data();
        left = count;
    }
    void putSamples(const int32_t* values, uint32_t count) override {
        if (count > left) throw DecodeSequentially{};  // never from an intact decoder; keeps `end` inside
        end = packSamples(values, count, slot.bytesPerValue, end);
        left -= count;
        slot.pieces.push_back(count);
    }

private:
    DecodeSlot& slot;
    uint8_t* end = nullptr;
    uint32_t left = 0;
};

void decodeSlot(DecodeSlot& slot) {
    InputStream memory;
    memory.openMemory(slot.compressed.data(), slot.length);
    SlotSink sink(slot);
    uint32_t count = readCompressedBlock(memory, sink, {&DecodeSlot::report, &slot});
    slot.confirmed = count == slot.count && memory.position() == slot.length;
    if (slot.confirmed)
        slot.crc = Crc32::of(slot.decoded.data(), static_cast<size_t>(count) * slot.bytesPerValue);
}

// Packs a block's values and takes the CRC of the bytes.
class CrcSink final : public BlockSink {
public:
    void beginBlock(uint32_t, uint32_t sampleType, uint32_t) override {
        bytes = pcmBytes(sampleType);
        if (bytes == 0) throw TypeNotImplemented{};
    }
    void putSamples(const int32_t* values, uint32_t count) override {
        uint8_t staging[1024 * 4];
        for (uint32_t n; count > 0; values += n, count -= n) {
            n = count < 1024 ? count : 1024;
            crc.update(staging, static_cast<size_t>(packSamples(values, n, bytes, staging) - staging));
        }
    }
    Crc32 crc;

private:
    uint32_t bytes = 0;
};

}  // namespace

// The walk over the blocks, from the first block tag to the "TAIL" tag.
class BlockWalk {
public:
    BlockWalk(ArchiveDecoder& decoder, SampleWriter& writer) : d(decoder), in(decoder.in_), writer(writer) {}

    // Decodes the block at the stream's position as one thread does, after checking that a block
    // or the "TAIL" section starts there; false at "TAIL".
    bool step() {
        const uint64_t start = in.position();
        const uint32_t tag = peekTag(in);
        const uint32_t done = writer.blocksDone();
        if (tag == kTailTag) return false;
        if (tag != kCompTag) {
            if (done == 0)
                throwDescribed("damaged ELQ file: no block and no TAIL section at byte %llu",
                               static_cast<unsigned long long>(start));
            throwDescribed(
                "damaged ELQ file: block %u (at byte %llu) does not end where the next section begins", done,
                static_cast<unsigned long long>(d.blockOffset_));
        }
        d.block_ = done + 1;
        d.blockOffset_ = start;
        try {
            readCompressedBlock(in, writer, writer.progress());
        } catch (const Exception& e) {
            if (e.code != UNKNOWN) throw;
            throwDescribed("damaged ELQ file, block %u at byte %llu: %s", d.block_,
                           static_cast<unsigned long long>(start), e.description());
        }
        writer.endBlock();
        d.block_ = 0;
        return true;
    }

    // Finds the blocks ahead by their length fields and decodes them on the workers, while this
    // thread writes them in order. Each block is taken only if its range decoder finished
    // exactly where its length field said; otherwise (a damaged length field, damaged data, a
    // block beyond the memory limits) step() decodes it from its position in the file, with
    // exactly the output, report and failure one thread gives, and the search for blocks ahead
    // resumes behind it. Returns false, having done nothing, when no thread can be started.
    bool runInParallel(uint32_t workers) {
        const uint32_t inFlight = workers + 1;
        std::vector<std::unique_ptr<DecodeSlot>> slots;
        for (uint32_t i = 0; i < inFlight; ++i)
            slots.push_back(std::make_unique<DecodeSlot>());
        // Declared after the slots: leaving this function stops and joins the workers first.
        WorkerPool pool(workers);
        if (pool.size() == 0) return false;

        const uint64_t fileSize = in.size();
        uint64_t next = in.position();  // the block to write next
        uint64_t scan = next;           // where the next block ahead starts, if the fields are right
        uint64_t valuesAhead = 0;       // values of the blocks in flight
        bool scanning = true;
        uint32_t first = 0, queued = 0;  // the ring of slots in flight

        auto tick = [&] {
            double done = static_cast<double>(writer.samplesDone());
            for (uint32_t i = 0; i < queued; ++i) {
                const DecodeSlot& slot = *slots[(first + i) % inFlight];
                done += slot.count * static_cast<double>(slot.fraction.load(std::memory_order_relaxed));
            }
            writer.show(done);
        };
        // Reads the block at `scan` into `slot` when it qualifies for parallel decoding.
        auto readAhead = [&](DecodeSlot& slot) {
            try {
                if (fileSize < scan || fileSize - scan < kBlockHeadSize + 2) return false;
                if (in.position() != scan) in.seek(scan);
                uint8_t head[kBlockHeadSize];
                BlockHead fields;
                if (in.read(head, kBlockHeadSize) != kBlockHeadSize || !parseBlockHead(head, fields))
                    return false;
                const uint64_t length = static_cast<uint64_t>(fields.length) + 8;
                const uint32_t count = fields.count;
                if (count == 0 || count > kMaxParallelValues || count > writer.valuesLeft() - valuesAhead)
                    return false;
                if (length < kBlockHeadSize + 2 || length > fileSize - scan ||
                    length > kMaxParallelBytesPerValue * count + kParallelBytesSlack)
                    return false;
                if (slot.compressed.size() < length) slot.compressed.reset(length, "data");
                memcpy(slot.compressed.data(), head, kBlockHeadSize);
                uint32_t rest = static_cast<uint32_t>(length) - kBlockHeadSize;
                in.readMin(slot.compressed.data() + kBlockHeadSize, rest, rest);
                slot.length = static_cast<uint32_t>(length);
                slot.count = count;
            } catch (const Exception&) {
                return false;  // the sequential decoder meets the same in its turn
            }
            scan += slot.length;
            valuesAhead += slot.count;
            return true;
        };

        for (;;) {
            while (scanning && queued < inFlight) {
                DecodeSlot& slot = *slots[(first + queued) % inFlight];
                if (!readAhead(slot)) {
                    scanning = false;
                    break;
                }
                slot.done = false;
                slot.failure = nullptr;
                slot.confirmed = false;
                slot.fraction = 0;
                slot.abandoned = false;
                slot.pool = &pool;
                pool.submit(slot, [&slot] { decodeSlot(slot); });
                ++queued;
            }
            if (queued > 0) {
                DecodeSlot& slot = *slots[first];
                pool.wait(slot, tick);
                if (!slot.failure && slot.confirmed) {
                    d.blockOffset_ = next;
                    writer.putBlock(slot.decoded.data(), slot.bytesPerValue, slot.pieces, slot.crc);
                    next += slot.length;
                    valuesAhead -= slot.count;
                    first = (first + 1) % inFlight;
                    --queued;
                    tick();
                    continue;
                }
                // The blocks behind it were found through its length field: none of them counts.
                for (uint32_t i = 0; i < queued; ++i)
                    slots[(first + i) % inFlight]->abandoned = true;
                for (uint32_t i = 0; i < queued; ++i)
                    pool.wait(*slots[(first + i) % inFlight], [] {});
                queued = 0;
                valuesAhead = 0;
            }
            in.seek(next);
            if (!step()) return true;  // the stream stands at the "TAIL" section
            next = scan = in.position();
            scanning = true;
        }
    }

private:
    ArchiveDecoder& d;
    InputStream& in;
    SampleWriter& writer;
};

uint32_t decodedBlockCrc(const uint8_t* bytes, uint32_t length) {
    InputStream memory;
    memory.openMemory(bytes, length);
    CrcSink sink;
    if (readCompressedBlock(memory, sink, ProgressSink{}) == 0 || memory.position() != length)
        throwError(UNKNOWN, "a coded block does not end where it should");
    return sink.crc.value();
}

ArchiveDecoder::ArchiveDecoder(InputStream& in) : in_(in) {
    in_.startDigest(&fileCrc_);
}

bool ArchiveDecoder::readMagic() {
    return elq::readMagic(in_);
}

void ArchiveDecoder::decode(ByteSink& out, uint32_t threads, ProgressLine& line) {
    header_ = readHeaderFields(in_);
    in_.readU32();  // the "HEAD" tag, unchecked as decoders of the format do
    Crc32 head;
    copyStoredBytes(in_, out, head);
    found_.headCrc = head.value();

    SampleWriter writer(out, header_.totalSamples, line, found_.blockCrcs);
    BlockWalk walk(*this, writer);
    // A stream without a size (a pipe) cannot be read ahead and sought back: one thread.
    if (threads <= 1 || !walk.runInParallel(threads)) {
        while (walk.step()) {
        }
    }

    in_.readU32();  // "TAIL", as the walk has seen
    Crc32 tail;
    copyStoredBytes(in_, out, tail);
    found_.tailCrc = tail.value();
    in_.digestUpTo(in_.position());
    found_.fileCrc = fileCrc_.value();
    // A checksum section may follow; other bytes after "TAIL" are ignored, as decoders of the
    // format ignore them.
    if (in_.atEnd()) return;
    const uint64_t at = in_.position();
    uint8_t tag[4];
    if (in_.read(tag, 4) != 4 || memcmp(tag, "SUMS", 4) != 0) {
        in_.seek(at);
        return;
    }
    // Every byte before the section was read in order, so the file's CRC is complete.
    if (!in_.digestComplete()) throwError(UNKNOWN, "the file could not be read in order for its checksum");
    checkChecksumSection(in_, found_, md5_);
    checksummed_ = true;
}

}  // namespace elq
