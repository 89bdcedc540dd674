// The parameter fields of both predictors and what they refuse.
#include "prediction/mono_predictor.h"

#include <gtest/gtest.h>

#include <array>

#include "prediction/stereo_predictor.h"
#include "support/coded_bytes.h"

namespace elq {
namespace {

// The fields a predictor writes, read back one by one: memory length - 2 (12 bits, 4095 escapes to
// 16), solve interval (3 bits, 7 escapes to interval - 1 in 16), order index (5 bits, 31 escapes to
// order - 1 and, for stereo, the cross order, in a byte each). cross 0: mono.
TEST(Predictors, ParameterFieldsAndEscapes) {
    using F = std::vector<uint32_t>;
    const std::pair<std::array<uint32_t, 4>, F> cases[] = {
        // memory, order, cross, interval
        {{4096, 24, 0, 128}, {4094, 2, 1}},
        {{4097, 24, 0, 32}, {4095, 4095, 0, 1}},
        {{65537, 40, 0, 2048}, {4095, 65535, 6, 31, 39}},
        {{2, 128, 0, 300}, {0, 7, 299, 6}},
        {{256, 4, 0, 65536}, {254, 7, 65535, 31, 3}},
        {{256, 24, 8, 128}, {254, 2, 1}},
        {{256, 128, 40, 128}, {254, 2, 6}},
        {{256, 40, 8, 128}, {254, 2, 31, 39, 8}},
        {{256, 24, 4, 128}, {254, 2, 31, 23, 4}}};  // both in the tables, not as a pair
    for (const auto& [s, fields] : cases) {
        test::CodedBytes coded(test::encoded([&](RangeEncoder& e) {
            MonoPredictorEncoder mono;
            StereoPredictorEncoder stereo;
            if (s[2] == 0) mono.setParameters(s[0], s[1], s[3], 0, 0, 2, {});
            if (s[2] != 0) stereo.setParameters(s[0], s[1], s[2], s[3], 0, 0, 0, 0, 2, {});
            s[2] == 0 ? mono.writeParameters(e) : stereo.writeParameters(e);
        }));
        RangeDecoder& d = coded.start();
        F f{d.decodeUniform(12)};
        if (f.back() == 4095) f.push_back(d.decodeShort());
        f.push_back(d.decodeUniform(3));
        if (f.back() == 7) f.push_back(d.decodeShort());
        f.push_back(d.decodeUniform(5));
        if (f.back() == 31) {
            f.push_back(d.decodeByte());
            if (s[2] != 0) f.push_back(d.decodeByte());
        }
        coded.expectFullyRead();
        EXPECT_EQ(f, fields) << s[0] << " " << s[1] << " " << s[2] << " " << s[3];
    }
}

TEST(Predictors, DecodersRejectOrdersTheyCannotRun) {
    struct Case {
        bool stereo;
        uint32_t index, order, cross;
    };
    // Table indices without a runnable order; escaped orders above 128 or not multiples of 4; cross
    // orders of 0, above the own order, or not multiples of 4.
    const Case cases[] = {{false, 7, 0, 0},    {false, 9, 0, 0},   {false, 30, 0, 0},  {false, 31, 129, 0},
                          {false, 31, 256, 0}, {false, 31, 42, 0}, {false, 31, 1, 0},  {true, 8, 0, 0},
                          {true, 9, 0, 0},     {true, 31, 24, 0},  {true, 31, 24, 16}, {true, 31, 24, 6},
                          {true, 31, 26, 8},   {true, 31, 132, 8}};
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << c.stereo << " " << c.index << " " << c.order << " " << c.cross);
        test::CodedBytes coded(test::encoded([&](RangeEncoder& e) {
            e.encodeShift(1, 254, 12);
            e.encodeShift(1, 2, 3);
            e.encodeShift(1, c.index, 5);
            if (c.index == 31) e.encodeByte(c.order - 1);
            if (c.index == 31 && c.stereo) e.encodeByte(c.cross);
        }));
        MonoPredictorDecoder mono;
        StereoPredictorDecoder stereo;
        test::expectRefused(
            [&] { c.stereo ? stereo.readParameters(coded.start()) : mono.readParameters(coded.start()); });
    }
}

// Settings a field would carry as other values.
TEST(Predictors, EncodersRefuseSettingsTheStreamCannotCarry) {
    // memory length, order, solve interval
    const uint32_t settings[][3] = {{1, 12, 128},     {65538, 12, 128}, {256, 12, 0},
                                    {256, 12, 65537}, {256, 14, 128},   {256, 132, 128}};
    for (auto& s : settings) {
        MonoPredictorEncoder mono;
        test::expectRefused([&] { mono.setParameters(s[0], s[1], s[2], 0, 0, 2, {}); });
    }
    StereoPredictorEncoder stereo;
    test::expectRefused([&] { stereo.setParameters(256, 24, 16, 128, 0, 0, 0, 0, 2, {}); });
}

}  // namespace
}  // namespace elq
