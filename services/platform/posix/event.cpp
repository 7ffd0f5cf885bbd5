// Unnamed auto-reset events of one process: a flag under a mutex, and a
// condition variable on the monotonic clock so that a change of the wall
// clock neither shortens nor lengthens a wait.
#include <pthread.h>
#include <time.h>

#include <cerrno>
#include <new>

#include "platform/platform.h"
#include "platform/posix/posix_common.h"

namespace zyvisa::platform {

struct Event {
  pthread_mutex_t mutex;
  pthread_cond_t cond;
  bool signalled;
  bool abandoned;  // every wait, present and future, ends unsignalled
};

namespace {

// Waits until signalled, abandoned or the time-out, with the event's mutex
// held on entry and on return. True when the signal was taken (and reset).
bool WaitLocked(Event* event, uint32_t timeout_ms) {
  const auto waiting = [event] { return !event->signalled && !event->abandoned; };
  if (timeout_ms == kWaitForever) {
    while (waiting()) pthread_cond_wait(&event->cond, &event->mutex);
  } else if (waiting() && timeout_ms > 0) {
    const timespec deadline = posix::MonotonicDeadline(timeout_ms);
    while (waiting()) {
      if (pthread_cond_timedwait(&event->cond, &event->mutex, &deadline) == ETIMEDOUT) break;
    }
  }
  if (!event->signalled || event->abandoned) return false;
  event->signalled = false;
  return true;
}

}  // namespace

Event* EventCreate() noexcept {
  Event* event = new (std::nothrow) Event;
  if (event == nullptr) return nullptr;
  event->signalled = false;
  event->abandoned = false;
  pthread_condattr_t attr;
  bool ok = pthread_condattr_init(&attr) == 0;
  ok = ok && pthread_condattr_setclock(&attr, CLOCK_MONOTONIC) == 0;
  ok = ok && pthread_cond_init(&event->cond, &attr) == 0;
  pthread_condattr_destroy(&attr);
  if (!ok) {
    delete event;
    return nullptr;
  }
  if (pthread_mutex_init(&event->mutex, nullptr) != 0) {
    pthread_cond_destroy(&event->cond);
    delete event;
    return nullptr;
  }
  return event;
}

void EventSet(Event* event) noexcept {
  if (event == nullptr) return;
  pthread_mutex_lock(&event->mutex);
  event->signalled = true;
  pthread_mutex_unlock(&event->mutex);
  // Auto-reset: one signal releases one waiter.
  pthread_cond_signal(&event->cond);
}

bool EventSetIf(Event* event, bool (*decide)(void*), void* context) noexcept {
  if (event == nullptr) return false;
  pthread_mutex_lock(&event->mutex);
  const bool set = decide(context);
  if (set) event->signalled = true;
  pthread_mutex_unlock(&event->mutex);
  if (set) pthread_cond_signal(&event->cond);
  return set;
}

bool EventWait(Event* event, uint32_t timeout_ms) noexcept {
  if (event == nullptr) return false;
  pthread_mutex_lock(&event->mutex);
  const bool taken = WaitLocked(event, timeout_ms);
  pthread_mutex_unlock(&event->mutex);
  return taken;
}

bool EventWaitOrGiveUp(Event* event, uint32_t timeout_ms, void (*give_up)(void*),
                       void* context) noexcept {
  if (event == nullptr) return false;
  pthread_mutex_lock(&event->mutex);
  const bool taken = WaitLocked(event, timeout_ms);
  if (!taken) give_up(context);
  pthread_mutex_unlock(&event->mutex);
  return taken;
}

void EventAbandon(Event* event) noexcept {
  if (event == nullptr) return;
  pthread_mutex_lock(&event->mutex);
  event->abandoned = true;
  pthread_mutex_unlock(&event->mutex);
  pthread_cond_broadcast(&event->cond);
}

void EventClose(Event* event) noexcept {
  if (event == nullptr) return;
  pthread_cond_destroy(&event->cond);
  pthread_mutex_destroy(&event->mutex);
  delete event;
}

}  // namespace zyvisa::platform
