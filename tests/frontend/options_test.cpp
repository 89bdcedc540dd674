#include "frontend/options.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "foundation/exception.h"

namespace elq {
namespace {

using Args = std::vector<const char*>;

// Parses "elq" followed by `args` and returns the record.
const ProgramOptions& parse(Args args) {
    args.insert(args.begin(), "elq");
    parseCommandLine(static_cast<int>(args.size()), args.data());
    return programOptions();
}

// The description of the error the command line raises, or "" when it parses.
std::string parseError(const Args& args) {
    try {
        parse(args);
    } catch (const Exception& e) {
        EXPECT_EQ(e.code, UNKNOWN);
        return e.name;
    }
    return "";
}

TEST(ParseCommandLine, ValueWordsSetTheirSettingsOnly) {
    const int _ = -1;
    const std::pair<Args, std::vector<int32_t>> cases[] = {
        {{"x.wav"}, {_, _, _, _, _, _, _, _, _}},  // each parse starts from a fresh record
        {{"--mode", "insane"}, {_, 128, 40, _, _, _, _, _, _}},
        {{"--speedup", "1x"}, {_, _, _, 32, _, _, _, _, _}},
        {{"--optimize", "high"}, {_, _, _, _, _, _, _, 2, 2}},
        {{"--seek", "slow"}, {1764000, _, _, _, _, _, _, _, _}},
        // Options are not positional; the last value wins.
        {{"a.wav", "--mode", "fast", "b.wav", "--mode", "extra"}, {_, 48, 16, _, _, _, _, _, _}},
        // Accepted and validated, without effect.
        {{"--channelconfig", "STEREO_LR", "--sampletype", "FOAT32_16", "--crc", "--recovery", "--raw"},
         {_, _, _, _, _, _, _, _, _}},
    };
    for (const auto& [args, expected] : cases) {
        const EncoderSettings& s = parse(args).settings;
        EXPECT_EQ((std::vector<int32_t>{s.blockLength, s.order, s.crossOrder, s.solveInterval, s.memoryLength,
                                        s.adaptationLength, s.family, s.opt1, s.opt2}),
                  expected)
            << args[0] << " " << args[1];
    }
}

TEST(ParseCommandLine, ErrorTexts) {
    std::vector<std::pair<Args, std::string>> cases = {
        // Values are case-sensitive; whatever follows is the value, even a word with two dashes.
        {{"--mode", "Normal"}, "incorrect mode value"},
        {{"--mode", "--silent"}, "incorrect mode value"},
        {{"--speedup", "4X"}, "incorrect speedup value"},
        {{"--optimize", "Best"}, "incorrect optimize value"},
        {{"--seek", "slower"}, "incorrect seek value"},
        {{"--channelconfig", "mono"}, "incorrect channelconfig value"},
        {{"--sampletype", "FLOAT32_16"}, "incorrect sampletype value"},
        {{"--speed"}, "unknown command or parameter"},  // the usage's word is not the parser's
        {{"--ENCODE"}, "unknown command or parameter"},
        {{"--mode", "x", "--bogus"}, "incorrect mode value"},  // the first error ends it
    };
    for (const char* word : {"65", "-1", "+2", "2x", " 2", "", "4294967298", "--silent"})
        cases.push_back({{"--threads", word}, "incorrect threads value"});
    for (const char* option : {"--output", "--mode", "--speedup", "--optimize", "--seek", "--threads",
                               "--channelconfig", "--sampletype"})
        cases.push_back({{"a.wav", option}, std::string("parameter missing after ") + option});
    cases.push_back({Args(257, "f.wav"), "too many source files"});
    for (const auto& [args, message] : cases)
        EXPECT_EQ(parseError(args), message) << args[0] << " " << (args.size() > 1 ? args[1] : "");
}

TEST(ParseCommandLine, SourcesOutputsAndThreads) {
    const ProgramOptions& o = parse({"--output", "early", "-", "-x", "a.wav", "--output", "first", "--output",
                                     "second", "b.elq", "--output", "--mode", "c"});
    ASSERT_EQ(o.sourceCount, 5);
    const char* sources[] = {"-", "-x", "a.wav", "b.elq", "c"};  // one dash makes no option
    const char* outputs[] = {nullptr, nullptr, "second", "--mode", nullptr};
    for (int i = 0; i < 5; ++i) {
        EXPECT_STREQ(o.sources[i], sources[i]);
        EXPECT_STREQ(o.outputs[i], outputs[i]) << i;  // an --output before the first source is lost
    }
    EXPECT_EQ(parse(Args(256, "f.wav")).sourceCount, 256);

    EXPECT_EQ(parse({"a.wav"}).threads, -1);
    EXPECT_EQ(parse({"--threads", "08"}).threads, 8);
    EXPECT_EQ(parse({"--threads", "1", "--threads", "64"}).threads, 64);
    for (int32_t automatic : {0, -1}) {
        EXPECT_GE(threadCount(automatic), 1u);
        EXPECT_LE(threadCount(automatic), 64u);
    }
    EXPECT_FALSE(endsWithIgnoreCase("av", ".wav"));  // shorter than the ending: nothing read before it
    EXPECT_TRUE(endsWithIgnoreCase("a.wAv", ".WAV"));
}

}  // namespace
}  // namespace elq
