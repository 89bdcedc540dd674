// Deterministic test signals as little-endian PCM bytes, and WAVE files holding them.
#pragma once

#include <cmath>
#include <cstdint>
#include <string>
#include <vector>

namespace elq::test {

enum class Signal { Silence, Tones, Noise, Square, Dc, PaddedClipped, TwinChannels };

inline const char* signalName(Signal s) {
    switch (s) {
        case Signal::Silence:
            return "silence";
        case Signal::Tones:
            return "tones";
        case Signal::Noise:
            return "noise";
        case Signal::Square:
            return "square";
        case Signal::Dc:
            return "dc";
        case Signal::PaddedClipped:
            return "padded";
        case Signal::TwinChannels:
            return "twin";
    }
    return "?";
}

// `frames` frames of `channels` values of `bits` bits (8 unsigned, else signed), each within
// the full range of the width.
inline std::vector<uint8_t> pcmSignal(Signal kind, uint32_t bits, uint32_t channels, uint32_t frames,
                                      uint32_t seed = 1) {
    const double full = std::ldexp(1.0, static_cast<int>(bits) - 1);
    const int64_t top = static_cast<int64_t>(full) - 1, bottom = -static_cast<int64_t>(full);
    uint64_t state = seed * 0x9E3779B97F4A7C15ull + 1;
    auto noise = [&]() {
        state = state * 6364136223846793005ull + 1442695040888963407ull;
        return static_cast<double>(static_cast<int64_t>(state >> 11) - (1ll << 52)) / std::ldexp(1.0, 52);
    };
    std::vector<uint8_t> bytes;
    bytes.reserve(static_cast<size_t>(frames) * channels * bits / 8);
    for (uint32_t i = 0; i < frames; ++i) {
        double left = 0;
        for (uint32_t c = 0; c < channels; ++c) {
            double t = i / 44100.0, v = 0;
            switch (kind) {
                case Signal::Silence:
                    v = 0;
                    break;
                case Signal::Tones:
                    v = 0.4 * std::sin(2 * M_PI * (220 + 110 * c) * t) + 0.2 * std::sin(2 * M_PI * 1375 * t) +
                        0.01 * noise();
                    v *= full;
                    break;
                case Signal::Noise:
                    v = noise() * full;
                    break;
                case Signal::Square:
                    v = (i / 50 + c) % 2 ? full : -full;
                    break;
                case Signal::Dc:
                    v = 0.3 * full + c;
                    break;
                case Signal::PaddedClipped:
                    // Low bits zero except at the clipped extremes.
                    v = 1.4 * full * std::sin(2 * M_PI * 440 * t + c);
                    if (bits > 8) v = std::floor(v / 16) * 16 + 16;
                    break;
                case Signal::TwinChannels:
                    v = c == 0 ? (0.5 * std::sin(2 * M_PI * 330 * t) + 0.02 * noise()) * full : left;
                    break;
            }
            if (c == 0) left = v;
            int64_t s = static_cast<int64_t>(std::llround(v));
            s = s > top ? top : s < bottom ? bottom : s;
            uint32_t raw = static_cast<uint32_t>(bits == 8 ? s + 128 : s);
            for (uint32_t k = 0; k < bits / 8; ++k)
                bytes.push_back(static_cast<uint8_t>(raw >> (8 * k)));
        }
    }
    return bytes;
}

// A canonical PCM WAVE file around `samples`.
inline std::vector<uint8_t> waveFile(const std::vector<uint8_t>& samples, uint32_t bits, uint32_t channels,
                                     uint32_t rate = 44100) {
    std::vector<uint8_t> b;
    auto put = [&](uint32_t v, int n) {
        for (int k = 0; k < n; ++k)
            b.push_back(static_cast<uint8_t>(v >> (8 * k)));
    };
    auto id = [&](const char* s) {
        for (int k = 0; k < 4; ++k) b.push_back(static_cast<uint8_t>(s[k]));
    };
    const uint32_t align = channels * bits / 8;
    id("RIFF");
    put(static_cast<uint32_t>(36 + samples.size() + (samples.size() & 1)), 4);
    id("WAVE");
    id("fmt ");
    put(16, 4);
    put(1, 2);
    put(channels, 2);
    put(rate, 4);
    put(rate * align, 4);
    put(align, 2);
    put(bits, 2);
    id("data");
    put(static_cast<uint32_t>(samples.size()), 4);
    for (uint8_t v : samples) b.push_back(v);
    if (samples.size() & 1) b.push_back(0);
    return b;
}

}  // namespace elq::test
