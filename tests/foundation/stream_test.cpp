#include "foundation/stream.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "support/temp_dir.h"

namespace elq {
namespace {

using test::TempDir;

// Byte values that tell their offset, so a misplaced window shows at once.
uint8_t patternAt(uint64_t i) {
    return static_cast<uint8_t>((i * 7 + i / 251) & 0xFF);
}

std::string patternBytes(size_t n) {
    std::string bytes(n, '\0');
    for (size_t i = 0; i < n; ++i)
        bytes[i] = static_cast<char>(patternAt(i));
    return bytes;
}

uint64_t fileSize(int fd) {
    struct stat info;
    fstat(fd, &info);
    return static_cast<uint64_t>(info.st_size);
}

// An input stream with a 16-byte buffer over a 100-byte file.
class SmallInputStream : public ::testing::Test {
protected:
    void SetUp() override { in.open(dir.write("in.bin", patternBytes(100)).c_str(), 16); }
    TempDir dir;
    InputStream in;
};

TEST_F(SmallInputStream, GetByteAcrossRefillsThenEndOfFile) {
    for (uint64_t i = 0; i < 100; ++i) {
        ASSERT_EQ(in.position(), i);
        ASSERT_EQ(in.getByte(), patternAt(i)) << i;
    }
    try {
        in.getByte();
        FAIL() << "getByte past the end";
    } catch (const Exception& e) {
        EXPECT_EQ(e.code, UNEXPECTEDEOF);
        EXPECT_STREQ(e.name, "readMin");
    }
}

TEST_F(SmallInputStream, RefillKeepsUnreadBytesAndFailsShortOfItsMinimum) {
    uint8_t head[15];
    ASSERT_EQ(in.read(head, 15), 15u);  // window 0..15, one byte unread
    in.refill(4);
    EXPECT_EQ(in.avail, 16u);  // the whole free part was asked for
    EXPECT_EQ(in.readU32(), patternAt(15) | patternAt(16) << 8 | patternAt(17) << 16 |
                                static_cast<uint32_t>(patternAt(18)) << 24);
    in.seek(97);  // 3 bytes left in the file
    EXPECT_THROW(in.refill(4), Exception);
}

TEST_F(SmallInputStream, LargeReadBypassesTheBuffer) {
    in.getByte();  // window 0..15, 15 unread
    std::vector<uint8_t> buffer(60);
    EXPECT_EQ(in.read(buffer.data(), 60), 60u);
    EXPECT_EQ(in.position(), 61u);
    EXPECT_EQ(in.avail, 0u);
    for (uint32_t i = 0; i < 60; ++i)
        ASSERT_EQ(buffer[i], patternAt(1 + i)) << i;
    EXPECT_EQ(in.read(buffer.data(), 60), 39u);  // short at the end, position still follows
    EXPECT_EQ(in.position(), 100u);
    EXPECT_EQ(buffer[38], patternAt(99));
    EXPECT_THROW(in.readMin(buffer.data(), 1, 1), Exception);
}

TEST_F(SmallInputStream, SeekMovesTheFileOnlyOutsideTheWindow) {
    for (int i = 0; i < 20; ++i)
        in.getByte();  // window 16..32, next 20
    for (uint64_t target : {20ull, 16ull, 32ull, 25ull}) {
        in.seek(target);
        EXPECT_EQ(in.filePos, 32u) << target;  // no file access
        EXPECT_EQ(in.cur, in.startBuffer + (target - 16)) << target;
        EXPECT_EQ(in.position(), target);
    }
    in.seek(32);
    EXPECT_EQ(in.getByte(), patternAt(32));  // the end of the window refills from there
    for (int i = 0; i < 14; ++i)
        in.getByte();  // window 32..48, next 47
    for (uint64_t target : {31ull, 49ull}) {
        in.seek(target);
        EXPECT_EQ(in.filePos, target);
        EXPECT_EQ(in.avail, 0u);
        EXPECT_EQ(in.getByte(), patternAt(target));
    }
}

class SmallOutputStream : public ::testing::Test {
protected:
    void SetUp() override { out.open(name.c_str(), 16); }
    TempDir dir;
    std::string name = dir.write("out.bin", "old contents");
    OutputStream out;
    std::string bytes = patternBytes(100);
};

TEST_F(SmallOutputStream, WriteOfExactlyFreeBytesDoesNotFlush) {
    out.putByte(static_cast<uint8_t>(bytes[0]));
    out.write(bytes.data() + 1, out.free);
    EXPECT_EQ(fileSize(out.file.handle), 0u);
    EXPECT_EQ(out.position(), 16u);
    out.putByte(static_cast<uint8_t>(bytes[16]));
    EXPECT_EQ(fileSize(out.file.handle), 16u);  // the whole buffer, before the new byte
    EXPECT_EQ(out.free, 15u);
    out.close();
    EXPECT_EQ(test::readWholeFile(name), bytes.substr(0, 17));
}

TEST_F(SmallOutputStream, LargeWriteFillsTheBufferThenBypassesIt) {
    out.write(bytes.data(), 5);
    out.write(bytes.data() + 5, 50);
    EXPECT_EQ(fileSize(out.file.handle), 55u);
    EXPECT_EQ(out.free, 16u);
    out.write(bytes.data() + 55, 45);
    EXPECT_EQ(out.position(), 100u);
    out.close();
    EXPECT_EQ(test::readWholeFile(name), bytes);
}

TEST_F(SmallOutputStream, CloseFlushesBufferedBytes) {
    out.writeU32(0x44434241);
    out.writeU16(0x4645);
    out.putByte('G');
    EXPECT_EQ(fileSize(out.file.handle), 0u);
    out.close();
    EXPECT_EQ(test::readWholeFile(name), "ABCDEFG");
}

}  // namespace
}  // namespace elq
