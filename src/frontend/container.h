// The ELQ container: the fixed header and the stored "HEAD" and "TAIL" sections.
// Every multi-byte field is little-endian whatever the host's byte order.
#pragma once

#include <cstdint>

#include "foundation/digest.h"
#include "foundation/stream.h"

namespace elq {

// A four-character tag as the 32-bit value its bytes form when read little-endian.
constexpr uint32_t makeTag(char a, char b, char c, char d) {
    return static_cast<uint32_t>(static_cast<uint8_t>(a)) |
           static_cast<uint32_t>(static_cast<uint8_t>(b)) << 8 |
           static_cast<uint32_t>(static_cast<uint8_t>(c)) << 16 |
           static_cast<uint32_t>(static_cast<uint8_t>(d)) << 24;
}

constexpr uint32_t kMagic = makeTag('E', 'L', 'Q', ' ');
constexpr uint32_t kHeadTag = makeTag('H', 'E', 'A', 'D');
constexpr uint32_t kCompTag = makeTag('C', 'O', 'M', 'P');
constexpr uint32_t kTailTag = makeTag('T', 'A', 'I', 'L');
// The optional checksum section after "TAIL" (frontend/checksum_section.h).
constexpr uint32_t kSumsTag = makeTag('S', 'U', 'M', 'S');
// Bytes from the end of the header-length field up to the "HEAD" tag.
constexpr uint32_t kHeaderLength = 12;
// Offset of the first stored "HEAD" byte in a container.
constexpr uint32_t kHeadDataOffset = 28;

struct ContainerHeader {
    uint64_t totalSamples = 0;  // sample values over all channels; 48 bits are stored
    uint8_t sampleType = 0;
    uint8_t channels = 0;
    uint32_t sampleRate = 0;
};

// The first kHeadDataOffset bytes of a container: the magic, the header fields, the "HEAD" tag and
// `headLength`.
void encodeFixedHeader(const ContainerHeader& header, uint32_t headLength, uint8_t bytes[kHeadDataOffset]);
// Writes the magic, the header fields, the "HEAD" tag, `headLength` and the stored bytes.
void writeContainerHeader(OutputStream& out, const ContainerHeader& header, const uint8_t* head,
                          uint32_t headLength);
// Writes the "TAIL" tag, `tailLength` and the stored bytes; goes after the last block.
void writeTailSection(OutputStream& out, const uint8_t* tail, uint32_t tailLength);

// Reads the first four bytes; true when they are the magic. A file shorter than that raises
// UNEXPECTEDEOF.
bool readMagic(InputStream& in);
// Reads the fields that follow the magic and stops in front of the "HEAD" tag. The header
// length is skipped unchecked; `totalSamples` holds all 48 stored bits, though only the low
// 32 are meaningful to readers.
ContainerHeader readHeaderFields(InputStream& in);
// The four-byte tag at the stream's position, which stays where it was; a stream that ends before
// it raises UNEXPECTEDEOF.
uint32_t peekTag(InputStream& in);

// Where decoded WAVE bytes go: the output file, a comparison with the source, a checksum.
class ByteSink {
public:
    virtual void write(const uint8_t* bytes, uint32_t n) = 0;

protected:
    ~ByteSink() = default;
};

// A sink that writes into an output stream.
class StreamSink final : public ByteSink {
public:
    explicit StreamSink(OutputStream& out) : out_(out) {}
    void write(const uint8_t* bytes, uint32_t n) override { out_.write(bytes, n); }

private:
    OutputStream& out_;
};

// A sink that takes only the MD5 of what passes.
class Md5Sink final : public ByteSink {
public:
    void write(const uint8_t* bytes, uint32_t n) override { md5.update(bytes, n); }
    Md5 md5;
};

// Reads a stored section's length (the stream stands behind its tag) and copies that many bytes
// to `out` straight from the stream's buffer, adding them to `crc`. Returns the length. A file
// that ends early raises UNEXPECTEDEOF.
uint32_t copyStoredBytes(InputStream& in, ByteSink& out, Crc32& crc);

}  // namespace elq
