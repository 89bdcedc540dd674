#include "entropy/models.h"

namespace elq {

void CumulativeModel::create(uint32_t symbols, uint32_t countLimit) {
    assert(symbols >= 1 && symbols <= kRaiseOrigin && countLimit <= 32768);
    blocks = (symbols + kBlock - 1) / kBlock;
    sums.reset(kLead + kBlock * static_cast<size_t>(blocks), "freqs", 32);
    numSymbols = symbols;
    limit = countLimit;
    for (uint32_t i = 0; i < kLead; ++i)
        sums[i] = kBias;
    for (uint32_t s = 0; s < kBlock * blocks; ++s)
        sums[kLead + s] = static_cast<int16_t>((s < symbols ? s + 1 : 0x8000) ^ 0x8000);
    total = symbols;
    reciprocal = rangeReciprocal(total);
}

void CumulativeModel::halve() {
    uint32_t below = 0;
    uint32_t sumSoFar = 0;
    for (uint32_t s = 0; s < numSymbols; ++s) {
        const uint32_t count = sum(s) - below;
        below = sum(s);
        sumSoFar += ((count - 1) >> 1) + 1;
        sums[kLead + s] = static_cast<int16_t>(sumSoFar ^ 0x8000);
    }
    for (uint32_t s = numSymbols; s < kBlock * blocks; ++s)
        sums[kLead + s] = 0;
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
