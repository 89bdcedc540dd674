// Test helpers for range-coded data: an encoder on its own area, and coded bytes a RangeDecoder
// reads from a memory stream, as the block decoder does.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <utility>
#include <vector>

#include "entropy/range_coder.h"
#include "foundation/stream.h"

namespace elq::test {

using Bytes = std::vector<uint8_t>;

// A RangeEncoder started as every block starts, on its own area of 1 MiB.
struct EncodedBlock {
    EncodedBlock() { encoder.start(area.data(), static_cast<uint32_t>(area.size()), kBlockFirstByte); }
    Bytes finish() {
        encoder.finish();
        return Bytes(area.begin(), area.begin() + encoder.dataCount);
    }

    Bytes area = Bytes(1 << 20);
    RangeEncoder encoder;
};

// The bytes of a block that `write` codes.
template <class Write>
Bytes encoded(Write write) {
    EncodedBlock block;
    write(block.encoder);
    return block.finish();
}

struct CodedBytes {
    explicit CodedBytes(Bytes coded) : bytes(std::move(coded)) {
        stream.openMemory(bytes.data(), static_cast<uint32_t>(bytes.size()));
    }
    RangeDecoder& start() {
        decoder.start(stream);
        return decoder;
    }
    // After decoding: the decoder's last normalization ends exactly behind the block.
    void expectFullyRead() {
        decoder.finish();
        EXPECT_EQ(stream.position(), bytes.size());
    }

    Bytes bytes;
    InputStream stream;
    RangeDecoder decoder;
};

// Runs `body`, which must fail with an Exception of `code`.
template <class Body>
void expectRefused(Body body, ErrorCode code = UNKNOWN) {
    try {
        body();
        ADD_FAILURE() << "accepted";
    } catch (const Exception& e) {
        EXPECT_EQ(e.code, code) << e.format();
    }
}

}  // namespace elq::test
