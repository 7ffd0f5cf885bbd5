// Loading code libraries with the dynamic linker, and finding our own file.
#include <dlfcn.h>
#include <link.h>
#include <limits.h>
#include <unistd.h>

#include "platform/platform.h"

namespace zyvisa::platform {

// The dynamic linker reports failures only through dlerror(), never on a
// terminal; the message is read and dropped so that it does not show up in a
// later, unrelated dlerror() of the host program.
void* LibraryLoad(const char* file) noexcept {
  // dlopen(nullptr) would return the main program, which is not a library.
  if (file == nullptr || file[0] == '\0') return nullptr;
  // Imports bound at once, like the loader the library's callers expect:
  // a missing dependency fails the load, not a later call.
  void* library = dlopen(file, RTLD_NOW | RTLD_LOCAL);
  if (library == nullptr) dlerror();
  return library;
}

void* LibrarySymbol(void* library, const char* symbol) noexcept {
  // dlsym(nullptr, ...) would search the global scope.
  if (library == nullptr || symbol == nullptr) return nullptr;
  void* entry = dlsym(library, symbol);
  if (entry == nullptr) dlerror();
  return entry;
}

const char kTraceLibraryFile[] = "libZySpyLog.so";

bool LibraryFree(void* library) noexcept {
  if (library == nullptr) return false;
  if (dlclose(library) == 0) return true;
  dlerror();
  return false;
}

std::string OwnModulePath() {
  Dl_info info{};
  link_map* map = nullptr;
  if (dladdr1(reinterpret_cast<void*>(&OwnModulePath), &info, reinterpret_cast<void**>(&map),
              RTLD_DL_LINKMAP) != 0 &&
      map != nullptr && map->l_name != nullptr && map->l_name[0] != '\0') {
    return map->l_name;
  }
  // The main program has an empty name in the link map: linked statically
  // into it, our module is the executable.
  char path[PATH_MAX];
  ssize_t n = readlink("/proc/self/exe", path, sizeof path - 1);
  if (n <= 0) return std::string();
  return std::string(path, size_t(n));
}

}  // namespace zyvisa::platform
