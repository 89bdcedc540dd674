// Test helpers for range-coded data: an encoder on its own area, and coded bytes replayed from a
// temporary file, where a RangeDecoder reads them as the stream decoder does.
#pragma once

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "entropy/range_coder.h"
#include "foundation/stream.h"

namespace elq::test {

using Bytes = std::vector<uint8_t>;

// A RangeEncoder started as every block starts, on its own area of 1 MiB.
class EncodedBlock {
public:
    EncodedBlock() : area_(1 << 20) { encoder.start(area_.data(), 1 << 20, kBlockFirstByte); }
    Bytes finish() {
        encoder.finish();
        return Bytes(area_.begin(), area_.begin() + encoder.dataCount);
    }

    RangeEncoder encoder;

private:
    Bytes area_;
};

// The bytes of a block that `write` codes.
template <class Write>
Bytes encoded(Write write) {
    EncodedBlock block;
    write(block.encoder);
    return block.finish();
}

// The bytes in a temporary file (removed on destruction) with `stream` open on it.
class CodedBytes {
public:
    explicit CodedBytes(const Bytes& bytes)
        : size(bytes.size()), path_(testing::TempDir() + "elq_coded_XXXXXX") {
        int fd = mkstemp(path_.data());
        if (fd < 0 || ::write(fd, bytes.data(), size) != static_cast<ssize_t>(size)) abort();
        ::close(fd);
        stream.open(path_.c_str());
    }
    ~CodedBytes() {
        stream.close();
        unlink(path_.c_str());
    }
    CodedBytes(const CodedBytes&) = delete;
    CodedBytes& operator=(const CodedBytes&) = delete;

    // Starts `decoder` on the stream.
    RangeDecoder& start() {
        decoder.start(stream);
        return decoder;
    }
    // After decoding: the decoder's last normalization ends exactly behind the block.
    void expectFullyRead() {
        decoder.finish();
        EXPECT_EQ(stream.position(), size);
    }

    const size_t size;
    InputStream stream;
    RangeDecoder decoder;

private:
    std::string path_;
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
