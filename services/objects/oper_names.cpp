// Names of operation identifiers, for call traces and messages. An identifier
// carries the operation in its upper 16 bits: the group in the high byte, the
// operation's number within the group (from 1) in the low byte.
#include <cstring>

#include "zyvisa_oper.h"

namespace zyvisa::objects {
namespace {

struct OperGroup {
  uint8_t group;
  uint8_t count;
  const char* const* names;
};

const char* const kGroup01[] = {"viStatusDesc", "viGetAttribute", "viSetAttribute", "viClose"};
const char* const kGroup02[] = {"viTerminate",    "viLock",         "viUnlock",
                                "viEnableEvent",  "viDisableEvent", "viDiscardEvents",
                                "viWaitOnEvent",  "viInstallHandler", "viUninstallHandler"};
const char* const kGroup03[] = {"viOpenDefaultRM", "viFindRsrc", "viFindNext", "viOpen",
                                "viParseRsrc"};
const char* const kGroup04[] = {"viRead",        "viReadAsync", "viWrite",
                                "viWriteAsync",  "viAssertTrigger", "viReadSTB",
                                "viClear",       "viReadToFile", "viWriteFromFile"};
const char* const kGroup05[] = {
    "viIn8",        "viOut8",        "viIn16",        "viOut16",       "viIn32",
    "viOut32",      "viMoveIn8",     "viMoveOut8",    "viMoveIn16",    "viMoveOut16",
    "viMoveIn32",   "viMoveOut32",   "viMove",        "viMoveAsync",   "viIn64",
    "viOut64",      "viMoveIn64",    "viMoveOut64",   "viIn8Ex",       "viOut8Ex",
    "viIn16Ex",     "viOut16Ex",     "viIn32Ex",      "viOut32Ex",     "viMoveIn8Ex",
    "viMoveOut8Ex", "viMoveIn16Ex",  "viMoveOut16Ex", "viMoveIn32Ex",  "viMoveOut32Ex",
    "viMoveEx",     "viMoveAsyncEx", "viIn64Ex",      "viOut64Ex",     "viMoveIn64Ex",
    "viMoveOut64Ex"};
const char* const kGroup06[] = {"viMapAddress", "viUnmapAddress", "viPeek8",  "viPoke8",
                                "viPeek16",     "viPoke16",       "viPeek32", "viPoke32",
                                "viPeek64",     "viPoke64",       "viMapAddressEx"};
const char* const kGroup07[] = {"viMemAlloc", "viMemFree", "viMemAllocEx", "viMemFreeEx"};
const char* const kGroup09[] = {"viGpibControlREN", "viGpibControlATN", "viGpibSendIFC",
                                "viGpibCommand", "viGpibPassControl"};
const char* const kGroup0A[] = {"viVxiCommandQuery", "viAssertUtilSignal", "viAssertIntrSignal",
                                "viMapTrigger",      "viUnmapTrigger",     "viVxiServantResponse",
                                "viPxiReserveTriggers"};
const char* const kGroup63[] = {"viSetBuf",   "viFlush",   "viPrintf",   "viScanf",  "viQueryf",
                                "viSPrintf",  "viSScanf",  "viBufWrite", "viBufRead"};

template <size_t N>
constexpr OperGroup Group(uint8_t group, const char* const (&names)[N]) {
  static_assert(N < 256);
  return {group, static_cast<uint8_t>(N), names};
}

// There is no group 0x08.
const OperGroup kGroups[] = {
    Group(0x01, kGroup01), Group(0x02, kGroup02), Group(0x03, kGroup03), Group(0x04, kGroup04),
    Group(0x05, kGroup05), Group(0x06, kGroup06), Group(0x07, kGroup07), Group(0x09, kGroup09),
    Group(0x0A, kGroup0A), Group(0x63, kGroup63),
};

const char* OperName(ViUInt32 id) noexcept {
  const auto group = static_cast<uint8_t>(id >> 24);
  const auto number = static_cast<uint8_t>(id >> 16);
  for (const OperGroup& g : kGroups) {
    if (g.group == group) return number >= 1 && number <= g.count ? g.names[number - 1] : nullptr;
  }
  return nullptr;
}

}  // namespace
}  // namespace zyvisa::objects

extern "C" ZYVISA_EXPORT ViStatus zyvisaLookupOperName(ViUInt32 id, ViChar* name) noexcept {
  if (name == nullptr) return VI_ERROR_USER_BUF;
  const char* known = zyvisa::objects::OperName(id);
  std::strcpy(name, known != nullptr ? known : "<unknown operation>");
  return known != nullptr ? VI_SUCCESS : VI_WARN_UNKNOWN_STATUS;
}
