// The ELQ container: the fixed header and the stored "HEAD" and "TAIL" sections.
// Every multi-byte field is little-endian whatever the host's byte order.
#pragma once

#include <cstdint>

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
// Each skips a section's tag unchecked, reads its length and copies that many bytes from
// `in` to `out` through the streams' own buffers. A file that ends early raises UNEXPECTEDEOF.
void copyHeadSection(InputStream& in, OutputStream& out);
void copyTailSection(InputStream& in, OutputStream& out);

}  // namespace elq
