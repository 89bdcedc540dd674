// Deterministic test signals as little-endian PCM bytes, and WAVE files holding them.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "wave/wave_test_support.h"

namespace elq::test {

enum class Signal { Silence, Tones, Noise, Square, Dc, PaddedClipped, TwinChannels, LeftOnly };

inline const char* signalName(Signal s) {
    const char* const names[] = {"silence", "tones", "noise", "square", "dc", "padded", "twin", "leftonly"};
    return names[static_cast<int>(s)];
}

// A sinusoid from an integer resonator: exact and identical on every machine, so that files
// made from it can stand in a golden table. `c` is 2 cos(w) in units of 2^-15; the first
// `current` sets the amplitude (in 2^-30 of full scale).
struct Resonator {
    int64_t c, previous, current;
    int64_t next() {
        const int64_t following = ((c * current) >> 15) - previous;
        previous = current;
        current = following;
        return previous;
    }
};

// `frames` frames of `channels` values of `bits` bits (8 unsigned, else signed), within the
// full range of the width. Integer arithmetic only.
inline std::vector<uint8_t> pcmSignal(Signal kind, uint32_t bits, uint32_t channels, uint32_t frames,
                                      uint32_t seed = 1) {
    const int64_t top = (int64_t{1} << (bits - 1)) - 1, bottom = -(int64_t{1} << (bits - 1));
    uint64_t state = seed * 0x9E3779B97F4A7C15ull + 1;
    // Uniform over the signed 32-bit range.
    auto noise = [&]() {
        state = state * 6364136223846793005ull + 1442695040888963407ull;
        return static_cast<int64_t>(static_cast<int32_t>(state >> 32));
    };
    std::vector<Resonator> low, high;
    for (uint32_t c = 0; c < channels; ++c) {
        low.push_back({65400 - 97 * c, 0, (int64_t{55} << 20) + c * 7919});
        high.push_back({60000 + 331 * c, 0, int64_t{5} << 26});
    }
    std::vector<uint8_t> bytes;
    bytes.reserve(static_cast<size_t>(frames) * channels * bits / 8);
    for (uint32_t i = 0; i < frames; ++i) {
        int64_t left = 0;
        for (uint32_t c = 0; c < channels; ++c) {
            // v is in units of 2^-31 of full scale.
            int64_t v = 0;
            switch (kind) {
                case Signal::Silence:
                    break;
                case Signal::Tones:
                    v = low[c].next() + high[c].next() / 2 + noise() / 128;
                    break;
                case Signal::Noise:
                    v = noise();
                    break;
                case Signal::Square:
                    v = (i / 50 + c) % 2 ? INT64_C(1) << 31 : -(INT64_C(1) << 31);
                    break;
                case Signal::Dc:
                    v = (INT64_C(3) << 31) / 10 + (int64_t{static_cast<int32_t>(c)} << (32 - bits));
                    break;
                case Signal::PaddedClipped:
                    v = low[c].next() * 3;
                    break;
                case Signal::TwinChannels:
                    v = c == 0 ? low[0].next() + noise() / 64 : left;
                    break;
                case Signal::LeftOnly:
                    v = c == 0 ? low[0].next() + high[0].next() + noise() / 256 : 0;
                    break;
            }
            if (c == 0) left = v;
            int64_t sample = v >> (32 - bits);
            // Padded: the low bits are zero except where the peaks clip.
            if (kind == Signal::PaddedClipped && bits > 8) sample = (sample >> 4) * 16 + 16;
            sample = sample > top ? top : sample < bottom ? bottom : sample;
            uint32_t raw = static_cast<uint32_t>(bits == 8 ? sample + 128 : sample);
            for (uint32_t k = 0; k < bits / 8; ++k)
                bytes.push_back(static_cast<uint8_t>(raw >> (8 * k)));
        }
    }
    return bytes;
}

// A canonical PCM WAVE file around `samples`.
inline std::vector<uint8_t> waveFile(const std::vector<uint8_t>& samples, uint32_t bits, uint32_t channels) {
    return WaveBuilder()
        .format({.channels = static_cast<uint16_t>(channels),
                 .blockAlign = static_cast<uint16_t>(channels * bits / 8),
                 .bits = static_cast<uint16_t>(bits)})
        .chunk("data", samples)
        .build();
}

inline std::string waveText(Signal kind, uint32_t bits, uint32_t channels, uint32_t frames) {
    std::vector<uint8_t> b = waveFile(pcmSignal(kind, bits, channels, frames), bits, channels);
    return std::string(b.begin(), b.end());
}

}  // namespace elq::test
