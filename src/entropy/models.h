// Adaptive frequency counts for the residual coders: a tree-structured model for real coding,
// a flat one for size estimates, and by-value arrays of either kind for context selection.
// Both kinds share one update rule: counts start at 1, a coded symbol gains 2, and when the
// total reaches the limit every count is halved, rounding up.
#pragma once

#include <cassert>
#include <cstdint>
#include <new>

#include "entropy/cost_estimator.h"
#include "entropy/range_coder.h"
#include "foundation/allocator.h"

namespace elq {

// The limit every model of the program is created with.
constexpr uint32_t kModelLimit = 32768;

// Index of the highest set bit; 0 for both 0 and 1.
inline uint32_t floorLog2(uint32_t x) {
    return 31u - static_cast<uint32_t>(__builtin_clz(x | 1u));
}

// Counts of `numSymbols` symbols (at least 2) in a complete binary tree of left partial sums:
// entry treeSize + s is the count of symbol s (0 for the padding leaves), entry n < treeSize the
// sum of the leaves under node 2n, entry 0 unused. Encoder and decoder walk the same nodes, so
// both trees stay equal.
class AdaptiveModel {
public:
    // Allocates the counts ("freqs", 8 x treeSize bytes) and resets them.
    void create(uint32_t numSymbols, uint32_t limit);
    // Every real count back to 1.
    void reset();
    // Recomputes the partial sums from the leaves.
    void rebuild();
    void halve();
    // Frees the counts; the model must be created again before use.
    void release() { freqs.clear(); }
    bool isCreated() const { return freqs.data() != nullptr; }

    void encodeSymbol(uint32_t sym, RangeEncoder& encoder) {
        assert(sym < numSymbols);
        uint32_t* f = freqs.data();
        uint32_t node = treeSize + sym;
        const uint32_t symFreq = f[node];
        uint32_t cum = 0;
        // Up to the root: a right child collects its left sibling's sum, a left child raises its
        // parent's left sum by the coming increment. Branch-free, since the path is data.
        do {
            const uint32_t parent = node >> 1;
            const uint32_t right = node & 1u;
            cum += f[parent] & (0u - right);
            f[parent] += (right ^ 1u) << 1;
            node = parent;
        } while (node > 1);
        encoder.encodeFreq(symFreq, cum, total);
        f[treeSize + sym] += 2;
        total += 2;
        if (total >= limit) halve();
    }

    // The target is clamped below `total`, so the walk always ends on a real symbol's leaf.
    uint32_t decodeSymbol(RangeDecoder& decoder) {
        const uint32_t t = decoder.decodeFreq(total);
        uint32_t* f = freqs.data();
        uint32_t node = 1;
        uint32_t cum = 0;
        // Down from the root: right when the target lies beyond the left sum, else raise the left
        // sum by the coming increment. Branch-free, since the path is data.
        do {
            const uint32_t leftSum = f[node];
            const uint32_t right = t >= cum + leftSum ? 1u : 0u;
            cum += leftSum & (0u - right);
            f[node] = leftSum + ((right ^ 1u) << 1);
            node = 2 * node + right;
        } while (node < treeSize);
        decoder.update(f[node], cum, total);
        f[node] += 2;
        total += 2;
        if (total >= limit) halve();
        return node - treeSize;
    }

    Buffer<uint32_t> freqs;
    uint32_t numSymbols = 0;
    uint32_t total = 0;
    uint32_t limit = 0;
    uint32_t treeSize = 0;

private:
    uint32_t rebuildNode(uint32_t node);
};

// The same counts as AdaptiveModel in a flat array, for the cost estimator only.
class CostModel {
public:
    // Allocates the counts ("freqs", 4 x numSymbols bytes), each 1.
    void create(uint32_t numSymbols, uint32_t limit);
    void halve();
    void release() { freqs.clear(); }
    bool isCreated() const { return freqs.data() != nullptr; }

    void estimateSymbol(uint32_t sym, CostEstimator& estimator) {
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

using AdaptiveModelArray = ModelArray<AdaptiveModel>;
using CostModelArray = ModelArray<CostModel>;

}  // namespace elq
