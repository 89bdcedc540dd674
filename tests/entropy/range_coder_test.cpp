#include "entropy/range_coder.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <random>

#include "entropy/memory_length.h"
#include "support/coded_bytes.h"

namespace elq::test {
namespace {

// The division by a model's total through its reciprocal, for every total: the ranges next to each
// multiple of it, the largest range, and random ones.
TEST(RangeCoder, ReciprocalDividesEveryRangeExactly) {
    std::mt19937 rng(5);
    for (uint32_t d = 2; d <= 32768; ++d) {
        const uint64_t m = rangeReciprocal(d);
        const uint32_t top = UINT32_MAX / d * d;
        for (uint32_t range : {0u, 1u, d - 1, d, top - 1, top, UINT32_MAX, uint32_t(rng()), uint32_t(rng())})
            ASSERT_EQ(divideRange(range, m), range / d) << range << " / " << d;
    }
}

TEST(RangeCoder, EmptyBlockAndOverflow) {
    const Bytes bytes = test::EncodedBlock().finish();
    EXPECT_EQ(bytes, (Bytes{0x40, 0x00, 0xFF, 0xFF, 0xFF}));
    CodedBytes coded(bytes);
    EXPECT_EQ(coded.decoder.start(coded.stream), 0x40);
    coded.expectFullyRead();  // the last normalization reads nothing beyond the block
    // A full area is refused before the store behind it.
    uint8_t area[6];
    memset(area, 0xCC, sizeof area);
    RangeEncoder encoder;
    encoder.start(area, 4, kBlockFirstByte);
    test::expectRefused([&] { encoder.finish(); });
    EXPECT_EQ(area[4], 0xCC);
}

// Random mixes of frequency ranges, raw bits (0 to 32) and uniform values, some rounds skewed to the
// top of the alphabets (which pushes `low` into carries), decoded from a stream going on past the block.
TEST(RangeCoder, RandomOperationsRoundTrip) {
    struct Op {
        uint32_t kind, value, freq, total;
    };
    std::mt19937 rng(12345);
    uint32_t carries = 0;
    for (int round = 0; round < 300; ++round) {
        std::vector<Op> ops(rng() % 3000);
        test::EncodedBlock block;
        for (Op& op : ops) {
            static const uint32_t totals[] = {1, 2, 3, 32767, 32768, 65536};
            op.kind = rng() % 3;
            op.total = op.kind == 0   ? (rng() % 2 ? totals[rng() % 6] : 1 + rng() % 65536)
                       : op.kind == 1 ? rng() % 33
                                      : 1 + rng() % 16;
            const uint32_t top = op.kind == 0 ? op.total - 1 : op.total == 0 ? 0 : ~0u >> (32 - op.total);
            op.value = round % 3 == 0 ? top - rng() % (std::min(top, 3u) + 1) : rng() % (uint64_t{top} + 1);
            op.freq = op.kind == 0 ? 1 + rng() % (op.total - op.value) : 0;
            if (op.kind == 0) block.encoder.encodeFreq(op.freq, op.value, op.total);
            if (op.kind == 1) block.encoder.encodeBits(op.value, op.total);
            if (op.kind == 2) block.encoder.encodeShift(1, op.value, op.total);
            carries += (block.encoder.low & 0x80000000u) != 0;
        }
        Bytes bytes = block.finish();
        bytes.insert(bytes.end(), {0x00, 0x11, 0x22});
        CodedBytes coded(bytes);
        RangeDecoder& d = coded.start();
        for (size_t i = 0; i < ops.size(); ++i) {
            const Op& op = ops[i];
            // For frequencies the target lies in the symbol's range; finding the symbol is the model's part.
            const uint32_t got = op.kind == 0   ? d.decodeFreq(op.total)
                                 : op.kind == 1 ? d.decodeBits(op.total)
                                                : d.decodeUniform(op.total);
            ASSERT_LT(got - op.value, std::max(op.freq, 1u)) << round << " op " << i;
            if (op.kind == 0) d.update(op.freq, op.value, op.total);
        }
        d.finish();
        EXPECT_EQ(coded.stream.position(), bytes.size() - 3);
    }
    EXPECT_GT(carries, 0u);
}

// The 12-bit field of N - 2 with its 16-bit escape, and the weights both sides derive from N.
TEST(MemoryLength, FieldAndWeights) {
    const int32_t cases[][3] = {{2, 0, -1}, {4096, 4094, -1}, {4097, 4095, 4095}, {65537, 4095, 65535}};
    for (auto& c : cases) {
        const Bytes bytes = test::encoded([&](RangeEncoder& e) { writeMemoryLength(e, c[0]); });
        EXPECT_EQ(bytes, test::encoded([&](RangeEncoder& e) {
                      e.encodeShift(1, c[1], 12);
                      if (c[2] >= 0) e.encodeShort(c[2]);
                  }))
            << c[0];
        CodedBytes coded(bytes);
        EXPECT_EQ(readMemoryLength(coded.start()), uint32_t(c[0]));
        coded.expectFullyRead();
    }
    // For N = 3, 1 - (2/3) and 1/3 differ in the last bit; both sides must use the former.
    EXPECT_EQ(memoryWeights(3).b, 1.0 - 2.0 / 3.0);
}

}  // namespace
}  // namespace elq::test
