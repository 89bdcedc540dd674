#include "prediction/parameter_search.h"

#include <cmath>
#include <vector>

#include "entropy/memory_length.h"
#include "prediction/encoding_loops.h"

namespace elq {

namespace {

constexpr uint32_t kMaxOrder = 128;
constexpr uint32_t kMaxSolveInterval = 65536;

// The mode table's order pairs: the coarse steps of the order search. Mono uses the first column.
constexpr uint32_t kLadder[][2] = {{12, 4}, {24, 8}, {36, 12}, {48, 16}, {64, 20}, {96, 32}, {128, 40}};

// Relative work of a try: the per-sample filter work, the solves (a decomposition of order^3 / 6 every
// solve interval, for each channel) and the residue estimate. Only compared with itself.
double workOf(const PredictorChoice& c) {
    const double p = c.order;
    return p + p * p * p / (44.0 * c.solveInterval) + 7.0;
}

class Search {
public:
    Search(ChoiceScorer& scorer, const ChoiceLimits& limits, double budget) : scorer(scorer), limits(limits) {
        const PredictorChoice mode{limits.order, limits.stereo ? limits.crossOrder : 0, limits.solveInterval,
                                   256};
        allowance = budget * workOf(mode);
    }

    void start(const ScoredChoice& c) {
        uint32_t known;
        if (!lookup(c.choice, known)) tried.push_back(c);
        if (!haveBest || c.score < bestScore) {
            best = c.choice;
            bestScore = c.score;
            haveBest = true;
        }
    }

    // True when `c` is allowed, affordable and better than the best so far, which it then becomes.
    bool improves(const PredictorChoice& c) {
        if (!withinLimits(c, limits) || c == best) return false;
        uint32_t s;
        if (!lookup(c, s)) {
            if (spent >= allowance) return false;
            spent += workOf(c);
            s = scoreOf(c);
        }
        if (s >= bestScore) return false;
        best = c;
        bestScore = s;
        return true;
    }

    // Moves along one coordinate while it pays: `step(c, direction)` gives the neighbour of c. The
    // second direction is tried only when the first did not help at once.
    template <class Step>
    bool line(Step step) {
        bool moved = false;
        for (int direction : {1, -1}) {
            while (improves(step(best, direction)))
                moved = true;
            if (moved) break;
        }
        return moved;
    }

    // The vertex of the parabola through the best memory length and its nearest tried neighbours on
    // either side (same orders and interval), in the logarithm of the length, when it lies between.
    void tryVertex() {
        bool haveLower = false, haveUpper = false;
        ScoredChoice lower{}, upper{};
        for (const ScoredChoice& t : tried) {
            const PredictorChoice& c = t.choice;
            if (c.order != best.order || c.crossOrder != best.crossOrder ||
                c.solveInterval != best.solveInterval)
                continue;
            if (c.memoryLength < best.memoryLength &&
                (!haveLower || c.memoryLength > lower.choice.memoryLength)) {
                lower = t;
                haveLower = true;
            }
            if (c.memoryLength > best.memoryLength &&
                (!haveUpper || c.memoryLength < upper.choice.memoryLength)) {
                upper = t;
                haveUpper = true;
            }
        }
        if (!haveLower || !haveUpper) return;
        const double x0 = naturalLog(lower.choice.memoryLength), x1 = naturalLog(best.memoryLength),
                     x2 = naturalLog(upper.choice.memoryLength);
        const double slope0 = (static_cast<double>(bestScore) - lower.score) / (x1 - x0);
        const double slope1 = (static_cast<double>(upper.score) - bestScore) / (x2 - x1);
        const double curvature = (slope1 - slope0) / (x2 - x0);
        if (!(curvature > 0)) return;
        const double vertex = (x0 + x1) / 2 - slope0 / (2 * curvature);
        const double length = std::floor(powerOfTwo(vertex * 1.4426950408889634) + 0.5);
        if (length <= lower.choice.memoryLength || length >= upper.choice.memoryLength) return;
        PredictorChoice c = best;
        c.memoryLength = static_cast<uint32_t>(length);
        improves(c);
    }

    PredictorChoice best{};
    uint32_t bestScore = 0;

private:
    bool lookup(const PredictorChoice& c, uint32_t& s) const {
        for (const auto& t : tried) {
            if (t.choice == c) {
                s = t.score;
                return true;
            }
        }
        return false;
    }
    uint32_t scoreOf(const PredictorChoice& c) {
        const uint32_t s = scorer.score(c);
        tried.push_back({c, s});
        return s;
    }

    ChoiceScorer& scorer;
    const ChoiceLimits limits;
    std::vector<ScoredChoice> tried;
    double allowance = 0, spent = 0;
    bool haveBest = false;
};

// The memory length `steps` eighths of an octave away, rounded; at least one away and within 2..65537.
uint32_t scaledLength(uint32_t length, int steps) {
    static const double kFactors[] = {1.0,
                                      1.0905077326652577,
                                      1.189207115002721,
                                      1.2968395546510096,
                                      1.4142135623730951,
                                      1.5422108254079407,
                                      1.6817928305074290,
                                      1.8340080864093424,
                                      2.0};
    const double f = kFactors[steps < 0 ? -steps : steps];
    double scaled = steps > 0 ? length * f : length / f;
    uint32_t n = static_cast<uint32_t>(std::floor(scaled + 0.5));
    if (steps > 0 && n <= length) n = length + 1;
    if (steps < 0 && n >= length) n = length - 1;
    if (n < kMinMemoryLength) n = kMinMemoryLength;
    if (n > kMaxMemoryLength) n = kMaxMemoryLength;
    return n;
}

// The ladder pair next to c's total order in `direction` (mono: the first column). The memory length
// goes with the square root of the order, as the best lengths of a block roughly do.
PredictorChoice ladderStep(PredictorChoice c, int direction, bool stereo) {
    constexpr int count = static_cast<int>(sizeof kLadder / sizeof kLadder[0]);
    int next = -1;
    for (int i = 0; i < count && next < 0; ++i) {
        const int j = direction > 0 ? i : count - 1 - i;
        if (direction > 0 ? kLadder[j][0] > c.order : kLadder[j][0] < c.order) next = j;
    }
    if (next < 0) {
        c.order = 0;  // beyond every limit
        return c;
    }
    const double scaled =
        std::floor(c.memoryLength * std::sqrt(static_cast<double>(kLadder[next][0]) / c.order) + 0.5);
    c.memoryLength = scaled < kMinMemoryLength   ? kMinMemoryLength
                     : scaled > kMaxMemoryLength ? kMaxMemoryLength
                                                 : static_cast<uint32_t>(scaled);
    c.order = kLadder[next][0];
    c.crossOrder = stereo ? kLadder[next][1] : 0;
    return c;
}

}  // namespace

bool withinLimits(const PredictorChoice& c, const ChoiceLimits& limits) {
    if (c.order < 4 || c.order % 4 != 0 || c.order > limits.order || c.order > kMaxOrder) return false;
    if (c.solveInterval < limits.solveInterval || c.solveInterval > kMaxSolveInterval) return false;
    if (c.memoryLength < kMinMemoryLength || c.memoryLength > kMaxMemoryLength) return false;
    if (!limits.stereo) return c.crossOrder == 0;
    return c.crossOrder >= 4 && c.crossOrder % 4 == 0 && c.crossOrder <= limits.crossOrder &&
           2 * c.crossOrder <= c.order;
}

PredictorChoice searchPredictorChoice(ChoiceScorer& scorer, const ChoiceLimits& limits,
                                      const ScoredChoice* starts, uint32_t startCount, double budget) {
    Search search(scorer, limits, budget);
    for (uint32_t i = 0; i < startCount; ++i)
        search.start(starts[i]);
    const bool stereo = limits.stereo;
    auto ladder = [stereo](PredictorChoice c, int d) { return ladderStep(c, d, stereo); };
    auto memory = [](int steps) {
        return [steps](PredictorChoice c, int d) {
            c.memoryLength = scaledLength(c.memoryLength, d * steps);
            return c;
        };
    };
    auto own = [](uint32_t step) {
        return [step](PredictorChoice c, int d) {
            c.order = d > 0 ? c.order + step : c.order - step;
            return c;
        };
    };
    auto cross = [](PredictorChoice c, int d) {
        // The own order stays: the total moves with the cross order.
        c.order = d > 0 ? c.order + 4 : c.order - 4;
        c.crossOrder = d > 0 ? c.crossOrder + 4 : c.crossOrder - 4;
        return c;
    };
    // Every ladder pair first, each with the memory length scaled from the best start: a block's
    // best orders are often far from the mode's, and the lower pairs cost little to try.
    const PredictorChoice from = search.best;
    for (int direction : {-1, 1}) {
        for (PredictorChoice c = ladder(from, direction); c.order >= 4 && c.order <= limits.order;
             c = ladder(c, direction))
            search.improves(c);
    }
    search.line(memory(8));
    for (int round = 0; round < 3; ++round) {
        bool moved = search.line(memory(4));
        moved |= search.line(own(8));
        moved |= search.line(own(4));
        if (stereo) moved |= search.line(cross);
        moved |= search.line(memory(2));
        if (!moved) break;
    }
    search.tryVertex();
    return search.best;
}

PredictorChoice refineMemoryLength(ChoiceScorer& scorer, const ChoiceLimits& limits,
                                   const ScoredChoice& start, double budget) {
    Search search(scorer, limits, budget);
    search.start(start);
    search.line([](PredictorChoice c, int d) {
        c.memoryLength = scaledLength(c.memoryLength, d);
        return c;
    });
    search.tryVertex();
    return search.best;
}

}  // namespace elq
