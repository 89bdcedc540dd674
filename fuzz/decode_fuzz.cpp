// The decoder on hostile input, driven as the decode command drives it: header, "HEAD"
// section, blocks until no block tag follows, "TAIL" section. Every input must end in a
// decoded file or an Exception; the block decoder must hand over exactly the values its
// block head announces and leave the stream where it found it when no block starts.
#include <cstring>
#include <vector>

#include "foundation/exception.h"
#include "foundation/stream.h"
#include "frontend/container.h"
#include "frontend/stream_decoder.h"
#include "fuzz_support.h"

namespace elq::fuzz {

namespace {

// Values a fuzzed file may claim in all; bounds the time one input can take.
constexpr uint32_t kMaxTotal = 1 << 16;

// A block whose sample type has no output format ends the file, as in the decode command.
struct TypeNotImplemented {};

class CheckingSink : public BlockSink {
public:
    explicit CheckingSink(uint32_t total) : remaining_(total) {}

    void beginBlock(uint32_t count, uint32_t sampleType, uint32_t channelCode) override {
        FUZZ_CHECK(sampleType < kSampleTypeCount && channelCode <= 1);
        FUZZ_CHECK(channelCode == 0 || count % 2 == 0);
        // The decode command's own limit: no block beyond the header's total.
        if (count > remaining_) throwError(UNKNOWN, "damaged block: more values than the file holds");
        if (!isCompressedSampleType(sampleType)) throw TypeNotImplemented{};
        expected_ = count;
        received_ = 0;
        began_ = true;
    }

    void putSamples(const int32_t* values, uint32_t count) override {
        FUZZ_CHECK(began_);
        FUZZ_CHECK(count <= expected_ - received_);
        for (uint32_t i = 0; i < count; ++i)
            checksum_ += static_cast<uint32_t>(values[i]);  // every value handed over is read
        received_ += count;
    }

    // After readCompressedBlock returned `count`.
    void endBlock(uint32_t count) {
        FUZZ_CHECK(began_ && count == expected_ && received_ == expected_);
        remaining_ -= count;
        began_ = false;
    }

    bool inBlock() const { return began_; }

private:
    uint32_t remaining_;
    uint32_t expected_ = 0;
    uint32_t received_ = 0;
    uint32_t checksum_ = 0;
    bool began_ = false;
};

void decodeFileBytes(const uint8_t* data, size_t size) {
    static MemoryFile file;
    file.assign(data, size);
    InputStream in;
    in.open(file.path());
    if (!readMagic(in)) return;
    ContainerHeader header = readHeaderFields(in);
    const uint32_t total = static_cast<uint32_t>(header.totalSamples);
    if (total > kMaxTotal) return;
    OutputStream out;
    out.open("/dev/null");
    copyHeadSection(in, out);
    CheckingSink sink(total);
    for (;;) {
        const uint64_t start = in.position();
        uint32_t count = readCompressedBlock(in, sink, ProgressSink{});
        if (sink.inBlock()) {
            sink.endBlock(count);
            FUZZ_CHECK(in.position() > start);
        } else {
            FUZZ_CHECK(count == 0 && in.position() == start);
        }
        // As in the decode command, a block of no values ends the blocks too.
        if (count == 0) break;
    }
    copyTailSection(in, out);
    FUZZ_CHECK(in.position() <= size);
    in.close();
    out.close();
}

void decodeGuarded(const uint8_t* data, size_t size) {
    try {
        decodeFileBytes(data, size);
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
    decodeGuarded(data, size);
    return 0;
}

// Arbitrary bytes behind a sound header with an empty "HEAD" section. The first three input
// bytes give the header's total and its sample type and channel count fields.
int decodeBlocks(const uint8_t* data, size_t size) {
    if (size < 3) return 0;
    const uint32_t total = (data[0] | data[1] << 8) % (kMaxTotal + 1);
    const uint8_t layout = data[2];
    const uint8_t types[4] = {UINT8, SINT16, SINT24, SINT32};
    std::vector<uint8_t> file;
    auto put32 = [&](uint32_t v) {
        for (int k = 0; k < 4; ++k)
            file.push_back(static_cast<uint8_t>(v >> (8 * k)));
    };
    put32(kMagic);
    put32(kHeaderLength);
    put32(total);
    file.push_back(0);
    file.push_back(0);
    file.push_back(types[layout & 3]);
    file.push_back(static_cast<uint8_t>(1 + (layout >> 2 & 1)));
    put32(44100);
    put32(kHeadTag);
    put32(0);
    file.insert(file.end(), data + 3, data + size);
    decodeGuarded(file.data(), file.size());
    return 0;
}

}  // namespace elq::fuzz
