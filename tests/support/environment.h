// Scoped changes of environment variables, undone when the scope ends.
#pragma once

#include <string>

namespace zyvisa::test {

class ScopedEnvironment {
 public:
  // value null unsets the variable.
  ScopedEnvironment(const char* name, const char* value);
  ~ScopedEnvironment();
  ScopedEnvironment(const ScopedEnvironment&) = delete;
  ScopedEnvironment& operator=(const ScopedEnvironment&) = delete;

 private:
  std::string name_, saved_;
  bool had_ = false;
};

}  // namespace zyvisa::test
