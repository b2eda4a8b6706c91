#pragma once
// Heap arrays for samples and spectra. Every large numeric array of the engine is
// allocated here, so that an out-of-memory condition is retried by one handler and
// logged, and so that arrays addressed from their middle are freed from their start.

#include <cstddef>
#include <cstring>
#include <new>
#include <type_traits>
#include <utility>

namespace Mem {

// Aligned for the SIMD kernels; every block of Mem is released through Mem.
inline constexpr std::size_t ALIGNMENT = 64;

// Throws std::bad_alloc after logging when the heap refuses (callers assume success,
// so handing back null would only move the crash).
void* Allocate(std::size_t bytes);
void* AllocateZeros(std::size_t bytes);
void Free(void* block);

template <typename T>
T* AllocateArray(std::size_t count) {
    static_assert(std::is_trivially_copyable_v<T>, "Mem arrays hold plain numbers");
    return static_cast<T*>(Allocate(count * sizeof(T)));
}

template <typename T>
T* AllocateArrayZeros(std::size_t count) {
    static_assert(std::is_trivially_copyable_v<T>, "Mem arrays hold plain numbers");
    return static_cast<T*>(AllocateZeros(count * sizeof(T)));
}

// Frees the block that starts `offset` elements before `p` (centred arrays pass N/2).
template <typename T>
void FreeArrayNoRef(T* p, std::ptrdiff_t offset = 0) {
    if (p != nullptr) {
        Free(const_cast<std::remove_const_t<T>*>(p - offset));
    }
}

template <typename T>
void FreeArray(T*& ref, std::ptrdiff_t offset = 0) {
    FreeArrayNoRef(ref, offset);
    ref = nullptr;
}

// The new-handler: sleeps 100 ms and lets the runtime retry, ten times in the life
// of the process, then gives up with std::bad_alloc.
void CustomNewHandler();
void CustomNewHandlerInt();
int FailureCount();

// Move-only owner of one Mem array, so that no early return leaks.
template <typename T>
class Array {
public:
    Array() = default;
    explicit Array(std::size_t count) : data_(AllocateArray<T>(count)), size_(count) {}
    static Array Zeros(std::size_t count) {
        Array a;
        a.data_ = AllocateArrayZeros<T>(count);
        a.size_ = count;
        return a;
    }
    Array(const Array&) = delete;
    Array& operator=(const Array&) = delete;
    Array(Array&& o) noexcept
        : data_(std::exchange(o.data_, nullptr)), size_(std::exchange(o.size_, 0)) {}
    Array& operator=(Array&& o) noexcept {
        if (this != &o) {
            FreeArrayNoRef(data_);
            data_ = std::exchange(o.data_, nullptr);
            size_ = std::exchange(o.size_, 0);
        }
        return *this;
    }
    ~Array() { FreeArrayNoRef(data_); }

    T* get() const { return data_; }
    T* data() const { return data_; }
    std::size_t size() const { return size_; }
    T& operator[](std::size_t i) const { return data_[i]; }
    // Hands the block to a raw owner, who frees it with FreeArray.
    T* release() {
        size_ = 0;
        return std::exchange(data_, nullptr);
    }

private:
    T* data_ = nullptr;
    std::size_t size_ = 0;
};

} // namespace Mem
