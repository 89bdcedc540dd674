#include "prediction/mono_predictor.h"

#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic ignored "-Wpsabi"  // see prediction_filter.h
#endif

namespace elq {

namespace {

constexpr uint16_t kSolveIntervals[7] = {32, 64, 128, 256, 512, 1024, 2048};
constexpr uint16_t kOrders[9] = {12, 24, 36, 48, 64, 96, 128, 192, 256};
constexpr uint32_t kSolveEscape = 7;
constexpr uint32_t kOrderEscape = 31;

void encodeValue(RangeEncoder& encoder, uint32_t value, uint32_t bits) {
    encoder.encodeShift(1, value, bits);
}

void checkOrder(uint32_t order) {
    if (order < 4 || order > kMaxPredictionOrder || order % 4 != 0)
        throwError(UNKNOWN, "predictor order must be a multiple of 4 from 4 to 128");
}

}  // namespace

void writeSolveInterval(RangeEncoder& encoder, uint32_t solveInterval) {
    for (uint32_t i = 0; i < 7; ++i) {
        if (kSolveIntervals[i] == solveInterval) {
            encodeValue(encoder, i, 3);
            return;
        }
    }
    encodeValue(encoder, kSolveEscape, 3);
    encoder.encodeShort(solveInterval - 1);
}

uint32_t readSolveInterval(RangeDecoder& decoder) {
    uint32_t v = decoder.decodeUniform(3);
    if (v == kSolveEscape) return decoder.decodeShort() + 1;
    return kSolveIntervals[v];
}

void checkFilterSettings(uint32_t memoryLength, uint32_t solveInterval) {
    if (memoryLength < 2 || memoryLength > 65537)
        throwError(UNKNOWN, "predictor memory length must be from 2 to 65537");
    if (solveInterval < 1 || solveInterval > 65536)
        throwError(UNKNOWN, "predictor solve interval must be from 1 to 65536");
}

uint32_t shiftForWidth(uint32_t residueWidth) {
    if (residueWidth < 2 || residueWidth > 32) throwError(UNKNOWN, "residue width must be from 2 to 32 bits");
    return 32 - residueWidth;
}

void MonoPredictorEncoder::setParameters(uint32_t memory, uint32_t filterOrder, uint32_t interval,
                                         int32_t low, int32_t high, uint32_t residueWidth,
                                         ProgressSink sink) {
    checkFilterSettings(memory, interval);
    checkOrder(filterOrder);
    memoryLength = memory;
    order = filterOrder;
    solveInterval = interval;
    lo = low;
    hi = high;
    shift = shiftForWidth(residueWidth);
    progress = sink;
}

void MonoPredictorEncoder::writeParameters(RangeEncoder& encoder) {
    writeMemoryLength(encoder, memoryLength);
    writeSolveInterval(encoder, solveInterval);
    for (uint32_t i = 0; i < 9; ++i) {
        if (kOrders[i] == order) {
            encodeValue(encoder, i, 5);
            return;
        }
    }
    encodeValue(encoder, kOrderEscape, 5);
    encoder.encodeByte(order - 1);
}

namespace {

// The per-sample loops, instantiated for each kernel set.
struct MonoClamp {
    int32_t lo;
    int32_t hi;
    uint32_t shift;
};

template <class V>
ELQ_ALWAYS_INLINE void predictSamples(PredictionFilter& filter, const MonoClamp& clamp,
                                      const ProgressSink& progress, const int32_t* samples, uint32_t count,
                                      int32_t* residues) {
    // Chunks whose samples go into the history ahead, cut at every solve: the predictions of a
    // stretch first (kept in the residue array), then the updates.
    ProgressCountdown countdown;
    uint32_t prepared = 0;
    for (uint32_t start = 0; start < count;) {
        if (prepared == start) {
            const uint32_t n = count - start < SampleHistory::kSpan ? count - start : SampleHistory::kSpan;
            filter.prepare(samples + start, n);
            prepared = start + n;
        }
        const uint32_t untilSolve = filter.samplesUntilSolve();
        const uint32_t n = prepared - start < untilSolve ? prepared - start : untilSolve;
        filter.predictAhead<V>(n, residues + start);
        for (uint32_t i = start; i < start + n; ++i) {
            countdown.tick(progress, i, count);
            const int32_t x = samples[i];
            const int32_t q = clampPrediction(residues[i], clamp.lo, clamp.hi);
            residues[i] = residueOf(x, q, clamp.shift);
            filter.updateWith<V, true>(x);
        }
        start += n;
    }
}

template <class V>
ELQ_ALWAYS_INLINE void reconstructSamples(PredictionFilter& filter, const MonoClamp& clamp,
                                          const ProgressSink& progress, ProgressCountdown& countdown,
                                          const int32_t* residues, uint32_t count, int32_t* samples) {
    for (uint32_t i = 0; i < count; ++i) {
        countdown.tick(progress, i, count);
        const int32_t q = clampPrediction(filter.predictWith<V>(), clamp.lo, clamp.hi);
        const int32_t x = sampleOf(q, residues[i], clamp.shift);
        samples[i] = x;
        filter.updateWith<V>(x);
    }
}

void predictSamplesPortable(PredictionFilter& filter, const MonoClamp& clamp, const ProgressSink& progress,
                            const int32_t* samples, uint32_t count, int32_t* residues) {
    predictSamples<PortableLanes>(filter, clamp, progress, samples, count, residues);
}

void reconstructSamplesPortable(PredictionFilter& filter, const MonoClamp& clamp,
                                const ProgressSink& progress, ProgressCountdown& countdown,
                                const int32_t* residues, uint32_t count, int32_t* samples) {
    reconstructSamples<PortableLanes>(filter, clamp, progress, countdown, residues, count, samples);
}

#ifdef ELQ_AVX2_KERNELS
ELQ_TARGET_AVX2 void predictSamplesWide(PredictionFilter& filter, const MonoClamp& clamp,
                                        const ProgressSink& progress, const int32_t* samples, uint32_t count,
                                        int32_t* residues) {
    predictSamples<WideLanes>(filter, clamp, progress, samples, count, residues);
}

ELQ_TARGET_AVX2 void reconstructSamplesWide(PredictionFilter& filter, const MonoClamp& clamp,
                                            const ProgressSink& progress, ProgressCountdown& countdown,
                                            const int32_t* residues, uint32_t count, int32_t* samples) {
    reconstructSamples<WideLanes>(filter, clamp, progress, countdown, residues, count, samples);
}
#endif

}  // namespace

void MonoPredictorEncoder::predictBlock(const int32_t* samples, uint32_t count, int32_t* residues) {
    filter.init(order, solveInterval, memoryWeights(memoryLength).a);
    const MonoClamp clamp{lo, hi, shift};
#ifdef ELQ_AVX2_KERNELS
    if (activeKernelSet() == KernelSet::avx2) {
        predictSamplesWide(filter, clamp, progress, samples, count, residues);
        return;
    }
#endif
    predictSamplesPortable(filter, clamp, progress, samples, count, residues);
}

void MonoPredictorDecoder::setParameters(int32_t low, int32_t high, uint32_t residueWidth,
                                         ProgressSink sink) {
    lo = low;
    hi = high;
    shift = shiftForWidth(residueWidth);
    progress = sink;
}

void MonoPredictorDecoder::readParameters(RangeDecoder& decoder) {
    memoryLength = readMemoryLength(decoder);
    solveInterval = readSolveInterval(decoder);
    uint32_t v = decoder.decodeUniform(5);
    uint32_t decodedOrder;
    if (v == kOrderEscape) {
        decodedOrder = decoder.decodeByte() + 1;
    } else if (v < 9) {
        decodedOrder = kOrders[v];
    } else {
        throwError(UNKNOWN, "corrupt block: unknown predictor order index");
    }
    if (decodedOrder > kMaxPredictionOrder || decodedOrder % 4 != 0)
        throwError(UNKNOWN, "corrupt block: predictor order must be a multiple of 4 from 4 to 128");
    order = decodedOrder;
    parametersRead = true;
}

void MonoPredictorDecoder::reconstructBlock(const int32_t* residues, uint32_t count, int32_t* samples) {
    if (parametersRead) {
        filter.init(order, solveInterval, memoryWeights(memoryLength).a);
        countdown.restart();
        parametersRead = false;
        started = true;
    }
    if (!started) throwError(UNKNOWN, "predictor parameters not read before reconstruction");
    const MonoClamp clamp{lo, hi, shift};
#ifdef ELQ_AVX2_KERNELS
    if (activeKernelSet() == KernelSet::avx2) {
        reconstructSamplesWide(filter, clamp, progress, countdown, residues, count, samples);
        return;
    }
#endif
    reconstructSamplesPortable(filter, clamp, progress, countdown, residues, count, samples);
}

}  // namespace elq
