// --optimize max: no block longer than the built-in choices would make it, only settings the mode
// and speedup allow, and blocks and files that decode to their source with any number of threads.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <string>
#include <utility>
#include <vector>

#include "entropy/memory_length.h"
#include "frontend/block_format.h"
#include "frontend/options.h"
#include "frontend/stream_decoder.h"
#include "prediction/block_predictor.h"
#include "prediction/encoding_loops.h"
#include "prediction/parameter_search.h"
#include "prediction/sample_normalizer.h"
#include "support/coded_bytes.h"
#include "support/run_elq.h"
#include "support/signals.h"
#include "support/temp_dir.h"
#include "wave/sample_type.h"

namespace elq {
namespace {

using test::Signal;

class FixedSeed final : public MemoryLengthSeed {
public:
    explicit FixedSeed(uint32_t value) : value(value) {}
    uint32_t start() override { return value; }
    void chosen(uint32_t winner) override { passedOn = winner; }

    uint32_t value;
    uint32_t passedOn = 0;
};

// The signal's values as the encode command hands them to a loop.
std::vector<int32_t> samplesOf(Signal kind, uint32_t bits, uint32_t channels, uint32_t frames) {
    const std::vector<uint8_t> bytes = test::pcmSignal(kind, bits, channels, frames);
    std::vector<int32_t> values;
    const uint32_t width = bits / 8;
    for (size_t at = 0; at < bytes.size(); at += width) {
        uint32_t raw = 0;
        for (uint32_t k = 0; k < width; ++k)
            raw |= static_cast<uint32_t>(bytes[at + k]) << (8 * k);
        values.push_back(bits == 8 ? static_cast<int32_t>(raw) - 128
                                   : static_cast<int32_t>(raw << (32 - bits)) >> (32 - bits));
    }
    return values;
}

struct Collected final : BlockSink {
    void beginBlock(uint32_t, uint32_t, uint32_t) override {}
    void putSamples(const int32_t* v, uint32_t n) override { values.insert(values.end(), v, v + n); }
    std::vector<int32_t> values;
};

struct Block {
    std::vector<int32_t> samples, residues;
    std::vector<uint8_t> output;
    uint32_t bits;

    Block(std::vector<int32_t> values, uint32_t bits)
        : samples(std::move(values)), residues(samples.size()), output(samples.size() * 5 + 64), bits(bits) {}
    // Each loop normalizes in place: every call starts from a fresh copy.
    BlockInput input(std::vector<int32_t>& copy) {
        copy = samples;
        return {copy.data(),   static_cast<uint32_t>(copy.size()),   residues.data(),
                output.data(), static_cast<uint32_t>(output.size()), bits};
    }
};

TEST(OptimizeMax, NoBlockLongerThanTheBuiltInChoicesAndOnlyAllowedSettings) {
    struct Case {
        Signal signal;
        uint32_t bits, channels, order, crossOrder, solveInterval, seed;
    };
    const Case cases[] = {
        {Signal::Tones, 16, 2, 24, 8, 128, 362},
        {Signal::Tones, 24, 1, 128, 0, 32, 4096},
        {Signal::Noise, 8, 1, 12, 0, 128, 2},
        {Signal::Square, 16, 2, 128, 40, 64, 362},
        {Signal::TwinChannels, 16, 2, 48, 16, 32, 90},
        {Signal::LeftOnly, 16, 2, 64, 20, 128, 362},
        {Signal::PaddedClipped, 24, 1, 36, 0, 128, 700},
        {Signal::Silence, 16, 2, 24, 8, 128, 362},
        {Signal::Dc, 8, 2, 12, 4, 128, 362},
    };
    bool first = false;
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(test::signalName(c.signal)) + " order " + std::to_string(c.order));
        const bool stereo = c.channels == 2;
        Block block(samplesOf(c.signal, c.bits, c.channels, 20000), c.bits);
        std::vector<int32_t> copy;
        const LoopProgress quiet;
        // The built-in choices from the same seed: --optimize none (plain up to "extra"), the default
        // search and, as in a file of one block, the other searches.
        first = !first;
        const bool plain = c.order <= 48;
        BuiltInChoices builtIn{plain, 256, 12, 0, 10, 10, {5, 2, 1}, first ? 3u : 0u};
        uint32_t bound =
            plain ? (stereo ? encodeStereoBlock(block.input(copy), c.order, c.crossOrder, c.solveInterval,
                                                256, 12, 0, quiet)
                            : encodeMonoBlock(block.input(copy), c.order, c.solveInterval, 256, 12, 0, quiet))
                        .length
                  : UINT32_MAX;
        FixedSeed fastSeed(c.seed), maxSeed(c.seed);
        for (uint32_t divisor : {10u, 5u, 2u, 1u}) {
            if (divisor != 10 && !first) break;
            FixedSeed seed(c.seed);
            MemoryLengthSeed& used = divisor == 10 ? fastSeed : seed;
            const uint32_t length =
                (stereo ? encodeStereoBlockOptimized(block.input(copy), c.order, c.crossOrder,
                                                     c.solveInterval, divisor, divisor, used, quiet)
                        : encodeMonoBlockOptimized(block.input(copy), c.order, c.solveInterval, divisor,
                                                   divisor, used, quiet))
                    .length;
            bound = std::min(bound, length);
        }
        const EncodedPayload max =
            stereo ? encodeStereoBlockMax(block.input(copy), c.order, c.crossOrder, c.solveInterval, builtIn,
                                          maxSeed, quiet)
                   : encodeMonoBlockMax(block.input(copy), c.order, c.solveInterval, builtIn, maxSeed, quiet);
        EXPECT_LE(max.length, bound);
        // And it decodes to the block.
        std::vector<uint8_t> whole(kBlockHeadSize + max.length);
        const uint32_t type = c.bits == 8 ? UINT8 : c.bits == 16 ? SINT16 : SINT24;
        writeBlockHead(whole.data(), max.length, static_cast<uint32_t>(block.samples.size()),
                       packBlockWord(type, stereo ? 1 : 0, 0, 0, max.family));
        std::copy_n(block.output.begin(), max.length, whole.begin() + kBlockHeadSize);
        InputStream in;
        in.openMemory(whole.data(), static_cast<uint32_t>(whole.size()));
        Collected decoded;
        readCompressedBlock(in, decoded, {});
        EXPECT_TRUE(decoded.values == block.samples);
        // The chain goes on as with the default search alone.
        EXPECT_EQ(maxSeed.passedOn, fastSeed.passedOn);

        // The settings in the payload: after the normalizer's fields, the predictor's, then the
        // residual coder's adaptation length.
        test::CodedBytes coded({block.output.begin(), block.output.begin() + max.length});
        RangeDecoder& decoder = coded.start();
        if (stereo) {
            StereoSampleNormalizerDecoder normalizer;
            normalizer.setSampleBits(c.bits);
            normalizer.readParameters(decoder);
        } else {
            SampleNormalizerDecoder normalizer;
            normalizer.setSampleBits(c.bits);
            normalizer.readParameters(decoder);
        }
        PredictorChoice chosen{};
        chosen.memoryLength = readMemoryLength(decoder);
        chosen.solveInterval = readSolveInterval(decoder);
        const PredictorOrders orders = readOrders(decoder, stereo);
        chosen.order = orders.order;
        chosen.crossOrder = stereo ? orders.crossOrder : 0;
        EXPECT_TRUE(withinLimits(chosen, {c.order, c.crossOrder, c.solveInterval, stereo}))
            << chosen.order << " " << chosen.crossOrder << " " << chosen.solveInterval << " "
            << chosen.memoryLength;
        EXPECT_LE(max.family, 1u);
    }
}

// The search on a known landscape: it asks only for allowed settings, once each, and walks from a
// poor start to the bottom of a smooth bowl (within an eighth of an octave of its memory length).
TEST(OptimizeMax, SearchStaysWithinTheLimitsAndFindsTheBottom) {
    struct Bowl final : ChoiceScorer {
        static uint32_t cost(const PredictorChoice& c) {
            const double own = c.order - c.crossOrder, cross = c.crossOrder, n = std::log2(c.memoryLength);
            return static_cast<uint32_t>(1e5 + 40 * (own - 28) * (own - 28) +
                                         300 * (cross - 8) * (cross - 8) + 2000 * (n - 9) * (n - 9));
        }
        uint32_t score(const PredictorChoice& c) override {
            EXPECT_TRUE(withinLimits(c, limits));
            for (const PredictorChoice& seen : asked)
                EXPECT_FALSE(seen == c);
            asked.push_back(c);
            return cost(c);
        }
        ChoiceLimits limits{};
        std::vector<PredictorChoice> asked;
    };
    for (const ChoiceLimits limits :
         {ChoiceLimits{128, 40, 128, true}, ChoiceLimits{48, 16, 32, true}, ChoiceLimits{24, 8, 128, true}}) {
        Bowl bowl;
        bowl.limits = limits;
        const PredictorChoice start{limits.order, limits.crossOrder, limits.solveInterval, 40};
        bowl.asked.push_back(start);
        const ScoredChoice starts[] = {{start, Bowl::cost(start)}};
        const PredictorChoice best = searchPredictorChoice(bowl, limits, starts, 1, 1000);
        uint32_t bottom = UINT32_MAX;
        for (uint32_t order = 8; order <= limits.order; order += 4) {
            for (uint32_t cross = 4; cross <= limits.crossOrder; cross += 4) {
                const PredictorChoice c{order, cross, limits.solveInterval, 512};
                if (withinLimits(c, limits)) bottom = std::min(bottom, Bowl::cost(c));
            }
        }
        EXPECT_LE(Bowl::cost(best), bottom + 32)
            << best.order << " " << best.crossOrder << " " << best.memoryLength;
    }
}

TEST(OptimizeMax, FilesDecodeToTheSourceWithAnyThreads) {
    test::TempDir dir;
    const std::string wave = test::waveText(Signal::Tones, 16, 2, 441000 / 2 * 2 + 1500);
    dir.write("in.wav", wave);
    auto run = [&](const std::string& args) { return test::runElq(test::words("--silent " + args), dir); };
    ASSERT_EQ(run("--threads 1 --seek fast --optimize max in.wav --output one").exitCode, 0);
    ASSERT_EQ(run("--threads 2 --seek fast --optimize max in.wav --output two").exitCode, 0);
    EXPECT_TRUE(test::sameBytes(dir.read("two.elq"), dir.read("one.elq")));
    for (const char* threads : {"1", "2"}) {
        ASSERT_EQ(run(std::string("--threads ") + threads + " one.elq --output back.wav").exitCode, 0);
        EXPECT_TRUE(test::sameBytes(dir.read("back.wav"), wave));
    }
    ProgramOptions& options = programOptions();
    const char* const args[] = {"elq", "--optimize", "max"};
    parseCommandLine(3, args);
    EXPECT_EQ(options.settings.maximize, 1);
    EXPECT_EQ(options.settings.opt1, 10);
}

}  // namespace
}  // namespace elq
