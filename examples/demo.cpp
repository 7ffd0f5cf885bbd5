// Demonstration: a program that uses the services as an interface driver
// would, then shows the machine's shared region with zyvisa-inspect while it
// still has the region mapped.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "zyvisa_config.h"
#include "zyvisa_lifecycle.h"

namespace {

bool Check(const char* what, ViStatus status) {
  std::printf("  %-44s status 0x%08X\n", what, static_cast<unsigned>(status));
  return status >= VI_SUCCESS;
}

}  // namespace

int main() {
  std::printf("services initialized: %u\n", zyvisaInitializeServicesIfNeeded());
  if (zyvisaInitializeServicesIfNeeded() != 1) {
    std::printf("start-up failed: check the registry (ZYVISA_REGISTRY, /etc/zyvisa/registry.ini)\n");
    return 1;
  }

  char path[280];
  if (Check("visaConfigIniPath", visaConfigIniPath(path))) std::printf("    -> %s\n", path);
  if (Check("visaFrameworkPath", visaFrameworkPath(path))) std::printf("    -> %s\n", path);

  // A driver finds its machine-wide table by name: the first process creates
  // it, every later one gets the same block.
  void* table = nullptr;
  ViUInt16 created = 0;
  if (Check("visaAllocShared(\"Demo Driver Table\", 256)",
            visaAllocShared("Demo Driver Table", 256, &table, &created))) {
    std::printf("    -> %s the block\n", created ? "created" : "found");
  }

  std::printf("\nthe shared region as zyvisa-inspect sees it:\n");
  std::fflush(stdout);
  const int rc = std::system(ZYVISA_INSPECT_PATH);
  return rc == 0 ? 0 : 1;
}
