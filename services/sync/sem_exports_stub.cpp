// Placeholder until the semaphores land: in-process semaphores with the
// recursion, hold counts and time-outs that their users rely on, so the
// object table can be built and tested. Every scope is handled as process scope.
#include <chrono>
#include <condition_variable>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "zyvisa_sem.h"

struct ZyvisaSemaphore {
  std::mutex mutex;
  std::condition_variable freed;
  std::thread::id owner;
  uint32_t holds = 0;
  bool recursive = false;
};

namespace {

std::mutex& NamesMutex() {
  static std::mutex m;
  return m;
}
std::map<std::string, std::unique_ptr<ZyvisaSemaphore>>& Names() {
  static std::map<std::string, std::unique_ptr<ZyvisaSemaphore>> names;
  return names;
}

}  // namespace

extern "C" ZYVISA_EXPORT ViStatus visaSemAlloc(ViConstString name, ViUInt16, ViUInt16 recursive,
                                               ViSemaphore* handle) noexcept {
  if (name == nullptr || handle == nullptr) return VI_ERROR_USER_BUF;
  std::lock_guard<std::mutex> lock(NamesMutex());
  std::unique_ptr<ZyvisaSemaphore>& sem = Names()[name];
  if (sem == nullptr) sem = std::make_unique<ZyvisaSemaphore>();
  sem->recursive = recursive == 1;
  *handle = sem.get();
  return VI_SUCCESS;
}

extern "C" ZYVISA_EXPORT ViStatus visaSemAcquire(ViSemaphore sem, ViUInt32 timeout,
                                                 ViUInt16* acquired) noexcept {
  if (sem == nullptr) return VI_ERROR_INV_OBJECT;
  std::unique_lock<std::mutex> lock(sem->mutex);
  const std::thread::id me = std::this_thread::get_id();
  if (sem->recursive && sem->holds > 0 && sem->owner == me) {
    ++sem->holds;
  } else {
    auto is_free = [sem] { return sem->holds == 0; };
    bool got = timeout == VI_TMO_INFINITE
                   ? (sem->freed.wait(lock, is_free), true)
                   : sem->freed.wait_for(lock, std::chrono::milliseconds(timeout), is_free);
    if (!got) {
      if (acquired != nullptr) *acquired = 0;
      return VI_ERROR_TMO;
    }
    sem->owner = me;
    sem->holds = 1;
  }
  if (acquired != nullptr) *acquired = 1;
  return VI_SUCCESS;
}

extern "C" ZYVISA_EXPORT ViStatus visaSemRelease(ViSemaphore sem, ViUInt16* acquired) noexcept {
  if (sem == nullptr) return VI_ERROR_INV_OBJECT;
  if (acquired != nullptr && *acquired == 0) return VI_SUCCESS;
  std::lock_guard<std::mutex> lock(sem->mutex);
  if (acquired != nullptr) *acquired = 0;
  if (sem->holds == 0) return VI_ERROR_SESN_NLOCKED;
  if (--sem->holds == 0) {
    sem->owner = std::thread::id();
    sem->freed.notify_one();
  }
  return VI_SUCCESS;
}

extern "C" ZYVISA_EXPORT ViStatus visaSemFree(ViSemaphore sem) noexcept {
  return sem == nullptr ? VI_ERROR_INV_OBJECT : VI_SUCCESS;
}

extern "C" ZYVISA_EXPORT ViBoolean zyvisaSemCloseMutex(ViSemaphore sem) noexcept {
  return sem == nullptr ? VI_FALSE : VI_TRUE;
}
