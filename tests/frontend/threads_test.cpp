// Encoding and decoding on several threads: every byte written, every report and every exit
// code is what one thread gives, for intact files, damaged files and failing runs.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "foundation/stream.h"
#include "support/run_elq.h"
#include "support/signals.h"
#include "support/temp_dir.h"

namespace elq {
namespace {

using test::Outcome;
using test::runElq;
using test::Signal;
using test::TempDir;

const char* const kThreadCounts[] = {"2", "3", "8"};

// Files a little over one or two block lengths of "--seek fast" (441000 values), so that
// every run has several blocks in flight and ends with a short block.
struct Source {
    const char* name;
    Signal kind;
    uint32_t bits, channels, frames;
};
const Source kSources[] = {
    {"stereo16", Signal::Tones, 16, 2, 441000 + 1500},        // 3 blocks, the last of 3000 values
    {"mono24", Signal::PaddedClipped, 24, 1, 441000 + 5000},  // 2 blocks
    {"mono8", Signal::Noise, 8, 1, 441000 + 1},               // 2 blocks, the last of one value
};

std::vector<std::string> words(const std::string& text) {
    std::vector<std::string> result;
    for (size_t at = 0; at < text.size();) {
        size_t end = text.find(' ', at);
        if (end == std::string::npos) end = text.size();
        if (end > at) result.push_back(text.substr(at, end - at));
        at = end + 1;
    }
    return result;
}

Outcome run(const TempDir& dir, const std::string& threads, const std::string& arguments,
            const std::string& stdinPath = "/dev/null") {
    std::vector<std::string> args = words("--silent --threads " + threads + " " + arguments);
    return runElq(args, dir, -1, stdinPath);
}

void writeSources(const TempDir& dir) {
    for (const Source& s : kSources) {
        dir.write(std::string(s.name) + ".wav",
                  test::waveFile(test::pcmSignal(s.kind, s.bits, s.channels, s.frames), s.bits, s.channels));
    }
}

// Plain and optimizing loops, mono and stereo, with searches of different reach.
TEST(Threads, EncodingAndDecodingGiveTheBytesOfOneThread) {
    TempDir dir;
    writeSources(dir);
    struct Case {
        const char* source;
        const char* options;
    };
    const Case cases[] = {
        {"stereo16", "--mode fast --optimize none"}, {"stereo16", "--mode fast"},
        {"stereo16", "--mode fast --optimize best"}, {"mono24", "--mode fast --optimize none"},
        {"mono24", "--mode fast --optimize normal"}, {"mono8", "--mode fast --optimize high --speedup 1x"},
    };
    for (const Case& c : cases) {
        const std::string source = std::string(c.source) + ".wav";
        const std::string options = std::string("--seek fast ") + c.options + " " + source + " --output ";
        ASSERT_EQ(run(dir, "1", options + "one").exitCode, 0) << c.options;
        const std::string one = test::readWholeFile(dir.path("one.elq"));
        for (const char* threads : kThreadCounts) {
            Outcome encode = run(dir, threads, options + "many");
            ASSERT_EQ(encode.exitCode, 0) << encode.err;
            EXPECT_TRUE(test::readWholeFile(dir.path("many.elq")) == one)
                << c.source << " " << c.options << " with " << threads << " threads";
        }
        const std::string wave = test::readWholeFile(dir.path(source));
        for (const char* threads : {"2", "8"}) {
            ASSERT_EQ(run(dir, threads, "one.elq --output back.wav").exitCode, 0);
            EXPECT_TRUE(test::readWholeFile(dir.path("back.wav")) == wave)
                << c.source << " " << c.options << " decoded with " << threads << " threads";
        }
    }
}

// The decoded file, the report and the exit code of a run with `threads`, for comparison.
struct Result {
    int exitCode;
    std::string err, output;
    bool operator==(const Result&) const = default;
};

Result decodeWith(const TempDir& dir, const std::string& threads, const std::string& elq) {
    std::filesystem::remove(dir.path("d.wav"));
    Outcome outcome = run(dir, threads, elq + " --output d.wav");
    return {outcome.exitCode, outcome.err, test::readWholeFile(dir.path("d.wav"))};
}

void putU32(std::string& bytes, size_t at, uint32_t v) {
    for (int k = 0; k < 4; ++k)
        bytes[at + k] = static_cast<char>(v >> (8 * k));
}

// Damaged length fields, counts, block words and payloads, and truncated files: the parallel
// decoder writes the same bytes, the same report and the same exit code as one thread,
// whether it ends in success (only a length field hurt) or failure.
TEST(Threads, DamagedFilesDecodeExactlyAsWithOneThread) {
    TempDir dir;
    writeSources(dir);
    ASSERT_EQ(run(dir, "1", "--seek fast --mode fast --optimize none stereo16.wav --output s").exitCode, 0);
    const std::string elq = test::readWholeFile(dir.path("s.elq"));
    std::vector<size_t> blocks;
    for (size_t at = elq.find("COMP"); at != std::string::npos; at = elq.find("COMP", at + 4))
        blocks.push_back(at);
    ASSERT_GE(blocks.size(), 3u);

    std::vector<std::pair<std::string, std::string>> damaged;
    auto lengthOf = [&](size_t b) {
        return static_cast<uint32_t>((b + 1 < 3 ? blocks[b + 1] : elq.rfind("TAIL")) - blocks[b] - 8);
    };
    const std::pair<size_t, uint32_t> lengths[] = {
        {0, lengthOf(0) - 1}, {0, lengthOf(0) + 1}, {0, 0xFFFFFFF7u}, {1, lengthOf(1) + 4096}, {1, 2},
        {2, lengthOf(2) - 1}};
    for (const auto& [b, wrong] : lengths) {
        std::string bytes = elq;
        putU32(bytes, blocks[b] + 4, wrong);
        damaged.push_back({"length " + std::to_string(wrong) + " in block " + std::to_string(b), bytes});
    }
    std::string bytes = elq;
    putU32(bytes, blocks[0] + 4, 0);
    putU32(bytes, blocks[1] + 4, 7);
    damaged.push_back({"two length fields", bytes});
    bytes = elq;
    putU32(bytes, blocks[1] + 12, 441000 * 2);  // more values than the file holds
    damaged.push_back({"count", bytes});
    bytes = elq;
    bytes[blocks[2] + 16] = 1;  // a sample type without an output format
    damaged.push_back({"sample type", bytes});
    bytes = elq;
    bytes[blocks[1] + 19] = 0x40;  // residual coder family 8
    damaged.push_back({"family", bytes});
    for (size_t offset : {size_t{30}, size_t{300000}}) {
        bytes = elq;
        bytes[blocks[1] + offset] ^= 0x5A;
        damaged.push_back({"payload byte " + std::to_string(offset), bytes});
    }
    damaged.push_back({"cut in block 2", elq.substr(0, blocks[1] + 1000)});
    damaged.push_back({"cut after block 1", elq.substr(0, blocks[1])});

    const std::string wave = test::readWholeFile(dir.path("stereo16.wav"));
    for (const auto& [what, file] : damaged) {
        dir.write("x.elq", file);
        Result one = decodeWith(dir, "1", "x.elq");
        if (what.rfind("length", 0) == 0 || what == "two length fields") {
            EXPECT_EQ(one.exitCode, 0) << what;  // the decoder finds blocks by position alone
            EXPECT_TRUE(one.output == wave) << what;
        } else if (what.rfind("payload", 0) != 0) {
            EXPECT_EQ(one.exitCode, 1) << what;  // damaged payloads may also decode to wrong values
        }
        for (const char* threads : {"3"}) {
            Result many = decodeWith(dir, threads, "x.elq");
            EXPECT_EQ(many.exitCode, one.exitCode) << what << ", " << threads << " threads";
            EXPECT_EQ(many.err, one.err) << what << ", " << threads << " threads";
            EXPECT_TRUE(many.output == one.output) << what << ", " << threads << " threads";
        }
    }
}

// A run that fails in the middle leaves the same output and report with several threads:
// a source that ends inside the third block, an output that cannot be written.
TEST(Threads, FailuresStopTheRunAsWithOneThread) {
    TempDir dir;
    writeSources(dir);
    const std::string wave = test::readWholeFile(dir.path("stereo16.wav"));
    // Through standard input nothing tells the reader beforehand that the data chunk is short.
    const std::string cut = dir.write("cut.wav", wave.substr(0, wave.size() - 4000));
    const std::string encode = "--seek fast --mode fast --encode - --output e";
    for (const char* options : {"--optimize none", "--optimize fast"}) {
        Outcome one = run(dir, "1", std::string(options) + " " + encode, cut);
        const std::string oneFile = test::readWholeFile(dir.path("e.elq"));
        EXPECT_EQ(one.exitCode, 1);
        EXPECT_NE(one.err.find("UNEXPECTEDEOF"), std::string::npos) << one.err;
        for (const char* threads : kThreadCounts) {
            std::filesystem::remove(dir.path("e.elq"));
            Outcome many = run(dir, threads, std::string(options) + " " + encode, cut);
            EXPECT_EQ(many.exitCode, one.exitCode) << options << ", " << threads << " threads";
            EXPECT_EQ(many.err, one.err) << options << ", " << threads << " threads";
            EXPECT_TRUE(test::readWholeFile(dir.path("e.elq")) == oneFile) << options << ", " << threads;
        }
    }

    ASSERT_EQ(run(dir, "1", "--seek fast --mode fast --optimize none mono8.wav").exitCode, 0);
    std::filesystem::create_symlink("/dev/full", dir.path("full.elq"));
    std::filesystem::create_symlink("/dev/full", dir.path("full.wav"));
    for (const char* arguments :
         {"--seek fast --mode fast stereo16.wav --output full.elq", "mono8.elq --output full.wav"}) {
        Outcome one = run(dir, "1", arguments);
        EXPECT_EQ(one.exitCode, 1);
        EXPECT_NE(one.err.find("WRITEERROR"), std::string::npos) << one.err;
        for (const char* threads : kThreadCounts) {
            Outcome many = run(dir, threads, arguments);
            EXPECT_EQ(many.exitCode, one.exitCode) << arguments << ", " << threads << " threads";
            EXPECT_EQ(many.err, one.err) << arguments << ", " << threads << " threads";
        }
    }
}

// The parallel decoder reads each block from a copy in memory: the end of the copy behaves as
// the end of a file.
TEST(Threads, MemoryInputStreamEndsLikeAFile) {
    const uint8_t bytes[6] = {1, 2, 3, 4, 5, 6};
    InputStream in;
    in.openMemory(bytes, 5);
    EXPECT_EQ(in.size(), 5u);
    EXPECT_EQ(in.readU32(), 0x04030201u);
    EXPECT_EQ(in.position(), 4u);
    uint8_t rest[4] = {};
    EXPECT_EQ(in.read(rest, 4), 1u);  // only what there is
    EXPECT_EQ(rest[0], 5);
    EXPECT_EQ(in.position(), 5u);
    try {
        in.getByte();
        FAIL() << "read past the end";
    } catch (const Exception& e) {
        EXPECT_EQ(e.code, UNEXPECTEDEOF);
    }
    in.seek(1);
    EXPECT_EQ(in.getByte(), 2);
    in.seek(100);
    EXPECT_EQ(in.read(rest, 1), 0u);
    in.close();  // the caller's memory is not released
    EXPECT_EQ(bytes[5], 6);
}

}  // namespace
}  // namespace elq
