#include "foundation/file.h"

#include <errno.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <thread>

#include "foundation/exception.h"
#include "support/temp_dir.h"

namespace elq {
namespace {

// The Exception that `action` raises; fails the test when none comes.
template <class Action>
Exception raised(Action action) {
    try {
        action();
    } catch (const Exception& e) {
        return e;
    }
    ADD_FAILURE() << "no Exception raised";
    return Exception(UNKNOWN, "", 0, "", 0);
}

TEST(File, DashIsAStandardHandleThatCloseKeepsOpen) {
    InputFile in;
    in.openRead("-");
    EXPECT_EQ(in.handle, STDIN_FILENO);
    EXPECT_EQ(in.realName, nullptr);
    in.close();
    OutputFile out;
    out.openWrite("-");
    EXPECT_EQ(out.handle, STDOUT_FILENO);
    EXPECT_EQ(out.realName, nullptr);
    out.close();
    EXPECT_NE(fcntl(STDOUT_FILENO, F_GETFD), -1);
}

TEST(File, OpenFailuresAreFileNotFoundFromCreateFile) {
    test::TempDir dir;
    InputFile in;
    OutputFile out;
    // A missing file, a directory, a file in a missing directory.
    for (Exception e : {raised([&] { in.openRead(dir.path("missing.wav").c_str()); }),
                        raised([&] { in.openRead(dir.path("").c_str()); }),
                        raised([&] { out.openWrite(dir.path("no/such.elq").c_str()); })}) {
        EXPECT_EQ(e.code, FILENOTFOUND);
        EXPECT_STREQ(e.name, "CreateFile");
        EXPECT_NE(e.value, 0u);
    }
    EXPECT_FALSE(in.isOpen() || out.isOpen());
    EXPECT_EQ(in.realName, nullptr);
}

TEST(File, ReadMinAtEndOfFile) {
    test::TempDir dir;
    std::string name = dir.write("five.bin", "12345");
    InputFile in;
    in.openRead(name.c_str());
    EXPECT_STREQ(in.realName, name.c_str());
    char buffer[16] = {};
    EXPECT_EQ(in.readMin(buffer, 10, 5), 5u);
    EXPECT_EQ(std::string(buffer, 5), "12345");
    EXPECT_EQ(in.readMin(buffer, 10, 0), 0u);  // a minimum of 0 never fails
    in.seek(1);
    Exception e = raised([&] { in.readMin(buffer, 10, 5); });
    EXPECT_EQ(e.code, UNEXPECTEDEOF);
    EXPECT_STREQ(e.name, "readMin");
    in.close();
    EXPECT_EQ(in.realName, nullptr);
}

TEST(File, PipeGathersWritesAndEndsWhenTheWriterCloses) {
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    InputFile in;
    in.openRead(("/dev/fd/" + std::to_string(fds[0])).c_str());
    close(fds[0]);
    std::thread writer([fd = fds[1]] {
        for (int i = 0; i < 4; ++i, std::this_thread::sleep_for(std::chrono::milliseconds(5)))
            EXPECT_EQ(write(fd, "0123456789", 10), 10);
        close(fd);
    });
    char buffer[64];
    EXPECT_EQ(in.read(buffer, 25), 25u);  // gathered from separate writes
    EXPECT_EQ(in.read(buffer, 64), 15u);  // the writer has gone: end of file, no error
    writer.join();
}

TEST(File, WritingIntoAClosedPipeIsAWriteError) {
    signal(SIGPIPE, SIG_IGN);  // as the program does at start-up
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    OutputFile out;
    out.openWrite(("/dev/fd/" + std::to_string(fds[1])).c_str());
    close(fds[1]);
    close(fds[0]);
    Exception e = raised([&] { out.write("data", 4); });
    EXPECT_EQ(e.code, WRITEERROR);
    EXPECT_STREQ(e.name, "WriteFile");
    EXPECT_EQ(e.value, static_cast<uint64_t>(EPIPE));
    out.close();
}

TEST(File, SizeAndSeekBeyondFourGibibytes) {
    test::TempDir dir;
    std::string name = dir.path("sparse.bin");
    const uint64_t size = (5ull << 30) + 123, markAt = (4ull << 30) + 7;
    int fd = ::open(name.c_str(), O_WRONLY | O_CREAT, 0644);
    ASSERT_GE(fd, 0);
    bool made = ftruncate(fd, static_cast<off_t>(size)) == 0 && pwrite(fd, "MARK", 4, markAt) == 4;
    close(fd);
    if (!made) GTEST_SKIP() << "the temporary file system cannot hold a sparse 5 GiB file";
    InputFile in;
    in.openRead(name.c_str());
    EXPECT_EQ(in.size(), size);
    in.seek(markAt);
    char buffer[8] = {};
    EXPECT_EQ(in.read(buffer, 8), 8u);
    EXPECT_EQ(std::string(buffer, 4), "MARK");
    in.seek(size - 3);
    EXPECT_EQ(in.read(buffer, 8), 3u);
    in.close();
}

}  // namespace
}  // namespace elq
