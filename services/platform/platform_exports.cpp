// The exported platform services: each is one platform call plus a fixed
// mapping of its outcome to the values the core library and drivers expect.
#include <cstdlib>

#include "platform/platform.h"
#include "zyvisa_platform.h"

namespace {

using zyvisa::platform::ProcState;

// Upper case of the signed character value, as the comparisons are defined.
// Only a-z change: that is toupper() in the "C" locale, which is in force
// unless the host program sets another, and it is defined for bytes above 127
// (negative as signed char), where toupper() of a negative value is not.
// Fixing it keeps resource names comparing the same in every process.
inline int Upper(char c) {
  const int v = static_cast<signed char>(c);
  return (v >= 'a' && v <= 'z') ? v - ('a' - 'A') : v;
}

// Walks both texts while the first has characters, they match and limit
// allows, then compares the pair where it stopped.
ViBoolean CompareNoCase(const char* a, const char* b, uint64_t limit) {
  // A missing text equals nothing, not even another missing one.
  if (a == nullptr || b == nullptr) return VI_FALSE;
  while (limit > 0 && *a != '\0' && Upper(*a) == Upper(*b)) {
    ++a;
    ++b;
    --limit;
  }
  return Upper(*a) == Upper(*b) ? VI_TRUE : VI_FALSE;
}

}  // namespace

extern "C" ZYVISA_EXPORT ViUInt32 visaGetTickCount(void) noexcept {
  return zyvisa::platform::TickCount();
}

extern "C" ZYVISA_EXPORT void visaSleep(ViUInt32 milliseconds) noexcept {
  zyvisa::platform::SleepMs(milliseconds);
}

extern "C" ZYVISA_EXPORT ViUInt32 visaProcGetID(void) noexcept {
  return zyvisa::platform::CurrentProcessId();
}

extern "C" ZYVISA_EXPORT ViUInt32 visaThreadGetID(void) noexcept {
  return zyvisa::platform::CurrentThreadId();
}

extern "C" ZYVISA_EXPORT ViBoolean visaProcIsSame(ViUInt32 pid1, ViUInt32 pid2) noexcept {
  return pid1 == pid2 ? VI_TRUE : VI_FALSE;
}

extern "C" ZYVISA_EXPORT ViStatus visaProcIsAlive(ViUInt32 pid, ViBoolean* alive) noexcept {
  // Nowhere to put the answer: refused before asking the system.
  if (alive == nullptr) return VI_ERROR_USER_BUF;
  switch (zyvisa::platform::ProcessState(pid)) {
    case ProcState::kAlive:
      *alive = VI_TRUE;
      return VI_SUCCESS;
    case ProcState::kGone:
      *alive = VI_FALSE;
      return VI_SUCCESS;
    case ProcState::kNoPermission:
      return VI_ERROR_NPERMISSION;
    case ProcState::kError:
      break;
  }
  return VI_ERROR_SYSTEM_ERROR;
}

extern "C" ZYVISA_EXPORT ViStatus visaLibLoad(ViConstString file, ViAddr* library) noexcept {
  if (library == nullptr) return VI_ERROR_USER_BUF;
  *library = zyvisa::platform::LibraryLoad(file);
  return *library != nullptr ? VI_SUCCESS : VI_ERROR_LIBRARY_NFOUND;
}

extern "C" ZYVISA_EXPORT ViStatus visaLibSymbol(ViAddr library, ViConstString symbol,
                                                ViAddr* entry) noexcept {
  if (entry == nullptr) return VI_ERROR_USER_BUF;
  *entry = zyvisa::platform::LibrarySymbol(library, symbol);
  return *entry != nullptr ? VI_SUCCESS : VI_ERROR_LIBRARY_NFOUND;
}

extern "C" ZYVISA_EXPORT ViStatus visaLibFree(ViAddr library) noexcept {
  return zyvisa::platform::LibraryFree(library) ? VI_SUCCESS : VI_ERROR_CLOSING_FAILED;
}

extern "C" ZYVISA_EXPORT void* visaCalloc(size_t count, size_t size) noexcept {
  return std::calloc(count, size);
}

// The debugging name is the same operation: the library keeps no allocation
// records of its own.
extern "C" ZYVISA_EXPORT void* visaCallocDbg(size_t count, size_t size) noexcept {
  return visaCalloc(count, size);
}

extern "C" ZYVISA_EXPORT void* visaRealloc(void* block, size_t size) noexcept {
  // A new block is zero-filled like every block the library hands out; a
  // grown one is not (realloc cannot know how much of it was in use).
  if (block == nullptr) return std::calloc(1, size);
  return std::realloc(block, size);
}

extern "C" ZYVISA_EXPORT void* visaReallocDbg(void* block, size_t size) noexcept {
  return visaRealloc(block, size);
}

extern "C" ZYVISA_EXPORT void visaFree(void* block) noexcept { std::free(block); }

extern "C" ZYVISA_EXPORT ViBoolean visaStricmp(ViConstString a, ViConstString b) noexcept {
  return CompareNoCase(a, b, UINT64_MAX);
}

extern "C" ZYVISA_EXPORT ViBoolean visaStrnicmp(ViConstString a, ViConstString b,
                                                ViUInt32 count) noexcept {
  // count - 1 matching characters, then the next pair decides: agreement in
  // the first count characters. A count of 0 places no limit.
  return CompareNoCase(a, b, count == 0 ? UINT64_MAX : uint64_t{count} - 1);
}
