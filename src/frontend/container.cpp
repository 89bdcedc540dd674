#include "frontend/container.h"

namespace elq {

namespace {

void writeSection(OutputStream& out, uint32_t tag, const uint8_t* bytes, uint32_t length) {
    out.writeU32(tag);
    out.writeU32(length);
    out.write(bytes, length);
}

}  // namespace

void encodeFixedHeader(const ContainerHeader& header, uint32_t headLength, uint8_t bytes[kHeadDataOffset]) {
    auto put = [&bytes](size_t at, uint64_t value, int width) {
        for (int i = 0; i < width; ++i)
            bytes[at + i] = static_cast<uint8_t>(value >> (8 * i));
    };
    put(0, kMagic, 4);
    put(4, kHeaderLength, 4);
    put(8, header.totalSamples, 6);  // 48 bits: the low 32, then the next 16
    put(14, header.sampleType, 1);
    put(15, header.channels, 1);
    put(16, header.sampleRate, 4);
    put(20, kHeadTag, 4);
    put(24, headLength, 4);
}

void writeContainerHeader(OutputStream& out, const ContainerHeader& header, const uint8_t* head,
                          uint32_t headLength) {
    uint8_t fixed[kHeadDataOffset];
    encodeFixedHeader(header, headLength, fixed);
    out.write(fixed, kHeadDataOffset);
    out.write(head, headLength);
}

void writeTailSection(OutputStream& out, const uint8_t* tail, uint32_t tailLength) {
    writeSection(out, kTailTag, tail, tailLength);
}

bool readMagic(InputStream& in) {
    return in.readU32() == kMagic;
}

ContainerHeader readHeaderFields(InputStream& in) {
    ContainerHeader header;
    in.readU32();
    uint32_t low = in.readU32();
    uint16_t high = in.readU16();
    header.totalSamples = static_cast<uint64_t>(high) << 32 | low;
    header.sampleType = in.getByte();
    header.channels = in.getByte();
    header.sampleRate = in.readU32();
    return header;
}

uint32_t peekTag(InputStream& in) {
    const uint64_t at = in.position();
    const uint32_t tag = in.readU32();
    in.seek(at);
    return tag;
}

uint32_t copyStoredBytes(InputStream& in, ByteSink& out, Crc32& crc) {
    const uint32_t length = in.readU32();
    // Straight from the input buffer to the output: no allocation, whatever the stored length.
    for (uint32_t remaining = length; remaining > 0;) {
        if (in.avail == 0) in.refill(1);
        uint32_t n = remaining < in.avail ? remaining : in.avail;
        out.write(in.cur, n);
        crc.update(in.cur, n);
        in.cur += n;
        in.avail -= n;
        remaining -= n;
    }
    return length;
}

}  // namespace elq
