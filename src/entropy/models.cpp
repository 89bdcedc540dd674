#include "entropy/models.h"

namespace elq {

void AdaptiveModel::create(uint32_t symbols, uint32_t countLimit) {
    assert(symbols >= 2);
    uint32_t size = 1u << floorLog2(symbols);
    if (size < symbols) size <<= 1;
    freqs.reset(2 * static_cast<size_t>(size), "freqs");
    numSymbols = symbols;
    limit = countLimit;
    treeSize = size;
    freqs[0] = 0;
    for (uint32_t s = symbols; s < size; ++s)
        freqs[size + s] = 0;
    reset();
}

void AdaptiveModel::reset() {
    for (uint32_t s = 0; s < numSymbols; ++s)
        freqs[treeSize + s] = 1;
    total = numSymbols;
    rebuild();
}

void AdaptiveModel::rebuild() {
    rebuildNode(1);
}

// Returns the sum of the subtree at `node` and stores each internal node's left sum on the way.
uint32_t AdaptiveModel::rebuildNode(uint32_t node) {
    if (node >= treeSize) return freqs[node];
    uint32_t left = rebuildNode(2 * node);
    freqs[node] = left;
    return left + rebuildNode(2 * node + 1);
}

void AdaptiveModel::halve() {
    uint32_t* leaves = freqs.data() + treeSize;
    uint32_t sum = 0;
    for (uint32_t s = 0; s < numSymbols; ++s) {
        leaves[s] = ((leaves[s] - 1) >> 1) + 1;
        sum += leaves[s];
    }
    total = sum;
    rebuild();
}

void CumulativeModel::create(uint32_t symbols, uint32_t countLimit) {
    assert(symbols >= 1 && countLimit <= 32768);
    groups = (symbols + 7) / 8;
    sums.reset(kLead + 8 * static_cast<size_t>(groups), "freqs", 16);
    numSymbols = symbols;
    limit = countLimit;
    for (uint32_t i = 0; i < kLead; ++i)
        sums[i] = 0;
    for (uint32_t s = 0; s < 8 * groups; ++s)
        sums[kLead + s] = static_cast<uint16_t>(s < symbols ? s + 1 : 0x8000);
    total = symbols;
}

void CumulativeModel::halve() {
    uint32_t below = 0;
    uint32_t sumSoFar = 0;
    for (uint32_t s = 0; s < numSymbols; ++s) {
        const uint32_t count = sums[kLead + s] - below;
        below = sums[kLead + s];
        sumSoFar += ((count - 1) >> 1) + 1;
        sums[kLead + s] = static_cast<uint16_t>(sumSoFar);
    }
    for (uint32_t s = numSymbols; s < 8 * groups; ++s)
        sums[kLead + s] = 0x8000;
    total = sumSoFar;
}

void CostModel::create(uint32_t symbols, uint32_t countLimit) {
    freqs.reset(symbols, "freqs");
    numSymbols = symbols;
    limit = countLimit;
    for (uint32_t s = 0; s < symbols; ++s)
        freqs[s] = 1;
    total = symbols;
}

void CostModel::halve() {
    uint32_t sum = 0;
    for (uint32_t s = 0; s < numSymbols; ++s) {
        freqs[s] = ((freqs[s] - 1) >> 1) + 1;
        sum += freqs[s];
    }
    total = sum;
}

}  // namespace elq
