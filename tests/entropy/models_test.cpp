#include "entropy/models.h"

#include <gtest/gtest.h>

#include <random>

#include "adaptive_model.h"
#include "support/coded_bytes.h"

namespace elq {
namespace {

using test::AdaptiveModel;

uint32_t leafSum(const AdaptiveModel& m, uint32_t node) {
    return node >= m.treeSize ? m.freqs[node] : leafSum(m, 2 * node) + leafSum(m, 2 * node + 1);
}

// Every invariant of the tree: left sums, total, padding leaves at 0, real leaves at least 1.
void expectConsistent(const AdaptiveModel& m) {
    for (uint32_t n = 1; n < m.treeSize; ++n)
        ASSERT_EQ(m.freqs[n], leafSum(m, 2 * n)) << "node " << n;
    for (uint32_t s = 0; s < m.treeSize; ++s)
        ASSERT_EQ(m.freqs[m.treeSize + s] >= 1, s < m.numSymbols) << s;
    EXPECT_EQ(m.total, leafSum(m, 1));
    EXPECT_LT(m.total, m.limit);
}

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

// Through many halvings, with and without padding leaves in the tree: the cumulative model hands the
// coder the reference tree's frequencies (so the same bytes), the cost model keeps the same counts,
// and decoders of both kinds follow.
TEST(Models, AllKindsStayEqual) {
    std::mt19937 rng(99);
    for (uint32_t symbols : {2u, 5u, 9u, 32u, 33u, 112u, 240u}) {
        SCOPED_TRACE(symbols);
        AdaptiveModel tree, treeDecoder;
        CumulativeModel cumulative, cumulativeDecoder;
        CostModel cost;
        for (auto* m : {&tree, &treeDecoder})
            m->create(symbols, kModelLimit);
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
            cumulative.encodeSymbol(s, cumulativeBlock.encoder);
            cost.estimateSymbol(s, estimator);
        }
        expectConsistent(tree);
        for (uint32_t s = 0; s < symbols; ++s) {
            ASSERT_EQ(cumulative.frequency(s), tree.freqs[tree.treeSize + s]);
            ASSERT_EQ(cost.freqs[s], tree.freqs[tree.treeSize + s]);
        }
        const test::Bytes bytes = treeBlock.finish();
        ASSERT_EQ(cumulativeBlock.finish(), bytes);
        test::CodedBytes forTree(bytes), forCumulative(bytes);
        forTree.start();
        forCumulative.start();
        for (size_t i = 0; i < sequence.size(); ++i) {
            ASSERT_EQ(treeDecoder.decodeSymbol(forTree.decoder), sequence[i]) << i;
            ASSERT_EQ(cumulativeDecoder.decodeSymbol(forCumulative.decoder), sequence[i]) << i;
        }
        forTree.expectFullyRead();
        forCumulative.expectFullyRead();
        for (uint32_t n = 0; n < 2 * tree.treeSize; ++n)
            ASSERT_EQ(treeDecoder.freqs[n], tree.freqs[n]);
    }
}

}  // namespace
}  // namespace elq
