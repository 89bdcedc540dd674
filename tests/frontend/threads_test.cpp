// Encoding and decoding on several threads: every byte written, every report and every exit
// code is what one thread gives, for intact files, damaged files and failing runs.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "support/elq_blocks.h"
#include "support/run_elq.h"
#include "support/signals.h"
#include "support/temp_dir.h"

namespace elq::test {
namespace {

// Fewer workers than blocks, and more (which the program cuts to the block count).
const char* const kThreadCounts[] = {"2", "8"};

// The block length of "--seek fast" is 441000 values: every run has several blocks in flight
// and ends with a short block.
void writeSources(const TempDir& dir) {
    dir.write("stereo16.wav", test::waveText(Signal::Tones, 16, 2, 441000 + 1500));  // 3 blocks
    dir.write("mono24.wav", test::waveText(Signal::PaddedClipped, 24, 1, 441000 + 5000));
    dir.write("mono8.wav", test::waveText(Signal::Noise, 8, 1, 441000 + 1));  // a last block of one value
}

Outcome run(const TempDir& dir, const std::string& threads, const std::string& arguments,
            const std::string& stdinPath = "/dev/null") {
    return test::runElq(test::words("--silent --threads " + threads + " " + arguments), dir, -1, stdinPath);
}

// Plain and optimizing loops, mono and stereo, with searches of different reach.
TEST(Threads, EncodingAndDecodingGiveTheBytesOfOneThread) {
    TempDir dir;
    writeSources(dir);
    for (const char* options : {"stereo16.wav --optimize none", "stereo16.wav --optimize best",
                                "mono24.wav --optimize normal", "mono8.wav --optimize high --speedup 1x"}) {
        SCOPED_TRACE(options);
        const std::string args = std::string("--seek fast --mode fast ") + options + " --output ";
        ASSERT_EQ(run(dir, "1", args + "one").exitCode, 0);
        const std::string one = dir.read("one.elq");
        const std::string wave = dir.read(test::words(options)[0]);
        for (const char* threads : kThreadCounts) {
            SCOPED_TRACE(threads);
            ASSERT_EQ(run(dir, threads, args + "many").exitCode, 0);
            EXPECT_TRUE(test::sameBytes(dir.read("many.elq"), one));
            ASSERT_EQ(run(dir, threads, "one.elq --output back.wav").exitCode, 0);
            EXPECT_TRUE(test::sameBytes(dir.read("back.wav"), wave));
        }
    }
}

// Damaged length fields, counts, block words and payloads, and truncated files: one thread
// gives the expected outcome, and the parallel decoder the same bytes, report and exit code.
TEST(Threads, DamagedFilesDecodeExactlyAsWithOneThread) {
    TempDir dir;
    writeSources(dir);
    ASSERT_EQ(run(dir, "1", "--seek fast --mode fast --optimize none stereo16.wav --output s").exitCode, 0);
    const std::string elq = dir.read("s.elq"), wave = dir.read("stereo16.wav");
    const std::vector<test::BlockAt> blocks = test::blocksOf(elq);
    ASSERT_EQ(blocks.size(), 3u);
    // `value` over `width` little-endian bytes at `offset` in block `b`.
    auto patched = [&](size_t b, size_t offset, uint32_t value, int width = 1) {
        std::string bytes = elq;
        for (int k = 0; k < width; ++k)
            bytes[blocks[b].offset + offset + k] = static_cast<char>(value >> (8 * k));
        return bytes;
    };
    const std::string damaged = "damaged block: ";
    const struct {
        const char* what;
        std::string bytes;
        std::string err;  // in the report of a failed run; "" for success, "?" for either
    } files[] = {
        // The decoder finds blocks by position alone.
        {"length - 1", patched(0, 4, blocks[0].head.length - 1, 4), ""},
        {"length + 1", patched(0, 4, blocks[0].head.length + 1, 4), ""},
        {"length + 4096", patched(1, 4, blocks[1].head.length + 4096, 4), ""},
        {"huge length", patched(0, 4, 0xFFFFFFF7u, 4), ""},
        {"tiny length", patched(1, 4, 2, 4), ""},
        {"count", patched(1, 12, 441000 * 2, 4), damaged + "more values than the file holds"},
        {"odd count", patched(1, 12, 441001, 4), damaged + "odd value count in a stereo block"},
        {"sample type", patched(2, 16, 0xEE), damaged + "unknown sample type"},
        {"channels", patched(2, 17, 0xEE), damaged + "unknown channel layout"},
        {"reserved bits", patched(2, 18, 0x01), damaged + "unknown channel layout"},
        {"family", patched(1, 19, 0x40), damaged + "unknown residual coder"},
        {"unwritable type", patched(2, 16, 1), "Type not implemented"},
        {"payload", patched(1, 30, 0x5A), "?"},
        {"payload", patched(1, 300000, 0xA5), "?"},
        {"cut in block 2", elq.substr(0, blocks[1].offset + 1000), "UNEXPECTEDEOF"},
        {"cut after block 1", elq.substr(0, blocks[1].offset), "UNEXPECTEDEOF"},
    };
    for (const auto& [what, bytes, err] : files) {
        SCOPED_TRACE(what);
        dir.write("x.elq", bytes);
        std::filesystem::remove(dir.path("d.wav"));
        Outcome one = run(dir, "1", "x.elq --output d.wav");
        const std::string oneOutput = dir.read("d.wav");
        if (err != "?") {
            EXPECT_EQ(one.exitCode, err == "" ? 0 : 1);
            EXPECT_NE(one.err.find(err), std::string::npos) << one.err;
            EXPECT_TRUE(err != "" || test::sameBytes(oneOutput, wave));
        }
        std::filesystem::remove(dir.path("d.wav"));
        Outcome many = run(dir, "3", "x.elq --output d.wav");
        EXPECT_EQ(many.exitCode, one.exitCode);
        EXPECT_EQ(many.err, one.err);
        EXPECT_TRUE(test::sameBytes(dir.read("d.wav"), oneOutput));
    }
}

// A run that fails in the middle leaves the same output and report with several threads:
// a source that ends inside the third block, an output that cannot be written.
TEST(Threads, FailuresStopTheRunAsWithOneThread) {
    TempDir dir;
    writeSources(dir);
    ASSERT_EQ(run(dir, "1", "--seek fast --mode fast --optimize none mono8.wav").exitCode, 0);
    const std::string wave = dir.read("stereo16.wav");
    const std::string cut = dir.write("cut.wav", wave.substr(0, wave.size() - 4000));
    std::filesystem::create_symlink("/dev/full", dir.path("full.elq"));
    std::filesystem::create_symlink("/dev/full", dir.path("full.wav"));
    const std::pair<const char*, const char*> cases[] = {
        {"--seek fast --mode fast --optimize none --encode cut.wav --output e", "UNEXPECTEDEOF"},
        {"--seek fast --mode fast --optimize fast --encode cut.wav --output e", "UNEXPECTEDEOF"},
        {"--seek fast --mode fast stereo16.wav --output full.elq",
         "WRITEERROR in file Unknown, line 0\nfunction WriteFile, code 28"},
        {"mono8.elq --output full.wav", "WRITEERROR in file Unknown, line 0\nfunction WriteFile, code 28"},
    };
    for (const auto& [arguments, err] : cases) {
        SCOPED_TRACE(arguments);
        std::filesystem::remove(dir.path("e.elq"));
        Outcome one = run(dir, "1", arguments, cut);
        const std::string oneFile = dir.read("e.elq");
        EXPECT_EQ(one.exitCode, 1);
        EXPECT_NE(one.err.find(err), std::string::npos) << one.err;
        for (const char* threads : kThreadCounts) {
            SCOPED_TRACE(threads);
            std::filesystem::remove(dir.path("e.elq"));
            Outcome many = run(dir, threads, arguments, cut);
            EXPECT_EQ(many.exitCode, one.exitCode);
            EXPECT_EQ(many.err, one.err);
            EXPECT_TRUE(test::sameBytes(dir.read("e.elq"), oneFile));
        }
    }
}

}  // namespace
}  // namespace elq::test
