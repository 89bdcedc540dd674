#include "foundation/file.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <string>

#include "support/temp_dir.h"

namespace elq {
namespace {

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
}

// An output replaces its name only when finished: before, the old file is untouched and the work
// sits in one temporary file beside it; discarded or destroyed unfinished, nothing is left; finished,
// it takes the original's permission bits and times. A device is written in place.
TEST(File, ReplacingOutputs) {
    test::TempDir dir;
    const std::string target = dir.write("out.elq", "old"), original = dir.write("in.wav", "source");
    ASSERT_EQ(chmod(original.c_str(), 0640), 0);
    const struct timespec times[2] = {{1000000000, 0}, {1200000000, 5}};
    ASSERT_EQ(utimensat(AT_FDCWD, original.c_str(), times, 0), 0);
    auto entries = [&] { return std::distance(std::filesystem::directory_iterator(dir.path("")), {}); };
    for (int ending = 0; ending < 3; ++ending) {
        OutputFile out;
        out.openReplacing(target.c_str());
        out.write("new", 3);
        ASSERT_NE(out.temporaryName(), nullptr);
        EXPECT_EQ(std::filesystem::path(out.temporaryName()).parent_path(),
                  std::filesystem::path(target).parent_path());
        EXPECT_EQ(entries(), 3);
        EXPECT_EQ(dir.read("out.elq"), "old");
        if (ending == 0) out.discard();
        if (ending == 2) out.replace(original.c_str());
    }  // the second one is destroyed unfinished
    EXPECT_EQ(entries(), 2);
    EXPECT_EQ(dir.read("out.elq"), "new");
    struct stat info;
    ASSERT_EQ(stat(target.c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 07777, 0640u);
    EXPECT_EQ(info.st_mtim.tv_sec, 1200000000);
    OutputFile device;
    device.openReplacing("/dev/null");
    EXPECT_EQ(device.temporaryName(), nullptr);
    device.write("x", 1);
    device.replace(nullptr);
}

}  // namespace
}  // namespace elq
