// Every mode, speed-up and seek setting round-trips and produces exactly the bytes recorded in
// the golden table: a change that moves one byte of the format fails here until the table is
// deliberately renewed (ELQ_UPDATE_GOLDEN=1 rewrites it).
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

namespace elq::test {
namespace {

const std::string kTable = std::string(ELQ_SOURCE_DIR) + "/tests/data/golden.tsv";

std::string sha256(const std::string& path) {
    std::string command = "sha256sum '" + path + "'";
    FILE* pipe = popen(command.c_str(), "r");
    char digest[65] = {};
    if (!pipe || fscanf(pipe, "%64s", digest) != 1) digest[0] = '\0';
    if (pipe) pclose(pipe);
    return digest;
}

TEST(Golden, ModesSettingsAndTheRecordedBytes) {
    TempDir dir;
    dir.write("stereo16.wav", test::waveText(Signal::Tones, 16, 2, 12000));
    dir.write("mono24.wav", test::waveText(Signal::PaddedClipped, 24, 1, 9000));
    dir.write("mono8.wav", test::waveText(Signal::Noise, 8, 1, 7000));
    dir.write("stereo32.wav", test::waveText(Signal::LeftOnly, 32, 2, 5000));
    // Odd-sized chunks before and after the samples, all kept verbatim.
    dir.write("chunky.wav", test::WaveBuilder()
                                .chunk("LIST", test::patternBytes(13, 1), 0x5A)
                                .format({.channels = 2, .blockAlign = 6, .bits = 24})
                                .chunk("junk", test::patternBytes(3, 2), 0xA5)
                                .chunk("data", test::pcmSignal(Signal::Tones, 24, 2, 3001))
                                .chunk("LIST", test::patternBytes(7, 3), 0x11)
                                .build());

    std::vector<std::pair<std::string, std::string>> cases;  // file and options
    for (const char* mode : {"fast", "normal", "high", "extra", "best", "ultra", "insane"}) {
        cases.push_back({"stereo16", std::string("--mode ") + mode});
        cases.push_back({"stereo16", std::string("--mode ") + mode + " --optimize none"});
        cases.push_back({"mono24", std::string("--mode ") + mode});
    }
    for (const char* speedup : {"1x", "2x", "4x"})
        cases.push_back({"mono24", std::string("--speedup ") + speedup});
    for (const char* optimize : {"none", "fast", "normal", "high", "best"})
        cases.push_back({"stereo16", std::string("--optimize ") + optimize});
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
    for (const auto& [file, options] : cases) {
        SCOPED_TRACE(file + " " + options);
        ASSERT_EQ(
            test::runElq(test::words("--silent " + file + ".wav --output out " + options), dir).exitCode, 0);
        ASSERT_EQ(test::runElq({"--silent", "out.elq", "--output", "back.wav"}, dir).exitCode, 0);
        EXPECT_EQ(dir.read("back.wav"), dir.read(file + ".wav"));

        std::string key = file + "\t" + options;
        std::string line =
            key + "\t" + std::to_string(dir.read("out.elq").size()) + "\t" + sha256(dir.path("out.elq"));
        renewed << line << "\n";
        EXPECT_TRUE(update || golden[key] == line)
            << "golden bytes moved: " << line << "\nrecorded: " << golden[key];
    }
    if (update) std::ofstream(kTable) << renewed.str();
}

}  // namespace
}  // namespace elq::test
