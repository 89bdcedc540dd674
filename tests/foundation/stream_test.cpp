#include "foundation/stream.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "support/temp_dir.h"

namespace elq {
namespace {

using test::TempDir;

// Bytes whose value tells their offset, so a misplaced window shows at once.
std::string patternBytes(size_t n) {
    std::string bytes(n, '\0');
    for (size_t i = 0; i < n; ++i)
        bytes[i] = static_cast<char>((i * 7 + i / 251) & 0xFF);
    return bytes;
}

uint8_t patternAt(uint64_t i) {
    return static_cast<uint8_t>((i * 7 + i / 251) & 0xFF);
}

uint64_t fileOffset(int fd) {
    return static_cast<uint64_t>(lseek(fd, 0, SEEK_CUR));
}

uint64_t fileSize(int fd) {
    struct stat info;
    fstat(fd, &info);
    return static_cast<uint64_t>(info.st_size);
}

// An input stream with a 16-byte buffer over a 100-byte patterned file.
class SmallInputStream : public ::testing::Test {
protected:
    void SetUp() override {
        name = dir.write("in.bin", patternBytes(100));
        in.open(name.c_str(), 16);
    }
    TempDir dir;
    std::string name;
    InputStream in;
};

TEST_F(SmallInputStream, GetByteAcrossRefillsThenEndOfFile) {
    for (uint64_t i = 0; i < 100; ++i) {
        ASSERT_EQ(in.position(), i);
        ASSERT_EQ(in.getByte(), patternAt(i)) << i;
    }
    EXPECT_EQ(in.filePos, 100u);
    try {
        in.getByte();
        FAIL() << "getByte past the end";
    } catch (const Exception& e) {
        EXPECT_EQ(e.code, UNEXPECTEDEOF);
        EXPECT_STREQ(e.name, "readMin");
    }
}

TEST_F(SmallInputStream, RefillKeepsUnreadBytesAndFailsShortOfItsMinimum) {
    uint8_t head[14];
    in.getByte();
    ASSERT_EQ(in.read(head, 14), 14u);  // 1 unread byte stays in the 16-byte window
    ASSERT_EQ(in.avail, 1u);
    in.refill(4);
    EXPECT_EQ(in.cur, in.startBuffer);
    EXPECT_EQ(in.avail, 16u);  // the whole free part was asked for
    EXPECT_EQ(in.readU32(), patternAt(15) | patternAt(16) << 8 | patternAt(17) << 16 |
                                static_cast<uint32_t>(patternAt(18)) << 24);

    in.seek(97);  // outside the window; 3 bytes left in the file
    EXPECT_THROW(in.refill(4), Exception);
}

TEST_F(SmallInputStream, LargeReadBypassesTheBuffer) {
    in.getByte();  // window now holds offsets 0..15, 15 unread
    std::vector<uint8_t> buffer(60);
    uint64_t before = in.position();
    uint32_t count = in.read(buffer.data(), 60);
    EXPECT_EQ(count, 60u);
    EXPECT_EQ(in.position(), before + count);
    EXPECT_EQ(in.avail, 0u);
    EXPECT_EQ(in.cur, in.startBuffer);
    for (uint32_t i = 0; i < count; ++i)
        ASSERT_EQ(buffer[i], patternAt(1 + i)) << i;
    // Past the end the count is short, and position still follows it.
    before = in.position();
    count = in.read(buffer.data(), 60);
    EXPECT_EQ(count, 39u);
    EXPECT_EQ(in.position(), 100u);
    EXPECT_EQ(buffer[38], patternAt(99));
    EXPECT_THROW(in.readMin(buffer.data(), 1, 1), Exception);
}

TEST_F(SmallInputStream, SeekInsideTheWindowNeedsNoFileAccess) {
    for (int i = 0; i < 20; ++i)
        in.getByte();  // window: offsets 16..31, next 20
    ASSERT_EQ(in.filePos, 32u);
    const uint8_t* start = in.startBuffer;
    for (uint64_t target : {20ull, 16ull, 32ull, 25ull}) {
        in.seek(target);
        EXPECT_EQ(in.filePos, 32u) << target;
        EXPECT_EQ(fileOffset(in.file.handle), 32u) << target;
        EXPECT_EQ(in.cur, start + (target - 16)) << target;
        EXPECT_EQ(in.position(), target);
    }
    in.seek(20);
    EXPECT_EQ(in.getByte(), patternAt(20));
    in.seek(32);
    EXPECT_EQ(in.getByte(), patternAt(32));  // the end of the window refills from there
}

TEST_F(SmallInputStream, SeekOutsideTheWindowMovesTheFile) {
    for (int i = 0; i < 20; ++i)
        in.getByte();  // window 16..32
    in.seek(15);
    EXPECT_EQ(in.filePos, 15u);
    EXPECT_EQ(in.avail, 0u);
    EXPECT_EQ(in.getByte(), patternAt(15));
    for (int i = 0; i < 3; ++i)
        in.getByte();  // window 15..31
    ASSERT_EQ(in.filePos, 31u);
    in.seek(32);
    EXPECT_EQ(in.filePos, 32u);
    EXPECT_EQ(in.avail, 0u);
    EXPECT_EQ(fileOffset(in.file.handle), 32u);
    EXPECT_EQ(in.getByte(), patternAt(32));
}

TEST(InputStream, SeekAndReadBeyondFourGibibytes) {
    TempDir dir;
    std::string name = dir.path("sparse.bin");
    const uint64_t markAt = (4ull << 30) + 5;
    int fd = ::open(name.c_str(), O_WRONLY | O_CREAT, 0644);
    ASSERT_GE(fd, 0);
    if (ftruncate(fd, static_cast<off_t>(markAt + 1000)) != 0) {
        close(fd);
        GTEST_SKIP() << "no room for a sparse file";
    }
    ASSERT_EQ(pwrite(fd, "\x01\x02\x03\x04", 4, static_cast<off_t>(markAt)), 4);
    close(fd);
    InputStream in;
    in.open(name.c_str());
    EXPECT_EQ(in.size(), markAt + 1000);
    in.seek(markAt);
    EXPECT_EQ(in.readU32(), 0x04030201u);
    EXPECT_EQ(in.position(), markAt + 4);
    in.close();
    EXPECT_EQ(in.cur, nullptr);
}

class SmallOutputStream : public ::testing::Test {
protected:
    void SetUp() override {
        name = dir.path("out.bin");
        out.open(name.c_str(), 16);
    }
    TempDir dir;
    std::string name;
    OutputStream out;
};

TEST_F(SmallOutputStream, WriteOfExactlyFreeBytesDoesNotFlush) {
    std::string bytes = patternBytes(40);
    out.putByte(static_cast<uint8_t>(bytes[0]));
    out.write(bytes.data() + 1, out.free);
    EXPECT_EQ(out.free, 0u);
    EXPECT_EQ(fileSize(out.file.handle), 0u);
    EXPECT_EQ(out.position(), 16u);
    out.putByte(static_cast<uint8_t>(bytes[16]));
    EXPECT_EQ(fileSize(out.file.handle), 16u);  // the whole buffer, before the new byte
    EXPECT_EQ(out.filePos, 16u);
    EXPECT_EQ(out.free, 15u);
    out.close();
    EXPECT_EQ(test::readWholeFile(name), bytes.substr(0, 17));
}

TEST_F(SmallOutputStream, LargeWriteFillsTheBufferThenBypassesIt) {
    std::string bytes = patternBytes(100);
    out.write(bytes.data(), 5);
    out.write(bytes.data() + 5, 50);
    EXPECT_EQ(out.filePos, 55u);
    EXPECT_EQ(fileSize(out.file.handle), 55u);
    EXPECT_EQ(out.free, 16u);
    out.write(bytes.data() + 55, 45);
    EXPECT_EQ(out.position(), 100u);
    out.write(bytes.data(), 0);
    out.close();
    EXPECT_EQ(test::readWholeFile(name), bytes);
}

TEST_F(SmallOutputStream, CloseFlushesBufferedBytes) {
    out.writeU32(0x44434241);
    out.writeU16(0x4645);
    out.putByte('G');
    EXPECT_EQ(fileSize(out.file.handle), 0u);
    out.close();
    EXPECT_EQ(out.cur, nullptr);
    EXPECT_EQ(test::readWholeFile(name), "ABCDEFG");
}

TEST(OutputStream, ReopeningTruncatesAndStartsAtZero) {
    TempDir dir;
    std::string name = dir.write("again.bin", std::string(50, 'z'));
    OutputStream out;
    out.open(name.c_str());
    EXPECT_EQ(out.position(), 0u);
    EXPECT_EQ(out.free, kStreamBufferSize);
    out.putByte('q');
    out.close();
    EXPECT_EQ(test::readWholeFile(name), "q");
}

}  // namespace
}  // namespace elq
