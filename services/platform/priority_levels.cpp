// Windows priority levels and the Linux nice values that stand for them: one
// table for both platforms (POSIX keeps the levels, Windows only describes them).
#include "platform/platform.h"

namespace zyvisa::platform {

int PriorityFromNice(int nice) noexcept {
  if (nice <= -20) return kPriorityTimeCritical;
  if (nice <= -10) return kPriorityHighest;
  if (nice <= -5) return kPriorityAboveNormal;
  if (nice < 5) return kPriorityNormal;
  if (nice < 10) return kPriorityBelowNormal;
  if (nice < 19) return kPriorityLowest;
  return kPriorityIdle;
}

int NiceForPriority(int level) noexcept {
  if (level >= kPriorityTimeCritical) return -20;
  if (level >= kPriorityHighest) return -10;
  if (level >= kPriorityAboveNormal) return -5;
  if (level >= kPriorityNormal) return 0;
  if (level >= kPriorityBelowNormal) return 5;
  if (level >= kPriorityLowest) return 10;
  return 19;
}

}  // namespace zyvisa::platform
