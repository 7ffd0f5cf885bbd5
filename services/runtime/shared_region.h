// Layout of the machine-wide shared region and its named blocks. Every byte
// here is read by other processes, possibly built from other sources, so the
// structs are checked field by field.
#pragma once

#include <cstddef>
#include <cstdint>

#include "zyvisa_types.h"

namespace zyvisa::runtime {

constexpr uint32_t kMinRegionSize = 524288;
constexpr size_t kBlockNameSize = 80;
constexpr const char* kServicesDataName = "ZY-VISA Services Shared Data";
constexpr const char* kBackingFileName = "ZY-VISA Shared Memory.tmp";

// Header of every block. size < 0: allocated, payload of -size bytes follows;
// size >= 0: the free tail, size bytes up to the end of the region.
struct BlockHeader {
  char name[kBlockNameSize];
  int32_t size;
};
static_assert(sizeof(BlockHeader) == 84, "block header is 84 bytes");
static_assert(offsetof(BlockHeader, name) == 0);
static_assert(offsetof(BlockHeader, size) == 80);

// Head of the payload of "ZY-VISA Services Shared Data"; the resource records
// (436 bytes each) follow at offset 8.
struct ServicesSharedHead {
  uint16_t use_count;
  uint16_t reserved;
  uint32_t min_async_count;
};
static_assert(sizeof(ServicesSharedHead) == 8);
static_assert(offsetof(ServicesSharedHead, use_count) == 0);
static_assert(offsetof(ServicesSharedHead, min_async_count) == 4);

constexpr uint32_t kResourceRecordSize = 436;
constexpr uint32_t kServicesDataExtra = 444;  // the head plus one unused record

// Payload size of the services shared data for a maximum number of resources,
// before the allocation rounds it up to a multiple of 8.
constexpr uint64_t ServicesDataSize(uint32_t max_resources) {
  return uint64_t{max_resources} * kResourceRecordSize + kServicesDataExtra;
}

// Makes a region of size bytes one free tail with an empty name.
void FormatRegion(uint8_t* region, uint32_t size) noexcept;

// The allocation of named blocks on an explicit region of region_size mapped
// bytes, exactly as visaAllocShared does it on this process's region (region
// may be null: VI_ERROR_SYSTEM_ERROR). No lock is taken: callers serialise
// allocations across processes (the library's own run under the
// initialization mutex).
ViStatus AllocBlock(uint8_t* region, uint32_t region_size, const char* name, ViUInt32 size,
                    void** address, ViUInt16* created) noexcept;

// Walks the chain of a mapped region for inspection. Calls visit for each
// block header in order (offset of the header); stops at the free tail.
// Returns false if the chain leaves the mapped bytes or is otherwise not a
// region (a size that points outside, a free tail that is not last).
template <typename Visit>
bool WalkBlocks(const uint8_t* region, uint32_t region_size, Visit&& visit);

}  // namespace zyvisa::runtime

namespace zyvisa::runtime {

template <typename Visit>
bool WalkBlocks(const uint8_t* region, uint32_t region_size, Visit&& visit) {
  uint64_t offset = 0;
  while (offset + sizeof(BlockHeader) <= region_size) {
    const auto* header = reinterpret_cast<const BlockHeader*>(region + offset);
    visit(static_cast<uint32_t>(offset), *header);
    if (header->size >= 0) return true;
    if (header->size == INT32_MIN || (-header->size) % 8 != 0) return false;
    offset += sizeof(BlockHeader) + static_cast<uint64_t>(-static_cast<int64_t>(header->size));
  }
  return false;
}

}  // namespace zyvisa::runtime
