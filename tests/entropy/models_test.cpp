#include "entropy/models.h"

#include <gtest/gtest.h>

#include <random>
#include <vector>

#include "support/coded_bytes.h"

namespace elq {
namespace {

using test::CodedBytes;
using test::EncodedBlock;

// The sum of the leaf counts under `node`, straight from the leaves.
uint32_t leafSum(const AdaptiveModel& m, uint32_t node) {
    if (node >= m.treeSize) return m.freqs[node];
    return leafSum(m, 2 * node) + leafSum(m, 2 * node + 1);
}

// Every invariant of the tree: left sums, total, padding leaves at 0, real leaves at least 1.
void expectConsistent(const AdaptiveModel& m) {
    EXPECT_EQ(m.freqs[0], 0u);
    for (uint32_t n = 1; n < m.treeSize; ++n)
        ASSERT_EQ(m.freqs[n], leafSum(m, 2 * n)) << "node " << n;
    for (uint32_t s = 0; s < m.treeSize; ++s) {
        if (s < m.numSymbols) {
            ASSERT_GE(m.freqs[m.treeSize + s], 1u);
        } else {
            ASSERT_EQ(m.freqs[m.treeSize + s], 0u);
        }
    }
    EXPECT_EQ(m.total, leafSum(m, 1));
    EXPECT_LT(m.total, m.limit);
}

TEST(Models, FloorLog2) {
    EXPECT_EQ(floorLog2(0), 0u);
    EXPECT_EQ(floorLog2(1), 0u);
    EXPECT_EQ(floorLog2(2), 1u);
    EXPECT_EQ(floorLog2(3), 1u);
    EXPECT_EQ(floorLog2(31), 4u);
    EXPECT_EQ(floorLog2(32), 5u);
    EXPECT_EQ(floorLog2(0x7FFFFFFFu), 30u);
    EXPECT_EQ(floorLog2(0x80000000u), 31u);
    EXPECT_EQ(floorLog2(0xFFFFFFFFu), 31u);
}

TEST(Models, TreeOf32Symbols) {
    AdaptiveModel m;
    m.create(32, kModelLimit);
    EXPECT_EQ(m.treeSize, 32u);
    EXPECT_EQ(m.total, 32u);
    EXPECT_EQ(m.freqs[1], 16u);
    EXPECT_EQ(m.freqs[2], 8u);
    EXPECT_EQ(m.freqs[3], 8u);
    for (uint32_t n = 4; n < 8; ++n)
        EXPECT_EQ(m.freqs[n], 4u);
    for (uint32_t n = 16; n < 32; ++n)
        EXPECT_EQ(m.freqs[n], 1u);
    expectConsistent(m);
}

TEST(Models, PaddingLeavesOf33SymbolsStayEmpty) {
    AdaptiveModel m;
    m.create(33, kModelLimit);
    EXPECT_EQ(m.treeSize, 64u);
    EXPECT_EQ(m.total, 33u);
    EXPECT_EQ(m.freqs[1], 32u);  // the whole left half holds symbols 0 to 31
    EXPECT_EQ(m.freqs[3], 1u);   // of the right half only symbol 32 is real
    expectConsistent(m);
    EncodedBlock block(1 << 20);
    std::mt19937 rng(7);
    for (int i = 0; i < 40000; ++i)
        m.encodeSymbol(i % 5 == 0 ? 32 : rng() % 33, block.encoder);
    expectConsistent(m);
}

TEST(Models, HalvingAfter16368CodingsOfOneSymbol) {
    AdaptiveModel m;
    m.create(32, kModelLimit);
    EncodedBlock block(1 << 16);
    for (int i = 0; i < 16367; ++i)
        m.encodeSymbol(0, block.encoder);
    EXPECT_EQ(m.total, 32766u);
    EXPECT_EQ(m.freqs[32], 32735u);
    m.encodeSymbol(0, block.encoder);
    EXPECT_EQ(m.freqs[32], 16369u);
    for (uint32_t s = 1; s < 32; ++s)
        EXPECT_EQ(m.freqs[32 + s], 1u);
    EXPECT_EQ(m.total, 16400u);
    expectConsistent(m);
}

TEST(Models, HalvingRoundsUp) {
    AdaptiveModel tree;
    tree.create(4, kModelLimit);
    CostModel flat;
    flat.create(4, kModelLimit);
    for (uint32_t s = 0; s < 4; ++s) {
        tree.freqs[tree.treeSize + s] = s + 1;
        flat.freqs[s] = s + 1;
    }
    tree.halve();
    flat.halve();
    const uint32_t expected[] = {1, 1, 2, 2};
    for (uint32_t s = 0; s < 4; ++s) {
        EXPECT_EQ(tree.freqs[tree.treeSize + s], expected[s]);
        EXPECT_EQ(flat.freqs[s], expected[s]);
    }
    EXPECT_EQ(tree.total, 6u);
    EXPECT_EQ(flat.total, 6u);
    expectConsistent(tree);
}

// Encoder and decoder models walk the same nodes, a cost model follows the same counts, and the
// cumulative model codes the same bytes.
TEST(Models, EncoderDecoderAndCostModelsStayEqual) {
    std::mt19937 rng(99);
    for (uint32_t symbols : {2u, 5u, 8u, 9u, 32u, 33u, 112u, 240u}) {
        const uint32_t length = 60000;
        std::vector<uint32_t> sequence(length);
        for (uint32_t i = 0; i < length; ++i) {
            // Mostly small symbols, with the last one and uniform picks mixed in.
            uint32_t r = rng() % 10;
            sequence[i] = r == 0 ? symbols - 1 : r < 3 ? rng() % symbols : (rng() % 4) % symbols;
        }
        AdaptiveModel encoderModel;
        encoderModel.create(symbols, kModelLimit);
        CostModel costModel;
        costModel.create(symbols, kModelLimit);
        CumulativeModel cumulative;
        cumulative.create(symbols, kModelLimit);
        CostEstimator estimator;
        estimator.reset();
        EncodedBlock block(length * 4), cumulativeBlock(length * 4);
        for (uint32_t s : sequence) {
            encoderModel.encodeSymbol(s, block.encoder);
            costModel.estimateSymbol(s, estimator);
            cumulative.encodeSymbol(s, cumulativeBlock.encoder);
        }
        auto bytes = block.finish();
        expectConsistent(encoderModel);
        ASSERT_EQ(costModel.total, encoderModel.total);
        ASSERT_EQ(cumulative.total, encoderModel.total);
        for (uint32_t s = 0; s < symbols; ++s) {
            ASSERT_EQ(costModel.freqs[s], encoderModel.freqs[encoderModel.treeSize + s]);
            ASSERT_EQ(cumulative.frequency(s), encoderModel.freqs[encoderModel.treeSize + s]);
        }
        // The cumulative model hands the coder the same frequencies, so the same bytes, and decodes them.
        ASSERT_EQ(cumulativeBlock.finish(), bytes);
        {
            CodedBytes coded(bytes);
            RangeDecoder decoder;
            decoder.start(coded.stream);
            CumulativeModel decoderModel;
            decoderModel.create(symbols, kModelLimit);
            for (uint32_t i = 0; i < length; ++i)
                ASSERT_EQ(decoderModel.decodeSymbol(decoder), sequence[i]) << i;
            decoder.finish();
            EXPECT_EQ(coded.stream.position(), bytes.size());
        }

        CodedBytes coded(bytes);
        RangeDecoder decoder;
        decoder.start(coded.stream);
        AdaptiveModel decoderModel;
        decoderModel.create(symbols, kModelLimit);
        for (uint32_t i = 0; i < length; ++i)
            ASSERT_EQ(decoderModel.decodeSymbol(decoder), sequence[i]) << i;
        decoder.finish();
        EXPECT_EQ(coded.stream.position(), bytes.size());
        for (uint32_t n = 0; n < 2 * encoderModel.treeSize; ++n)
            ASSERT_EQ(decoderModel.freqs[n], encoderModel.freqs[n]);
    }
}

TEST(Models, ArrayCreatesIndependentModels) {
    AdaptiveModelArray models;
    models.create(6, 40, kModelLimit, kDecoderModelsName);
    ASSERT_EQ(models.size(), 6u);
    EncodedBlock block;
    models[2].encodeSymbol(39, block.encoder);
    for (uint32_t i = 0; i < 6; ++i) {
        EXPECT_EQ(models[i].numSymbols, 40u);
        EXPECT_EQ(models[i].treeSize, 64u);
        EXPECT_EQ(models[i].total, i == 2 ? 42u : 40u);
        expectConsistent(models[i]);
    }
    models.release();
    EXPECT_FALSE(models.isCreated());
    EXPECT_EQ(models.size(), 0u);

    CostModelArray costs;
    costs.create(3, 8, kModelLimit, kEncoderModelsName);
    costs.create(2, 5, kModelLimit, kEncoderModelsName);  // re-creating replaces the old array
    EXPECT_EQ(costs.size(), 2u);
    EXPECT_EQ(costs[1].total, 5u);
}

}  // namespace
}  // namespace elq
