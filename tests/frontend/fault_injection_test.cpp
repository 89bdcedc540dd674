// Faults from outside the program, injected into the real executable: a full disk, a file-size
// limit, closed pipes, sources that cannot be opened or that end while being read, truncated
// compressed files. Each must end in the error report and exit code 1, never in a crash, and
// must leave the source whole and the partial output a true prefix of the complete one.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <functional>
#include <stdexcept>
#include <string>
#include <thread>
#include <tuple>
#include <utility>
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

const std::string kEndOfFile = "\nException UNEXPECTEDEOF in file Unknown, line 0\nfunction readMin\n";
const std::string kWaveError = "Error processing WAVE file: \n";

// The report of a failed system call, with the system's own text for the error number.
std::string systemReport(const char* code, const char* function, int number) {
    return std::string("Exception ") + code + " in file Unknown, line 0\nfunction " + function + ", code " +
           std::to_string(number) + ", " + strerror(number);
}

std::string asText(const std::vector<uint8_t>& bytes) {
    return std::string(bytes.begin(), bytes.end());
}

// Equality of file contents without printing megabytes when they differ.
testing::AssertionResult sameBytes(const std::string& actual, const std::string& expected) {
    if (actual == expected) return testing::AssertionSuccess();
    size_t at = 0;
    while (at < actual.size() && at < expected.size() && actual[at] == expected[at])
        ++at;
    return testing::AssertionFailure()
           << actual.size() << " bytes instead of " << expected.size() << ", first difference at byte " << at;
}

bool isPrefix(const std::string& part, const std::string& whole) {
    return part.size() <= whole.size() && whole.compare(0, part.size(), part) == 0;
}

// Output of a failed run: absent, or the start of what a complete run writes.
void expectPrefixOrAbsent(const TempDir& dir, const std::string& name, const std::string& complete) {
    if (!std::filesystem::exists(dir.path(name))) return;
    EXPECT_TRUE(isPrefix(test::readWholeFile(dir.path(name)), complete)) << name;
}

// Three blocks of --seek fast (441000 values each), the last one short, and a trailing chunk.
std::string threeBlockWave() {
    std::vector<uint8_t> wave = test::waveFile(test::pcmSignal(Signal::Tones, 8, 1, 1000001), 8, 1);
    const std::string list("LIST\x06\0\0\0INFOab", 14);
    wave.insert(wave.end(), list.begin(), list.end());
    const uint32_t riffSize = static_cast<uint32_t>(wave.size() - 8);
    for (int k = 0; k < 4; ++k)
        wave[4 + k] = static_cast<uint8_t>(riffSize >> (8 * k));
    return asText(wave);
}

const std::vector<std::string> kFastBlocks = {"--silent", "--mode", "fast", "--optimize",
                                              "none",     "--seek", "fast"};

std::vector<std::string> withArgs(std::vector<std::string> args, const std::vector<std::string>& more) {
    args.insert(args.end(), more.begin(), more.end());
    return args;
}

void limitFileSize(rlim_t bytes) {
    signal(SIGXFSZ, SIG_IGN);  // the write then fails with EFBIG instead of ending the process
    struct rlimit limit = {bytes, bytes};
    setrlimit(RLIMIT_FSIZE, &limit);
}

TEST(FullDisk, DecodingIntoAFullDeviceOrAClosedPipeIsAWriteError) {
    TempDir dir;
    dir.write("x.wav", test::waveFile(test::pcmSignal(Signal::Tones, 16, 2, 30000), 16, 2));
    ASSERT_EQ(runElq({"--silent", "x.wav"}, dir).exitCode, 0);
    const std::string elq = test::readWholeFile(dir.path("x.elq"));

    int full = open("/dev/full", O_WRONLY);
    ASSERT_GE(full, 0);
    Outcome run = runElq({"--silent", "x.elq", "--output", "-"}, dir, full);
    close(full);
    EXPECT_TRUE(run.exited);
    EXPECT_EQ(run.exitCode, 1);
    EXPECT_EQ(run.err, "\n" + systemReport("WRITEERROR", "WriteFile", ENOSPC) + "\n");

    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    close(fds[0]);  // nobody reads
    run = runElq({"--silent", "x.elq", "--output", "-"}, dir, fds[1]);
    close(fds[1]);
    EXPECT_TRUE(run.exited);
    EXPECT_EQ(run.exitCode, 1);
    EXPECT_EQ(run.err, "\n" + systemReport("WRITEERROR", "WriteFile", EPIPE) + "\n");
    EXPECT_TRUE(sameBytes(test::readWholeFile(dir.path("x.elq")), elq));
}

// Under a file-size limit the output stops at the limit: the report names EFBIG, the source is
// untouched and what was written is the start of the complete output.
TEST(FullDisk, FileSizeLimitIsAWriteErrorForBothCommands) {
    TempDir dir;
    const std::string wave = threeBlockWave();
    dir.write("x.wav", wave);
    ASSERT_EQ(runElq(withArgs(kFastBlocks, {"x.wav", "--output", "full.elq"}), dir).exitCode, 0);
    const std::string elq = test::readWholeFile(dir.path("full.elq"));
    const std::string report = "\n" + systemReport("WRITEERROR", "WriteFile", EFBIG) + "\n";

    // Not below a few hundred bytes: the limit holds for the report on standard error too.
    for (rlim_t limit : {rlim_t{300}, rlim_t{100000}, static_cast<rlim_t>(elq.size() - 1)}) {
        SCOPED_TRACE(limit);
        Outcome run = runElq(withArgs(kFastBlocks, {"x.wav", "--output", "cut.elq"}), dir, -1, "/dev/null",
                             [limit] { limitFileSize(limit); });
        EXPECT_TRUE(run.exited);
        EXPECT_EQ(run.exitCode, 1);
        EXPECT_EQ(run.err, report);
        EXPECT_TRUE(sameBytes(test::readWholeFile(dir.path("x.wav")), wave));
        EXPECT_LE(test::readWholeFile(dir.path("cut.elq")).size(), limit);
        expectPrefixOrAbsent(dir, "cut.elq", elq);

        run = runElq({"--silent", "full.elq", "--output", "cut.wav"}, dir, -1, "/dev/null",
                     [limit] { limitFileSize(limit); });
        EXPECT_TRUE(run.exited);
        EXPECT_EQ(run.exitCode, 1);
        EXPECT_EQ(run.err, report);
        EXPECT_TRUE(sameBytes(test::readWholeFile(dir.path("full.elq")), elq));
        expectPrefixOrAbsent(dir, "cut.wav", wave);
    }
}

// Whether this process may run a child as an unprivileged user (needed to make permissions
// apply when the tests run as root).
bool canDropPrivileges() {
    pid_t pid = fork();
    if (pid == 0) _exit(setgid(65534) == 0 && setuid(65534) == 0 ? 0 : 1);
    int status = 0;
    return pid > 0 && waitpid(pid, &status, 0) == pid && WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

TEST(UnopenableSource, MissingAndUnreadableSourcesAreReportedWithoutOutput) {
    TempDir dir;
    Outcome run = runElq({"--silent", "missing.wav"}, dir);
    EXPECT_EQ(run.exitCode, 1);
    EXPECT_EQ(run.err, kWaveError + systemReport("FILENOTFOUND", "CreateFile", ENOENT) + "\n");
    run = runElq({"--silent", "missing.elq"}, dir);
    EXPECT_EQ(run.exitCode, 1);
    EXPECT_EQ(run.err, "\n" + systemReport("FILENOTFOUND", "CreateFile", ENOENT) + "\n");
    EXPECT_FALSE(std::filesystem::exists(dir.path("missing.elq")) ||
                 std::filesystem::exists(dir.path("missing.wav")));

    // Root reads anything, so as root the program runs as an unprivileged user instead.
    std::function<void()> asUser;
    if (geteuid() == 0) {
        if (!canDropPrivileges()) GTEST_SKIP() << "running as root without a way to drop privileges";
        asUser = [] {
            if (setgid(65534) != 0 || setuid(65534) != 0) _exit(126);
        };
        chmod(dir.path("").c_str(), 0755);
    }
    const std::string wave = asText(test::waveFile(test::pcmSignal(Signal::Tones, 16, 1, 100), 16, 1));
    dir.write("locked.wav", wave);
    dir.write("locked.elq", "ELQ ");
    chmod(dir.path("locked.wav").c_str(), 0);
    chmod(dir.path("locked.elq").c_str(), 0);
    // The WAVE error prefix and the standard output show that the source, not an output, failed.
    run = runElq({"--silent", "locked.wav"}, dir, -1, "/dev/null", asUser);
    EXPECT_EQ(run.exitCode, 1);
    EXPECT_EQ(run.err, kWaveError + systemReport("FILENOTFOUND", "CreateFile", EACCES) + "\n");
    run = runElq({"--silent", "locked.elq", "--output", "-"}, dir, -1, "/dev/null", asUser);
    EXPECT_EQ(run.exitCode, 1);
    EXPECT_EQ(run.err, "\n" + systemReport("FILENOTFOUND", "CreateFile", EACCES) + "\n");
    EXPECT_EQ(run.out, "");
    chmod(dir.path("locked.wav").c_str(), 0644);
    EXPECT_TRUE(sameBytes(test::readWholeFile(dir.path("locked.wav")), wave));
}

// Feeds a FIFO from a thread: waits for the program to open it, writes `bytes` and closes.
// Never blocks the test when the program ends early or never opens the FIFO: the writer gives
// up when the feeder is destroyed, which must happen after the program has ended.
class FifoFeeder {
public:
    FifoFeeder(const std::string& path, std::string bytes) : path_(path) {
        signal(SIGPIPE, SIG_IGN);  // a reader that went away must not end the test program
        if (mkfifo(path.c_str(), 0600) != 0) throw std::runtime_error("mkfifo failed");
        thread_ = std::thread([this, bytes = std::move(bytes)] {
            // Without a reader a non-blocking open fails, so the wait can be abandoned.
            int fd;
            while ((fd = open(path_.c_str(), O_WRONLY | O_NONBLOCK)) < 0 && !done_)
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
            if (fd < 0) return;
            fcntl(fd, F_SETFL, 0);
            for (size_t done = 0; done < bytes.size();) {
                ssize_t n = write(fd, bytes.data() + done, bytes.size() - done);
                if (n <= 0) break;
                done += static_cast<size_t>(n);
            }
            close(fd);
        });
    }
    ~FifoFeeder() {
        done_ = true;
        thread_.join();
    }

private:
    std::string path_;
    std::atomic<bool> done_{false};
    std::thread thread_;
};

// Runs elq with its output going into the FIFO `output` (created here) and reads that FIFO.
// Once `pauseAt` bytes have come, the program is blocked writing a block that the pipe
// cannot hold yet, so it cannot be reading its source: `whilePaused` runs there, then the rest
// is read. Returns the outcome and everything the program wrote.
std::pair<Outcome, std::string> runIntoFifo(const std::vector<std::string>& args, const TempDir& dir,
                                            const std::string& output, size_t pauseAt,
                                            const std::function<void()>& whilePaused) {
    const std::string path = dir.path(output);
    if (mkfifo(path.c_str(), 0600) != 0) throw std::runtime_error("mkfifo failed");
    // Opened first and non-blocking, so that the program's open never waits and a program that
    // never opens it cannot hang the test.
    int fd = open(path.c_str(), O_RDONLY | O_NONBLOCK);
    std::atomic<bool> ended{false};
    Outcome run;
    std::thread program([&] {
        run = runElq(args, dir);
        ended = true;
    });
    std::string written;
    bool paused = false;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(120);
    while (std::chrono::steady_clock::now() < deadline) {
        char buffer[65536];
        ssize_t n = read(fd, buffer, sizeof buffer);
        if (n > 0) {
            written.append(buffer, static_cast<size_t>(n));
            if (!paused && written.size() >= pauseAt) {
                whilePaused();
                paused = true;
            }
        } else if (n == 0 && ended) {
            break;  // the program has ended and its write end is closed
        } else {
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
    }
    program.join();
    close(fd);
    EXPECT_TRUE(paused);
    return {run, written};
}

// A source that shrinks while being read, between two blocks, for both commands; the moment is
// made exact by holding the program inside its writing of the first block. A source deleted
// there is still read whole, as the open handle keeps it.
TEST(ShortSource, SourceThatShrinksOrDisappearsWhileBeingRead) {
    TempDir dir;
    const std::string wave = asText(test::waveFile(test::pcmSignal(Signal::Noise, 8, 1, 1000001), 8, 1));
    dir.write("whole.wav", wave);
    ASSERT_EQ(runElq(withArgs(kFastBlocks, {"whole.wav", "--output", "whole.elq"}), dir).exitCode, 0);
    const std::string elq = test::readWholeFile(dir.path("whole.elq"));
    std::vector<size_t> blockEnds;  // where each "COMP" block of whole.elq ends
    for (size_t at = 28 + 44; elq.compare(at, 4, "COMP") == 0;) {
        uint32_t length = 0;
        for (int k = 0; k < 4; ++k)
            length |= static_cast<uint32_t>(static_cast<uint8_t>(elq[at + 4 + k])) << (8 * k);
        at += 8 + length;
        blockEnds.push_back(at);
    }
    ASSERT_EQ(blockEnds.size(), 3u);
    // Half of the first block leaves far more than any pipe holds still to be written.
    ASSERT_GT(blockEnds[0] / 2, size_t{1} << 17);

    // One thread: the exact moment of each read is what this test is about, and workers read ahead.
    const std::vector<std::string> oneThread = withArgs(kFastBlocks, {"--threads", "1"});
    dir.write("shrinks.wav", wave);
    auto [run, written] =
        runIntoFifo(withArgs(oneThread, {"shrinks.wav", "--output", "a.elq"}), dir, "a.elq", blockEnds[0] / 2,
                    [&] { truncate(dir.path("shrinks.wav").c_str(), 44 + 441000 + 1000); });
    EXPECT_EQ(run.exitCode, 1);
    EXPECT_EQ(run.err, kEndOfFile);
    EXPECT_TRUE(sameBytes(written, elq.substr(0, blockEnds[0])));

    dir.write("vanishes.wav", wave);
    std::tie(run, written) =
        runIntoFifo(withArgs(oneThread, {"vanishes.wav", "--output", "b.elq"}), dir, "b.elq",
                    blockEnds[0] / 2, [&] { std::filesystem::remove(dir.path("vanishes.wav")); });
    EXPECT_EQ(run.exitCode, 0) << run.err;
    EXPECT_TRUE(sameBytes(written, elq));

    // The decoder reads ahead by one stream buffer at most, so a cut in the third block, made
    // while the first is being written, is met in the third block.
    dir.write("shrinks.elq", elq);
    std::tie(run, written) =
        runIntoFifo({"--silent", "--threads", "1", "shrinks.elq", "--output", "c.wav"}, dir, "c.wav", 100000,
                    [&] { truncate(dir.path("shrinks.elq").c_str(), blockEnds[1] + 100); });
    EXPECT_EQ(run.exitCode, 1);
    EXPECT_EQ(run.err, kEndOfFile);
    EXPECT_TRUE(isPrefix(written, wave));
    EXPECT_GE(written.size(), 44 + 2 * 441000 - 16384u);
}

// Standard input closed early, in the header, among the samples and in the trailing chunk.
TEST(ShortSource, StandardInputClosedEarly) {
    TempDir dir;
    const std::string wave = threeBlockWave();
    dir.write("whole.wav", wave);
    ASSERT_EQ(runElq(withArgs(kFastBlocks, {"whole.wav", "--output", "whole.elq"}), dir).exitCode, 0);
    const std::string elq = test::readWholeFile(dir.path("whole.elq"));

    const struct {
        size_t cut;
        std::string err;
    } cases[] = {
        {30, kWaveError + kEndOfFile.substr(1)},
        {44 + 500000, kEndOfFile},
        {wave.size() - 3, kWaveError + kEndOfFile.substr(1)},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.cut);
        std::filesystem::remove(dir.path("in"));
        Outcome run;
        {
            FifoFeeder feeder(dir.path("in"), wave.substr(0, c.cut));
            run = runElq(withArgs(kFastBlocks, {"--encode", "-", "--output", "piped.elq"}), dir, -1,
                         dir.path("in"));
        }
        EXPECT_TRUE(run.exited);
        EXPECT_EQ(run.exitCode, 1);
        EXPECT_EQ(run.err, c.err);
        expectPrefixOrAbsent(dir, "piped.elq", elq);
    }
}

// Started with its console output streams closed, the program must not let a file it opens
// take their place: the messages written to the console would land inside the compressed or
// decoded file. Both files come out whole and right.
TEST(ClosedConsole, MessagesNeverLandInTheFiles) {
    TempDir dir;
    const std::string wave = asText(test::waveFile(test::pcmSignal(Signal::Tones, 16, 2, 60000), 16, 2));
    dir.write("x.wav", wave);
    const auto closeConsole = [] {
        close(STDOUT_FILENO);
        close(STDERR_FILENO);
    };
    Outcome run = runElq({"x.wav"}, dir, -1, "/dev/null", closeConsole);
    EXPECT_EQ(run.exitCode, 0);
    ASSERT_EQ(runElq({"--silent", "x.wav", "--output", "reference.elq"}, dir).exitCode, 0);
    EXPECT_TRUE(
        sameBytes(test::readWholeFile(dir.path("x.elq")), test::readWholeFile(dir.path("reference.elq"))));
    run = runElq({"x.elq", "--output", "back.wav"}, dir, -1, "/dev/null", closeConsole);
    EXPECT_EQ(run.exitCode, 0);
    EXPECT_TRUE(sameBytes(test::readWholeFile(dir.path("back.wav")), wave));
}

// A compressed file cut at every block boundary and at several places inside each block head,
// payload and stored section: always the end-of-file report, and the decoded part is the start
// of the original WAVE file.
TEST(TruncatedFile, EveryBlockBoundaryAndInsideEveryBlock) {
    TempDir dir;
    const std::string wave = threeBlockWave();
    dir.write("x.wav", wave);
    ASSERT_EQ(runElq(withArgs(kFastBlocks, {"x.wav"}), dir).exitCode, 0);
    const std::string elq = test::readWholeFile(dir.path("x.elq"));
    auto u32 = [&](size_t at) {
        uint32_t v = 0;
        for (int k = 0; k < 4; ++k)
            v |= static_cast<uint32_t>(static_cast<uint8_t>(elq[at + k])) << (8 * k);
        return v;
    };

    std::vector<size_t> cuts = {0, 3, 10, 21, 27, 28, 50};
    size_t at = 28 + u32(24);
    int blocks = 0;
    while (elq.compare(at, 4, "COMP") == 0) {
        const size_t length = 8 + u32(at + 4);
        for (size_t offset : {size_t{0}, size_t{2}, size_t{7}, size_t{13}, size_t{19}, size_t{20}, size_t{21},
                              length / 2, length - 2, length - 1})
            cuts.push_back(at + offset);
        at += length;
        ++blocks;
    }
    ASSERT_EQ(blocks, 3);
    ASSERT_EQ(elq.compare(at, 4, "TAIL"), 0);
    for (size_t offset : {size_t{0}, size_t{2}, size_t{4}, size_t{7}, size_t{8}, size_t{12}})
        cuts.push_back(at + offset);
    ASSERT_EQ(at + 8 + u32(at + 4), elq.size());

    for (size_t cut : cuts) {
        SCOPED_TRACE(cut);
        ASSERT_LT(cut, elq.size());
        dir.write("cut.elq", elq.substr(0, cut));
        std::filesystem::remove(dir.path("cut.wav"));
        Outcome run = runElq({"--silent", "cut.elq"}, dir);
        EXPECT_TRUE(run.exited);
        EXPECT_EQ(run.exitCode, 1);
        EXPECT_EQ(run.err, kEndOfFile);
        expectPrefixOrAbsent(dir, "cut.wav", wave);
    }
}

}  // namespace
}  // namespace elq
