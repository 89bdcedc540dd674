#include "foundation/allocator.h"

#include <gtest/gtest.h>

#include <cstdint>

namespace elq {
namespace {

TEST(Allocator, AlignmentAndExhaustion) {
    void* wide = allocateAligned(100, 4096);
    EXPECT_EQ(reinterpret_cast<uintptr_t>(wide) % 4096, 0u);
    freeAligned(wide);
    EXPECT_EQ(allocate(SIZE_MAX), nullptr);  // not a wrapped-around small request
    try {
        allocateOrThrow(SIZE_MAX - 3, "residue");
        ADD_FAILURE() << "no exception";
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
