// The program run as a real process: exit codes and what goes to which console stream.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "support/run_elq.h"
#include "support/temp_dir.h"

namespace elq {
namespace {

using test::Outcome;
using test::runElq;

std::string report(const char* description) {
    return std::string("\n<Exception UNKNOWN in file Unknown, line 0\ndescription: ") + description + ">\n";
}

std::string unspecified(const char* name) {
    return std::string("Not yet implemented or unspecified operation for <") + name + ">\n";
}

TEST(Cli, ExitCodesAndConsoleStreams) {
    test::TempDir dir;
    const std::string usage = runElq({}, dir).err, banner = usage.substr(0, usage.find("Usage:"));
    EXPECT_EQ(banner.rfind("\nVelmaro Lossless WAVE Audio Coder (Win32), ", 0), 0u);
    EXPECT_NE(usage.find("\n\nUsage:\nelq.exe [command] [options] src1 [--output dst1]"), std::string::npos);
    EXPECT_EQ(usage.substr(usage.size() - 46), "\n  --sampletype {UINT8|SINT16|SINT24|SINT32}\n\n");
    EXPECT_NE(usage.find("  --optimize {none|fast*|normal|high|best}\n  --threads {0*|1..64}\n  --raw "),
              std::string::npos);
    struct Case {
        std::vector<std::string> args;
        int exitCode;
        std::string out, err;
    };
    const Case cases[] = {
        {{}, 3, "", usage},
        // --help outranks files and commands; the usage carries its own banner.
        {{"a.wav", "--help", "b.elq", "--silent", "c.txt"}, 0, usage, ""},
        // An option error outranks --help and is reported also when silent, before any file.
        {{"--help", "x.wav", "--mode", "Fast"}, 1, "", report("incorrect mode value")},
        {{"--silent", "x.wav", "--mode", "Fast"}, 1, "", report("incorrect mode value")},
        {{"--speed"}, 1, "", report("unknown command or parameter")},
        {{"--mode", "high", "--optimize", "best"}, 0, "", banner},
        {{"--verbose", "--silent"}, 0, "", ""},  // the last of the two wins
        {{"--silent", "--verbose"}, 0, "", banner},
        // A name that no command word or extension takes ends the run; words without effect choose nothing.
        {{"--silent", "notes.txt", "other.txt"}, 1, "", unspecified("notes.txt")},
        {{"--verify", "--repair", "--speedtest", "song.wave"}, 1, "", banner + unspecified("song.wave")},
    };
    for (const Case& c : cases) {
        Outcome run = runElq(c.args, dir);
        EXPECT_EQ(run.exitCode, c.exitCode) << c.err;
        EXPECT_EQ(run.out, c.out) << c.err;
        EXPECT_EQ(run.err, c.err);
    }
}

TEST(Cli, FailedFileEndsTheRunExceptUnderInfo) {
    test::TempDir dir;
    // The extension decides without regard to case; the failure ends the run before the next name.
    for (const char* first : {"missing.WAV", "missing.Elq"}) {
        Outcome run = runElq({"--silent", first, "later.txt"}, dir);
        EXPECT_EQ(run.exitCode, 1) << first;
        EXPECT_NE(run.err, "") << first;
        EXPECT_EQ(run.err.find("later.txt"), std::string::npos) << first;
    }
    // A command word takes any name; a listing never changes the exit code.
    EXPECT_EQ(runElq({"--silent", "--decode", "missing.txt"}, dir).err.find("unspecified"),
              std::string::npos);
    dir.write("plain.txt", "not compressed");
    Outcome run = runElq({"--silent", "--info", "plain.txt", "missing.wav", "--encode"}, dir);
    EXPECT_EQ(run.exitCode, 0);
    EXPECT_EQ(run.err.find("unspecified"), std::string::npos);
}

}  // namespace
}  // namespace elq
