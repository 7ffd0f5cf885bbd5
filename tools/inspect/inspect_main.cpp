// zyvisa-inspect: shows a machine's shared region read-only.
#include <cstdio>

int main() {
  std::puts("zyvisa-inspect: not yet implemented");
  return 0;
}
