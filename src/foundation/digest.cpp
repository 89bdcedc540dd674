#include "foundation/digest.h"

#include <array>
#include <cstring>

#if defined(__x86_64__)
#include <immintrin.h>
#define ELQ_CRC_FOLDING 1
#endif

namespace elq {

namespace {

constexpr uint32_t kCrcPolynomial = 0xEDB88320u;

// Eight tables for slicing by eight bytes: tables[k][b] is the CRC contribution of byte b followed
// by k zero bytes.
constexpr std::array<std::array<uint32_t, 256>, 8> makeCrcTables() {
    std::array<std::array<uint32_t, 256>, 8> tables{};
    for (uint32_t b = 0; b < 256; ++b) {
        uint32_t c = b;
        for (int k = 0; k < 8; ++k)
            c = (c >> 1) ^ (kCrcPolynomial & (0u - (c & 1u)));
        tables[0][b] = c;
    }
    for (uint32_t b = 0; b < 256; ++b)
        for (int k = 1; k < 8; ++k)
            tables[k][b] = (tables[k - 1][b] >> 8) ^ tables[0][tables[k - 1][b] & 0xFF];
    return tables;
}

constexpr auto kCrcTables = makeCrcTables();

uint32_t load32(const uint8_t* p) {
    return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 |
           static_cast<uint32_t>(p[2]) << 16 | static_cast<uint32_t>(p[3]) << 24;
}

// Multiplication of two polynomials modulo the CRC polynomial, in the reflected bit order.
uint32_t multiplyModulo(uint32_t a, uint32_t b) {
    uint32_t product = 0;
    for (uint32_t bit = 0x80000000u; bit != 0; bit >>= 1) {
        if (a & bit) product ^= b;
        b = (b >> 1) ^ (kCrcPolynomial & (0u - (b & 1u)));
    }
    return product;
}

// One step of slicing by eight bytes.
uint32_t updateEight(uint32_t c, const uint8_t* p) {
    const uint32_t one = load32(p) ^ c, two = load32(p + 4);
    return kCrcTables[7][one & 0xFF] ^ kCrcTables[6][(one >> 8) & 0xFF] ^ kCrcTables[5][(one >> 16) & 0xFF] ^
           kCrcTables[4][one >> 24] ^ kCrcTables[3][two & 0xFF] ^ kCrcTables[2][(two >> 8) & 0xFF] ^
           kCrcTables[1][(two >> 16) & 0xFF] ^ kCrcTables[0][two >> 24];
}

#ifdef ELQ_CRC_FOLDING
// Bytes the folding takes at a time, and the least it is worth starting for.
constexpr size_t kFoldBytes = 64;

// x carried forward by the multiplier pair k, plus next.
__attribute__((target("pclmul"))) inline __m128i fold(__m128i x, __m128i k, __m128i next) {
    return _mm_xor_si128(_mm_xor_si128(_mm_clmulepi64_si128(x, k, 0x00), _mm_clmulepi64_si128(x, k, 0x11)),
                         next);
}

// The state after the `blocks` x 64 bytes at p, by carry-less multiplication: four 16-byte
// remainders, each carried forward 512 bits (its two halves multiplied by powers of x modulo the
// polynomial, reflected) and added to the next 64 bytes' share, then the four folded into one by
// 128-bit steps the same way. What is left has the same remainder as the data and goes through the
// tables from a zero state. Far fewer dependent steps than the tables take.
__attribute__((target("pclmul"))) uint32_t foldBlocks(uint32_t c, const uint8_t* p, size_t blocks) {
    const __m128i by512 = _mm_set_epi64x(0x1c6e41596, 0x154442bd4);
    const __m128i by128 = _mm_set_epi64x(0x0ccaa009e, 0x1751997d0);
    const auto load = [](const uint8_t* q) { return _mm_loadu_si128(reinterpret_cast<const __m128i*>(q)); };
    __m128i x[4];
    for (int i = 0; i < 4; ++i)
        x[i] = load(p + 16 * i);
    x[0] = _mm_xor_si128(x[0], _mm_cvtsi32_si128(static_cast<int>(c)));
    for (size_t b = 1; b < blocks; ++b) {
        p += kFoldBytes;
        for (int i = 0; i < 4; ++i)
            x[i] = fold(x[i], by512, load(p + 16 * i));
    }
    const __m128i folded = fold(fold(fold(x[0], by128, x[1]), by128, x[2]), by128, x[3]);
    uint8_t rest[16];
    _mm_storeu_si128(reinterpret_cast<__m128i*>(rest), folded);
    return updateEight(updateEight(0, rest), rest + 8);
}

const bool kCanFold = __builtin_cpu_supports("pclmul");
#endif

}  // namespace

void Crc32::update(const void* data, size_t length) {
    const auto* p = static_cast<const uint8_t*>(data);
    uint32_t c = state;
#ifdef ELQ_CRC_FOLDING
    if (length >= kFoldBytes && kCanFold) {
        const size_t blocks = length / kFoldBytes;
        c = foldBlocks(c, p, blocks);
        p += blocks * kFoldBytes;
        length -= blocks * kFoldBytes;
    }
#endif
    for (; length >= 8; length -= 8, p += 8)
        c = updateEight(c, p);
    for (; length > 0; --length, ++p)
        c = (c >> 8) ^ kCrcTables[0][(c ^ *p) & 0xFF];
    state = c;
}

uint32_t Crc32::of(const void* data, size_t length) {
    Crc32 crc;
    crc.update(data, length);
    return crc.value();
}

uint32_t Crc32::combine(uint32_t crcA, uint32_t crcB, uint64_t lengthB) {
    // Appending B shifts A's remainder by 8·lengthB zero bits: multiply it by x^(8·lengthB), built by
    // squaring x^8 (the byte shift) along the bits of the length.
    uint32_t shift = 0x00800000u;   // x^8 in reflected order
    uint32_t factor = 0x80000000u;  // 1
    for (uint64_t n = lengthB; n != 0; n >>= 1) {
        if (n & 1) factor = multiplyModulo(factor, shift);
        shift = multiplyModulo(shift, shift);
    }
    return multiplyModulo(crcA, factor) ^ crcB;
}

namespace {

constexpr uint32_t kMd5Shifts[64] = {7, 12, 17, 22, 7, 12, 17, 22, 7, 12, 17, 22, 7, 12, 17, 22,
                                     5, 9,  14, 20, 5, 9,  14, 20, 5, 9,  14, 20, 5, 9,  14, 20,
                                     4, 11, 16, 23, 4, 11, 16, 23, 4, 11, 16, 23, 4, 11, 16, 23,
                                     6, 10, 15, 21, 6, 10, 15, 21, 6, 10, 15, 21, 6, 10, 15, 21};

// floor(2^32 · |sin(i + 1)|).
constexpr uint32_t kMd5Constants[64] = {
    0xd76aa478, 0xe8c7b756, 0x242070db, 0xc1bdceee, 0xf57c0faf, 0x4787c62a, 0xa8304613, 0xfd469501,
    0x698098d8, 0x8b44f7af, 0xffff5bb1, 0x895cd7be, 0x6b901122, 0xfd987193, 0xa679438e, 0x49b40821,
    0xf61e2562, 0xc040b340, 0x265e5a51, 0xe9b6c7aa, 0xd62f105d, 0x02441453, 0xd8a1e681, 0xe7d3fbc8,
    0x21e1cde6, 0xc33707d6, 0xf4d50d87, 0x455a14ed, 0xa9e3e905, 0xfcefa3f8, 0x676f02d9, 0x8d2a4c8a,
    0xfffa3942, 0x8771f681, 0x6d9d6122, 0xfde5380c, 0xa4beea44, 0x4bdecfa9, 0xf6bb4b60, 0xbebfbc70,
    0x289b7ec6, 0xeaa127fa, 0xd4ef3085, 0x04881d05, 0xd9d4d039, 0xe6db99e5, 0x1fa27cf8, 0xc4ac5665,
    0xf4292244, 0x432aff97, 0xab9423a7, 0xfc93a039, 0x655b59c3, 0x8f0ccc92, 0xffeff47d, 0x85845dd1,
    0x6fa87e4f, 0xfe2ce6e0, 0xa3014314, 0x4e0811a1, 0xf7537e82, 0xbd3af235, 0x2ad7d2bb, 0xeb86d391};

uint32_t rotateLeft(uint32_t v, uint32_t n) {
    return (v << n) | (v >> (32 - n));
}

}  // namespace

void Md5::reset() {
    state[0] = 0x67452301u;
    state[1] = 0xefcdab89u;
    state[2] = 0x98badcfeu;
    state[3] = 0x10325476u;
    length = 0;
}

void Md5::compress(const uint8_t block[64]) {
    uint32_t m[16];
    for (int i = 0; i < 16; ++i)
        m[i] = load32(block + 4 * i);
    uint32_t a = state[0], b = state[1], c = state[2], d = state[3];
    for (uint32_t i = 0; i < 64; ++i) {
        uint32_t f, g;
        if (i < 16) {
            f = (b & c) | (~b & d);
            g = i;
        } else if (i < 32) {
            f = (d & b) | (~d & c);
            g = (5 * i + 1) % 16;
        } else if (i < 48) {
            f = b ^ c ^ d;
            g = (3 * i + 5) % 16;
        } else {
            f = c ^ (b | ~d);
            g = (7 * i) % 16;
        }
        const uint32_t next = b + rotateLeft(a + f + kMd5Constants[i] + m[g], kMd5Shifts[i]);
        a = d;
        d = c;
        c = b;
        b = next;
    }
    state[0] += a;
    state[1] += b;
    state[2] += c;
    state[3] += d;
}

void Md5::update(const void* data, size_t n) {
    const auto* p = static_cast<const uint8_t*>(data);
    size_t used = length % 64;
    length += n;
    if (used > 0) {
        const size_t take = n < 64 - used ? n : 64 - used;
        memcpy(pending + used, p, take);
        p += take;
        n -= take;
        if (used + take < 64) return;
        compress(pending);
    }
    for (; n >= 64; n -= 64, p += 64)
        compress(p);
    memcpy(pending, p, n);
}

void Md5::finish(uint8_t digest[16]) {
    const uint64_t bits = length * 8;
    uint8_t tail[72] = {0x80};
    const size_t padding = (length % 64 < 56 ? 56 : 120) - length % 64;
    for (int i = 0; i < 8; ++i)
        tail[padding + i] = static_cast<uint8_t>(bits >> (8 * i));
    update(tail, padding + 8);
    for (int i = 0; i < 4; ++i)
        for (int k = 0; k < 4; ++k)
            digest[4 * i + k] = static_cast<uint8_t>(state[i] >> (8 * k));
}

void formatMd5(const uint8_t digest[16], char text[33]) {
    static const char kHex[] = "0123456789abcdef";
    for (int i = 0; i < 16; ++i) {
        text[2 * i] = kHex[digest[i] >> 4];
        text[2 * i + 1] = kHex[digest[i] & 15];
    }
    text[32] = '\0';
}

}  // namespace elq
