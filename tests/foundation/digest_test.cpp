#include "foundation/digest.h"

#include <gtest/gtest.h>

#include <random>
#include <string>

namespace elq {
namespace {

std::string md5Of(const std::string& data, size_t piece = 0, std::mt19937* random = nullptr) {
    Md5 md5;
    for (size_t at = 0, n; at < data.size(); at += n) {
        n = std::min(random ? (*random)() % piece : data.size(), data.size() - at);
        md5.update(data.data() + at, n);
    }
    uint8_t digest[16];
    md5.finish(digest);
    char hex[33];
    formatMd5(digest, hex);
    return hex;
}

// Known values (56 and 80 bytes put the length field just past and into a second padding block);
// pieces of every size give the one-shot value, and two CRCs combine into the whole's.
TEST(Digest, KnownValuesPiecesAndCombination) {
    EXPECT_EQ(Crc32::of("123456789", 9), 0xCBF43926u);
    EXPECT_EQ(md5Of(""), "d41d8cd98f00b204e9800998ecf8427e");
    EXPECT_EQ(md5Of("abc"), "900150983cd24fb0d6963f7d28e17f72");
    EXPECT_EQ(md5Of(std::string(56, 'a')), "3b0c8ac703f828b04c6c197006d17218");
    std::string digits;
    for (int i = 0; i < 8; ++i)
        digits += "1234567890";
    EXPECT_EQ(md5Of(digits), "57edf4a22be3c955ac49da2e2107b67a");
    EXPECT_EQ(Crc32::of(digits.data(), 80), 0x7CA94A72u);  // long enough to be folded
    std::mt19937 random(7);
    std::string data(3000, '\0');
    for (char& b : data)
        b = static_cast<char>(random());
    const std::string md5 = md5Of(data);
    const uint32_t crc = Crc32::of(data.data(), data.size());
    for (int round = 0; round < 50; ++round) {
        EXPECT_EQ(md5Of(data, 130, &random), md5);
        Crc32 pieces;
        for (size_t at = 0, n; at < data.size(); at += n) {
            n = std::min<size_t>(random() % 130, data.size() - at);
            pieces.update(data.data() + at, n);
        }
        EXPECT_EQ(pieces.value(), crc);
        const size_t split = random() % (data.size() + 1);
        EXPECT_EQ(Crc32::combine(Crc32::of(data.data(), split),
                                 Crc32::of(data.data() + split, data.size() - split), data.size() - split),
                  crc);
    }
}

}  // namespace
}  // namespace elq
