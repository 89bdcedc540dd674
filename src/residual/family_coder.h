// The encoder and the decoder of both residual coder families, one template per direction over a
// family's traits. A family supplies:
//   Models<Model>              the block's models: ModelArray, or SingleModel for one context
//   modelCount(W), symbolCount(W)
//   kStartStatistic            each channel's running statistic at the start of a block
//   widthParameter(W)          what the value steps need of W, computed once per block
//   encodeValue(x, statistic, weights, widthParameter, sink)
//                              one value of encodeBlock and estimateSize
//   decodeValue(statistic, weights, widthParameter, models, rangeDecoder)
//                              one value of decodeBlock; returns it folded
// The value steps are inlined into the loops; only the per-block operations are virtual.
#pragma once

#include <cstdint>
#include <type_traits>

#include "entropy/cost_estimator.h"
#include "entropy/memory_length.h"
#include "entropy/models.h"
#include "entropy/range_coder.h"
#include "foundation/compiler.h"
#include "residual/residual_coder.h"

namespace elq {

// Receivers of the symbols of the encode-side value steps. A step names the model by index (a
// family with one context always uses model 0); `uniform` is a value equally likely among `total`.
struct CodingSink {
    RangeEncoder& encoder;
    CumulativeModel* models;

    ELQ_ALWAYS_INLINE void symbol(uint32_t model, uint32_t sym) { models[model].encodeSymbol(sym, encoder); }
    ELQ_ALWAYS_INLINE void uniform(uint32_t value, uint32_t total) { encoder.encodeFreq(1, value, total); }
    ELQ_ALWAYS_INLINE void bits(uint32_t value, uint32_t nbits) { encoder.encodeBits(value, nbits); }
};

struct EstimatingSink {
    CostEstimator& estimator;
    CostModel* models;

    ELQ_ALWAYS_INLINE void symbol(uint32_t model, uint32_t sym) {
        models[model].estimateSymbol(sym, estimator);
    }
    ELQ_ALWAYS_INLINE void uniform(uint32_t, uint32_t total) { estimator.estimateFreq(1, total); }
    ELQ_ALWAYS_INLINE void bits(uint32_t, uint32_t nbits) { estimator.estimateBits(nbits); }
};

// The channel of a value, as an argument of the steps below: a constant where the loop knows it.
template <uint32_t Channel>
using ChannelOf = std::integral_constant<uint32_t, Channel>;

// Visits values [0, count) of a block whose value 0 is value `firstIndex` of the whole block,
// calling step(i, statistic, channel) with the running statistic of the value's channel. Stereo
// values alternate channel 0, channel 1 from the block's start, so a slice may begin or end inside
// a pair. The statistics stay in locals across the loop. With OneSite the step is called (and
// inlined) at one place only, with the channel as a variable, which suits the large steps of real
// coding; otherwise a stereo pair takes two calls, each with its channel as a ChannelOf constant.
template <uint32_t Channels, bool OneSite, class Step>
ELQ_ALWAYS_INLINE void forEachValue(uint32_t count, uint32_t firstIndex, double* statistics, Step&& step) {
    static_assert(Channels == 1 || Channels == 2);
    if constexpr (Channels == 1) {
        double s0 = statistics[0];
        for (uint32_t i = 0; i < count; ++i)
            step(i, s0, ChannelOf<0>{});
        statistics[0] = s0;
    } else if constexpr (OneSite) {
        double s0 = statistics[0];
        double s1 = statistics[1];
        for (uint32_t i = 0; i < count; ++i) {
            const bool second = ((firstIndex + i) & 1u) != 0;
            double s = second ? s1 : s0;
            step(i, s, static_cast<uint32_t>(second));
            if (second) {
                s1 = s;
            } else {
                s0 = s;
            }
        }
        statistics[0] = s0;
        statistics[1] = s1;
    } else {
        double s0 = statistics[0];
        double s1 = statistics[1];
        uint32_t i = 0;
        if ((firstIndex & 1u) && count > 0) {
            step(0, s1, ChannelOf<1>{});
            i = 1;
        }
        for (; i + 1 < count; i += 2) {
            step(i, s0, ChannelOf<0>{});
            step(i + 1, s1, ChannelOf<1>{});
        }
        if (i < count) step(i, s0, ChannelOf<0>{});
        statistics[0] = s0;
        statistics[1] = s1;
    }
}

// Channels 1 (mono) or 2 (stereo: values interleaved, channel 0 first, each channel with its own
// statistic and both sharing the models).
template <class Family, uint32_t Channels>
class FamilyResidualEncoder final : public ResidualEncoder {
public:
    void setParameters(uint32_t adaptationLength, uint32_t residueWidth) override;
    void writeParameters(RangeEncoder& encoder) override;
    void encodeBlock(const int32_t* residues, uint32_t count, RangeEncoder& encoder) override;
    uint32_t estimateSize(const int32_t* residues, uint32_t count) override;

private:
    MemoryWeights weights;
    uint32_t W = kMaxResidueWidth;
    // An array is "entEncs[]" in an OOM report, on both paths.
    typename Family::template Models<CumulativeModel> models;  // only inside encodeBlock
    CostEstimator estimator;
    typename Family::template Models<CostModel> costModels;  // only inside estimateSize
    uint32_t N = kMinMemoryLength;
};

template <class Family, uint32_t Channels>
class FamilyResidualDecoder final : public ResidualDecoder {
public:
    void setParameters(uint32_t count, uint32_t residueWidth) override;
    void readParameters(RangeDecoder& decoder) override;
    uint32_t decodeBlock(int32_t* out, uint32_t maxCount, RangeDecoder& decoder) override;
    // decodeBlock handing each value to use(i, value, channel) as soon as it is decoded instead of
    // storing it (i counts from 0 in each call; channel as forEachValue passes it), with the models at
    // the lane width of V (CountLanes). The predictors
    // reconstruct each sample right there, so that the processor overlaps the range decoder's chain of
    // dependent steps with the filter's.
    template <class V, class Use>
    uint32_t decodeEach(uint32_t maxCount, RangeDecoder& decoder, Use&& use);

private:
    MemoryWeights weights;
    double statistics[2] = {Family::kStartStatistic, Family::kStartStatistic};
    uint32_t W = kMaxResidueWidth;
    uint32_t count = 0;
    // "entDecs[]" if an array; from the first decodeBlock to the block's last value
    typename Family::template Models<CumulativeModel> models;
    uint32_t decoded = 0;
    bool needsStart = false;
};

template <class Family, uint32_t Channels>
void FamilyResidualEncoder<Family, Channels>::setParameters(uint32_t adaptationLength,
                                                            uint32_t residueWidth) {
    checkResidueWidth(residueWidth);
    // A larger N would be written modulo 65536 and decoded as another N.
    if (adaptationLength < kMinMemoryLength || adaptationLength > kMaxMemoryLength)
        throwError(UNKNOWN, "adaptation length outside 2 to 65537");
    N = adaptationLength;
    W = residueWidth;
    weights = memoryWeights(N);
}

template <class Family, uint32_t Channels>
void FamilyResidualEncoder<Family, Channels>::writeParameters(RangeEncoder& encoder) {
    writeMemoryLength(encoder, N);
}

template <class Family, uint32_t Channels>
void FamilyResidualEncoder<Family, Channels>::encodeBlock(const int32_t* residues, uint32_t count,
                                                          RangeEncoder& encoder) {
    models.create(Family::modelCount(W), Family::symbolCount(W), kModelLimit, kEncoderModelsName);
    CodingSink sink{encoder, models.data()};
    double statistics[2] = {Family::kStartStatistic, Family::kStartStatistic};
    const MemoryWeights w = weights;
    const uint32_t widthParameter = Family::widthParameter(W);
    forEachValue<Channels, true>(count, 0, statistics,
                                 [&](uint32_t i, double& s, auto) ELQ_ALWAYS_INLINE_LAMBDA {
                                     Family::encodeValue(residues[i], s, w, widthParameter, sink);
                                 });
    models.release();
}

template <class Family, uint32_t Channels>
uint32_t FamilyResidualEncoder<Family, Channels>::estimateSize(const int32_t* residues, uint32_t count) {
    costModels.create(Family::modelCount(W), Family::symbolCount(W), kModelLimit, kEncoderModelsName);
    estimator.reset();
    CostEstimator local = estimator;  // a local lets the compiler keep `range` in a register
    EstimatingSink sink{local, costModels.data()};
    double statistics[2] = {Family::kStartStatistic, Family::kStartStatistic};
    const MemoryWeights w = weights;
    const uint32_t widthParameter = Family::widthParameter(W);
    forEachValue<Channels, false>(count, 0, statistics,
                                  [&](uint32_t i, double& s, auto) ELQ_ALWAYS_INLINE_LAMBDA {
                                      Family::encodeValue(residues[i], s, w, widthParameter, sink);
                                  });
    costModels.release();
    estimator = local;
    return estimator.finish();
}

template <class Family, uint32_t Channels>
void FamilyResidualDecoder<Family, Channels>::setParameters(uint32_t valueCount, uint32_t residueWidth) {
    checkResidueWidth(residueWidth);
    count = valueCount;
    W = residueWidth;
    decoded = 0;
    needsStart = false;
    models.release();
}

template <class Family, uint32_t Channels>
void FamilyResidualDecoder<Family, Channels>::readParameters(RangeDecoder& decoder) {
    weights = memoryWeights(readMemoryLength(decoder));
    decoded = 0;
    needsStart = true;
}

template <class Family, uint32_t Channels>
uint32_t FamilyResidualDecoder<Family, Channels>::decodeBlock(int32_t* out, uint32_t maxCount,
                                                              RangeDecoder& decoder) {
    return decodeEach<PortableCounts>(maxCount, decoder,
                                      [out](uint32_t i, int32_t value, auto)
                                          ELQ_ALWAYS_INLINE_LAMBDA { out[i] = value; });
}

template <class Family, uint32_t Channels>
template <class V, class Use>
ELQ_ALWAYS_INLINE uint32_t FamilyResidualDecoder<Family, Channels>::decodeEach(uint32_t maxCount,
                                                                               RangeDecoder& decoder,
                                                                               Use&& use) {
    const uint32_t left = count - decoded;
    const uint32_t n = maxCount < left ? maxCount : left;
    if (n == 0) return 0;
    if (needsStart) {
        models.create(Family::modelCount(W), Family::symbolCount(W), kModelLimit, kDecoderModelsName);
        statistics[0] = Family::kStartStatistic;
        statistics[1] = Family::kStartStatistic;
        needsStart = false;
    } else if (!models.isCreated()) {
        throwError(UNKNOWN, "residual decoder used before its parameters were read");
    }
    const MemoryWeights w = weights;
    const uint32_t widthParameter = Family::widthParameter(W);
    CumulativeModel* table = models.data();
    // A local copy keeps the decoder's state in registers: it would otherwise be stored and loaded
    // again around every store of a count or a value, which might alias it.
    RangeDecoder local = decoder;
    forEachValue<Channels, false>(
        n, decoded, statistics, [&](uint32_t i, double& s, auto channel) ELQ_ALWAYS_INLINE_LAMBDA {
            use(i, unfold(Family::template decodeValue<V>(s, w, widthParameter, table, local)), channel);
        });
    decoder = local;
    decoded += n;
    if (decoded == count) models.release();
    return n;
}

}  // namespace elq
