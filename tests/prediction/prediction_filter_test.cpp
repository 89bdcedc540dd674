// The prediction filters, mono and stereo: every kernel set the processor has gives the same sums and
// residues, and the decoders, reconstructing in slices, restore every block. The values themselves are
// pinned by the conformance vectors (made by a separate encoder) and the golden table; the signals here
// reach the filters' rare branches: out-of-range predictions, singular systems, decayed statistics.
#include "prediction/prediction_filter.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <random>

#include "prediction/mono_predictor.h"
#include "prediction/sample_normalizer.h"
#include "prediction/stereo_predictor.h"
#include "support/coded_bytes.h"

namespace elq {
namespace {

// Sine mixture with noise, scaled to `amplitude`, optionally clipped to `clip` (0: no clipping).
std::vector<int32_t> musicLike(uint32_t count, double amplitude, uint32_t seed, double clip = 0.0) {
    std::mt19937 rng(seed);
    std::normal_distribution<double> noise(0.0, 1.0);
    std::vector<int32_t> out(count);
    const double f1 = 0.01 + 0.01 * (seed % 7), f2 = 0.043 + 0.002 * (seed % 5);
    for (uint32_t i = 0; i < count; ++i) {
        double v = 0.6 * std::sin(f1 * i) + 0.25 * std::sin(f2 * i + 1.0) * std::sin(0.0003 * i) +
                   0.1 * std::sin(0.17 * i) + 0.02 * noise(rng);
        v *= amplitude;
        out[i] = static_cast<int32_t>(std::lround(clip > 0.0 ? std::fmax(-clip, std::fmin(clip, v)) : v));
    }
    return out;
}

std::vector<int32_t> whiteNoise(uint32_t count, int32_t lo, int32_t hi, uint32_t seed) {
    std::mt19937 rng(seed);
    std::uniform_int_distribution<int32_t> pick(lo, hi);
    std::vector<int32_t> out(count);
    for (auto& v : out)
        v = pick(rng);
    return out;
}

std::vector<int32_t> interleave(const std::vector<int32_t>& left, const std::vector<int32_t>& right) {
    std::vector<int32_t> out;
    for (size_t i = 0; i < left.size(); ++i)
        out.insert(out.end(), {left[i], right[i]});
    return out;
}

// Adds h[k]·w[k], k < n, in groups of four into the two accumulators: a += (q0 + q1), b += (q2 + q3).
void naiveSum(const double* h, const double* w, int n, double& a, double& b) {
    for (int k = 0; k < n; k += 4) {
        a = a + (h[k] * w[k] + h[k + 1] * w[k + 1]);
        b = b + (h[k + 2] * w[k + 2] + h[k + 3] * w[k + 3]);
    }
}

// The prediction sums of every kernel set against the reference before rounding: a term taken
// into the wrong accumulator or pair changes a rounded prediction only when the sum lies near a
// half, too rarely for the comparisons of whole filters to see.
TEST(PredictionFilter, SumsMatchTheReferenceBeforeRounding) {
    std::mt19937 rng(5);
    std::uniform_real_distribution<double> pick(-1.0, 1.0);
    std::vector<double> h(128), w(128);
    for (int trial = 0; trial < 50; ++trial) {
        for (size_t k = 0; k < 128; ++k) {
            h[k] = std::round(pick(rng) * 30000.0);
            w[k] = pick(rng);
        }
        for (uint32_t n = 4; n <= 128; n += 4) {
            double a = 0.0, b = 0.0;
            naiveSum(h.data(), w.data(), int(n), a, b);
            for (KernelSet set : {KernelSet::portable, KernelSet::avx2}) {
                if (!kernelSetSupported(set)) continue;
                const PredictionSums sums = runWithKernels(set, [&]<class V>() ELQ_ALWAYS_INLINE_LAMBDA {
                    PredictionSums s = {};
                    accumulatePrediction<V>(h.data(), w.data(), n, s);
                    return s;
                });
                EXPECT_TRUE(sums[0] == a && sums[1] == b) << "order " << n << " set " << int(set);
            }
        }
    }
}

struct Setting {
    uint32_t memory, order, cross, interval, bits, slice;  // cross 0: mono
};

// The normalizer's mapping, the encoder's block loop with every kernel set (the same residues), the
// parameters through the range coder, and the decoder, reconstructing in slices, restores the block.
void expectRoundTrip(const std::vector<int32_t>& original, Setting s) {
    SCOPED_TRACE(testing::Message() << "N " << s.memory << " P " << s.order << " c " << s.cross << " K "
                                    << s.interval << " bits " << s.bits << " slice " << s.slice);
    const bool stereo = s.cross != 0;
    const uint32_t count = static_cast<uint32_t>(original.size());
    std::vector<int32_t> mapped = original, firstResidues;
    int32_t lo[2] = {}, hi[2] = {};
    uint32_t width = 0;
    SampleNormalizerEncoder monoNormalizer;
    StereoSampleNormalizerEncoder stereoNormalizer;
    monoNormalizer.setSampleBits(s.bits);
    stereoNormalizer.setSampleBits(s.bits);
    if (stereo) {
        stereoNormalizer.analyze(mapped.data(), count);
        stereoNormalizer.query(lo[0], hi[0], lo[1], hi[1], width);
    } else {
        monoNormalizer.analyze(mapped.data(), count);
        monoNormalizer.query(lo[0], hi[0], width);
    }
    const KernelSet saved = activeKernelSet();
    bool first = true;
    for (KernelSet set : {KernelSet::portable, KernelSet::avx2}) {
        if (!selectKernelSet(set)) continue;
        SCOPED_TRACE(set == KernelSet::avx2 ? "AVX2 kernels" : "portable kernels");
        std::vector<int32_t> residues(count);
        MonoPredictorEncoder monoEncoder;
        StereoPredictorEncoder stereoEncoder;
        MonoPredictorDecoder monoDecoder;
        StereoPredictorDecoder stereoDecoder;
        test::CodedBytes coded(test::encoded([&](RangeEncoder& e) {
            if (stereo) {
                stereoEncoder.setParameters(s.memory, s.order, s.cross, s.interval, lo[0], hi[0], lo[1],
                                            hi[1], width, {});
                stereoEncoder.writeParameters(e);
                stereoEncoder.predictBlock(mapped.data(), count, residues.data());
            } else {
                monoEncoder.setParameters(s.memory, s.order, s.interval, lo[0], hi[0], width, {});
                monoEncoder.writeParameters(e);
                monoEncoder.predictBlock(mapped.data(), count, residues.data());
            }
        }));
        if (first) firstResidues = residues;
        EXPECT_TRUE(residues == firstResidues);
        first = false;
        stereo ? stereoDecoder.setParameters(lo[0], hi[0], lo[1], hi[1], width, {})
               : monoDecoder.setParameters(lo[0], hi[0], width, {});
        stereo ? stereoDecoder.readParameters(coded.start()) : monoDecoder.readParameters(coded.start());
        coded.expectFullyRead();
        for (uint32_t start = 0; start < count; start += s.slice) {
            const uint32_t n = std::min(s.slice, count - start);
            int32_t* slice = residues.data() + start;
            stereo ? stereoDecoder.reconstructBlock(slice, n, slice)
                   : monoDecoder.reconstructBlock(slice, n, slice);
        }
        EXPECT_TRUE(residues == mapped);
    }
    selectKernelSet(saved);
}

// Orders (odd and even group counts, 4 to 128), solve intervals (1 and odd ones), memory lengths (2 to
// 65537), sample widths, grids, silence, slices down to one value, past sample 48000 (where the start-up
// correction ends), and signals made for the rare branches.
TEST(PredictionRoundTrip, MonoAndStereoBlocks) {
    const auto music = musicLike(20000, 20000.0, 1, 32767.0);
    auto scaled = musicLike(8000, 4000.0, 2, 3000.0);  // a grid with clipped peaks off it
    for (auto& v : scaled)
        v = v * 8 + 3;
    // A steep ramp stopping at the top of the 32-bit range: the extrapolation overshoots it.
    std::vector<int32_t> ramp(3000);
    for (size_t i = 0; i < ramp.size(); ++i)
        ramp[i] = int32_t(std::min<int64_t>(INT32_MAX, -2000000000LL + 3000001LL * int64_t(i) + i % 3));
    // A periodic signal, whose singular systems fall back to the sample one period back.
    const int32_t period[5] = {70, -20, 35, -90, 5}, pattern[6] = {3, 1, -2, -3, -1, 2};
    std::vector<int32_t> periodic(4000);
    for (size_t i = 0; i < periodic.size(); ++i)
        periodic[i] = period[i % 5];
    // A burst, then a silence long enough for the statistics to decay to the reset.
    auto burst = musicLike(500, 3000.0, 8);
    burst.resize(3000, 0);
    auto left = musicLike(12000, 20000.0, 11, 32767.0), right = musicLike(12000, 15000.0, 12);
    for (size_t i = 0; i < right.size(); ++i)
        right[i] = (right[i] + left[i]) / 2;
    const auto pair = interleave(left, right);
    // Right = left + 3·(previous left): the full system is singular and no lag repeats r[0], so the own
    // channel's is solved, before and after frame 48000. Once left follows x[t] = x[t-1] - x[t-2], so do
    // both, and the own systems are singular as well.
    std::vector<int32_t> coupled = whiteNoise(49000, -40, 40, 21), other(49000);
    for (size_t i = 0; i < coupled.size(); ++i) {
        coupled[i] = i < 45000 ? coupled[i] : pattern[i % 6];
        other[i] = coupled[i] + 3 * (i > 0 ? coupled[i - 1] : 0);
    }
    const std::pair<std::vector<int32_t>, Setting> cases[] = {
        {music, {256, 32, 0, 128, 16, 20000}},
        {music, {256, 128, 0, 128, 16, 777}},
        {musicLike(9000, 100.0, 3), {2, 12, 0, 1, 8, 1000}},
        {musicLike(9000, 7e6, 4), {4097, 20, 0, 5, 24, 777}},
        {musicLike(4000, 2e9, 5, 2147483647.0), {65537, 128, 0, 301, 32, 1}},
        {whiteNoise(6000, INT32_MIN, INT32_MAX, 6), {16, 4, 0, 7, 32, 6000}},
        {scaled, {1024, 36, 0, 256, 16, 8000}},
        {std::vector<int32_t>(5000, 0), {256, 32, 0, 64, 16, 5000}},
        {{}, {256, 32, 0, 64, 16, 1}},
        {musicLike(52000, 3000.0, 7), {1024, 24, 0, 64, 16, 12345}},
        {ramp, {32, 8, 0, 16, 32, 3000}},
        {periodic, {256, 16, 0, 32, 16, 4000}},
        {burst, {16, 8, 0, 7, 16, 3000}},
        {pair, {256, 24, 8, 128, 16, 24000}},
        {pair, {2, 12, 4, 1, 16, 998}},
        {pair, {4097, 64, 20, 5, 16, 2}},
        {interleave(whiteNoise(2500, -9, 9, 13), musicLike(2500, 6e6, 14)), {65537, 128, 40, 301, 24, 5000}},
        {whiteNoise(4000, INT32_MIN, INT32_MAX, 15), {16, 16, 8, 7, 32, 4000}},
        {interleave(musicLike(4000, 100.0, 16), std::vector<int32_t>(4000, -7)), {64, 24, 8, 32, 8, 4000}},
        {{}, {256, 24, 8, 128, 16, 2}},
        {interleave(musicLike(49000, 3000.0, 17), musicLike(49000, 2000.0, 18)),
         {1024, 20, 8, 64, 16, 98000}},
        {interleave(musicLike(3000, 900.0, 20), burst), {16, 8, 4, 7, 16, 6000}},
        {interleave(coupled, other), {64, 12, 4, 16, 16, 98000}},
    };
    for (const auto& [values, setting] : cases)
        expectRoundTrip(values, setting);
}

}  // namespace
}  // namespace elq
