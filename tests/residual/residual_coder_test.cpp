// Both families, mono and stereo, through the public interfaces: refusals, every width with
// adversarial values, several adaptation lengths, sliced decoding, size estimates and damaged payloads.
#include "residual/residual_coder.h"

#include <gtest/gtest.h>

#include <random>

#include "entropy/memory_length.h"
#include "residual/energy_coder.h"
#include "residual/golomb_coder.h"
#include "residual_test_support.h"

namespace elq {
namespace {

constexpr uint32_t kFamilies[] = {kEnergyFamily, kGolombFamily};

// N = 8, W = 16, residues 3, -5, 40, 0: each family's fields and running statistic worked out by hand.
template <class Family>
void expectWorkedSequence(const double (&statistics)[4], const char* calls) {
    const int32_t residues[] = {3, -5, 40, 0};
    test::RecordingSink sink;
    double statistic = Family::kStartStatistic;
    for (int i = 0; i < 4; ++i) {
        Family::encodeValue(residues[i], statistic, memoryWeights(8), Family::widthParameter(16), sink);
        EXPECT_EQ(statistic, statistics[i]) << i;
    }
    EXPECT_EQ(sink.calls, calls);
}

TEST(ResidualCoder, WorkedSequences) {
    expectWorkedSequence<EnergyFamily>({5.5, 15.0625, 813.3046875, 711.7666015625},
                                       "s(0,6) s(2,9) s(3,34) b(0,3) s(9,0)");
    expectWorkedSequence<GolombFamily>({0.75, 1.78125, 11.55859375, 10.11376953125},
                                       "s(0,6) u(0,1) s(0,9) u(0,1) s(0,31) u(2,12) b(16,6) s(0,0) u(0,3)");
}

TEST(ResidualCoder, RefusesWhatItCannotCode) {
    test::expectRefused([] { createResidualDecoder(2, false); });
    test::expectRefused([] { createResidualEncoder(31, true); });
    for (uint32_t family : kFamilies) {
        auto encoder = createResidualEncoder(family, false);
        for (auto [n, width] : {std::pair{1u, 16u}, {65538u, 16u}, {12u, 1u}, {12u, 33u}})
            test::expectRefused([&] { encoder->setParameters(n, width); });
        auto decoder = createResidualDecoder(family, true);
        for (uint32_t width : {0u, 1u, 33u, 0xFFFFFFFFu})
            test::expectRefused([&] { decoder->setParameters(10, width); });
        decoder->setParameters(4, 16);  // but no readParameters
        test::CodedBytes coded(test::Bytes(16, 0));
        int32_t out[4];
        test::expectRefused([&] { decoder->decodeBlock(out, 4, coded.start()); });
    }
}

// Residues whose folded values fit W bits, in runs: silence, +-1, alternating extremes, a repeated
// extreme, a full-scale burst in a quiet stretch, uniform noise, and geometric noise of several scales.
std::vector<int32_t> adversarialResidues(uint32_t width, uint32_t count, std::mt19937& rng) {
    const int64_t lo = -(int64_t{1} << (width - 1)), hi = -lo - 1;
    std::vector<int32_t> values;
    while (values.size() < count) {
        const uint32_t run = 1 + rng() % 300, kind = rng() % 7;
        const int64_t extreme = rng() % 2 ? lo : hi;
        std::geometric_distribution<int64_t> magnitude(1.0 / (1 + rng() % 5000));
        for (uint32_t i = 0; i < run; ++i) {
            const int64_t v = std::min<int64_t>(magnitude(rng), hi), r = rng();
            const int64_t kinds[7] = {0,
                                      r % 3 - 1,
                                      r % 2 ? lo : hi,
                                      extreme,
                                      i == run / 2 ? lo : 0,
                                      lo + r % (hi - lo + 1),
                                      r % 2 ? v : -v - 1};
            values.push_back(static_cast<int32_t>(kinds[kind]));
        }
    }
    values.resize(count);
    return values;
}

TEST(ResidualRoundTrip, EveryWidthBothFamiliesMonoAndStereo) {
    const uint32_t lengths[] = {2, 12, 4096, 4097, 65537};
    std::mt19937 rng(2024);
    for (uint32_t family : kFamilies) {
        for (bool stereo : {false, true}) {
            // An empty block is the adaptation length alone.
            const test::Bytes empty = test::encodeResidues(family, stereo, 12, 16, {});
            EXPECT_EQ(empty, test::encoded([](RangeEncoder& e) { writeMemoryLength(e, 12); }));
            EXPECT_TRUE(test::decodeResidues(family, stereo, 16, empty, 0).empty());
            for (uint32_t width = 2; width <= 32; ++width) {
                const uint32_t n = lengths[(width + family + stereo) % 5], count = 1999 + rng() % 500;
                SCOPED_TRACE(testing::Message() << "family " << family << " stereo " << stereo << " W "
                                                << width << " N " << n << " count " << count);
                const std::vector<int32_t> residues = adversarialResidues(width, count, rng);
                const test::Bytes bytes = test::encodeResidues(family, stereo, n, width, residues);
                // The estimate leaves out the adaptation-length field, otherwise it follows the coder.
                auto encoder = createResidualEncoder(family, stereo);
                encoder->setParameters(n, width);
                EXPECT_NEAR(encoder->estimateSize(residues.data(), count), bytes.size(),
                            4 + bytes.size() / 64);
                ASSERT_EQ(test::decodeResidues(family, stereo, width, bytes, count), residues);
                ASSERT_EQ(test::decodeResidues(family, stereo, width, bytes, count, {1, 3, 2, 7, 64, 5}),
                          residues);
            }
        }
    }
}

// Random payloads: the decoder may deliver wrong values or stop with an Exception, but never leaves its
// tables (run under the sanitizers too).
TEST(ResidualRoundTrip, DamagedPayloadsDecodeSafely) {
    std::mt19937 rng(4242);
    uint32_t refused = 0;
    const uint32_t widths[] = {2, 3, 5, 16, 31, 32};
    for (int trial = 0; trial < 96; ++trial) {
        const uint32_t family = kFamilies[trial % 2], width = widths[trial / 4 % 6];
        test::Bytes bytes(6001);
        for (auto& b : bytes)
            b = static_cast<uint8_t>(rng());
        bytes[0] = kBlockFirstByte;
        auto decoder = createResidualDecoder(family, trial / 2 % 2);
        test::CodedBytes coded(bytes);
        std::vector<int32_t> out(4000);
        try {
            decoder->setParameters(4000, width);
            decoder->readParameters(coded.start());
            for (uint32_t done = 0; done < 4000;)
                done += decoder->decodeBlock(out.data() + done, 1 + rng() % 900, coded.decoder);
            // Energy symbols stay inside their alphabet, so the values inside the width.
            for (int32_t x : out)
                ASSERT_TRUE(family == kGolombFamily || width == 32 || fold(x) >> width == 0);
        } catch (const Exception& e) {
            ASSERT_TRUE(e.code == UNKNOWN || e.code == UNEXPECTEDEOF) << e.format();
            ++refused;
        }
    }
    EXPECT_GT(refused, 0u);  // small widths make damaged Golomb escapes certain
}

}  // namespace
}  // namespace elq
