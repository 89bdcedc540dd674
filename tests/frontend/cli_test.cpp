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

const std::string kNotFound =
    "Exception FILENOTFOUND in file Unknown, line 0\nfunction CreateFile, code 2, No such file or "
    "directory\n";

TEST(Cli, ExitCodesAndConsoleStreams) {
    test::TempDir dir;
    const std::string usage = runElq({}, dir).err, banner = usage.substr(0, usage.find("Usage:"));
    EXPECT_EQ(banner.rfind("\nVelmaro Lossless WAVE Audio Coder (Win32), ", 0), 0u);
    EXPECT_NE(usage.find("\n\nUsage:\nelq.exe [command] [options] src1 [--output dst1]"), std::string::npos);
    EXPECT_EQ(usage.substr(usage.size() - 46), "\n  --sampletype {UINT8|SINT16|SINT24|SINT32}\n\n");
    EXPECT_NE(usage.find("  --optimize {none|fast*|normal|high|best|max}\n  --threads {0*|1..64}\n"
                         "  --ignore-chunk-sizes  read a WAVE file's samples up to its end\n  --raw "),
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
        {{"--mode", "high", "--optimize", "best"}, 0, "", banner},
        {{"--verbose", "--silent"}, 0, "", ""},  // the last of the two wins
        {{"--silent", "--verbose"}, 0, "", banner},
        // A name that no command word or extension takes ends the run; words without effect choose nothing.
        {{"--silent", "notes.txt", "other.txt"}, 1, "", unspecified("notes.txt")},
        {{"--verify", "--repair", "--speedtest", "song.wave"}, 1, "", banner + unspecified("song.wave")},
        // The extension decides without regard to case, a command word takes any name, and a
        // failed file ends the run before the next name.
        {{"--silent", "missing.WAV", "later.txt"}, 1, "", "Error processing WAVE file: \n" + kNotFound},
        {{"--silent", "missing.Elq", "later.txt"}, 1, "", "\n" + kNotFound},
        {{"--silent", "--decode", "missing.txt"}, 1, "", "\n" + kNotFound},
    };
    for (const Case& c : cases) {
        Outcome run = runElq(c.args, dir);
        SCOPED_TRACE(c.err);
        EXPECT_EQ(run.exitCode, c.exitCode);
        EXPECT_EQ(run.out, c.out);
        EXPECT_EQ(run.err, c.err);
    }
}

}  // namespace
}  // namespace elq
