// Per-call working memory for the matchers: a fixed array on the caller's stack
// that spills to one heap block only for inputs too large for it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <type_traits>

namespace zyvisa::match {

// Every heap block of the matchers comes from here. Tests swap in an allocator
// that fails, to reach the out-of-memory paths; production never changes it.
using ScratchAllocFn = void* (*)(size_t bytes) noexcept;
ScratchAllocFn SetScratchAllocatorForTesting(ScratchAllocFn alloc) noexcept;
void* ScratchAlloc(size_t bytes) noexcept;
inline void ScratchFree(void* block) noexcept { std::free(block); }

// Room for at least N elements of a trivial type without touching the heap.
// Contents are not initialised: every user writes before it reads.
template <typename T, size_t N>
class ScratchBuffer {
  static_assert(std::is_trivially_copyable_v<T> && std::is_trivially_destructible_v<T>);

 public:
  ScratchBuffer() = default;
  ~ScratchBuffer() {
    if (data_ != inline_) ScratchFree(data_);
  }
  ScratchBuffer(const ScratchBuffer&) = delete;
  ScratchBuffer& operator=(const ScratchBuffer&) = delete;

  // Makes room for count elements, dropping the current contents. False when
  // the heap refuses (or the size overflows); the buffer is then unchanged.
  bool Reserve(size_t count) noexcept { return Grow(count, 0); }
  // Like Reserve, but keeps the first used elements.
  bool Grow(size_t count, size_t used) noexcept {
    if (count <= capacity_) return true;
    if (count > SIZE_MAX / sizeof(T)) return false;
    T* block = static_cast<T*>(ScratchAlloc(count * sizeof(T)));
    if (!block) return false;
    if (used != 0) std::memcpy(static_cast<void*>(block), data_, used * sizeof(T));
    if (data_ != inline_) ScratchFree(data_);
    data_ = block;
    capacity_ = count;
    return true;
  }

  T* data() noexcept { return data_; }
  size_t capacity() const noexcept { return capacity_; }
  T& operator[](size_t i) noexcept { return data_[i]; }

 private:
  T inline_[N];
  T* data_ = inline_;
  size_t capacity_ = N;
};

}  // namespace zyvisa::match
