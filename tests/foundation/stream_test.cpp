#include "foundation/stream.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <string>

#include "support/temp_dir.h"

namespace elq {
namespace {

// Streams with 16-byte buffers; the input reads 100 bytes that tell their offset, so a misplaced
// window shows at once.
class SmallStreams : public ::testing::Test {
protected:
    void SetUp() override {
        for (size_t i = 0; i < 100; ++i)
            bytes += static_cast<char>(i * 7 + 3);
        in.open(dir.write("in.bin", bytes).c_str(), 16);
        out.open(name.c_str(), 16);
    }
    uint8_t at(size_t i) const { return static_cast<uint8_t>(bytes[i]); }
    uint64_t written() {
        struct stat info;
        return fstat(out.file.handle, &info) == 0 ? static_cast<uint64_t>(info.st_size) : ~0ull;
    }

    test::TempDir dir;
    std::string bytes, name = dir.write("out.bin", "old contents");
    InputStream in;
    OutputStream out;
};

TEST_F(SmallStreams, RefillKeepsUnreadBytesAndLargeReadsBypassTheBuffer) {
    uint8_t buffer[60];
    ASSERT_EQ(in.getByte(), at(0));       // window 0..16
    ASSERT_EQ(in.read(buffer, 14), 14u);  // from the window, one byte unread
    in.refill(4);
    EXPECT_EQ(in.avail, 16u);  // the unread byte kept, the whole free part asked for
    EXPECT_EQ(in.readU32(), at(15) | at(16) << 8 | at(17) << 16 | static_cast<uint32_t>(at(18)) << 24);
    EXPECT_EQ(in.read(buffer, 60), 60u);  // 12 from the buffer, the rest straight from the file
    EXPECT_EQ(in.position(), 79u);
    EXPECT_EQ(std::string(buffer, buffer + 60), bytes.substr(19, 60));
    EXPECT_EQ(in.read(buffer, 60), 21u);  // short at the end, position still follows
    EXPECT_EQ(in.position(), 100u);
    EXPECT_THROW(in.getByte(), Exception);
    in.seek(97);  // 3 bytes left in the file
    EXPECT_THROW(in.refill(4), Exception);
}

// The window covers both its ends; one byte beyond either goes to the file and drops the buffer.
TEST_F(SmallStreams, SeekMovesTheFileOnlyOutsideTheWindow) {
    for (int i = 0; i < 20; ++i)
        ASSERT_EQ(in.getByte(), at(i));  // window 16..32, next 20
    for (uint64_t target : {20, 16, 32, 25}) {
        in.seek(target);
        EXPECT_EQ(in.filePos, 32u) << target;  // no file access
        EXPECT_EQ(in.position(), target);
    }
    EXPECT_EQ(in.getByte(), at(25));
    for (uint64_t target : {33, 32}) {  // one past filePos, then one before the new window 33..49
        in.seek(target);
        EXPECT_EQ(in.filePos, target);
        EXPECT_EQ(in.avail, 0u);
        EXPECT_EQ(in.getByte(), at(target));
    }
}

// A write of exactly the free bytes does not flush; a large one fills the buffer, then bypasses it.
TEST_F(SmallStreams, WritesFlushOnlyAFullBuffer) {
    out.putByte(at(0));
    out.write(bytes.data() + 1, out.free);
    EXPECT_EQ(written(), 0u);  // the old contents are gone, the new ones still buffered
    out.putByte(at(16));
    EXPECT_EQ(written(), 16u);  // the whole buffer, before the new byte
    out.write(bytes.data() + 17, 50);
    EXPECT_EQ(written(), 67u);
    EXPECT_EQ(out.free, 16u);
    out.write(bytes.data() + 67, 33);
    out.writeU32(0x44434241);
    out.writeU16(0x4645);
    EXPECT_EQ(out.position(), 106u);
    out.close();  // flushes the buffered bytes
    EXPECT_EQ(test::readWholeFile(name), bytes + "ABCDEF");
}

// The digest takes each byte once, in order, whatever path it leaves by: the buffer, a large
// read past it, a seek back and a read again; an output's digest takes what reaches the file.
TEST_F(SmallStreams, DigestsTakeEveryByteOnce) {
    Crc32 inCrc, outCrc;
    in.getByte();
    in.startDigest(&inCrc);  // from position 1
    uint8_t buffer[60];
    in.read(buffer, 10);
    in.seek(5);           // back inside the window
    in.read(buffer, 40);  // to 45, past the window
    in.seek(20);          // back outside the window: read again, not digested again
    in.read(buffer, 30);
    in.getByte();
    in.digestUpTo(in.position());
    EXPECT_TRUE(in.digestComplete());
    EXPECT_EQ(inCrc.value(), Crc32::of(bytes.data() + 1, 50));
    in.seek(90);  // skips bytes never passed on
    EXPECT_FALSE(in.digestComplete());
    out.digest = &outCrc;
    out.write(bytes.data(), 10);
    out.write(bytes.data() + 10, 40);
    out.flush();
    EXPECT_EQ(outCrc.value(), Crc32::of(bytes.data(), 50));
}

}  // namespace
}  // namespace elq
