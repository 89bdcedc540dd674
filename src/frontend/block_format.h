// The compressed block: a 20-byte head and one range-coded payload. The encode command puts
// the head in front of the payload an encoding loop made; both decoders read heads here.
#pragma once

#include <cstdint>

#include "foundation/stream.h"
#include "frontend/container.h"

namespace elq {

// "COMP" (kCompTag), the length L, "NONE", the value count and the block word.
constexpr uint32_t kBlockHeadSize = 20;
// The head's second tag: written by the encoder, skipped unchecked by the decoders.
constexpr uint32_t kNoneTag = makeTag('N', 'O', 'N', 'E');

// Block word: sample type in bits 0-7, channel code in bits 8-15 (0 mono, 1 stereo), two
// reserved fields (bits 16-21 and 22-26) and the residual coder family in bits 27-31.
struct BlockWord {
    uint32_t sampleType;
    uint32_t channelCode;
    uint32_t reserved1;
    uint32_t reserved2;
    uint32_t family;
};

constexpr uint32_t packBlockWord(uint32_t sampleType, uint32_t channelCode, uint32_t reserved1,
                                 uint32_t reserved2, uint32_t family) {
    return sampleType + (channelCode << 8) + (reserved1 << 16) + (reserved2 << 22) + (family << 27);
}

constexpr BlockWord unpackBlockWord(uint32_t word) {
    return {word & 0xFF, (word >> 8) & 0xFF, (word >> 16) & 0x3F, (word >> 22) & 0x1F, word >> 27};
}

// The fields of a head as stored; nothing but the tag is checked when they are read.
struct BlockHead {
    uint32_t length;  // L: the bytes after the length field, so the block is L + 8 bytes long
    uint32_t count;   // sample values, both channels counted
    BlockWord word;
};

// Fills the kBlockHeadSize bytes at `head`, in front of a payload of `payloadLength` bytes.
void writeBlockHead(uint8_t* head, uint32_t payloadLength, uint32_t count, uint32_t blockWord);

// False unless the kBlockHeadSize `bytes` begin with the "COMP" tag.
bool parseBlockHead(const uint8_t* bytes, BlockHead& head);

// Reads the head of the block at the stream's position. False, with the stream unmoved, when
// no "COMP" tag starts there; a stream that ends inside the head raises UNEXPECTEDEOF.
bool readBlockHead(InputStream& stream, BlockHead& head);

// Refuses, with an UNKNOWN "damaged block: ..." report, a head no decoder can take: an unknown
// sample type, channel code or residual coder, reserved bits 16-21 set, or an odd value count
// in a stereo block.
void checkBlockHead(const BlockHead& head);

}  // namespace elq
