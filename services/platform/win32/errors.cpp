// Win32 error codes and wait results, turned into the platform interface's
// results in this one place.
#include "platform/win32/win32_common.h"

namespace zyvisa::platform::win32 {

ProcState ProcStateFromError(DWORD error) noexcept {
  switch (error) {
    case ERROR_ACCESS_DENIED:
      return ProcState::kNoPermission;
    // OpenProcess reports a process that does not exist (any more) as an
    // invalid parameter; the others are what the loader and the service
    // manager report for processes that ended abnormally or are unknown.
    case ERROR_INVALID_PARAMETER:
    case ERROR_PROC_NOT_FOUND:
    case ERROR_PROCESS_ABORTED:
    case ERROR_NOT_FOUND:
      return ProcState::kGone;
    default:
      return ProcState::kError;
  }
}

RegRead RegReadFromError(LONG error) noexcept {
  switch (error) {
    case ERROR_SUCCESS:
      return RegRead::kOk;
    case ERROR_MORE_DATA:
      return RegRead::kMoreData;
    default:  // missing key or value, no access, wrong hive: all unreadable
      return RegRead::kMissing;
  }
}

WaitResult WaitResultFromWait(DWORD wait) noexcept {
  switch (wait) {
    case WAIT_OBJECT_0:
      return WaitResult::kAcquired;
    case WAIT_ABANDONED:
      return WaitResult::kAbandoned;
    case WAIT_TIMEOUT:
      return WaitResult::kTimeout;
    default:
      return WaitResult::kFailed;
  }
}

}  // namespace zyvisa::platform::win32
