#include "entropy/memory_length.h"

#include <gtest/gtest.h>

#include "support/coded_bytes.h"

namespace elq {
namespace {

TEST(MemoryLength, FieldAndWeights) {
    // N, the 12-bit field, the 16-bit escape (-1: none)
    const int32_t cases[][3] = {{2, 0, -1}, {4096, 4094, -1}, {4097, 4095, 4095}, {65537, 4095, 65535}};
    for (auto& c : cases) {
        const test::Bytes bytes = test::encoded([&](RangeEncoder& e) { writeMemoryLength(e, c[0]); });
        EXPECT_EQ(bytes, test::encoded([&](RangeEncoder& e) {
                      e.encodeShift(1, c[1], 12);
                      if (c[2] >= 0) e.encodeShort(c[2]);
                  }))
            << c[0];
        test::CodedBytes coded(bytes);
        EXPECT_EQ(readMemoryLength(coded.start()), uint32_t(c[0]));
        coded.expectFullyRead();
    }
    // For N = 3, 1 - (2/3) and 1/3 differ in the last bit; both sides must use the former.
    EXPECT_EQ(memoryWeights(3).a, 2.0 / 3.0);
    EXPECT_EQ(memoryWeights(3).b, 1.0 - 2.0 / 3.0);
}

}  // namespace
}  // namespace elq
