// Both families, mono and stereo, through the public interfaces: refusals, every width with
// adversarial values, several adaptation lengths, sliced decoding and size estimates. (Damaged
// payloads go through the decode_blocks fuzz target, which the suite runs on damaged seeds.)
#include "residual/residual_coder.h"

#include <gtest/gtest.h>

#include <cmath>
#include <random>

#include "entropy/memory_length.h"
#include "residual/energy_coder.h"
#include "residual/golomb_coder.h"
#include "support/coded_bytes.h"

namespace elq::test {
namespace {

constexpr uint32_t kFamilies[] = {kEnergyFamily, kGolombFamily};

Bytes encodeResidues(uint32_t family, bool stereo, uint32_t adaptationLength, uint32_t width,
                     const std::vector<int32_t>& residues) {
    Owned<ResidualEncoder> encoder = createResidualEncoder(family, stereo);
    encoder->setParameters(adaptationLength, width);
    return test::encoded([&](RangeEncoder& e) {
        encoder->writeParameters(e);
        encoder->encodeBlock(residues.data(), static_cast<uint32_t>(residues.size()), e);
    });
}

// Decodes `count` residues with decodeBlock calls of the given sizes in turn (none: one call); the
// block must end exactly where the range decoder leaves the stream.
std::vector<int32_t> decodeResidues(uint32_t family, bool stereo, uint32_t width, const Bytes& bytes,
                                    uint32_t count, const std::vector<uint32_t>& slices = {}) {
    Owned<ResidualDecoder> decoder = createResidualDecoder(family, stereo);
    test::CodedBytes coded(bytes);
    decoder->setParameters(count, width);
    decoder->readParameters(coded.start());
    std::vector<int32_t> out(count, 0x5A5A5A5A);
    for (uint32_t done = 0, i = 0, got = 1; done < count && got != 0; ++i, done += got) {
        const uint32_t want = slices.empty() ? count : slices[i % slices.size()];
        got = decoder->decodeBlock(out.data() + done, want, coded.decoder);
        EXPECT_EQ(got, std::min(want, count - done));
    }
    EXPECT_EQ(decoder->decodeBlock(out.data(), 1, coded.decoder), 0u);  // the block is complete
    coded.expectFullyRead();
    return out;
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
        test::CodedBytes coded(Bytes(16, 0));
        int32_t out[4];
        test::expectRefused([&] { decoder->decodeBlock(out, 4, coded.start()); });
    }
    // A Golomb escape whose base reaches W never comes from a valid block; the decoder refuses it
    // instead of dividing by an empty alphabet.
    const Bytes escape = encodeResidues(kGolombFamily, false, 12, 16, {50});  // base 4
    for (uint32_t width : {2u, 3u, 4u}) {
        auto decoder = createResidualDecoder(kGolombFamily, false);
        test::CodedBytes coded(escape);
        decoder->setParameters(1, width);
        decoder->readParameters(coded.start());
        int32_t out = 0;
        test::expectRefused([&] { decoder->decodeBlock(&out, 1, coded.decoder); });
    }
}

// The energy context is the exact binary exponent (a logarithm would round just below 8 up to 3);
// a power beyond the models stays on the last one.
TEST(ResidualCoder, EnergyContextIsTheExponent) {
    EXPECT_EQ(energyContext(std::nextafter(8.0, 0.0), 63), 2u);
    EXPECT_EQ(energyContext(8.0, 63), 3u);
    EXPECT_EQ(energyContext(1e300, 31), 31u);
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
            const Bytes empty = encodeResidues(family, stereo, 12, 16, {});
            EXPECT_EQ(empty, test::encoded([](RangeEncoder& e) { writeMemoryLength(e, 12); }));
            EXPECT_TRUE(decodeResidues(family, stereo, 16, empty, 0).empty());
            for (uint32_t width = 2; width <= 32; ++width) {
                const uint32_t n = lengths[(width + family + stereo) % 5], count = 1999 + rng() % 500;
                SCOPED_TRACE(testing::Message() << "family " << family << " stereo " << stereo << " W "
                                                << width << " N " << n << " count " << count);
                const std::vector<int32_t> residues = adversarialResidues(width, count, rng);
                const Bytes bytes = encodeResidues(family, stereo, n, width, residues);
                // The estimate leaves out the adaptation-length field, otherwise it follows the coder.
                auto encoder = createResidualEncoder(family, stereo);
                encoder->setParameters(n, width);
                EXPECT_NEAR(encoder->estimateSize(residues.data(), count), bytes.size(),
                            4 + bytes.size() / 64);
                ASSERT_EQ(decodeResidues(family, stereo, width, bytes, count), residues);
                ASSERT_EQ(decodeResidues(family, stereo, width, bytes, count, {1, 3, 2, 7, 64, 5}), residues);
            }
        }
    }
}

}  // namespace
}  // namespace elq::test
