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

// The value words themselves are seen through the golden table, which runs every one of them.
TEST(ParseCommandLine, EachParseStartsAfreshAndUnusedWordsAreValidated) {
    EXPECT_EQ(parse({"--mode", "insane", "--seek", "slow"}).settings.order, 128);
    const EncoderSettings& s =
        parse({"x.wav", "--channelconfig", "STEREO_LR", "--sampletype", "FOAT32_16", "--crc", "--raw"})
            .settings;
    EXPECT_EQ((std::vector<int32_t>{s.blockLength, s.order, s.crossOrder, s.solveInterval, s.opt1, s.opt2}),
              std::vector<int32_t>(6, -1));
}

TEST(ParseCommandLine, ErrorTexts) {
    std::vector<std::pair<Args, std::string>> cases = {
        // Values are case-sensitive; whatever follows is the value, even a word with two dashes.
        {{"--mode", "Normal"}, "incorrect mode value"},
        {{"--mode", "--silent"}, "incorrect mode value"},
        {{"--sampletype", "FLOAT32_16"}, "incorrect sampletype value"},
        {{"--speed"}, "unknown command or parameter"},         // the usage's word is not the parser's
        {{"--mode", "x", "--bogus"}, "incorrect mode value"},  // the first error ends it
        {Args(257, "f.wav"), "too many source files"},
    };
    for (const char* word : {"65", "-1", "+2", "2x", " 2", "", "4294967298", "--silent"})
        cases.push_back({{"--threads", word}, "incorrect threads value"});
    for (const char* option : {"--output", "--mode", "--speedup", "--optimize", "--seek", "--threads",
                               "--channelconfig", "--sampletype"})
        cases.push_back({{"a.wav", option}, std::string("parameter missing after ") + option});
    for (const auto& [args, message] : cases) {
        std::string error;
        try {
            parse(args);
        } catch (const Exception& e) {
            error = e.name;
        }
        EXPECT_EQ(error, message) << args[0] << " " << (args.size() > 1 ? args[1] : "");
    }
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
    EXPECT_EQ(parse({"--threads", "08"}).threads, 8);
    EXPECT_EQ(parse({"--threads", "1", "--threads", "64"}).threads, 64);
    EXPECT_GE(threadCount(0), 1u);
    EXPECT_LE(threadCount(0), 64u);
}

}  // namespace
}  // namespace elq
