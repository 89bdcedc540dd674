#include "prediction/encoding_loops.h"

#include <cmath>

#include "entropy/range_coder.h"
#include "foundation/allocator.h"
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

    void normalize(const BlockInput& block, RangeEncoder& encoder) {
        normalizer.setSampleBits(block.sampleBits);
        normalizer.analyze(block.samples, block.count);
        normalizer.writeParameters(encoder);
        normalizer.query(lo, hi, width);
    }
    void configure(Predictor& predictor, uint32_t memoryLength, ProgressSink progress) const {
        predictor.setParameters(memoryLength, order, solveInterval, lo, hi, width, progress);
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

    void normalize(const BlockInput& block, RangeEncoder& encoder) {
        normalizer.setSampleBits(block.sampleBits);
        normalizer.analyze(block.samples, block.count);
        normalizer.writeParameters(encoder);
        normalizer.query(loLeft, hiLeft, loRight, hiRight, width);
    }
    void configure(Predictor& predictor, uint32_t memoryLength, ProgressSink progress) const {
        predictor.setParameters(memoryLength, order, crossOrder, solveInterval, loLeft, hiLeft, loRight,
                                hiRight, width, progress);
    }
};

template <class Kit>
EncodedPayload encodePlain(Kit& kit, const BlockInput& block, uint32_t memoryLength,
                           uint32_t adaptationLength, uint32_t family, const LoopProgress& progress) {
    RangeEncoder encoder;
    encoder.start(block.output, block.capacity, kBlockFirstByte);
    kit.normalize(block, encoder);
    Owned<ResidualEncoder> residual = createResidualEncoder(family, Kit::stereo);
    Owned<typename Kit::Predictor> predictor = makeOwned<typename Kit::Predictor>(Kit::predictorName);
    progress.setStage(0, 99);
    kit.configure(*predictor, memoryLength, progress.sink());
    predictor->writeParameters(encoder);
    predictor->predictBlock(block.samples, block.count, block.residues);
    progress.setStage(99, 99);
    progress.show();
    residual->setParameters(adaptationLength, kit.width);
    residual->writeParameters(encoder);
    residual->encodeBlock(block.residues, block.count, encoder);
    encoder.finish();
    progress.setStage(100, 100);
    progress.show();
    return {encoder.dataCount, family};
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

template <class Kit>
EncodedPayload encodeOptimized(Kit& kit, const BlockInput& block, uint32_t opt1, uint32_t opt2,
                               MemoryLengthSeed& seed, const LoopProgress& progress) {
    RangeEncoder encoder;
    encoder.start(block.output, block.capacity, kBlockFirstByte);
    kit.normalize(block, encoder);
    Owned<ResidualEncoder> energy = createResidualEncoder(0, Kit::stereo);
    Owned<ResidualEncoder> golomb = createResidualEncoder(1, Kit::stereo);
    Owned<typename Kit::Predictor> predictor = makeOwned<typename Kit::Predictor>(Kit::predictorName);
    ResidualEncoder* families[2] = {energy.get(), golomb.get()};

    // Memory-length search on a trial segment: costs of tried table indices, which always
    // form one contiguous range [lowest, highest].
    Segment trial = middleSegment(block.count, opt1);
    uint32_t cost[kMemoryLengthCount] = {};
    const double stages = static_cast<double>(opt1) + 3.0;
    auto tryIndex = [&](uint32_t index, double stageLow, double stageHigh) {
        progress.setStage(stageLow, stageHigh);
        kit.configure(*predictor, kMemoryLengths[index], progress.sink());
        predictor->predictBlock(block.samples + trial.start, trial.length, block.residues);
        energy->setParameters(kTrialAdaptationLength, kit.width);
        cost[index] = energy->estimateSize(block.residues, trial.length);
    };

    // Everything above depends on this block alone; the search depends on the blocks before it.
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
    uint32_t iterations = 0;
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

    progress.setStage(iterations + 300 / stages, 98);
    kit.configure(*predictor, winner, progress.sink());
    predictor->writeParameters(encoder);
    predictor->predictBlock(block.samples, block.count, block.residues);

    // Residual family and adaptation length on a second segment; ties keep the earlier.
    Segment choice = middleSegment(block.count, opt2);
    uint32_t best = 2147483647, bestFamily = 0, bestAdaptation = kAdaptationLengths[0];
    for (uint32_t family = 0; family < 2; ++family) {
        progress.setStage(family == 0 ? 98 : 98.5, family == 0 ? 98 : 98.5);
        progress.show();
        for (uint16_t adaptation : kAdaptationLengths) {
            families[family]->setParameters(adaptation, kit.width);
            uint32_t size = families[family]->estimateSize(block.residues + choice.start, choice.length);
            if (size < best) {
                best = size;
                bestFamily = family;
                bestAdaptation = adaptation;
            }
        }
    }
    progress.setStage(99, 99);
    progress.show();
    ResidualEncoder& chosen = *families[bestFamily];
    chosen.setParameters(bestAdaptation, kit.width);
    chosen.writeParameters(encoder);
    chosen.encodeBlock(block.residues, block.count, encoder);
    encoder.finish();
    progress.setStage(100, 100);
    progress.show();
    return {encoder.dataCount, bestFamily};
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

}  // namespace elq
