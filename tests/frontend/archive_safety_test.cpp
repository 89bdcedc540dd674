// What an archiver must never do, through the real executable: drop a source byte, leave a
// partial or temporary file behind, replace a good file with a failed one, or call a damaged
// file intact.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "foundation/digest.h"
#include "support/elq_blocks.h"
#include "support/run_elq.h"
#include "support/signals.h"
#include "support/temp_dir.h"

namespace elq::test {
namespace {

std::string md5Hex(const std::string& bytes) {
    Md5 md5;
    md5.update(bytes.data(), bytes.size());
    uint8_t digest[16];
    md5.finish(digest);
    char hex[33];
    formatMd5(digest, hex);
    return hex;
}

size_t entries(const TempDir& dir) {
    return static_cast<size_t>(std::distance(std::filesystem::directory_iterator(dir.path("")), {}));
}

// Bytes past the RIFF chunk (a tag) and a RIFF size 8 too large come back whole, with and without
// checksums; a checksummed file decodes as well with its checksum section cut off, and a changed
// byte in HEAD, a block or TAIL is named, by decoding and by --verify alike, while the .wav of the
// same name stays as it was.
TEST(ArchiveSafety, EveryByteKeptAndEveryChangeFound) {
    TempDir dir;
    const std::string plain = test::waveText(Signal::Tones, 16, 2, 30000);
    std::string tagged = plain + "TAG" + std::string(125, 'x'), overshoot = plain;
    overshoot[4] = static_cast<char>(overshoot[4] + 8);
    for (const std::string& wave : {overshoot, tagged}) {
        for (const char* crc : {"", "--crc "}) {
            dir.write("x.wav", wave);
            ASSERT_EQ(runElq(words(std::string("--silent ") + crc + "x.wav"), dir).exitCode, 0) << crc;
            ASSERT_EQ(runElq({"--silent", "x.elq", "--output", "back.wav"}, dir).exitCode, 0);
            EXPECT_TRUE(sameBytes(dir.read("back.wav"), wave)) << crc;
        }
    }
    const std::string elq = dir.read("x.elq");  // the tagged source, checksummed
    const size_t sums = elq.rfind("SUMS"), tail = elq.rfind("TAIL", sums);
    const std::vector<test::BlockAt> blocks = test::blocksOf(elq);
    ASSERT_FALSE(blocks.empty());
    Outcome verdict = runElq({"--verify", "x.elq"}, dir);
    EXPECT_EQ(verdict.exitCode, 0);
    EXPECT_NE(verdict.err.find("Verified: <x.elq> is intact, MD5 " + md5Hex(tagged)), std::string::npos)
        << verdict.err;

    dir.write("cut.elq", elq.substr(0, sums));
    ASSERT_EQ(runElq({"--silent", "cut.elq"}, dir).exitCode, 0);
    EXPECT_TRUE(sameBytes(dir.read("cut.wav"), tagged));
    const std::pair<size_t, std::string> changes[] = {
        {40, "the stored WAVE header (HEAD) is damaged"},
        {blocks[0].offset + 300, "block 1"},
        {tail + 9, "the stored bytes after the samples (TAIL) are damaged"},
        {blocks[0].offset + 5, "the header or a block head is damaged"},  // the unread length field
        {sums + 20, "the checksum section is damaged"},
    };
    for (const auto& [offset, named] : changes) {
        SCOPED_TRACE(named);
        std::string damaged = elq;
        damaged[offset] = static_cast<char>(damaged[offset] ^ 0x10);
        dir.write("d.elq", damaged);
        dir.write("d.wav", "an earlier file");
        for (const char* test : {"", "--verify"}) {
            Outcome run = runElq(words(std::string("--silent ") + test + " d.elq"), dir);
            EXPECT_EQ(run.exitCode, 1);
            EXPECT_NE(run.err.find(named), std::string::npos) << run.err;
            EXPECT_TRUE(dir.read("d.wav") == "an earlier file");
        }
    }
}

// --verify decodes the finished file again before it takes the output's name: from disk against
// the source (a file, or standard input through a hash), or block by block into a device. A
// byte changed on the way fails the file and leaves the earlier output as it was; a damaged TAIL
// length field makes a decoded file that ends 32 bytes early.
TEST(ArchiveSafety, VerifiedEncodingKeepsNothingThatDoesNotDecodeToTheSource) {
    TempDir dir;
    const test::Bytes bytes = test::WaveBuilder()
                                  .format({.channels = 1, .blockAlign = 3, .bits = 24})
                                  .chunk("data", test::pcmSignal(Signal::Noise, 24, 1, 50000))
                                  .chunk("LIST", test::patternBytes(30, 1))  // TAIL holds 38 bytes
                                  .build();
    const std::string wave(bytes.begin(), bytes.end()), source = dir.write("x.wav", wave);
    for (const std::string args : {"x.wav", "--encode - --output x.elq", "x.wav --output /dev/null"}) {
        SCOPED_TRACE(args);
        dir.write("x.elq", "an earlier file");
        Outcome good = runElq(words("--verify " + args), dir, -1, source);
        EXPECT_EQ(good.exitCode, 0) << good.err;
        EXPECT_NE(good.err.find("Verified: the ELQ file decodes to the source"), std::string::npos);
        if (args == "x.wav --output /dev/null") continue;
        const std::string elq = dir.read("x.elq");
        ASSERT_EQ(runElq({"--silent", "x.elq", "--output", "back.wav"}, dir).exitCode, 0);
        EXPECT_TRUE(sameBytes(dir.read("back.wav"), wave));
        const size_t tailLength = test::blocksOf(elq).back().end() + 4;
        for (size_t offset : {size_t{40}, elq.size() / 2, tailLength}) {
            dir.write("x.elq", "an earlier file");
            const size_t before = entries(dir);
            Outcome bad = runElq(words("--verify " + args), dir, -1, source, [offset] {
                setenv("ELQ_TEST_DAMAGE_BEFORE_VERIFY", std::to_string(offset).c_str(), 1);
            });
            EXPECT_EQ(bad.exitCode, 1);
            EXPECT_NE(bad.err.find("Verification failed"), std::string::npos) << bad.err;
            if (offset == tailLength && args == "x.wav") {
                EXPECT_NE(bad.err.find("the decoded file differs from the source at byte " +
                                       std::to_string(wave.size() - 32)),
                          std::string::npos)
                    << bad.err;
            }
            EXPECT_TRUE(dir.read("x.elq") == "an earlier file");
            EXPECT_EQ(entries(dir), before);
        }
    }
}

// SIGINT and SIGTERM in the middle of an encode (fed through a pipe) and of a decode (read from
// a FIFO) end the process as the signal does, and leave the directory as it was.
TEST(ArchiveSafety, SignalsLeaveNoPartialOrTemporaryFile) {
    TempDir dir;
    const std::string wave = test::waveText(Signal::Tones, 16, 2, 200000);
    dir.write("x.wav", wave);
    ASSERT_EQ(runElq({"--silent", "x.wav"}, dir).exitCode, 0);
    const std::string elq = dir.read("x.elq");
    ASSERT_EQ(mkfifo(dir.path("fifo.elq").c_str(), 0600), 0);
    for (int signalNumber : {SIGINT, SIGTERM}) {
        for (const auto& [args, input, output] : {std::tuple{"--encode - --output out.elq", wave, "out.elq"},
                                                  std::tuple{"fifo.elq --output out.wav", elq, "out.wav"}}) {
            SCOPED_TRACE(args);
            const size_t before = entries(dir);
            int fds[2];
            ASSERT_EQ(pipe(fds), 0);
            const bool fromFifo = std::string(args).starts_with("fifo");
            const std::string stdinPath = "/dev/fd/" + std::to_string(fds[0]);
            Outcome run =
                runElq(words(std::string("--silent ") + args), dir, -1, stdinPath, {}, [&](pid_t pid) {
                    const int feed = fromFifo ? open(dir.path("fifo.elq").c_str(), O_WRONLY) : fds[1];
                    EXPECT_EQ(write(feed, input.data(), input.size() / 2),
                              static_cast<ssize_t>(input.size() / 2));
                    // Once the temporary output exists the program is writing it.
                    for (int i = 0; i < 2000 && entries(dir) == before; ++i)
                        std::this_thread::sleep_for(std::chrono::milliseconds(5));
                    EXPECT_EQ(entries(dir), before + 1);
                    kill(pid, signalNumber);
                    if (fromFifo) close(feed);
                });
            close(fds[0]);
            close(fds[1]);
            EXPECT_EQ(run.exitCode, -signalNumber);
            EXPECT_EQ(entries(dir), before);
            EXPECT_FALSE(std::filesystem::exists(dir.path(output)));
        }
    }
}

}  // namespace
}  // namespace elq::test
