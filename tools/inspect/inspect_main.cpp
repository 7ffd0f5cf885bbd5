// zyvisa-inspect: shows one machine's shared region read-only, without joining
// it as a user: the chain of named blocks, the services' shared data, the
// system semaphores and the resource records in use.
#include <cstdio>
#include <cstring>
#include <string>

#include "inspect/region_reader.h"
#include "inspect/resource_view.h"
#include "inspect/semaphore_view.h"

namespace {

using zyvisa::inspect::Block;
using zyvisa::inspect::JsonString;
using zyvisa::inspect::Region;

void Usage() {
  std::puts(
      "usage: zyvisa-inspect [--json] [--file PATH]\n"
      "Shows the shared region of the machine that the registry names\n"
      "(ZYVISA_REGISTRY), or the region file PATH, without joining it.");
}

void PrintText(const Region& r) {
  std::printf("region %s (%zu bytes)\n", r.path.c_str(), r.size);
  if (r.has_services) {
    std::printf("services: use count %u, minimum asynchronous count %u\n", r.services.use_count,
                r.services.min_async_count);
  } else {
    std::printf("services: no services shared data in the first block\n");
  }
  // The use count only grows when processes are killed: the holders are
  // what is true now.
  if (r.holders_known) {
    std::printf("processes holding the region: %zu", r.holders.size());
    for (size_t i = 0; i < r.holders.size(); ++i) {
      std::printf("%s%u", i == 0 ? " (" : " ", r.holders[i]);
    }
    std::printf("%s\n", r.holders.empty() ? "" : ")");
  } else {
    std::printf("processes holding the region: unknown\n");
  }
  std::printf("%-5s %-50s %10s %10s\n", "block", "name", "offset", "size");
  int index = 0;
  for (const Block& b : r.blocks) {
    if (b.free_tail) {
      std::printf("%-5s %-50s %10u %10u\n", "free", "(free tail)", b.payload_offset, b.size);
    } else {
      std::printf("%-5d %-50s %10u %10u\n", index++, b.name.c_str(), b.payload_offset, b.size);
    }
  }
  zyvisa::inspect::PrintSemaphoresText(zyvisa::inspect::ReadSystemSemaphores(r));
  zyvisa::inspect::PrintResourcesText(zyvisa::inspect::ReadResources(r));
}

void PrintJson(const Region& r) {
  std::printf("{\"region\":%s,\"size\":%zu,", JsonString(r.path).c_str(), r.size);
  if (r.has_services) {
    std::printf("\"services\":{\"use_count\":%u,\"min_async_count\":%u},", r.services.use_count,
                r.services.min_async_count);
  } else {
    std::printf("\"services\":null,");
  }
  if (r.holders_known) {
    std::printf("\"holders\":%zu,\"holder_pids\":[", r.holders.size());
    for (size_t i = 0; i < r.holders.size(); ++i) std::printf("%s%u", i == 0 ? "" : ",", r.holders[i]);
    std::printf("],");
  } else {
    std::printf("\"holders\":null,\"holder_pids\":null,");
  }
  std::printf("\"blocks\":[");
  bool first = true;
  for (const Block& b : r.blocks) {
    if (b.free_tail) continue;
    std::printf("%s{\"name\":%s,\"offset\":%u,\"size\":%u}", first ? "" : ",",
                JsonString(b.name).c_str(), b.payload_offset, b.size);
    first = false;
  }
  const Block& tail = r.blocks.back();
  std::printf("],\"free_tail\":{\"offset\":%u,\"size\":%u},", tail.payload_offset, tail.size);
  std::printf("\"system_semaphores\":");
  zyvisa::inspect::PrintSemaphoresJson(zyvisa::inspect::ReadSystemSemaphores(r));
  std::printf(",\"resources\":");
  zyvisa::inspect::PrintResourcesJson(zyvisa::inspect::ReadResources(r));
  std::printf("}\n");
}

}  // namespace

int main(int argc, char** argv) {
  bool json = false;
  std::string path;
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--json") == 0) {
      json = true;
    } else if (std::strcmp(argv[i], "--file") == 0 && i + 1 < argc) {
      path = argv[++i];
    } else {
      Usage();
      return std::strcmp(argv[i], "--help") == 0 ? 0 : 64;
    }
  }
  if (path.empty()) path = zyvisa::inspect::DefaultRegionPath();
  if (path.empty()) {
    std::fprintf(stderr, "zyvisa-inspect: the registry names no shared-memory folder\n");
    return 2;
  }
  Region region;
  std::string why;
  switch (zyvisa::inspect::OpenRegion(path, &region, &why)) {
    case zyvisa::inspect::OpenResult::kMissing:
      std::fprintf(stderr, "zyvisa-inspect: no shared region at %s (no process has it open)\n",
                   path.c_str());
      return 1;
    case zyvisa::inspect::OpenResult::kNotARegion:
      std::fprintf(stderr, "zyvisa-inspect: %s is not a shared region: %s\n", path.c_str(),
                   why.c_str());
      zyvisa::inspect::CloseRegion(&region);
      return 2;
    case zyvisa::inspect::OpenResult::kOk:
      break;
  }
  if (json) {
    PrintJson(region);
  } else {
    PrintText(region);
  }
  zyvisa::inspect::CloseRegion(&region);
  return 0;
}
