#include "prediction/encoding_loops.h"

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <utility>

#include "entropy/memory_length.h"
#include "entropy/range_coder.h"
#include "foundation/allocator.h"
#include "prediction/parameter_search.h"
#include "prediction/sample_normalizer.h"
#include "prediction/stereo_predictor.h"
#include "residual/residual_coder.h"

namespace elq {

namespace {

constexpr uint32_t kMemoryLengthCount = 23;
constexpr uint32_t kTrialAdaptationLength = 12;
constexpr uint32_t kMinimumSegment = 4000;

// The mono and stereo objects behind one shape, so that both loops share one body.
struct MonoKit {
    static constexpr bool stereo = false;
    static constexpr const char* predictorName = "ipmop";
    using Predictor = MonoPredictorEncoder;

    SampleNormalizerEncoder normalizer;
    int32_t lo = 0, hi = 0;
    uint32_t width = 0;
    uint32_t order, solveInterval;

    MonoKit(uint32_t order, uint32_t, uint32_t solveInterval) : order(order), solveInterval(solveInterval) {}

    PredictorChoice mode(uint32_t memoryLength) const { return {order, 0, solveInterval, memoryLength}; }

    void normalize(const BlockInput& block) {
        normalizer.setSampleBits(block.sampleBits);
        normalizer.analyze(block.samples, block.count);
        normalizer.query(lo, hi, width);
    }
    void configure(Predictor& predictor, const PredictorChoice& c, ProgressSink progress) const {
        predictor.setParameters(c.memoryLength, c.order, c.solveInterval, lo, hi, width, progress);
    }
};

struct StereoKit {
    static constexpr bool stereo = true;
    static constexpr const char* predictorName = "ipsop";
    using Predictor = StereoPredictorEncoder;

    StereoSampleNormalizerEncoder normalizer;
    int32_t loLeft = 0, hiLeft = 0, loRight = 0, hiRight = 0;
    uint32_t width = 0;
    uint32_t order, crossOrder, solveInterval;

    StereoKit(uint32_t order, uint32_t crossOrder, uint32_t solveInterval)
        : order(order), crossOrder(crossOrder), solveInterval(solveInterval) {}

    PredictorChoice mode(uint32_t memoryLength) const {
        return {order, crossOrder, solveInterval, memoryLength};
    }

    void normalize(const BlockInput& block) {
        normalizer.setSampleBits(block.sampleBits);
        normalizer.analyze(block.samples, block.count);
        normalizer.query(loLeft, hiLeft, loRight, hiRight, width);
    }
    void configure(Predictor& predictor, const PredictorChoice& c, ProgressSink progress) const {
        predictor.setParameters(c.memoryLength, c.order, c.crossOrder, c.solveInterval, loLeft, hiLeft,
                                loRight, hiRight, width, progress);
    }
};

// The payload of a block at the start of `output`: the normalizer's parameters, the configured
// predictor's, the residual coder's and the residues. Returns its bytes.
template <class Kit>
uint32_t writePayload(Kit& kit, const BlockInput& block, typename Kit::Predictor& predictor,
                      ResidualEncoder& residual, const int32_t* residues) {
    RangeEncoder encoder;
    encoder.start(block.output, block.capacity, kBlockFirstByte);
    kit.normalizer.writeParameters(encoder);
    predictor.writeParameters(encoder);
    residual.writeParameters(encoder);
    residual.encodeBlock(residues, block.count, encoder);
    encoder.finish();
    return encoder.dataCount;
}

template <class Kit>
EncodedPayload encodePlain(Kit& kit, const BlockInput& block, uint32_t memoryLength,
                           uint32_t adaptationLength, uint32_t family, const LoopProgress& progress) {
    kit.normalize(block);
    Owned<ResidualEncoder> residual = createResidualEncoder(family, Kit::stereo);
    Owned<typename Kit::Predictor> predictor = makeOwned<typename Kit::Predictor>(Kit::predictorName);
    progress.setStage(0, 99);
    kit.configure(*predictor, kit.mode(memoryLength), progress.sink());
    predictor->predictBlock(block.samples, block.count, block.residues);
    progress.setStage(99, 99);
    progress.show();
    residual->setParameters(adaptationLength, kit.width);
    const uint32_t length = writePayload(kit, block, *predictor, *residual, block.residues);
    progress.setStage(100, 100);
    progress.show();
    return {length, family};
}

// A segment of `count / divisor` values, whole frames, in the middle of the block; short
// blocks are tried whole.
struct Segment {
    uint32_t start;
    uint32_t length;
};

Segment middleSegment(uint32_t count, uint32_t divisor) {
    uint32_t length = (count / divisor) & ~1u;
    if (length < kMinimumSegment) length = count;
    return {((count - length) / 2) & ~1u, length};
}

// Double-double arithmetic from the four basic operations alone (no fused multiply-add),
// carrying about 106 bits: enough to round the logarithms and powers of the search correctly.
struct DoubleDouble {
    double hi, lo;
};

DoubleDouble twoSum(double a, double b) {
    double s = a + b, bb = s - a;
    return {s, (a - (s - bb)) + (b - bb)};
}

DoubleDouble quickTwoSum(double a, double b) {
    double s = a + b;
    return {s, b - (s - a)};
}

DoubleDouble twoProduct(double a, double b) {
    auto split = [](double v, double& hi, double& lo) {
        double c = 134217729.0 * v;  // 2^27 + 1
        hi = c - (c - v);
        lo = v - hi;
    };
    double p = a * b, ah, al, bh, bl;
    split(a, ah, al);
    split(b, bh, bl);
    return {p, ((ah * bh - p) + ah * bl + al * bh) + al * bl};
}

DoubleDouble operator+(DoubleDouble a, DoubleDouble b) {
    DoubleDouble s = twoSum(a.hi, b.hi), t = twoSum(a.lo, b.lo);
    s = quickTwoSum(s.hi, s.lo + t.hi);
    return quickTwoSum(s.hi, s.lo + t.lo);
}

DoubleDouble operator*(DoubleDouble a, DoubleDouble b) {
    DoubleDouble p = twoProduct(a.hi, b.hi);
    return quickTwoSum(p.hi, p.lo + (a.hi * b.lo + a.lo * b.hi));
}

DoubleDouble operator/(DoubleDouble a, DoubleDouble b) {
    double q1 = a.hi / b.hi;
    DoubleDouble r = a + b * DoubleDouble{-q1, 0};
    double q2 = r.hi / b.hi;
    r = r + b * DoubleDouble{-q2, 0};
    return quickTwoSum(q1, q2) + DoubleDouble{r.hi / b.hi, 0};
}

const DoubleDouble kLn2 = {0.6931471805599453, 2.3190468138462996e-17};

double log2Of(double v) {
    return naturalLog(v) * 1.4426950408889634;
}

// What a fit of three tried memory lengths says: the optimum lies between them (found), or the
// search moves on to the left or right, or it stops.
enum Verdict { FOUND, LEFT, RIGHT, STOP };

// The parabola fit over the three consecutive table indices first..first+2 with their costs;
// gives the verdict and, when found, the estimated optimum.
Verdict fitTriple(uint32_t first, const uint32_t costs[3], double& bestLength, double& bestCost) {
    bestLength = 0;
    bestCost = 0;
    const double x0 = log2Of(kMemoryLengths[first]), x1 = log2Of(kMemoryLengths[first + 1]),
                 x2 = log2Of(kMemoryLengths[first + 2]);
    const double y0 = log2Of(costs[0]), y1 = log2Of(costs[1]), y2 = log2Of(costs[2]);
    const double d0 = (x0 - x1) * (x0 - x2), d1 = (x0 - x1) * (x1 - x2), d2 = (x2 - x0) * (x2 - x1);
    double a = 0;
    bool usable = d0 != 0 && d1 != 0 && d2 != 0;
    if (usable) {
        a = y0 / d0 - y1 / d1 + y2 / d2;
        usable = a > 0;
    }
    if (usable) {
        double b = y1 * (x0 + x2) / d1 - y0 * (x1 + x2) / d0 - y2 * (x0 + x1) / d2;
        double c = y0 * x1 * x2 / d0 - y1 * x0 * x2 / d1 + y2 * x0 * x1 / d2;
        double x = -b / (2 * a);
        bestLength = std::floor(powerOfTwo(x) + 0.5);
        bestCost = std::floor(powerOfTwo((a * x + b) * x + c) + 0.5);
        double left = kMemoryLengths[first > 0 ? first - 1 : 0];
        double right = kMemoryLengths[first + 3 < kMemoryLengthCount ? first + 3 : kMemoryLengthCount - 1];
        if (bestLength < left) return LEFT;
        if (bestLength > right) return RIGHT;
        return FOUND;
    }
    // No usable parabola: judge by the shape of the three costs.
    uint32_t s0 = costs[0], s1 = costs[1], s2 = costs[2];
    if (s0 <= s1 && s1 <= s2) return LEFT;
    if (s0 > s1) return s1 < s2 ? STOP : RIGHT;
    return s0 < s1 ? STOP : RIGHT;
}

// The memory-length search of the optimizing loops on a trial segment in the middle of the block
// (count / opt1 values), from the seed's start, whose winner it hands back to the seed. Tries
// cost the family-0 estimate at the trial adaptation length. `iterations` tells how many steps
// the search took past its first triple, for the progress stages.
template <class Kit>
uint32_t searchMemoryLength(Kit& kit, typename Kit::Predictor& predictor, ResidualEncoder& energy,
                            const BlockInput& block, uint32_t opt1, MemoryLengthSeed& seed,
                            const LoopProgress& progress, uint32_t& iterations) {
    // Costs of tried table indices, which always form one contiguous range [lowest, highest].
    Segment trial = middleSegment(block.count, opt1);
    uint32_t cost[kMemoryLengthCount] = {};
    const double stages = static_cast<double>(opt1) + 3.0;
    auto tryIndex = [&](uint32_t index, double stageLow, double stageHigh) {
        progress.setStage(stageLow, stageHigh);
        kit.configure(predictor, kit.mode(kMemoryLengths[index]), progress.sink());
        predictor.predictBlock(block.samples + trial.start, trial.length, block.residues);
        energy.setParameters(kTrialAdaptationLength, kit.width);
        cost[index] = energy.estimateSize(block.residues, trial.length);
    };

    // Everything before depends on this block alone; the search depends on the blocks before it.
    const uint32_t lastMemoryLength = seed.start();
    uint32_t i0 = 0;
    while (i0 < kMemoryLengthCount - 1 && kMemoryLengths[i0] < lastMemoryLength)
        ++i0;
    if (i0 == kMemoryLengthCount - 1) i0 = kMemoryLengthCount - 2;
    uint32_t i1 = i0 + 1;
    tryIndex(i0, 0, 100 / stages);
    tryIndex(i1, 100 / stages, 200 / stages);
    uint32_t lowest, highest, first;
    if ((cost[i1] < cost[i0] || i0 == 0) && i1 != kMemoryLengthCount - 1) {
        tryIndex(i1 + 1, 200 / stages, 300 / stages);
        lowest = first = i0;
        highest = i1 + 1;
    } else {
        tryIndex(i0 - 1, 200 / stages, 300 / stages);
        lowest = first = i0 - 1;
        highest = i1;
    }

    double bestLength = 0, bestCost = 0;
    Verdict verdict = fitTriple(first, cost + first, bestLength, bestCost);
    iterations = 0;
    for (; iterations < 6; ++iterations) {
        double stageLow = iterations + 300 / stages;
        if (verdict == LEFT) {
            if (lowest == 0) break;
            first = --lowest;
            tryIndex(lowest, stageLow, stageLow + 1);
        } else if (verdict == RIGHT) {
            if (highest == kMemoryLengthCount - 1) break;
            first = ++highest - 2;
            tryIndex(highest, stageLow, stageLow + 1);
        } else {
            break;
        }
        verdict = fitTriple(first, cost + first, bestLength, bestCost);
    }

    // The fitted optimum stands unless a tried length did strictly better.
    uint32_t winner;
    double incumbent;
    if (verdict == FOUND && bestLength >= 2 && bestLength <= 4096) {
        winner = static_cast<uint32_t>(bestLength);
        incumbent = bestCost;
    } else {
        winner = kMemoryLengths[lowest];
        incumbent = cost[lowest];
    }
    for (uint32_t i = lowest; i <= highest; ++i) {
        if (cost[i] < incumbent) {
            winner = kMemoryLengths[i];
            incumbent = cost[i];
        }
    }
    seed.chosen(winner);
    return winner;
}

// A residual coder family and adaptation length.
struct ResidualChoice {
    uint32_t family;
    uint32_t adaptationLength;
};

// The optimizing loops' residual choice: every table adaptation length of family 0, then of family
// 1, estimated on `segment` of the residues; ties keep the earlier.
ResidualChoice chooseResidual(ResidualEncoder* const families[2], const int32_t* residues, Segment segment,
                              uint32_t width, const LoopProgress& progress) {
    uint32_t best = 2147483647;
    ResidualChoice choice{0, kAdaptationLengths[0]};
    for (uint32_t family = 0; family < 2; ++family) {
        progress.setStage(family == 0 ? 98 : 98.5, family == 0 ? 98 : 98.5);
        progress.show();
        for (uint16_t adaptation : kAdaptationLengths) {
            families[family]->setParameters(adaptation, width);
            uint32_t size = families[family]->estimateSize(residues + segment.start, segment.length);
            if (size < best) {
                best = size;
                choice = {family, adaptation};
            }
        }
    }
    return choice;
}

// The residual coders of a block, both families.
template <class Kit>
struct ResidualCoders {
    Owned<ResidualEncoder> energy = createResidualEncoder(0, Kit::stereo);
    Owned<ResidualEncoder> golomb = createResidualEncoder(1, Kit::stereo);
    ResidualEncoder* const families[2] = {energy.get(), golomb.get()};

    ResidualEncoder& set(ResidualChoice c, uint32_t width) {
        families[c.family]->setParameters(c.adaptationLength, width);
        return *families[c.family];
    }
};

template <class Kit>
EncodedPayload encodeOptimized(Kit& kit, const BlockInput& block, uint32_t opt1, uint32_t opt2,
                               MemoryLengthSeed& seed, const LoopProgress& progress) {
    kit.normalize(block);
    ResidualCoders<Kit> coders;
    Owned<typename Kit::Predictor> predictor = makeOwned<typename Kit::Predictor>(Kit::predictorName);
    uint32_t iterations = 0;
    const uint32_t winner =
        searchMemoryLength(kit, *predictor, *coders.energy, block, opt1, seed, progress, iterations);

    progress.setStage(iterations + 300 / (static_cast<double>(opt1) + 3.0), 98);
    kit.configure(*predictor, kit.mode(winner), progress.sink());
    predictor->predictBlock(block.samples, block.count, block.residues);

    const ResidualChoice residual = chooseResidual(coders.families, block.residues,
                                                   middleSegment(block.count, opt2), kit.width, progress);
    progress.setStage(99, 99);
    progress.show();
    const uint32_t length =
        writePayload(kit, block, *predictor, coders.set(residual, kit.width), block.residues);
    progress.setStage(100, 100);
    progress.show();
    return {length, residual.family};
}

// The adaptation length of the family-0 estimate that scores the max loop's predictor settings.
constexpr uint32_t kScoreAdaptationLength = 16;

// The max loop's scores: the whole block predicted with a setting, estimated with family 0 at the
// scoring length until the residual coder is chosen, then with that coder. The residues of the best
// setting so far are kept, and so are those of the last setting scored.
template <class Kit>
class BlockScorer final : public ChoiceScorer {
public:
    BlockScorer(const Kit& kit, const BlockInput& block, typename Kit::Predictor& predictor,
                ResidualEncoder& energy, const LoopProgress& progress)
        : kit(kit),
          block(block),
          predictor(predictor),
          coder(&energy),
          progress(progress),
          spare(block.count, "residue"),
          best(block.residues),
          trial(spare.data()) {}

    uint32_t score(const PredictorChoice& c) override {
        // Each try takes a smaller share of what is left of the search's part of the progress.
        progress.setStage(stage, stage + (kSearchEnd - stage) * 0.2);
        stage += (kSearchEnd - stage) * 0.2;
        kit.configure(predictor, c, progress.sink());
        predictor.predictBlock(block.samples, block.count, trial);
        coder->setParameters(adaptationLength, kit.width);
        const uint32_t s = coder->estimateSize(trial, block.count);
        last = trial;
        if (!haveBest || s < bestSize) {
            haveBest = true;
            bestSize = s;
            bestChoice = c;
            std::swap(best, trial);
        }
        return s;
    }

    static constexpr double kSearchEnd = 95;
    double stage = 30;  // after the built-in search
    PredictorChoice bestChoice{};
    const int32_t* last = nullptr;  // the residues of the last setting scored
    const int32_t* bestResidues() const { return best; }
    uint32_t bestScore() const { return bestSize; }
    // Scores from now on with `residual`, under which the best residues estimate `size`.
    void scoreWith(ResidualEncoder& residual, uint32_t adaptation, uint32_t size) {
        coder = &residual;
        adaptationLength = adaptation;
        bestSize = size;
    }

private:
    const Kit& kit;
    const BlockInput& block;
    typename Kit::Predictor& predictor;
    ResidualEncoder* coder;
    uint32_t adaptationLength = kScoreAdaptationLength;
    const LoopProgress& progress;
    Buffer<int32_t> spare;
    int32_t* best;
    int32_t* trial;
    uint32_t bestSize = 0;
    bool haveBest = false;
};

// The residual coder for the whole block's residues, from `start`, under which they estimate
// `startSize`: per family, the table's adaptation lengths walked from the nearest one while the
// estimate falls, then the lengths halfway (geometrically) to the best's neighbours. The other
// family is walked only when it comes close. A quick search walks the start's family alone.
// Gives the best estimate in `bestSize`.
ResidualChoice searchResidual(ResidualEncoder* const families[2], const int32_t* residues, uint32_t count,
                              uint32_t width, ResidualChoice start, uint32_t startSize, bool quick,
                              uint32_t& bestSize) {
    constexpr int kTableSize = static_cast<int>(sizeof kAdaptationLengths / sizeof kAdaptationLengths[0]);
    bestSize = startSize;
    ResidualChoice choice = start;
    for (uint32_t family : {start.family, 1 - start.family}) {
        auto estimate = [&](uint32_t length) {
            if (family == start.family && length == start.adaptationLength) return startSize;
            families[family]->setParameters(length, width);
            const uint32_t size = families[family]->estimateSize(residues, count);
            if (size < bestSize) {
                bestSize = size;
                choice = {family, length};
            }
            return size;
        };
        int at = 0;
        while (at + 1 < kTableSize && kAdaptationLengths[at] < choice.adaptationLength)
            ++at;
        uint32_t atSize = estimate(kAdaptationLengths[at]);
        if (family != start.family && atSize - atSize / 32 > bestSize) break;
        for (int direction : {1, -1}) {
            bool moved = false;
            for (int next = at + direction; next >= 0 && next < kTableSize; next += direction) {
                const uint32_t size = estimate(kAdaptationLengths[next]);
                if (size >= atSize) break;
                at = next;
                atSize = size;
                moved = true;
            }
            if (moved) break;
        }
        if (quick) break;
        const double length = kAdaptationLengths[at];
        const double lower = at > 0 ? kAdaptationLengths[at - 1] : length / 2;
        const double upper = at + 1 < kTableSize ? kAdaptationLengths[at + 1] : length * 2;
        for (double neighbour : {lower, upper}) {
            const auto between = static_cast<uint32_t>(std::floor(std::sqrt(length * neighbour) + 0.5));
            if (between >= kMinMemoryLength && between != static_cast<uint32_t>(length) &&
                between != static_cast<uint32_t>(neighbour))
                estimate(between);
        }
    }
    return choice;
}

// A seed that passes its start and its winner through, remembering the start.
class RecordingSeed final : public MemoryLengthSeed {
public:
    explicit RecordingSeed(MemoryLengthSeed& chain) : chain(chain) {}
    uint32_t start() override { return started = chain.start(); }
    void chosen(uint32_t winner) override { chain.chosen(winner); }
    uint32_t started = 0;

private:
    MemoryLengthSeed& chain;
};

// A seed that starts from a given length and passes nothing on.
class FixedSeed final : public MemoryLengthSeed {
public:
    explicit FixedSeed(uint32_t length) : length(length) {}
    uint32_t start() override { return length; }
    void chosen(uint32_t) override {}

private:
    uint32_t length;
};

// How much more than one try at the mode's orders the max loop's search may spend.
constexpr double kSearchBudget = 2.5;
// And the refinement of the memory length once the residual coder is known.
constexpr double kRefineBudget = 0.5;

template <class Kit>
EncodedPayload encodeMaximized(Kit& kit, const BlockInput& block, const BuiltInChoices& builtIn,
                               MemoryLengthSeed& seed, const LoopProgress& progress) {
    kit.normalize(block);
    ResidualCoders<Kit> coders;
    Owned<typename Kit::Predictor> predictor = makeOwned<typename Kit::Predictor>(Kit::predictorName);

    // The settings the built-in choices would code this block with, as the first tries: the
    // default search's, from the seed (whose chain goes on with its winner, as with --optimize
    // fast), the plain loop's and any other searches the caller names (those that start from the
    // same seed). Their coded lengths bound the block's.
    struct Baseline {
        PredictorChoice choice;
        ResidualChoice residual;
        uint32_t length;
    };
    Baseline baselines[2 + kMaxOtherSearches];
    uint32_t baselineCount = 0;
    uint32_t iterations = 0;
    // The built-in searches try their lengths on parts of the block in the residue array, so they
    // all run before the scorer keeps residues there.
    RecordingSeed recording(seed);
    const uint32_t fastLength = searchMemoryLength(kit, *predictor, *coders.energy, block, builtIn.opt1,
                                                   recording, progress, iterations);
    const uint32_t otherCount =
        builtIn.otherSearchCount < kMaxOtherSearches ? builtIn.otherSearchCount : kMaxOtherSearches;
    uint32_t otherLengths[kMaxOtherSearches] = {};
    for (uint32_t i = 0; i < otherCount; ++i) {
        FixedSeed same(recording.started);
        otherLengths[i] = searchMemoryLength(kit, *predictor, *coders.energy, block, builtIn.otherSearches[i],
                                             same, LoopProgress{}, iterations);
    }
    BlockScorer<Kit> scorer(kit, block, *predictor, *coders.energy, progress);
    auto baseline = [&](PredictorChoice choice, ResidualChoice residual, uint32_t divisor) {
        scorer.score(choice);
        if (divisor != 0)
            residual = chooseResidual(coders.families, scorer.last, middleSegment(block.count, divisor),
                                      kit.width, LoopProgress{});
        kit.configure(*predictor, choice, {});
        const uint32_t length =
            writePayload(kit, block, *predictor, coders.set(residual, kit.width), scorer.last);
        baselines[baselineCount++] = {choice, residual, length};
    };
    baseline(kit.mode(fastLength), {}, builtIn.opt2);
    if (builtIn.plain)
        baseline(kit.mode(builtIn.memoryLength), {builtIn.family, builtIn.adaptationLength}, 0);
    for (uint32_t i = 0; i < otherCount; ++i)
        baseline(kit.mode(otherLengths[i]), {}, builtIn.otherSearches[i]);

    const PredictorChoice mode = kit.mode(0);
    const ChoiceLimits limits{mode.order, mode.crossOrder, mode.solveInterval, Kit::stereo};
    // Settings are scored with the residual coder that suits the best residues so far, chosen
    // again once the search is done.
    uint32_t size = 0;
    ResidualChoice residual = searchResidual(coders.families, scorer.bestResidues(), block.count, kit.width,
                                             {0, kScoreAdaptationLength}, scorer.bestScore(), true, size);
    scorer.scoreWith(*coders.families[residual.family], residual.adaptationLength, size);
    const ScoredChoice start{scorer.bestChoice, size};
    // Lower modes get more tries for their work: their fixed costs weigh more.
    const PredictorChoice searched =
        searchPredictorChoice(scorer, limits, &start, 1, kSearchBudget + 48.0 / mode.order);
    progress.setStage(95, 99);
    progress.show();
    residual = searchResidual(coders.families, scorer.bestResidues(), block.count, kit.width, residual,
                              scorer.bestScore(), false, size);
    scorer.scoreWith(*coders.families[residual.family], residual.adaptationLength, size);
    const PredictorChoice chosen = refineMemoryLength(scorer, limits, {searched, size}, kRefineBudget);
    if (!(chosen == scorer.bestChoice)) throwError(UNKNOWN, "the search lost its best setting");
    kit.configure(*predictor, chosen, {});
    uint32_t length =
        writePayload(kit, block, *predictor, coders.set(residual, kit.width), scorer.bestResidues());
    EncodedPayload payload{length, residual.family};

    // Estimates rank settings, but only coding tells their lengths: a built-in choice that codes
    // shorter is coded again.
    const Baseline* shorter = nullptr;
    for (uint32_t i = 0; i < baselineCount; ++i) {
        if (baselines[i].length < (shorter ? shorter->length : payload.length)) shorter = &baselines[i];
    }
    if (shorter) {
        kit.configure(*predictor, shorter->choice, {});
        predictor->predictBlock(block.samples, block.count, block.residues);
        const uint32_t again =
            writePayload(kit, block, *predictor, coders.set(shorter->residual, kit.width), block.residues);
        if (again != shorter->length) throwError(UNKNOWN, "a block coded twice came out different");
        payload = {again, shorter->residual.family};
    }
    progress.setStage(100, 100);
    progress.show();
    return payload;
}

}  // namespace

double naturalLog(double x) {
    if (!(x > 0) || std::isinf(x)) return std::log(x);
    int e;
    double f = std::frexp(x, &e);
    if (f < 0.70710678118654752) {
        f *= 2;
        --e;
    }
    // ln f = 2 atanh(s) = 2 (s + s^3/3 + s^5/5 + ...) with s = (f - 1) / (f + 1), |s| < 0.172.
    DoubleDouble s = DoubleDouble{f - 1.0, 0} / twoSum(f, 1.0), s2 = s * s, series = {0, 0};
    for (int k = 21; k >= 1; --k)
        series = DoubleDouble{1.0, 0} / DoubleDouble{2.0 * k + 1, 0} + series * s2;
    DoubleDouble logF = s * (DoubleDouble{1.0, 0} + series * s2);
    DoubleDouble result =
        DoubleDouble{static_cast<double>(e), 0} * kLn2 + DoubleDouble{2 * logF.hi, 2 * logF.lo};
    return result.hi + result.lo;
}

double powerOfTwo(double v) {
    if (std::isnan(v)) return v;
    if (v > 1100) return HUGE_VAL;
    if (v < -1100) return 0.0;
    double k = std::nearbyint(v);
    // 2^f = e^(f ln 2) with |f ln 2| <= 0.35, by its Taylor series.
    DoubleDouble t = DoubleDouble{v - k, 0} * kLn2, sum = {1.0, 0};
    for (int n = 25; n >= 1; --n)
        sum = DoubleDouble{1.0, 0} + t / DoubleDouble{static_cast<double>(n), 0} * sum;
    return std::ldexp(sum.hi + sum.lo, static_cast<int>(k));
}

EncodedPayload encodeMonoBlock(const BlockInput& block, uint32_t order, uint32_t solveInterval,
                               uint32_t memoryLength, uint32_t adaptationLength, uint32_t family,
                               const LoopProgress& progress) {
    MonoKit kit(order, 0, solveInterval);
    return encodePlain(kit, block, memoryLength, adaptationLength, family, progress);
}

EncodedPayload encodeMonoBlockOptimized(const BlockInput& block, uint32_t order, uint32_t solveInterval,
                                        uint32_t opt1, uint32_t opt2, MemoryLengthSeed& seed,
                                        const LoopProgress& progress) {
    MonoKit kit(order, 0, solveInterval);
    return encodeOptimized(kit, block, opt1, opt2, seed, progress);
}

EncodedPayload encodeStereoBlock(const BlockInput& block, uint32_t order, uint32_t crossOrder,
                                 uint32_t solveInterval, uint32_t memoryLength, uint32_t adaptationLength,
                                 uint32_t family, const LoopProgress& progress) {
    StereoKit kit(order, crossOrder, solveInterval);
    return encodePlain(kit, block, memoryLength, adaptationLength, family, progress);
}

EncodedPayload encodeStereoBlockOptimized(const BlockInput& block, uint32_t order, uint32_t crossOrder,
                                          uint32_t solveInterval, uint32_t opt1, uint32_t opt2,
                                          MemoryLengthSeed& seed, const LoopProgress& progress) {
    StereoKit kit(order, crossOrder, solveInterval);
    return encodeOptimized(kit, block, opt1, opt2, seed, progress);
}

EncodedPayload encodeMonoBlockMax(const BlockInput& block, uint32_t order, uint32_t solveInterval,
                                  const BuiltInChoices& builtIn, MemoryLengthSeed& seed,
                                  const LoopProgress& progress) {
    MonoKit kit(order, 0, solveInterval);
    return encodeMaximized(kit, block, builtIn, seed, progress);
}

EncodedPayload encodeStereoBlockMax(const BlockInput& block, uint32_t order, uint32_t crossOrder,
                                    uint32_t solveInterval, const BuiltInChoices& builtIn,
                                    MemoryLengthSeed& seed, const LoopProgress& progress) {
    StereoKit kit(order, crossOrder, solveInterval);
    return encodeMaximized(kit, block, builtIn, seed, progress);
}

}  // namespace elq
