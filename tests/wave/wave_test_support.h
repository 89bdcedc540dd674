// Test helpers: a writer of WAVE files, valid or damaged on purpose.
#pragma once

#include <cstdint>
#include <vector>

namespace elq::test {

using Bytes = std::vector<uint8_t>;

// Appends the low `width` bytes of `v`, little-endian.
inline void appendLe(Bytes& b, uint32_t v, int width) {
    for (int i = 0; i < width; ++i)
        b.push_back(static_cast<uint8_t>(v >> 8 * i));
}
inline void put32(Bytes& b, size_t at, uint32_t v) {
    for (int i = 0; i < 4; ++i)
        b[at + i] = static_cast<uint8_t>(v >> 8 * i);
}

// Deterministic filler so every stored byte differs from its neighbours.
inline Bytes patternBytes(size_t n, uint32_t seed) {
    Bytes b(n);
    uint32_t x = seed * 2654435761u + 1;
    for (auto& v : b)
        v = static_cast<uint8_t>((x = x * 1664525u + 1013904223u) >> 24);
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

// Builds "RIFF" <size> "WAVE" followed by the chunks in the order they are added.
class WaveBuilder {
public:
    // Header, body and, for an odd body, one pad byte of value `pad`.
    WaveBuilder& chunk(const char* id, const Bytes& body, uint8_t pad = 0) {
        content_.insert(content_.end(), id, id + 4);
        appendLe(content_, static_cast<uint32_t>(body.size()), 4);
        content_.insert(content_.end(), body.begin(), body.end());
        if (body.size() & 1) content_.push_back(pad);
        return *this;
    }
    // The fields in their order, cut or zero-filled to f.size (the GUID's tail is never read).
    WaveBuilder& format(const Format& f) {
        Bytes b;
        for (auto [value, width] : {std::pair<uint32_t, int>{f.tag, 2},
                                    {f.channels, 2},
                                    {f.sampleRate, 4},
                                    {f.blockAlign * f.sampleRate, 4},
                                    {f.blockAlign, 2},
                                    {f.bits, 2},
                                    {f.cbSize, 2},
                                    {f.validBits, 2},
                                    {3, 4},
                                    {f.subFormat, 2}})
            appendLe(b, value, width);
        b.resize(f.size, 0);
        return chunk("fmt ", b);
    }
    // The RIFF size counts everything added unless given.
    Bytes build() const { return build(static_cast<uint32_t>(content_.size() + 4)); }
    Bytes build(uint32_t riffSize) const {
        Bytes b = {'R', 'I', 'F', 'F'};
        appendLe(b, riffSize, 4);
        b.insert(b.end(), {'W', 'A', 'V', 'E'});
        b.insert(b.end(), content_.begin(), content_.end());
        return b;
    }

private:
    Bytes content_;
};

}  // namespace elq::test
