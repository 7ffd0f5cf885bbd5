// Threads the library creates (the asynchronous job threads), Windows
// priority levels on Linux nice values, cancellation kept to the one call
// where it is wanted, and a thread that holds the library loaded.
#include <dlfcn.h>
#include <link.h>
#include <pthread.h>
#include <semaphore.h>
#include <sys/resource.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <climits>

#include "platform/platform.h"
#include "platform/posix/posix_common.h"

namespace zyvisa::platform {

namespace {

// A thread's level once the library gave it one; INT_MIN while it has none.
// initial-exec: no TLS descriptor call and no destructor, which would tie the
// thread's end to this module (see ThreadReleaseLibraryAtExit).
constexpr int kNoLevel = INT_MIN;
__thread int t_priority_level __attribute__((tls_model("initial-exec"))) = kNoLevel;

struct StartBlock {
  ThreadEntry entry;
  void* argument;
  int priority;
  uint32_t thread_id;
  sem_t started;
};

// Not noexcept: a cancellation inside CallCancellable unwinds through here
// into the C library's thread start, and a noexcept frame on the way would
// turn that unwinding into std::terminate.
void* ThreadStart(void* raw) {
  // Before anything else: the thread holds the library's locks in places, and
  // may only be cancelled where CallCancellable allows it.
  pthread_setcancelstate(PTHREAD_CANCEL_DISABLE, nullptr);
  auto* block = static_cast<StartBlock*>(raw);
  const ThreadEntry entry = block->entry;
  void* const argument = block->argument;
  SetCurrentThreadPriority(block->priority);
  block->thread_id = CurrentThreadId();
  // The block lives on the creator's stack: not touched after this.
  sem_post(&block->started);
  entry(argument);
  return nullptr;
}

// The key whose destructor drops the pinned reference. The C library calls a
// key's destructor after the thread's start routine has returned, from its
// own code, so the reference is dropped when no frame of ours is left on the
// stack; were this the last reference, the module may be unmapped at once.
// The destructor is dlclose itself (int(void*) called as void(void*), which the
// calling convention makes the same call), so nothing of ours has to stay
// mapped for it. The key is created once per load and never deleted: a key
// deleted while a thread still carries a value would leak that reference.
pthread_once_t g_release_key_once = PTHREAD_ONCE_INIT;
pthread_key_t g_release_key;
bool g_release_key_made = false;

void MakeReleaseKey() {
  // Through void(*)(): the one function pointer type the compiler accepts as
  // a deliberate change of signature.
  const auto destructor =
      reinterpret_cast<void (*)(void*)>(reinterpret_cast<void (*)()>(&dlclose));
  g_release_key_made = pthread_key_create(&g_release_key, destructor) == 0;
}

}  // namespace

void* LibraryPinSelf() noexcept {
  Dl_info info{};
  link_map* map = nullptr;
  if (dladdr1(reinterpret_cast<void*>(&LibraryPinSelf), &info, reinterpret_cast<void**>(&map),
              RTLD_DL_LINKMAP) == 0 ||
      map == nullptr || map->l_name == nullptr || map->l_name[0] == '\0') {
    return nullptr;  // the executable: it is never unloaded
  }
  // RTLD_NOLOAD: one more reference on the module already loaded under that
  // name, never a second copy from a file that changed on disk meanwhile.
  void* library = dlopen(map->l_name, RTLD_NOW | RTLD_LOCAL | RTLD_NOLOAD);
  if (library == nullptr) dlerror();
  return library;
}

int CurrentThreadPriority() noexcept {
  const int level = t_priority_level;
  if (level != kNoLevel) return level;
  // On Linux the nice value is a property of each thread when asked by
  // thread id (setpriority(2), NOTES). -1 is a valid nice value: errno tells.
  errno = 0;
  const int nice = getpriority(PRIO_PROCESS, static_cast<id_t>(CurrentThreadId()));
  if (nice == -1 && errno != 0) return kPriorityNormal;
  return PriorityFromNice(nice);
}

bool SetCurrentThreadPriority(int level) noexcept {
  t_priority_level = level;
  // Raising priority needs CAP_SYS_NICE or a permissive RLIMIT_NICE; without
  // them the thread keeps its nice value and still reports the level.
  return setpriority(PRIO_PROCESS, static_cast<id_t>(CurrentThreadId()),
                     NiceForPriority(level)) == 0;
}

bool ThreadCreate(ThreadEntry entry, void* argument, int priority, ThreadHandle* handle,
                  uint32_t* thread_id) noexcept {
  static_assert(sizeof(pthread_t) <= sizeof(ThreadHandle), "the session keeps a pthread_t");
  StartBlock block{entry, argument, priority, 0, {}};
  if (sem_init(&block.started, 0, 0) != 0) return false;
  pthread_t thread{};
  // Default attributes: joinable, the default stack size.
  const bool made = pthread_create(&thread, nullptr, &ThreadStart, &block) == 0;
  if (made) {
    while (sem_wait(&block.started) != 0 && errno == EINTR) {
    }
    *handle = static_cast<ThreadHandle>(thread);
    *thread_id = block.thread_id;
  }
  sem_destroy(&block.started);
  return made;
}

bool ThreadJoin(ThreadHandle handle, uint32_t timeout_ms) noexcept {
  const auto thread = static_cast<pthread_t>(handle);
  if (timeout_ms == 0) return pthread_tryjoin_np(thread, nullptr) == 0;
  if (timeout_ms == kWaitForever) return pthread_join(thread, nullptr) == 0;
  // pthread_timedjoin_np counts against the wall clock: a clock step only
  // lengthens or shortens this one wait. (The monotonic pthread_clockjoin_np
  // is not known to the thread sanitizer, which then reports every thread
  // joined with it as leaked.)
  const timespec deadline = posix::DeadlineOn(CLOCK_REALTIME, timeout_ms);
  return pthread_timedjoin_np(thread, nullptr, &deadline) == 0;
}

void ThreadCancel(ThreadHandle handle) noexcept { pthread_cancel(static_cast<pthread_t>(handle)); }

void ThreadDetach(ThreadHandle handle) noexcept { pthread_detach(static_cast<pthread_t>(handle)); }

void CallCancellable(ThreadEntry call, void* argument) {
  // Deferred cancellation: it acts only at the call's cancellation points. A
  // request made while the thread was elsewhere acts at the first of them.
  int previous = PTHREAD_CANCEL_DISABLE;
  pthread_setcancelstate(PTHREAD_CANCEL_ENABLE, &previous);
  call(argument);
  pthread_setcancelstate(previous, nullptr);
}

void ThreadReleaseLibraryAtExit(void* library) noexcept {
  if (library == nullptr) return;
  pthread_once(&g_release_key_once, &MakeReleaseKey);
  // Without the key the reference is kept: the module then stays loaded for
  // the life of the process, which is safe where unmapping it is not.
  if (g_release_key_made) pthread_setspecific(g_release_key, library);
}

}  // namespace zyvisa::platform
