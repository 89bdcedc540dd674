// The program run as a real process: exit codes and what goes to which console stream.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <string>
#include <vector>

#include "support/run_elq.h"
#include "support/temp_dir.h"

namespace elq {
namespace {

using test::Outcome;
using test::runElq;
using test::TempDir;

const std::string kTitle = "Velmaro Lossless WAVE Audio Coder (Win32), ";

bool startsWith(const std::string& text, const std::string& start) {
    return text.rfind(start, 0) == 0;
}

bool endsWith(const std::string& text, const std::string& end) {
    return text.size() >= end.size() && text.compare(text.size() - end.size(), end.size(), end) == 0;
}

std::string report(const char* description) {
    return std::string("\n<Exception UNKNOWN in file Unknown, line 0\ndescription: ") + description + ">\n";
}

TEST(Cli, NoArgumentsPrintsUsageOnStandardErrorAndExitsThree) {
    TempDir dir;
    Outcome run = runElq({}, dir);
    ASSERT_TRUE(run.exited);
    EXPECT_EQ(run.exitCode, 3);
    EXPECT_EQ(run.out, "");
    EXPECT_TRUE(startsWith(run.err, "\n" + kTitle));
    EXPECT_NE(run.err.find("\n\nUsage:\nelq.exe [command] [options] src1 [--output dst1]"),
              std::string::npos);
    EXPECT_TRUE(endsWith(run.err, "  --sampletype {UINT8|SINT16|SINT24|SINT32}\n\n"));
}

TEST(Cli, HelpWinsOverEverythingButAnOptionError) {
    TempDir dir;
    dir.write("a.wav", "RIFF");
    Outcome run = runElq({"a.wav", "--help", "b.elq", "--silent", "c.txt"}, dir);
    EXPECT_EQ(run.exitCode, 0);
    EXPECT_EQ(run.err, "");
    EXPECT_TRUE(startsWith(run.out, "\n" + kTitle));
    EXPECT_EQ(run.out.find(kTitle, 2), std::string::npos);  // no banner before the usage's own
    EXPECT_NE(run.out.find("  --help              display this help message\n"), std::string::npos);
    EXPECT_NE(run.out.find("  --optimize {none|fast*|normal|high|best}\n  --threads {0*|1..64}\n  --raw "),
              std::string::npos);
    EXPECT_EQ(std::filesystem::directory_iterator(dir.path(""))->path().filename(), "a.wav");

    // The usage is the same text on either stream.
    EXPECT_EQ(runElq({}, dir).err, run.out);

    run = runElq({"--help", "--mode"}, dir);
    EXPECT_EQ(run.exitCode, 1);
    EXPECT_EQ(run.out, "");
    EXPECT_EQ(run.err, report("parameter missing after --mode"));
}

TEST(Cli, OptionErrorIsReportedBeforeAnyFileAlsoWhenSilent) {
    TempDir dir;
    for (std::vector<std::string> args : {std::vector<std::string>{"x.wav", "--mode", "Fast"},
                                          std::vector<std::string>{"--silent", "x.wav", "--mode", "Fast"}}) {
        Outcome run = runElq(args, dir);
        EXPECT_EQ(run.exitCode, 1);
        EXPECT_EQ(run.out, "");
        EXPECT_EQ(run.err, report("incorrect mode value"));
    }
    EXPECT_EQ(runElq({"--speed"}, dir).err, report("unknown command or parameter"));
    EXPECT_TRUE(std::filesystem::is_empty(dir.path("")));  // nothing touched
}

TEST(Cli, OptionsWithoutSourcesSucceed) {
    TempDir dir;
    Outcome run = runElq({"--mode", "high", "--optimize", "best"}, dir);
    EXPECT_EQ(run.exitCode, 0);
    EXPECT_EQ(run.out, "");
    EXPECT_TRUE(startsWith(run.err, "\n" + kTitle));
    EXPECT_TRUE(endsWith(run.err, "\n\n"));
    EXPECT_EQ(run.err.find("Usage:"), std::string::npos);

    run = runElq({"--verbose", "--silent"}, dir);
    EXPECT_EQ(run.exitCode, 0);
    EXPECT_EQ(run.err, "");
    EXPECT_EQ(runElq({"--silent", "--verbose"}, dir).err.find(kTitle), 1u);
}

TEST(Cli, SourceWithoutCommandOrKnownExtension) {
    TempDir dir;
    Outcome run = runElq({"--silent", "notes.txt", "other.txt"}, dir);
    EXPECT_EQ(run.exitCode, 1);
    EXPECT_EQ(run.out, "");
    EXPECT_EQ(run.err, "Not yet implemented or unspecified operation for <notes.txt>\n");

    run = runElq({"song.wave"}, dir);
    EXPECT_EQ(run.exitCode, 1);
    EXPECT_TRUE(startsWith(run.err, "\n" + kTitle));
    EXPECT_TRUE(endsWith(run.err, "Not yet implemented or unspecified operation for <song.wave>\n"));
    // --verify does not choose an operation.
    EXPECT_EQ(runElq({"--silent", "--verify", "x"}, dir).err,
              "Not yet implemented or unspecified operation for <x>\n");
}

TEST(Cli, FailedFileEndsTheRunExceptUnderInfo) {
    TempDir dir;
    // The missing WAVE file fails to encode; the run stops before the name no command takes.
    for (const char* first : {"missing.WAV", "missing.Elq"}) {
        Outcome run = runElq({"--silent", first, "later.txt"}, dir);
        EXPECT_EQ(run.exitCode, 1) << first;
        EXPECT_EQ(run.err.find("later.txt"), std::string::npos) << first;
    }
    // A command word takes any name; a listing never changes the exit code.
    EXPECT_EQ(runElq({"--silent", "--decode", "missing.txt"}, dir).err.find("Not yet implemented"),
              std::string::npos);
    dir.write("plain.txt", "not compressed");
    Outcome run = runElq({"--silent", "--info", "plain.txt", "missing.wav", "--encode"}, dir);
    EXPECT_EQ(run.exitCode, 0);
    EXPECT_EQ(run.err.find("Not yet implemented"), std::string::npos);
}

TEST(Cli, ClosedStandardOutputDoesNotKillTheProcess) {
    TempDir dir;
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    close(fds[0]);  // nobody reads
    Outcome run = runElq({"--help"}, dir, fds[1]);
    close(fds[1]);
    EXPECT_TRUE(run.exited);
    EXPECT_EQ(run.exitCode, 0);
}

}  // namespace
}  // namespace elq
