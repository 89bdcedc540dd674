// Both families, mono and stereo, through the public interfaces: every width, adversarial value
// patterns, several adaptation lengths, sliced decoding, size estimates and damaged payloads.
#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <vector>

#include "residual/residual_coder.h"
#include "residual_test_support.h"

namespace elq {
namespace {

using test::CodedBytes;
using test::EncodedBlock;

constexpr uint32_t kFamilies[] = {kEnergyFamily, kGolombFamily};

// Residues whose folded values fit W bits: silence, +-1, extremes, long runs, sudden bursts,
// uniform noise and Laplacian noise of several scales.
std::vector<int32_t> adversarialResidues(uint32_t width, uint32_t count, std::mt19937& rng) {
    const int64_t lo = -(int64_t{1} << (width - 1));
    const int64_t hi = (int64_t{1} << (width - 1)) - 1;
    auto uniform = [&] {
        return static_cast<int32_t>(lo + static_cast<int64_t>(rng() % (uint64_t(hi - lo) + 1)));
    };
    std::vector<int32_t> values;
    while (values.size() < count) {
        uint32_t run = 1 + rng() % 300;
        switch (rng() % 7) {
            case 0:
                values.insert(values.end(), run, 0);
                break;
            case 1:
                for (uint32_t i = 0; i < run; ++i)
                    values.push_back(static_cast<int32_t>(rng() % 3) - 1);
                break;
            case 2:
                for (uint32_t i = 0; i < run; ++i)
                    values.push_back(static_cast<int32_t>(rng() % 2 ? lo : hi));
                break;
            case 3:
                values.insert(values.end(), run, static_cast<int32_t>(rng() % 2 ? lo : hi));
                break;
            case 4:  // a quiet stretch with one full-scale burst
                for (uint32_t i = 0; i < run; ++i)
                    values.push_back(i == run / 2 ? static_cast<int32_t>(lo) : 0);
                break;
            case 5:
                for (uint32_t i = 0; i < run; ++i)
                    values.push_back(uniform());
                break;
            default: {
                std::geometric_distribution<int64_t> magnitude(1.0 / (1 + rng() % 5000));
                for (uint32_t i = 0; i < run; ++i) {
                    int64_t v = std::min<int64_t>(magnitude(rng), hi);
                    values.push_back(static_cast<int32_t>(rng() % 2 ? v : -v - 1));
                }
            }
        }
    }
    values.resize(count);
    return values;
}

TEST(ResidualRoundTrip, EveryWidthBothFamiliesMonoAndStereo) {
    const uint32_t lengths[] = {2, 12, 4096, 4097, 65537};
    const std::vector<uint32_t> slices = {1, 3, 2, 7, 64, 5};
    std::mt19937 rng(2024);
    for (uint32_t family : kFamilies) {
        for (bool stereo : {false, true}) {
            for (uint32_t width = 2; width <= 32; ++width) {
                const uint32_t n = lengths[(width + family + stereo) % 5];
                const uint32_t count = 2000 + 2 * (rng() % 500);
                std::vector<int32_t> residues = adversarialResidues(width, count, rng);
                std::vector<uint8_t> bytes = test::encodeResidues(family, stereo, n, width, residues);
                SCOPED_TRACE(testing::Message()
                             << "family " << family << " stereo " << stereo << " W " << width << " N " << n);
                test::DecodeResult whole = test::decodeResidues(family, stereo, width, bytes, count);
                ASSERT_EQ(whole.residues, residues);
                EXPECT_EQ(whole.endPosition, bytes.size());
                test::DecodeResult sliced = test::decodeResidues(family, stereo, width, bytes, count, slices);
                ASSERT_EQ(sliced.residues, residues);
                EXPECT_EQ(sliced.endPosition, bytes.size());
            }
        }
    }
}

// A stereo block cut at odd sizes keeps each value on its own channel.
TEST(ResidualRoundTrip, OddSlicesAndOddCounts) {
    std::mt19937 rng(77);
    for (uint32_t family : kFamilies) {
        std::vector<int32_t> residues = adversarialResidues(16, 999, rng);
        auto bytes = test::encodeResidues(family, true, 12, 16, residues);
        auto decoded = test::decodeResidues(family, true, 16, bytes, 999, {1, 2, 5});
        EXPECT_EQ(decoded.residues, residues);
        EXPECT_EQ(decoded.endPosition, bytes.size());
    }
}

TEST(ResidualRoundTrip, EmptyBlock) {
    for (uint32_t family : kFamilies) {
        for (bool stereo : {false, true}) {
            auto encoder = createResidualEncoder(family, stereo);
            encoder->setParameters(12, 16);
            EXPECT_EQ(encoder->estimateSize(nullptr, 0), 5u);
            auto bytes = test::encodeResidues(family, stereo, 12, 16, {});
            EncodedBlock fieldOnly;
            writeAdaptationLength(fieldOnly.encoder, 12);
            EXPECT_EQ(bytes, fieldOnly.finish());
            auto decoded = test::decodeResidues(family, stereo, 16, bytes, 0);
            EXPECT_TRUE(decoded.residues.empty());
            EXPECT_EQ(decoded.endPosition, bytes.size());
        }
    }
}

// The estimate follows the real coder closely; it leaves out only the adaptation-length field.
TEST(ResidualRoundTrip, EstimateTracksTheCodedLength) {
    std::mt19937 rng(31);
    for (double scale : {0.5, 30.0, 3000.0}) {
        std::vector<int32_t> residues(120000);
        std::geometric_distribution<int32_t> magnitude(1.0 / (1.0 + scale));
        for (int32_t& r : residues) {
            int32_t v = std::min(magnitude(rng), 30000);
            r = rng() % 2 ? v : -v - 1;
        }
        for (uint32_t family : kFamilies) {
            for (bool stereo : {false, true}) {
                for (uint32_t n : {8u, 64u}) {
                    auto encoder = createResidualEncoder(family, stereo);
                    encoder->setParameters(n, 16);
                    uint32_t estimate = encoder->estimateSize(residues.data(), 120000);
                    EXPECT_EQ(encoder->estimateSize(residues.data(), 120000), estimate);
                    double real =
                        static_cast<double>(test::encodeResidues(family, stereo, n, 16, residues).size());
                    EXPECT_NEAR(estimate, real, 4 + real * 0.002)
                        << "family " << family << " stereo " << stereo << " scale " << scale << " N " << n;
                }
            }
        }
    }
}

// Random payloads: the decoder may deliver wrong values or stop with an
// Exception, but never leaves its tables (run under the sanitizers too).
TEST(ResidualRoundTrip, DamagedPayloadsDecodeSafely) {
    std::mt19937 rng(4242);
    uint32_t refused = 0;
    for (uint32_t family : kFamilies) {
        for (bool stereo : {false, true}) {
            for (uint32_t width : {2u, 3u, 4u, 5u, 8u, 16u, 24u, 31u, 32u}) {
                for (int round = 0; round < 6; ++round) {
                    // Any bytes read as a valid adaptation length; all that follows is damage.
                    std::vector<uint8_t> bytes = {0x40};
                    for (int i = 0; i < 6000; ++i)
                        bytes.push_back(static_cast<uint8_t>(rng()));
                    const uint32_t count = 4000;
                    auto decoder = createResidualDecoder(family, stereo);
                    CodedBytes coded(bytes);
                    RangeDecoder range;
                    std::vector<int32_t> out(count);
                    try {
                        range.start(coded.stream);
                        decoder->setParameters(count, width);
                        decoder->readParameters(range);
                        uint32_t done = 0;
                        while (done < count)
                            done += decoder->decodeBlock(out.data() + done, 1 + rng() % 900, range);
                        if (family == kEnergyFamily) {
                            // Symbols stay inside the alphabet, so values stay inside the width.
                            for (int32_t x : out)
                                ASSERT_TRUE(width == 32 || fold(x) >> width == 0);
                        }
                    } catch (const Exception& e) {
                        ASSERT_TRUE(e.code == UNKNOWN || e.code == UNEXPECTEDEOF) << e.format();
                        ++refused;
                    }
                }
            }
        }
    }
    EXPECT_GT(refused, 0u);  // small widths make damaged Golomb escapes certain
}

}  // namespace
}  // namespace elq
