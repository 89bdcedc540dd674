// What both predictors refuse: orders a decoder cannot run, settings an encoder's fields cannot carry.
#include "prediction/mono_predictor.h"

#include <gtest/gtest.h>

#include "prediction/stereo_predictor.h"
#include "support/coded_bytes.h"

namespace elq {
namespace {

TEST(Predictors, RefuseWhatTheFiltersOrFieldsCannotTake) {
    // Table indices without a runnable order; escaped orders above 128 or not multiples of 4; cross
    // orders of 0, above the own order, or not multiples of 4.
    const uint32_t orders[][4] = {{0, 7, 0, 0},   {0, 9, 0, 0},    {0, 30, 0, 0},  {0, 31, 129, 0},
                                  {0, 31, 42, 0}, {0, 31, 1, 0},   {1, 8, 0, 0},   {1, 9, 0, 0},
                                  {1, 31, 24, 0}, {1, 31, 24, 16}, {1, 31, 24, 6}, {1, 31, 26, 8},
                                  {1, 31, 132, 8}};  // stereo, index, order, cross
    for (auto& c : orders) {
        test::CodedBytes coded(test::encoded([&](RangeEncoder& e) {
            e.encodeShift(1, 254, 12);
            e.encodeShift(1, 2, 3);
            e.encodeShift(1, c[1], 5);
            if (c[1] == 31) e.encodeByte(c[2] - 1);
            if (c[1] == 31 && c[0]) e.encodeByte(c[3]);
        }));
        MonoPredictorDecoder mono;
        StereoPredictorDecoder stereo;
        test::expectRefused(
            [&] { c[0] ? stereo.readParameters(coded.start()) : mono.readParameters(coded.start()); });
    }
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
