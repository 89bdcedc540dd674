#include "frontend/options.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "foundation/exception.h"

namespace elq {
namespace {

// Parses "elq" followed by `args` and returns the record.
const ProgramOptions& parse(std::vector<const char*> args) {
    args.insert(args.begin(), "elq");
    parseCommandLine(static_cast<int>(args.size()), args.data());
    return programOptions();
}

// The description of the error the command line raises, or "" when it parses.
std::string parseError(std::vector<const char*> args) {
    try {
        parse(std::move(args));
    } catch (const Exception& e) {
        EXPECT_EQ(e.code, UNKNOWN);
        return e.name;
    }
    return "";
}

std::vector<int32_t> values(const EncoderSettings& s) {
    return {s.blockLength,      s.order,  s.crossOrder, s.solveInterval, s.memoryLength,
            s.adaptationLength, s.family, s.opt1,       s.opt2};
}

TEST(ParseCommandLine, EachParseStartsFromAFreshRecord) {
    parse({"--encode", "--info", "--silent", "--mode", "best", "--seek", "fast", "a.wav", "--output", "x"});
    const ProgramOptions& o = parse({"b.elq"});
    EXPECT_EQ(o.encode, -1);
    EXPECT_EQ(o.info, -1);
    EXPECT_EQ(o.silent, 0);
    EXPECT_EQ(o.sourceCount, 1);
    EXPECT_EQ(o.outputs[0], nullptr);
    EXPECT_EQ(values(o.settings), std::vector<int32_t>(9, -1));
}

TEST(ParseCommandLine, CommandWordsAndWordsWithoutEffect) {
    const ProgramOptions& o = parse({"--encode", "--decode", "--info", "--help"});
    EXPECT_EQ(o.encode + o.decode + o.info + o.help, 4);
    const ProgramOptions& quiet =
        parse({"--verify", "--repair", "--speedtest", "--crc", "--recovery", "--raw", "--channelconfig",
               "STEREO_LR", "--sampletype", "FOAT32_16", "x.elq"});
    EXPECT_EQ(quiet.encode + quiet.decode + quiet.info + quiet.help, -4);
    EXPECT_EQ(quiet.sourceCount, 1);
    EXPECT_EQ(values(quiet.settings), std::vector<int32_t>(9, -1));
}

TEST(ParseCommandLine, ValueTables) {
    const char* modes[] = {"fast", "normal", "high", "extra", "best", "ultra", "insane"};
    const int32_t orders[] = {12, 24, 36, 48, 64, 96, 128}, crossOrders[] = {4, 8, 12, 16, 20, 32, 40};
    for (int i = 0; i < 7; ++i) {
        const EncoderSettings& s = parse({"--mode", modes[i]}).settings;
        EXPECT_EQ(values(s), std::vector<int32_t>({-1, orders[i], crossOrders[i], -1, -1, -1, -1, -1, -1}));
    }
    const char* speedups[] = {"1x", "2x", "4x"};
    const int32_t intervals[] = {32, 64, 128};
    for (int i = 0; i < 3; ++i)
        EXPECT_EQ(parse({"--speedup", speedups[i]}).settings.solveInterval, intervals[i]);
    const char* optimizes[] = {"none", "fast", "normal", "high", "best"};
    const int32_t divisors[] = {0, 10, 5, 2, 1};
    for (int i = 0; i < 5; ++i) {
        const EncoderSettings& s = parse({"--optimize", optimizes[i]}).settings;
        EXPECT_EQ(s.opt1, divisors[i]);
        EXPECT_EQ(s.opt2, divisors[i]);
    }
    const char* seeks[] = {"fast", "normal", "slow"};
    const int32_t lengths[] = {441000, 882000, 1764000};
    for (int i = 0; i < 3; ++i)
        EXPECT_EQ(parse({"--seek", seeks[i]}).settings.blockLength, lengths[i]);
    for (const char* word : {"UINT8", "SINT8", "UINT16", "SINT16", "UINT24", "SINT24", "UINT32", "SINT32",
                             "FLOAT32_0", "FOAT32_16", "FLOAT32_24"}) {
        EXPECT_EQ(parseError({"--sampletype", word}), "") << word;
    }
    EXPECT_EQ(parseError({"--channelconfig", "MONO"}), "");
    // Options are not positional; the last value wins.
    EXPECT_EQ(parse({"a.wav", "--mode", "fast", "b.wav", "--mode", "extra"}).settings.order, 48);
}

TEST(ParseCommandLine, ErrorTexts) {
    for (const char* option : {"--output", "--mode", "--speedup", "--optimize", "--seek", "--threads",
                               "--channelconfig", "--sampletype"}) {
        EXPECT_EQ(parseError({"a.wav", option}), std::string("parameter missing after ") + option);
    }
    // Values are case-sensitive; whatever follows is the value, even a word with two dashes.
    EXPECT_EQ(parseError({"--mode", "Normal"}), "incorrect mode value");
    EXPECT_EQ(parseError({"--mode", "--silent"}), "incorrect mode value");
    EXPECT_EQ(parseError({"--speedup", "4X"}), "incorrect speedup value");
    EXPECT_EQ(parseError({"--optimize", "Best"}), "incorrect optimize value");
    EXPECT_EQ(parseError({"--seek", "slower"}), "incorrect seek value");
    EXPECT_EQ(parseError({"--channelconfig", "mono"}), "incorrect channelconfig value");
    EXPECT_EQ(parseError({"--sampletype", "FLOAT32_16"}), "incorrect sampletype value");
    EXPECT_EQ(parseError({"--speed"}),
              "unknown command or parameter");  // the usage's word is not the parser's
    EXPECT_EQ(parseError({"--"}), "unknown command or parameter");
    EXPECT_EQ(parseError({"--ENCODE"}), "unknown command or parameter");
    EXPECT_EQ(parseError({"--mode", "x", "--bogus"}), "incorrect mode value");  // the first error ends it
}

TEST(ParseCommandLine, Threads) {
    EXPECT_EQ(parse({"a.wav"}).threads, -1);
    EXPECT_EQ(parse({"--threads", "0"}).threads, 0);
    EXPECT_EQ(parse({"--threads", "1", "--threads", "64"}).threads, 64);  // the last value wins
    EXPECT_EQ(parse({"--threads", "08"}).threads, 8);
    for (const char* word : {"65", "100", "-1", "+2", "2x", " 2", "", "4294967298", "--silent"})
        EXPECT_EQ(parseError({"--threads", word}), "incorrect threads value") << word;

    ProgramOptions options;
    options.threads = 5;
    EXPECT_EQ(threadCount(options), 5u);
    for (int32_t automatic : {0, -1}) {
        options.threads = automatic;
        EXPECT_GE(threadCount(options), 1u);
        EXPECT_LE(threadCount(options), 64u);
    }
}

TEST(ParseCommandLine, SourcesAndTheirOutputs) {
    const ProgramOptions& o = parse({"--output", "early", "-", "-x", "a.wav", "--output", "first", "--output",
                                     "second", "b.elq", "--output", "--mode", "c"});
    ASSERT_EQ(o.sourceCount, 5);
    const char* sources[] = {"-", "-x", "a.wav", "b.elq", "c"};  // one dash makes no option
    for (int i = 0; i < 5; ++i)
        EXPECT_STREQ(o.sources[i], sources[i]);
    EXPECT_EQ(o.outputs[0], nullptr);  // an --output before the first source is lost
    EXPECT_EQ(o.outputs[1], nullptr);
    EXPECT_STREQ(o.outputs[2], "second");  // a later --output replaces the earlier one
    EXPECT_STREQ(o.outputs[3], "--mode");
    EXPECT_EQ(o.outputs[4], nullptr);
    EXPECT_EQ(o.settings.order, -1);
}

TEST(ParseCommandLine, AtMost256Sources) {
    std::vector<std::string> names;
    for (int i = 0; i < 257; ++i)
        names.push_back("f" + std::to_string(i) + ".wav");
    std::vector<const char*> args;
    for (int i = 0; i < 256; ++i)
        args.push_back(names[i].c_str());
    args.push_back("--output");
    args.push_back("last");
    const ProgramOptions& o = parse(args);
    ASSERT_EQ(o.sourceCount, 256);
    EXPECT_STREQ(o.sources[255], "f255.wav");
    EXPECT_STREQ(o.outputs[255], "last");
    args.push_back(names[256].c_str());
    EXPECT_EQ(parseError(args), "too many source files");
}

TEST(ParseCommandLine, LastOfSilentAndVerboseWins) {
    const ProgramOptions& a = parse({"--silent", "--verbose"});
    EXPECT_EQ(a.silent * 2 + a.verbose, 1);
    const ProgramOptions& b = parse({"--verbose", "--silent"});
    EXPECT_EQ(b.silent * 2 + b.verbose, 2);
}

TEST(Options, LookupNameAndEndsWithIgnoreCase) {
    const char* const table[] = {"fast", "normal", "fast", ""};
    EXPECT_EQ(lookupName("fast", table, 4), 0);
    EXPECT_EQ(lookupName("", table, 4), 3);
    EXPECT_EQ(lookupName("normal", table, 1), -1);
    EXPECT_EQ(lookupName("Fast", table, 4), -1);
    EXPECT_EQ(lookupName(nullptr, table, 4), -1);

    EXPECT_TRUE(endsWithIgnoreCase("music.WAV", ".wav"));
    EXPECT_TRUE(endsWithIgnoreCase("x.Elq", ".ELQ"));
    EXPECT_TRUE(endsWithIgnoreCase(".wav", ".wav"));
    EXPECT_TRUE(endsWithIgnoreCase("", ""));
    EXPECT_FALSE(endsWithIgnoreCase("wav", ".wav"));
    EXPECT_FALSE(endsWithIgnoreCase("music.wave", ".wav"));
    EXPECT_FALSE(endsWithIgnoreCase(nullptr, ""));
    EXPECT_FALSE(endsWithIgnoreCase("a.wav", nullptr));
}

}  // namespace
}  // namespace elq
