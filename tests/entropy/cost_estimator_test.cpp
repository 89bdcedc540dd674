#include "entropy/cost_estimator.h"

#include <gtest/gtest.h>

#include <random>
#include <vector>

#include "entropy/models.h"
#include "support/coded_bytes.h"

namespace elq {
namespace {

using test::EncodedBlock;

TEST(CostEstimator, EmptyBlockCostsFiveBytes) {
    CostEstimator estimator;
    estimator.reset();
    EXPECT_EQ(estimator.finish(), 5u);
}

TEST(CostEstimator, UniformBytesMatchTheEncoderExceptForTheLastSymbol) {
    std::mt19937 rng(3);
    for (bool withLast : {false, true}) {
        for (int round = 0; round < 20; ++round) {
            CostEstimator estimator;
            estimator.reset();
            EncodedBlock block;
            uint32_t count = rng() % 5000;
            for (uint32_t i = 0; i < count; ++i) {
                uint32_t v = withLast && rng() % 4 == 0 ? 255 : rng() % 255;
                block.encoder.encodeByte(v);
                estimator.estimateShift(1, 8);  // the value itself does not change the cost
            }
            uint32_t real = static_cast<uint32_t>(block.finish().size());
            uint32_t estimate = estimator.finish();
            if (withLast) {
                EXPECT_GE(estimate, real);
            } else {
                EXPECT_EQ(estimate, real);
            }
        }
    }
}

TEST(CostEstimator, BitsCostTheirChunks) {
    for (uint32_t start : {0x80000000u, 0x00800001u, 0x12345678u}) {
        CostEstimator bits;
        bits.range = start;
        bits.estimateBits(32);
        CostEstimator chunks;
        chunks.range = start;
        chunks.estimateShift(1, 12);
        chunks.estimateShift(1, 12);
        chunks.estimateShift(1, 8);
        EXPECT_EQ(bits.range, chunks.range);
        EXPECT_EQ(bits.bytes, chunks.bytes);

        CostEstimator none;
        none.range = start;
        none.estimateBits(0);
        EXPECT_EQ(none.range, start);
        EXPECT_EQ(none.bytes, 0u);
    }
}

// A cost model predicts exactly the encoder's length while the alphabet's last symbol is never
// coded, and never less otherwise.
TEST(CostEstimator, ModelDrivenEstimateFollowsTheEncoder) {
    std::mt19937 rng(11);
    for (bool withLast : {false, true}) {
        for (uint32_t symbols : {3u, 32u, 112u}) {
            AdaptiveModel model;
            model.create(symbols, kModelLimit);
            CostModel cost;
            cost.create(symbols, kModelLimit);
            CostEstimator estimator;
            estimator.reset();
            EncodedBlock block(1 << 20);
            for (int i = 0; i < 100000; ++i) {
                uint32_t top = withLast ? symbols : symbols - 1;
                uint32_t s = rng() % 3 ? rng() % 2 : rng() % top;
                if (withLast && i % 7 == 0) s = symbols - 1;
                model.encodeSymbol(s, block.encoder);
                cost.estimateSymbol(s, estimator);
            }
            uint32_t real = static_cast<uint32_t>(block.finish().size());
            uint32_t estimate = estimator.finish();
            if (withLast) {
                EXPECT_GE(estimate, real);
                EXPECT_LE(estimate, real + real / 100);
            } else {
                EXPECT_EQ(estimate, real);
            }
        }
    }
}

}  // namespace
}  // namespace elq
