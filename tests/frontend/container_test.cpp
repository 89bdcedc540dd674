#include "frontend/container.h"

#include <gtest/gtest.h>

#include <string>

#include "foundation/exception.h"
#include "foundation/stream.h"
#include "wave/wave_test_support.h"

namespace elq {
namespace {

using test::Bytes;

TEST(SampleTypeTable, NamesBitsAndCompressedTypes) {
    // The names are printed and parsed as they are, the misspelt one included.
    EXPECT_STREQ(kSampleTypeNames[UINT8], "UINT8");
    EXPECT_STREQ(kSampleTypeNames[SINT24], "SINT24");
    EXPECT_STREQ(kSampleTypeNames[FOAT32_16], "FOAT32_16");
    EXPECT_STREQ(kSampleTypeNames[FLOAT32_24], "FLOAT32_24");
    EXPECT_EQ(FLOAT32_24, 10);
    EXPECT_EQ(kBitsPerSample[SINT8], 8);
    EXPECT_EQ(kBitsPerSample[UINT16], 16);
    EXPECT_EQ(kBitsPerSample[UINT24], 24);
    EXPECT_EQ(kBitsPerSample[FLOAT32_0], 32);
    for (uint32_t type = 0; type < 300; ++type) {
        bool expected = type == 0 || type == 3 || type == 5 || type == 7;
        EXPECT_EQ(isCompressedSampleType(type), expected) << type;
    }
}

class ContainerTest : public ::testing::Test {
protected:
    template <class Write>
    Bytes written(Write write) {
        std::string path = dir.path("out" + std::to_string(++count) + ".elq");
        OutputStream out;
        out.open(path.c_str());
        write(out);
        out.close();
        return test::readFileBytes(path);
    }

    test::TempDir dir;
    int count = 0;
};

TEST_F(ContainerTest, HeaderLayoutIsLittleEndianFieldByField) {
    const uint8_t head[] = {'a', 'b', 'c'};
    ContainerHeader header{
        .totalSamples = 0xFFFF123489ABCDEFull, .sampleType = SINT24, .channels = 2, .sampleRate = 48000};
    Bytes bytes = written([&](OutputStream& out) { writeContainerHeader(out, header, head, sizeof head); });
    const Bytes expected = {'E',  'L',  'Q',  ' ', 12, 0,    0,    0,    0xEF, 0xCD, 0xAB,
                            0x89, 0x34, 0x12, 5,   2,  0x80, 0xBB, 0x00, 0x00, 'H',  'E',
                            'A',  'D',  3,    0,   0,  0,    'a',  'b',  'c'};
    EXPECT_EQ(bytes, expected);
    EXPECT_EQ(kHeadDataOffset + sizeof head, expected.size());
}

TEST_F(ContainerTest, TailSectionLayout) {
    const uint8_t tail[] = {0x00, 0xFF};
    Bytes bytes = written([&](OutputStream& out) { writeTailSection(out, tail, sizeof tail); });
    EXPECT_EQ(bytes, (Bytes{'T', 'A', 'I', 'L', 2, 0, 0, 0, 0x00, 0xFF}));
}

// A whole container with `between` standing for the blocks, read back as the decoder does.
TEST_F(ContainerTest, HeaderAndSectionsRoundTrip) {
    struct Case {
        size_t head, between, tail;
    };
    // Empty sections, and sections far larger than the streams' buffers.
    for (const Case& c : {Case{0, 0, 0}, Case{44, 5, 0}, Case{0, 0, 1}, Case{100003, 40000, 70001}}) {
        SCOPED_TRACE(c.head);
        Bytes head = test::patternBytes(c.head, 1);
        Bytes tail = test::patternBytes(c.tail, 2);
        Bytes between = test::patternBytes(c.between, 3);
        ContainerHeader header{
            .totalSamples = 0x0000ABCD12345678ull, .sampleType = SINT16, .channels = 1, .sampleRate = 44100};
        std::string path = dir.path("rt" + std::to_string(++count) + ".elq");
        {
            OutputStream out;
            out.open(path.c_str());
            writeContainerHeader(out, header, head.data(), static_cast<uint32_t>(head.size()));
            out.write(between.data(), static_cast<uint32_t>(between.size()));
            writeTailSection(out, tail.data(), static_cast<uint32_t>(tail.size()));
            out.close();
        }
        std::string restoredPath = dir.path("rt" + std::to_string(count) + ".wav");
        InputStream in;
        in.open(path.c_str());
        ASSERT_TRUE(readMagic(in));
        ContainerHeader read = readHeaderFields(in);
        EXPECT_EQ(read.totalSamples, header.totalSamples);
        EXPECT_EQ(read.sampleType, header.sampleType);
        EXPECT_EQ(read.channels, header.channels);
        EXPECT_EQ(read.sampleRate, header.sampleRate);
        {
            OutputStream out;
            out.open(restoredPath.c_str());
            copyHeadSection(in, out);
            for (size_t i = 0; i < between.size(); ++i)
                in.getByte();
            copyTailSection(in, out);
            out.close();
        }
        EXPECT_EQ(in.position(), in.size());
        in.close();
        Bytes expected = head;
        expected.insert(expected.end(), tail.begin(), tail.end());
        EXPECT_EQ(test::readFileBytes(restoredPath), expected);
    }
}

TEST_F(ContainerTest, TotalKeeps48Bits) {
    ContainerHeader header{
        .totalSamples = 0xFFFFFFFFFFFFFFFFull, .sampleType = UINT8, .channels = 2, .sampleRate = 8000};
    std::string path = dir.write(
        "wide.elq", written([&](OutputStream& out) { writeContainerHeader(out, header, nullptr, 0); }));
    InputStream in;
    in.open(path.c_str());
    ASSERT_TRUE(readMagic(in));
    EXPECT_EQ(readHeaderFields(in).totalSamples, 0x0000FFFFFFFFFFFFull);
}

TEST_F(ContainerTest, EveryChangedMagicBitIsRejected) {
    Bytes valid =
        written([](OutputStream& out) { writeContainerHeader(out, ContainerHeader{}, nullptr, 0); });
    for (int bit = 0; bit < 32; ++bit) {
        Bytes damaged = valid;
        damaged[bit / 8] ^= static_cast<uint8_t>(1 << (bit % 8));
        InputStream in;
        in.open(dir.write("magic" + std::to_string(bit) + ".elq", damaged).c_str());
        EXPECT_FALSE(readMagic(in)) << bit;
    }
}

TEST_F(ContainerTest, HeaderLengthAndTagsAreNotChecked) {
    Bytes file = written([](OutputStream& out) {
        writeContainerHeader(out, ContainerHeader{.totalSamples = 7, .sampleRate = 1}, nullptr, 0);
    });
    test::put32(file, 4, 99);
    Bytes section = {'X', 'X', 'X', 'X', 2, 0, 0, 0, 9, 8};
    file.resize(kHeadDataOffset - 8);
    file.insert(file.end(), section.begin(), section.end());
    InputStream in;
    in.open(dir.write("loose.elq", file).c_str());
    ASSERT_TRUE(readMagic(in));
    EXPECT_EQ(readHeaderFields(in).totalSamples, 7u);
    std::string outPath = dir.path("loose.out");
    OutputStream out;
    out.open(outPath.c_str());
    copyHeadSection(in, out);
    out.close();
    EXPECT_EQ(test::readFileBytes(outPath), (Bytes{9, 8}));
}

TEST_F(ContainerTest, TruncatedContainerRaisesUnexpectedEof) {
    Bytes head = test::patternBytes(50000, 4);
    Bytes file = written([&](OutputStream& out) {
        writeContainerHeader(out, ContainerHeader{}, head.data(), static_cast<uint32_t>(head.size()));
    });
    // Cut inside the magic, the fields, the section length and the stored bytes.
    for (size_t length : {size_t{2}, size_t{10}, size_t{26}, file.size() - 1}) {
        SCOPED_TRACE(length);
        InputStream in;
        in.open(dir.write("cut" + std::to_string(length) + ".elq", Bytes(file.begin(), file.begin() + length))
                    .c_str());
        OutputStream out;
        out.open(dir.path("cut" + std::to_string(length) + ".out").c_str());
        try {
            ASSERT_TRUE(readMagic(in));
            readHeaderFields(in);
            copyHeadSection(in, out);
            ADD_FAILURE() << "no exception";
        } catch (const Exception& e) {
            EXPECT_EQ(e.code, UNEXPECTEDEOF);
        }
    }
}

TEST_F(ContainerTest, ConformanceHeaderDescribesItsWave) {
    std::string path = std::string(ELQ_SOURCE_DIR) + "/tests/data/conformance/chunks8m.default.elq";
    InputStream in;
    in.open(path.c_str());
    ASSERT_TRUE(readMagic(in));
    ContainerHeader header = readHeaderFields(in);
    // 4001 bytes of 8-bit mono at 8000 Hz.
    EXPECT_EQ(header.totalSamples, 4001u);
    EXPECT_EQ(header.sampleType, UINT8);
    EXPECT_EQ(header.channels, 1);
    EXPECT_EQ(header.sampleRate, 8000u);
    EXPECT_EQ(in.readU32(), kHeadTag);
}

}  // namespace
}  // namespace elq
