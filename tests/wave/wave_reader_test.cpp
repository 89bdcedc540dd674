#include "wave/wave_reader.h"

#include <gtest/gtest.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <string>

#include "support/temp_dir.h"
#include "wave/wave_test_support.h"

namespace elq::test {
namespace {

const char* const kEofReport = "Exception UNEXPECTEDEOF in file Unknown, line 0\nfunction readMin";

Format extensible(uint16_t channels, uint16_t blockAlign, uint16_t bits, uint16_t valid, uint16_t sub = 1) {
    return {0xFFFE, channels, 44100, blockAlign, bits, 40, 22, valid, sub};
}

Bytes withFormat(const Format& f, size_t dataBytes = 40) {
    return WaveBuilder().format(f).chunk("data", patternBytes(dataBytes, 5)).build();
}

// The canonical 44-byte header and 10 frames of 16-bit stereo, with the 32-bit field at `at` (the fmt
// body starts at 20) replaced.
Bytes patched(size_t at, uint32_t value) {
    Bytes file = withFormat({});
    test::put32(file, at, value);
    return file;
}

class WaveReaderTest : public ::testing::Test {
protected:
    // Reads `file` as the encoder does, taking `extra` sample bytes more than the data chunk holds.
    // Returns the first error text, or "" when HEAD + samples + TAIL are the whole file.
    std::string run(const Bytes& file, int extra = 0, bool verbose = false) {
        if (!reader.open(dir.write("in" + std::to_string(++count) + ".wav", file).c_str(), verbose))
            return reader.errorText();
        uint32_t length = reader.preDataLength;
        uint64_t n =
            std::min<uint64_t>(reader.dataSize + extra, file.size() - length);  // no memory for claims
        Bytes joined(reader.preData(), reader.preData() + length);
        joined.resize(length + n);
        reader.stream.read(joined.data() + length, static_cast<uint32_t>(n));
        if (!reader.readTrailer()) return reader.errorText();
        joined.insert(joined.end(), reader.trailer(), reader.trailer() + reader.trailerLength);
        if (joined != file) return "restored bytes differ";
        return "";
    }

    test::TempDir dir;
    WaveReader reader;
    int count = 0;
};

// RF64: the ds64 chunk gives the RIFF and data sizes that the 32-bit fields leave as all ones, and
// its table those of other chunks.
TEST_F(WaveReaderTest, Rf64WithAndWithoutItsTable) {
    using Ds64 = std::vector<std::pair<const char*, uint64_t>>;
    auto rf64 = [](const Bytes& samples, const Ds64& table, const Bytes& list) {
        Bytes ds64;
        for (uint64_t v : {uint64_t{0}, uint64_t{samples.size()}, uint64_t{samples.size() / 4}})
            test::appendLe(ds64, static_cast<uint32_t>(v), 4),
                test::appendLe(ds64, static_cast<uint32_t>(v >> 32), 4);
        test::appendLe(ds64, static_cast<uint32_t>(table.size()), 4);
        for (const auto& [id, size] : table) {
            ds64.insert(ds64.end(), id, id + 4);
            test::appendLe(ds64, static_cast<uint32_t>(size), 4);
            test::appendLe(ds64, static_cast<uint32_t>(size >> 32), 4);
        }
        Bytes file =
            WaveBuilder().chunk("ds64", ds64).format({}).chunk("LIST", list).chunk("data", samples).build();
        std::copy_n("RF64", 4, file.begin());
        test::put32(file, 4, 0xFFFFFFFF);
        test::put32(file, file.size() - samples.size() - 4, 0xFFFFFFFF);  // the data size
        const uint64_t riffSize = file.size() - 8;
        for (int i = 0; i < 8; ++i)
            file[20 + i] = static_cast<uint8_t>(riffSize >> (8 * i));
        return file;
    };
    const Bytes samples = patternBytes(400, 4), list = patternBytes(10, 5);
    Bytes withTable = rf64(samples, {{"LIST", list.size()}}, list);
    test::put32(withTable, 12 + 8 + 40 + 8 + 24 + 4, 0xFFFFFFFF);  // the LIST size, found in the table
    for (const Bytes& file : {rf64(samples, {}, list), withTable}) {
        ASSERT_EQ(run(file), "");
        EXPECT_TRUE(reader.rf64);
        EXPECT_EQ(reader.frameCount, 100u);
    }
    Bytes noDs64 = withFormat({});
    std::copy_n("RF64", 4, noDs64.begin());
    EXPECT_EQ(run(noDs64), "RF64 file without a ds64 chunk after WAVE");
}

#ifndef __SANITIZE_ADDRESS__
// A plain RIFF file of over 4 GiB (sparse here) whose data size has wrapped is refused with the way out.
TEST_F(WaveReaderTest, WrappedSizesOfAFileOverFourGibibytesNameRf64) {
    const std::string name =
        dir.write("big.wav", WaveBuilder().format({}).chunk("data", patternBytes(40, 7)).build());
    if (truncate(name.c_str(), (5ll << 30) + 44) != 0) GTEST_SKIP() << "no sparse 5 GiB file here";
    ASSERT_FALSE(reader.open(name.c_str(), false));
    EXPECT_NE(std::string(reader.errorText()).find("write it as RF64"), std::string::npos);
}
#endif

TEST_F(WaveReaderTest, AcceptedFormatsAndBytesPastRiffEnd) {
    EXPECT_NE(run(patched(4, 35)), "");  // a failure first: the next open starts afresh
    // Bytes past the RIFF chunk are kept (a tag appended after it), and a RIFF size that overshoots
    // the file is taken when the chunks end cleanly: 8 bytes too many, or a last pad byte left out.
    Bytes file = withFormat({}, 400), longer = file, overshoot = file;
    longer.resize(file.size() + 128, 0xEE);
    ASSERT_EQ(run(longer), "");
    EXPECT_EQ(reader.riffEnd, file.size());
    EXPECT_EQ(reader.preDataLength, 44u);
    EXPECT_EQ(reader.trailerLength, 128u);
    EXPECT_TRUE(reader.close());
    EXPECT_TRUE(reader.preData() == nullptr && reader.trailer() == nullptr);
    test::put32(overshoot, 4, static_cast<uint32_t>(file.size()));
    Bytes unpadded = withFormat({.channels = 1, .blockAlign = 1, .bits = 8}, 41);
    unpadded.pop_back();
    Bytes oddPadUncounted = withFormat({.channels = 1, .blockAlign = 1, .bits = 8}, 41);
    test::put32(oddPadUncounted, 4, static_cast<uint32_t>(oddPadUncounted.size() - 9));
    for (const Bytes& accepted : {overshoot, unpadded, oddPadUncounted, patched(4, 0xFFFFFFFF)})
        EXPECT_EQ(run(accepted), "");
    EXPECT_EQ(reader.riffEnd, 0x100000007u);  // no wrap
    const std::pair<Format, SampleType> cases[] = {
        {{.channels = 1, .blockAlign = 1, .bits = 8}, UINT8},
        {{.size = 18}, SINT16},
        {{.channels = 6, .blockAlign = 12, .bits = 16}, SINT16},
        {{.channels = 1, .blockAlign = 3, .bits = 20}, SINT24},
        {{.channels = 2, .blockAlign = 8, .bits = 24}, FLOAT32_24},
        {{.channels = 1, .blockAlign = 4, .bits = 32}, SINT32},
        {{.tag = 3, .channels = 2, .blockAlign = 8, .bits = 32}, FLOAT32_0},
        {extensible(2, 6, 24, 24), SINT24},
        {extensible(2, 8, 32, 24), SINT32},
        {extensible(1, 4, 32, 32, 3), FLOAT32_0},
    };
    for (const auto& [format, type] : cases) {
        SCOPED_TRACE(testing::Message() << "bits " << format.bits << ", align " << format.blockAlign);
        ASSERT_EQ(run(withFormat(format, format.blockAlign * 5u)), "");
        EXPECT_EQ(reader.sampleType, type);
        EXPECT_EQ(reader.nChannels, format.channels);
        EXPECT_EQ(reader.nSamplesPerSec, 44100u);
        EXPECT_EQ(reader.frameCount, 5u);
    }
    EXPECT_EQ(run(withFormat({}, 0)), "");  // RIFF size 36, the least
}

// Each file differs from a valid one in one point.
TEST_F(WaveReaderTest, EveryCheckHasItsMessage) {
    const Bytes samples = patternBytes(40, 5);
    Bytes cutInFormat = withFormat({}), hugeHeader = WaveBuilder().chunk("LIST", {}).build(0xFFFFFFFF),
          hugeTrailer = WaveBuilder().format({}).chunk("data", samples).chunk("LIST", {}).build(),
          withTrailer = WaveBuilder().format({}).chunk("data", samples).chunk("LIST", {1, 2}).build();
    Bytes cutInTrailer = withTrailer;
    cutInFormat.resize(30);
    cutInTrailer.pop_back();
    test::put32(hugeHeader, 16, 0xFFFFFFFF);
    test::put32(hugeTrailer, hugeTrailer.size() - 4, 0xFFFFFFF8);
    struct Case {
        const char* message;
        Bytes file;
        int extra = 0;  // sample bytes taken beyond the data chunk
    };
    const Case cases[] = {
        {"RIFF is not present at offset 0", patched(0, 0x58464952)},
        {"file is shorter than 44 bytes", patched(4, 35)},
        {"WAVE is not present at offset 8", patched(8, 0x46564157)},
        {"fmt_ chunk is already present", WaveBuilder().format({}).format({}).build()},
        {"fmt_ size is different from 16, 18 and 40", withFormat({.size = 20})},
        {"fmt_ chunk not present before data chunk", WaveBuilder().chunk("data", samples).format({}).build()},
        {"size of data is too large", patched(4, 36 + 40 - 1)},
        {"nBlockAlign does not divide dataSize", withFormat({}, 1001)},
        {"cbSize is incorrect", withFormat({.size = 18, .cbSize = 1})},
        {"cbSize is incorrect or not an EXTENSIBLE format", withFormat({.tag = 1, .size = 40, .cbSize = 22})},
        {"cbSize is incorrect or not an EXTENSIBLE format",
         withFormat({.tag = 0xFFFE, .size = 40, .cbSize = 21})},
        {"cbSize is incorrect or not an EXTENSIBLE format", withFormat({.tag = 0xFFFE})},
        {"nChannels is 0", patched(20, 1)},
        {"nSamplesPerSec is 0", patched(24, 0)},
        {"wBitsPerSample is 0 or bigger than 32", patched(32, 4)},
        {"wBitsPerSample is 0 or bigger than 32", patched(32, 33 << 16 | 4)},
        {"nBlockAlign*nSamplesPerSec!=nAvgBytesPerSec", patched(28, 44100 * 4 + 1)},
        {"nBlockAlign is not a multiple of nChannels", withFormat({.blockAlign = 5}, 50)},
        {"wValidBitsPerSample is 0 or bigger than containerSize", withFormat(extensible(2, 8, 32, 0))},
        {"wValidBitsPerSample is 0 or bigger than containerSize", withFormat(extensible(2, 8, 32, 33))},
        {"wBitsPerSample is not equal with containerSize for EXTENSIBLE",
         withFormat(extensible(2, 6, 20, 20), 60)},
        {"wFormatTag or SubFormat code is not PCM or IEEE_FLOAT", patched(20, 0x20002)},
        {"foundContainerSize is 0 or bigger than 32", withFormat({.blockAlign = 0}, 0)},
        {"foundContainerSize is 0 or bigger than 32",
         withFormat({.channels = 1, .blockAlign = 5, .bits = 32}, 50)},
        {"unsupported format", withFormat({.tag = 3, .channels = 1, .blockAlign = 2})},
        {"fmt_ chunk already present", WaveBuilder().format({}).chunk("data", samples).format({}).build()},
        {"data chunk already present",
         WaveBuilder().format({}).chunk("data", samples).chunk("data", samples).build()},
        {"incorrect number of bytes read from data chunk", withTrailer, -1},
        {"incorrect number of bytes read from data chunk", withTrailer, 1},
        // What a 32-bit section length cannot hold is refused from the claimed size alone.
        {"bytes before the samples exceed 4294967295 and cannot be stored", hugeHeader},
        {"bytes after the samples exceed 4294967295 and cannot be stored", hugeTrailer},
        {kEofReport, cutInFormat},
        {kEofReport, cutInTrailer},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.message);
        EXPECT_EQ(run(c.file, c.extra), c.message);
        EXPECT_TRUE(reader.preData() == nullptr && reader.trailer() == nullptr);
    }
    EXPECT_FALSE(reader.open(dir.path("absent.wav").c_str(), false));
    EXPECT_EQ(std::string(reader.errorText())
                  .rfind("Exception FILENOTFOUND in file Unknown, line 0\nfunction CreateFile, code 2, ", 0),
              0u);
}

#ifndef __SANITIZE_ADDRESS__
// A chunk claiming almost 4 GiB in a short file ends in the end-of-file report without an attempt
// to allocate the claimed size: the address space is limited far below it meanwhile.
TEST_F(WaveReaderTest, HugeClaimedChunkIsNotAllocated) {
    Bytes file = WaveBuilder().chunk("LIST", patternBytes(100, 1)).format({}).build();
    test::put32(file, 16, 0xFFFFFF00);
    long pages = 0;
    FILE* statm = fopen("/proc/self/statm", "r");
    ASSERT_TRUE(statm && fscanf(statm, "%ld", &pages) == 1);
    fclose(statm);
    rlimit saved{}, limit{};
    ASSERT_EQ(getrlimit(RLIMIT_AS, &saved), 0);
    limit = saved;
    limit.rlim_cur = static_cast<rlim_t>(pages) * sysconf(_SC_PAGESIZE) + (512u << 20);
    ASSERT_EQ(setrlimit(RLIMIT_AS, &limit), 0);
    std::string error = run(file);
    ASSERT_EQ(setrlimit(RLIMIT_AS, &saved), 0);
    EXPECT_EQ(error, kEofReport);
}
#endif

TEST_F(WaveReaderTest, VerboseListing) {
    ::testing::internal::CaptureStdout();
    EXPECT_EQ(run(withFormat(extensible(2, 8, 32, 24)), 0, true), "");
    const std::string listing = ::testing::internal::GetCapturedStdout();
    EXPECT_NE(listing.find(
                  "  wValidBitsPerSample     24\n  foundContainerSize      32\n"
                  "  warning: format can also be FLOAT32_16 (Cool Edit)\nFound data chunk, size         40\n"
                  "data (start   68, size         40)\n"),
              std::string::npos)
        << listing;
}

// Odd chunks keep their pad bytes on both sides of the samples; kept bytes go far beyond the first
// buffer and the largest single read.
TEST_F(WaveReaderTest, KeptBytesOfAnySize) {
    Bytes file = WaveBuilder()
                     .chunk("LIST", patternBytes((3 << 20) + 1, 1), 0xAB)
                     .format({.channels = 1, .sampleRate = 8000, .blockAlign = 1, .bits = 8})
                     .chunk("junk", patternBytes(3, 2), 0xCD)
                     .chunk("data", patternBytes(40001, 3), 0x5A)
                     .chunk("iXML", patternBytes(70001, 4), 0xEF)
                     .build();
    ASSERT_EQ(run(file), "");
    EXPECT_EQ(reader.preDataLength, 12u + 8 + (3 << 20) + 2 + 24 + 12 + 8);
    EXPECT_EQ(reader.frameCount, 40001u);
    EXPECT_EQ(reader.trailerLength, 1u + 8 + 70002);
}

}  // namespace
}  // namespace elq::test
