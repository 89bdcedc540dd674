// --optimize max: no file longer than the built-in searches would make it, only settings the limits
// allow, and files that decode to their source, the same with any number of threads.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <string>
#include <vector>

#include "prediction/parameter_search.h"
#include "support/run_elq.h"
#include "support/signals.h"
#include "support/temp_dir.h"

namespace elq::test {
namespace {

// Files of one block: max tries the default search's settings and those of the other searches, so
// no built-in choice beats it; and it finds a shorter file somewhere.
TEST(OptimizeMax, NoFileLongerThanTheBuiltInChoices) {
    test::TempDir dir;
    const struct {
        Signal signal;
        uint32_t bits, channels;
        const char* mode;
    } cases[] = {
        {Signal::Tones, 16, 2, ""},
        {Signal::PaddedClipped, 24, 1, "--mode best "},
        {Signal::Noise, 8, 1, "--mode fast "},
        {Signal::TwinChannels, 16, 2, "--mode extra --speedup 2x "},
        {Signal::LeftOnly, 16, 2, "--mode ultra "},
    };
    size_t maxTotal = 0, fastTotal = 0;
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(test::signalName(c.signal)) + " " + c.mode);
        dir.write("in.wav", test::waveText(c.signal, c.bits, c.channels, 12000));
        size_t shortest = SIZE_MAX;
        for (const char* optimize : {"none", "fast", "normal", "high", "best", "max"}) {
            ASSERT_EQ(test::runElq(test::words(std::string("--silent ") + c.mode + "--optimize " + optimize +
                                               " in.wav --output " + optimize),
                                   dir)
                          .exitCode,
                      0);
            const size_t size = dir.read(std::string(optimize) + ".elq").size();
            if (std::string(optimize) != "max") shortest = std::min(shortest, size);
        }
        maxTotal += dir.read("max.elq").size();
        fastTotal += dir.read("fast.elq").size();
        EXPECT_LE(dir.read("max.elq").size(), shortest);
        ASSERT_EQ(test::runElq({"--silent", "max.elq", "--output", "back.wav"}, dir).exitCode, 0);
        EXPECT_TRUE(test::sameBytes(dir.read("back.wav"), dir.read("in.wav")));
    }
    EXPECT_LT(maxTotal, fastTotal);
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

// Several blocks, the search chain carried from block to block as with the default search: no
// longer than that, and the same bytes with one thread or two.
TEST(OptimizeMax, FilesDecodeToTheSourceWithAnyThreads) {
    test::TempDir dir;
    const std::string wave = test::waveText(Signal::Tones, 16, 2, 441000 / 2 * 2 + 1500);
    dir.write("in.wav", wave);
    auto run = [&](const std::string& args) { return test::runElq(test::words("--silent " + args), dir); };
    ASSERT_EQ(run("--threads 1 --seek fast --optimize max in.wav --output one").exitCode, 0);
    ASSERT_EQ(run("--threads 2 --seek fast --optimize max in.wav --output two").exitCode, 0);
    ASSERT_EQ(run("--threads 2 --seek fast in.wav --output fast").exitCode, 0);
    EXPECT_TRUE(test::sameBytes(dir.read("two.elq"), dir.read("one.elq")));
    EXPECT_LE(dir.read("one.elq").size(), dir.read("fast.elq").size());
    for (const char* threads : {"1", "2"}) {
        ASSERT_EQ(run(std::string("--threads ") + threads + " one.elq --output back.wav").exitCode, 0);
        EXPECT_TRUE(test::sameBytes(dir.read("back.wav"), wave));
    }
}

}  // namespace
}  // namespace elq::test
