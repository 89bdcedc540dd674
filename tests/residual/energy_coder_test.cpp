#include "residual/energy_coder.h"

#include <gtest/gtest.h>

#include <cmath>

namespace elq {
namespace {

TEST(EnergyCoder, SymbolsContextsAndTheirInverse) {
    const uint32_t cases[][3] = {
        {0, 0, 0},   {15, 15, 0}, {16, 16, 1},           {18, 17, 1},
        {32, 24, 2}, {80, 34, 3}, {0xFFFFFFFFu, 239, 28}};  // value, symbol, raw bits
    for (auto& c : cases) {
        uint32_t k = 99;
        EXPECT_EQ(energySymbol(c[0], k), c[1]) << c[0];
        EXPECT_EQ(k, c[2]) << c[0];
    }
    for (uint32_t s = 0, k, k2; s < energySymbolCount(32); ++s) {
        EXPECT_EQ(energySymbol(energyValueBase(s, k), k2), s);
        EXPECT_EQ(k2, k);
    }
    // The largest value of each width takes the last symbol of its alphabet.
    for (uint32_t width = 2, k; width <= 32; ++width)
        EXPECT_EQ(energySymbol(~0u >> (32 - width), k), energySymbolCount(width) - 1) << width;
    // The exponent of the power: just below 8 the logarithm would round up to 3; a power beyond the
    // array's contexts stays on the last model.
    const std::tuple<double, uint32_t, uint32_t> contexts[] = {{1.5, 63, 0},
                                                               {3.0, 63, 1},
                                                               {8.0, 63, 3},
                                                               {std::nextafter(8.0, 0.0), 63, 2},
                                                               {std::ldexp(1.0, 63), 63, 63},
                                                               {1e300, 31, 31}};
    for (auto [power, last, context] : contexts)
        EXPECT_EQ(energyContext(power, last), context) << power;
}

}  // namespace
}  // namespace elq
