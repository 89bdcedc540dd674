#include "frontend/container.h"

#include <gtest/gtest.h>

#include <string>
#include <tuple>

#include "support/temp_dir.h"
#include "wave/wave_test_support.h"

namespace elq {
namespace {

using test::Bytes;

TEST(SampleTypeTable, NamesBitsAndCompressedTypes) {
    std::string names;  // printed and stored by index, the misspelt name included
    for (const char* name : kSampleTypeNames)
        names += std::string(name) + " ";
    EXPECT_EQ(names, "UINT8 SINT8 UINT16 SINT16 UINT24 SINT24 UINT32 SINT32 FLOAT32_0 FOAT32_16 FLOAT32_24 ");
    EXPECT_EQ(kBitsPerSample[UINT24], 24);
    EXPECT_EQ(kBitsPerSample[FLOAT32_24], 32);
    for (uint32_t type = 0; type < 300; ++type)
        EXPECT_EQ(isCompressedSampleType(type), type == 0 || type == 3 || type == 5 || type == 7) << type;
}

class ContainerTest : public ::testing::Test {
protected:
    template <class Write>
    Bytes written(Write write) {
        std::string path = dir.path("out" + std::to_string(++count));
        OutputStream out;
        out.open(path.c_str());
        write(out);
        out.close();
        std::string bytes = test::readWholeFile(path);
        return Bytes(bytes.begin(), bytes.end());
    }
    void openInput(InputStream& in, const Bytes& bytes) {
        in.open(dir.write("in" + std::to_string(++count), bytes).c_str());
    }

    test::TempDir dir;
    int count = 0;
};

TEST_F(ContainerTest, LayoutIsLittleEndianFieldByField) {
    const uint8_t head[] = {'a', 'b', 'c'}, tail[] = {0x00, 0xFF};
    ContainerHeader header{
        .totalSamples = 0xFFFF123489ABCDEFull, .sampleType = SINT24, .channels = 2, .sampleRate = 48000};
    Bytes bytes = written([&](OutputStream& out) {
        writeContainerHeader(out, header, head, sizeof head);
        writeTailSection(out, tail, sizeof tail);
    });
    EXPECT_EQ(bytes, (Bytes{'E', 'L', 'Q',  ' ',  12,  0,   0,   0,   0xEF, 0xCD, 0xAB, 0x89, 0x34, 0x12,
                            5,   2,   0x80, 0xBB, 0,   0,   'H', 'E', 'A',  'D',  3,    0,    0,    0,
                            'a', 'b', 'c',  'T',  'A', 'I', 'L', 2,   0,    0,    0,    0x00, 0xFF}));
    EXPECT_EQ(bytes[kHeadDataOffset], 'a');
}

// A container read back as the decoder does, which checks neither the header length nor the tags.
// The sections are empty, or far larger than the streams' buffers.
TEST_F(ContainerTest, HeaderAndSectionsRoundTrip) {
    for (size_t size : {0, 100003}) {
        Bytes head = test::patternBytes(size, 1), tail = test::patternBytes(size / 2, 2);
        ContainerHeader header{
            .totalSamples = 0xABCD12345678ull, .sampleType = 3, .channels = 1, .sampleRate = 7};
        Bytes file = written([&](OutputStream& out) {
            writeContainerHeader(out, header, head.data(), static_cast<uint32_t>(head.size()));
            writeTailSection(out, tail.data(), static_cast<uint32_t>(tail.size()));
        });
        test::put32(file, 4, 99);
        test::put32(file, kHeadDataOffset - 8, 0x58585858);
        test::put32(file, kHeadDataOffset + head.size(), 0x59595959);
        InputStream in;
        openInput(in, file);
        ASSERT_TRUE(readMagic(in));
        ContainerHeader read = readHeaderFields(in);
        EXPECT_EQ(std::tie(read.totalSamples, read.sampleType, read.channels, read.sampleRate),
                  std::tie(header.totalSamples, header.sampleType, header.channels, header.sampleRate));
        Bytes restored = written([&](OutputStream& out) {
            copyHeadSection(in, out);
            copyTailSection(in, out);
        });
        EXPECT_EQ(in.position(), file.size());
        head.insert(head.end(), tail.begin(), tail.end());
        EXPECT_EQ(restored, head);
    }
}

TEST_F(ContainerTest, EveryChangedMagicBitIsRejected) {
    for (int bit = 0; bit < 32; ++bit) {
        Bytes damaged = {'E', 'L', 'Q', ' '};
        damaged[bit / 8] ^= static_cast<uint8_t>(1 << (bit % 8));
        InputStream in;
        openInput(in, damaged);
        EXPECT_FALSE(readMagic(in)) << bit;
    }
}

}  // namespace
}  // namespace elq
