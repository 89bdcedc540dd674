// The encode, decode and info commands run as the real program.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "support/run_elq.h"
#include "support/signals.h"
#include "support/temp_dir.h"

namespace elq {
namespace {

using test::Outcome;
using test::runElq;
using test::Signal;
using test::TempDir;

std::string asText(const std::vector<uint8_t>& bytes) {
    return std::string(bytes.begin(), bytes.end());
}

bool contains(const std::string& text, const std::string& part) {
    return text.find(part) != std::string::npos;
}

std::string stereoWave(uint32_t frames = 3000) {
    return asText(test::waveFile(test::pcmSignal(Signal::Tones, 16, 2, frames), 16, 2));
}

bool exists(const TempDir& dir, const std::string& name) {
    return std::filesystem::exists(dir.path(name));
}

// Every signal, width and channel count survives encoding and decoding byte for byte, with
// and without the search, at lengths around the edges.
TEST(RoundTrip, EverySignalWidthAndLayout) {
    TempDir dir;
    std::vector<std::string> encodeArgs{"--silent"}, decodeArgs{"--silent"}, names;
    const Signal kinds[] = {Signal::Silence, Signal::Tones,         Signal::Noise,        Signal::Square,
                            Signal::Dc,      Signal::PaddedClipped, Signal::TwinChannels, Signal::LeftOnly};
    for (uint32_t bits : {8u, 16u, 24u, 32u}) {
        for (uint32_t channels : {1u, 2u}) {
            for (Signal kind : kinds) {
                for (uint32_t frames : {0u, 1u, 2u, 4999u}) {
                    std::string name = std::string(test::signalName(kind)) + "_" + std::to_string(bits) +
                                       "_" + std::to_string(channels) + "_" + std::to_string(frames);
                    dir.write(
                        name + ".wav",
                        test::waveFile(test::pcmSignal(kind, bits, channels, frames, bits), bits, channels));
                    names.push_back(name);
                    encodeArgs.insert(encodeArgs.end(), {name + ".wav", "--output", name + ".elq"});
                    decodeArgs.insert(decodeArgs.end(), {name + ".elq", "--output", name + ".out.wav"});
                }
            }
        }
    }
    for (const char* mode : {"fast", "normal"}) {
        for (const char* optimize : {"none", "fast"}) {
            std::vector<std::string> args = encodeArgs;
            args.insert(args.end(), {"--mode", mode, "--optimize", optimize});
            Outcome encode = runElq(args, dir);
            ASSERT_EQ(encode.exitCode, 0) << encode.err;
            Outcome decode = runElq(decodeArgs, dir);
            ASSERT_EQ(decode.exitCode, 0) << decode.err;
            for (const std::string& name : names) {
                ASSERT_EQ(test::readWholeFile(dir.path(name + ".out.wav")),
                          test::readWholeFile(dir.path(name + ".wav")))
                    << name << " " << mode << " " << optimize;
            }
        }
    }
}

TEST(EncodeCommand, OutputNames) {
    TempDir dir;
    std::string wave = stereoWave(100);
    dir.write("music.WAV", wave);
    EXPECT_EQ(runElq({"--silent", "music.WAV"}, dir).exitCode, 0);
    EXPECT_TRUE(exists(dir, "music.elq"));
    dir.write("noext", wave);
    EXPECT_EQ(runElq({"--silent", "--encode", "noext"}, dir).exitCode, 0);
    EXPECT_TRUE(exists(dir, "noext.elq"));
    std::filesystem::create_directory(dir.path("d.x"));
    dir.write("d.x/file", wave);
    EXPECT_EQ(runElq({"--silent", "--encode", "d.x/file"}, dir).exitCode, 0);
    EXPECT_TRUE(exists(dir, "d.elq"));  // cut at the last dot anywhere in the name
    EXPECT_EQ(runElq({"--silent", "music.WAV", "--output", "out"}, dir).exitCode, 0);
    EXPECT_TRUE(exists(dir, "out.elq"));
    EXPECT_EQ(runElq({"--silent", "music.WAV", "--output", "OUT2.ELQ"}, dir).exitCode, 0);
    EXPECT_TRUE(exists(dir, "OUT2.ELQ"));
    EXPECT_FALSE(exists(dir, "OUT2.ELQ.elq"));
}

TEST(EncodeCommand, NeverWritesOverItsSource) {
    TempDir dir;
    std::string wave = stereoWave(100);
    dir.write("a.elq", wave);
    Outcome same = runElq({"--silent", "--encode", "a.elq"}, dir);
    EXPECT_EQ(same.exitCode, 1);
    EXPECT_EQ(same.err, "Source and destination must be different\n");
    // Another spelling of the same file is refused too, and the source stays whole.
    Outcome other = runElq({"--silent", "--encode", "./a.elq", "--output", "a.elq"}, dir);
    EXPECT_EQ(other.exitCode, 1);
    EXPECT_EQ(other.err, "Source and destination must be different\n");
    EXPECT_EQ(test::readWholeFile(dir.path("a.elq")), wave);
}

TEST(EncodeCommand, StandardInput) {
    TempDir dir;
    std::string wave = stereoWave(20000);
    std::string source = dir.write("in.wav", wave);
    Outcome piped = runElq({"--silent", "--encode", "-", "--output", "piped"}, dir, -1, source);
    ASSERT_EQ(piped.exitCode, 0) << piped.err;
    ASSERT_EQ(runElq({"--silent", "in.wav"}, dir).exitCode, 0);
    EXPECT_EQ(test::readWholeFile(dir.path("piped.elq")), test::readWholeFile(dir.path("in.elq")));
    for (const std::vector<std::string>& args : std::vector<std::vector<std::string>>{
             {"--encode", "-"}, {"in.wav", "--output", "-"}, {"--decode", "-", "--output", "x.wav"}}) {
        Outcome refused = runElq(args, dir, -1, source);
        EXPECT_EQ(refused.exitCode, 1);
        EXPECT_TRUE(contains(refused.err, "Incorrect usage for stdin or stdout\n"));
    }
}

TEST(EncodeCommand, RefusesWhatItCannotCompress) {
    TempDir dir;
    std::vector<uint8_t> floats = test::waveFile(test::pcmSignal(Signal::Tones, 32, 1, 10), 32, 1);
    floats[20] = 3;  // IEEE floating point
    dir.write("float.wav", floats);
    Outcome run = runElq({"--silent", "float.wav"}, dir);
    EXPECT_EQ(run.exitCode, 1);
    EXPECT_EQ(run.err, "Sample type not yet implemented\n");
    dir.write("three.wav", test::waveFile(test::pcmSignal(Signal::Tones, 16, 3, 10), 16, 3));
    run = runElq({"--silent", "three.wav"}, dir);
    EXPECT_EQ(run.exitCode, 1);
    EXPECT_EQ(run.err, "Channel configuration not yet implemented\n");
    dir.write("bad.wav", "RIFX");
    run = runElq({"--silent", "bad.wav"}, dir);
    EXPECT_EQ(run.exitCode, 1);
    EXPECT_TRUE(contains(run.err, "Error processing WAVE file: \n"));
    EXPECT_FALSE(exists(dir, "float.elq") || exists(dir, "three.elq") || exists(dir, "bad.elq"));
}

TEST(DecodeCommand, OutputNamesAndStandardOutput) {
    TempDir dir;
    std::string wave = stereoWave();
    dir.write("x.wav", wave);
    ASSERT_EQ(runElq({"--silent", "x.wav"}, dir).exitCode, 0);
    std::filesystem::remove(dir.path("x.wav"));
    EXPECT_EQ(runElq({"--silent", "x.elq"}, dir).exitCode, 0);
    EXPECT_EQ(test::readWholeFile(dir.path("x.wav")), wave);
    EXPECT_EQ(runElq({"--silent", "x.elq", "--output", "y"}, dir).exitCode, 0);
    EXPECT_TRUE(exists(dir, "y.wav"));
    EXPECT_EQ(runElq({"--silent", "x.elq", "--output", "Y2.WAV"}, dir).exitCode, 0);
    EXPECT_TRUE(exists(dir, "Y2.WAV"));
    Outcome toStdout = runElq({"x.elq", "--output", "-"}, dir);
    EXPECT_EQ(toStdout.exitCode, 0);
    EXPECT_EQ(toStdout.out, wave);
    EXPECT_TRUE(contains(toStdout.err, "ELQ: <x.elq>\nWAV: <->\n"));
    // A hard link under the output's name is the source itself.
    std::filesystem::create_hard_link(dir.path("x.elq"), dir.path("link.wav"));
    Outcome self = runElq({"--silent", "x.elq", "--output", "link.wav"}, dir);
    EXPECT_EQ(self.exitCode, 1);
    EXPECT_EQ(self.err, "Source and destination must be different\n");
}

TEST(DecodeCommand, ForeignAndDamagedFilesFailCleanly) {
    TempDir dir;
    std::string wave = stereoWave(20000);
    dir.write("x.wav", wave);
    ASSERT_EQ(runElq({"--silent", "x.wav"}, dir).exitCode, 0);
    std::string elq = test::readWholeFile(dir.path("x.elq"));

    // A foreign file is refused before the output is created: an existing file survives.
    dir.write("foreign.elq", "RIFF....WAVE");
    dir.write("foreign.wav", "precious");
    Outcome foreign = runElq({"--silent", "foreign.elq"}, dir);
    EXPECT_EQ(foreign.exitCode, 1);
    EXPECT_EQ(foreign.err, "Not an ELQ file\n");
    EXPECT_EQ(test::readWholeFile(dir.path("foreign.wav")), "precious");

    for (size_t cut : {size_t{30}, size_t{100}, elq.size() / 2, elq.size() - 3}) {
        dir.write("cut.elq", elq.substr(0, cut));
        Outcome run = runElq({"--silent", "cut.elq"}, dir);
        EXPECT_EQ(run.exitCode, 1) << cut;
        EXPECT_TRUE(contains(run.err, "Exception UNEXPECTEDEOF in file Unknown, line 0\nfunction readMin"))
            << cut;
    }

    // The block's length field is not needed to find the next section.
    const size_t blockStart = 28 + 44;
    ASSERT_EQ(elq.substr(blockStart, 4), "COMP");
    std::string lengthless = elq;
    lengthless[blockStart + 5] ^= 0x55;
    dir.write("lengthless.elq", lengthless);
    EXPECT_EQ(runElq({"--silent", "lengthless.elq"}, dir).exitCode, 0);
    EXPECT_EQ(test::readWholeFile(dir.path("lengthless.wav")), wave);

    // A block word that no encoder writes is refused with a description.
    for (size_t at : {blockStart + 16, blockStart + 17, blockStart + 18, blockStart + 19}) {
        std::string damaged = elq;
        damaged[at] = static_cast<char>(0xEE);
        dir.write("word.elq", damaged);
        Outcome run = runElq({"--silent", "word.elq"}, dir);
        EXPECT_EQ(run.exitCode, 1);
        EXPECT_TRUE(
            contains(run.err, "Exception UNKNOWN in file Unknown, line 0\ndescription: damaged block"))
            << at;
    }
}

// Flipped and truncated bytes anywhere: every run ends with a report or a (wrong) file,
// never with a signal or a hang.
TEST(DecodeCommand, DamagedFilesEndCleanly) {
    TempDir dir;
    dir.write("s.wav", test::waveFile(test::pcmSignal(Signal::Tones, 16, 2, 9000), 16, 2));
    dir.write("m.wav", test::waveFile(test::pcmSignal(Signal::Noise, 24, 1, 9000), 24, 1));
    ASSERT_EQ(
        runElq({"--silent", "s.wav", "m.wav", "--output", "m_golomb", "--optimize", "best"}, dir).exitCode,
        0);
    ASSERT_EQ(runElq({"--silent", "m.wav", "--output", "m_energy", "--optimize", "none"}, dir).exitCode, 0);
    uint32_t state = 12345;
    for (const char* name : {"s.elq", "m_golomb.elq", "m_energy.elq"}) {
        const std::string elq = test::readWholeFile(dir.path(name));
        for (int trial = 0; trial < 60; ++trial) {
            state = state * 1103515245u + 12345u;
            size_t at = (state >> 8) % elq.size();
            std::string damaged = trial % 3 == 0 ? elq.substr(0, at) : elq;
            if (trial % 3 != 0) damaged[at] = static_cast<char>(damaged[at] ^ (1 + (state >> 24) % 255));
            dir.write("d.elq", damaged);
            Outcome run = runElq({"--silent", "d.elq"}, dir);
            ASSERT_TRUE(run.exited) << name << " byte " << at << " ended by signal " << -run.exitCode;
            EXPECT_TRUE(run.exitCode == 0 || run.exitCode == 1) << name << " byte " << at;
        }
    }
}

TEST(InfoCommand, Listing) {
    TempDir dir;
    // 100 bytes that claim 100 16-bit values: 10000 / 201 per cent.
    std::string header = std::string("ELQ ") + std::string("\x0c\0\0\0", 4) +
                         std::string("\x64\0\0\0\0\0", 6) + std::string("\x03\x01", 2) +
                         std::string("\x44\xac\0\0", 4);
    dir.write("hundred.elq", header + std::string(100 - header.size(), '\0'));
    dir.write("plain.txt", "not compressed");
    const std::string longName = std::string(40, 'n') + ".elq";
    dir.write(longName, header + std::string(100 - header.size(), '\0'));
    Outcome run = runElq({"--silent", "--info", "hundred.elq", "plain.txt", "missing.elq", longName}, dir);
    EXPECT_EQ(run.exitCode, 0);
    EXPECT_EQ(run.out,
              "Filename                          Sampling Channels Type        Length   Ratio\n\n"
              "hundred.elq                          44100 Hz  1    SINT16         0.0s  49.75%\n"
              "plain.txt                            -- not an ELQ file -- \n" +
                  std::string(35, 'n') + "  44100 Hz  1    SINT16         0.0s  49.75%\n");
    EXPECT_TRUE(
        contains(run.err, "Exception FILENOTFOUND in file Unknown, line 0\nfunction CreateFile, code 2, "));
}

}  // namespace
}  // namespace elq
