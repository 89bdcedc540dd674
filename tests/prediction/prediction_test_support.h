// Shared helpers of the prediction tests: synthetic signals and range-coded round trips through a file.
#pragma once

#include <gtest/gtest.h>
#include <unistd.h>

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <random>
#include <string>
#include <vector>

#include "entropy/range_coder.h"
#include "foundation/stream.h"
#include "prediction/prediction_filter.h"

namespace elq::test {

// Sine mixture with noise, scaled to `amplitude`, optionally clipped to `clip` (0: no clipping).
inline std::vector<int32_t> musicLike(uint32_t count, double amplitude, uint32_t seed, double clip = 0.0) {
    std::mt19937 rng(seed);
    std::normal_distribution<double> noise(0.0, 1.0);
    std::vector<int32_t> out(count);
    double f1 = 0.01 + 0.01 * (seed % 7), f2 = 0.043 + 0.002 * (seed % 5), f3 = 0.17;
    for (uint32_t i = 0; i < count; ++i) {
        double t = i;
        double v = 0.6 * std::sin(f1 * t) + 0.25 * std::sin(f2 * t + 1.0) * std::sin(0.0003 * t) +
                   0.1 * std::sin(f3 * t) + 0.02 * noise(rng);
        v *= amplitude;
        if (clip > 0.0) v = std::fmax(-clip, std::fmin(clip, v));
        out[i] = static_cast<int32_t>(std::lround(v));
    }
    return out;
}

inline std::vector<int32_t> whiteNoise(uint32_t count, int32_t lo, int32_t hi, uint32_t seed) {
    std::mt19937 rng(seed);
    std::uniform_int_distribution<int32_t> pick(lo, hi);
    std::vector<int32_t> out(count);
    for (auto& v : out)
        v = pick(rng);
    return out;
}

// Runs `body` once with every kernel set the processor supports selected, then restores the set.
template <class Body>
void forEachKernelSet(Body body) {
    const KernelSet original = activeKernelSet();
    for (KernelSet set : {KernelSet::portable, KernelSet::avx2}) {
        if (!selectKernelSet(set)) continue;
        SCOPED_TRACE(set == KernelSet::avx2 ? "AVX2 kernels" : "portable kernels");
        body();
    }
    selectKernelSet(original);
}

// The residue of x for the prediction q as the predictors form it: q clamped to [lo, hi], the
// difference wrapped to `width` bits.
inline int32_t referenceResidue(int32_t x, int32_t q, int32_t lo, int32_t hi, uint32_t width) {
    q = q <= lo ? lo : q >= hi ? hi : q;
    const uint32_t shift = 32 - width;
    return static_cast<int32_t>((static_cast<uint32_t>(x) - static_cast<uint32_t>(q)) << shift) >> shift;
}

// Interleaves two channels into left, right, left, right, ...
inline std::vector<int32_t> interleave(const std::vector<int32_t>& left, const std::vector<int32_t>& right) {
    std::vector<int32_t> out(2 * left.size());
    for (size_t i = 0; i < left.size(); ++i) {
        out[2 * i] = left[i];
        out[2 * i + 1] = right[i];
    }
    return out;
}

// Bytes written by a RangeEncoder, replayed through a temporary file into a RangeDecoder.
class CodedBytes {
public:
    // Runs `write` on an encoder started the way every block starts, then finishes it.
    template <class Write>
    explicit CodedBytes(Write write, uint32_t capacity = 1 << 20) : bytes(capacity) {
        RangeEncoder encoder;
        encoder.start(bytes.data(), capacity, kBlockFirstByte);
        write(encoder);
        encoder.finish();
        bytes.resize(encoder.dataCount);
    }
    ~CodedBytes() {
        if (!path.empty()) std::remove(path.c_str());
    }

    // Opens the bytes for decoding; the decoder is started on return.
    RangeDecoder& decoder() {
        // The process number keeps test programs that run at the same time apart.
        static int serial = 0;
        path = testing::TempDir() + "elq_prediction_" + std::to_string(getpid()) + "_" +
               std::to_string(++serial) + ".bin";
        FILE* f = std::fopen(path.c_str(), "wb");
        EXPECT_NE(f, nullptr);
        std::fwrite(bytes.data(), 1, bytes.size(), f);
        std::fclose(f);
        stream.open(path.c_str());
        rangeDecoder.start(stream);
        return rangeDecoder;
    }
    // After decoding: every byte was consumed, none beyond.
    void expectFullyRead() {
        rangeDecoder.finish();
        EXPECT_EQ(stream.position(), bytes.size());
    }

    std::vector<uint8_t> bytes;

private:
    std::string path;
    InputStream stream;
    RangeDecoder rangeDecoder;
};

}  // namespace elq::test
