// Adaptive frequency counts for the residual coders: a cumulative model for real coding, a flat
// one for size estimates, and by-value arrays of either kind for context selection.
// Both kinds share one update rule: counts start at 1, a coded symbol gains 2, and when the
// total reaches the limit every count is halved, rounding up.
#pragma once

#include <cassert>
#include <cstdint>
#include <cstring>
#include <new>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

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

// 16-bit lanes filling `Bytes` bytes, read and written over arrays of int16_t (hence may_alias); a
// comparison gives 0 or -1 per lane.
template <uint32_t Bytes>
struct CountVector {
    typedef int16_t type __attribute__((vector_size(Bytes), may_alias));
};
// The count lanes as wide as a lane type V of the kernel sets (sixteen bytes for the portable set,
// thirty-two with AVX2), so that a loop compiled for a set runs the models at its width.
template <class V>
using CountLanes = typename CountVector<sizeof(V)>::type;
typedef CountVector<16>::type PortableCounts;

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
// 32768. The coding steps take the lane width as the type V (CountLanes), the portable one by
// default; all widths give the same symbols and counts.
class CumulativeModel {
public:
    // Allocates the sums ("freqs") and sets every count to 1.
    void create(uint32_t numSymbols, uint32_t limit);
    void release() { sums.clear(); }
    bool isCreated() const { return sums.data() != nullptr; }
    uint32_t frequency(uint32_t sym) const { return sum(sym) - sum(sym - 1); }

    template <class V = PortableCounts>
    ELQ_ALWAYS_INLINE void encodeSymbol(uint32_t sym, RangeEncoder& encoder) {
        assert(sym < numSymbols);
        const uint32_t below = sum(sym - 1);
        encoder.encodeFreq(sum(sym) - below, below, total);
        raise<V>(sym);
    }

    // The target is clamped below `total`, so the symbol found is a real one.
    template <class V = PortableCounts>
    ELQ_ALWAYS_INLINE uint32_t decodeSymbol(RangeDecoder& decoder) {
        const uint32_t sym = countAtMost<V>(decoder.decodeFreq(total, reciprocal));
        const uint32_t below = sum(sym - 1);
        decoder.update(sum(sym) - below, below, total);
        raise<V>(sym);
        return sym;
    }

    uint32_t numSymbols = 0;
    uint32_t total = 0;
    uint32_t limit = 0;

private:
    // sum(-1) (as unsigned, all ones) is the zero in front of the sums.
    uint32_t sum(uint32_t sym) const { return static_cast<uint16_t>(sums[kLead + sym] ^ kBias); }
    // The number of symbols whose sum is at most t, that is below t + 1: the symbol whose range holds
    // target t (t < total <= 32767). Padding lanes hold 32768 or more, above every target.
    template <class V>
    ELQ_ALWAYS_INLINE uint32_t countAtMost(uint32_t t) const {
        typedef CountLanes<V> C;
        constexpr uint32_t kPerBlock = kBlock * sizeof(int16_t) / sizeof(C);
        const C bound = C{} + static_cast<int16_t>((t + 1) ^ 0x8000u);
#if defined(__SSE2__)
        if constexpr (sizeof(C) == 32) {
            // A shorter chain for the wide set (where popcount is an instruction): the comparisons
            // of a block packed into the 64 bits of a mask and counted, instead of added up lane by
            // lane and reduced across the register.
            const PortableCounts narrow = __builtin_shufflevector(bound, bound, 0, 1, 2, 3, 4, 5, 6, 7);
            const PortableCounts* p = reinterpret_cast<const PortableCounts*>(sums.data() + kLead);
            uint32_t count = 0;
            for (uint32_t b = 0; b < blocks; ++b, p += kBlock / 8) {
                uint64_t mask = 0;
#pragma GCC unroll 4
                for (uint32_t q = 0; q < kBlock / 16; ++q) {
                    const __m128i packed = _mm_packs_epi16(reinterpret_cast<__m128i>(narrow > p[2 * q]),
                                                           reinterpret_cast<__m128i>(narrow > p[2 * q + 1]));
                    mask |= static_cast<uint64_t>(static_cast<uint32_t>(_mm_movemask_epi8(packed)))
                            << (16 * q);
                }
                count += static_cast<uint32_t>(__builtin_popcountll(mask));
            }
            return count;
        }
#endif
        C below[2] = {};
        const C* v = reinterpret_cast<const C*>(sums.data() + kLead);
        const C* const end = v + blocks * kPerBlock;
        for (; v != end; v += kPerBlock) {
#pragma GCC unroll 8
            for (uint32_t u = 0; u < kPerBlock; ++u)
                below[u & 1] += bound > v[u];
        }
        const C all = below[0] + below[1];
        PortableCounts half;
        if constexpr (sizeof(C) == 32) {
            half = __builtin_shufflevector(all, all, 0, 1, 2, 3, 4, 5, 6, 7) +
                   __builtin_shufflevector(all, all, 8, 9, 10, 11, 12, 13, 14, 15);
        } else {
            half = all;
        }
        half += __builtin_shufflevector(half, half, 4, 5, 6, 7, 0, 1, 2, 3);
        half += __builtin_shufflevector(half, half, 2, 3, 0, 1, 4, 5, 6, 7);
        half += __builtin_shufflevector(half, half, 1, 0, 2, 3, 4, 5, 6, 7);
        // half[0] is minus the count.
        return static_cast<uint32_t>(-static_cast<int32_t>(half[0]));
    }
    // Adds the coded symbol's increment to the sums from `sym` on (padding lanes included, which
    // start at 32768 and so stay above every target without wrapping before the next halving).
    template <class V>
    ELQ_ALWAYS_INLINE void raise(uint32_t sym) {
        typedef CountLanes<V> C;
        constexpr uint32_t kPerBlock = kBlock * sizeof(int16_t) / sizeof(C);
        const int16_t* step = kRaiseSteps.lane + kRaiseOrigin - sym;
        C* v = reinterpret_cast<C*>(sums.data() + kLead);
        C* const end = v + blocks * kPerBlock;
        for (; v != end; v += kPerBlock, step += kBlock) {
#pragma GCC unroll 8
            for (uint32_t u = 0; u < kPerBlock; ++u) {
                C increment;
                memcpy(&increment, step + u * (sizeof(C) / sizeof(int16_t)), sizeof increment);
                v[u] += increment;
            }
        }
        total += 2;
        if (total >= limit) halve();
        reciprocal = rangeReciprocal(total);
    }
    void halve();

    static constexpr int16_t kBias = INT16_MIN;
    // Sums are held in blocks of kBlock lanes, four registers of the widest count vector: the loops
    // over them run without a test after each register.
    static constexpr uint32_t kBlock = 64;
    // The sums start at lane kLead (a register of the widest vector from the start), with the zero
    // right before.
    static constexpr uint32_t kLead = 16;
    Buffer<int16_t> sums;
    uint32_t blocks = 0;      // blocks of kBlock sums
    uint64_t reciprocal = 0;  // rangeReciprocal(total), for the decoder
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
