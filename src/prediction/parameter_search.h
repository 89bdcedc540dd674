// The search of --optimize max: the predictor setting of a block (orders, solve interval, memory
// length) that makes the block's residues cheapest, judged on the whole block. The block's encoder
// supplies the scores; this unit only decides which settings to try.
#pragma once

#include <cstdint>

namespace elq {

// One setting of a block's predictor.
struct PredictorChoice {
    uint32_t order;       // total order (stereo: own order + cross order)
    uint32_t crossOrder;  // 0 for mono
    uint32_t solveInterval;
    uint32_t memoryLength;

    bool operator==(const PredictorChoice&) const = default;
};

// What a block may use: orders up to those of the mode, solve intervals from the speedup's to 65536,
// memory lengths from 2 to 65537. Stereo orders are multiples of 4 with 4 <= cross <= own order;
// mono orders multiples of 4 from 4.
struct ChoiceLimits {
    uint32_t order;
    uint32_t crossOrder;  // unused for mono
    uint32_t solveInterval;
    bool stereo;
};

bool withinLimits(const PredictorChoice& choice, const ChoiceLimits& limits);

// The cost of a setting over the whole block (an estimate of its coded bytes), computed by the
// block's encoder. The search asks for each setting at most once.
class ChoiceScorer {
public:
    virtual uint32_t score(const PredictorChoice& choice) = 0;

protected:
    ~ChoiceScorer() = default;
};

// A setting with its score.
struct ScoredChoice {
    PredictorChoice choice;
    uint32_t score;
};

// Starting from the best of `starts` (scored already, all within the limits): every pair of the mode
// ladder at or below the limits (the memory length scaled with the square root of the order), the
// memory length by octaves, then rounds of half octaves, own order steps of 8 and 4, cross order steps
// of 4 and quarter octaves while any helps, and last the vertex of a parabola through the best memory
// length and its neighbours. Stops trying new settings once their work reaches `budget` times that of a
// try at the mode's orders. The solve interval stays the start's: a longer one made every block
// measured larger. Returns the best setting scored, never one worse than a start.
PredictorChoice searchPredictorChoice(ChoiceScorer& scorer, const ChoiceLimits& limits,
                                      const ScoredChoice* starts, uint32_t startCount, double budget);

// The last touch, once the block's residual coder is chosen and scores use it: the memory length of
// `start` in steps of an eighth of an octave, within `budget` as above.
PredictorChoice refineMemoryLength(ChoiceScorer& scorer, const ChoiceLimits& limits,
                                   const ScoredChoice& start, double budget);

}  // namespace elq
