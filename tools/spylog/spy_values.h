// How the trace renders an item's value: by its type code, so that a reader
// sees handles in hex, counts in decimal, buffers as text and statuses by name.
#pragma once

#include <cstdint>
#include <string>

namespace zyspy {

// Buffers longer than this are cut; the item keeps its full length.
constexpr uint32_t kShownBytes = 64;

// value: total_size bytes, elements of element_size bytes.
std::string RenderValue(int32_t type_code, const uint8_t* value, uint32_t element_size,
                        uint32_t total_size);
// "VI_ERROR_TMO" and the like; empty for a status without a name.
const char* StatusName(int32_t status);

}  // namespace zyspy
