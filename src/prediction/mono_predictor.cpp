#include "prediction/mono_predictor.h"

#include <cassert>

namespace elq {

namespace {

constexpr uint16_t kSolveIntervals[7] = {32, 64, 128, 256, 512, 1024, 2048};
constexpr uint32_t kSolveEscape = 7;

void encodeValue(RangeEncoder& encoder, uint32_t value, uint32_t bits) {
    encoder.encodeShift(1, value, bits);
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
    assert(residueWidth >= 2 && residueWidth <= 32);
    return 32 - residueWidth;
}

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

void MonoPredictorDecoder::reconstructBlock(const int32_t* residues, uint32_t count, int32_t* samples) {
    if (parametersRead) {
        filter.init(order, solveInterval, memoryWeights(memoryLength).a);
        countdown.restart();
    }
    beginReconstruction();
    const MonoClamp clamp{lo, hi, shift};
    reconstructFrames(filter, clamp, progress, countdown, residues, count, samples);
}

}  // namespace elq
