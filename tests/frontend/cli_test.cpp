// The program run as a real process: exit codes and what goes to which console stream.
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <string>

#include "support/run_elq.h"
#include "support/temp_dir.h"

namespace elq {
namespace {

using test::Outcome;
using test::runElq;

const std::string kBanner = "\nVelmaro Lossless WAVE Audio Coder (Win32), ";
const std::string kUnspecified = "Not yet implemented or unspecified operation for <";

bool endsWith(const std::string& text, const std::string& end) {
    return text.size() >= end.size() && text.compare(text.size() - end.size(), end.size(), end) == 0;
}

std::string report(const char* description) {
    return std::string("\n<Exception UNKNOWN in file Unknown, line 0\ndescription: ") + description + ">\n";
}

TEST(Cli, UsageWithoutArgumentsOrUnderHelp) {
    test::TempDir dir;
    Outcome run = runElq({}, dir);
    EXPECT_EQ(run.exitCode, 3);
    EXPECT_EQ(run.out, "");
    EXPECT_EQ(run.err.rfind(kBanner, 0), 0u);
    EXPECT_NE(run.err.find("\n\nUsage:\nelq.exe [command] [options] src1 [--output dst1]"),
              std::string::npos);
    EXPECT_TRUE(endsWith(run.err, "  --sampletype {UINT8|SINT16|SINT24|SINT32}\n\n"));

    // --help outranks every file and command, prints the same text on standard output and no banner before
    // it.
    dir.write("a.wav", "RIFF");
    Outcome help = runElq({"a.wav", "--help", "b.elq", "--silent", "c.txt"}, dir);
    EXPECT_EQ(help.exitCode, 0);
    EXPECT_EQ(help.err, "");
    EXPECT_EQ(help.out, run.err);
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir.path("")), {}), 1);  // nothing written
}

TEST(Cli, OptionErrorsComeBeforeHelpAndFilesAlsoWhenSilent) {
    test::TempDir dir;
    for (std::vector<std::string> args : {std::vector<std::string>{"--help", "x.wav", "--mode", "Fast"},
                                          {"--silent", "x.wav", "--mode", "Fast"}}) {
        Outcome run = runElq(args, dir);
        EXPECT_EQ(run.exitCode, 1);
        EXPECT_EQ(run.out, "");
        EXPECT_EQ(run.err, report("incorrect mode value"));
    }
    EXPECT_EQ(runElq({"--speed"}, dir).err, report("unknown command or parameter"));
    EXPECT_TRUE(std::filesystem::is_empty(dir.path("")));
}

TEST(Cli, OptionsWithoutSourcesSucceed) {
    test::TempDir dir;
    Outcome run = runElq({"--mode", "high", "--optimize", "best"}, dir);
    EXPECT_EQ(run.exitCode, 0);
    EXPECT_EQ(run.out, "");
    EXPECT_EQ(run.err.rfind(kBanner, 0), 0u);
    EXPECT_EQ(run.err.find("Usage:"), std::string::npos);
    EXPECT_TRUE(endsWith(run.err, "\n\n"));
    run = runElq({"--verbose", "--silent"}, dir);
    EXPECT_EQ(run.exitCode, 0);
    EXPECT_EQ(run.err, "");
}

TEST(Cli, EachSourceNeedsAnOperation) {
    test::TempDir dir;
    Outcome run = runElq({"--silent", "notes.txt", "other.txt"}, dir);
    EXPECT_EQ(run.exitCode, 1);
    EXPECT_EQ(run.out, "");
    EXPECT_EQ(run.err, kUnspecified + "notes.txt>\n");
    // --verify chooses no operation; the banner comes first unless silent.
    run = runElq({"--verify", "song.wave"}, dir);
    EXPECT_EQ(run.exitCode, 1);
    EXPECT_EQ(run.err.rfind(kBanner, 0), 0u);
    EXPECT_TRUE(endsWith(run.err, kUnspecified + "song.wave>\n"));
}

TEST(Cli, FailedFileEndsTheRunExceptUnderInfo) {
    test::TempDir dir;
    // The extension decides without regard to case; the failure stops the run before the next name.
    for (const char* first : {"missing.WAV", "missing.Elq"}) {
        Outcome run = runElq({"--silent", first, "later.txt"}, dir);
        EXPECT_EQ(run.exitCode, 1) << first;
        EXPECT_NE(run.err, "") << first;
        EXPECT_EQ(run.err.find("later.txt"), std::string::npos) << first;
    }
    // A command word takes any name; a listing never changes the exit code.
    EXPECT_EQ(runElq({"--silent", "--decode", "missing.txt"}, dir).err.find(kUnspecified), std::string::npos);
    dir.write("plain.txt", "not compressed");
    Outcome run = runElq({"--silent", "--info", "plain.txt", "missing.wav", "--encode"}, dir);
    EXPECT_EQ(run.exitCode, 0);
    EXPECT_EQ(run.err.find(kUnspecified), std::string::npos);
}

TEST(Cli, ClosedStandardOutputDoesNotKillTheProcess) {
    test::TempDir dir;
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
