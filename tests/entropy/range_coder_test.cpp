#include "entropy/range_coder.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <random>

#include "support/coded_bytes.h"

namespace elq {
namespace {

using test::Bytes;
using test::CodedBytes;
using test::EncodedBlock;

TEST(RangeCoder, EmptyBlockIsFiveBytesAndTheDecoderStopsBehindIt) {
    Bytes bytes = EncodedBlock().finish();
    EXPECT_EQ(bytes, (Bytes{0x40, 0x00, 0xFF, 0xFF, 0xFF}));
    bytes.push_back(0xAB);  // the next block's first byte
    CodedBytes coded(bytes);
    EXPECT_EQ(coded.decoder.start(coded.stream), 0x40);
    EXPECT_EQ(coded.stream.position(), 2u);
    coded.decoder.finish();
    EXPECT_EQ(coded.stream.position(), 5u);
}

// Pending bytes held back as 0xFF turn into 0x00 when a carry arrives and the byte in hand gains one;
// without a carry they are written as 0xFF. The same at finish.
TEST(RangeCoder, CarryResolvesPendingBytes) {
    for (bool carry : {true, false}) {
        EncodedBlock block;
        RangeEncoder& e = block.encoder;
        e.cache = 0x12;
        e.pending = 3;
        e.low = (carry ? 0x80000000u : 0u) | (0x05u << 23) | 0x1234u;
        e.range = 0x800000;
        e.normalize();
        EXPECT_EQ(Bytes(e.data, e.data + e.dataCount),
                  (carry ? Bytes{0x13, 0, 0, 0} : Bytes{0x12, 0xFF, 0xFF, 0xFF}));
        EXPECT_EQ(e.cache, 0x05);  // the byte now in hand
        EXPECT_EQ(e.pending, 0u);
    }
    EncodedBlock block;
    block.encoder.cache = 0x7F;
    block.encoder.pending = 2;
    block.encoder.low = 0x80000000u | (0x21u << 23);
    EXPECT_EQ(block.finish(), (Bytes{0x80, 0x00, 0x00, 0x21, 0xFF, 0xFF, 0xFF}));
}

// Layouts that a fault on both sides would keep decodable: the last symbol of an alphabet takes the
// division's remainder, encodeBits goes in 12-bit chunks lowest first, encodeShort low byte first.
TEST(RangeCoder, RemainderAndFieldLayout) {
    EncodedBlock last;
    last.encoder.encodeFreq(1, 2, 3);
    EXPECT_EQ(last.encoder.low, 2 * (0x80000000u / 3));
    EXPECT_EQ(last.encoder.range, 0x80000000u - 2 * (0x80000000u / 3));
    const std::pair<uint32_t, std::vector<uint32_t>> cases[] = {
        {0, {}}, {12, {12}}, {13, {12, 1}}, {32, {12, 12, 8}}};
    for (const auto& [nbits, chunks] : cases) {
        const uint32_t v = nbits == 0 ? 0 : 0xDEADBEEFu >> (32 - nbits);
        const Bytes bytes = test::encoded([&](RangeEncoder& e) { e.encodeBits(v, nbits); });
        EXPECT_EQ(bytes, test::encoded([&](RangeEncoder& e) {
                      for (uint32_t rest = v; uint32_t width : chunks) {
                          e.encodeShift(1, rest & ((1u << width) - 1), width);
                          rest >>= width;
                      }
                  }))
            << nbits;
    }
    const Bytes bytes = test::encoded([](RangeEncoder& e) { e.encodeShort(0x1234); });
    EXPECT_EQ(bytes, test::encoded([](RangeEncoder& e) {
                  e.encodeByte(0x34);
                  e.encodeByte(0x12);
              }));
    CodedBytes coded(bytes);
    EXPECT_EQ(coded.start().decodeShort(), 0x1234u);
}

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

TEST(RangeCoder, OverflowIsRaisedBeforeTheStore) {
    uint8_t area[6];
    memset(area, 0xCC, sizeof area);
    RangeEncoder encoder;
    encoder.start(area, 4, kBlockFirstByte);
    test::expectRefused([&] { encoder.finish(); });
    EXPECT_EQ(encoder.dataCount, 4u);
    EXPECT_EQ(area[4], 0xCC);
    encoder.start(area, 5, kBlockFirstByte);
    encoder.finish();
    EXPECT_EQ(area[5], 0xCC);
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
        const bool high = round % 3 == 0;
        std::vector<Op> ops(rng() % 3000);
        EncodedBlock block;
        for (Op& op : ops) {
            static const uint32_t totals[] = {1, 2, 3, 32767, 32768, 65536};
            op.kind = rng() % 3;
            op.total = op.kind == 0   ? (rng() % 2 ? totals[rng() % 6] : 1 + rng() % 65536)
                       : op.kind == 1 ? rng() % 33
                                      : 1 + rng() % 16;
            const uint32_t top = op.kind == 0 ? op.total - 1 : op.total == 0 ? 0 : ~0u >> (32 - op.total);
            op.value = high ? top - rng() % (std::min(top, 3u) + 1) : rng() % (uint64_t{top} + 1);
            op.freq = op.kind == 0 ? 1 + rng() % (op.total - op.value) : 0;
            if (op.kind == 0) block.encoder.encodeFreq(op.freq, op.value, op.total);
            if (op.kind == 1) block.encoder.encodeBits(op.value, op.total);
            if (op.kind == 2) block.encoder.encodeShift(1, op.value, op.total);
            carries += (block.encoder.low & 0x80000000u) != 0;
        }
        Bytes bytes = block.finish();
        const size_t length = bytes.size();
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
        EXPECT_EQ(coded.stream.position(), length);
    }
    EXPECT_GT(carries, 0u);
}

}  // namespace
}  // namespace elq
