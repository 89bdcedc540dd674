// Aligned heap blocks for every buffer and coder object, and RAII owners for them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <new>
#include <utility>

#include "foundation/exception.h"

namespace elq {

// Returns a block of `size` usable bytes aligned to `alignment` (a power of two), or null.
void* allocateAligned(size_t size, size_t alignment);
void freeAligned(void* pointer);

// 8-byte-aligned block; a size of 0 still yields a distinct block. Null on exhaustion.
void* allocate(size_t size);
// Does nothing for null.
void release(void* pointer);

// As allocate, but exhaustion raises OUTOFMEMORY naming `variable` and the bytes asked for.
void* allocateOrThrow(size_t size, const char* variable, size_t alignment = 8);

// Owns an array of `count` trivially constructible values from allocateOrThrow.
template <class T>
class Buffer {
public:
    Buffer() = default;
    Buffer(size_t count, const char* variable, size_t alignment = 8) { reset(count, variable, alignment); }
    ~Buffer() { release(data_); }
    Buffer(const Buffer&) = delete;
    Buffer& operator=(const Buffer&) = delete;
    Buffer(Buffer&& other) noexcept : data_(std::exchange(other.data_, nullptr)), count_(other.count_) {}
    Buffer& operator=(Buffer&& other) noexcept {
        std::swap(data_, other.data_);
        std::swap(count_, other.count_);
        return *this;
    }

    // Replaces the contents with a fresh, uninitialised array of `count` values.
    void reset(size_t count, const char* variable, size_t alignment = 8) {
        release(data_);
        data_ = nullptr;
        count_ = 0;
        // A byte count that wraps around would hand out a buffer smaller than `count` values.
        if (count > SIZE_MAX / sizeof(T)) throwError(OUTOFMEMORY, variable, SIZE_MAX);
        data_ = static_cast<T*>(allocateOrThrow(count * sizeof(T), variable, alignment));
        count_ = count;
    }
    void clear() {
        release(data_);
        data_ = nullptr;
        count_ = 0;
    }

    T* data() { return data_; }
    const T* data() const { return data_; }
    size_t size() const { return count_; }
    T& operator[](size_t i) { return data_[i]; }
    const T& operator[](size_t i) const { return data_[i]; }

private:
    T* data_ = nullptr;
    size_t count_ = 0;
};

// Constructs one object in memory from allocate; exhaustion raises OUTOFMEMORY with
// `variable` and the object's size.
template <class T, class... Args>
T* createObject(const char* variable, Args&&... args) {
    void* memory = allocateOrThrow(sizeof(T), variable, alignof(T) > 8 ? alignof(T) : 8);
    try {
        return new (memory) T(std::forward<Args>(args)...);
    } catch (...) {
        freeAligned(memory);
        throw;
    }
}

template <class T>
void destroyObject(T* object) {
    if (object) {
        object->~T();
        freeAligned(object);
    }
}

// Unique owner of an object made by createObject.
template <class T>
class Owned {
public:
    Owned() = default;
    explicit Owned(T* object) : object_(object) {}
    ~Owned() { destroyObject(object_); }
    Owned(const Owned&) = delete;
    Owned& operator=(const Owned&) = delete;
    Owned(Owned&& other) noexcept : object_(std::exchange(other.object_, nullptr)) {}
    Owned& operator=(Owned&& other) noexcept {
        std::swap(object_, other.object_);
        return *this;
    }
    template <class U>
    Owned(Owned<U>&& other) noexcept : object_(other.releaseOwnership()) {}

    T* get() const { return object_; }
    T* operator->() const { return object_; }
    T& operator*() const { return *object_; }
    explicit operator bool() const { return object_ != nullptr; }
    T* releaseOwnership() { return std::exchange(object_, nullptr); }

private:
    T* object_ = nullptr;
};

template <class T, class... Args>
Owned<T> makeOwned(const char* variable, Args&&... args) {
    return Owned<T>(createObject<T>(variable, std::forward<Args>(args)...));
}

}  // namespace elq
