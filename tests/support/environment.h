// Scoped changes of environment variables, undone when the scope ends.
#pragma once

#include <string>

namespace zyvisa::test {

// Sets a variable of this process's environment for good; null unsets it.
void SetEnvironment(const char* name, const char* value);

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
