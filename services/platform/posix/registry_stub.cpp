// Placeholder until the registry file lands: an empty registry.
#include "platform/platform.h"

namespace zyvisa::platform {

bool RegistryKeyExists(const char*) noexcept { return false; }
RegRead RegistryReadString(const char*, const char*, char* buffer, size_t size) noexcept {
  if (buffer != nullptr && size > 0) buffer[0] = '\0';
  return RegRead::kMissing;
}

}  // namespace zyvisa::platform
