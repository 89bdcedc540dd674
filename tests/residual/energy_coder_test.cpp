#include "residual/energy_coder.h"

#include <gtest/gtest.h>

#include <cmath>

#include "residual_test_support.h"

namespace elq {
namespace {

TEST(EnergyCoder, SymbolsAndTheirInverse) {
    const uint32_t cases[][3] = {
        {0, 0, 0},   {7, 7, 0},   {8, 8, 0},   {15, 15, 0}, {16, 16, 1},           {17, 16, 1},
        {18, 17, 1}, {31, 23, 1}, {32, 24, 2}, {80, 34, 3}, {0xFFFFFFFFu, 239, 28}};  // value, symbol, raw
                                                                                      // bits
    for (auto& c : cases) {
        uint32_t k = 99;
        EXPECT_EQ(energySymbol(c[0], k), c[1]) << c[0];
        EXPECT_EQ(k, c[2]) << c[0];
    }
    for (uint32_t s = 0; s < energySymbolCount(32); ++s) {
        uint32_t k, k2;
        EXPECT_EQ(energySymbol(energyValueBase(s, k), k2), s);
        EXPECT_EQ(k2, k);
    }
    // The largest value of each width takes the last symbol of its alphabet.
    for (uint32_t width = 2; width <= 32; ++width) {
        uint32_t k;
        EXPECT_EQ(energySymbol(width == 32 ? ~0u : (1u << width) - 1, k), energySymbolCount(width) - 1)
            << width;
    }
}

TEST(EnergyCoder, ContextIsTheExponentOfThePower) {
    // Just below 8 the logarithm would round up to 3.
    const std::pair<double, uint32_t> cases[] = {
        {1.0, 0}, {1.5, 0}, {3.0, 1}, {8.0, 3}, {std::nextafter(8.0, 0.0), 2}, {std::ldexp(1.0, 63), 63}};
    for (auto [power, context] : cases)
        EXPECT_EQ(energyContext(power, 63), context) << power;
    // A power beyond the array's contexts stays on the last model.
    EXPECT_EQ(energyContext(1e300, 31), 31u);
    EXPECT_EQ(energyContext(std::ldexp(1.0, 40), 31), 31u);
}

// N = 8, W = 16, residues 3, -5, 40, 0: contexts, symbols, raw bits and powers worked out by hand; the
// coded block is the replay of those operations with 32 models of 112 symbols, and decodes back.
TEST(EnergyCoder, WorkedSequence) {
    const std::vector<int32_t> residues = {3, -5, 40, 0};
    const double powers[] = {5.5, 15.0625, 813.3046875, 711.7666015625};
    test::RecordingSink sink;
    double power = 1.0;
    for (int i = 0; i < 4; ++i) {
        encodeEnergyValue(residues[i], power, adaptationFactors(8), 31, sink);
        EXPECT_EQ(power, powers[i]);
    }
    EXPECT_EQ(sink.calls, "s(0,6) s(2,9) s(3,34) b(0,3) s(9,0)");
    const test::Bytes bytes = test::encodeResidues(kEnergyFamily, false, 8, 16, residues);
    EXPECT_EQ(bytes, test::encoded([](RangeEncoder& e) {
                  AdaptiveModelArray models;
                  models.create(32, 112, kModelLimit, kEncoderModelsName);
                  e.encodeShift(1, 6, 12);
                  models[0].encodeSymbol(6, e);
                  models[2].encodeSymbol(9, e);
                  models[3].encodeSymbol(34, e);
                  e.encodeBits(0, 3);
                  models[9].encodeSymbol(0, e);
              }));
    EXPECT_EQ(test::decodeResidues(kEnergyFamily, false, 16, bytes, 4), residues);
}

}  // namespace
}  // namespace elq
