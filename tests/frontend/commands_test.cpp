// The commands run as the real program: exit codes and what goes to which console stream, the
// encode, decode and info commands.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "support/run_elq.h"
#include "support/signals.h"
#include "support/temp_dir.h"

namespace elq::test {
namespace {

// Every signal, width and channel count survives encoding and decoding byte for byte, at
// lengths around the edges.
TEST(RoundTrip, EverySignalWidthAndLayout) {
    TempDir dir;
    std::vector<std::string> encodeArgs{"--silent"}, decodeArgs{"--silent"}, names;
    for (uint32_t bits : {8u, 16u, 24u, 32u})
        for (uint32_t channels : {1u, 2u})
            for (int kind = 0; kind <= static_cast<int>(Signal::LeftOnly); ++kind)
                for (uint32_t frames : {0u, 1u, 2u, 4999u}) {
                    const std::string name = std::string(test::signalName(Signal(kind))) + "_" +
                                             std::to_string(bits) + "_" + std::to_string(channels) + "_" +
                                             std::to_string(frames);
                    dir.write(name + ".wav", test::waveText(Signal(kind), bits, channels, frames));
                    names.push_back(name);
                    encodeArgs.insert(encodeArgs.end(), {name + ".wav", "--output", name + ".elq"});
                    decodeArgs.insert(decodeArgs.end(), {name + ".elq", "--output", name + ".out.wav"});
                }
    ASSERT_EQ(runElq(encodeArgs, dir).exitCode, 0);
    ASSERT_EQ(runElq(decodeArgs, dir).exitCode, 0);
    for (const std::string& name : names)
        EXPECT_TRUE(test::sameBytes(dir.read(name + ".out.wav"), dir.read(name + ".wav"))) << name;
}

// The names both commands choose, and the refusals before anything is written: an existing
// file under the output's name survives.
TEST(Commands, OutputNamesAndRefusals) {
    TempDir dir;
    const std::string wave = test::waveText(Signal::Tones, 16, 2, 100);
    for (const char* name : {"music.WAV", "noext", "a.elq", "x.wav"})
        dir.write(name, wave);
    std::filesystem::create_directory(dir.path("d.x"));
    dir.write("d.x/file", wave);
    ASSERT_EQ(runElq({"--silent", "x.wav"}, dir).exitCode, 0);
    std::filesystem::copy(dir.path("x.elq"), dir.path("z.elq"));
    std::filesystem::create_hard_link(dir.path("x.elq"), dir.path("link.wav"));
    const std::string same = "Source and destination must be different\n";
    const std::string stdio = "Incorrect usage for stdin or stdout\n";
    const std::string longest = std::string(150, 'd') + "/" + std::string(144, 'n');  // with ".elq": 299
    std::filesystem::create_directory(dir.path(std::string(150, 'd')));
    dir.write(longest, wave);
    dir.write(longest + "n", wave);
    std::string floats = test::waveText(Signal::Tones, 32, 1, 10);
    floats[20] = 3;  // IEEE floating point
    dir.write("float.wav", floats);
    dir.write("three.wav", test::waveText(Signal::Tones, 16, 3, 10));
    dir.write("bad.wav", "RIFX....WAVEfmt ");
    dir.write("foreign.elq", "RIFF....WAVE");
    for (const char* name : {"float.elq", "three.elq", "bad.elq", "foreign.wav"})
        dir.write(name, "precious");
    const struct {
        std::string args, created, err;
    } cases[] = {
        {"music.WAV", "music.elq", ""},
        {"--encode noext", "noext.elq", ""},
        {"--encode d.x/file", "d.elq", ""},  // cut at the last dot anywhere in the name
        {"music.WAV --output out", "out.elq", ""},
        {"music.WAV --output OUT2.ELQ", "OUT2.ELQ", ""},
        {"--encode " + longest, longest + ".elq", ""},
        {"z.elq", "z.wav", ""},
        {"x.elq --output y", "y.wav", ""},
        {"x.elq --output Y2.WAV", "Y2.WAV", ""},
        {"--encode " + longest + "n", "", "Output file name is too long\n"},
        {"--encode a.elq", "", same},
        {"--encode ./a.elq --output a.elq", "", same},  // another spelling of the same file
        {"x.elq --output link.wav", "", same},          // a hard link is the source itself
        {"--encode -", "", stdio},
        {"--decode -", "", stdio},
        {"float.wav", "", "Sample type not yet implemented\n"},
        {"three.wav", "", "Channel configuration not yet implemented\n"},
        {"bad.wav", "", "Error processing WAVE file: \nRIFF is not present at offset 0\n"},
        {"foreign.elq", "", "Not an ELQ file\n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.args);
        Outcome run = runElq(words("--silent " + c.args), dir);
        EXPECT_EQ(run.exitCode, c.err.empty() ? 0 : 1);
        EXPECT_EQ(run.err, c.err);
        EXPECT_TRUE(c.created.empty() || std::filesystem::exists(dir.path(c.created)));
    }
    EXPECT_FALSE(std::filesystem::exists(dir.path("OUT2.ELQ.elq")));
    EXPECT_EQ(dir.read("a.elq"), wave);
    EXPECT_EQ(dir.read("z.wav"), wave);
    for (const char* name : {"float.elq", "three.elq", "bad.elq", "foreign.wav"})
        EXPECT_EQ(dir.read(name), "precious") << name;

    Outcome piped = runElq(words("--silent --encode - --output piped"), dir, -1, dir.path("x.wav"));
    EXPECT_EQ(piped.exitCode, 0);
    EXPECT_EQ(dir.read("piped.elq"), dir.read("x.elq"));
    Outcome toStdout = runElq({"x.elq", "--output", "-"}, dir);
    EXPECT_EQ(toStdout.exitCode, 0);
    EXPECT_EQ(toStdout.out, wave);
    EXPECT_NE(toStdout.err.find("ELQ: <x.elq>\nWAV: <->\n"), std::string::npos);
}

TEST(InfoCommand, Listing) {
    TempDir dir;
    // 100 bytes that claim 100 16-bit values: 10000 / 201 per cent.
    const std::string header = std::string("ELQ \x0c\0\0\0\x64\0\0\0\0\0\x03\x01\x44\xac\0\0", 20);
    const std::string longName = std::string(40, 'n') + ".elq";
    dir.write("hundred.elq", header + std::string(80, '\0'));
    dir.write(longName, header + std::string(80, '\0'));
    dir.write("plain.txt", "not compressed");
    Outcome run = runElq({"--silent", "--info", "hundred.elq", "plain.txt", "missing.elq", longName}, dir);
    EXPECT_EQ(run.exitCode, 0);
    EXPECT_EQ(run.out,
              "Filename                          Sampling Channels Type        Length   Ratio\n\n"
              "hundred.elq                          44100 Hz  1    SINT16         0.0s  49.75%\n"
              "plain.txt                            -- not an ELQ file -- \n" +
                  std::string(35, 'n') + "  44100 Hz  1    SINT16         0.0s  49.75%\n");
    EXPECT_NE(run.err.find("Exception FILENOTFOUND in file Unknown, line 0\nfunction CreateFile, code 2, "),
              std::string::npos);
}

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
    TempDir dir;
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
        // A directory is no file to read.
        {{"--silent", "--decode", "."}, 1, "", "\n" + kNotFound.substr(0, 73) + "21, Is a directory\n"},
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
}  // namespace elq::test
