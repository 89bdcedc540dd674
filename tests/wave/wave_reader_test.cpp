#include "wave/wave_reader.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <functional>
#include <string>

#include "foundation/stream.h"
#include "frontend/container.h"
#include "wave/wave_test_support.h"

namespace elq {
namespace {

using test::Bytes;
using test::Format;
using test::get32;
using test::WaveBuilder;

const char* const kEofReport = "Exception UNEXPECTEDEOF in file Unknown, line 0\nfunction readMin";

// Reads the samples the way the encoder does, from the reader's own stream.
Bytes takeSamples(WaveReader& reader, uint64_t count) {
    Bytes samples(count);
    uint64_t done = 0;
    while (done < count) {
        uint32_t piece = count - done < (1u << 20) ? static_cast<uint32_t>(count - done) : 1u << 20;
        reader.stream.readMin(samples.data() + done, piece, piece);
        done += piece;
    }
    return samples;
}

// HEAD bytes + sample bytes + TAIL bytes must be the file's first riffEnd bytes.
::testing::AssertionResult restores(WaveReader& reader, const Bytes& file) {
    Bytes samples = takeSamples(reader, reader.dataSize);
    if (!reader.readTrailer()) return ::testing::AssertionFailure() << "readTrailer: " << reader.errorText();
    Bytes joined(reader.preData(), reader.preData() + reader.preDataLength);
    joined.insert(joined.end(), samples.begin(), samples.end());
    joined.insert(joined.end(), reader.trailer(), reader.trailer() + reader.trailerLength);
    if (reader.riffEnd > file.size()) return ::testing::AssertionFailure() << "riffEnd beyond the file";
    if (joined != Bytes(file.begin(), file.begin() + static_cast<ptrdiff_t>(reader.riffEnd))) {
        return ::testing::AssertionFailure() << "restored bytes differ (" << joined.size()
                                             << " restored, riffEnd " << reader.riffEnd << ")";
    }
    return ::testing::AssertionSuccess();
}

class WaveReaderTest : public ::testing::Test {
protected:
    bool openBytes(const Bytes& file, bool verbose = false) {
        return reader.open(dir.write("input" + std::to_string(++count) + ".wav", file).c_str(), verbose);
    }
    // Opens and reads to the end; returns the first error text, or "" when both steps pass.
    std::string firstError(const Bytes& file) {
        if (!openBytes(file)) return reader.errorText();
        takeSamples(reader, reader.dataSize);
        if (!reader.readTrailer()) return reader.errorText();
        return "";
    }

    test::TempDir dir;
    WaveReader reader;
    int count = 0;
};

TEST_F(WaveReaderTest, CanonicalHeaderIsTheFirst44Bytes) {
    Bytes file = test::canonicalWave(100);
    ASSERT_TRUE(openBytes(file)) << reader.errorText();
    EXPECT_EQ(reader.sampleType, SINT16);
    EXPECT_EQ(reader.nChannels, 2);
    EXPECT_EQ(reader.nSamplesPerSec, 44100u);
    EXPECT_EQ(reader.nBlockAlign, 4);
    EXPECT_EQ(reader.dataSize, 400u);
    EXPECT_EQ(reader.frameCount, 100u);
    EXPECT_EQ(reader.riffEnd, file.size());
    ASSERT_EQ(reader.preDataLength, 44u);
    EXPECT_EQ(reader.stream.position(), 44u);
    EXPECT_EQ(Bytes(reader.preData(), reader.preData() + 44), Bytes(file.begin(), file.begin() + 44));
    EXPECT_TRUE(restores(reader, file));
    EXPECT_EQ(reader.trailerLength, 0u);
    EXPECT_TRUE(reader.close());
    EXPECT_EQ(reader.preData(), nullptr);
    EXPECT_EQ(reader.trailer(), nullptr);
}

TEST_F(WaveReaderTest, EmptyDataChunkWithSmallestRiffSize) {
    Bytes file = test::canonicalWave(0);
    ASSERT_EQ(get32(file, 4), 36u);
    ASSERT_TRUE(openBytes(file)) << reader.errorText();
    EXPECT_EQ(reader.frameCount, 0u);
    EXPECT_TRUE(restores(reader, file));
}

TEST_F(WaveReaderTest, OddChunksKeepTheirPadBytesOnBothSides) {
    Format mono8{.channels = 1, .sampleRate = 8000, .blockAlign = 1, .bits = 8};
    Bytes file = WaveBuilder()
                     .chunk("LIST", test::patternBytes(17, 1), 0xAB)
                     .format(mono8)
                     .chunk("junk", test::patternBytes(3, 2), 0xCD)
                     .chunk("data", test::patternBytes(101, 3), 0x5A)
                     .chunk("LIST", test::patternBytes(9, 4), 0xEF)
                     .build();
    ASSERT_TRUE(openBytes(file)) << reader.errorText();
    EXPECT_EQ(reader.sampleType, UINT8);
    EXPECT_EQ(reader.preDataLength, 12u + 26 + 24 + 12 + 8);
    EXPECT_EQ(reader.frameCount, 101u);
    ASSERT_TRUE(restores(reader, file));
    EXPECT_EQ(reader.trailerLength, 1u + 18);
    EXPECT_EQ(reader.trailer()[0], 0x5A);
}

TEST_F(WaveReaderTest, ConformanceFileMatchesItsIndependentEncoding) {
    std::string dataDir = std::string(ELQ_SOURCE_DIR) + "/tests/data/conformance/";
    Bytes wav = test::readFileBytes(dataDir + "chunks8m.wav");
    Bytes elq = test::readFileBytes(dataDir + "chunks8m.default.elq");
    ASSERT_TRUE(reader.open((dataDir + "chunks8m.wav").c_str(), false)) << reader.errorText();
    EXPECT_TRUE(restores(reader, wav));

    // The stored HEAD is the reader's preData; the file ends with "TAIL", T and the trailer.
    ASSERT_GE(elq.size(), kHeadDataOffset + reader.preDataLength + 8 + reader.trailerLength);
    EXPECT_EQ(get32(elq, kHeadDataOffset - 4), reader.preDataLength);
    EXPECT_EQ(Bytes(elq.begin() + kHeadDataOffset, elq.begin() + kHeadDataOffset + reader.preDataLength),
              Bytes(reader.preData(), reader.preData() + reader.preDataLength));
    size_t tail = elq.size() - reader.trailerLength;
    EXPECT_EQ(get32(elq, tail - 8), kTailTag);
    EXPECT_EQ(get32(elq, tail - 4), reader.trailerLength);
    EXPECT_EQ(Bytes(elq.begin() + static_cast<ptrdiff_t>(tail), elq.end()),
              Bytes(reader.trailer(), reader.trailer() + reader.trailerLength));
}

struct TypeCase {
    const char* name;
    Format format;
    SampleType expected;
};

TEST_F(WaveReaderTest, SampleTypeDecision) {
    const TypeCase cases[] = {
        {"pcm 8 mono", {.channels = 1, .blockAlign = 1, .bits = 8}, UINT8},
        {"pcm 16 stereo", {.channels = 2, .blockAlign = 4, .bits = 16}, SINT16},
        {"pcm 16 in an 18-byte chunk", {.channels = 2, .blockAlign = 4, .bits = 16, .size = 18}, SINT16},
        {"pcm 24 stereo", {.channels = 2, .blockAlign = 6, .bits = 24}, SINT24},
        {"pcm 20 bits in 3 bytes", {.channels = 1, .blockAlign = 3, .bits = 20}, SINT24},
        {"pcm 24 bits in 4 bytes", {.channels = 2, .blockAlign = 8, .bits = 24}, FLOAT32_24},
        {"pcm 32", {.channels = 1, .blockAlign = 4, .bits = 32}, SINT32},
        {"float 32", {.tag = 3, .channels = 2, .blockAlign = 8, .bits = 32}, FLOAT32_0},
        {"extensible 24",
         {.tag = 0xFFFE,
          .channels = 2,
          .blockAlign = 6,
          .bits = 24,
          .size = 40,
          .cbSize = 22,
          .validBits = 24},
         SINT24},
        {"extensible 24 valid in 32",
         {.tag = 0xFFFE,
          .channels = 2,
          .blockAlign = 8,
          .bits = 32,
          .size = 40,
          .cbSize = 22,
          .validBits = 24},
         SINT32},
        {"extensible 20 valid in 24",
         {.tag = 0xFFFE,
          .channels = 1,
          .blockAlign = 3,
          .bits = 24,
          .size = 40,
          .cbSize = 22,
          .validBits = 20},
         SINT24},
        {"extensible float",
         {.tag = 0xFFFE,
          .channels = 1,
          .blockAlign = 4,
          .bits = 32,
          .size = 40,
          .cbSize = 22,
          .validBits = 32,
          .subFormat = 3},
         FLOAT32_0},
        {"six channels", {.channels = 6, .blockAlign = 12, .bits = 16}, SINT16},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Bytes file = WaveBuilder()
                         .format(c.format)
                         .chunk("data", test::patternBytes(c.format.blockAlign * 5u, 9))
                         .build();
        ASSERT_TRUE(openBytes(file)) << reader.errorText();
        EXPECT_EQ(reader.sampleType, c.expected);
        EXPECT_EQ(reader.nChannels, c.format.channels);
        EXPECT_EQ(reader.frameCount, 5u);
        EXPECT_TRUE(restores(reader, file));
    }
}

struct FailCase {
    const char* message;
    std::function<Bytes()> file;
};

Bytes withFormat(const Format& f, size_t dataBytes = 40) {
    return WaveBuilder().format(f).chunk("data", test::patternBytes(dataBytes, 5)).build();
}

Bytes patched(size_t at, uint32_t value, int width) {
    Bytes file = test::canonicalWave(10);
    if (width == 16) {
        test::put16(file, at, static_cast<uint16_t>(value));
    } else {
        test::put32(file, at, value);
    }
    return file;
}

// Offsets in the canonical file: the fmt body starts at 20.
TEST_F(WaveReaderTest, EveryHeaderCheckHasItsMessage) {
    const Format ext{
        .tag = 0xFFFE, .channels = 2, .blockAlign = 8, .bits = 32, .size = 40, .cbSize = 22, .validBits = 32};
    const FailCase cases[] = {
        {"RIFF is not present at offset 0",
         [] {
             return patched(0, test::get32(Bytes{'R', 'I', 'F', 'X'}, 0), 32);
         }},
        {"file is shorter than 44 bytes", [] { return patched(4, 35, 32); }},
        {"WAVE is not present at offset 8",
         [] {
             return patched(8, test::get32(Bytes{'W', 'A', 'V', 'F'}, 0), 32);
         }},
        {"fmt_ chunk is already present",
         [] { return WaveBuilder().format({}).format({}).chunk("data", test::patternBytes(40, 5)).build(); }},
        {"fmt_ size is different from 16, 18 and 40", [] { return withFormat({.size = 20}); }},
        {"fmt_ chunk not present before data chunk",
         [] { return WaveBuilder().chunk("data", test::patternBytes(40, 5)).format({}).build(); }},
        {"size of data is too large", [] { return patched(4, 36 + 40 - 1, 32); }},
        {"nBlockAlign does not divide dataSize", [] { return withFormat({}, 1001); }},
        {"cbSize is incorrect", [] { return withFormat({.size = 18, .cbSize = 1}); }},
        {"cbSize is incorrect or not an EXTENSIBLE format",
         [&] {
             Format f = ext;
             f.cbSize = 21;
             return withFormat(f);
         }},
        {"cbSize is incorrect or not an EXTENSIBLE format",
         [&] {
             Format f = ext;
             f.tag = 1;
             return withFormat(f);
         }},
        {"cbSize is incorrect or not an EXTENSIBLE format", [] { return withFormat({.tag = 0xFFFE}); }},
        {"cbSize is incorrect or not an EXTENSIBLE format",
         [] { return withFormat({.tag = 0xFFFE, .size = 18}); }},
        {"nChannels is 0", [] { return patched(22, 0, 16); }},
        {"nSamplesPerSec is 0", [] { return patched(24, 0, 32); }},
        {"wBitsPerSample is 0 or bigger than 32", [] { return patched(34, 0, 16); }},
        {"wBitsPerSample is 0 or bigger than 32", [] { return patched(34, 33, 16); }},
        {"nBlockAlign*nSamplesPerSec!=nAvgBytesPerSec", [] { return patched(28, 44100 * 4 + 1, 32); }},
        {"nBlockAlign is not a multiple of nChannels", [] { return withFormat({.blockAlign = 5}, 50); }},
        {"wValidBitsPerSample is 0 or bigger than containerSize",
         [&] {
             Format f = ext;
             f.validBits = 0;
             return withFormat(f);
         }},
        {"wValidBitsPerSample is 0 or bigger than containerSize",
         [&] {
             Format f = ext;
             f.validBits = 33;
             return withFormat(f);
         }},
        {"wBitsPerSample is not equal with containerSize for EXTENSIBLE",
         [&] {
             Format f = ext;
             f.bits = 20;
             f.validBits = 20;
             f.blockAlign = 6;
             return withFormat(f, 60);
         }},
        {"wFormatTag or SubFormat code is not PCM or IEEE_FLOAT", [] { return patched(20, 2, 16); }},
        {"wFormatTag or SubFormat code is not PCM or IEEE_FLOAT",
         [&] {
             Format f = ext;
             f.subFormat = 2;
             return withFormat(f);
         }},
        {"foundContainerSize is 0 or bigger than 32",
         [] { return withFormat({.channels = 1, .blockAlign = 5, .bits = 32}, 50); }},
        {"foundContainerSize is 0 or bigger than 32", [] { return withFormat({.blockAlign = 0}, 0); }},
        {"unsupported format",
         [] { return withFormat({.tag = 3, .channels = 1, .blockAlign = 2, .bits = 16}); }},
        {"unsupported format", [] { return withFormat({.channels = 1, .blockAlign = 3, .bits = 16}, 60); }},
        {"unsupported format",
         [] { return withFormat({.tag = 3, .channels = 1, .blockAlign = 3, .bits = 24}, 60); }},
        {"fmt_ chunk already present",
         [] { return WaveBuilder().format({}).chunk("data", test::patternBytes(40, 5)).format({}).build(); }},
        {"data chunk already present",
         [] {
             return WaveBuilder()
                 .format({})
                 .chunk("data", test::patternBytes(40, 5))
                 .chunk("data", test::patternBytes(40, 6))
                 .build();
         }},
        {kEofReport,
         [] {
             Bytes file = test::canonicalWave(10);
             file.resize(30);  // inside the format chunk
             return file;
         }},
        {kEofReport,
         [] {
             Bytes file = WaveBuilder()
                              .format({})
                              .chunk("data", test::patternBytes(40, 5))
                              .chunk("LIST", test::patternBytes(20, 1))
                              .build();
             file.resize(file.size() - 1);  // inside the trailing chunk
             return file;
         }},
        {kEofReport,
         [] {
             // An odd data chunk whose RIFF size leaves out the pad byte: the walk passes riffEnd.
             Format mono8{.channels = 1, .blockAlign = 1, .bits = 8};
             Bytes file = WaveBuilder().format(mono8).chunk("data", test::patternBytes(41, 5)).build();
             test::put32(file, 4, static_cast<uint32_t>(file.size() - 9));
             return file;
         }},
    };
    for (const auto& c : cases) {
        Bytes file = c.file();
        SCOPED_TRACE(c.message);
        EXPECT_EQ(firstError(file), c.message);
        EXPECT_EQ(reader.preData(), nullptr);
        EXPECT_EQ(reader.trailer(), nullptr);
    }
}

TEST_F(WaveReaderTest, SampleCountMismatchIsReportedByReadTrailer) {
    Bytes file = WaveBuilder()
                     .format({})
                     .chunk("data", test::patternBytes(40, 5))
                     .chunk("LIST", test::patternBytes(8, 1))
                     .build();
    for (int64_t delta : {-1, 1}) {
        ASSERT_TRUE(openBytes(file)) << reader.errorText();
        takeSamples(reader, reader.dataSize + delta);
        EXPECT_FALSE(reader.readTrailer());
        EXPECT_STREQ(reader.errorText(), "incorrect number of bytes read from data chunk");
    }
}

TEST_F(WaveReaderTest, MissingFileGivesTheOpenReport) {
    EXPECT_FALSE(reader.open(dir.path("absent.wav").c_str(), false));
    EXPECT_EQ(std::string(reader.errorText())
                  .rfind("Exception FILENOTFOUND in file Unknown, line 0\nfunction CreateFile, code 2, ", 0),
              0u)
        << reader.errorText();
}

TEST_F(WaveReaderTest, RiffSizeNear4GiBDoesNotOverflow) {
    Bytes file = test::canonicalWave(10);
    test::put32(file, 4, 0xFFFFFFFF);
    ASSERT_TRUE(openBytes(file)) << reader.errorText();
    EXPECT_EQ(reader.riffEnd, 0x100000007u);
    EXPECT_EQ(reader.frameCount, 10u);
    // The claimed end lies far beyond the real one, so the trailing walk meets the end of the file.
    takeSamples(reader, reader.dataSize);
    EXPECT_FALSE(reader.readTrailer());
    EXPECT_STREQ(reader.errorText(), kEofReport);
}

TEST_F(WaveReaderTest, BytesPastRiffEndAreDropped) {
    Bytes file = test::canonicalWave(10);
    Bytes extra = test::patternBytes(13, 8);
    Bytes longer = file;
    longer.insert(longer.end(), extra.begin(), extra.end());
    ASSERT_TRUE(openBytes(longer)) << reader.errorText();
    EXPECT_EQ(reader.riffEnd, file.size());
    EXPECT_TRUE(restores(reader, longer));
    EXPECT_EQ(reader.trailerLength, 0u);
}

TEST_F(WaveReaderTest, PadByteCountedByRiffSizeIsStoredWhateverItsValue) {
    Format mono8{.channels = 1, .blockAlign = 1, .bits = 8};
    Bytes file = WaveBuilder().format(mono8).chunk("data", test::patternBytes(41, 5), 0x77).build();
    ASSERT_TRUE(openBytes(file)) << reader.errorText();
    ASSERT_TRUE(restores(reader, file));
    ASSERT_EQ(reader.trailerLength, 1u);
    EXPECT_EQ(reader.trailer()[0], 0x77);
}

TEST_F(WaveReaderTest, MetadataOfSeveralMegabytesIsKeptWhole) {
    Bytes before = test::patternBytes(5 * 1024 * 1024 + 1, 11);
    Bytes after = test::patternBytes(3 * 1024 * 1024 + 7, 12);
    Bytes file = WaveBuilder()
                     .chunk("LIST", before, 0x11)
                     .format({})
                     .chunk("data", test::patternBytes(4000, 13))
                     .chunk("iXML", after, 0x22)
                     .build();
    ASSERT_TRUE(openBytes(file)) << reader.errorText();
    EXPECT_EQ(reader.preDataLength, 12u + 8 + before.size() + 1 + 24 + 8);
    ASSERT_TRUE(restores(reader, file));
    EXPECT_EQ(reader.trailerLength, 8 + after.size() + 1);
}

TEST_F(WaveReaderTest, SectionsThatA32BitLengthCannotHoldAreRefused) {
    // Refused from the claimed size alone, before anything is read or allocated.
    Bytes header = WaveBuilder().chunk("LIST", {}).build(0xFFFFFFFF);
    test::put32(header, 16, 0xFFFFFFFF);
    EXPECT_EQ(firstError(header), "bytes before the samples exceed 4294967295 and cannot be stored");

    Bytes file = WaveBuilder().format({}).chunk("data", test::patternBytes(40, 5)).chunk("LIST", {}).build();
    test::put32(file, file.size() - 4, 0xFFFFFFF8);
    EXPECT_EQ(firstError(file), "bytes after the samples exceed 4294967295 and cannot be stored");
}

#ifndef __SANITIZE_ADDRESS__
// A chunk that claims almost 4 GiB in a short file must end in the end-of-file report, with no
// attempt to allocate the claimed size: run under an address-space limit far below it.
TEST_F(WaveReaderTest, HugeClaimedChunkInShortFileFailsWithoutHugeAllocation) {
    Bytes file = WaveBuilder().chunk("LIST", test::patternBytes(100, 1)).format({}).build();
    test::put32(file, 16, 0xFFFFFF00);
    std::string path = dir.write("hostile.wav", file);
    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        rlimit limit{};
        long pages = 0;
        if (FILE* statm = fopen("/proc/self/statm", "r")) {
            if (fscanf(statm, "%ld", &pages) != 1) pages = 0;
            fclose(statm);
        }
        rlim_t room = static_cast<rlim_t>(pages) * static_cast<rlim_t>(sysconf(_SC_PAGESIZE)) + (512u << 20);
        limit.rlim_cur = limit.rlim_max = room;
        if (pages == 0 || setrlimit(RLIMIT_AS, &limit) != 0) _exit(3);
        WaveReader hostile;
        bool opened = hostile.open(path.c_str(), false);
        _exit(!opened && std::string(hostile.errorText()) == kEofReport ? 0 : 1);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
}
#endif

TEST_F(WaveReaderTest, VerboseListing) {
    Format ext{
        .tag = 0xFFFE, .channels = 2, .blockAlign = 8, .bits = 32, .size = 40, .cbSize = 22, .validBits = 24};
    Bytes file = WaveBuilder()
                     .chunk("\x01xy\x7f", test::patternBytes(3, 1))
                     .format(ext)
                     .chunk("data", test::patternBytes(16, 2))
                     .chunk("LIST", test::patternBytes(4, 3))
                     .build();
    ::testing::internal::CaptureStdout();
    bool opened = openBytes(file, true);
    takeSamples(reader, 16);
    bool trailed = reader.readTrailer();
    std::string listing = ::testing::internal::GetCapturedStdout();
    ASSERT_TRUE(opened && trailed) << reader.errorText();
    EXPECT_EQ(listing,
              "Found ?xy? chunk, size          3\n"
              "Found fmt  chunk, size         40\n"
              "  wFormatTag            FFFE\n"
              "  nChannels                2\n"
              "  nSamplesPerSec       44100\n"
              "  wBitsPerSample          32\n"
              "  containerSize           32\n"
              "  wValidBitsPerSample     24\n"
              "  foundContainerSize      32\n"
              "  warning: format can also be FLOAT32_16 (Cool Edit)\n"
              "Found data chunk, size         16\n"
              "data (start   80, size         16)\n"
              "Found LIST chunk, size          4\n");
}

TEST_F(WaveReaderTest, ReaderCanBeReusedAfterAFailure) {
    EXPECT_FALSE(openBytes(patched(4, 35, 32)));
    Bytes file = test::canonicalWave(3);
    ASSERT_TRUE(openBytes(file)) << reader.errorText();
    EXPECT_STREQ(reader.errorText(), "");
    EXPECT_TRUE(restores(reader, file));
}

// Damaged headers must end in true or an error text, never in a crash or a read out of bounds
// (the sanitizer build checks the latter).
TEST_F(WaveReaderTest, DamagedFilesFailCleanly) {
    Format ext{
        .tag = 0xFFFE, .channels = 2, .blockAlign = 6, .bits = 24, .size = 40, .cbSize = 22, .validBits = 24};
    Bytes valid = WaveBuilder()
                      .chunk("LIST", test::patternBytes(11, 1))
                      .format(ext)
                      .chunk("data", test::patternBytes(60, 2))
                      .chunk("junk", test::patternBytes(5, 3))
                      .build();
    Bytes noise = test::patternBytes(3 * 3000, 99);
    for (size_t i = 0; i < 3000; ++i) {
        Bytes file = valid;
        // One to three bytes of the first 120 replaced, sometimes the file cut short.
        for (size_t k = 0; k <= i % 3; ++k)
            file[noise[3 * i + k] % 120] = noise[3 * i + (k + 1) % 3];
        if (i % 5 == 0) file.resize(noise[3 * i] % file.size());
        if (openBytes(file)) {
            uint64_t available = file.size() - reader.preDataLength;
            takeSamples(reader, reader.dataSize < available ? reader.dataSize : available);
            if (!reader.readTrailer()) {
                EXPECT_NE(reader.errorText()[0], '\0');
            }
        } else {
            EXPECT_NE(reader.errorText()[0], '\0');
        }
    }
}

// Feeds `file` through a pipe as standard input of a child that reads "-"; a pipe cannot seek,
// so any attempt to seek fails the read. Returns the child's exit status.
int readFromStandardInput(const Bytes& file) {
    int fds[2];
    if (pipe(fds) != 0) return -1;
    pid_t child = fork();
    if (child < 0) return -1;
    if (child == 0) {
        close(fds[1]);
        if (dup2(fds[0], STDIN_FILENO) < 0) _exit(3);
        close(fds[0]);
        WaveReader reader;
        if (!reader.open("-", false)) _exit(1);
        ::testing::AssertionResult same = restores(reader, file);
        _exit(same && reader.close() ? 0 : 2);
    }
    close(fds[0]);
    // A child that stops reading early must not kill the test with SIGPIPE.
    struct sigaction ignore {
    }, previous{};
    ignore.sa_handler = SIG_IGN;
    sigaction(SIGPIPE, &ignore, &previous);
    size_t done = 0;
    while (done < file.size()) {
        ssize_t n = write(fds[1], file.data() + done, file.size() - done);
        if (n <= 0) break;
        done += static_cast<size_t>(n);
    }
    close(fds[1]);
    sigaction(SIGPIPE, &previous, nullptr);
    int status = 0;
    if (waitpid(child, &status, 0) != child || !WIFEXITED(status)) return -1;
    return WEXITSTATUS(status);
}

TEST(WaveReaderStandardInput, ReadsAPipeWithoutSeeking) {
    EXPECT_EQ(readFromStandardInput(test::canonicalWave(1000)), 0);
    Bytes file = WaveBuilder()
                     .chunk("LIST", test::patternBytes(200001, 1))
                     .format({})
                     .chunk("data", test::patternBytes(40000, 2))
                     .chunk("LIST", test::patternBytes(70001, 3))
                     .build();
    Bytes longer = file;
    longer.resize(file.size() + 100, 0xEE);
    EXPECT_EQ(readFromStandardInput(longer), 0);
}

}  // namespace
}  // namespace elq
