#include "entropy/range_coder.h"

#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <vector>

#include "support/coded_bytes.h"

namespace elq {
namespace {

using test::CodedBytes;
using test::EncodedBlock;
using Bytes = std::vector<uint8_t>;

TEST(RangeCoder, EmptyBlockIsFiveBytesAndDecoderStopsBehindIt) {
    EncodedBlock block;
    Bytes bytes = block.finish();
    EXPECT_EQ(bytes, (Bytes{0x40, 0x00, 0xFF, 0xFF, 0xFF}));
    EXPECT_EQ(block.encoder.data, nullptr);

    bytes.push_back(0xAB);  // the next block's first byte must stay unread
    CodedBytes coded(bytes);
    RangeDecoder decoder;
    EXPECT_EQ(decoder.start(coded.stream), 0x40);
    EXPECT_EQ(coded.stream.position(), 2u);
    decoder.finish();
    EXPECT_EQ(coded.stream.position(), 5u);
    EXPECT_EQ(coded.stream.getByte(), 0xAB);
}

TEST(RangeCoder, CarryResolvesPendingBytes) {
    // Three pending bytes held back as 0xFF turn into 0x00 when a carry arrives, and the byte in
    // hand gains one; without a carry they are written as 0xFF.
    for (bool carry : {true, false}) {
        EncodedBlock block;
        RangeEncoder& e = block.encoder;
        e.cache = 0x12;
        e.pending = 3;
        e.low = (carry ? 0x80000000u : 0u) | (0x05u << 23) | 0x1234u;
        e.range = 0x800000;
        e.normalize();
        Bytes expected = carry ? Bytes{0x13, 0x00, 0x00, 0x00} : Bytes{0x12, 0xFF, 0xFF, 0xFF};
        ASSERT_EQ(e.dataCount, 4u);
        EXPECT_EQ(Bytes(e.data, e.data + 4), expected);
        EXPECT_EQ(e.cache, 0x05);
        EXPECT_EQ(e.pending, 0u);
        EXPECT_EQ(e.low, 0x1234u << 8);
        EXPECT_EQ(e.range, 0x80000000u);
    }
}

TEST(RangeCoder, CarryAtFinishReachesPendingBytes) {
    EncodedBlock block;
    RangeEncoder& e = block.encoder;
    e.cache = 0x7F;
    e.pending = 2;
    e.low = 0x80000000u | (0x21u << 23);
    Bytes bytes = block.finish();
    EXPECT_EQ(bytes, (Bytes{0x80, 0x00, 0x00, 0x21, 0xFF, 0xFF, 0xFF}));
}

TEST(RangeCoder, LastSymbolReceivesTheDivisionRemainder) {
    EncodedBlock last;
    last.encoder.encodeFreq(1, 2, 3);
    uint32_t r = 0x80000000u / 3;
    EXPECT_EQ(last.encoder.low, 2 * r);
    EXPECT_EQ(last.encoder.range, 0x80000000u - 2 * r);
    EXPECT_NE(last.encoder.range, r);

    EncodedBlock first;
    first.encoder.encodeFreq(1, 0, 3);
    EXPECT_EQ(first.encoder.range, r);

    EncodedBlock single;  // a one-value alphabet changes nothing
    single.encoder.encodeFreq(1, 0, 1);
    EXPECT_EQ(single.encoder.low, 0u);
    EXPECT_EQ(single.encoder.range, 0x80000000u);
}

TEST(RangeCoder, EncodeBitsUsesTwelveBitChunksLowestFirst) {
    const uint32_t value = 0xDEADBEEF;
    struct Case {
        uint32_t nbits;
        std::vector<uint32_t> chunks;
    };
    const Case cases[] = {{0, {}}, {1, {1}}, {12, {12}}, {13, {12, 1}}, {24, {12, 12}}, {32, {12, 12, 8}}};
    for (const Case& c : cases) {
        uint32_t v = c.nbits == 32 ? value : value & ((1u << c.nbits) - 1);
        EncodedBlock viaBits;
        viaBits.encoder.encodeBits(v, c.nbits);
        EncodedBlock viaChunks;
        uint32_t rest = v;
        for (uint32_t width : c.chunks) {
            viaChunks.encoder.encodeShift(1, rest & ((1u << width) - 1), width);
            rest >>= width;
        }
        Bytes bytes = viaBits.finish();
        EXPECT_EQ(bytes, viaChunks.finish()) << c.nbits << " bits";

        CodedBytes coded(bytes);
        RangeDecoder decoder;
        decoder.start(coded.stream);
        EXPECT_EQ(decoder.decodeBits(c.nbits), v) << c.nbits << " bits";
        decoder.finish();
        EXPECT_EQ(coded.stream.position(), bytes.size());
    }
}

TEST(RangeCoder, ShortGoesLowByteFirst) {
    EncodedBlock viaShort;
    viaShort.encoder.encodeShort(0x1234);
    EncodedBlock viaBytes;
    viaBytes.encoder.encodeByte(0x34);
    viaBytes.encoder.encodeByte(0x12);
    Bytes bytes = viaShort.finish();
    EXPECT_EQ(bytes, viaBytes.finish());

    CodedBytes coded(bytes);
    RangeDecoder decoder;
    decoder.start(coded.stream);
    EXPECT_EQ(decoder.decodeByte(), 0x34u);
    EXPECT_EQ(decoder.decodeByte(), 0x12u);
}

TEST(RangeCoder, OverflowIsRaisedBeforeTheStore) {
    uint8_t area[6];
    memset(area, 0xCC, sizeof area);
    RangeEncoder encoder;
    encoder.start(area, 4, kBlockFirstByte);
    try {
        encoder.finish();
        FAIL() << "no overflow";
    } catch (const Exception& e) {
        EXPECT_EQ(e.code, UNKNOWN);
        EXPECT_STREQ(e.name, "data buffer overflow");
    }
    EXPECT_EQ(encoder.dataCount, 4u);
    EXPECT_EQ(area[4], 0xCC);

    encoder.start(area, 5, kBlockFirstByte);
    encoder.finish();
    EXPECT_EQ(encoder.dataCount, 5u);
    EXPECT_EQ(area[5], 0xCC);
}

// Random mixes of every operation, decoded back from a stream that continues past the block.
TEST(RangeCoder, RandomOperationsRoundTrip) {
    enum Kind { FREQ, SHIFT, BYTE, SHORT, BITS };
    struct Op {
        Kind kind;
        uint32_t value, a, b;
    };
    std::mt19937 engine(12345);
    auto rng = [&engine] { return static_cast<uint32_t>(engine()); };
    uint32_t carries = 0;
    for (int round = 0; round < 300; ++round) {
        std::vector<Op> ops(rng() % 3000);
        // Skewed toward the top of the alphabets now and then, which pushes `low` into carries.
        const bool high = round % 3 == 0;
        EncodedBlock block(ops.size() * 8 + 16);
        RangeEncoder& e = block.encoder;
        for (Op& op : ops) {
            op.kind = static_cast<Kind>(rng() % 5);
            switch (op.kind) {
                case FREQ: {
                    static const uint32_t totals[] = {1, 2, 3, 32767, 32768, 65536};
                    uint32_t tot = rng() % 2 ? totals[rng() % 6] : 1 + rng() % 65536;
                    uint32_t sym = high ? tot - 1 - rng() % (tot < 4 ? tot : 4) : rng() % tot;
                    uint32_t freq = 1 + rng() % (tot - sym);
                    op = {FREQ, sym, freq, tot};
                    e.encodeFreq(freq, sym, tot);
                    break;
                }
                case SHIFT: {
                    uint32_t shift = 1 + rng() % 16;
                    uint32_t sym = high ? (1u << shift) - 1 : rng() % (1u << shift);
                    op = {SHIFT, sym, 1, shift};
                    e.encodeShift(1, sym, shift);
                    break;
                }
                case BYTE:
                    op = {BYTE, high ? 0xFFu : rng() % 256, 0, 0};
                    e.encodeByte(op.value);
                    break;
                case SHORT:
                    op = {SHORT, rng() % 65536, 0, 0};
                    e.encodeShort(op.value);
                    break;
                case BITS: {
                    uint32_t nbits = rng() % 33;
                    op = {BITS, nbits == 32 ? rng() : rng() & ((1u << nbits) - 1), nbits, 0};
                    e.encodeBits(op.value, nbits);
                    break;
                }
            }
            if (e.low & 0x80000000u) ++carries;
        }
        Bytes bytes = block.finish();
        const size_t blockLength = bytes.size();
        bytes.insert(bytes.end(), {0x00, 0x11, 0x22});

        CodedBytes coded(bytes);
        RangeDecoder d;
        ASSERT_EQ(d.start(coded.stream), 0x40);
        for (size_t i = 0; i < ops.size(); ++i) {
            const Op& op = ops[i];
            uint32_t got = 0;
            switch (op.kind) {
                case FREQ: {
                    uint32_t t = d.decodeFreq(op.b);
                    // The target lies in the symbol's range; the caller's model finds the symbol.
                    ASSERT_GE(t, op.value) << "op " << i;
                    ASSERT_LT(t, op.value + op.a) << "op " << i;
                    d.update(op.a, op.value, op.b);
                    got = op.value;
                    break;
                }
                case SHIFT:
                    got = d.decodeShift(op.b);
                    d.update(1, got, 1u << op.b);
                    break;
                case BYTE:
                    got = d.decodeByte();
                    break;
                case SHORT:
                    got = d.decodeShort();
                    break;
                case BITS:
                    got = d.decodeBits(op.a);
                    break;
            }
            ASSERT_EQ(got, op.value) << "round " << round << " op " << i;
        }
        d.finish();
        EXPECT_EQ(coded.stream.position(), blockLength);
    }
    EXPECT_GT(carries, 0u);
}

}  // namespace
}  // namespace elq
