// WAVE and ELQ streams as real tools write and read them, through pipes into the real executable:
// headers of unknown or placeholder length, RF64, ELQ files on standard input and output.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <string>
#include <thread>

#include "support/run_elq.h"
#include "support/signals.h"
#include "support/temp_dir.h"

namespace elq::test {
namespace {

// Runs elq with `input` arriving on standard input through a pipe (a FIFO fed by a thread).
Outcome runFed(const std::string& args, const TempDir& dir, const std::string& input) {
    const std::string fifo = dir.path("feed");
    std::filesystem::remove(fifo);
    EXPECT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    std::thread writer([&] {
        const int fd = open(fifo.c_str(), O_WRONLY);
        for (size_t at = 0; fd >= 0 && at < input.size();) {
            const ssize_t n = write(fd, input.data() + at, input.size() - at);
            if (n <= 0) break;  // the program stopped reading
            at += static_cast<size_t>(n);
        }
        if (fd >= 0) close(fd);
    });
    Outcome run = runElq(words("--silent " + args), dir, -1, fifo);
    writer.join();
    return run;
}

// A header as a tool writes it to a pipe: RIFF and data sizes as given, an `extra` chunk (if any) before
// the data, then 3000 frames of 16-bit stereo (or 24-bit) and a last partial frame.
std::string pipeStream(uint32_t riffSize, uint32_t dataSize, const char* extra = nullptr,
                       const Bytes& body = {}, bool wide = false) {
    const test::Format wide24{
        .tag = 0xFFFE, .blockAlign = 6, .bits = 24, .size = 40, .cbSize = 22, .validBits = 24};
    test::WaveBuilder builder;
    builder.format(wide ? wide24 : test::Format{});
    if (extra) builder.chunk(extra, body);
    Bytes file =
        builder.chunk("data", test::pcmSignal(Signal::Tones, wide ? 24 : 16, 2, 3000)).build(riffSize);
    test::put32(file, file.size() - 3000 * (wide ? 6 : 4) - 4, dataSize);
    file.insert(file.end(), {1, 2, 3});
    return std::string(file.begin(), file.end());
}

// What ffmpeg, sox and arecord write when their output is a pipe, encoded from standard input and
// decoded back to the very bytes of the stream. To standard output, a stream whose length shows
// only at its end is refused before anything is written, and one that ends before its stated length
// fails at its end.
TEST(Streams, HeadersToolsWriteToPipes) {
    TempDir dir;
    const Bytes software = {'I', 'N', 'F', 'O', 'I', 'S', 'F', 'T', 2, 0, 0, 0, 'x', 0};
    const struct {
        const char* tool;
        std::string stream;
        bool unknown;  // the header leaves the length open, else it states a placeholder
    } streams[] = {
        {"ffmpeg", pipeStream(0xFFFFFFFF, 0xFFFFFFFF, "LIST", software), true},
        {"sox", pipeStream(0x7FFFF024, 0x7FFFF000), false},
        {"sox 24-bit", pipeStream(0x7FFFF044, 0x7FFFEFFC, "fact", {0xAA, 0x52, 0x55, 0x15}, true), false},
        {"arecord", pipeStream(0x80000024, 0x80000000), false},
        {"no size", pipeStream(0, 0), true},
    };
    for (const auto& [tool, stream, unknown] : streams) {
        SCOPED_TRACE(tool);
        std::filesystem::remove(dir.path("s.elq"));
        Outcome run = runFed("--encode - --output s", dir, stream);
        ASSERT_EQ(run.exitCode, 0) << run.err;
        ASSERT_EQ(runElq({"--silent", "s.elq", "--output", "back.wav"}, dir).exitCode, 0);
        EXPECT_TRUE(sameBytes(dir.read("back.wav"), stream));
        Outcome out = runFed("--encode - --output -", dir, stream);
        EXPECT_EQ(out.exitCode, 1);
        EXPECT_NE(out.err.find(unknown ? "does not state its length" : "ended after 6000 of the"),
                  std::string::npos);
        EXPECT_TRUE(!unknown || out.out.empty());
    }
    // A named file with the same header is refused, unless its chunk sizes are to be ignored: then
    // the samples run to its end whatever the size says (3000 frames, not 20).
    dir.write("named.wav", streams[0].stream);
    EXPECT_EQ(runElq({"--silent", "named.wav"}, dir).exitCode, 1);
    for (const std::string& stream : {streams[0].stream, pipeStream(0x7FFFF024, 80)}) {
        dir.write("named.wav", stream);
        ASSERT_EQ(runElq({"--silent", "--ignore-chunk-sizes", "named.wav"}, dir).exitCode, 0);
        ASSERT_EQ(runElq({"--silent", "named.elq", "--output", "back.wav"}, dir).exitCode, 0);
        EXPECT_TRUE(sameBytes(dir.read("back.wav"), stream));
        EXPECT_NE(runElq({"--info", "named.elq"}, dir).out.find("0.1s"), std::string::npos);
    }
}

// ELQ files on standard output equal those written to a file; from standard input they decode with
// what follows TAIL ignored, and a stream cut short fails with the file's own report.
TEST(Streams, ElqOnStandardInputAndOutput) {
    TempDir dir;
    const std::string wave = test::waveText(Signal::Noise, 16, 2, 5000);
    dir.write("x.wav", wave);
    ASSERT_EQ(runElq({"--silent", "x.wav"}, dir).exitCode, 0);
    const std::string elq = dir.read("x.elq");
    Outcome out = runElq({"--silent", "--encode", "x.wav", "--output", "-"}, dir);
    EXPECT_EQ(out.exitCode, 0);
    EXPECT_TRUE(sameBytes(out.out, elq));
    Outcome decoded = runFed("--decode - --output -", dir, elq + "trailing junk");
    EXPECT_EQ(decoded.exitCode, 0) << decoded.err;
    EXPECT_TRUE(sameBytes(decoded.out, wave));
    dir.write("y.wav", "an earlier file");
    Outcome cut = runFed("--decode - --output y.wav", dir, elq.substr(0, elq.size() / 2));
    EXPECT_EQ(cut.exitCode, 1);
    EXPECT_NE(cut.err.find("UNEXPECTEDEOF"), std::string::npos);
    EXPECT_TRUE(dir.read("y.wav") == "an earlier file");
    // A total of 2^32 and more (an RF64 source's) bounds the blocks with all its 48 bits.
    std::string huge = elq;
    huge.replace(8, 6, std::string("\0\0\0\0\1\0", 6));
    dir.write("huge.elq", huge);
    ASSERT_EQ(runElq({"--silent", "huge.elq", "--output", "huge.wav"}, dir).exitCode, 0);
    EXPECT_TRUE(sameBytes(dir.read("huge.wav"), wave));
    EXPECT_NE(runElq({"--info", "huge.elq"}, dir).out.find("48695.8s"), std::string::npos);
}

}  // namespace
}  // namespace elq::test
