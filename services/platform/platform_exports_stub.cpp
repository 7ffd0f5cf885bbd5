// Placeholder until the platform exports land: the case-insensitive
// comparisons that the object table needs.
#include <cctype>

#include "zyvisa_platform.h"

namespace {
int Upper(char c) { return std::toupper(static_cast<unsigned char>(c)); }
}  // namespace

extern "C" ZYVISA_EXPORT ViBoolean visaStrnicmp(ViConstString a, ViConstString b,
                                                ViUInt32 count) noexcept {
  for (ViUInt32 i = 0; count == 0 || i < count; ++i) {
    if (Upper(a[i]) != Upper(b[i])) return VI_FALSE;
    if (a[i] == '\0') return VI_TRUE;
  }
  return VI_TRUE;
}

extern "C" ZYVISA_EXPORT ViBoolean visaStricmp(ViConstString a, ViConstString b) noexcept {
  return visaStrnicmp(a, b, 0);
}
