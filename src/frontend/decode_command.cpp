#include "frontend/decode_command.h"

#include <cstdio>
#include <cstring>

#include "foundation/allocator.h"
#include "foundation/exception.h"
#include "foundation/file.h"
#include "foundation/stream.h"
#include "frontend/container.h"
#include "frontend/options.h"
#include "frontend/output_name.h"
#include "frontend/stream_decoder.h"

namespace elq {

namespace {

// Raised by the writer for a block whose sample type has no output format.
struct TypeNotImplemented {};

// Writes decoded values in the block's sample type and keeps the progress line.
class WaveWriter : public BlockSink {
public:
    WaveWriter(OutputStream& out, uint32_t total, bool silent) : out_(out), total_(total), silent_(silent) {}

    void beginBlock(uint32_t count, uint32_t sampleType, uint32_t) override {
        // A block never holds more than the header says is still to come; a damaged head
        // must not make the decoder produce without bound.
        if (count > total_ - samplesDone_) throwError(UNKNOWN, "damaged block: more values than the file holds");
        switch (sampleType) {
            case UINT8:
                bytes_ = 1;
                break;
            case SINT16:
                bytes_ = 2;
                break;
            case SINT24:
                bytes_ = 3;
                break;
            case SINT32:
                bytes_ = 4;
                break;
            default:
                throw TypeNotImplemented{};
        }
        blockCount_ = count;
    }

    void putSamples(const int32_t* values, uint32_t count) override {
        uint8_t staging[4096];
        const uint32_t perRound = sizeof staging / 4;
        while (count > 0) {
            uint32_t n = count < perRound ? count : perRound;
            uint8_t* p = staging;
            for (uint32_t i = 0; i < n; ++i) {
                uint32_t v = static_cast<uint32_t>(values[i]);
                if (bytes_ == 1) v += 128;
                for (uint32_t k = 0; k < bytes_; ++k)
                    *p++ = static_cast<uint8_t>(v >> (8 * k));
            }
            out_.write(staging, static_cast<uint32_t>(p - staging));
            values += n;
            count -= n;
        }
    }

    void endBlock() {
        samplesDone_ += blockCount_;
        blockCount_ = 0;
    }

    static void report(void* context, double fraction) {
        auto* self = static_cast<WaveWriter*>(context);
        if (self->silent_) return;
        double d = static_cast<double>(self->total_) + 1;
        double lo = static_cast<double>(self->samplesDone_) * 100 / d;
        double hi = (static_cast<double>(self->samplesDone_) + self->blockCount_) * 100 / d;
        double p = (hi - lo) * fraction + lo;
        if (p - self->lastShown_ >= 1.0) {
            fprintf(stderr, "\rDecompressing %7.1f%%", p);
            self->lastShown_ = p;
        }
    }
    ProgressSink progress() { return {&WaveWriter::report, this}; }

private:
    OutputStream& out_;
    uint32_t total_;
    bool silent_;
    uint32_t bytes_ = 0;
    uint32_t blockCount_ = 0;
    uint64_t samplesDone_ = 0;
    double lastShown_ = 0;
};

bool decompress(const char* source, const char* name) {
    bool silent = programOptions().silent != 0;
    InputStream in;
    in.open(source);
    // The magic is checked before the output is created, so that a file that is not ours
    // never costs the user an existing file of the output's name.
    if (!readMagic(in)) {
        fputs("Not an ELQ file\n", stderr);
        return false;
    }
    OutputStream out;
    out.open(name);
    ContainerHeader header = readHeaderFields(in);
    copyHeadSection(in, out);
    WaveWriter writer(out, static_cast<uint32_t>(header.totalSamples), silent);
    try {
        while (readCompressedBlock(in, writer, writer.progress()) > 0)
            writer.endBlock();
    } catch (const TypeNotImplemented&) {
        fputs("Type not implemented\n", stderr);
        return false;
    }
    copyTailSection(in, out);
    in.close();
    out.close();
    if (!silent) fputs("\rDecompression done.    \n\n", stderr);
    return true;
}

}  // namespace

bool decodeFile(const char* source, const char* output) {
    if (strcmp(source, "-") == 0) {
        fputs("Incorrect usage for stdin or stdout\n", stderr);
        return false;
    }
    OutputName name;
    if (!name.build(source, output, ".wav")) return false;
    if (strcmp(source, name.text) == 0 || isSameFile(source, name.text)) {
        fputs("Source and destination must be different\n", stderr);
        return false;
    }
    if (!programOptions().silent) {
        fprintf(stderr, "ELQ: <%s>\n", source);
        fprintf(stderr, "WAV: <%s>\n", name.text);
    }
    try {
        return decompress(source, name.text);
    } catch (const Exception& e) {
        fprintf(stderr, "\n%s\n", e.format());
        return false;
    }
}

}  // namespace elq
