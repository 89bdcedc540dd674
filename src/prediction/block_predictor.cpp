#include "prediction/block_predictor.h"

#include <cassert>

namespace elq {

namespace {

constexpr uint16_t kSolveIntervals[7] = {32, 64, 128, 256, 512, 1024, 2048};
constexpr uint32_t kSolveEscape = 7;

}  // namespace

void writeSolveInterval(RangeEncoder& encoder, uint32_t solveInterval) {
    for (uint32_t i = 0; i < 7; ++i) {
        if (kSolveIntervals[i] == solveInterval) {
            encoder.encodeShift(1, i, 3);
            return;
        }
    }
    encoder.encodeShift(1, kSolveEscape, 3);
    encoder.encodeShort(solveInterval - 1);
}

uint32_t readSolveInterval(RangeDecoder& decoder) {
    uint32_t v = decoder.decodeUniform(3);
    if (v == kSolveEscape) return decoder.decodeShort() + 1;
    return kSolveIntervals[v];
}

void checkFilterSettings(uint32_t memoryLength, uint32_t solveInterval) {
    if (memoryLength < kMinMemoryLength || memoryLength > kMaxMemoryLength)
        throwError(UNKNOWN, "predictor memory length must be from 2 to 65537");
    if (solveInterval < 1 || solveInterval > 65536)
        throwError(UNKNOWN, "predictor solve interval must be from 1 to 65536");
}

uint32_t shiftForWidth(uint32_t residueWidth) {
    assert(residueWidth >= 2 && residueWidth <= 32);
    return 32 - residueWidth;
}

bool runnableOrders(PredictorOrders orders, bool stereo) {
    const uint32_t order = orders.order, cross = orders.crossOrder;
    if (order < 4 || order > kMaxPredictionOrder || order % 4 != 0) return false;
    return !stereo || (cross >= 4 && cross % 4 == 0 && 2 * cross <= order);
}

void writeOrders(RangeEncoder& encoder, PredictorOrders orders, bool stereo) {
    for (uint32_t i = 0; i < kOrderTableSize; ++i) {
        if (kOrders[i] == orders.order && (!stereo || kCrossOrders[i] == orders.crossOrder)) {
            encoder.encodeShift(1, i, 5);
            return;
        }
    }
    encoder.encodeShift(1, 31, 5);
    encoder.encodeByte(orders.order - 1);
    if (stereo) encoder.encodeByte(orders.crossOrder);
}

PredictorOrders readOrders(RangeDecoder& decoder, bool stereo) {
    const uint32_t v = decoder.decodeUniform(5);
    PredictorOrders orders{0, 0};
    if (v == 31) {
        orders.order = decoder.decodeByte() + 1;
        if (stereo) orders.crossOrder = decoder.decodeByte();
    } else if (v < kOrderTableSize) {
        orders.order = kOrders[v];
        if (stereo) orders.crossOrder = kCrossOrders[v];
    } else {
        throwError(UNKNOWN, "corrupt block: unknown predictor order index");
    }
    if (!runnableOrders(orders, stereo)) throwError(UNKNOWN, "corrupt block: predictor orders out of range");
    return orders;
}

void PredictorDecoderState::beginReconstruction() {
    if (parametersRead) {
        parametersRead = false;
        started = true;
        countdown.restart();
    }
    if (!started) throwError(UNKNOWN, "predictor parameters not read before reconstruction");
}

}  // namespace elq
