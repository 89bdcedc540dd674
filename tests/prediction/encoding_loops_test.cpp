// The search's own logarithm and power of two: correctly rounded, so that no platform's
// library (several differ in the last bit) can change which memory length an encoder picks.
#include "prediction/encoding_loops.h"

#include <gtest/gtest.h>

#include <cmath>

namespace elq {
namespace {

TEST(SearchMath, CorrectlyRounded) {
    // Each expected value is the nearest double to the exact result, worked out to 80 digits;
    // the first two are cases where a common library rounds the other way.
    EXPECT_EQ(naturalLog(9170), 0x1.23f54a1c504c1p+3);
    EXPECT_EQ(naturalLog(136837), 0x1.7a7310000e6dbp+3);
    EXPECT_EQ(powerOfTwo(0x1.efd9d663df6c4p+3), 0x1.68df1c0ceb284p+15);
    EXPECT_EQ(powerOfTwo(0x1.6362f96a3fc84p+1), 0x1.b681f073387f5p+2);
    EXPECT_EQ(naturalLog(2), 0x1.62e42fefa39efp-1);
    EXPECT_EQ(naturalLog(1), 0.0);
    EXPECT_EQ(powerOfTwo(-0.5), 0x1.6a09e667f3bcdp-1);
    for (int k = -20; k <= 40; ++k)
        EXPECT_EQ(powerOfTwo(k), std::ldexp(1.0, k)) << k;
    // Against the 64-bit-significand library functions, ours may differ only where the exact value
    // lies next to a rounding boundary.
    auto halfUlp = [](double v) { return 0.5001L * (std::nextafter(v, HUGE_VAL) - v); };
    for (uint32_t i = 0, state = 1; i < 20000; ++i) {
        state = state * 1664525u + 1013904223u;
        const double n = 2 + state % 20000000, x = (state >> 8) / 65536.0 / 4.0 - 10.0;
        EXPECT_LE(std::fabs(static_cast<long double>(naturalLog(n)) - logl(n)), halfUlp(naturalLog(n))) << n;
        EXPECT_LE(std::fabs(static_cast<long double>(powerOfTwo(x)) - exp2l(x)), halfUlp(powerOfTwo(x))) << x;
    }
}

}  // namespace
}  // namespace elq
