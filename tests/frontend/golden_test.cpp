// Every mode, speed-up and seek setting round-trips, encodes deterministically, and produces
// exactly the bytes recorded in the golden table: a change that moves one byte of the
// format fails here until the table is deliberately renewed (ELQ_UPDATE_GOLDEN=1 rewrites it).
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "support/run_elq.h"
#include "support/signals.h"
#include "support/temp_dir.h"
#include "wave/wave_test_support.h"

namespace elq {
namespace {

using test::Signal;
using test::TempDir;

const std::string kTable = std::string(ELQ_SOURCE_DIR) + "/tests/data/golden.tsv";

std::string sha256(const std::string& path) {
    std::string command = "sha256sum '" + path + "'";
    FILE* pipe = popen(command.c_str(), "r");
    char digest[65] = {};
    if (!pipe || fscanf(pipe, "%64s", digest) != 1) digest[0] = '\0';
    if (pipe) pclose(pipe);
    return digest;
}

// Odd-sized chunks before and after the samples, all kept verbatim.
std::vector<uint8_t> chunkyWave() {
    test::Format format;
    format.channels = 2;
    format.blockAlign = 6;
    format.bits = 24;
    return test::WaveBuilder()
        .chunk("LIST", test::patternBytes(13, 1), 0x5A)
        .format(format)
        .chunk("junk", test::patternBytes(3, 2), 0xA5)
        .chunk("data", test::pcmSignal(Signal::Tones, 24, 2, 3001))
        .chunk("LIST", test::patternBytes(7, 3), 0x11)
        .build();
}

struct Case {
    std::string file;
    std::string options;
};

TEST(Golden, ModesSettingsAndTheRecordedBytes) {
    TempDir dir;
    dir.write("stereo16.wav", test::waveFile(test::pcmSignal(Signal::Tones, 16, 2, 12000), 16, 2));
    dir.write("mono24.wav", test::waveFile(test::pcmSignal(Signal::PaddedClipped, 24, 1, 9000), 24, 1));
    dir.write("mono8.wav", test::waveFile(test::pcmSignal(Signal::Noise, 8, 1, 7000), 8, 1));
    dir.write("stereo32.wav", test::waveFile(test::pcmSignal(Signal::LeftOnly, 32, 2, 5000), 32, 2));
    dir.write("chunky.wav", chunkyWave());

    std::vector<Case> cases;
    for (const char* mode : {"fast", "normal", "high", "extra", "best", "ultra", "insane"}) {
        cases.push_back({"stereo16", std::string("--mode ") + mode});
        cases.push_back({"stereo16", std::string("--mode ") + mode + " --optimize none"});
        cases.push_back({"mono24", std::string("--mode ") + mode});
    }
    for (const char* speedup : {"1x", "2x", "4x"})
        cases.push_back({"mono24", std::string("--speedup ") + speedup});
    for (const char* optimize : {"none", "fast", "normal", "high", "best"}) {
        cases.push_back({"stereo16", std::string("--optimize ") + optimize});
    }
    for (const char* seek : {"fast", "normal", "slow"})
        cases.push_back({"mono8", std::string("--seek ") + seek});
    cases.push_back({"stereo32", ""});
    cases.push_back({"chunky", ""});

    std::map<std::string, std::string> golden;
    std::ifstream table(kTable);
    for (std::string line; std::getline(table, line);) {
        if (!line.empty() && line[0] != '#')
            golden[line.substr(0, line.find('\t', line.find('\t') + 1))] = line;
    }
    const bool update = getenv("ELQ_UPDATE_GOLDEN") != nullptr;
    std::ostringstream renewed;
    renewed << "# file\toptions\tbytes\tsha256 of the encoding\n";
    for (size_t i = 0; i < cases.size(); ++i) {
        const Case& c = cases[i];
        std::vector<std::string> args{"--silent", c.file + ".wav", "--output", "out"};
        std::istringstream words(c.options);
        for (std::string word; words >> word;)
            args.push_back(word);
        ASSERT_EQ(test::runElq(args, dir).exitCode, 0) << c.options;
        std::string first = test::readWholeFile(dir.path("out.elq"));
        ASSERT_EQ(test::runElq(args, dir).exitCode, 0);
        EXPECT_EQ(test::readWholeFile(dir.path("out.elq")), first) << "encoding twice differs: " << c.options;
        ASSERT_EQ(test::runElq({"--silent", "out.elq", "--output", "back.wav"}, dir).exitCode, 0);
        EXPECT_EQ(test::readWholeFile(dir.path("back.wav")), test::readWholeFile(dir.path(c.file + ".wav")))
            << c.file << " " << c.options;

        std::string key = c.file + "\t" + c.options;
        std::string line = key + "\t" + std::to_string(first.size()) + "\t" + sha256(dir.path("out.elq"));
        renewed << line << "\n";
        if (!update) {
            EXPECT_EQ(golden[key], line) << "golden bytes moved";
        }
    }
    if (update) std::ofstream(kTable) << renewed.str();
}

// A total one above a multiple of the block length ends with a block of one value.
TEST(Golden, OneValueBeyondTheBlockLength) {
    TempDir dir;
    std::string wave =
        dir.write("long.wav", test::waveFile(test::pcmSignal(Signal::Tones, 8, 1, 441001), 8, 1));
    ASSERT_EQ(
        test::runElq({"--silent", "long.wav", "--seek", "fast", "--mode", "fast", "--optimize", "none"}, dir)
            .exitCode,
        0);
    std::string elq = test::readWholeFile(dir.path("long.elq"));
    size_t second = elq.find("COMP", elq.find("COMP") + 4);
    ASSERT_NE(second, std::string::npos);
    EXPECT_EQ(elq.substr(second + 12, 4), std::string("\x01\0\0\0", 4));
    ASSERT_EQ(test::runElq({"--silent", "long.elq", "--output", "back.wav"}, dir).exitCode, 0);
    EXPECT_EQ(test::readWholeFile(dir.path("back.wav")), test::readWholeFile(wave));
}

}  // namespace
}  // namespace elq
