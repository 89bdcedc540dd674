#include "foundation/allocator.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <set>

namespace elq {
namespace {

TEST(Allocator, BlocksAreEightByteAlignedUsableAndDistinct) {
    std::set<void*> seen;
    void* blocks[40];
    for (size_t size = 0; size < 40; ++size) {
        blocks[size] = allocate(size % 20);  // twice each size, 0 included
        ASSERT_NE(blocks[size], nullptr);
        EXPECT_EQ(reinterpret_cast<uintptr_t>(blocks[size]) % 8, 0u) << size;
        EXPECT_TRUE(seen.insert(blocks[size]).second);
        memset(blocks[size], 0xA5, size % 20 == 0 ? 1 : size % 20);  // overruns show under the sanitizers
    }
    for (void* block : blocks)
        release(block);
    release(nullptr);
    void* wide = allocateAligned(100, 4096);
    EXPECT_EQ(reinterpret_cast<uintptr_t>(wide) % 4096, 0u);
    freeAligned(wide);
}

TEST(Allocator, ExhaustionReportsVariableAndRequestedBytes) {
    EXPECT_EQ(allocate(SIZE_MAX), nullptr);  // not a wrapped-around small request
    try {
        allocateOrThrow(SIZE_MAX - 3, "residue");
        FAIL() << "no exception";
    } catch (const Exception& e) {
        EXPECT_EQ(e.code, OUTOFMEMORY);
        EXPECT_STREQ(e.name, "residue");
        EXPECT_EQ(e.value, static_cast<uint64_t>(SIZE_MAX - 3));  // not the padded request
    }
    // A count whose byte size wraps around must not yield a small buffer.
    EXPECT_THROW(Buffer<int32_t>(SIZE_MAX / 2 + 2, "data"), Exception);
    EXPECT_THROW(Buffer<double>(SIZE_MAX / 8 + 1, "data"), Exception);
}

}  // namespace
}  // namespace elq
