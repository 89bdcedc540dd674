// The reference for CumulativeModel: the same counts in a complete binary tree of left partial sums,
// walked one node at a time. Entry treeSize + s is the count of symbol s (0 for the padding leaves),
// entry n < treeSize the sum of the leaves under node 2n, entry 0 unused.
#pragma once

#include <cstdint>
#include <vector>

#include "entropy/models.h"
#include "entropy/range_coder.h"

namespace elq::test {

class AdaptiveModel {
public:
    void create(uint32_t symbols, uint32_t countLimit) {
        numSymbols = symbols;
        limit = countLimit;
        treeSize = 1u << floorLog2(symbols);
        if (treeSize < symbols) treeSize <<= 1;
        freqs.assign(2 * treeSize, 0);
        for (uint32_t s = 0; s < symbols; ++s)
            freqs[treeSize + s] = 1;
        total = symbols;
        rebuild(1);
    }

    // Up to the root: a right child collects its left sibling's sum, a left child raises its parent's
    // left sum by the coming increment.
    void encodeSymbol(uint32_t sym, RangeEncoder& encoder) {
        uint32_t cum = 0;
        for (uint32_t node = treeSize + sym; node > 1; node >>= 1) {
            if (node & 1) {
                cum += freqs[node >> 1];
            } else {
                freqs[node >> 1] += 2;
            }
        }
        encoder.encodeFreq(freqs[treeSize + sym], cum, total);
        raise(treeSize + sym);
    }

    // Down from the root: right when the target lies beyond the left sum, else raise the left sum.
    uint32_t decodeSymbol(RangeDecoder& decoder) {
        const uint32_t t = decoder.decodeFreq(total);
        uint32_t node = 1, cum = 0;
        while (node < treeSize) {
            if (t >= cum + freqs[node]) {
                cum += freqs[node];
                node = 2 * node + 1;
            } else {
                freqs[node] += 2;
                node = 2 * node;
            }
        }
        decoder.update(freqs[node], cum, total);
        raise(node);
        return node - treeSize;
    }

    std::vector<uint32_t> freqs;
    uint32_t numSymbols = 0, total = 0, limit = 0, treeSize = 0;

private:
    void raise(uint32_t leaf) {
        freqs[leaf] += 2;
        total += 2;
        if (total < limit) return;
        total = 0;
        for (uint32_t s = 0; s < numSymbols; ++s) {
            uint32_t& count = freqs[treeSize + s];
            count = ((count - 1) >> 1) + 1;
            total += count;
        }
        rebuild(1);
    }
    // Returns the sum of the subtree at `node`, storing each internal node's left sum on the way.
    uint32_t rebuild(uint32_t node) {
        if (node >= treeSize) return freqs[node];
        freqs[node] = rebuild(2 * node);
        return freqs[node] + rebuild(2 * node + 1);
    }
};

}  // namespace elq::test
