// Demonstration: loads the services and reports whether they started.
#include <cstdio>

#include "zyvisa_lifecycle.h"

int main() {
  std::printf("services initialized: %u\n", zyvisaInitializeServicesIfNeeded());
  return 0;
}
