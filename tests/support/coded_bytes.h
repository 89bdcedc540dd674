// Test helpers for range-coded data: an encoder writing into a vector-backed area, and coded
// bytes placed in a temporary file behind an InputStream, where a RangeDecoder reads them.
#pragma once

#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "entropy/range_coder.h"
#include "foundation/stream.h"

namespace elq::test {

// A RangeEncoder started on its own area of `capacity` bytes.
class EncodedBlock {
public:
    explicit EncodedBlock(uint32_t capacity = 1 << 16) : area_(capacity) {
        encoder.start(area_.data(), capacity, kBlockFirstByte);
    }
    // Finishes the encoder and returns the block's bytes.
    std::vector<uint8_t> finish() {
        encoder.finish();
        return std::vector<uint8_t>(area_.begin(), area_.begin() + encoder.dataCount);
    }

    RangeEncoder encoder;

private:
    std::vector<uint8_t> area_;
};

// The bytes in a temporary file, removed again on destruction, with `stream` opened on it.
class CodedBytes {
public:
    explicit CodedBytes(const std::vector<uint8_t>& bytes) {
        const char* dir = getenv("TMPDIR");
        path_ = std::string(dir && *dir ? dir : "/tmp") + "/elq_coded_XXXXXX";
        int fd = mkstemp(path_.data());
        if (fd < 0) abort();
        size_t done = 0;
        while (done < bytes.size()) {
            ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
            if (n <= 0) abort();
            done += static_cast<size_t>(n);
        }
        ::close(fd);
        stream.open(path_.c_str());
    }
    ~CodedBytes() {
        stream.close();
        unlink(path_.c_str());
    }
    CodedBytes(const CodedBytes&) = delete;
    CodedBytes& operator=(const CodedBytes&) = delete;

    InputStream stream;

private:
    std::string path_;
};

}  // namespace elq::test
