#include "foundation/file.h"

#include <errno.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <string>
#include <thread>

#include "foundation/exception.h"
#include "support/temp_dir.h"

namespace elq {
namespace {

using test::TempDir;

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

std::string fdPath(int fd) {
    return "/dev/fd/" + std::to_string(fd);
}

TEST(File, DashIsAStandardHandleWithoutRealName) {
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
    // Closing leaves the standard streams usable for later files.
    EXPECT_NE(fcntl(STDOUT_FILENO, F_GETFD), -1);
}

TEST(File, OpenFailuresAreFileNotFoundFromCreateFile) {
    TempDir dir;
    InputFile in;
    Exception e = raised([&] { in.openRead(dir.path("missing.wav").c_str()); });
    EXPECT_EQ(e.code, FILENOTFOUND);
    EXPECT_STREQ(e.name, "CreateFile");
    EXPECT_EQ(e.value, static_cast<uint64_t>(ENOENT));
    EXPECT_NE(std::string(e.format()).find(strerror(ENOENT)), std::string::npos);
    EXPECT_FALSE(in.isOpen());
    EXPECT_EQ(in.realName, nullptr);
    EXPECT_EQ(raised([&] { in.openRead(dir.path("").c_str()); }).code, FILENOTFOUND);  // a directory

    OutputFile out;
    e = raised([&] { out.openWrite(dir.path("no/such/dir.elq").c_str()); });
    EXPECT_EQ(e.code, FILENOTFOUND);
    EXPECT_STREQ(e.name, "CreateFile");
    EXPECT_FALSE(out.isOpen());
}

TEST(File, ReadMinAtEndOfFile) {
    TempDir dir;
    std::string name = dir.write("five.bin", "12345");
    InputFile in;
    in.openRead(name.c_str());
    ASSERT_NE(in.realName, nullptr);
    EXPECT_EQ(std::string(in.realName), name);
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

TEST(File, PipeDeliversAllChunksAndEndsWhenTheWriterCloses) {
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    InputFile in;
    in.openRead(fdPath(fds[0]).c_str());
    close(fds[0]);
    std::thread writer([fd = fds[1]] {
        for (char c = 'a'; c < 'e'; ++c) {
            std::string chunk(25, c);
            EXPECT_EQ(write(fd, chunk.data(), chunk.size()), 25);
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        close(fd);
    });
    char buffer[200];
    EXPECT_EQ(in.read(buffer, 60), 60u);  // gathered from separate chunks
    EXPECT_EQ(buffer[59], 'c');
    EXPECT_EQ(in.read(buffer, 100), 40u);  // the writer has gone: end of file, no error
    EXPECT_EQ(buffer[39], 'd');
    EXPECT_EQ(in.read(buffer, 100), 0u);
    writer.join();
    in.close();
}

TEST(File, WritingIntoAClosedPipeIsAWriteError) {
    signal(SIGPIPE, SIG_IGN);  // as the program does at start-up
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    OutputFile out;
    out.openWrite(fdPath(fds[1]).c_str());
    close(fds[1]);
    close(fds[0]);
    Exception e = raised([&] { out.write("data", 4); });
    EXPECT_EQ(e.code, WRITEERROR);
    EXPECT_STREQ(e.name, "WriteFile");
    EXPECT_EQ(e.value, static_cast<uint64_t>(EPIPE));
    out.close();
}

TEST(File, SizeAndSeekBeyondFourGibibytes) {
    TempDir dir;
    std::string name = dir.path("sparse.bin");
    const uint64_t size = (5ull << 30) + 123, markAt = (4ull << 30) + 7;
    int fd = ::open(name.c_str(), O_WRONLY | O_CREAT, 0644);
    ASSERT_GE(fd, 0);
    if (ftruncate(fd, static_cast<off_t>(size)) != 0) {
        close(fd);
        GTEST_SKIP() << "the temporary file system cannot hold a sparse 5 GiB file";
    }
    ASSERT_EQ(pwrite(fd, "MARK", 4, static_cast<off_t>(markAt)), 4);
    close(fd);

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
