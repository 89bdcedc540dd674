#include "frontend/encode_command.h"

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <memory>
#include <vector>

#include "foundation/allocator.h"
#include "foundation/digest.h"
#include "foundation/exception.h"
#include "foundation/file.h"
#include "foundation/stream.h"
#include "frontend/archive_decoder.h"
#include "frontend/block_format.h"
#include "frontend/checksum_section.h"
#include "frontend/container.h"
#include "frontend/output_name.h"
#include "frontend/progress_line.h"
#include "frontend/worker_pool.h"
#include "prediction/encoding_loops.h"
#include "wave/pcm_samples.h"
#include "wave/sample_type.h"
#include "wave/wave_reader.h"

namespace elq {

namespace {

// The progress of one thread: the block's share of the file and the loop's stage within the
// block map a stage fraction to a per-cent value of the whole file.
struct CompressProgress {
    ProgressLine& line;
    double blockLow = 0, blockHigh = 0, stageLow = 0, stageHigh = 0;

    static void stage(void* context, double low, double high) {
        auto* self = static_cast<CompressProgress*>(context);
        self->stageLow = low;
        self->stageHigh = high;
    }
    static void report(void* context, double fraction) {
        auto* self = static_cast<CompressProgress*>(context);
        double p = ((self->stageHigh - self->stageLow) * fraction + self->stageLow) * 0.01 *
                       (self->blockHigh - self->blockLow) +
                   self->blockLow;
        self->line.show(p);
    }
    LoopProgress loop() { return {this, &CompressProgress::stage, &CompressProgress::report}; }
};

// The modes above "extra" optimize even under --optimize none.
bool alwaysOptimizes(const EncoderSettings& s) {
    return s.order > 48;
}

void applyDefaults(EncoderSettings& s) {
    auto orDefault = [](int32_t& value, int32_t fallback) {
        if (value == -1) value = fallback;
    };
    orDefault(s.blockLength, 882000);
    orDefault(s.order, 24);
    orDefault(s.crossOrder, 8);
    orDefault(s.solveInterval, 128);
    orDefault(s.memoryLength, 256);
    orDefault(s.adaptationLength, 12);
    orDefault(s.family, 0);
    orDefault(s.opt2, 10);
    orDefault(s.opt1, 10);
    orDefault(s.maximize, 0);
    if (alwaysOptimizes(s) && (s.opt1 == 0 || s.opt2 == 0)) s.opt1 = s.opt2 = 10;
}

// What the loops need besides the block, with the defaults applied.
struct LoopSettings {
    uint32_t channels, order, crossOrder, solveInterval, memoryLength, adaptationLength, family, opt1, opt2;
    bool optimize;
    bool maximize;
    bool plainWithoutOptimize;  // --optimize none codes this mode with the plain loop
};

// The memory-length seed of a single-threaded run: one variable from block to block.
class SequentialSeed : public MemoryLengthSeed {
public:
    uint32_t start() override { return value; }
    void chosen(uint32_t winner) override { value = winner; }

private:
    uint32_t value = kInitialMemoryLength;
};

// What the encoder records of the source for --crc and --verify: the MD5 of the whole WAVE file
// and the CRCs of its parts, as the checksum section holds them.
struct SourceDigests {
    bool enabled = false;
    Md5 md5;
    ArchiveChecksums sums;

    void stored(const uint8_t* bytes, uint32_t length, uint32_t& crc) {
        if (!enabled) return;
        md5.update(bytes, length);
        crc = Crc32::of(bytes, length);
    }
};

// Room in a block's area beyond 5 bytes per value (more than any value's residue takes) for the
// head and the coded parameters, which a short block cannot spread over its values.
constexpr size_t kAreaReserve = 1024;

// The buffers of one block: 13 bytes per value of the block length.
struct BlockBuffers {
    Buffer<int32_t> samples;
    Buffer<int32_t> residues;
    Buffer<uint8_t> area;    // the finished block; first the staging area of the raw sample bytes
    uint32_t sampleCrc = 0;  // of the raw sample bytes, when the digests are on

    explicit BlockBuffers(uint32_t blockLength)
        : samples(blockLength, "data"),
          residues(blockLength, "residue"),
          area(static_cast<size_t>(blockLength) * 5 + kAreaReserve, "residue") {}

    // Reads and converts the source's next sample values, whole frames up to `maxValues`; returns
    // their count, 0 once the samples have ended.
    uint32_t read(WaveReader& reader, uint32_t maxValues, uint32_t channels, uint32_t bytes,
                  SourceDigests& digests) {
        const uint32_t count = reader.readFrames(area.data(), maxValues / channels) * channels;
        if (count == 0) return 0;
        if (digests.enabled) {
            digests.md5.update(area.data(), static_cast<size_t>(count) * bytes);
            sampleCrc = Crc32::of(area.data(), static_cast<size_t>(count) * bytes);
            digests.sums.blockCrcs.push_back(sampleCrc);
        }
        unpackSamples(area.data(), count, bytes, samples.data());
        return count;
    }
};

// The blocks of a file as they go through encoding, read and written by the calling thread.
struct BlockPlan {
    uint32_t blockLength, channels, bytes, bits, sampleType;
    // Blocks the stated length makes; 0 for a stream whose length shows only at its end, which
    // then has no per-cent progress.
    uint64_t blocks;
    // An output that cannot be read back (a device, a pipe) is verified block by block instead.
    bool verifyBlocks = false;

    uint32_t read(WaveReader& reader, BlockBuffers& buffers, SourceDigests& digests) const {
        return buffers.read(reader, blockLength, channels, bytes, digests);
    }
    double percentBefore(uint64_t block) const {
        return blocks ? static_cast<double>(block) / blocks * 100 : 0;
    }
};

// Codes the `count` values of `buffers` into one block at the start of its area: the loop
// writes the payload behind the room for the head, which is then filled in. Returns the
// block's bytes.
uint32_t encodeBlock(const LoopSettings& s, const BlockPlan& plan, BlockBuffers& buffers, uint32_t count,
                     MemoryLengthSeed& seed, const LoopProgress& progress) {
    uint8_t* area = buffers.area.data();
    if (buffers.area.size() < kBlockHeadSize) throwError(UNKNOWN, "data buffer overflow");
    const BlockInput block{buffers.samples.data(),
                           count,
                           buffers.residues.data(),
                           area + kBlockHeadSize,
                           static_cast<uint32_t>(buffers.area.size()) - kBlockHeadSize,
                           plan.bits};
    EncodedPayload payload;
    // In a file of one block every built-in search starts from the same seed: --optimize max then
    // includes them all, so that such a file is never larger than with any of them.
    BuiltInChoices builtIn{
        s.plainWithoutOptimize, s.memoryLength, s.adaptationLength, s.family, s.opt1, s.opt2, {}, 0};
    for (int32_t divisor : kSearchDivisors) {
        if (plan.blocks == 1 && static_cast<uint32_t>(divisor) != s.opt1)
            builtIn.otherSearches[builtIn.otherSearchCount++] = static_cast<uint32_t>(divisor);
    }
    if (s.maximize) {
        payload = s.channels == 1
                      ? encodeMonoBlockMax(block, s.order, s.solveInterval, builtIn, seed, progress)
                      : encodeStereoBlockMax(block, s.order, s.crossOrder, s.solveInterval, builtIn, seed,
                                             progress);
    } else if (s.channels == 1) {
        payload = s.optimize ? encodeMonoBlockOptimized(block, s.order, s.solveInterval, s.opt1, s.opt2, seed,
                                                        progress)
                             : encodeMonoBlock(block, s.order, s.solveInterval, s.memoryLength,
                                               s.adaptationLength, s.family, progress);
    } else {
        payload = s.optimize ? encodeStereoBlockOptimized(block, s.order, s.crossOrder, s.solveInterval,
                                                          s.opt1, s.opt2, seed, progress)
                             : encodeStereoBlock(block, s.order, s.crossOrder, s.solveInterval,
                                                 s.memoryLength, s.adaptationLength, s.family, progress);
    }
    const uint32_t channelCode = s.channels == 2 ? 1 : 0;
    writeBlockHead(area, payload.length, count,
                   packBlockWord(plan.sampleType, channelCode, 0, 0, payload.family));
    const uint32_t length = kBlockHeadSize + payload.length;
    if (plan.verifyBlocks && decodedBlockCrc(area, length) != buffers.sampleCrc)
        throwDescribed("verification failed: a coded block does not decode to its samples");
    return length;
}

// Returns the sample values coded.
uint64_t encodeSequentially(WaveReader& reader, OutputStream& out, BlockBuffers& buffers,
                            const BlockPlan& plan, const LoopSettings& settings, ProgressLine& line,
                            SourceDigests& digests) {
    CompressProgress progress{line};
    SequentialSeed seed;
    uint64_t values = 0;
    for (uint64_t b = 0;; ++b) {
        const uint32_t n = plan.read(reader, buffers, digests);
        if (n == 0) return values;
        progress.blockLow = plan.percentBefore(b);
        progress.blockHigh = plan.percentBefore(b + 1);
        uint32_t length = encodeBlock(settings, plan, buffers, n, seed, progress.loop());
        out.write(buffers.area.data(), length);
        values += n;
    }
}

// One block in flight on a worker thread.
struct BlockSlot : Job {
    explicit BlockSlot(uint32_t blockLength) : buffers(blockLength) {}

    BlockBuffers buffers;
    uint32_t block = 0;
    uint32_t count = 0;
    uint32_t length = 0;  // the finished block's bytes
    // Per cent of this block done, written by the worker and read for the progress line;
    // 32 bits stay lock-free on every target without libatomic.
    std::atomic<float> percent{0};
    double stageLow = 0, stageHigh = 0;
    const WorkerPool* pool = nullptr;

    static void stage(void* context, double low, double high) {
        auto* self = static_cast<BlockSlot*>(context);
        self->stageLow = low;
        self->stageHigh = high;
    }
    // Also the place where a cancelled run ends the loop early.
    static void report(void* context, double fraction) {
        auto* self = static_cast<BlockSlot*>(context);
        if (self->pool->cancelled()) throw JobCancelled{};
        auto p = static_cast<float>((self->stageHigh - self->stageLow) * fraction + self->stageLow);
        if (p > self->percent.load(std::memory_order_relaxed))
            self->percent.store(p, std::memory_order_relaxed);
    }
    LoopProgress loop() { return {this, &BlockSlot::stage, &BlockSlot::report}; }
};

// The searches of the optimizing loops in block order, each from the previous block's winner.
// Lives under the pool's lock.
struct SearchChain {
    uint32_t nextBlock = 0;
    uint32_t lastMemoryLength = kInitialMemoryLength;
    bool broken = false;  // a block failed before its winner was known
};

// One block's link in the chain. A block that fails before its winner is known breaks the
// chain, so that the blocks after it stop waiting (their results are never used: the run ends
// with the earlier block's failure).
class ChainedSeed : public MemoryLengthSeed {
public:
    ChainedSeed(WorkerPool& pool, SearchChain& chain, uint32_t block)
        : pool(pool), chain(chain), block(block) {}
    ~ChainedSeed() {
        if (!passedOn) pool.publish([&] { chain.broken = true; });
    }
    uint32_t start() override {
        uint32_t start = 0;
        bool broken = false;
        pool.awaitCondition([&] {
            broken = chain.broken;
            start = chain.lastMemoryLength;
            return broken || chain.nextBlock == block;
        });
        if (broken) throw JobCancelled{};
        return start;
    }
    void chosen(uint32_t winner) override {
        pool.publish([&] {
            chain.lastMemoryLength = winner;
            ++chain.nextBlock;
        });
        passedOn = true;
    }

private:
    WorkerPool& pool;
    SearchChain& chain;
    uint32_t block;
    bool passedOn = false;
};

// Blocks are coded on `workers` threads, a few in flight (one slot each), and written in order
// by this thread, which also reads the source and keeps the progress line. A failure stops the
// run at the first block in order that failed (or could not be read), as one thread would.
// Returns false, having done nothing, when the system grants no thread.
bool encodeInParallel(WaveReader& reader, OutputStream& out, uint32_t workers,
                      std::vector<std::unique_ptr<BlockSlot>>& slots, const BlockPlan& plan,
                      const LoopSettings& settings, ProgressLine& line, SourceDigests& digests,
                      uint64_t& values) {
    const uint32_t inFlight = static_cast<uint32_t>(slots.size());
    SearchChain chain;
    // Declared after everything its jobs use: leaving this function stops and joins the workers first.
    WorkerPool pool(workers);
    if (pool.size() == 0) return false;
    uint32_t nextRead = 0, nextWrite = 0;
    auto tick = [&] {
        double sum = nextWrite * 100.0;
        for (uint32_t b = nextWrite; b < nextRead; ++b)
            sum += slots[b % inFlight]->percent.load(std::memory_order_relaxed);
        if (plan.blocks) line.show(sum / static_cast<double>(plan.blocks));
    };
    std::exception_ptr readFailure;
    bool ended = false;
    for (;;) {
        while (!readFailure && !ended && nextRead - nextWrite < inFlight) {
            BlockSlot& slot = *slots[nextRead % inFlight];
            uint32_t n;
            try {
                n = plan.read(reader, slot.buffers, digests);
            } catch (...) {
                // Reported when its turn comes: the blocks before it are written first.
                readFailure = std::current_exception();
                break;
            }
            if (n == 0) {
                ended = true;
                break;
            }
            slot.done = false;
            slot.failure = nullptr;
            slot.block = nextRead;
            slot.count = n;
            slot.percent = 0;
            slot.pool = &pool;
            pool.submit(slot, [&slot, &plan, &settings, &pool, &chain] {
                if (settings.optimize) {
                    ChainedSeed seed(pool, chain, slot.block);
                    slot.length = encodeBlock(settings, plan, slot.buffers, slot.count, seed, slot.loop());
                } else {
                    SequentialSeed unused;
                    slot.length = encodeBlock(settings, plan, slot.buffers, slot.count, unused, slot.loop());
                }
            });
            ++nextRead;
        }
        if (nextWrite == nextRead) {
            if (readFailure) std::rethrow_exception(readFailure);
            return true;
        }
        BlockSlot& slot = *slots[nextWrite % inFlight];
        pool.wait(slot, tick);
        if (slot.failure) std::rethrow_exception(slot.failure);
        out.write(slot.buffers.area.data(), slot.length);
        values += slot.count;
        ++nextWrite;
        tick();
    }
}

// Compares what a decoder writes with the source file, byte for byte.
class ComparingSink final : public ByteSink {
public:
    explicit ComparingSink(const char* source) { in_.open(source); }

    void write(const uint8_t* bytes, uint32_t n) override {
        uint8_t expected[4096];
        while (n > 0) {
            const uint32_t piece = n < sizeof expected ? n : static_cast<uint32_t>(sizeof expected);
            const uint32_t got = in_.read(expected, piece);
            for (uint32_t i = 0; i < piece; ++i) {
                if (i == got || expected[i] != bytes[i]) differsAt(position_ + i);
            }
            bytes += piece;
            n -= piece;
            position_ += piece;
        }
    }
    // The source must end where the decoded file ends.
    void finish() {
        if (!in_.atEnd()) differsAt(position_);
    }

private:
    [[noreturn]] static void differsAt(uint64_t position) {
        throwDescribed("verification failed: the decoded file differs from the source at byte %llu",
                       static_cast<unsigned long long>(position));
    }

    InputStream in_;
    uint64_t position_ = 0;
};

// For tests of the verification: flips one byte of the finished file before it is read back,
// at the offset the variable gives, as a fault between writing and reading would.
void damageForTest(const char* written) {
    const char* at = getenv("ELQ_TEST_DAMAGE_BEFORE_VERIFY");
    if (!at) return;
    if (FILE* file = fopen(written, "r+b")) {
        const long offset = strtol(at, nullptr, 10);
        if (fseek(file, offset, SEEK_SET) == 0) {
            const int byte = fgetc(file);
            if (byte != EOF && fseek(file, offset, SEEK_SET) == 0) fputc(byte ^ 0x20, file);
        }
        fclose(file);
    }
}

// Decodes the finished ELQ file `written` from disk and compares it with the source: byte for
// byte with a named source, by MD5 (`sourceMd5`) with standard input. A difference or damage
// raises an Exception.
void verifyWrittenFile(const char* written, const char* source, const uint8_t sourceMd5[16],
                       const CommandSettings& command) {
    damageForTest(written);
    InputStream in;
    in.open(written);
    ArchiveDecoder decoder(in);
    ProgressLine line("Verifying", command.silent);
    if (!decoder.readMagic())
        throwDescribed("verification failed: the ELQ file does not begin with its magic");
    try {
        if (strcmp(source, "-") == 0) {
            Md5Sink sink;
            decoder.decode(sink, command.threads, line);
            uint8_t md5[16];
            sink.md5.finish(md5);
            if (memcmp(md5, sourceMd5, 16) != 0)
                throwDescribed("verification failed: the decoded file does not have the MD5 of the source");
        } else {
            ComparingSink sink(source);
            decoder.decode(sink, command.threads, line);
            sink.finish();
        }
    } catch (const TypeNotImplemented&) {
        throwDescribed("verification failed: a block of the ELQ file has a sample type it cannot have");
    }
}

bool compress(const char* source, const char* name, const CommandSettings& command) {
    // Standard input is a stream: its data size bounds the samples, and one of 0 or all ones
    // (what writers to a pipe leave there) lets them run to its end.
    const bool fromStdin = strcmp(source, "-") == 0;
    const WaveReader::DataSize sizes = command.ignoreChunkSizes ? WaveReader::DataSize::ignored
                                       : fromStdin              ? WaveReader::DataSize::bound
                                                                : WaveReader::DataSize::stated;
    // The verbose listing goes to standard error while standard output carries the ELQ file.
    const bool toStdout = strcmp(name, "-") == 0;
    WaveReader reader;
    if (!reader.open(source, command.verbose, sizes, toStdout ? stderr : stdout)) {
        fprintf(stderr, "Error processing WAVE file: \n%s\n", reader.errorText());
        return false;
    }
    const bool inPlace = OutputFile::writesInPlace(name);
    if (const char* reason = unencodableReason(reader, !inPlace)) {
        fputs(reason, stderr);
        return false;
    }
    ProgressLine line("Compressing", command.silent);
    OutputStream out;
    out.openReplacing(name);
    // Verified by reading the finished file back where it can be read back; else block by block.
    ArchiveTarget target{out, !inPlace, command.verify && !out.file.temporaryName(), false};
    const bool readBack = command.verify && !target.verifyBlocks;
    target.wantMd5 = readBack && fromStdin;
    uint8_t md5[16] = {};
    try {
        encodeArchive(reader, command, target, line, md5);
    } catch (const EncodeFailure& failure) {
        fputs(failure.text.c_str(), stderr);
        return false;
    }
    if (readBack) {
        out.flush();
        try {
            verifyWrittenFile(out.file.temporaryName(), source, md5, command);
        } catch (const Exception& e) {
            fprintf(stderr, "\n%s\n", e.format());
            fputs("Verification failed: the ELQ file does not decode to the source and is not kept.\n",
                  stderr);
            return false;
        }
    }
    out.replace(source);
    reader.close();
    if (command.verify && !command.silent)
        fputs("\rVerified: the ELQ file decodes to the source, byte for byte.\n\n", stderr);
    return true;
}

}  // namespace

const char* unencodableReason(const WaveReader& reader, bool canGoBack) {
    if (reader.nChannels != 1 && reader.nChannels != 2) return "Channel configuration not yet implemented\n";
    if (!isCompressedSampleType(reader.sampleType)) return "Sample type not yet implemented\n";
    // The header's total comes first; where the output cannot be gone back to, it must be known.
    if (!reader.lengthKnown() && !canGoBack) {
        return "The WAVE stream does not state its length, which an output that cannot be gone back to "
               "needs first: name an output file instead\n";
    }
    return nullptr;
}

void encodeArchive(WaveReader& reader, const CommandSettings& command, const ArchiveTarget& target,
                   ProgressLine& line, uint8_t md5[16]) {
    const EncoderSettings& s = command.encoder;
    OutputStream& out = target.out;
    const uint32_t channels = reader.nChannels;
    BlockPlan plan;
    plan.blockLength = static_cast<uint32_t>(s.blockLength);
    plan.channels = channels;
    const uint64_t statedTotal = channels * reader.frameCount;
    plan.blocks = reader.sizesStated() ? (statedTotal + plan.blockLength - 1) / plan.blockLength : 0;
    plan.bits = kBitsPerSample[reader.sampleType];
    plan.bytes = plan.bits / 8;
    plan.sampleType = reader.sampleType;
    plan.verifyBlocks = target.verifyBlocks;
    const LoopSettings settings{channels,
                                static_cast<uint32_t>(s.order),
                                static_cast<uint32_t>(s.crossOrder),
                                static_cast<uint32_t>(s.solveInterval),
                                static_cast<uint32_t>(s.memoryLength),
                                static_cast<uint32_t>(s.adaptationLength),
                                static_cast<uint32_t>(s.family),
                                static_cast<uint32_t>(s.opt1),
                                static_cast<uint32_t>(s.opt2),
                                s.opt1 != 0 && s.opt2 != 0,
                                s.maximize == 1,
                                !alwaysOptimizes(s)};

    // More workers than blocks would only cost memory; one block or one thread runs as always.
    uint32_t workers = command.threads;
    if (plan.blocks && workers > plan.blocks) workers = static_cast<uint32_t>(plan.blocks);
    // Declared before the pool, so that the workers are stopped before the buffers go.
    std::vector<std::unique_ptr<BlockSlot>> slots;
    std::unique_ptr<BlockBuffers> single;
    if (workers > 1) {
        uint32_t inFlight =
            plan.blocks && workers + 1 > plan.blocks ? static_cast<uint32_t>(plan.blocks) : workers + 1;
        for (uint32_t i = 0; i < inFlight; ++i)
            slots.push_back(std::make_unique<BlockSlot>(plan.blockLength));
    } else {
        single = std::make_unique<BlockBuffers>(plan.blockLength);
    }

    SourceDigests digests;
    digests.enabled = command.crc || plan.verifyBlocks || target.wantMd5;
    // The checksum of the ELQ bytes leaves out the fixed header, whose total may be filled in last.
    Crc32 restCrc;
    if (command.crc) {
        out.digest = &restCrc;
        out.digestStart = kHeadDataOffset;
    }

    ContainerHeader header{statedTotal, reader.sampleType, static_cast<uint8_t>(channels),
                           reader.nSamplesPerSec};
    writeContainerHeader(out, header, reader.preData(), reader.preDataLength);
    digests.stored(reader.preData(), reader.preDataLength, digests.sums.headCrc);
    uint64_t values = 0;
    if (workers <= 1 ||
        !encodeInParallel(reader, out, workers, slots, plan, settings, line, digests, values)) {
        values = encodeSequentially(reader, out, workers > 1 ? slots[0]->buffers : *single, plan, settings,
                                    line, digests);
    }
    if (!command.silent) fputs("\rCompression done.    \n\n", stderr);
    if (!reader.readTrailer())
        throw EncodeFailure{std::string("Error processing WAVE file: \n") + reader.errorText() + "\n"};
    writeTailSection(out, reader.trailer(), reader.trailerLength);
    digests.stored(reader.trailer(), reader.trailerLength, digests.sums.tailCrc);
    // A stream's length shows at its end: the header gets the real total.
    if (values != header.totalSamples) {
        if (!target.canGoBack) {
            char text[200];
            snprintf(text, sizeof text,
                     "The WAVE stream ended after %llu of the %llu sample values its header states; the ELQ "
                     "file written is incomplete\n",
                     static_cast<unsigned long long>(values),
                     static_cast<unsigned long long>(header.totalSamples));
            throw EncodeFailure{text};
        }
        header.totalSamples = values;
        uint8_t fixed[kHeadDataOffset];
        encodeFixedHeader(header, reader.preDataLength, fixed);
        out.patch(0, fixed, kHeadDataOffset);
    }
    if (digests.enabled) digests.md5.finish(md5);
    if (command.crc) {
        out.flush();
        out.digest = nullptr;
        uint8_t fixed[kHeadDataOffset];
        encodeFixedHeader(header, reader.preDataLength, fixed);
        digests.sums.fileCrc = Crc32::combine(Crc32::of(fixed, kHeadDataOffset), restCrc.value(),
                                              out.position() - kHeadDataOffset);
        memcpy(digests.sums.md5, md5, 16);
        writeChecksumSection(out, digests.sums);
    }
}

EncoderSettings withDefaults(EncoderSettings settings) {
    applyDefaults(settings);
    return settings;
}

bool encodeFile(const char* source, const char* output, const CommandSettings& given) {
    CommandSettings settings = given;
    applyDefaults(settings.encoder);
    if (strcmp(source, "-") == 0 && !output) {
        fputs("Incorrect usage for stdin or stdout\n", stderr);
        return false;
    }
    OutputName name;
    if (!name.build(source, output, ".elq")) return false;
    if (sameFile(source, name.text)) {
        fputs("Source and destination must be different\n", stderr);
        return false;
    }
    if (!settings.silent) {
        fprintf(stderr, "WAV: <%s>\n", source);
        fprintf(stderr, "ELQ: <%s>\n", name.text);
    }
    try {
        return compress(source, name.text, settings);
    } catch (const Exception& e) {
        fprintf(stderr, "\n%s\n", e.format());
        return false;
    }
}

}  // namespace elq
