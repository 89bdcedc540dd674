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
        const Bytes expected = carry ? Bytes{0x13, 0, 0, 0} : Bytes{0x12, 0xFF, 0xFF, 0xFF};
        EXPECT_EQ(Bytes(e.data, e.data + e.dataCount), expected);
        EXPECT_EQ(e.cache, 0x05);  // the byte now in hand
        EXPECT_EQ(e.pending, 0u);
    }
    EncodedBlock block;
    block.encoder.cache = 0x7F;
    block.encoder.pending = 2;
    block.encoder.low = 0x80000000u | (0x21u << 23);
    EXPECT_EQ(block.finish(), (Bytes{0x80, 0x00, 0x00, 0x21, 0xFF, 0xFF, 0xFF}));
}

TEST(RangeCoder, LastSymbolTakesTheDivisionRemainder) {
    const uint32_t r = 0x80000000u / 3;
    EncodedBlock first, last;
    first.encoder.encodeFreq(1, 0, 3);
    last.encoder.encodeFreq(1, 2, 3);
    EXPECT_EQ(first.encoder.range, r);
    EXPECT_EQ(last.encoder.low, 2 * r);
    EXPECT_EQ(last.encoder.range, 0x80000000u - 2 * r);
}

// encodeBits goes in 12-bit chunks, lowest first, encodeShort low byte first; both decode back.
TEST(RangeCoder, BitsAndShortsAreTheirChunks) {
    const std::pair<uint32_t, std::vector<uint32_t>> cases[] = {
        {0, {}}, {1, {1}}, {12, {12}}, {13, {12, 1}}, {24, {12, 12}}, {32, {12, 12, 8}}};
    for (const auto& [nbits, chunks] : cases) {
        const uint32_t v = nbits == 32 ? 0xDEADBEEF : 0xDEADBEEF & ((1u << nbits) - 1);
        const Bytes bytes = test::encoded([&](RangeEncoder& e) { e.encodeBits(v, nbits); });
        EXPECT_EQ(bytes, test::encoded([&](RangeEncoder& e) {
                      uint32_t rest = v;
                      for (uint32_t width : chunks) {
                          e.encodeShift(1, rest & ((1u << width) - 1), width);
                          rest >>= width;
                      }
                  }))
            << nbits;
        CodedBytes coded(bytes);
        EXPECT_EQ(coded.start().decodeBits(nbits), v) << nbits;
        coded.expectFullyRead();
    }
    const Bytes bytes = test::encoded([](RangeEncoder& e) { e.encodeShort(0x1234); });
    EXPECT_EQ(bytes, test::encoded([](RangeEncoder& e) {
                  e.encodeByte(0x34);
                  e.encodeByte(0x12);
              }));
    CodedBytes coded(bytes);
    EXPECT_EQ(coded.start().decodeShort(), 0x1234u);
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

// Random mixes of frequency ranges, raw bits and uniform values, some rounds skewed to the top of the
// alphabets (which pushes `low` into carries), decoded back from a stream that goes on past the block.
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
            switch (op.kind = rng() % 3) {
                case 0:  // frequencies out of a total of up to 2^16
                    op.total = rng() % 2 ? totals[rng() % 6] : 1 + rng() % 65536;
                    op.value = high ? op.total - 1 - rng() % std::min(op.total, 4u) : rng() % op.total;
                    op.freq = 1 + rng() % (op.total - op.value);
                    block.encoder.encodeFreq(op.freq, op.value, op.total);
                    break;
                case 1:  // 0 to 32 raw bits
                    op.total = rng() % 33;
                    op.freq = op.total == 0 ? 0 : ~0u >> (32 - op.total);  // the mask
                    op.value = high ? op.freq : rng() & op.freq;
                    block.encoder.encodeBits(op.value, op.total);
                    break;
                default:  // a uniform value of 1 to 16 bits
                    op.total = 1 + rng() % 16;
                    op.value = high ? (1u << op.total) - 1 : rng() % (1u << op.total);
                    block.encoder.encodeShift(1, op.value, op.total);
            }
            carries += (block.encoder.low & 0x80000000u) != 0;
        }
        Bytes bytes = block.finish();
        const size_t length = bytes.size();
        bytes.insert(bytes.end(), {0x00, 0x11, 0x22});
        CodedBytes coded(bytes);
        RangeDecoder& d = coded.start();
        for (size_t i = 0; i < ops.size(); ++i) {
            const Op& op = ops[i];
            uint32_t got = op.kind == 1   ? d.decodeBits(op.total)
                           : op.kind == 2 ? d.decodeUniform(op.total)
                                          : 0;
            if (op.kind == 0) {
                // The target lies in the symbol's range; finding the symbol is the model's part.
                got = d.decodeFreq(op.total);
                ASSERT_TRUE(got >= op.value && got < op.value + op.freq) << "round " << round << " op " << i;
                d.update(op.freq, op.value, op.total);
                got = op.value;
            }
            ASSERT_EQ(got, op.value) << "round " << round << " op " << i;
        }
        d.finish();
        EXPECT_EQ(coded.stream.position(), length);
    }
    EXPECT_GT(carries, 0u);
}

}  // namespace
}  // namespace elq
