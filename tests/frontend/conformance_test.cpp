// The vectors of tests/data/conformance, WAVE files and their encodings by a separate encoder:
// every encoding must be reproduced byte for byte and every file must decode to its WAVE bytes.
#include <gtest/gtest.h>

#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "support/run_elq.h"
#include "support/temp_dir.h"

namespace elq {
namespace {

const std::string kVectors = std::string(ELQ_SOURCE_DIR) + "/tests/data/conformance/";

struct Vector {
    std::string wave, elq, options;
};

std::vector<Vector> readManifest() {
    std::vector<Vector> vectors;
    std::ifstream manifest(kVectors + "MANIFEST.tsv");
    for (std::string line; std::getline(manifest, line);) {
        if (line.empty() || line[0] == '#') continue;
        std::vector<std::string> fields;
        std::stringstream split(line);
        for (std::string field; std::getline(split, field, '\t');)
            fields.push_back(field);
        if (fields.size() >= 3) vectors.push_back({fields[0], fields[1], fields.size() > 3 ? fields[3] : ""});
    }
    return vectors;
}

class Conformance : public ::testing::TestWithParam<Vector> {};

TEST_P(Conformance, EncodesAndDecodesToTheSameBytes) {
    const Vector& v = GetParam();
    test::TempDir dir;
    test::Outcome run = test::runElq(
        test::words("--silent --encode " + v.options + " " + kVectors + v.wave + " --output out.elq"), dir);
    ASSERT_EQ(run.exitCode, 0) << run.err;
    EXPECT_TRUE(test::sameBytes(dir.read("out.elq"), test::readWholeFile(kVectors + v.elq)));
    run = test::runElq({"--silent", "--decode", kVectors + v.elq, "--output", "out.wav"}, dir);
    ASSERT_EQ(run.exitCode, 0) << run.err;
    EXPECT_TRUE(test::sameBytes(dir.read("out.wav"), test::readWholeFile(kVectors + v.wave)));
}

std::string vectorName(const ::testing::TestParamInfo<Vector>& info) {
    std::string name = info.param.elq.substr(0, info.param.elq.size() - 4);
    for (char& c : name)
        if (!isalnum(static_cast<unsigned char>(c))) c = '_';
    return name;
}

INSTANTIATE_TEST_SUITE_P(Vectors, Conformance, ::testing::ValuesIn(readManifest()), vectorName);

}  // namespace
}  // namespace elq
