#include "foundation/allocator.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <set>

namespace elq {
namespace {

TEST(Allocator, BlocksAreAlignedUsableAndDistinct) {
    std::set<void*> live;
    for (size_t size : {0, 0, 1, 7, 9, 100}) {
        void* block = allocate(size);
        ASSERT_NE(block, nullptr);
        EXPECT_EQ(reinterpret_cast<uintptr_t>(block) % 8, 0u) << size;
        EXPECT_TRUE(live.insert(block).second) << size;
        memset(block, 0xA5, size ? size : 1);  // overruns show under the sanitizers
    }
    for (void* block : live)
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
}

}  // namespace
}  // namespace elq
