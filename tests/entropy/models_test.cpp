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

TEST(Models, HalvingAfter16368CodingsOfOneSymbolRoundsUp) {
    CumulativeModel m;
    m.create(32, kModelLimit);
    test::EncodedBlock block;
    for (int i = 0; i < 16367; ++i)
        m.encodeSymbol(0, block.encoder);
    EXPECT_EQ(m.total, 32766u);
    m.encodeSymbol(0, block.encoder);  // 32737 halves to 16369, every 1 stays 1
    EXPECT_EQ(m.frequency(0), 16369u);
    EXPECT_EQ(m.frequency(31), 1u);
    EXPECT_EQ(m.total, 16400u);
}

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

}  // namespace
}  // namespace elq
