// Rendering of trace items by type code.
#include "spy_values.h"

#include <cstdio>
#include <cstring>

#include "zyvisa_types.h"

namespace zyspy {

namespace {

// Type codes that the services send.
constexpr int32_t kTypeCount = 1;
constexpr int32_t kTypeStatus = 23;
constexpr int32_t kTypeObjectName = 45;

struct NamedStatus {
  ViStatus status;
  const char* name;
};

#define ZYSPY_STATUS(s) \
  { s, #s }
constexpr NamedStatus kStatuses[] = {
    ZYSPY_STATUS(VI_SUCCESS),
    ZYSPY_STATUS(VI_SUCCESS_NCHAIN),
    ZYSPY_STATUS(VI_SUCCESS_NESTED_SHARED),
    ZYSPY_STATUS(VI_SUCCESS_NESTED_EXCLUSIVE),
    ZYSPY_STATUS(VI_SUCCESS_SYNC),
    ZYSPY_STATUS(VI_WARN_NULL_OBJECT),
    ZYSPY_STATUS(VI_WARN_UNKNOWN_STATUS),
    ZYSPY_STATUS(VI_ERROR_SYSTEM_ERROR),
    ZYSPY_STATUS(VI_ERROR_INV_OBJECT),
    ZYSPY_STATUS(VI_ERROR_RSRC_LOCKED),
    ZYSPY_STATUS(VI_ERROR_INV_EXPR),
    ZYSPY_STATUS(VI_ERROR_RSRC_NFOUND),
    ZYSPY_STATUS(VI_ERROR_INV_RSRC_NAME),
    ZYSPY_STATUS(VI_ERROR_TMO),
    ZYSPY_STATUS(VI_ERROR_CLOSING_FAILED),
    ZYSPY_STATUS(VI_ERROR_INV_LOCK_TYPE),
    ZYSPY_STATUS(VI_ERROR_INV_ACCESS_KEY),
    ZYSPY_STATUS(VI_ERROR_INV_EVENT),
    ZYSPY_STATUS(VI_ERROR_INV_HNDLR_REF),
    ZYSPY_STATUS(VI_ERROR_INV_CONTEXT),
    ZYSPY_STATUS(VI_ERROR_NENABLED),
    ZYSPY_STATUS(VI_ERROR_ABORT),
    ZYSPY_STATUS(VI_ERROR_IN_PROGRESS),
    ZYSPY_STATUS(VI_ERROR_INV_SETUP),
    ZYSPY_STATUS(VI_ERROR_QUEUE_ERROR),
    ZYSPY_STATUS(VI_ERROR_ALLOC),
    ZYSPY_STATUS(VI_ERROR_NSUP_OPER),
    ZYSPY_STATUS(VI_ERROR_USER_BUF),
    ZYSPY_STATUS(VI_ERROR_RSRC_BUSY),
    ZYSPY_STATUS(VI_ERROR_INV_PARAMETER),
    ZYSPY_STATUS(VI_ERROR_SESN_NLOCKED),
    ZYSPY_STATUS(VI_ERROR_LIBRARY_NFOUND),
    ZYSPY_STATUS(VI_ERROR_FILE_ACCESS),
    ZYSPY_STATUS(VI_ERROR_NPERMISSION),
};
#undef ZYSPY_STATUS

uint64_t Unsigned(const uint8_t* value, uint32_t size) {
  uint64_t result = 0;
  std::memcpy(&result, value, size < 8 ? size : 8);  // little-endian hosts only
  return result;
}

std::string Hex(uint64_t value) {
  char text[24];
  std::snprintf(text, sizeof text, "0x%llX", static_cast<unsigned long long>(value));
  return text;
}

std::string Buffer(const uint8_t* value, uint32_t size) {
  const uint32_t shown = size < kShownBytes ? size : kShownBytes;
  bool printable = true;
  for (uint32_t i = 0; i < shown && printable; ++i) {
    const uint8_t c = value[i];
    printable = (c >= 0x20 && c < 0x7F) || c == '\r' || c == '\n' || c == '\t';
  }
  std::string text;
  if (printable) {
    text.assign(reinterpret_cast<const char*>(value), shown);
  } else {
    char byte[4];
    for (uint32_t i = 0; i < shown; ++i) {
      std::snprintf(byte, sizeof byte, i == 0 ? "%02X" : " %02X", value[i]);
      text += byte;
    }
  }
  if (shown < size) text += "...";
  return text;
}

}  // namespace

const char* StatusName(int32_t status) {
  for (const NamedStatus& s : kStatuses) {
    if (s.status == status) return s.name;
  }
  return "";
}

std::string RenderValue(int32_t type_code, const uint8_t* value, uint32_t element_size,
                        uint32_t total_size) {
  if (value == nullptr) return "null";
  if (type_code == kTypeObjectName) {
    const auto* end = static_cast<const uint8_t*>(std::memchr(value, 0, total_size));
    return std::string(reinterpret_cast<const char*>(value),
                       end != nullptr ? static_cast<size_t>(end - value) : total_size);
  }
  // Arrays of bytes are buffers whatever their code; an address is 8 bytes.
  if (element_size == 1) return Buffer(value, total_size);
  if (element_size > 8 || element_size == 0 || total_size < element_size) {
    return Buffer(value, total_size);
  }
  const uint64_t number = Unsigned(value, element_size);
  if (type_code == kTypeCount) return std::to_string(number);
  if (type_code == kTypeStatus && element_size == 4) {
    const auto status = static_cast<int32_t>(static_cast<uint32_t>(number));
    const char* name = StatusName(status);
    return name[0] != '\0' ? std::string(name) : Hex(number);
  }
  return Hex(number);
}

}  // namespace zyspy
