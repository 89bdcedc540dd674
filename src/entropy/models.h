// Adaptive frequency counts for the residual coders: a cumulative model for real coding, a flat
// one for size estimates, and by-value arrays of either kind for context selection.
// Both kinds share one update rule: counts start at 1, a coded symbol gains 2, and when the
// total reaches the limit every count is halved, rounding up.
#pragma once

#include <cassert>
#include <cstdint>
#include <cstring>
#include <new>

#include "entropy/cost_estimator.h"
#include "entropy/range_coder.h"
#include "foundation/allocator.h"
#include "foundation/compiler.h"

namespace elq {

// The limit every model of the program is created with.
constexpr uint32_t kModelLimit = 32768;

// Index of the highest set bit; 0 for both 0 and 1.
inline uint32_t floorLog2(uint32_t x) {
    return 31u - static_cast<uint32_t>(__builtin_clz(x | 1u));
}

// Eight 16-bit lanes in one register, read and written over an array of int16_t (hence may_alias);
// a comparison gives 0 or -1 per lane.
typedef int16_t CountLanes __attribute__((vector_size(16), may_alias));

// The increments of one coding, kRaiseSteps.lane[kRaiseOrigin + lane - sym]: 2 for the lanes from
// the coded symbol's on, 0 before it.
constexpr uint32_t kRaiseOrigin = 256;
struct RaiseSteps {
    int16_t lane[2 * kRaiseOrigin];
};
inline constexpr RaiseSteps kRaiseSteps = [] {
    RaiseSteps steps{};
    for (uint32_t i = kRaiseOrigin; i < 2 * kRaiseOrigin; ++i)
        steps.lane[i] = 2;
    return steps;
}();

// The model of real coding, its counts held as running sums in 16-bit lanes: sum[s] = the counts
// of symbols 0..s. A symbol's cumulative frequency is then one load, and the decoder finds the
// symbol of a target by comparing the target with all sums at once instead of walking down a tree
// of partial sums (the tests keep such a tree as the reference it must match frequency for
// frequency). The lanes hold each sum minus 32768, so that a signed comparison, the one every
// instruction set has, orders them as unsigned values. Up to 256 symbols and a limit of at most
// 32768.
class CumulativeModel {
public:
    // Allocates the sums ("freqs") and sets every count to 1.
    void create(uint32_t numSymbols, uint32_t limit);
    void release() { sums.clear(); }
    bool isCreated() const { return sums.data() != nullptr; }
    uint32_t frequency(uint32_t sym) const { return sum(sym) - sum(sym - 1); }

    ELQ_ALWAYS_INLINE void encodeSymbol(uint32_t sym, RangeEncoder& encoder) {
        assert(sym < numSymbols);
        const uint32_t below = sum(sym - 1);
        encoder.encodeFreq(sum(sym) - below, below, total);
        raise(sym);
    }

    // The target is clamped below `total`, so the symbol found is a real one.
    ELQ_ALWAYS_INLINE uint32_t decodeSymbol(RangeDecoder& decoder) {
        const uint32_t sym = countAtMost(decoder.decodeFreq(total));
        const uint32_t below = sum(sym - 1);
        decoder.update(sum(sym) - below, below, total);
        raise(sym);
        return sym;
    }

    uint32_t numSymbols = 0;
    uint32_t total = 0;
    uint32_t limit = 0;

private:
    // sum(-1) (as unsigned, all ones) is the zero in front of the sums.
    uint32_t sum(uint32_t sym) const { return static_cast<uint16_t>(sums[kLead + sym] ^ kBias); }
    // The number of symbols whose sum is at most t: the symbol whose range holds target t. Padding
    // lanes hold 32768 or more, above every target.
    ELQ_ALWAYS_INLINE uint32_t countAtMost(uint32_t t) const {
        const CountLanes* v = lanes();
        const uint32_t n = groups;
        const CountLanes above = CountLanes{} + static_cast<int16_t>(t ^ kBias);
        CountLanes a0 = {}, a1 = {}, a2 = {};
        uint32_t k = 0;
        for (; k + 3 <= n; k += 3) {
            a0 += v[k] > above;
            a1 += v[k + 1] > above;
            a2 += v[k + 2] > above;
        }
        for (; k < n; ++k)
            a0 += v[k] > above;
        CountLanes all = a0 + (a1 + a2);
        all += __builtin_shufflevector(all, all, 4, 5, 6, 7, 0, 1, 2, 3);
        all += __builtin_shufflevector(all, all, 2, 3, 0, 1, 4, 5, 6, 7);
        all += __builtin_shufflevector(all, all, 1, 0, 2, 3, 4, 5, 6, 7);
        // all[0] is minus the number of lanes above t.
        return 8 * n + static_cast<uint32_t>(static_cast<int32_t>(all[0]));
    }
    // Adds the coded symbol's increment to the sums from `sym` on (padding lanes included, which
    // start at 32768 and so stay above every target without wrapping before the next halving).
    ELQ_ALWAYS_INLINE void raise(uint32_t sym) {
        CountLanes* v = lanes();
        const int16_t* step = kRaiseSteps.lane + kRaiseOrigin - sym;
        const uint32_t n = groups;
        for (uint32_t k = 0; k < n; ++k) {
            CountLanes increment;
            memcpy(&increment, step + 8 * k, sizeof increment);
            v[k] += increment;
        }
        total += 2;
        if (total >= limit) halve();
    }
    void halve();
    CountLanes* lanes() { return reinterpret_cast<CountLanes*>(sums.data() + kLead); }
    const CountLanes* lanes() const { return reinterpret_cast<const CountLanes*>(sums.data() + kLead); }

    static constexpr int16_t kBias = INT16_MIN;
    // The sums start at lane kLead (a whole register from the start), with the zero right before.
    static constexpr uint32_t kLead = 8;
    Buffer<int16_t> sums;
    uint32_t groups = 0;  // registers of eight sums
};

// The same counts as CumulativeModel in a flat array, for the cost estimator only.
class CostModel {
public:
    // Allocates the counts ("freqs", 4 x numSymbols bytes), each 1.
    void create(uint32_t numSymbols, uint32_t limit);
    void halve();
    void release() { freqs.clear(); }
    bool isCreated() const { return freqs.data() != nullptr; }

    ELQ_ALWAYS_INLINE void estimateSymbol(uint32_t sym, CostEstimator& estimator) {
        assert(sym < numSymbols);
        uint32_t& count = freqs[sym];
        estimator.estimateFreq(count, total);
        count += 2;
        total += 2;
        if (total >= limit) halve();
    }

    Buffer<uint32_t> freqs;
    uint32_t numSymbols = 0;
    uint32_t total = 0;
    uint32_t limit = 0;
};

// Names of the model arrays in an out-of-memory report.
constexpr const char* kEncoderModelsName = "entEncs[]";
constexpr const char* kDecoderModelsName = "entDecs[]";

// `count` models of one kind held by value, one after the other, addressed by context index.
template <class Model>
class ModelArray {
public:
    ModelArray() = default;
    ~ModelArray() { release(); }
    ModelArray(const ModelArray&) = delete;
    ModelArray& operator=(const ModelArray&) = delete;

    // Allocates the array (`variable` and count x model size in an OOM report) and creates every
    // model with (numSymbols, limit) in index order. A failure leaves the array empty.
    void create(uint32_t count, uint32_t numSymbols, uint32_t limit, const char* variable) {
        release();
        void* memory = allocateOrThrow(static_cast<size_t>(count) * sizeof(Model), variable);
        models_ = static_cast<Model*>(memory);
        for (uint32_t i = 0; i < count; ++i)
            new (&models_[i]) Model();
        count_ = count;
        try {
            for (uint32_t i = 0; i < count; ++i)
                models_[i].create(numSymbols, limit);
        } catch (...) {
            release();
            throw;
        }
    }

    // Destroys every model, then frees the array.
    void release() {
        for (uint32_t i = 0; i < count_; ++i)
            models_[i].~Model();
        ::elq::release(models_);
        models_ = nullptr;
        count_ = 0;
    }

    Model& operator[](uint32_t index) { return models_[index]; }
    Model* data() { return models_; }
    uint32_t size() const { return count_; }
    bool isCreated() const { return models_ != nullptr; }

private:
    Model* models_ = nullptr;
    uint32_t count_ = 0;
};

// One model held in place behind the interface of a ModelArray, for a coder with a single context:
// no array to allocate, so an OOM report names the model's counts.
template <class Model>
class SingleModel {
public:
    void create([[maybe_unused]] uint32_t count, uint32_t numSymbols, uint32_t limit, const char*) {
        assert(count == 1);
        model_.create(numSymbols, limit);
    }
    void release() { model_.release(); }
    Model* data() { return &model_; }
    bool isCreated() const { return model_.isCreated(); }

private:
    Model model_;
};

}  // namespace elq
