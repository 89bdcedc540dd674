#include "frontend/container.h"

namespace elq {

namespace {

void writeSection(OutputStream& out, uint32_t tag, const uint8_t* bytes, uint32_t length) {
    out.writeU32(tag);
    out.writeU32(length);
    out.write(bytes, length);
}

}  // namespace

void writeContainerHeader(OutputStream& out, const ContainerHeader& header, const uint8_t* head,
                          uint32_t headLength) {
    out.writeU32(kMagic);
    out.writeU32(kHeaderLength);
    out.writeU32(static_cast<uint32_t>(header.totalSamples));
    out.writeU16(static_cast<uint16_t>(header.totalSamples >> 32));
    out.putByte(header.sampleType);
    out.putByte(header.channels);
    out.writeU32(header.sampleRate);
    writeSection(out, kHeadTag, head, headLength);
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
