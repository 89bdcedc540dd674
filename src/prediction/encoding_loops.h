// The per-block encoders: normalizer, predictor and one residual coder over a fresh range
// encoder, making the payload of one self-contained block (the encode command frames it).
#pragma once

#include <cstdint>

#include "prediction/mono_predictor.h"

namespace elq {

// Memory lengths the optimizing loops try, about sqrt(2) apart.
constexpr uint16_t kMemoryLengths[23] = {2,   3,   4,   6,   8,   11,  16,   23,   32,   45,   64,  91,
                                         128, 181, 256, 362, 512, 724, 1024, 1448, 2048, 2896, 4096};
// Residual adaptation lengths the optimizing loops try.
constexpr uint16_t kAdaptationLengths[8] = {8, 12, 16, 24, 32, 48, 64, 128};
// The search of every file starts from this memory length.
constexpr uint32_t kInitialMemoryLength = 362;

// How a loop reports progress: it sets the per-cent range of the block that the current
// stage covers, and lets the predictor report fractions within it.
struct LoopProgress {
    void* context = nullptr;
    void (*stage)(void* context, double stageLow, double stageHigh) = nullptr;
    void (*report)(void* context, double fraction) = nullptr;

    void setStage(double low, double high) const {
        if (stage) stage(context, low, high);
    }
    void show() const {
        if (report) report(context, 0.0);
    }
    ProgressSink sink() const { return {report, context}; }
};

// The block shape shared by all four loops.
struct BlockInput {
    int32_t* samples;  // rewritten in place by the normalizer
    uint32_t count;    // values, both channels counted
    int32_t* residues;
    uint8_t* output;  // receives the range-coded payload
    uint32_t capacity;
    uint32_t sampleBits;
};

// What a loop made: the payload's bytes at the start of `output`, and the residual coder family
// it chose, which the block word records.
struct EncodedPayload {
    uint32_t length;
    uint32_t family;
};

// Where an optimizing loop takes the start of its memory-length search from and leaves its
// winner, which seeds the next block's search. Blocks coded in parallel keep their searches in
// block order through it: start() may wait for the previous block's winner (the block is
// already normalized by then), and chosen() passes this block's on as soon as the search ends,
// while the rest of the block is still to be coded.
class MemoryLengthSeed {
public:
    virtual uint32_t start() = 0;
    virtual void chosen(uint32_t winner) = 0;

protected:
    ~MemoryLengthSeed() = default;
};

// Each writes the payload of one block at the start of `output`. The optimizing loops start
// their memory-length search from `seed` and hand their winner back to it.
EncodedPayload encodeMonoBlock(const BlockInput& block, uint32_t order, uint32_t solveInterval,
                               uint32_t memoryLength, uint32_t adaptationLength, uint32_t family,
                               const LoopProgress& progress);
EncodedPayload encodeMonoBlockOptimized(const BlockInput& block, uint32_t order, uint32_t solveInterval,
                                        uint32_t opt1, uint32_t opt2, MemoryLengthSeed& seed,
                                        const LoopProgress& progress);
EncodedPayload encodeStereoBlock(const BlockInput& block, uint32_t order, uint32_t crossOrder,
                                 uint32_t solveInterval, uint32_t memoryLength, uint32_t adaptationLength,
                                 uint32_t family, const LoopProgress& progress);
EncodedPayload encodeStereoBlockOptimized(const BlockInput& block, uint32_t order, uint32_t crossOrder,
                                          uint32_t solveInterval, uint32_t opt1, uint32_t opt2,
                                          MemoryLengthSeed& seed, const LoopProgress& progress);

// What --optimize max must never do worse than, block by block: the plain loop with its fixed
// settings (when --optimize none uses it for the mode) and the optimizing loop with its divisors,
// from the same seed; and the optimizing loop with each of `otherSearches` as both divisors, from the
// same seed too (as in a file of one block, where every search starts from the same length).
constexpr uint32_t kMaxOtherSearches = 4;
struct BuiltInChoices {
    bool plain;
    uint32_t memoryLength, adaptationLength, family;
    uint32_t opt1, opt2;
    uint32_t otherSearches[kMaxOtherSearches];
    uint32_t otherSearchCount;
};

// --optimize max: the block's orders (up to the given ones), solve interval (the given one or
// longer), memory length and residual coder, chosen for the smallest block; never longer than the
// built-in choices. The seed's chain goes on with the optimizing loop's winner, so that the
// built-in search sees what it would see alone.
EncodedPayload encodeMonoBlockMax(const BlockInput& block, uint32_t order, uint32_t solveInterval,
                                  const BuiltInChoices& builtIn, MemoryLengthSeed& seed,
                                  const LoopProgress& progress);
EncodedPayload encodeStereoBlockMax(const BlockInput& block, uint32_t order, uint32_t crossOrder,
                                    uint32_t solveInterval, const BuiltInChoices& builtIn,
                                    MemoryLengthSeed& seed, const LoopProgress& progress);

// The natural logarithm and the power of two of the search, correctly rounded in all but
// vanishingly rare cases and computed from the four basic operations only, so that every
// platform and processor finds the same memory length (library versions differ in the last bit).
double naturalLog(double x);
double powerOfTwo(double v);

}  // namespace elq
