#include "foundation/allocator.h"

#include <cstdlib>
#include <cstring>

namespace elq {

void* allocateAligned(size_t size, size_t alignment) {
    // Room for the alignment step and the slot that remembers the heap's own address.
    size_t extra = alignment + sizeof(void*);
    if (size > SIZE_MAX - extra) return nullptr;
    void* raw = malloc(size + extra);
    if (!raw) return nullptr;
    uintptr_t block = (reinterpret_cast<uintptr_t>(raw) + extra) & ~static_cast<uintptr_t>(alignment - 1);
    memcpy(reinterpret_cast<void*>(block - sizeof(void*)), &raw, sizeof raw);
    return reinterpret_cast<void*>(block);
}

void freeAligned(void* pointer) {
    if (!pointer) return;
    void* raw;
    memcpy(&raw, static_cast<char*>(pointer) - sizeof raw, sizeof raw);
    free(raw);
}

void* allocate(size_t size) {
    return allocateAligned(size == 0 ? 1 : size, 8);
}

void release(void* pointer) {
    freeAligned(pointer);
}

void* allocateOrThrow(size_t size, const char* variable, size_t alignment) {
    void* block = allocateAligned(size == 0 ? 1 : size, alignment < 8 ? 8 : alignment);
    if (!block) throwError(OUTOFMEMORY, variable, size);
    return block;
}

}  // namespace elq
