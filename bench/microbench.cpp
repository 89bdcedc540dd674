// Microbenchmarks of the codec's hot paths on music-like integer signals: the prediction filter,
// the stereo predictor, the LDL^T solve, and both residual coder families (coding, decoding and
// the size estimate that the encoder's search calls many times per block). How to run them:
// bench/README.md.
#include <benchmark/benchmark.h>

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "entropy/range_coder.h"
#include "foundation/stream.h"
#include "prediction/kernels.h"
#include "prediction/mono_predictor.h"
#include "prediction/prediction_filter.h"
#include "prediction/sample_normalizer.h"
#include "prediction/stereo_predictor.h"
#include "residual/residual_coder.h"

namespace {

using namespace elq;

constexpr uint32_t kFrames = 65536;

// Interleaved stereo 16-bit music: decaying notes of damped integer resonators, panned, over a
// little noise, with a random note every ~0.2 s per voice. Deterministic (integer state; the note
// coefficients come from cos, which may differ in the last bit between libraries).
std::vector<int32_t> musicSignal(uint32_t frames) {
    struct Voice {
        int64_t c = 0, damp = 0, previous = 0, current = 0;
        int64_t left = 0, right = 0;
    };
    uint64_t state = 12345;
    auto random = [&]() {
        state = state * 6364136223846793005ull + 1442695040888963407ull;
        return static_cast<uint32_t>(state >> 33);
    };
    Voice voices[4];
    std::vector<int32_t> out(2 * static_cast<size_t>(frames));
    for (uint32_t i = 0; i < frames; ++i) {
        int64_t left = 0, right = 0;
        for (uint32_t v = 0; v < 4; ++v) {
            Voice& voice = voices[v];
            if ((i + 2357 * v) % 9000 == 0) {
                const double frequency = 60.0 * std::pow(2.0, (random() % 48) / 12.0) / 44100.0;
                const double r = 1.0 - 3e-5 * (1 + v);
                voice.c = std::llround(2.0 * r * std::cos(2.0 * M_PI * frequency) * 1073741824.0);
                voice.damp = std::llround(r * r * 1073741824.0);
                voice.previous = 0;
                voice.current = int64_t{1500} << 24;
                voice.left = 1 + random() % 16;
                voice.right = 17 - voice.left;
            }
            const int64_t next = ((voice.c * voice.current) >> 30) - ((voice.damp * voice.previous) >> 30);
            voice.previous = voice.current;
            voice.current = next;
            left += (voice.previous >> 24) * voice.left;
            right += (voice.previous >> 24) * voice.right;
        }
        auto clip = [](int64_t s) {
            return static_cast<int32_t>(s > 32767 ? 32767 : s < -32768 ? -32768 : s);
        };
        out[2 * i] = clip(left / 8 + static_cast<int32_t>(random() % 64) - 32);
        out[2 * i + 1] = clip(right / 8 + static_cast<int32_t>(random() % 64) - 32);
    }
    return out;
}

const std::vector<int32_t>& stereoSignal() {
    static const std::vector<int32_t> signal = musicSignal(kFrames);
    return signal;
}

const std::vector<int32_t>& leftChannel() {
    static const std::vector<int32_t> left = [] {
        std::vector<int32_t> v(kFrames);
        for (uint32_t i = 0; i < kFrames; ++i)
            v[i] = stereoSignal()[2 * i];
        return v;
    }();
    return left;
}

// Residues of the stereo signal as the default mode produces them, with their residue width.
struct Residues {
    std::vector<int32_t> values;
    uint32_t width = 0;
};

const Residues& stereoResidues() {
    static const Residues residues = [] {
        Residues out;
        std::vector<int32_t> samples = stereoSignal();
        StereoSampleNormalizerEncoder normalizer;
        normalizer.setSampleBits(16);
        normalizer.analyze(samples.data(), static_cast<uint32_t>(samples.size()));
        int32_t loLeft, hiLeft, loRight, hiRight;
        normalizer.query(loLeft, hiLeft, loRight, hiRight, out.width);
        StereoPredictorEncoder predictor;
        predictor.setParameters(256, 24, 8, 128, loLeft, hiLeft, loRight, hiRight, out.width, {});
        out.values.resize(samples.size());
        predictor.predictBlock(samples.data(), static_cast<uint32_t>(samples.size()), out.values.data());
        return out;
    }();
    return residues;
}

double lambdaOf(uint32_t memoryLength) {
    return (memoryLength - 1.0) / memoryLength;
}

// Per sample, as the decoder runs them: predict, then update (solves every K samples). Args: order,
// solve interval.
void PredictionFilterPerSample(benchmark::State& state) {
    const uint32_t order = static_cast<uint32_t>(state.range(0));
    const uint32_t interval = static_cast<uint32_t>(state.range(1));
    const std::vector<int32_t>& signal = leftChannel();
    PredictionFilter filter;
    for (auto _ : state) {
        filter.init(order, interval, lambdaOf(256));
        const int64_t sum = runWithKernels(activeKernelSet(), [&]<class V>() ELQ_ALWAYS_INLINE_LAMBDA {
            int64_t predictions = 0;
            for (int32_t x : signal) {
                predictions += filter.predictWith<V>();
                filter.updateWith<V>(x);
            }
            return predictions;
        });
        benchmark::DoNotOptimize(sum);
    }
    state.SetItemsProcessed(state.iterations() * signal.size());
}
BENCHMARK(PredictionFilterPerSample)
    ->ArgNames({"order", "K"})
    ->ArgsProduct({{12, 24, 48, 128}, {32, 64, 128}})
    ->Unit(benchmark::kMillisecond);

// The encoder's stereo prediction of a block. Args: total order, cross order, solve interval.
void StereoPredictBlock(benchmark::State& state) {
    const std::vector<int32_t>& signal = stereoSignal();
    std::vector<int32_t> residues(signal.size());
    StereoPredictorEncoder predictor;
    predictor.setParameters(256, static_cast<uint32_t>(state.range(0)), static_cast<uint32_t>(state.range(1)),
                            static_cast<uint32_t>(state.range(2)), -32768, 32767, -32768, 32767, 17, {});
    for (auto _ : state) {
        predictor.predictBlock(signal.data(), static_cast<uint32_t>(signal.size()), residues.data());
        benchmark::DoNotOptimize(residues.data());
    }
    state.SetItemsProcessed(state.iterations() * signal.size());
}
BENCHMARK(StereoPredictBlock)
    ->ArgNames({"P", "c", "K"})
    ->ArgsProduct({{12}, {4}, {32, 64, 128}})
    ->ArgsProduct({{24}, {8}, {32, 64, 128, 65536}})
    ->ArgsProduct({{48}, {16}, {32, 64, 128}})
    ->ArgsProduct({{128}, {40}, {32, 64, 128}})
    ->Unit(benchmark::kMillisecond);

// The decoder's reconstruction: the same filter, but each prediction waits for the sample before.
void StereoReconstructBlock(benchmark::State& state) {
    const std::vector<int32_t>& signal = stereoSignal();
    const uint32_t count = static_cast<uint32_t>(signal.size());
    const uint32_t order = static_cast<uint32_t>(state.range(0)),
                   cross = static_cast<uint32_t>(state.range(1));
    std::vector<int32_t> residues(count), samples(count);
    StereoPredictorEncoder encoder;
    encoder.setParameters(256, order, cross, 128, -32768, 32767, -32768, 32767, 17, {});
    encoder.predictBlock(signal.data(), count, residues.data());
    std::vector<uint8_t> area(64);
    RangeEncoder parameters;
    parameters.start(area.data(), static_cast<uint32_t>(area.size()), kBlockFirstByte);
    encoder.writeParameters(parameters);
    parameters.finish();
    const std::string path = "/tmp/elq_microbench_parameters_" + std::to_string(order) + ".bin";
    FILE* f = std::fopen(path.c_str(), "wb");
    std::fwrite(area.data(), 1, parameters.dataCount, f);
    std::fclose(f);
    for (auto _ : state) {
        state.PauseTiming();
        InputStream stream;
        stream.open(path.c_str());
        RangeDecoder decoder;
        decoder.start(stream);
        StereoPredictorDecoder predictor;
        predictor.setParameters(-32768, 32767, -32768, 32767, 17, {});
        predictor.readParameters(decoder);
        state.ResumeTiming();
        predictor.reconstructBlock(residues.data(), count, samples.data());
        benchmark::DoNotOptimize(samples.data());
    }
    std::remove(path.c_str());
    if (samples != signal) state.SkipWithError("reconstruction differs from the signal");
    state.SetItemsProcessed(state.iterations() * count);
}
BENCHMARK(StereoReconstructBlock)
    ->ArgNames({"P", "c"})
    ->Args({12, 4})
    ->Args({24, 8})
    ->Args({48, 16})
    ->Args({128, 40})
    ->Unit(benchmark::kMillisecond);

// One LDL^T decomposition and solve of an n x n normal-equation matrix, as a solve meets it.
void DecomposeAndSolve(benchmark::State& state) {
    const uint32_t n = static_cast<uint32_t>(state.range(0));
    const std::vector<int32_t>& x = leftChannel();
    // Weighted autocovariance matrix of the signal: symmetric positive definite and realistic.
    std::vector<double> packed(packedSize(n)), rhs(n);
    for (uint32_t j = 0; j < n; ++j) {
        for (uint32_t i = j; i < n; ++i) {
            double sum = 0.0;
            for (uint32_t t = 200; t < 4000; ++t)
                sum += static_cast<double>(x[t - i]) * x[t - j] * std::pow(0.999, 4000 - t);
            packed[columnStart(j, n) + (i - j)] = sum;
        }
        rhs[j] = packed[j];
    }
    std::vector<double> a(packed.size()), b(n), d(n), scratch(decompositionScratch(n));
    for (auto _ : state) {
        a = packed;
        b = rhs;
        bool ok = decomposeAndSolve(a.data(), d.data(), b.data(), scratch.data(), n, activeKernelSet());
        benchmark::DoNotOptimize(ok);
        benchmark::DoNotOptimize(b.data());
    }
}
BENCHMARK(DecomposeAndSolve)->Arg(12)->Arg(24)->Arg(48)->Arg(128);

const char* familyName(uint32_t family) {
    return family == 0 ? "energy" : "golomb";
}

// Range coding of the stereo residues with one family (arg), N = 12 as the plain loop uses.
void ResidualEncodeBlock(benchmark::State& state) {
    const uint32_t family = static_cast<uint32_t>(state.range(0));
    const Residues& r = stereoResidues();
    const uint32_t count = static_cast<uint32_t>(r.values.size());
    std::vector<uint8_t> area(5 * static_cast<size_t>(count) + 64);
    Owned<ResidualEncoder> coder = createResidualEncoder(family, true);
    uint32_t bytes = 0;
    for (auto _ : state) {
        RangeEncoder encoder;
        encoder.start(area.data(), static_cast<uint32_t>(area.size()), kBlockFirstByte);
        coder->setParameters(12, r.width);
        coder->encodeBlock(r.values.data(), count, encoder);
        encoder.finish();
        bytes = encoder.dataCount;
    }
    state.SetLabel(familyName(family));
    state.counters["bytes"] = bytes;
    state.SetItemsProcessed(state.iterations() * count);
}
BENCHMARK(ResidualEncodeBlock)->ArgName("family")->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond);

void ResidualDecodeBlock(benchmark::State& state) {
    const uint32_t family = static_cast<uint32_t>(state.range(0));
    const Residues& r = stereoResidues();
    const uint32_t count = static_cast<uint32_t>(r.values.size());
    std::vector<uint8_t> area(5 * static_cast<size_t>(count) + 64);
    RangeEncoder encoder;
    encoder.start(area.data(), static_cast<uint32_t>(area.size()), kBlockFirstByte);
    Owned<ResidualEncoder> coder = createResidualEncoder(family, true);
    coder->setParameters(12, r.width);
    coder->writeParameters(encoder);
    coder->encodeBlock(r.values.data(), count, encoder);
    encoder.finish();
    const std::string path = "/tmp/elq_microbench_residues_" + std::to_string(family) + ".bin";
    FILE* f = std::fopen(path.c_str(), "wb");
    std::fwrite(area.data(), 1, encoder.dataCount, f);
    std::fclose(f);
    std::vector<int32_t> out(count);
    Owned<ResidualDecoder> decoder = createResidualDecoder(family, true);
    for (auto _ : state) {
        InputStream stream;
        stream.open(path.c_str());
        RangeDecoder rangeDecoder;
        rangeDecoder.start(stream);
        decoder->setParameters(count, r.width);
        decoder->readParameters(rangeDecoder);
        decoder->decodeBlock(out.data(), count, rangeDecoder);
        rangeDecoder.finish();
    }
    std::remove(path.c_str());
    if (out != r.values) state.SkipWithError("decoded residues differ");
    state.SetLabel(familyName(family));
    state.SetItemsProcessed(state.iterations() * count);
}
BENCHMARK(ResidualDecodeBlock)->ArgName("family")->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond);

// The size estimate of the encoder's searches. Args: family, adaptation length.
void ResidualEstimateSize(benchmark::State& state) {
    const uint32_t family = static_cast<uint32_t>(state.range(0));
    const Residues& r = stereoResidues();
    const uint32_t count = static_cast<uint32_t>(r.values.size());
    Owned<ResidualEncoder> coder = createResidualEncoder(family, true);
    coder->setParameters(static_cast<uint32_t>(state.range(1)), r.width);
    uint32_t bytes = 0;
    for (auto _ : state) {
        bytes = coder->estimateSize(r.values.data(), count);
        benchmark::DoNotOptimize(bytes);
    }
    state.SetLabel(familyName(family));
    state.counters["bytes"] = bytes;
    state.SetItemsProcessed(state.iterations() * count);
}
BENCHMARK(ResidualEstimateSize)
    ->ArgNames({"family", "N"})
    ->ArgsProduct({{0, 1}, {12, 128}})
    ->Unit(benchmark::kMillisecond);

}  // namespace

// Google Benchmark's own options, and --kernels=portable to measure the portable kernels on a
// processor that has the AVX2 ones.
int main(int argc, char** argv) {
    int kept = 1;
    for (int i = 1; i < argc; ++i) {
        if (std::string(argv[i]) == "--kernels=portable") {
            selectKernelSet(KernelSet::portable);
        } else {
            argv[kept++] = argv[i];
        }
    }
    argc = kept;
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    benchmark::AddCustomContext("kernels", activeKernelSet() == KernelSet::avx2 ? "AVX2" : "portable");
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
