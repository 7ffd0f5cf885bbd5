// Process-wide objects that must outlive static destruction: the unload hook
// runs shutdown after the C++ runtime has destroyed function-local statics,
// and shutdown still reads and empties these.
#pragma once

#include <new>
#include <utility>

namespace zyvisa::runtime {

template <typename T>
class NeverDestroyed {
 public:
  template <typename... Args>
  explicit NeverDestroyed(Args&&... args) {
    new (storage_) T(std::forward<Args>(args)...);
  }
  NeverDestroyed(const NeverDestroyed&) = delete;
  NeverDestroyed& operator=(const NeverDestroyed&) = delete;
  T& get() noexcept { return *std::launder(reinterpret_cast<T*>(storage_)); }

 private:
  // In the library's own storage, not the heap: nothing is left behind for a
  // leak checker once the library is unloaded, as long as shutdown has
  // released what the object itself allocated.
  alignas(T) unsigned char storage_[sizeof(T)];
};

}  // namespace zyvisa::runtime
