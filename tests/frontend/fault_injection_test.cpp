// Faults from outside the program, injected into the real executable: a file-size limit,
// closed pipes and consoles, sources that end early. Each must end in
// the error report and exit code 1, never in a crash, and must leave the source whole and an
// earlier output of the same name as it was.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "support/elq_blocks.h"
#include "support/run_elq.h"
#include "support/signals.h"
#include "support/temp_dir.h"

namespace elq::test {
namespace {

const std::string kEndOfFile = "\nException UNEXPECTEDEOF in file Unknown, line 0\nfunction readMin\n";
const std::string kWaveError = "Error processing WAVE file: \n";
// Three blocks of 441000 values, the last one short.
const std::string kFastBlocks = "--silent --mode fast --optimize none --seek fast ";

// The report of a failed system call, with the system's own text for the error number.
std::string systemReport(const char* code, const char* function, int number) {
    return std::string("Exception ") + code + " in file Unknown, line 0\nfunction " + function + ", code " +
           std::to_string(number) + ", " + strerror(number) + "\n";
}

// The line after the end-of-file report of a file cut inside block `number`.
std::string insideBlock(size_t number, size_t offset) {
    return "The ELQ file ends inside block " + std::to_string(number) + ", which starts at byte " +
           std::to_string(offset) + ": it is cut short or damaged.\n";
}

// Three blocks under kFastBlocks and a trailing chunk, encoded into x.elq; returns the WAVE bytes.
std::string writeThreeBlockFiles(const TempDir& dir) {
    const test::Bytes bytes = test::WaveBuilder()
                                  .format({.channels = 1, .blockAlign = 1, .bits = 8})
                                  .chunk("data", test::pcmSignal(Signal::Tones, 8, 1, 1000001))
                                  .chunk("LIST", {'I', 'N', 'F', 'O', 'a', 'b'})
                                  .build();
    const std::string wave(bytes.begin(), bytes.end());
    dir.write("x.wav", wave);
    EXPECT_EQ(runElq(words(kFastBlocks + "x.wav"), dir).exitCode, 0);
    return wave;
}

// Under a file-size limit the output fails at the limit; the source and an earlier output of the
// same name stay as they were, and no temporary file is left.
TEST(FullDisk, FileSizeLimitIsAWriteErrorForBothCommands) {
    TempDir dir;
    const std::string wave = writeThreeBlockFiles(dir), elq = dir.read("x.elq");
    // Not below a few hundred bytes: the limit holds for the report on standard error too.
    for (rlim_t limit : {rlim_t{300}, rlim_t{100000}, static_cast<rlim_t>(elq.size() - 1)}) {
        SCOPED_TRACE(limit);
        const auto limited = [limit] {
            signal(SIGXFSZ, SIG_IGN);  // the write then fails with EFBIG instead of ending the process
            const struct rlimit bytes = {limit, limit};
            setrlimit(RLIMIT_FSIZE, &bytes);
        };
        for (const auto& [args, output] : {std::pair{kFastBlocks + "x.wav --output cut.elq", "cut.elq"},
                                           std::pair{kFastBlocks + "x.elq --output cut.wav", "cut.wav"}}) {
            dir.write(output, "an earlier file");
            const auto before = std::distance(std::filesystem::directory_iterator(dir.path("")), {});
            Outcome run = runElq(words(args), dir, -1, "/dev/null", limited);
            EXPECT_EQ(run.exitCode, 1);
            EXPECT_EQ(run.err, "\n" + systemReport("WRITEERROR", "WriteFile", EFBIG));
            EXPECT_TRUE(dir.read(output) == "an earlier file");
            EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir.path("")), {}), before);
        }
        EXPECT_TRUE(sameBytes(dir.read("x.wav"), wave));
        EXPECT_TRUE(sameBytes(dir.read("x.elq"), elq));
    }
}

// A WAVE file that ends in the header, among the samples or in the trailing chunk fails, and leaves
// no output. Through standard input only the header must be whole: a stream's samples and bytes
// after them end where it ends, and come back exactly.
TEST(ShortSource, WaveSourceCutShort) {
    TempDir dir;
    const std::string wave = writeThreeBlockFiles(dir);
    const std::pair<size_t, std::string> cases[] = {
        {30, kWaveError + kEndOfFile.substr(1)},
        {44 + 500000, kEndOfFile},
        {wave.size() - 3, kWaveError + kEndOfFile.substr(1)},
    };
    for (const auto& [cut, err] : cases) {
        SCOPED_TRACE(cut);
        const std::string source = dir.write("cut.wav", wave.substr(0, cut));
        for (const std::string args : {"cut.wav --output a.elq", "--encode - --output a.elq"}) {
            std::filesystem::remove(dir.path("a.elq"));
            Outcome run = runElq(words(kFastBlocks + args), dir, -1, source);
            if (args[0] == '-' && cut > 44) {
                EXPECT_EQ(run.exitCode, 0) << run.err;
                ASSERT_EQ(runElq({"--silent", "a.elq", "--output", "back.wav"}, dir).exitCode, 0);
                EXPECT_TRUE(sameBytes(dir.read("back.wav"), wave.substr(0, cut)));
                continue;
            }
            EXPECT_EQ(run.exitCode, 1) << args;
            EXPECT_EQ(run.err, err) << args;
            EXPECT_FALSE(std::filesystem::exists(dir.path("a.elq")));
        }
    }
}

// A compressed file cut in its header, at every block boundary, inside every block head and
// payload, and in the stored section: the end-of-file report, and the decoded part is the start
// of the original WAVE file.
TEST(ShortSource, CompressedFileCutAnywhere) {
    TempDir dir;
    const std::string wave = writeThreeBlockFiles(dir), elq = dir.read("x.elq");
    std::vector<size_t> cuts = {0, 3, 21, 27, 28, 50};
    const std::vector<test::BlockAt> blocks = test::blocksOf(elq);
    ASSERT_EQ(blocks.size(), 3u);
    for (const test::BlockAt& block : blocks) {
        for (size_t offset : {size_t{0}, size_t{7}, size_t{13}, size_t{20}, size_t{21}})
            cuts.push_back(block.offset + offset);
        cuts.push_back(block.offset + 8 + block.head.length / 2);
        cuts.push_back(block.end() - 1);
    }
    const size_t tail = blocks.back().end();
    ASSERT_EQ(elq.compare(tail, 4, "TAIL"), 0);
    for (size_t offset : {size_t{0}, size_t{4}, size_t{8}, size_t{12}})
        cuts.push_back(tail + offset);
    for (size_t cut : cuts) {
        SCOPED_TRACE(cut);
        dir.write("cut.elq", elq.substr(0, cut));
        dir.write("cut.wav", "an earlier file");
        Outcome run = runElq({"--silent", "cut.elq"}, dir);
        EXPECT_EQ(run.exitCode, 1);
        std::string err = kEndOfFile;
        for (size_t b = 0; b < blocks.size(); ++b) {
            if (blocks[b].offset < cut && cut < blocks[b].end()) err += insideBlock(b + 1, blocks[b].offset);
        }
        EXPECT_EQ(run.err, err);
        EXPECT_EQ(dir.read("cut.wav"), "an earlier file");
    }
}

// Started with its console streams closed, the program must not let a file it opens take their
// place: the messages would land inside the compressed or decoded file. A pipe closed by its
// reader does not end the process either: writing the usage there is no error, writing the
// decoded file there is a write error.
TEST(ClosedConsole, MessagesNeverLandInTheFilesOrEndTheProcess) {
    TempDir dir;
    const std::string wave = test::waveText(Signal::Tones, 16, 2, 60000);
    dir.write("x.wav", wave);
    const auto closeConsole = [] {
        close(STDOUT_FILENO);
        close(STDERR_FILENO);
    };
    EXPECT_EQ(runElq({"x.wav"}, dir, -1, "/dev/null", closeConsole).exitCode, 0);
    ASSERT_EQ(runElq({"--silent", "x.wav", "--output", "reference.elq"}, dir).exitCode, 0);
    EXPECT_TRUE(sameBytes(dir.read("x.elq"), dir.read("reference.elq")));
    EXPECT_EQ(runElq({"x.elq", "--output", "back.wav"}, dir, -1, "/dev/null", closeConsole).exitCode, 0);
    EXPECT_TRUE(sameBytes(dir.read("back.wav"), wave));

    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    close(fds[0]);
    EXPECT_EQ(runElq({"--help"}, dir, fds[1]).exitCode, 0);
    Outcome run = runElq({"--silent", "x.elq", "--output", "-"}, dir, fds[1]);
    close(fds[1]);
    EXPECT_EQ(run.exitCode, 1);
    EXPECT_EQ(run.err, "\n" + systemReport("WRITEERROR", "WriteFile", EPIPE));
}

}  // namespace
}  // namespace elq::test
