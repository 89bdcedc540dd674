#include "residual/golomb_coder.h"

#include <gtest/gtest.h>

#include <vector>

#include "residual_test_support.h"

namespace elq {
namespace {

using test::bits;
using test::Call;
using test::CodedBytes;
using test::EncodedBlock;
using test::RecordingSink;
using test::sym;
using test::uni;

// N = 8, W = 16, residues 3, -5, 40, 0: the fields and running means worked out by hand.
TEST(GolombCoder, WorkedSequenceSymbolsAndMeans) {
    const AdaptationFactors f = adaptationFactors(8);
    RecordingSink sink;
    double mean = 0.0;
    encodeGolombValue(3, mean, f, 16, sink);
    EXPECT_EQ(mean, 0.75);
    encodeGolombValue(-5, mean, f, 16, sink);
    EXPECT_EQ(mean, 1.78125);
    encodeGolombValue(40, mean, f, 16, sink);
    EXPECT_EQ(mean, 11.55859375);
    encodeGolombValue(0, mean, f, 16, sink);
    EXPECT_EQ(mean, 10.11376953125);
    const std::vector<Call> expected = {sym(0, 6),  uni(0, 1),   sym(0, 9), uni(0, 1), sym(0, 31),
                                        uni(2, 12), bits(16, 6), sym(0, 0), uni(0, 3)};
    EXPECT_EQ(sink.calls, expected);
}

// The same block through the real encoder equals a replay of the listed operations, and decodes.
TEST(GolombCoder, WorkedSequenceCodedBlock) {
    const std::vector<int32_t> residues = {3, -5, 40, 0};
    std::vector<uint8_t> bytes = test::encodeResidues(kGolombFamily, false, 8, 16, residues);

    EncodedBlock replay;
    RangeEncoder& e = replay.encoder;
    AdaptiveModel model;
    model.create(32, kModelLimit);
    e.encodeShift(1, 6, 12);
    model.encodeSymbol(6, e);
    e.encodeFreq(1, 0, 1);
    model.encodeSymbol(9, e);
    e.encodeFreq(1, 0, 1);
    model.encodeSymbol(31, e);
    e.encodeFreq(1, 2, 12);
    e.encodeBits(16, 6);
    model.encodeSymbol(0, e);
    e.encodeFreq(1, 0, 3);
    EXPECT_EQ(bytes, replay.finish());

    test::DecodeResult decoded = test::decodeResidues(kGolombFamily, false, 16, bytes, 4);
    EXPECT_EQ(decoded.residues, residues);
    EXPECT_EQ(decoded.endPosition, bytes.size());
}

TEST(GolombCoder, FirstValueUsesDivisorOne) {
    const AdaptationFactors f = adaptationFactors(12);
    for (uint32_t u = 0; u <= 30; ++u) {
        RecordingSink sink;
        double mean = 0.0;
        encodeGolombValue(unfold(u), mean, f, 16, sink);
        EXPECT_EQ(sink.calls, (std::vector<Call>{sym(0, u), uni(0, 1)}));
    }
    RecordingSink sink;
    double mean = 0.0;
    encodeGolombValue(unfold(31), mean, f, 16, sink);
    EXPECT_EQ(sink.calls, (std::vector<Call>{sym(0, 31), uni(0, 12), bits(15, 4)}));
}

TEST(GolombCoder, MostNegativeResidueEscapesWithThirtyOneBits) {
    RecordingSink sink;
    double mean = 0.0;
    encodeGolombValue(INT32_MIN, mean, adaptationFactors(12), 32, sink);
    EXPECT_EQ(sink.calls, (std::vector<Call>{sym(0, 31), uni(27, 28), bits(0x7FFFFFFFu, 31)}));

    std::vector<int32_t> residues = {INT32_MIN, INT32_MAX, 0, INT32_MIN, -1, INT32_MIN};
    auto bytes = test::encodeResidues(kGolombFamily, false, 2, 32, residues);
    EXPECT_EQ(test::decodeResidues(kGolombFamily, false, 32, bytes, 6).residues, residues);
}

TEST(GolombCoder, DivisionUpTo16384ThenShift) {
    EXPECT_EQ(golombDivisor(0.0), 1u);
    EXPECT_EQ(golombDivisor(3.999), 1u);
    EXPECT_EQ(golombDivisor(4.0), 2u);
    EXPECT_EQ(golombDivisor(65535.999), 16384u);
    EXPECT_EQ(golombDivisor(65536.0), 16385u);
    EXPECT_EQ(golombDivisor(4294967295.0), 1073741824u);

    const AdaptationFactors f = adaptationFactors(4);
    const uint32_t u = 3 * 16384 + 100;
    RecordingSink division;
    double mean = 65535.0;
    encodeGolombValue(unfold(u), mean, f, 20, division);
    EXPECT_EQ(division.calls, (std::vector<Call>{sym(0, 3), uni(100, 16384)}));

    RecordingSink shift;
    mean = 65536.0;
    encodeGolombValue(unfold(u), mean, f, 20, shift);
    EXPECT_EQ(shift.calls, (std::vector<Call>{sym(0, 3), bits(100, 14)}));

    // An escape in the shift branch has base s + 4 = 18.
    RecordingSink escape;
    mean = 65536.0;
    encodeGolombValue(unfold(31u << 14), mean, f, 20, escape);
    EXPECT_EQ(escape.calls, (std::vector<Call>{sym(0, 31), uni(0, 2), bits((31u << 14) - (1u << 18), 18)}));
}

TEST(GolombCoder, StereoChannelsKeepTheirOwnMeans) {
    const AdaptationFactors f = adaptationFactors(8);
    const int32_t residues[] = {40, 3, 0, 0};
    RecordingSink sink;
    double means[2] = {0.0, 0.0};
    forEachValue<2, false>(
        4, 0, means, [&](uint32_t i, double& mean) { encodeGolombValue(residues[i], mean, f, 16, sink); });
    // Channel 1's first value still sees divisor 1; channel 0's second value sees (10 >> 2) + 1.
    const std::vector<Call> expected = {sym(0, 31), uni(2, 12), bits(16, 6), sym(0, 6), uni(0, 1),
                                        sym(0, 0),  uni(0, 3),  sym(0, 0),   uni(0, 1)};
    EXPECT_EQ(sink.calls, expected);
    EXPECT_EQ(means[0], 0.875 * 10.0);
    EXPECT_EQ(means[1], 0.875 * 0.75);
}

// An escape whose base reaches W never comes from a valid block; the decoder refuses it instead of
// dividing by an empty alphabet.
TEST(GolombCoder, EscapeBeyondTheWidthIsRefused) {
    auto bytes = test::encodeResidues(kGolombFamily, false, 12, 16, {50});  // u = 100: escape, k = 4
    for (uint32_t width : {2u, 3u, 4u}) {
        auto decoder = createResidualDecoder(kGolombFamily, false);
        CodedBytes coded(bytes);
        RangeDecoder range;
        range.start(coded.stream);
        decoder->setParameters(1, width);
        decoder->readParameters(range);
        int32_t out = 0;
        try {
            decoder->decodeBlock(&out, 1, range);
            FAIL() << "W " << width;
        } catch (const Exception& e) {
            EXPECT_EQ(e.code, UNKNOWN);
            EXPECT_STREQ(e.name, "corrupt residual data: Golomb escape beyond the residue width");
        }
    }
    CodedBytes coded(std::vector<uint8_t>(16, 0x55));
    RangeDecoder range;
    range.start(coded.stream);
    EXPECT_THROW(decodeGolombEscape(32, 32, range), Exception);
    EXPECT_THROW(decodeGolombEscape(34, 32, range), Exception);
}

}  // namespace
}  // namespace elq
