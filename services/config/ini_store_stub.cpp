// Placeholder until the configuration store lands: every lookup delivers its
// default, which is what a missing configuration file gives too.
#include <cstring>

#include "zyvisa_config.h"

extern "C" ZYVISA_EXPORT void visaGetIniStringIntoBuffer(ViConstString, ViConstString,
                                                         ViConstString, ViConstString def,
                                                         ViChar* buffer, ViInt32 size) noexcept {
  if (size < 1 || buffer == nullptr || def == nullptr) return;
  const size_t limit = static_cast<size_t>(size) - 1;
  size_t n = std::strlen(def);
  if (n > limit) n = limit;
  std::memcpy(buffer, def, n);
  buffer[n] = '\0';
}
