#include "entropy/models.h"

#include <gtest/gtest.h>

#include <random>

#include "support/coded_bytes.h"

namespace elq {
namespace {

// Through many halvings, with and without padding lanes: the cumulative model at the lane widths of
// both kernel sets writes the same bytes and keeps the cost model's counts, and the cumulative decoder
// of either width follows. (The counts themselves are pinned by the golden table.)
template <class Width>
void expectDecoded(uint32_t symbols, const test::Bytes& bytes, const std::vector<uint32_t>& sequence) {
    CumulativeModel decoder;
    decoder.create(symbols, kModelLimit);
    test::CodedBytes coded(bytes);
    coded.start();
    for (size_t i = 0; i < sequence.size(); ++i)
        ASSERT_EQ(decoder.decodeSymbol<Width>(coded.decoder), sequence[i]) << i;
    coded.expectFullyRead();
}

TEST(Models, BothWidthsAndTheCostModelStayEqual) {
    typedef CountVector<32>::type Wide;
    std::mt19937 rng(99);
    for (uint32_t symbols : {2u, 5u, 9u, 32u, 33u, 112u, 240u}) {
        SCOPED_TRACE(symbols);
        CumulativeModel narrow, wide;
        CostModel cost;
        narrow.create(symbols, kModelLimit);
        wide.create(symbols, kModelLimit);
        cost.create(symbols, kModelLimit);
        CostEstimator estimator;
        test::EncodedBlock narrowBlock, wideBlock;
        std::vector<uint32_t> sequence(60000);
        for (auto& s : sequence) {  // mostly small symbols, with the last one and uniform picks mixed in
            const uint32_t r = rng() % 10;
            s = r == 0 ? symbols - 1 : r < 3 ? rng() % symbols : (rng() % 4) % symbols;
            narrow.encodeSymbol(s, narrowBlock.encoder);
            wide.encodeSymbol<Wide>(s, wideBlock.encoder);
            cost.estimateSymbol(s, estimator);
        }
        for (uint32_t s = 0; s < symbols; ++s) {
            ASSERT_EQ(narrow.frequency(s), cost.freqs[s]);
            ASSERT_EQ(wide.frequency(s), cost.freqs[s]);
        }
        const test::Bytes bytes = narrowBlock.finish();
        ASSERT_EQ(wideBlock.finish(), bytes);
        expectDecoded<PortableCounts>(symbols, bytes, sequence);
        expectDecoded<Wide>(symbols, bytes, sequence);
    }
}

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
