// The core library's callbacks and its unload callback, and the switch into
// and out of unloading: while unloading, every service lock gives up at once
// instead of waiting for a thread that may be gone.
#include <atomic>

#include "runtime/process_state.h"
#include "objects/library_callbacks.h"

namespace zyvisa::objects {
namespace {

// Registered once at start and read from any thread afterwards; atomics keep
// a late registration from tearing.
std::atomic<ZyvisaOpenProc> g_open{nullptr};
std::atomic<ZyvisaGetAttributeProc> g_get_attribute{nullptr};
std::atomic<ZyvisaGetEventAttributeProc> g_get_event_attribute{nullptr};
std::atomic<ZyvisaCloseProc> g_close{nullptr};
std::atomic<ZyvisaUnloadProc> g_unload{nullptr};

}  // namespace

LibraryCallbacks GetLibraryCallbacks() noexcept {
  return {g_open.load(std::memory_order_acquire), g_get_attribute.load(std::memory_order_acquire),
          g_get_event_attribute.load(std::memory_order_acquire),
          g_close.load(std::memory_order_acquire)};
}

}  // namespace zyvisa::objects

namespace objects = zyvisa::objects;
namespace runtime = zyvisa::runtime;

extern "C" ZYVISA_EXPORT void zyvisaSetLibraryCallbacks(
    ZyvisaOpenProc open, ZyvisaGetAttributeProc get_attribute,
    ZyvisaGetEventAttributeProc get_event_attribute, ZyvisaCloseProc close) noexcept {
  objects::g_open.store(open, std::memory_order_release);
  objects::g_get_attribute.store(get_attribute, std::memory_order_release);
  objects::g_get_event_attribute.store(get_event_attribute, std::memory_order_release);
  objects::g_close.store(close, std::memory_order_release);
}

extern "C" ZYVISA_EXPORT ViStatus zyvisaSetUnloadCallback(ZyvisaUnloadProc callback) noexcept {
  // Registering (or removing) the callback returns the library to normal
  // waiting, also after an earlier unload that did not happen after all.
  runtime::State().service_lock_timeout.store(runtime::kServiceWaitForever);
  runtime::State().unloading.store(0);
  objects::g_unload.store(callback, std::memory_order_release);
  return VI_SUCCESS;
}

extern "C" ZYVISA_EXPORT ViInt32 visaLibIsUnloading(ViAddr w, ViAddr x, ViAddr y,
                                                    ViAddr z) noexcept {
  if (ZyvisaUnloadProc callback = objects::g_unload.load(std::memory_order_acquire)) {
    const ViInt32 veto = callback(w, x, y, z);
    if (veto != 0) return veto;
  }
  runtime::State().service_lock_timeout.store(0);
  runtime::State().unloading.store(1);
  return 1;
}
