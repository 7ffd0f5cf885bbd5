// Placeholder until the shared region lands: block allocation on an explicit
// region, enough for the semaphore tables to be built and tested.
#include <cstring>

#include "lifecycle/shared_region.h"

namespace zyvisa::lifecycle {

void FormatRegion(uint8_t* region, uint32_t size) noexcept {
  std::memset(region, 0, size);
  reinterpret_cast<BlockHeader*>(region)->size = int32_t(size - sizeof(BlockHeader));
}

ViStatus AllocBlock(uint8_t* region, const char* name, ViUInt32 size, void** address,
                    ViUInt16* created) noexcept {
  if (name == nullptr || address == nullptr || created == nullptr) return VI_ERROR_USER_BUF;
  const ViUInt32 rounded = (size + 7u) & ~7u;
  if (int32_t(rounded) < 1) return VI_ERROR_INV_PARAMETER;
  *address = nullptr;
  if (region == nullptr) return VI_ERROR_SYSTEM_ERROR;
  uint8_t* at = region;
  for (;;) {
    auto* header = reinterpret_cast<BlockHeader*>(at);
    if (std::strncmp(header->name, name, kBlockNameSize) == 0) {
      if (header->size != -int32_t(rounded)) return VI_ERROR_SYSTEM_ERROR;
      *address = at + sizeof(BlockHeader);
      *created = 0;
      return VI_SUCCESS;
    }
    if (header->size < 0) {
      at += sizeof(BlockHeader) + uint32_t(-header->size);
      continue;
    }
    const int64_t free_bytes = header->size;
    if (free_bytes < int64_t(rounded) + int64_t(sizeof(BlockHeader))) return VI_ERROR_ALLOC;
    auto* tail = reinterpret_cast<BlockHeader*>(at + sizeof(BlockHeader) + rounded);
    tail->size = int32_t(free_bytes - rounded - sizeof(BlockHeader));
    std::strncpy(header->name, name, kBlockNameSize - 1);
    header->size = -int32_t(rounded);
    *address = at + sizeof(BlockHeader);
    *created = 1;
    return VI_SUCCESS;
  }
}

}  // namespace zyvisa::lifecycle
