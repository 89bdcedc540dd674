#include "prediction/block_predictor.h"

namespace elq {

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
    }
    if (!started) throwError(UNKNOWN, "predictor parameters not read before reconstruction");
}

}  // namespace elq
