// The allocator behind every spilled scratch buffer of the matchers.
#include "match/scratch_buffer.h"

#include <atomic>

namespace zyvisa::match {
namespace {

void* HeapAlloc(size_t bytes) noexcept { return std::malloc(bytes); }

std::atomic<ScratchAllocFn> g_alloc{&HeapAlloc};

}  // namespace

ScratchAllocFn SetScratchAllocatorForTesting(ScratchAllocFn alloc) noexcept {
  return g_alloc.exchange(alloc ? alloc : &HeapAlloc);
}

void* ScratchAlloc(size_t bytes) noexcept {
  return g_alloc.load(std::memory_order_relaxed)(bytes == 0 ? 1 : bytes);
}

}  // namespace zyvisa::match
