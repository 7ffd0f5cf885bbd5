/* Uses the installed headers from C and the installed library: starts the
 * services on the machine folder the registry names, carves a block twice
 * and reads it back. Exits 0 when everything agreed. */
#include <stdio.h>
#include <string.h>

#include <zyvisa_lifecycle.h>
#include <zyvisa_platform.h>

int main(void) {
  void* first = NULL;
  void* second = NULL;
  ViUInt16 created = 0;
  if (zyvisaInitializeServicesIfNeeded() != 1) {
    fprintf(stderr, "consumer: start-up failed\n");
    return 1;
  }
  if (visaAllocShared("Consumer Block", 64, &first, &created) != VI_SUCCESS || created != 1) return 2;
  memcpy(first, "installed", 10);
  if (visaAllocShared("Consumer Block", 64, &second, &created) != VI_SUCCESS || created != 0) return 3;
  if (second != first || strcmp((const char*)second, "installed") != 0) return 4;
  printf("consumer: services started, block shared (pid %lu)\n", (unsigned long)visaProcGetID());
  return 0;
}
