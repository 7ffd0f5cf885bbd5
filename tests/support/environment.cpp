// Scoped environment changes for tests.
#include "support/environment.h"

#include <stdlib.h>

namespace zyvisa::test {

ScopedEnvironment::ScopedEnvironment(const char* name, const char* value) : name_(name) {
  if (const char* old = getenv(name)) {
    had_ = true;
    saved_ = old;
  }
  if (value == nullptr) {
    unsetenv(name);
  } else {
    setenv(name, value, 1);
  }
}

ScopedEnvironment::~ScopedEnvironment() {
  if (had_) {
    setenv(name_.c_str(), saved_.c_str(), 1);
  } else {
    unsetenv(name_.c_str());
  }
}

}  // namespace zyvisa::test
