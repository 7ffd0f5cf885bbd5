// The resource names that drivers report while a search runs, collected in
// the find list without duplicates, remote names completed with "visa:/".
#include <cstdlib>
#include <cstring>

#include "objects/object_table.h"
#include "zyvisa_objects.h"
#include "zyvisa_platform.h"

namespace zyvisa::objects {
namespace {

constexpr char kRemotePrefix[] = "visa:/";
constexpr size_t kRemotePrefixLength = sizeof(kRemotePrefix) - 1;
constexpr uint32_t kFoundGrowth = 16;

// Grows a zero-filled array from count to count + growth entries of size bytes.
void* GrowZeroed(void* array, size_t count, size_t growth, size_t size) noexcept {
  void* grown = std::realloc(array, (count + growth) * size);
  if (grown != nullptr) std::memset(static_cast<char*>(grown) + count * size, 0, growth * size);
  return grown;
}

bool HasSource(const FindList& list, uint64_t source) noexcept {
  for (uint16_t i = 0; i < list.source_count; ++i) {
    if (list.sources[i] == source) return true;
  }
  return false;
}

}  // namespace
}  // namespace zyvisa::objects

namespace objects = zyvisa::objects;

extern "C" ZYVISA_EXPORT ViStatus visaRsrcFound(ViUInt32 find_list, ViConstRsrc name,
                                                ViUInt64 source) noexcept {
  auto* list = static_cast<objects::FindList*>(
      objects::LookupObject(objects::kFindListKind, find_list));
  if (list == nullptr || name == nullptr) return VI_ERROR_USER_BUF;
  const size_t length = std::strlen(name);
  if (length >= objects::kFoundNameSize) return VI_ERROR_INV_RSRC_NAME;
  const bool prefixed = list->remote != 0 &&
                        !visaStrnicmp(name, objects::kRemotePrefix,
                                      static_cast<ViUInt32>(objects::kRemotePrefixLength));
  // A name that fits alone but not behind the prefix is refused as a name too
  // long would be: it cannot be stored whole.
  if (prefixed && length + objects::kRemotePrefixLength >= objects::kFoundNameSize) {
    return VI_ERROR_INV_RSRC_NAME;
  }
  const size_t prefix = prefixed ? objects::kRemotePrefixLength : 0;
  objects::FoundName stored;
  std::memcpy(stored, objects::kRemotePrefix, prefix);
  std::memcpy(stored + prefix, name, length + 1);

  for (uint32_t i = 0; i < list->found_count; ++i) {
    if (visaStricmp(list->found_names[i], stored)) return VI_ERROR_INV_SETUP;
  }
  if (list->found_count == list->found_capacity) {
    void* grown = objects::GrowZeroed(list->found_names, list->found_capacity,
                                      objects::kFoundGrowth, sizeof(objects::FoundName));
    if (grown == nullptr) return VI_ERROR_ALLOC;
    list->found_names = static_cast<objects::FoundName*>(grown);
    list->found_capacity += objects::kFoundGrowth;
  }
  if (source != 0 && !objects::HasSource(*list, source)) {
    // The count is 16 bits wide; a source past it could not be counted.
    if (list->source_count == UINT16_MAX) return VI_ERROR_ALLOC;
    void* grown = objects::GrowZeroed(list->sources, list->source_count, 1, sizeof(uint64_t));
    if (grown == nullptr) return VI_ERROR_ALLOC;
    list->sources = static_cast<uint64_t*>(grown);
    list->sources[list->source_count++] = source;
  }
  std::memcpy(list->found_names[list->found_count], stored, prefix + length + 1);
  ++list->found_count;
  return VI_SUCCESS;
}

extern "C" ZYVISA_EXPORT ViStatus visaSetFindInfo(ViUInt32, ...) noexcept { return VI_SUCCESS; }
