// Scoped environment changes for tests.
#include "support/environment.h"

#include "support/os.h"

namespace zyvisa::test {

void SetEnvironment(const char* name, const char* value) { os::SetEnv(name, value); }

ScopedEnvironment::ScopedEnvironment(const char* name, const char* value) : name_(name) {
  had_ = os::GetEnv(name, &saved_);
  os::SetEnv(name, value);
}

ScopedEnvironment::~ScopedEnvironment() {
  os::SetEnv(name_.c_str(), had_ ? saved_.c_str() : nullptr);
}

}  // namespace zyvisa::test
