#include "prediction/stereo_predictor.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <functional>
#include <memory>

#include "prediction/sample_normalizer.h"
#include "prediction_test_support.h"

namespace elq {
namespace {

// Independent reference of the coupled stereo filters, written straight from the algorithm text with
// shifting histories and plain square matrices.
struct NaiveStereo {
    int P, c, a;
    uint32_t K;
    double lambda;
    struct Channel {
        uint32_t count = 0, lastSolve = 0;
        double hist[130] = {};
        double r[257] = {};
        double w[128] = {};
        double S[128][128] = {};
    } ch[2];
    double A[128][128] = {};
    double d[128] = {};

    NaiveStereo(int order, int cross, uint32_t k, double lam)
        : P(order), c(cross), a(order - cross), K(k), lambda(lam) {
        ch[0].w[0] = ch[1].w[0] = 1.0;
    }
    static int32_t toInt(double sum) {
        double t = std::nearbyint(sum);
        return (t >= -2147483648.0 && t <= 2147483647.0) ? static_cast<int32_t>(t) : INT32_MIN;
    }
    int32_t predict(int k) const {
        const double* own = ch[k].hist;
        const double* other = ch[k ^ 1].hist;
        const double* w = ch[k].w;
        double A_ = 0.0, B = 0.0;
        for (int g = 0; g < a / 4; ++g) {
            int b = 4 * g;
            A_ = A_ + (own[b] * w[b] + own[b + 1] * w[b + 1]);
            B = B + (own[b + 2] * w[b + 2] + own[b + 3] * w[b + 3]);
        }
        for (int g = 0; g < c / 4; ++g) {
            int b = 4 * g;
            A_ = A_ + (other[b] * w[a + b] + other[b + 1] * w[a + b + 1]);
            B = B + (other[b + 2] * w[a + b + 2] + other[b + 3] * w[a + b + 3]);
        }
        return toInt(B + A_);
    }
    double z(int k, int m) const { return m < a ? ch[k].hist[m + 1] : ch[k ^ 1].hist[m - a]; }
    void update(int k, int32_t sample) {
        Channel& C = ch[k];
        const double* own = C.hist;
        const double* other = ch[k ^ 1].hist;
        double x = sample;
        for (int i = 129; i > 0; --i)
            C.hist[i] = C.hist[i - 1];
        C.hist[0] = x;
        C.count++;
        if (C.count < static_cast<uint32_t>(a)) return;
        if (C.count == static_cast<uint32_t>(a)) {
            for (int i = 0; i < a; ++i)
                for (int j = 0; j <= i; ++j)
                    C.S[i][j] = own[i + 1] * own[j + 1];
            for (int i = a + 1; i < P; ++i) {
                for (int j = 0; j < a; ++j)
                    C.S[i][j] = other[i - a] * own[j + 1];
                for (int j = a + 1; j <= i; ++j)
                    C.S[i][j] = other[j - a] * other[i - a];
            }
            C.lastSolve = a;
        }
        double y = other[0];
        C.r[0] = (lambda * C.r[0]) + (x * x);
        for (int m = 0; m < P; ++m) {
            C.r[1 + 2 * m] = (lambda * C.r[1 + 2 * m]) + (z(k, m) * y);
            C.r[2 + 2 * m] = (lambda * C.r[2 + 2 * m]) + (z(k, m) * x);
        }
        if (C.count - C.lastSolve >= K) {
            solve(k);
            C.lastSolve = C.count;
        }
    }
    // mode 0: + g·S with S scaled, 1: + S as it stands, 2: nothing.
    double term(Channel& C, int i, int j, double g, int mode) {
        if (mode == 0) {
            double old = C.S[i][j];
            C.S[i][j] = g * old;
            return g * old;
        }
        return C.S[i][j];
    }
    void buildOwn(Channel& C, const double* own, double inv, double g, int mode) {
        for (int i = 0; i < a; ++i) {
            A[i][0] = (C.r[2 * i] - own[i] * own[0]) * inv;
            if (mode != 2) A[i][0] = A[i][0] + term(C, i, 0, g, mode);
            for (int j = 1; j <= i; ++j) {
                A[i][j] = (A[i - 1][j - 1] - own[j] * own[i]) * inv;
                if (mode != 2) A[i][j] = A[i][j] + term(C, i, j, g, mode);
            }
            C.w[i] = C.r[2 * i + 2];
            A[a][i] = C.r[2 * i + 1];
        }
    }
    void solve(int k) {
        Channel& C = ch[k];
        const double* own = C.hist;
        const double* other = ch[k ^ 1].hist;
        if (C.r[0] < 0.5) {
            if (C.r[0] != 0.0 && C.r[0] < 1e-9)
                for (int m = 0; m <= 2 * P; ++m)
                    C.r[m] = 0.0;
            C.w[0] = 1.0;
            for (int m = 1; m < P; ++m)
                C.w[m] = 0.0;
            return;
        }
        double inv = 1.0 / lambda;
        int mode = C.count < 48000 ? 0 : 2;
        double g = 1.0, base = lambda;
        for (uint32_t e = C.count - C.lastSolve; e != 0; e >>= 1) {
            if (e & 1) g = g * base;
            base = base * base;
        }
        buildOwn(C, own, inv, g, mode);
        for (int i = a + 1; i < P; ++i) {
            A[i][0] = (C.r[2 * i] - other[i - a - 1] * own[0]) * inv;
            if (mode != 2) A[i][0] = A[i][0] + term(C, i, 0, g, mode);
            for (int j = 1; j <= a - 1; ++j) {
                A[i][j] = (A[i - 1][j - 1] - other[i - a - 1] * own[j]) * inv;
                if (mode != 2) A[i][j] = A[i][j] + term(C, i, j, g, mode);
            }
        }
        for (int i = a; i < P; ++i) {
            A[i][a] = C.r[2 * i + 1];
            for (int j = a + 1; j <= i; ++j) {
                A[i][j] = (A[i - 1][j - 1] - other[j - a - 1] * other[i - a - 1]) * inv;
                if (mode != 2) A[i][j] = A[i][j] + term(C, i, j, g, mode);
            }
            C.w[i] = C.r[2 * i + 2];
        }
        if (ldl(P, C.w)) return;
        for (int m = 0; m < P; ++m)
            C.w[m] = 0.0;
        for (int m = 1; m <= P; ++m) {
            if (C.r[0] == C.r[2 * m]) {
                C.w[m - 1] = 1.0;
                return;
            }
        }
        ++ownFallbacks;
        buildOwn(C, own, inv, g, mode == 0 ? 1 : 2);
        if (ldl(a, C.w)) return;
        ++ownFailures;
        C.w[0] = 1.0;
    }
    bool ldl(int n, double* b) {
        d[0] = A[0][0];
        A[0][0] = 1.0;
        for (int i = 1; i < n; ++i) {
            for (int k = 0; k < i; ++k) {
                double v = A[i][k];
                for (int m = 0; m < k; ++m)
                    v = v - ((d[m] * A[i][m]) * A[k][m]);
                A[i][k] = v / d[k];
            }
            double v = A[i][i];
            A[i][i] = 1.0;
            for (int m = 0; m < i; ++m)
                v = v - ((A[i][m] * A[i][m]) * d[m]);
            if (!(std::fabs(v) >= 1e-5)) return false;
            d[i] = v;
        }
        for (int i = 1; i < n; ++i)
            for (int m = 0; m < i; ++m)
                b[i] = b[i] - (A[i][m] * b[m]);
        b[n - 1] = b[n - 1] / d[n - 1];
        for (int i = n - 2; i >= 0; --i) {
            double v = b[i] / d[i];
            for (int m = i + 1; m < n; ++m)
                v = v - (b[m] * A[m][i]);
            b[i] = v;
        }
        return true;
    }
    int ownFallbacks = 0;
    int ownFailures = 0;
};

double lambdaOf(uint32_t n) {
    return (n - 1.0) / n;
}

// Compares StereoFilter with the reference over interleaved samples; returns the reference for
// inspection of the branches taken.
std::unique_ptr<NaiveStereo> expectSameAsReference(const std::vector<int32_t>& values, int order, int cross,
                                                   uint32_t interval, uint32_t memory) {
    SCOPED_TRACE(testing::Message() << "P " << order << " c " << cross << " K " << interval << " N "
                                    << memory);
    auto reference = std::make_unique<NaiveStereo>(order, cross, interval, lambdaOf(memory));
    StereoFilter filter;
    filter.init(order, cross, interval, lambdaOf(memory));
    for (size_t i = 0; i < values.size(); ++i) {
        int k = static_cast<int>(i % 2);
        int32_t expected = reference->predict(k);
        int32_t got = filter.predict(k);
        if (got != expected ||
            memcmp(filter.coefficients(k), reference->ch[k].w, order * sizeof(double)) != 0) {
            ADD_FAILURE() << "diverges at value " << i << ": " << got << " vs " << expected;
            break;
        }
        reference->update(k, values[i]);
        filter.update(k, values[i]);
    }
    return reference;
}

TEST(StereoFilter, MatchesStraightReferenceBitForBit) {
    auto left = test::musicLike(3000, 20000.0, 11, 15000.0);
    auto right = test::musicLike(3000, 12000.0, 12);
    auto stereo = test::interleave(left, right);
    test::forEachKernelSet([&] {
        expectSameAsReference(stereo, 24, 8, 128, 256);
        expectSameAsReference(stereo, 12, 4, 1, 2);
        expectSameAsReference(stereo, 40, 8, 5, 4097);
        expectSameAsReference(
            test::interleave(test::musicLike(2500, 6e6, 13), test::whiteNoise(2500, -9, 9, 14)), 128, 40, 300,
            65537);
        expectSameAsReference(test::whiteNoise(4000, INT32_MIN, INT32_MAX, 15), 16, 8, 7, 16);
    });
}

TEST(StereoFilter, MatchesReferenceAcrossTheStartupSwitch) {
    auto stereo = test::interleave(test::musicLike(49000, 3000.0, 16), test::musicLike(49000, 2000.0, 17));
    test::forEachKernelSet([&] { expectSameAsReference(stereo, 12, 4, 64, 1024); });
}

TEST(StereoFilter, MatchesReferenceThroughTheOwnChannelFallbacks) {
    // Right = 2·left: the full system is singular and no lag repeats r[0], so the own-channel solve runs.
    // Left is an exact three-term recurrence, so its own system is singular as well.
    std::vector<int32_t> left(3000), right(3000);
    const int32_t pattern[6] = {3, 1, -2, -3, -1, 2};  // x[t] = x[t-1] - x[t-2]
    auto noise = test::whiteNoise(3000, -40, 40, 18);
    for (size_t i = 0; i < left.size(); ++i) {
        left[i] = i < 1500 ? noise[i] : pattern[i % 6];
        right[i] = 2 * left[i];
    }
    auto tripled = test::musicLike(49000, 50.0, 19);
    for (auto& v : tripled)
        v *= 3;
    test::forEachKernelSet([&] {
        auto reference = expectSameAsReference(test::interleave(left, right), 12, 4, 16, 64);
        EXPECT_GT(reference->ownFallbacks, 0);
        EXPECT_GT(reference->ownFailures, 0);
        auto late =
            expectSameAsReference(test::interleave(test::musicLike(49000, 50.0, 19), tripled), 8, 4, 256, 64);
        EXPECT_GT(late->ownFallbacks, 0);
    });
}

// The encoder's frame loop (compiled once per kernel set) against the reference with the clamps and
// the wrap, over every command-line mode pair and odd group counts, past a refill of the histories;
// then the decoder's loop, with the other kernel set where there is one, restores the samples.
TEST(StereoFilter, BlockLoopsMatchReferenceWithEveryKernelSet) {
    auto left = test::musicLike(4400, 20000.0, 31, 18000.0);
    auto right = test::musicLike(4400, 15000.0, 32);
    for (size_t i = 0; i < right.size(); ++i)
        right[i] = (right[i] + left[i]) / 2;
    const auto values = test::interleave(left, right);
    const uint32_t count = static_cast<uint32_t>(values.size());
    const int32_t lo[2] = {-18000, -17000}, hi[2] = {18000, 17000};
    const uint32_t width = 17;
    const uint32_t pairs[9][2] = {{12, 4},  {24, 8},   {36, 12}, {48, 16}, {64, 20},
                                  {96, 32}, {128, 40}, {8, 4},   {20, 8}};
    for (auto& pair : pairs) {
        SCOPED_TRACE(testing::Message() << "P " << pair[0] << " c " << pair[1]);
        NaiveStereo reference(pair[0], pair[1], 32, lambdaOf(181));
        std::vector<int32_t> expected(count);
        for (uint32_t i = 0; i < count; ++i) {
            const int k = static_cast<int>(i % 2);
            expected[i] = test::referenceResidue(values[i], reference.predict(k), lo[k], hi[k], width);
            reference.update(k, values[i]);
        }
        std::vector<int32_t> residues;
        test::forEachKernelSet([&] {
            StereoPredictorEncoder encoder;
            encoder.setParameters(181, pair[0], pair[1], 32, lo[0], hi[0], lo[1], hi[1], width, {});
            std::vector<int32_t> got(count);
            encoder.predictBlock(values.data(), count, got.data());
            ASSERT_EQ(got, expected);
            if (residues.empty()) {
                residues = got;
                return;
            }
            test::CodedBytes coded([&](RangeEncoder& e) { encoder.writeParameters(e); });
            StereoPredictorDecoder decoder;
            decoder.setParameters(lo[0], hi[0], lo[1], hi[1], width, {});
            decoder.readParameters(coded.decoder());
            std::vector<int32_t> restored = residues;
            decoder.reconstructBlock(restored.data(), count, restored.data());
            EXPECT_EQ(restored, values);
        });
    }
}

struct StereoSettings {
    uint32_t memoryLength, order, crossOrder, solveInterval, sampleBits;
};

// Normalizer, predictor and raw residueWidth-bit residues through the range coder; decoded with
// reconstruction in slices of `slice` values.
void expectStereoRoundTrip(std::vector<int32_t> values, StereoSettings s, uint32_t slice) {
    SCOPED_TRACE(testing::Message() << "N " << s.memoryLength << " P " << s.order << " c " << s.crossOrder
                                    << " K " << s.solveInterval << " bits " << s.sampleBits << " slice "
                                    << slice);
    const std::vector<int32_t> original = values;
    const uint32_t count = static_cast<uint32_t>(values.size());
    uint32_t width = 0;
    test::CodedBytes coded([&](RangeEncoder& encoder) {
        StereoSampleNormalizerEncoder normalizer;
        normalizer.setSampleBits(s.sampleBits);
        normalizer.analyze(values.data(), count);
        normalizer.writeParameters(encoder);
        int32_t lo[2], hi[2];
        normalizer.query(lo[0], hi[0], lo[1], hi[1], width);
        StereoPredictorEncoder predictor;
        predictor.setParameters(s.memoryLength, s.order, s.crossOrder, s.solveInterval, lo[0], hi[0], lo[1],
                                hi[1], width, {});
        predictor.writeParameters(encoder);
        std::vector<int32_t> residues(count);
        predictor.predictBlock(values.data(), count, residues.data());
        for (int32_t r : residues)
            encoder.encodeBits(static_cast<uint32_t>(r) & (~0u >> (32 - width)), width);
    });
    RangeDecoder& decoder = coded.decoder();
    StereoSampleNormalizerDecoder normalizer;
    normalizer.setSampleBits(s.sampleBits);
    normalizer.readParameters(decoder);
    int32_t lo[2], hi[2];
    uint32_t decodedWidth;
    normalizer.query(lo[0], hi[0], lo[1], hi[1], decodedWidth);
    ASSERT_EQ(decodedWidth, width);
    StereoPredictorDecoder predictor;
    predictor.setParameters(lo[0], hi[0], lo[1], hi[1], decodedWidth, {});
    predictor.readParameters(decoder);
    std::vector<int32_t> out(count);
    for (auto& v : out)
        v = static_cast<int32_t>(decoder.decodeBits(width) << (32 - width)) >> (32 - width);
    for (uint32_t start = 0; start < count; start += slice) {
        uint32_t n = std::min(slice, count - start);
        predictor.reconstructBlock(out.data() + start, n, out.data() + start);
    }
    normalizer.restore(out.data(), count);
    coded.expectFullyRead();
    EXPECT_TRUE(out == original);
}

TEST(StereoPredictor, RoundTripsBitExactlyOverSignalsAndModes) {
    auto left = test::musicLike(12000, 20000.0, 21, 32767.0);
    auto right = test::musicLike(12000, 15000.0, 22);
    for (size_t i = 0; i < right.size(); ++i)
        right[i] = (right[i] + left[i]) / 2;
    auto music = test::interleave(left, right);
    const uint32_t modes[7][2] = {{12, 4}, {24, 8}, {36, 12}, {48, 16}, {64, 20}, {96, 32}, {128, 40}};
    for (auto& mode : modes)
        expectStereoRoundTrip(music, {256, mode[0], mode[1], 128, 16}, 24000);
    expectStereoRoundTrip(music, {2, 40, 8, 1, 16}, 998);
    expectStereoRoundTrip(
        test::interleave(test::musicLike(6000, 6e6, 23), test::musicLike(6000, 8e6, 24, 7e6)),
        {4097, 24, 8, 5, 24}, 2);
    expectStereoRoundTrip(test::whiteNoise(8000, INT32_MIN, INT32_MAX, 25), {65537, 16, 8, 300, 32}, 8000);
    expectStereoRoundTrip(test::interleave(test::musicLike(4000, 100.0, 26), std::vector<int32_t>(4000, -7)),
                          {64, 24, 8, 32, 8}, 4000);
    expectStereoRoundTrip({}, {256, 24, 8, 128, 16}, 2);
}

TEST(StereoPredictor, EncoderAndDecoderAgreeAcrossTheStartupSwitch) {
    auto left = test::musicLike(50000, 9000.0, 27);
    auto right = test::musicLike(50000, 9000.0, 28);
    expectStereoRoundTrip(test::interleave(left, right), {512, 12, 4, 64, 16}, 50000);
}

TEST(StereoPredictor, IdenticalChannelsPredictTheRightFromTheCurrentLeft) {
    auto left = test::musicLike(3000, 10000.0, 29);
    auto values = test::interleave(left, left);
    std::vector<int32_t> residues(values.size());
    StereoPredictorEncoder encoder;
    encoder.setParameters(256, 24, 8, 128, -32768, 32767, -32768, 32767, 16, {});
    encoder.predictBlock(values.data(), static_cast<uint32_t>(values.size()), residues.data());
    // The right channel's first solve happens at its count a + K = 16 + 128.
    for (size_t frame = 16 + 128; frame < left.size(); ++frame)
        ASSERT_EQ(residues[2 * frame + 1], 0) << frame;
    StereoFilter filter;
    filter.init(24, 8, 128, (256 - 1.0) / 256);
    for (size_t i = 0; i < values.size(); ++i)
        filter.update(i % 2, values[i]);
    for (int k = 0; k < 24; ++k)
        EXPECT_EQ(filter.coefficients(1)[k], k == 16 ? 1.0 : 0.0) << k;
}

TEST(StereoPredictor, SilentRightChannelKeepsPredictingZero) {
    auto values = test::interleave(test::musicLike(4000, 20000.0, 30), std::vector<int32_t>(4000, 0));
    StereoFilter filter;
    filter.init(24, 8, 32, (256 - 1.0) / 256);
    for (size_t i = 0; i < values.size(); ++i) {
        if (i % 2 == 1) {
            ASSERT_EQ(filter.predict(1), 0) << i;
        }
        filter.update(i % 2, values[i]);
    }
    for (int k = 0; k < 24; ++k)
        EXPECT_EQ(filter.coefficients(1)[k], k == 0 ? 1.0 : 0.0) << k;
}

TEST(StereoPredictor, OrderPairFieldsAndEscapes) {
    auto fieldsOf = [](uint32_t p, uint32_t c) {
        StereoPredictorEncoder encoder;
        encoder.setParameters(256, p, c, 128, 0, 0, 0, 0, 2, {});
        test::CodedBytes coded([&](RangeEncoder& e) { encoder.writeParameters(e); });
        RangeDecoder& d = coded.decoder();
        std::vector<uint32_t> fields{d.decodeUniform(12), d.decodeUniform(3), d.decodeUniform(5)};
        if (fields.back() == 31) {
            fields.push_back(d.decodeByte());
            fields.push_back(d.decodeByte());
        }
        coded.expectFullyRead();
        return fields;
    };
    EXPECT_EQ(fieldsOf(40, 8), (std::vector<uint32_t>{254, 2, 31, 39, 8}));
    EXPECT_EQ(fieldsOf(24, 8), (std::vector<uint32_t>{254, 2, 1}));
    EXPECT_EQ(fieldsOf(128, 40), (std::vector<uint32_t>{254, 2, 6}));
    EXPECT_EQ(fieldsOf(24, 4), (std::vector<uint32_t>{254, 2, 31, 23, 4}));  // both in the tables, not paired
}

void expectRejectedPair(std::function<void(RangeEncoder&)> orderFields) {
    test::CodedBytes coded([&](RangeEncoder& e) {
        e.encodeShift(1, 254, 12);
        e.encodeShift(1, 2, 3);
        orderFields(e);
    });
    StereoPredictorDecoder decoder;
    decoder.setParameters(-100, 100, -100, 100, 8, {});
    try {
        decoder.readParameters(coded.decoder());
        ADD_FAILURE() << "accepted";
    } catch (const Exception& e) {
        EXPECT_EQ(e.code, UNKNOWN);
    }
}

TEST(StereoPredictor, DecoderRejectsOrderPairsItCannotRun) {
    for (uint32_t index : {7u, 8u, 9u, 30u})
        expectRejectedPair([=](RangeEncoder& e) { e.encodeShift(1, index, 5); });
    // (P, c): c = 0, c > a, c not a multiple of 4, P not a multiple of 4, P above 128.
    const uint32_t pairs[6][2] = {{24, 0}, {24, 16}, {24, 6}, {26, 8}, {132, 8}, {256, 80}};
    for (auto& pair : pairs)
        expectRejectedPair([=](RangeEncoder& e) {
            e.encodeShift(1, 31, 5);
            e.encodeByte(pair[0] - 1);
            e.encodeByte(pair[1]);
        });
}

TEST(StereoPredictor, RejectsOddCountsAndImpossibleOrders) {
    StereoPredictorEncoder encoder;
    EXPECT_THROW(encoder.setParameters(256, 24, 16, 128, 0, 0, 0, 0, 2, {}), Exception);
    EXPECT_THROW(encoder.setParameters(256, 24, 0, 128, 0, 0, 0, 0, 2, {}), Exception);
    encoder.setParameters(256, 24, 8, 128, 0, 0, 0, 0, 2, {});
    int32_t v[3] = {0, 0, 0};
    EXPECT_THROW(encoder.predictBlock(v, 3, v), Exception);
    StereoPredictorDecoder decoder;
    decoder.setParameters(0, 0, 0, 0, 2, {});
    EXPECT_THROW(decoder.reconstructBlock(v, 2, v), Exception);  // parameters never read
    test::CodedBytes coded([&](RangeEncoder& e) { encoder.writeParameters(e); });
    decoder.readParameters(coded.decoder());
    EXPECT_THROW(decoder.reconstructBlock(v, 3, v), Exception);
}

}  // namespace
}  // namespace elq
