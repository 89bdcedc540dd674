#include "prediction/mono_predictor.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>

#include "prediction/sample_normalizer.h"
#include "prediction_test_support.h"

namespace elq {
namespace {

ProgressSink recordingSink(std::vector<double>& calls) {
    ProgressSink sink;
    sink.report = [](void* context, double fraction) {
        static_cast<std::vector<double>*>(context)->push_back(fraction);
    };
    sink.context = &calls;
    return sink;
}

struct MonoSettings {
    uint32_t memoryLength, order, solveInterval, sampleBits;
};

// The block as the encoding loop and the stream decoder will run it: normalizer, predictor, and the
// residues as raw residueWidth-bit fields; decoded with reconstruction in slices of `slice` samples.
void expectMonoRoundTrip(std::vector<int32_t> samples, MonoSettings s, uint32_t slice) {
    SCOPED_TRACE(testing::Message() << "N " << s.memoryLength << " p " << s.order << " K " << s.solveInterval
                                    << " bits " << s.sampleBits << " slice " << slice);
    const std::vector<int32_t> original = samples;
    const uint32_t count = static_cast<uint32_t>(samples.size());
    uint32_t width = 0;
    test::CodedBytes coded([&](RangeEncoder& encoder) {
        SampleNormalizerEncoder normalizer;
        normalizer.setSampleBits(s.sampleBits);
        normalizer.analyze(samples.data(), count);
        normalizer.writeParameters(encoder);
        int32_t lo, hi;
        normalizer.query(lo, hi, width);
        MonoPredictorEncoder predictor;
        predictor.setParameters(s.memoryLength, s.order, s.solveInterval, lo, hi, width, {});
        predictor.writeParameters(encoder);
        std::vector<int32_t> residues(count);
        predictor.predictBlock(samples.data(), count, residues.data());
        for (int32_t r : residues)
            encoder.encodeBits(static_cast<uint32_t>(r) & (~0u >> (32 - width)), width);
    });
    RangeDecoder& decoder = coded.decoder();
    SampleNormalizerDecoder normalizer;
    normalizer.setSampleBits(s.sampleBits);
    normalizer.readParameters(decoder);
    int32_t lo, hi;
    uint32_t decodedWidth;
    normalizer.query(lo, hi, decodedWidth);
    ASSERT_EQ(decodedWidth, width);
    MonoPredictorDecoder predictor;
    predictor.setParameters(lo, hi, decodedWidth, {});
    predictor.readParameters(decoder);
    std::vector<int32_t> out(count);
    for (auto& v : out)
        v = static_cast<int32_t>(decoder.decodeBits(width) << (32 - width)) >> (32 - width);
    for (uint32_t start = 0; start < count; start += slice) {
        uint32_t n = std::min(slice, count - start);
        predictor.reconstructBlock(out.data() + start, n, out.data() + start);  // in place
    }
    normalizer.restore(out.data(), count);
    coded.expectFullyRead();
    EXPECT_TRUE(out == original);
}

TEST(MonoPredictor, RoundTripsBitExactlyOverSignalsAndSettings) {
    auto music = test::musicLike(20000, 20000.0, 1, 32767.0);
    const uint32_t modeOrders[7] = {12, 24, 36, 48, 64, 96, 128};
    for (uint32_t order : modeOrders)
        expectMonoRoundTrip(music, {256, order, 128, 16}, 20000);
    expectMonoRoundTrip(test::musicLike(9000, 100.0, 2), {2, 12, 1, 8}, 1000);
    expectMonoRoundTrip(test::musicLike(9000, 7e6, 3), {4097, 40, 5, 24}, 777);
    expectMonoRoundTrip(test::whiteNoise(6000, INT32_MIN, INT32_MAX, 4), {65537, 16, 300, 32}, 6000);
    expectMonoRoundTrip(test::musicLike(3000, 2e9, 5, 2147483647.0), {362, 128, 32, 32}, 1);
    expectMonoRoundTrip(std::vector<int32_t>(5000, 0), {256, 32, 64, 16}, 5000);
    expectMonoRoundTrip({}, {256, 32, 64, 16}, 1);
    // Scaled audio with clipped peaks: the normalizer maps to a grid, the predictor sees the indices.
    auto scaled = test::musicLike(8000, 4000.0, 6, 3000.0);
    for (auto& v : scaled)
        v = v * 8 + 3;
    expectMonoRoundTrip(scaled, {1024, 36, 256, 16}, 8000);
}

TEST(MonoPredictor, EncoderAndDecoderAgreeAcrossTheStartupSwitch) {
    expectMonoRoundTrip(test::musicLike(50000, 8000.0, 7), {4096, 12, 32, 16}, 12345);
}

TEST(MonoPredictor, ResidueWrapsToTheResidueWidth) {
    // The second sample is predicted by the first: 32767 - (-32768) wraps to -1 in 16 bits.
    const int32_t samples[2] = {-32768, 32767};
    int32_t residues[2];
    MonoPredictorEncoder encoder;
    encoder.setParameters(256, 32, 128, -32768, 32767, 16, {});
    encoder.predictBlock(samples, 2, residues);
    EXPECT_EQ(residues[0], -32768);
    EXPECT_EQ(residues[1], -1);
    MonoPredictorDecoder decoder;
    decoder.setParameters(-32768, 32767, 16, {});
    test::CodedBytes coded([&](RangeEncoder& e) { encoder.writeParameters(e); });
    decoder.readParameters(coded.decoder());
    int32_t restored[2];
    decoder.reconstructBlock(residues, 2, restored);
    EXPECT_EQ(restored[0], -32768);
    EXPECT_EQ(restored[1], 32767);
}

TEST(MonoPredictor, ParameterFieldsAndEscapes) {
    auto fieldsOf = [](uint32_t n, uint32_t p, uint32_t k) {
        MonoPredictorEncoder encoder;
        encoder.setParameters(n, p, k, 0, 0, 2, {});
        test::CodedBytes coded([&](RangeEncoder& e) { encoder.writeParameters(e); });
        RangeDecoder& d = coded.decoder();
        std::vector<uint32_t> fields;
        uint32_t v = d.decodeUniform(12);
        fields.push_back(v);
        if (v == 4095) fields.push_back(d.decodeShort());
        v = d.decodeUniform(3);
        fields.push_back(v);
        if (v == 7) fields.push_back(d.decodeShort());
        v = d.decodeUniform(5);
        fields.push_back(v);
        if (v == 31) fields.push_back(d.decodeByte());
        coded.expectFullyRead();
        return fields;
    };
    EXPECT_EQ(fieldsOf(4096, 24, 128), (std::vector<uint32_t>{4094, 2, 1}));
    EXPECT_EQ(fieldsOf(4097, 24, 32), (std::vector<uint32_t>{4095, 4095, 0, 1}));
    EXPECT_EQ(fieldsOf(65537, 40, 2048), (std::vector<uint32_t>{4095, 65535, 6, 31, 39}));
    EXPECT_EQ(fieldsOf(2, 128, 300), (std::vector<uint32_t>{0, 7, 299, 6}));
    EXPECT_EQ(fieldsOf(256, 4, 65536), (std::vector<uint32_t>{254, 7, 65535, 31, 3}));
}

// Writes raw parameter fields as a corrupt or foreign encoder might.
void expectRejectedOrder(std::function<void(RangeEncoder&)> orderFields) {
    test::CodedBytes coded([&](RangeEncoder& e) {
        e.encodeShift(1, 254, 12);
        e.encodeShift(1, 2, 3);
        orderFields(e);
    });
    MonoPredictorDecoder decoder;
    decoder.setParameters(-100, 100, 8, {});
    try {
        decoder.readParameters(coded.decoder());
        ADD_FAILURE() << "accepted";
    } catch (const Exception& e) {
        EXPECT_EQ(e.code, UNKNOWN);
    }
}

TEST(MonoPredictor, DecoderRejectsOrdersItCannotRun) {
    for (uint32_t index : {7u, 8u, 9u, 20u, 30u})
        expectRejectedOrder([=](RangeEncoder& e) { e.encodeShift(1, index, 5); });
    for (uint32_t byte : {128u, 129u, 255u, 41u, 2u, 0u})
        expectRejectedOrder([=](RangeEncoder& e) {
            e.encodeShift(1, 31, 5);
            e.encodeByte(byte);
        });
}

TEST(MonoPredictor, ReportsProgressEvery44100Samples) {
    const uint32_t count = 100000;
    std::vector<int32_t> samples(count, 1), residues(count);
    std::vector<double> calls;
    MonoPredictorEncoder encoder;
    encoder.setParameters(256, 12, 128, 0, 1, 2, recordingSink(calls));
    encoder.predictBlock(samples.data(), count, residues.data());
    EXPECT_EQ(calls, (std::vector<double>{44099.0 / count, 88199.0 / count}));
    calls.clear();
    encoder.predictBlock(samples.data(), 44099, residues.data());
    EXPECT_TRUE(calls.empty());

    // The decoder's countdown runs on across calls; the fraction is within the call.
    MonoPredictorDecoder decoder;
    decoder.setParameters(0, 1, 2, recordingSink(calls));
    test::CodedBytes coded([&](RangeEncoder& e) { encoder.writeParameters(e); });
    decoder.readParameters(coded.decoder());
    decoder.reconstructBlock(residues.data(), 40000, samples.data());
    decoder.reconstructBlock(residues.data(), 40000, samples.data());
    EXPECT_EQ(calls, (std::vector<double>{4099.0 / 40000}));
}

TEST(MonoPredictor, RejectsSettingsTheStreamCannotCarry) {
    MonoPredictorEncoder encoder;
    EXPECT_THROW(encoder.setParameters(1, 12, 128, 0, 0, 2, {}), Exception);
    EXPECT_THROW(encoder.setParameters(65538, 12, 128, 0, 0, 2, {}), Exception);
    EXPECT_THROW(encoder.setParameters(256, 12, 0, 0, 0, 2, {}), Exception);
    EXPECT_THROW(encoder.setParameters(256, 14, 128, 0, 0, 2, {}), Exception);
    EXPECT_THROW(encoder.setParameters(256, 132, 128, 0, 0, 2, {}), Exception);
    EXPECT_THROW(encoder.setParameters(256, 12, 128, 0, 0, 33, {}), Exception);
    MonoPredictorDecoder decoder;
    int32_t v = 0;
    EXPECT_THROW(decoder.reconstructBlock(&v, 1, &v), Exception);  // parameters never read
}

}  // namespace
}  // namespace elq
