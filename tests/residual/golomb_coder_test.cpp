#include "residual/golomb_coder.h"

#include <gtest/gtest.h>

#include "residual_test_support.h"

namespace elq {
namespace {

// Divisors up to 16384, then shifts; escapes with base floorLog2(31·m) when dividing, s + 4 when
// shifting, and 31 raw bits for the most negative residue.
TEST(GolombCoder, DivisorsShiftsAndEscapes) {
    const std::pair<double, uint32_t> divisors[] = {
        {3.999, 1}, {4.0, 2}, {65535.999, 16384}, {65536.0, 16385}, {4294967295.0, 1073741824}};
    for (auto [mean, divisor] : divisors)
        EXPECT_EQ(golombDivisor(mean), divisor) << mean;
    const std::tuple<uint32_t, double, uint32_t, const char*> cases[] = {
        {3 * 16384 + 100, 65535.0, 20, "s(0,3) u(100,16384)"},
        {3 * 16384 + 100, 65536.0, 20, "s(0,3) b(100,14)"},
        {31, 0.0, 16, "s(0,31) u(0,12) b(15,4)"},
        {31u << 14, 65536.0, 20, "s(0,31) u(0,2) b(245760,18)"},
        {0xFFFFFFFFu, 0.0, 32, "s(0,31) u(27,28) b(2147483647,31)"}};
    for (auto [u, mean, width, calls] : cases) {
        test::RecordingSink sink;
        GolombFamily::encodeValue(unfold(u), mean, memoryWeights(12), width, sink);
        EXPECT_EQ(sink.calls, calls) << u;
    }
}

// An escape whose base reaches W never comes from a valid block; the decoder refuses it instead of
// dividing by an empty alphabet.
TEST(GolombCoder, EscapeBeyondTheWidthIsRefused) {
    const test::Bytes bytes = test::encodeResidues(kGolombFamily, false, 12, 16, {50});  // escape, k = 4
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
