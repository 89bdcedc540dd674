// Shared by the tests of the C interface: files made by the program, callbacks over bytes in
// memory, and status checks. The tests see the library only through include/elq/elq.h.
#pragma once

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "elq/elq.h"
#include "support/run_elq.h"
#include "support/signals.h"

namespace elq::test {

// A status as the assertion messages show it.
inline testing::AssertionResult ok(const elq_status& status) {
    if (status.code == ELQ_OK && status.message[0] == '\0') return testing::AssertionSuccess();
    return testing::AssertionFailure() << "status " << status.code << ": " << status.message;
}

// Bytes read and written through callbacks, with or without the seek callback.
struct MemoryStream {
    std::string bytes;
    size_t position = 0;
    bool failAfter = false;  // reads fail once this many bytes have been read: `failAt`
    size_t failAt = 0;

    static int64_t read(void* user, void* buffer, size_t size) {
        auto* self = static_cast<MemoryStream*>(user);
        if (self->failAfter && self->position >= self->failAt) return -1;
        // Short reads, as a pipe gives them.
        size_t n =
            std::min({size, self->bytes.size() - std::min(self->position, self->bytes.size()), size_t{7001}});
        memcpy(buffer, self->bytes.data() + self->position, n);
        self->position += n;
        return static_cast<int64_t>(n);
    }
    static int seek(void* user, uint64_t offset) {
        static_cast<MemoryStream*>(user)->position = offset;
        return 0;
    }
    static int64_t size(void* user) {
        return static_cast<int64_t>(static_cast<MemoryStream*>(user)->bytes.size());
    }
    static int write(void* user, const void* bytes, size_t size) {
        auto* self = static_cast<MemoryStream*>(user);
        if (self->position + size > self->bytes.size()) self->bytes.resize(self->position + size);
        memcpy(self->bytes.data() + self->position, bytes, size);
        self->position += size;
        return 0;
    }

    elq_reader_io reader(bool seekable) const {
        return {read, seekable ? seek : nullptr, seekable ? size : nullptr};
    }
    elq_writer_io writer(bool seekable) const { return {write, seekable ? seek : nullptr}; }
};

// The four sample widths, mono and stereo.
struct Layout {
    uint32_t bits, channels;
};
inline constexpr Layout kLayouts[] = {{8, 1}, {8, 2}, {16, 1}, {16, 2}, {24, 1}, {24, 2}, {32, 1}, {32, 2}};

// Values in a block with "--seek fast".
constexpr uint32_t kFastBlockValues = 441000;

// A WAVE file with a chunk before and after its samples and bytes past its RIFF chunk, so that
// the stored header and trailer are more than the canonical ones.
inline Bytes richWaveFile(const Bytes& pcm, uint32_t bits, uint32_t channels) {
    Bytes wave = WaveBuilder()
                     .format({.channels = static_cast<uint16_t>(channels),
                              .blockAlign = static_cast<uint16_t>(channels * bits / 8),
                              .bits = static_cast<uint16_t>(bits)})
                     .chunk("LIST", patternBytes(26, bits + channels))
                     .chunk("data", pcm)
                     .chunk("note", patternBytes(13, 5))
                     .build();
    const Bytes tag = patternBytes(128, 9);
    wave.insert(wave.end(), tag.begin(), tag.end());
    return wave;
}

inline std::string text(const Bytes& bytes) {
    return std::string(bytes.begin(), bytes.end());
}

// Runs the program, failing the test unless it succeeds.
inline void runOk(const std::string& args, const TempDir& dir) {
    const Outcome run = runElq(words(args), dir);
    ASSERT_EQ(run.exitCode, 0) << args << "\n" << run.err;
}

}  // namespace elq::test
