#include "frontend/encode_command.h"

#include <cstdio>
#include <cstring>

#include "foundation/allocator.h"
#include "foundation/exception.h"
#include "foundation/file.h"
#include "foundation/stream.h"
#include "frontend/container.h"
#include "frontend/output_name.h"
#include "prediction/encoding_loops.h"
#include "wave/wave_reader.h"

namespace elq {

namespace {

// The console line of one file: the block's share of the file and the loop's stage within
// the block map a stage fraction to a per-cent value of the whole file.
struct CompressProgress {
    bool silent = false;
    double blockLow = 0, blockHigh = 0, stageLow = 0, stageHigh = 0, lastShown = 0;

    static void stage(void* context, double low, double high) {
        auto* self = static_cast<CompressProgress*>(context);
        self->stageLow = low;
        self->stageHigh = high;
    }
    static void report(void* context, double fraction) {
        auto* self = static_cast<CompressProgress*>(context);
        if (self->silent) return;
        double p = ((self->stageHigh - self->stageLow) * fraction + self->stageLow) * 0.01 *
                       (self->blockHigh - self->blockLow) +
                   self->blockLow;
        if (p - self->lastShown >= 1.0) {
            fprintf(stderr, "\rCompressing %7.1f%%", p);
            self->lastShown = p;
        }
    }
    LoopProgress loop() { return {this, &CompressProgress::stage, &CompressProgress::report}; }
};

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
    // The highest modes always optimize.
    if (s.order > 48 && (s.opt1 == 0 || s.opt2 == 0)) s.opt1 = s.opt2 = 10;
}

// Converts `count` little-endian sample values of `bytes` bytes each into signed integers.
void convertSamples(const uint8_t* in, uint32_t count, uint32_t bytes, int32_t* out) {
    switch (bytes) {
        case 1:
            for (uint32_t i = 0; i < count; ++i)
                out[i] = static_cast<int32_t>(in[i]) - 128;
            break;
        case 2:
            for (uint32_t i = 0; i < count; ++i, in += 2)
                out[i] = static_cast<int16_t>(in[0] | in[1] << 8);
            break;
        case 3:
            for (uint32_t i = 0; i < count; ++i, in += 3) {
                uint32_t v = in[0] | in[1] << 8 | static_cast<uint32_t>(in[2]) << 16;
                out[i] = static_cast<int32_t>(v << 8) >> 8;
            }
            break;
        default:
            for (uint32_t i = 0; i < count; ++i, in += 4) {
                out[i] = static_cast<int32_t>(in[0] | in[1] << 8 | in[2] << 16 |
                                              static_cast<uint32_t>(in[3]) << 24);
            }
            break;
    }
}

bool compress(const char* source, const char* name, const EncoderSettings& s) {
    const ProgramOptions& options = programOptions();
    WaveReader reader;
    if (!reader.open(source, options.verbose != 0)) {
        fprintf(stderr, "Error processing WAVE file: \n%s\n", reader.errorText());
        return false;
    }
    if (reader.nChannels != 1 && reader.nChannels != 2) {
        fputs("Channel configuration not yet implemented\n", stderr);
        return false;
    }
    if (!isCompressedSampleType(reader.sampleType)) {
        fputs("Sample type not yet implemented\n", stderr);
        return false;
    }
    const uint32_t blockLength = static_cast<uint32_t>(s.blockLength);
    Buffer<int32_t> samples(blockLength, "data");
    Buffer<int32_t> residues(blockLength, "residue");
    Buffer<uint8_t> area(static_cast<size_t>(blockLength) * 5, "residue");

    OutputStream out;
    out.open(name);
    const uint32_t channels = reader.nChannels;
    const uint32_t total = channels * static_cast<uint32_t>(reader.frameCount);
    ContainerHeader header{static_cast<uint64_t>(channels) * reader.frameCount, reader.sampleType,
                           static_cast<uint8_t>(channels), reader.nSamplesPerSec};
    writeContainerHeader(out, header, reader.preData(), reader.preDataLength);

    const uint32_t bits = kBitsPerSample[reader.sampleType];
    const uint32_t bytes = bits / 8;
    // Counted in 64 bits: near 4 GiB of 8-bit samples the 32-bit sum would wrap.
    const uint32_t blocks = static_cast<uint32_t>((static_cast<uint64_t>(total) + blockLength - 1) / blockLength);
    const bool optimize = s.opt1 != 0 && s.opt2 != 0;
    CompressProgress progress;
    progress.silent = options.silent != 0;
    uint32_t lastMemoryLength = kInitialMemoryLength;
    uint32_t left = total;
    for (uint32_t b = 0; b < blocks; ++b) {
        uint32_t n = left < blockLength ? left : blockLength;
        left -= n;
        // The output area doubles as the staging area of the raw sample bytes.
        reader.stream.readMin(area.data(), n * bytes, n * bytes);
        convertSamples(area.data(), n, bytes, samples.data());
        progress.blockLow = static_cast<double>(b) / blocks * 100;
        progress.blockHigh = static_cast<double>(b + 1) / blocks * 100;
        BlockInput block{
            samples.data(),   n, residues.data(), area.data(), static_cast<uint32_t>(area.size()), bits,
            reader.sampleType};
        uint32_t order = static_cast<uint32_t>(s.order),
                 solveInterval = static_cast<uint32_t>(s.solveInterval);
        uint32_t length;
        if (channels == 1) {
            length = optimize ? encodeMonoBlockOptimized(block, order, solveInterval, s.opt1, s.opt2,
                                                         lastMemoryLength, progress.loop())
                              : encodeMonoBlock(block, order, solveInterval, s.memoryLength,
                                                s.adaptationLength, s.family, progress.loop());
        } else {
            length = optimize ? encodeStereoBlockOptimized(block, order, s.crossOrder, solveInterval, s.opt1,
                                                           s.opt2, lastMemoryLength, progress.loop())
                              : encodeStereoBlock(block, order, s.crossOrder, solveInterval, s.memoryLength,
                                                  s.adaptationLength, s.family, progress.loop());
        }
        out.write(area.data(), length);
    }
    if (!options.silent) fputs("\rCompression done.    \n\n", stderr);
    if (!reader.readTrailer()) {
        fprintf(stderr, "Error processing WAVE file: \n%s\n", reader.errorText());
        return false;
    }
    writeTailSection(out, reader.trailer(), reader.trailerLength);
    out.close();
    reader.close();
    return true;
}

}  // namespace

bool encodeFile(const char* source, const char* output, const EncoderSettings& given) {
    EncoderSettings settings = given;
    applyDefaults(settings);
    if ((strcmp(source, "-") == 0 && !output) || (output && strcmp(output, "-") == 0)) {
        fputs("Incorrect usage for stdin or stdout\n", stderr);
        return false;
    }
    OutputName name;
    if (!name.build(source, output, ".elq")) return false;
    if (strcmp(source, name.text) == 0 || isSameFile(source, name.text)) {
        fputs("Source and destination must be different\n", stderr);
        return false;
    }
    if (!programOptions().silent) {
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
