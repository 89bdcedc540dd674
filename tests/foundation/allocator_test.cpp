#include "foundation/allocator.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <set>
#include <stdexcept>

namespace elq {
namespace {

bool aligned(const void* p, size_t alignment) {
    return reinterpret_cast<uintptr_t>(p) % alignment == 0;
}

TEST(Allocator, EveryBlockIsEightByteAlignedAndUsable) {
    void* blocks[64];
    for (size_t size = 0; size < 64; ++size) {
        blocks[size] = allocate(size);
        ASSERT_NE(blocks[size], nullptr);
        EXPECT_TRUE(aligned(blocks[size], 8)) << size;
        memset(blocks[size], 0xA5, size == 0 ? 1 : size);  // overruns show under the sanitizers
    }
    for (void* block : blocks)
        release(block);
}

TEST(Allocator, ZeroSizeGivesDistinctBlocks) {
    std::set<void*> seen;
    void* blocks[8];
    for (void*& block : blocks) {
        block = allocate(0);
        ASSERT_NE(block, nullptr);
        EXPECT_TRUE(seen.insert(block).second);
        *static_cast<char*>(block) = 1;
    }
    for (void* block : blocks)
        release(block);
}

TEST(Allocator, ReleaseOfNullDoesNothing) {
    release(nullptr);
    freeAligned(nullptr);
}

TEST(Allocator, WiderAlignments) {
    for (size_t alignment : {16u, 32u, 64u, 4096u}) {
        void* block = allocateAligned(100, alignment);
        ASSERT_NE(block, nullptr);
        EXPECT_TRUE(aligned(block, alignment)) << alignment;
        memset(block, 0, 100);
        freeAligned(block);
    }
}

TEST(Allocator, ImpossibleSizeReturnsNullNotAWrappedBlock) {
    EXPECT_EQ(allocateAligned(SIZE_MAX, 8), nullptr);
    EXPECT_EQ(allocateAligned(SIZE_MAX - 5, 8), nullptr);
    EXPECT_EQ(allocate(SIZE_MAX), nullptr);
}

TEST(Allocator, ExhaustionReportsVariableAndRequestedBytes) {
    try {
        allocateOrThrow(SIZE_MAX - 3, "residue");
        FAIL() << "no exception";
    } catch (const Exception& e) {
        EXPECT_EQ(e.code, OUTOFMEMORY);
        EXPECT_STREQ(e.name, "residue");
        EXPECT_EQ(e.value, static_cast<uint64_t>(SIZE_MAX - 3));  // not the padded request
    }
    EXPECT_THROW(Buffer<int32_t>(SIZE_MAX / 4, "data"), Exception);
    // A count whose byte size wraps around must not yield a small buffer.
    EXPECT_THROW(Buffer<int32_t>(SIZE_MAX / 2 + 2, "data"), Exception);
    EXPECT_THROW(Buffer<double>(SIZE_MAX / 8 + 1, "data"), Exception);
}

struct Counted {
    static int alive;
    explicit Counted(bool fail) {
        if (fail) throw std::runtime_error("constructor failed");
        ++alive;
    }
    ~Counted() { --alive; }
};
int Counted::alive = 0;

TEST(Allocator, OwnedObjectsAreDestroyedAndFailedConstructionFreesMemory) {
    {
        Owned<Counted> a = makeOwned<Counted>("ipmop", false);
        Owned<Counted> b = std::move(a);
        EXPECT_EQ(Counted::alive, 1);
        EXPECT_FALSE(a);
        EXPECT_TRUE(b);
    }
    EXPECT_EQ(Counted::alive, 0);
    // The memory of an object whose constructor throws is returned (the leak checker watches).
    EXPECT_THROW(makeOwned<Counted>("ipsop", true), std::runtime_error);
    EXPECT_EQ(Counted::alive, 0);
}

TEST(Allocator, BufferMoveTransfersOwnership) {
    Buffer<int32_t> a(10, "data");
    int32_t* data = a.data();
    Buffer<int32_t> b = std::move(a);
    EXPECT_EQ(b.data(), data);
    EXPECT_EQ(b.size(), 10u);
    EXPECT_EQ(a.data(), nullptr);
    b.reset(0, "data");
    EXPECT_NE(b.data(), nullptr);
}

}  // namespace
}  // namespace elq
