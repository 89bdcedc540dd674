#include "foundation/digest.h"

#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <string>
#include <vector>

namespace elq {
namespace {

std::string md5Of(const std::string& text) {
    Md5 md5;
    md5.update(text.data(), text.size());
    uint8_t digest[16];
    md5.finish(digest);
    char hex[33];
    formatMd5(digest, hex);
    return hex;
}

TEST(DigestTest, KnownValues) {
    EXPECT_EQ(Crc32::of("123456789", 9), 0xCBF43926u);
    EXPECT_EQ(Crc32::of("", 0), 0u);
    EXPECT_EQ(md5Of(""), "d41d8cd98f00b204e9800998ecf8427e");
    EXPECT_EQ(md5Of("abc"), "900150983cd24fb0d6963f7d28e17f72");
    EXPECT_EQ(md5Of("message digest"), "f96b697d7cb7938d525a2f31aaf161d0");
    // 80 bytes: the length field falls into a second padding block.
    std::string digits;
    for (int i = 0; i < 8; ++i)
        digits += "1234567890";
    EXPECT_EQ(md5Of(digits), "57edf4a22be3c955ac49da2e2107b67a");
}

// Pieces of every size give the one-shot value, and a CRC of two parts combines into the whole's.
TEST(DigestTest, PiecesAndCombination) {
    std::mt19937 random(7);
    std::vector<uint8_t> data(3000);
    for (auto& b : data)
        b = static_cast<uint8_t>(random());
    Md5 whole;
    whole.update(data.data(), data.size());
    uint8_t expected[16];
    whole.finish(expected);
    const uint32_t expectedCrc = Crc32::of(data.data(), data.size());
    for (int round = 0; round < 50; ++round) {
        Md5 md5;
        Crc32 crc;
        for (size_t at = 0; at < data.size();) {
            size_t n = std::min<size_t>(random() % 130, data.size() - at);
            md5.update(data.data() + at, n);
            crc.update(data.data() + at, n);
            at += n;
        }
        uint8_t digest[16];
        md5.finish(digest);
        EXPECT_EQ(std::memcmp(digest, expected, 16), 0);
        EXPECT_EQ(crc.value(), expectedCrc);
        const size_t split = random() % (data.size() + 1);
        EXPECT_EQ(Crc32::combine(Crc32::of(data.data(), split),
                                 Crc32::of(data.data() + split, data.size() - split), data.size() - split),
                  expectedCrc);
    }
}

}  // namespace
}  // namespace elq
