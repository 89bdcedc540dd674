#include "entropy/models.h"

#include <gtest/gtest.h>

#include <random>

#include "support/coded_bytes.h"

namespace elq {
namespace {

// The reference for CumulativeModel's encode side: the same counts in a complete binary tree of left
// partial sums, walked one node at a time. Entry treeSize + s is the count of symbol s (0 for the
// padding leaves), entry n < treeSize the sum of the leaves under node 2n, entry 0 unused.
class AdaptiveModel {
public:
    void create(uint32_t symbols, uint32_t countLimit) {
        numSymbols = symbols;
        limit = countLimit;
        total = symbols;
        treeSize = 1;
        while (treeSize < symbols)
            treeSize <<= 1;
        freqs.assign(2 * treeSize, 0);
        for (uint32_t s = 0; s < symbols; ++s)
            freqs[treeSize + s] = 1;
        rebuild(1);
    }

    // Up to the root: a right child collects its left sibling's sum, a left child raises its parent's
    // left sum by the coming increment. Then the leaf and the total grow, and may halve.
    void encodeSymbol(uint32_t sym, RangeEncoder& encoder) {
        uint32_t cum = 0;
        for (uint32_t node = treeSize + sym; node > 1; node >>= 1) {
            if (node & 1) {
                cum += freqs[node >> 1];
            } else {
                freqs[node >> 1] += 2;
            }
        }
        encoder.encodeFreq(freqs[treeSize + sym], cum, total);
        freqs[treeSize + sym] += 2;
        total += 2;
        if (total < limit) return;
        total = 0;
        for (uint32_t s = 0; s < numSymbols; ++s) {
            uint32_t& count = freqs[treeSize + s];
            count = ((count - 1) >> 1) + 1;
            total += count;
        }
        rebuild(1);
    }

    std::vector<uint32_t> freqs;
    uint32_t numSymbols = 0, total = 0, limit = 0, treeSize = 0;

private:
    // Returns the sum of the subtree at `node`, storing each internal node's left sum on the way.
    uint32_t rebuild(uint32_t node) {
        if (node >= treeSize) return freqs[node];
        freqs[node] = rebuild(2 * node);
        return freqs[node] + rebuild(2 * node + 1);
    }
};

// Through many halvings, with and without padding leaves in the tree: the cumulative model, at
// either lane width of the kernel sets, hands the coder the reference tree's frequencies (so the same
// bytes), the cost model keeps the same counts, and the cumulative decoder follows.
template <class Width>
void expectAllKindsEqual() {
    std::mt19937 rng(99);
    for (uint32_t symbols : {2u, 5u, 9u, 32u, 33u, 112u, 240u}) {
        SCOPED_TRACE(symbols);
        AdaptiveModel tree;
        CumulativeModel cumulative, cumulativeDecoder;
        CostModel cost;
        tree.create(symbols, kModelLimit);
        for (auto* m : {&cumulative, &cumulativeDecoder})
            m->create(symbols, kModelLimit);
        cost.create(symbols, kModelLimit);
        CostEstimator estimator;
        test::EncodedBlock treeBlock, cumulativeBlock;
        std::vector<uint32_t> sequence(60000);
        for (auto& s : sequence) {  // mostly small symbols, with the last one and uniform picks mixed in
            const uint32_t r = rng() % 10;
            s = r == 0 ? symbols - 1 : r < 3 ? rng() % symbols : (rng() % 4) % symbols;
            tree.encodeSymbol(s, treeBlock.encoder);
            cumulative.encodeSymbol<Width>(s, cumulativeBlock.encoder);
            cost.estimateSymbol(s, estimator);
        }
        for (uint32_t s = 0; s < symbols; ++s) {
            ASSERT_EQ(cumulative.frequency(s), tree.freqs[tree.treeSize + s]);
            ASSERT_EQ(cost.freqs[s], tree.freqs[tree.treeSize + s]);
        }
        const test::Bytes bytes = treeBlock.finish();
        ASSERT_EQ(cumulativeBlock.finish(), bytes);
        test::CodedBytes coded(bytes);
        coded.start();
        for (size_t i = 0; i < sequence.size(); ++i)
            ASSERT_EQ(cumulativeDecoder.decodeSymbol<Width>(coded.decoder), sequence[i]) << i;
        coded.expectFullyRead();
    }
}

TEST(Models, AllKindsStayEqual) {
    expectAllKindsEqual<PortableCounts>();
    expectAllKindsEqual<CountVector<32>::type>();
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
