// Files made by an independent implementation of the format: every encoding must be
// reproduced byte for byte and every file must decode to its WAVE bytes.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace {

namespace fs = std::filesystem;

const fs::path kVectors = fs::path(ELQ_SOURCE_DIR) / "tests/data/conformance";

struct Vector {
    std::string wave, elq, options;
};

std::vector<Vector> readManifest() {
    std::vector<Vector> vectors;
    std::ifstream manifest(kVectors / "MANIFEST.tsv");
    std::string line;
    while (std::getline(manifest, line)) {
        if (line.empty() || line[0] == '#') continue;
        std::vector<std::string> fields;
        std::stringstream split(line);
        std::string field;
        while (std::getline(split, field, '\t'))
            fields.push_back(field);
        if (fields.size() < 3) continue;
        vectors.push_back({fields[0], fields[1], fields.size() > 3 ? fields[3] : ""});
    }
    return vectors;
}

std::string readFile(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

class Conformance : public ::testing::TestWithParam<Vector> {
protected:
    void SetUp() override {
        dir_ = fs::temp_directory_path() / ("elq_conformance_" + std::to_string(getpid()));
        fs::create_directories(dir_);
    }
    void TearDown() override { fs::remove_all(dir_); }

    int run(const std::string& arguments) {
        std::string command =
            std::string(ELQ_BINARY) + " --silent " + arguments + " 2>" + (dir_ / "err").string();
        return std::system(command.c_str());
    }
    std::string errors() { return readFile(dir_ / "err"); }

    fs::path dir_;
};

TEST_P(Conformance, EncodesToTheSameBytes) {
    const Vector& v = GetParam();
    fs::path out = dir_ / "out.elq";
    ASSERT_EQ(run("--encode " + v.options + " " + (kVectors / v.wave).string() + " --output " + out.string()),
              0)
        << errors();
    std::string expected = readFile(kVectors / v.elq);
    std::string actual = readFile(out);
    ASSERT_EQ(actual.size(), expected.size());
    EXPECT_TRUE(actual == expected);
}

TEST_P(Conformance, DecodesToTheWaveBytes) {
    const Vector& v = GetParam();
    fs::path out = dir_ / "out.wav";
    ASSERT_EQ(run("--decode " + (kVectors / v.elq).string() + " --output " + out.string()), 0) << errors();
    EXPECT_TRUE(readFile(out) == readFile(kVectors / v.wave));
}

std::string vectorName(const ::testing::TestParamInfo<Vector>& info) {
    std::string name = info.param.elq.substr(0, info.param.elq.size() - 4);
    for (char& c : name) {
        if (!isalnum(static_cast<unsigned char>(c))) c = '_';
    }
    return name;
}

INSTANTIATE_TEST_SUITE_P(Vectors, Conformance, ::testing::ValuesIn(readManifest()), vectorName);

}  // namespace
