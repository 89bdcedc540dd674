// What the mono and stereo predictors share: the clamp and wrap of each value, the progress report,
// the order tables and their field, the decode side's parameter state, and the loops over a block,
// which run either predictor's filter with the kernel set chosen for the block.
#pragma once

#include <algorithm>
#include <cstdint>

#include "entropy/memory_length.h"
#include "entropy/range_coder.h"
#include "prediction/kernels.h"
#include "prediction/prediction_filter.h"
#include "residual/energy_coder.h"
#include "residual/golomb_coder.h"
#include "residual/residual_coder.h"

namespace elq {

// Progress callback of a predictor, called every 44100 samples (frames) with the fraction done.
struct ProgressSink {
    void (*report)(void* context, double fraction) = nullptr;
    void* context = nullptr;
};

constexpr int32_t kProgressInterval = 44100;

// Counts samples down to the next progress report.
class ProgressCountdown {
public:
    void restart() { remaining = kProgressInterval; }
    void tick(const ProgressSink& sink, uint32_t i, uint32_t count) {
        if (--remaining != 0) return;
        if (sink.report) sink.report(sink.context, static_cast<double>(i) / static_cast<double>(count));
        remaining = kProgressInterval;
    }

private:
    int32_t remaining = kProgressInterval;
};

// q <= lo gives lo, else q >= hi gives hi.
inline int32_t clampPrediction(int32_t q, int32_t lo, int32_t hi) {
    if (q <= lo) return lo;
    if (q >= hi) return hi;
    return q;
}

// The 32-bit two's-complement value v wrapped into the signed (32 - shift)-bit range.
inline int32_t wrapToWidth(uint32_t v, uint32_t shift) {
    return static_cast<int32_t>(v << shift) >> shift;
}

inline int32_t residueOf(int32_t x, int32_t q, uint32_t shift) {
    return wrapToWidth(static_cast<uint32_t>(x) - static_cast<uint32_t>(q), shift);
}
inline int32_t sampleOf(int32_t q, int32_t residue, uint32_t shift) {
    return wrapToWidth(static_cast<uint32_t>(q) + static_cast<uint32_t>(residue), shift);
}

// The clamp range of each channel's predictions and the residue wrap (32 - residueWidth) of a block.
template <uint32_t Channels>
struct BlockClamp {
    BlockClamp(const int32_t (&low)[Channels], const int32_t (&high)[Channels], uint32_t wrapShift)
        : shift(wrapShift) {
        for (uint32_t ch = 0; ch < Channels; ++ch) {
            lo[ch] = low[ch];
            hi[ch] = high[ch];
        }
    }
    BlockClamp(int32_t low, int32_t high, uint32_t wrapShift) requires(Channels == 1)
        : lo{low}, hi{high}, shift(wrapShift) {}

    int32_t lo[Channels];
    int32_t hi[Channels];
    uint32_t shift;
};
typedef BlockClamp<1> MonoClamp;
typedef BlockClamp<2> StereoClamp;

// The filter parameter fields besides the orders. The solve interval: its index in a table of
// seven in 3 bits, or the escape 7 and interval - 1 in 16 bits.
void writeSolveInterval(RangeEncoder& encoder, uint32_t solveInterval);
uint32_t readSolveInterval(RangeDecoder& decoder);
// Throws UNKNOWN unless the memory length and the solve interval (1 to 65536) are what the fields
// carry.
void checkFilterSettings(uint32_t memoryLength, uint32_t solveInterval);
// 32 - residueWidth. residueWidth must be 2..32, as the normalizer always yields it; the residual
// coders check the width a stream carries.
uint32_t shiftForWidth(uint32_t residueWidth);

// The order table: the orders of both predictors and, at the same index, the stereo cross orders.
inline constexpr uint32_t kOrderTableSize = 9;
inline constexpr uint16_t kOrders[kOrderTableSize] = {12, 24, 36, 48, 64, 96, 128, 192, 256};
inline constexpr uint16_t kCrossOrders[kOrderTableSize] = {4, 8, 12, 16, 20, 32, 40, 64, 80};

// Total order and cross order of a predictor; crossOrder is 0 for mono.
struct PredictorOrders {
    uint32_t order;
    uint32_t crossOrder;
};

// Whether the filters run these orders: an order that is a multiple of 4 from 4 to 128 and, for
// stereo, a cross order that is a multiple of 4 from 4 to the own order (order - crossOrder).
bool runnableOrders(PredictorOrders orders, bool stereo);
// The order field: the table index of the order (stereo: of the order pair) in 5 bits, or the
// escape 31, then order - 1 in a byte and, for stereo, the cross order in a byte.
void writeOrders(RangeEncoder& encoder, PredictorOrders orders, bool stereo);
// Throws UNKNOWN for an index without a table entry or orders the filters cannot run.
PredictorOrders readOrders(RangeDecoder& decoder, bool stereo);

// The decode side's parameter state: readParameters sets parametersRead; the next reconstruction
// starts the filter, then calls beginReconstruction, which restarts the progress count; later calls
// carry on with the same filter.
class PredictorDecoderState {
protected:
    // Throws UNKNOWN unless parameters were read for this block.
    void beginReconstruction();

    bool parametersRead = false;
    ProgressCountdown countdown;

private:
    bool started = false;
};

namespace block_loop {

// The filter step of channel `ch`: the mono filter has one channel and no channel argument.
template <class V, uint32_t Channels, class Filter>
ELQ_ALWAYS_INLINE int32_t predictChannel(const Filter& filter, uint32_t ch) {
    if constexpr (Channels == 1) return filter.template predictWith<V>();
    if constexpr (Channels == 2) return filter.template predictWith<V>(ch);
}
template <class V, bool Prepared, uint32_t Channels, class Filter>
ELQ_ALWAYS_INLINE void updateChannel(Filter& filter, uint32_t ch, int32_t x) {
    if constexpr (Channels == 1) filter.template updateWith<V, Prepared>(x);
    if constexpr (Channels == 2) filter.template updateWith<V, Prepared>(ch, x);
}

// The loops for lane type V. Pointers and counts come by value, and so do the decoder's clamp,
// sink and countdown: values in registers need no reload after each store of a value that might
// alias them. (The encoder's loop measured faster with its clamp by reference.)
template <class V, uint32_t Channels, class Filter>
ELQ_ALWAYS_INLINE void predictLoop(Filter& filter, const BlockClamp<Channels>& clamp,
                                   const ProgressSink& progress, const int32_t* samples, uint32_t count,
                                   int32_t* residues) {
    ProgressCountdown countdown;
    uint32_t prepared = 0;
    for (uint32_t start = 0; start < count;) {
        if (prepared == start) {
            const uint32_t frames = std::min((count - start) / Channels, SampleHistory::kSpan);
            filter.prepare(samples + start, frames);
            prepared = start + Channels * frames;
        }
        const uint32_t frames = std::min((prepared - start) / Channels, filter.framesUntilSolve());
        filter.template predictAhead<V>(frames, residues + start);
        const uint32_t end = start + Channels * frames;
        for (uint32_t i = start; i < end; i += Channels) {
            countdown.tick(progress, i, count);
            for (uint32_t ch = 0; ch < Channels; ++ch) {
                const int32_t x = samples[i + ch];
                const int32_t q = clampPrediction(residues[i + ch], clamp.lo[ch], clamp.hi[ch]);
                residues[i + ch] = residueOf(x, q, clamp.shift);
                updateChannel<V, true, Channels>(filter, ch, x);
            }
        }
        start = end;
    }
}

template <class V, uint32_t Channels, class Filter>
ELQ_ALWAYS_INLINE ProgressCountdown reconstructLoop(Filter& filter, const BlockClamp<Channels> clamp,
                                                    const ProgressSink progress, ProgressCountdown countdown,
                                                    const int32_t* residues, uint32_t count,
                                                    int32_t* samples) {
    for (uint32_t i = 0; i < count; i += Channels) {
        countdown.tick(progress, i, count);
        for (uint32_t ch = 0; ch < Channels; ++ch) {
            const int32_t q =
                clampPrediction(predictChannel<V, Channels>(filter, ch), clamp.lo[ch], clamp.hi[ch]);
            const int32_t x = sampleOf(q, residues[i + ch], clamp.shift);
            samples[i + ch] = x;
            updateChannel<V, false, Channels>(filter, ch, x);
        }
    }
    return countdown;
}

// The decoder's loop fed by the residual decoder: each value's residue is decoded and its sample
// reconstructed in one step. The two chains of dependent steps, the range decoder's and the
// filter's, are independent of each other, so the processor overlaps them.
template <class V, uint32_t Channels, class Filter, class Residual>
ELQ_ALWAYS_INLINE uint32_t decodeLoop(Filter& filter, const BlockClamp<Channels> clamp,
                                      const ProgressSink progress, ProgressCountdown& countdown,
                                      Residual& residual, RangeDecoder& decoder, uint32_t count,
                                      int32_t* samples) {
    ProgressCountdown ticks = countdown;
    const uint32_t n = residual.template decodeEach<V>(
        count, decoder, [&](uint32_t i, int32_t residue, auto channel) ELQ_ALWAYS_INLINE_LAMBDA {
            if (channel == 0) ticks.tick(progress, i, count);
            const int32_t q = clampPrediction(predictChannel<V, Channels>(filter, channel), clamp.lo[channel],
                                              clamp.hi[channel]);
            const int32_t x = sampleOf(q, residue, clamp.shift);
            samples[i] = x;
            updateChannel<V, false, Channels>(filter, channel, x);
        });
    countdown = ticks;
    return n;
}

}  // namespace block_loop

// The encoder's pass over a block of `Channels` interleaved channels (count values) with a freshly
// initialised filter (PredictionFilter for one channel, StereoFilter for two): each residue is the
// value minus its clamped prediction, wrapped. The samples go into the history ahead in chunks cut
// at every solve: the predictions of a stretch first (kept in the residue array), then the updates.
// The residues must not overlap the samples.
template <uint32_t Channels, class Filter>
void predictFrames(Filter& filter, const BlockClamp<Channels>& clamp, const ProgressSink& progress,
                   const int32_t* samples, uint32_t count, int32_t* residues) {
    runWithKernels(activeKernelSet(), [&]<class V>() ELQ_ALWAYS_INLINE_LAMBDA {
        block_loop::predictLoop<V, Channels>(filter, clamp, progress, samples, count, residues);
    });
}

// The decoder's pass: each value is its clamped prediction plus the residue, wrapped, and goes into
// the filter before the next prediction. residues may equal samples (in place).
template <uint32_t Channels, class Filter>
void reconstructFrames(Filter& filter, const BlockClamp<Channels>& clamp, const ProgressSink& progress,
                       ProgressCountdown& countdown, const int32_t* residues, uint32_t count,
                       int32_t* samples) {
    countdown = runWithKernels(activeKernelSet(), [&]<class V>() ELQ_ALWAYS_INLINE_LAMBDA {
        return block_loop::reconstructLoop<V, Channels>(filter, clamp, progress, countdown, residues, count,
                                                        samples);
    });
}

// The decoder's pass straight from the residual decoder (min(maxCount, values left) values, as
// ResidualDecoder::decodeBlock): each residue goes into its sample as soon as it is decoded. A coder
// of another kind than the two families takes the two passes of decodeBlock and reconstructFrames.
template <uint32_t Channels, class Filter>
uint32_t decodeFrames(Filter& filter, const BlockClamp<Channels>& clamp, const ProgressSink& progress,
                      ProgressCountdown& countdown, ResidualDecoder& residual, RangeDecoder& decoder,
                      uint32_t maxCount, int32_t* samples) {
    auto run = [&](auto& family) {
        return runWithKernels(activeKernelSet(), [&]<class V>() ELQ_ALWAYS_INLINE_LAMBDA {
            return block_loop::decodeLoop<V, Channels>(filter, clamp, progress, countdown, family, decoder,
                                                       maxCount, samples);
        });
    };
    if (auto* energy = dynamic_cast<FamilyResidualDecoder<EnergyFamily, Channels>*>(&residual))
        return run(*energy);
    if (auto* golomb = dynamic_cast<FamilyResidualDecoder<GolombFamily, Channels>*>(&residual))
        return run(*golomb);
    const uint32_t n = residual.decodeBlock(samples, maxCount, decoder);
    reconstructFrames(filter, clamp, progress, countdown, samples, n, samples);
    return n;
}

}  // namespace elq
