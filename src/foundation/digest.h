// Checksums of stored and decoded bytes: CRC-32 (the polynomial of zip and PNG, reflected) and MD5.
// Both are computed incrementally over bytes that arrive in pieces.
#pragma once

#include <cstddef>
#include <cstdint>

namespace elq {

class Crc32 {
public:
    void update(const void* data, size_t length);
    uint32_t value() const { return ~state; }
    void reset() { state = 0xFFFFFFFFu; }

    // The CRC of `data` alone.
    static uint32_t of(const void* data, size_t length);
    // The CRC of A followed by B, from the CRCs of A and B and the length of B.
    static uint32_t combine(uint32_t crcA, uint32_t crcB, uint64_t lengthB);

private:
    uint32_t state = 0xFFFFFFFFu;
};

class Md5 {
public:
    Md5() { reset(); }
    void reset();
    void update(const void* data, size_t length);
    // Ends the message and writes the 16-byte digest; the object must be reset before reuse.
    void finish(uint8_t digest[16]);

private:
    void compress(const uint8_t block[64]);

    uint32_t state[4];
    uint64_t length;
    uint8_t pending[64];
};

// Writes the 32 lower-case hex digits of an MD5 digest and a terminating zero.
void formatMd5(const uint8_t digest[16], char text[33]);

}  // namespace elq
