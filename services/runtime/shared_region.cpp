// Named blocks carved from the machine-wide shared region, and the exported
// allocation drivers use.
#include "runtime/shared_region.h"

#include <cstring>

#include "runtime/process_state.h"
#include "platform/platform.h"
#include "zyvisa_lifecycle.h"

namespace zyvisa::runtime {

namespace {

// Names compare over the whole 80-byte field: a header whose name is not
// terminated (a corrupt or foreign region) can then never match a request,
// which is always terminated within the field.
bool SameName(const char* requested, const BlockHeader& header) {
  return std::strncmp(requested, header.name, kBlockNameSize) == 0;
}

}  // namespace

void FormatRegion(uint8_t* region, uint32_t size) noexcept {
  std::memset(region, 0, size);
  auto* tail = reinterpret_cast<BlockHeader*>(region);
  tail->size = static_cast<int32_t>(size - sizeof(BlockHeader));
}

ViStatus AllocBlock(uint8_t* region, uint32_t region_size, const char* name, ViUInt32 size,
                    void** address, ViUInt16* created) noexcept {
  if (name == nullptr || address == nullptr || created == nullptr) return VI_ERROR_USER_BUF;
  *address = nullptr;  // on every failure from here on
  // Rounded in 32-bit arithmetic, as every process of the machine rounds it.
  const ViUInt32 rounded = (size + 7u) & ~7u;
  if (static_cast<int32_t>(rounded) < 1) return VI_ERROR_INV_PARAMETER;
  // A name must fit the 80-byte header with its terminator. Refusing a longer
  // one as a bad parameter keeps two long names with a common 79-character
  // start from silently naming one block.
  if (std::strlen(name) >= kBlockNameSize) return VI_ERROR_INV_PARAMETER;
  if (region == nullptr) return VI_ERROR_SYSTEM_ERROR;

  const uint64_t needed = uint64_t{rounded} + sizeof(BlockHeader);
  uint64_t offset = 0;
  for (;;) {
    // A chain that leaves the mapped bytes is not ours to follow.
    if (offset + sizeof(BlockHeader) > region_size) return VI_ERROR_SYSTEM_ERROR;
    auto* header = reinterpret_cast<BlockHeader*>(region + offset);
    if (SameName(name, *header)) {
      if (header->size != -static_cast<int32_t>(rounded)) return VI_ERROR_SYSTEM_ERROR;
      // A damaged header, or a region formatted larger than this view, must
      // not hand out bytes this process has not mapped.
      if (offset + needed > region_size) return VI_ERROR_SYSTEM_ERROR;
      *address = region + offset + sizeof(BlockHeader);
      *created = 0;
      return VI_SUCCESS;
    }
    if (header->size < 0) {
      if (header->size == INT32_MIN) return VI_ERROR_SYSTEM_ERROR;
      offset += sizeof(BlockHeader) + static_cast<uint64_t>(-static_cast<int64_t>(header->size));
      continue;
    }
    // The free tail. A process that mapped a smaller region than the one that
    // formatted it must not carve past its own view, so the room is what this
    // process can reach; the tail's size keeps counting the whole region.
    const uint64_t free_bytes = static_cast<uint64_t>(header->size);
    const uint64_t reachable = region_size - offset - sizeof(BlockHeader);
    if ((free_bytes < reachable ? free_bytes : reachable) < needed) return VI_ERROR_ALLOC;
    auto* tail = reinterpret_cast<BlockHeader*>(region + offset + needed);
    tail->size = static_cast<int32_t>(free_bytes - needed);
    std::memset(header->name, 0, kBlockNameSize);
    std::memcpy(header->name, name, std::strlen(name));
    header->size = -static_cast<int32_t>(rounded);
    *address = region + offset + sizeof(BlockHeader);
    *created = 1;
    return VI_SUCCESS;
  }
}

}  // namespace zyvisa::runtime

using zyvisa::runtime::State;

// Drivers in two processes may allocate at the same moment, and the chain has
// no lock of its own: the export therefore takes the initialization mutex,
// which the library's own allocations already hold (it is recursive for the
// owning thread, so a caller inside start-up does not block on itself).
extern "C" ZYVISA_EXPORT ViStatus visaAllocShared(ViConstString name, ViUInt32 size,
                                                  ViAddr* address, ViUInt16* created) noexcept {
  auto& state = State();
  if (name == nullptr || address == nullptr || created == nullptr) return VI_ERROR_USER_BUF;
  namespace platform = zyvisa::platform;
  bool locked = false;
  if (state.init_mutex != nullptr && state.region != nullptr) {
    const auto r = platform::NamedMutexWait(state.init_mutex, platform::kWaitForever);
    locked = (r == platform::WaitResult::kAcquired || r == platform::WaitResult::kAbandoned);
  }
  const ViStatus status = zyvisa::runtime::AllocBlock(state.region, state.region_size, name,
                                                       size, address, created);
  if (locked) platform::NamedMutexRelease(state.init_mutex);
  return status;
}
