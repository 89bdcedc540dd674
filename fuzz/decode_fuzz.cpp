// The decoder on hostile input, driven as the decode command drives it: header, "HEAD"
// section, blocks until no block tag follows, "TAIL" section. Every input must end in a
// decoded file or an Exception; the block decoder must hand over exactly the values its
// block head announces and leave the stream where it found it when no block starts.
#include "foundation/exception.h"
#include "foundation/stream.h"
#include "frontend/archive_decoder.h"
#include "frontend/container.h"
#include "frontend/stream_decoder.h"
#include "fuzz_support.h"
#include "wave/sample_type.h"
#include "wave/wave_test_support.h"

namespace elq::fuzz {

namespace {

// Values a fuzzed file may claim in all; bounds the time one input can take.
constexpr uint32_t kMaxTotal = 1 << 16;

// Counts what a decoder writes.
struct NullSink final : ByteSink {
    uint64_t bytes = 0;
    void write(const uint8_t*, uint32_t n) override { bytes += n; }
};

// Takes what the block decoder hands over: a sound block head, then no more values than it
// announced, each of them read (the sanitizers see a value outside the decoder's buffer). The
// header's total bounds every block, as in the decode command.
struct CheckingSink : BlockSink {
    uint32_t remaining, expected = 0, received = 0, checksum = 0;
    bool began = false;
    explicit CheckingSink(uint32_t total) : remaining(total) {}
    void beginBlock(uint32_t count, uint32_t sampleType, uint32_t channelCode) override {
        FUZZ_CHECK(sampleType < kSampleTypeCount && channelCode <= 1 && (channelCode == 0 || count % 2 == 0));
        if (count > remaining) throwError(UNKNOWN, "damaged block: more values than the file holds");
        if (!isCompressedSampleType(sampleType)) throw TypeNotImplemented{};
        expected = count;
        received = 0;
        began = true;
    }
    void putSamples(const int32_t* values, uint32_t count) override {
        FUZZ_CHECK(began && count <= expected - received);
        for (uint32_t i = 0; i < count; ++i)
            checksum += static_cast<uint32_t>(values[i]);
        received += count;
    }
};

void decodeFileBytes(const uint8_t* data, size_t size) {
    InputStream in;
    in.open(memoryFile({data, size}));
    if (!readMagic(in)) return;
    const uint32_t total = static_cast<uint32_t>(readHeaderFields(in).totalSamples);
    if (total > kMaxTotal) return;
    NullSink out;
    Crc32 crc;
    in.readU32();  // "HEAD"
    copyStoredBytes(in, out, crc);
    CheckingSink sink(total);
    // As in the decode command, a block of no values ends the blocks too.
    for (uint32_t count = 1; count != 0;) {
        const uint64_t start = in.position();
        count = readCompressedBlock(in, sink, ProgressSink{});
        FUZZ_CHECK(sink.began ? count == sink.expected && sink.received == count && in.position() > start
                              : count == 0 && in.position() == start);
        sink.remaining -= count;
        sink.began = false;
    }
    in.readU32();  // "TAIL" or whatever stands there
    copyStoredBytes(in, out, crc);
    FUZZ_CHECK(in.position() <= size);
}

// The whole-file decoder, with the checks between blocks and the checksum section: it writes no
// more than the header, the values and the stored sections can hold, and damage it reports is
// an Exception.
void decodeArchiveBytes(const uint8_t* data, size_t size) {
    InputStream in;
    in.open(memoryFile({data, size}));
    ArchiveDecoder decoder(in);
    if (!decoder.readMagic()) return;
    // The header's total (48 bits behind the magic and the header length) bounds the work.
    if (size < 14) return;
    const uint64_t total = data[8] | data[9] << 8 | data[10] << 16 | static_cast<uint64_t>(data[11]) << 24 |
                           static_cast<uint64_t>(data[12] | data[13] << 8) << 32;
    if (total > kMaxTotal) return;
    NullSink out;
    ProgressLine line("", true);
    decoder.decode(out, 1, line);
    FUZZ_CHECK(out.bytes <= size + 4 * decoder.header().totalSamples);
}

void decodeGuarded(const uint8_t* data, size_t size, bool whole) {
    try {
        if (whole) {
            decodeArchiveBytes(data, size);
        } else {
            decodeFileBytes(data, size);
        }
    } catch (const Exception& e) {
        // Hostile input may only end in these; nothing of the kind a sound file can raise.
        FUZZ_CHECK(e.code == UNEXPECTEDEOF || e.code == UNKNOWN);
        FUZZ_CHECK(e.format()[0] != '\0');
    } catch (const TypeNotImplemented&) {
    }
}

}  // namespace

// A whole file: mutations of encoded files reach every field of header, blocks and sections.
int decodeContainer(const uint8_t* data, size_t size) {
    decodeGuarded(data, size, false);
    if (size >= 4 && size <= 4096) decodeGuarded(data, size, true);
    return 0;
}

// Arbitrary bytes behind a sound header with an empty "HEAD" section. The first three input
// bytes give the header's total and its sample type and channel count fields.
int decodeBlocks(const uint8_t* data, size_t size) {
    if (size < 3) return 0;
    const uint32_t total = (data[0] | data[1] << 8) % (kMaxTotal + 1);
    const uint8_t types[4] = {UINT8, SINT16, SINT24, SINT32};
    // The total's top 16 of 48 bits, then the sample type and channel count bytes.
    const uint32_t layout = static_cast<uint32_t>(types[data[2] & 3]) << 16 | (1u + (data[2] >> 2 & 1)) << 24;
    Bytes file;
    for (uint32_t word : {kMagic, kHeaderLength, total, layout, 44100u, kHeadTag, 0u})
        test::appendLe(file, word, 4);
    file.insert(file.end(), data + 3, data + size);
    decodeGuarded(file.data(), file.size(), false);
    return 0;
}

}  // namespace elq::fuzz
