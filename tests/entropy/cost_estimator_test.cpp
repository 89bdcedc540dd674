#include "entropy/cost_estimator.h"

#include <gtest/gtest.h>

#include <random>

#include "entropy/models.h"
#include "support/coded_bytes.h"

namespace elq {
namespace {

// Model symbols, uniform values and raw bits as the residual coders send them. The estimate is the
// encoder's length exactly while no operation codes the last value of its alphabet (which receives
// the division's remainder in the encoder), and otherwise never less.
TEST(CostEstimator, FollowsTheEncodersLength) {
    EXPECT_EQ(CostEstimator().finish(), 5u);
    std::mt19937 rng(11);
    for (bool withLast : {false, true}) {
        for (uint32_t symbols : {3u, 112u}) {
            CumulativeModel model;
            CostModel cost;
            model.create(symbols, kModelLimit);
            cost.create(symbols, kModelLimit);
            CostEstimator estimator;
            test::EncodedBlock block;
            for (int i = 0; i < 40000; ++i) {
                const uint32_t s = withLast && i % 7 == 0 ? symbols - 1
                                   : rng() % 3            ? rng() % 2
                                                          : rng() % (symbols - 1);
                model.encodeSymbol(s, block.encoder);
                cost.estimateSymbol(s, estimator);
                const uint32_t total = 2 + rng() % 65535, nbits = rng() % 33;
                // Without the last values: no uniform value total - 1, no raw 12-bit chunk of all ones.
                const uint32_t value = withLast && i % 5 == 0 ? total - 1 : rng() % (total - 1);
                const uint32_t bits =
                    (nbits == 32 ? rng() : rng() & ((1u << nbits) - 1)) & (withLast ? ~0u : ~0x01001001u);
                block.encoder.encodeFreq(1, value, total);
                estimator.estimateFreq(1, total);
                block.encoder.encodeBits(bits, nbits);
                estimator.estimateBits(nbits);
            }
            const uint32_t real = static_cast<uint32_t>(block.finish().size()), estimate = estimator.finish();
            EXPECT_TRUE(withLast ? estimate >= real : estimate == real)
                << symbols << " last " << withLast << ": " << estimate << " vs " << real;
        }
    }
}

}  // namespace
}  // namespace elq
