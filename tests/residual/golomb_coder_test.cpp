#include "residual/golomb_coder.h"

#include <gtest/gtest.h>

#include "residual_test_support.h"

namespace elq {
namespace {

using test::bits;
using test::Call;
using test::sym;
using test::uni;

std::vector<Call> callsOf(uint32_t u, double mean, uint32_t width) {
    test::RecordingSink sink;
    encodeGolombValue(unfold(u), mean, adaptationFactors(12), width, sink);
    return sink.calls;
}

// N = 8, W = 16, residues 3, -5, 40, 0: the fields and running means worked out by hand; the coded
// block is the replay of those operations with one model of 32 symbols, and decodes back.
TEST(GolombCoder, WorkedSequence) {
    const std::vector<int32_t> residues = {3, -5, 40, 0};
    const double means[] = {0.75, 1.78125, 11.55859375, 10.11376953125};
    test::RecordingSink sink;
    double mean = 0.0;
    for (int i = 0; i < 4; ++i) {
        encodeGolombValue(residues[i], mean, adaptationFactors(8), 16, sink);
        EXPECT_EQ(mean, means[i]);
    }
    EXPECT_EQ(sink.calls, (std::vector<Call>{sym(0, 6), uni(0, 1), sym(0, 9), uni(0, 1), sym(0, 31),
                                             uni(2, 12), bits(16, 6), sym(0, 0), uni(0, 3)}));
    const test::Bytes bytes = test::encodeResidues(kGolombFamily, false, 8, 16, residues);
    EXPECT_EQ(bytes, test::encoded([](RangeEncoder& e) {
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
              }));
    EXPECT_EQ(test::decodeResidues(kGolombFamily, false, 16, bytes, 4), residues);
}

TEST(GolombCoder, MostNegativeResidueEscapesWithThirtyOneBits) {
    EXPECT_EQ(callsOf(0xFFFFFFFFu, 0.0, 32),
              (std::vector<Call>{sym(0, 31), uni(27, 28), bits(0x7FFFFFFFu, 31)}));
    const std::vector<int32_t> residues = {INT32_MIN, INT32_MAX, 0, INT32_MIN, -1, INT32_MIN};
    EXPECT_EQ(test::decodeResidues(kGolombFamily, false, 32,
                                   test::encodeResidues(kGolombFamily, false, 2, 32, residues), 6),
              residues);
}

TEST(GolombCoder, DividesUpTo16384ThenShifts) {
    EXPECT_EQ(golombDivisor(3.999), 1u);
    EXPECT_EQ(golombDivisor(4.0), 2u);
    EXPECT_EQ(golombDivisor(65535.999), 16384u);
    EXPECT_EQ(golombDivisor(65536.0), 16385u);
    EXPECT_EQ(golombDivisor(4294967295.0), 1073741824u);
    const uint32_t u = 3 * 16384 + 100;
    EXPECT_EQ(callsOf(u, 65535.0, 20), (std::vector<Call>{sym(0, 3), uni(100, 16384)}));
    EXPECT_EQ(callsOf(u, 65536.0, 20), (std::vector<Call>{sym(0, 3), bits(100, 14)}));
    // Escapes: base floorLog2(31·m) when dividing, s + 4 = 18 when shifting.
    EXPECT_EQ(callsOf(31, 0.0, 16), (std::vector<Call>{sym(0, 31), uni(0, 12), bits(15, 4)}));
    EXPECT_EQ(callsOf(31u << 14, 65536.0, 20),
              (std::vector<Call>{sym(0, 31), uni(0, 2), bits((31u << 14) - (1u << 18), 18)}));
}

// An escape whose base reaches W never comes from a valid block; the decoder refuses it instead of
// dividing by an empty alphabet.
TEST(GolombCoder, EscapeBeyondTheWidthIsRefused) {
    const test::Bytes bytes =
        test::encodeResidues(kGolombFamily, false, 12, 16, {50});  // u = 100: escape, k = 4
    for (uint32_t width : {2u, 3u, 4u}) {
        auto decoder = createResidualDecoder(kGolombFamily, false);
        test::CodedBytes coded(bytes);
        decoder->setParameters(1, width);
        decoder->readParameters(coded.start());
        int32_t out = 0;
        test::expectRefused([&] { decoder->decodeBlock(&out, 1, coded.decoder); });
    }
    test::CodedBytes coded(test::Bytes(16, 0x55));
    EXPECT_THROW(decodeGolombEscape(32, 32, coded.start()), Exception);
}

}  // namespace
}  // namespace elq
