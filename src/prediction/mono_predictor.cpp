#include "prediction/mono_predictor.h"

namespace elq {

void MonoPredictorEncoder::setParameters(uint32_t memory, uint32_t filterOrder, uint32_t interval,
                                         int32_t low, int32_t high, uint32_t residueWidth,
                                         ProgressSink sink) {
    checkFilterSettings(memory, interval);
    if (!runnableOrders({filterOrder, 0}, false))
        throwError(UNKNOWN, "predictor order must be a multiple of 4 from 4 to 128");
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
    writeOrders(encoder, {order, 0}, false);
}

void MonoPredictorEncoder::predictBlock(const int32_t* samples, uint32_t count, int32_t* residues) {
    filter.init(order, solveInterval, memoryWeights(memoryLength).a);
    const MonoClamp clamp{lo, hi, shift};
    predictFrames(filter, clamp, progress, samples, count, residues);
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
    order = readOrders(decoder, false).order;
    parametersRead = true;
}

MonoClamp MonoPredictorDecoder::resume() {
    if (parametersRead) {
        filter.init(order, solveInterval, memoryWeights(memoryLength).a);
    }
    beginReconstruction();
    return MonoClamp{lo, hi, shift};
}

void MonoPredictorDecoder::reconstructBlock(const int32_t* residues, uint32_t count, int32_t* samples) {
    const MonoClamp clamp = resume();
    reconstructFrames(filter, clamp, progress, countdown, residues, count, samples);
}

uint32_t MonoPredictorDecoder::decodeBlock(ResidualDecoder& residual, RangeDecoder& decoder,
                                           uint32_t maxCount, int32_t* samples) {
    const MonoClamp clamp = resume();
    return decodeFrames(filter, clamp, progress, countdown, residual, decoder, maxCount, samples);
}

}  // namespace elq
