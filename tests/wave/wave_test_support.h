// Test helpers: a scratch directory and a writer of WAVE files, valid or damaged on purpose.
#pragma once

#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "support/temp_dir.h"

namespace elq::test {

using Bytes = std::vector<uint8_t>;

inline void append16(Bytes& b, uint16_t v) {
    b.push_back(static_cast<uint8_t>(v));
    b.push_back(static_cast<uint8_t>(v >> 8));
}
inline void append32(Bytes& b, uint32_t v) {
    append16(b, static_cast<uint16_t>(v));
    append16(b, static_cast<uint16_t>(v >> 16));
}
inline void appendId(Bytes& b, const char* id) {
    for (int i = 0; i < 4; ++i)
        b.push_back(static_cast<uint8_t>(id[i]));
}
inline void put16(Bytes& b, size_t at, uint16_t v) {
    b[at] = static_cast<uint8_t>(v);
    b[at + 1] = static_cast<uint8_t>(v >> 8);
}
inline void put32(Bytes& b, size_t at, uint32_t v) {
    put16(b, at, static_cast<uint16_t>(v));
    put16(b, at + 2, static_cast<uint16_t>(v >> 16));
}
inline uint32_t get32(const Bytes& b, size_t at) {
    return b[at] | b[at + 1] << 8 | b[at + 2] << 16 | static_cast<uint32_t>(b[at + 3]) << 24;
}

// Deterministic filler so every stored byte differs from its neighbours.
inline Bytes patternBytes(size_t n, uint32_t seed) {
    Bytes b(n);
    uint32_t x = seed * 2654435761u + 1;
    for (auto& v : b) {
        x = x * 1664525u + 1013904223u;
        v = static_cast<uint8_t>(x >> 24);
    }
    return b;
}

// Fields of a format chunk; nAvgBytesPerSec follows from blockAlign × sampleRate.
struct Format {
    uint16_t tag = 1;
    uint16_t channels = 2;
    uint32_t sampleRate = 44100;
    uint16_t blockAlign = 4;
    uint16_t bits = 16;
    uint32_t size = 16;  // 16, 18 or 40 for a valid chunk
    uint16_t cbSize = 0;
    uint16_t validBits = 0;
    uint16_t subFormat = 1;
};

inline Bytes formatBody(const Format& f) {
    Bytes b;
    append16(b, f.tag);
    append16(b, f.channels);
    append32(b, f.sampleRate);
    append32(b, static_cast<uint32_t>(f.blockAlign * f.sampleRate));
    append16(b, f.blockAlign);
    append16(b, f.bits);
    if (f.size >= 18) append16(b, f.cbSize);
    if (f.size >= 40) {
        append16(b, f.validBits);
        append32(b, 3);  // channel mask
        static const uint8_t kGuidTail[14] = {0x00, 0x00, 0x00, 0x00, 0x10, 0x00, 0x80,
                                              0x00, 0x00, 0xAA, 0x00, 0x38, 0x9B, 0x71};
        append16(b, f.subFormat);
        b.insert(b.end(), kGuidTail, kGuidTail + sizeof kGuidTail);
    }
    b.resize(f.size, 0);
    return b;
}

// Builds "RIFF" <size> "WAVE" followed by the chunks in the order they are added.
class WaveBuilder {
public:
    // Header, body and, for an odd body, one pad byte of value `pad`.
    WaveBuilder& chunk(const char* id, const Bytes& body, uint8_t pad = 0) {
        appendId(content_, id);
        append32(content_, static_cast<uint32_t>(body.size()));
        content_.insert(content_.end(), body.begin(), body.end());
        if (body.size() & 1) content_.push_back(pad);
        return *this;
    }
    WaveBuilder& format(const Format& f) { return chunk("fmt ", formatBody(f)); }
    WaveBuilder& raw(const Bytes& bytes) {
        content_.insert(content_.end(), bytes.begin(), bytes.end());
        return *this;
    }
    // The RIFF size counts everything added.
    Bytes build() const { return build(static_cast<uint32_t>(content_.size() + 4)); }
    Bytes build(uint32_t riffSize) const {
        Bytes b;
        appendId(b, "RIFF");
        append32(b, riffSize);
        appendId(b, "WAVE");
        b.insert(b.end(), content_.begin(), content_.end());
        return b;
    }

private:
    Bytes content_;
};

// 16-bit stereo, 44100 Hz, `frames` frames, the 44-byte header and nothing else.
inline Bytes canonicalWave(size_t frames = 100) {
    return WaveBuilder().format(Format{}).chunk("data", patternBytes(frames * 4, 7)).build();
}

inline Bytes readFileBytes(const std::string& path) {
    Bytes b;
    FILE* f = fopen(path.c_str(), "rb");
    if (!f) {
        ADD_FAILURE() << "cannot open " << path;
        return b;
    }
    uint8_t chunk[65536];
    size_t n;
    while ((n = fread(chunk, 1, sizeof chunk, f)) > 0)
        b.insert(b.end(), chunk, chunk + n);
    fclose(f);
    return b;
}

}  // namespace elq::test
