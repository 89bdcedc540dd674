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

// Runs `action` and returns the Exception it raises; fails the test when none comes.
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

std::string pipePath(int fd) {
    return "/dev/fd/" + std::to_string(fd);
}

TEST(InputFile, DashIsStandardInputWithoutRealName) {
    InputFile in;
    in.openRead("-");
    EXPECT_EQ(in.handle, STDIN_FILENO);
    EXPECT_EQ(in.realName, nullptr);
    in.close();
    // The standard handle stays usable after close.
    EXPECT_NE(fcntl(STDIN_FILENO, F_GETFD), -1);

    OutputFile out;
    out.openWrite("-");
    EXPECT_EQ(out.handle, STDOUT_FILENO);
    EXPECT_EQ(out.realName, nullptr);
    out.close();
    EXPECT_NE(fcntl(STDOUT_FILENO, F_GETFD), -1);
}

TEST(InputFile, NamedFileKeepsItsOwnCopyOfTheName) {
    TempDir dir;
    std::string name = dir.write("a.bin", "abc");
    InputFile in;
    in.openRead(name.c_str());
    ASSERT_NE(in.realName, nullptr);
    EXPECT_NE(in.realName, name.c_str());
    EXPECT_EQ(std::string(in.realName), name);
    in.close();
    EXPECT_EQ(in.realName, nullptr);
    EXPECT_FALSE(in.isOpen());
}

TEST(InputFile, MissingFileIsFileNotFoundFromCreateFile) {
    TempDir dir;
    std::string name = dir.path("missing.wav");
    InputFile in;
    Exception e = raised([&] { in.openRead(name.c_str()); });
    EXPECT_EQ(e.code, FILENOTFOUND);
    EXPECT_STREQ(e.name, "CreateFile");
    EXPECT_EQ(e.value, static_cast<uint64_t>(ENOENT));
    EXPECT_NE(std::string(e.format()).find(strerror(ENOENT)), std::string::npos);
    EXPECT_FALSE(in.isOpen());
    EXPECT_EQ(in.realName, nullptr);

    OutputFile out;
    e = raised([&] { out.openWrite(dir.path("no/such/dir.elq").c_str()); });
    EXPECT_EQ(e.code, FILENOTFOUND);
    EXPECT_STREQ(e.name, "CreateFile");
    EXPECT_FALSE(out.isOpen());
    // A directory is not a file to read.
    EXPECT_EQ(raised([&] { in.openRead(dir.path("").c_str()); }).code, FILENOTFOUND);
}

TEST(InputFile, ReadAndReadMinAtEndOfFile) {
    TempDir dir;
    std::string name = dir.write("five.bin", "12345");
    InputFile in;
    in.openRead(name.c_str());
    char buffer[16] = {};
    EXPECT_EQ(in.read(buffer, 0), 0u);
    EXPECT_EQ(in.readMin(buffer, 10, 5), 5u);  // the whole file, as many as required
    EXPECT_EQ(std::string(buffer, 5), "12345");
    EXPECT_EQ(in.readMin(buffer, 10, 0), 0u);  // a minimum of 0 never fails
    in.seek(1);
    Exception e = raised([&] { in.readMin(buffer, 10, 5); });
    EXPECT_EQ(e.code, UNEXPECTEDEOF);
    EXPECT_STREQ(e.name, "readMin");
    in.close();
}

TEST(InputFile, PipeDeliversAllChunksAndEndsWhenTheWriterCloses) {
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    InputFile in;
    in.openRead(pipePath(fds[0]).c_str());
    close(fds[0]);
    std::thread writer([fd = fds[1]] {
        for (int i = 0; i < 4; ++i) {
            char chunk[25];
            memset(chunk, 'a' + i, sizeof chunk);
            EXPECT_EQ(write(fd, chunk, sizeof chunk), 25);
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        close(fd);
    });
    char buffer[200];
    // The read gathers the writer's separate chunks until the request is met.
    EXPECT_EQ(in.read(buffer, 60), 60u);
    EXPECT_EQ(buffer[59], 'c');
    // Then the writer goes away: the rest is a short count, not a read error.
    EXPECT_EQ(in.read(buffer, 100), 40u);
    EXPECT_EQ(buffer[39], 'd');
    EXPECT_EQ(in.read(buffer, 100), 0u);
    writer.join();
    in.close();
}

TEST(OutputFile, ExistingFileIsTruncated) {
    TempDir dir;
    std::string name = dir.write("old.elq", std::string(100, 'x'));
    OutputFile out;
    out.openWrite(name.c_str());
    out.write("new", 3);
    out.write("", 0);
    out.close();
    EXPECT_EQ(test::readWholeFile(name), "new");
}

TEST(OutputFile, WritingIntoAClosedPipeIsAWriteError) {
    signal(SIGPIPE, SIG_IGN);  // as the program does at start-up
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    OutputFile out;
    out.openWrite(pipePath(fds[1]).c_str());
    close(fds[1]);
    close(fds[0]);
    Exception e = raised([&] { out.write("data", 4); });
    EXPECT_EQ(e.code, WRITEERROR);
    EXPECT_STREQ(e.name, "WriteFile");
    EXPECT_EQ(e.value, static_cast<uint64_t>(EPIPE));
    out.close();
}

TEST(InputFile, SizeAndSeekBeyondFourGibibytes) {
    TempDir dir;
    std::string name = dir.path("sparse.bin");
    const uint64_t size = (5ull << 30) + 123;
    const uint64_t markAt = (4ull << 30) + 7;
    int fd = ::open(name.c_str(), O_WRONLY | O_CREAT, 0644);
    ASSERT_GE(fd, 0);
    if (ftruncate(fd, static_cast<off_t>(size)) != 0) {
        close(fd);
        GTEST_SKIP() << "the temporary file system has no room for a sparse 5 GiB file";
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
