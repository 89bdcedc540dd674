#include "residual/energy_coder.h"

#include <gtest/gtest.h>

#include <cmath>
#include <random>
#include <vector>

#include "residual_test_support.h"

namespace elq {
namespace {

using test::bits;
using test::Call;
using test::EncodedBlock;
using test::RecordingSink;
using test::sym;

TEST(EnergyCoder, SymbolMapping) {
    struct Case {
        uint32_t u, symbol, rawBits;
    };
    const Case cases[] = {
        {0, 0, 0},   {7, 7, 0},   {8, 8, 0},   {15, 15, 0}, {16, 16, 1},           {17, 16, 1},
        {18, 17, 1}, {31, 23, 1}, {32, 24, 2}, {80, 34, 3}, {0xFFFFFFFFu, 239, 28}};
    for (const Case& c : cases) {
        uint32_t k = 99;
        EXPECT_EQ(energySymbol(c.u, k), c.symbol) << c.u;
        EXPECT_EQ(k, c.rawBits) << c.u;
    }
    // The inverse restores every value; the largest value of each width takes the last symbol.
    std::mt19937 rng(17);
    for (int i = 0; i < 200000; ++i) {
        uint32_t u = i < 70000 ? static_cast<uint32_t>(i) : static_cast<uint32_t>(rng()) >> (rng() % 32);
        uint32_t k;
        uint32_t s = energySymbol(u, k);
        uint32_t k2;
        uint32_t base = energyValueBase(s, k2);
        ASSERT_EQ(k, k2);
        ASSERT_EQ(base + (u & ((1u << k) - 1)), u);
    }
    for (uint32_t width = 2; width <= 32; ++width) {
        uint32_t k;
        uint32_t top = width == 32 ? 0xFFFFFFFFu : (1u << width) - 1;
        EXPECT_EQ(energySymbol(top, k), energySymbolCount(width) - 1) << width;
    }
}

TEST(EnergyCoder, ContextIsTheExponentOfThePower) {
    EXPECT_EQ(energyContext(1.0, 63), 0u);
    EXPECT_EQ(energyContext(1.5, 63), 0u);
    EXPECT_EQ(energyContext(3.0, 63), 1u);
    EXPECT_EQ(energyContext(8.0, 63), 3u);
    EXPECT_EQ(energyContext(std::nextafter(8.0, 0.0), 63), 2u);
    EXPECT_EQ(energyContext(std::ldexp(1.0, 63), 63), 63u);
    // A power beyond any context of the array stays on the last model.
    EXPECT_EQ(energyContext(1e300, 31), 31u);
    EXPECT_EQ(energyContext(std::ldexp(1.0, 40), 31), 31u);
}

// N = 8, W = 16, residues 3, -5, 40, 0: contexts, symbols, raw bits and powers worked out by hand.
TEST(EnergyCoder, WorkedSequenceSymbolsAndPowers) {
    const AdaptationFactors f = adaptationFactors(8);
    const uint32_t lastContext = energyContextCount(16) - 1;
    RecordingSink sink;
    double power = 1.0;
    encodeEnergyValue(3, power, f, lastContext, sink);
    EXPECT_EQ(power, 5.5);
    encodeEnergyValue(-5, power, f, lastContext, sink);
    EXPECT_EQ(power, 15.0625);
    encodeEnergyValue(40, power, f, lastContext, sink);
    EXPECT_EQ(power, 813.3046875);
    encodeEnergyValue(0, power, f, lastContext, sink);
    EXPECT_EQ(power, 711.7666015625);
    const std::vector<Call> expected = {sym(0, 6), sym(2, 9), sym(3, 34), bits(0, 3), sym(9, 0)};
    EXPECT_EQ(sink.calls, expected);
}

TEST(EnergyCoder, WorkedSequenceCodedBlock) {
    const std::vector<int32_t> residues = {3, -5, 40, 0};
    std::vector<uint8_t> bytes = test::encodeResidues(kEnergyFamily, false, 8, 16, residues);

    EncodedBlock replay;
    RangeEncoder& e = replay.encoder;
    AdaptiveModelArray models;
    models.create(32, 112, kModelLimit, kEncoderModelsName);
    e.encodeShift(1, 6, 12);
    models[0].encodeSymbol(6, e);
    models[2].encodeSymbol(9, e);
    models[3].encodeSymbol(34, e);
    e.encodeBits(0, 3);
    models[9].encodeSymbol(0, e);
    EXPECT_EQ(bytes, replay.finish());

    test::DecodeResult decoded = test::decodeResidues(kEnergyFamily, false, 16, bytes, 4);
    EXPECT_EQ(decoded.residues, residues);
    EXPECT_EQ(decoded.endPosition, bytes.size());
}

TEST(EnergyCoder, ZerosKeepThePowerAtOne) {
    const AdaptationFactors f = adaptationFactors(7);
    RecordingSink sink;
    double power = 1.0;
    for (int i = 0; i < 1000; ++i)
        encodeEnergyValue(0, power, f, 31, sink);
    EXPECT_EQ(power, 1.0);
    EXPECT_EQ(sink.calls, std::vector<Call>(1000, sym(0, 0)));
}

TEST(EnergyCoder, FirstValueSetsTheSecondContext) {
    const AdaptationFactors f = adaptationFactors(2);
    for (uint32_t u : {1u, 2u}) {
        RecordingSink sink;
        double power = 1.0;
        encodeEnergyValue(unfold(u), power, f, 31, sink);
        EXPECT_EQ(power, u == 1 ? 1.5 : 3.0);
        encodeEnergyValue(0, power, f, 31, sink);
        EXPECT_EQ(sink.calls[1], sym(u == 1 ? 0 : 1, 0));
    }
}

TEST(EnergyCoder, StereoChannelsHaveTheirOwnContexts) {
    const AdaptationFactors f = adaptationFactors(12);
    std::vector<int32_t> residues;
    for (int i = 0; i < 200; ++i) {
        residues.push_back(i % 2 ? 30000 : -30000);  // loud channel 0
        residues.push_back(0);                       // silent channel 1
    }
    RecordingSink sink;
    double powers[2] = {1.0, 1.0};
    forEachValue<2, true>(static_cast<uint32_t>(residues.size()), 0, powers, [&](uint32_t i, double& power) {
        encodeEnergyValue(residues[i], power, f, 31, sink);
    });
    // Channel 1 codes symbol 0 in context 0 throughout; channel 0 moves up to context 31.
    uint32_t value = 0;
    uint32_t lastLoudContext = 0;
    for (const Call& c : sink.calls) {
        if (c.kind != 's') continue;
        if (value % 2) {
            EXPECT_EQ(c, sym(0, 0));
        } else {
            lastLoudContext = c.first;
        }
        ++value;
    }
    EXPECT_EQ(lastLoudContext, 31u);

    auto bytes = test::encodeResidues(kEnergyFamily, true, 12, 16, residues);
    EXPECT_EQ(test::decodeResidues(kEnergyFamily, true, 16, bytes, 400).residues, residues);
}

}  // namespace
}  // namespace elq
