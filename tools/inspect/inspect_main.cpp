// zyvisa-inspect: shows one machine's shared region read-only, without joining
// it as a user: a summary of who holds what, then sections on request (the
// named blocks, the system semaphores, the resource records in use).
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <cstring>
#include <string>
#include <thread>

#include "inspect/region_reader.h"
#include "inspect/resource_view.h"
#include "inspect/semaphore_view.h"
#include "inspect/summary.h"

namespace {

using zyvisa::inspect::Block;
using zyvisa::inspect::JsonString;
using zyvisa::inspect::Region;
using zyvisa::inspect::ResourceTable;
using zyvisa::inspect::SemaphoreTable;

void Usage() {
  std::puts(
      "NAME\n"
      "    zyvisa-inspect - show what holds a machine's shared region, read-only\n"
      "\n"
      "SYNOPSIS\n"
      "    zyvisa-inspect [--section NAME]... [--all] [--json] [--watch SECONDS] [--file PATH]\n"
      "\n"
      "DESCRIPTION\n"
      "    Maps the machine's shared region read-only, without joining it, and shows\n"
      "    first a summary that fits one screen: the region's size and use, the\n"
      "    processes using it, the system semaphores held and by whom, the resources\n"
      "    locked or busy and by whom. A semaphore, lock or operation whose process\n"
      "    is gone is marked DEAD: the next request for it takes it over.\n"
      "\n"
      "    The machine is the one the registry names (ZYVISA_REGISTRY, else\n"
      "    /etc/zyvisa/registry.ini, else the built-in defaults).\n"
      "\n"
      "OPTIONS\n"
      "    --section NAME   after the summary, the details of one section:\n"
      "                     blocks (the named blocks and the free tail),\n"
      "                     semaphores (every allocated system semaphore),\n"
      "                     resources (every resource record in use); repeatable\n"
      "    --all            every section\n"
      "    --json           everything as one JSON object instead\n"
      "    --watch SECONDS  show it again every SECONDS (decimals allowed) until\n"
      "                     interrupted\n"
      "    --file PATH      the region's backing file instead of the registry's\n"
      "    --help           this text\n"
      "\n"
      "EXIT STATUS\n"
      "    0  the region was read and no owner is dead\n"
      "    1  there is no region (no process has the machine open)\n"
      "    2  the file is not a region, or the registry names no folder\n"
      "    3  an owner is dead (a semaphore, lock or operation of a gone process)\n"
      "    64 wrong usage\n"
      "\n"
      "EXAMPLES\n"
      "    zyvisa-inspect || echo \"machine needs attention\"\n"
      "    zyvisa-inspect --section resources --watch 1");
}

void PrintBlocks(const Region& r) {
  std::printf("%-5s %-50s %10s %10s\n", "block", "name", "offset", "size");
  int index = 0;
  for (const Block& b : r.blocks) {
    if (b.free_tail) {
      std::printf("%-5s %-50s %10u %10u\n", "free", "(free tail)", b.payload_offset, b.size);
    } else {
      std::printf("%-5d %-50s %10u %10u\n", index++, b.name.c_str(), b.payload_offset, b.size);
    }
  }
}

void PrintJson(const Region& r, const SemaphoreTable& semaphores, const ResourceTable& resources) {
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
  zyvisa::inspect::PrintSemaphoresJson(semaphores);
  std::printf(",\"resources\":");
  zyvisa::inspect::PrintResourcesJson(resources);
  std::printf(",\"dead_owners\":%d}\n", zyvisa::inspect::CountDeadOwners(semaphores, resources));
}

struct Options {
  bool json = false;
  bool blocks = false, semaphores = false, resources = false;
  double watch = 0;  // seconds; 0 shows once
  std::string path;
};

// Reads the region once and shows it; the exit status of that look.
int Show(const Options& o) {
  Region region;
  std::string why;
  switch (zyvisa::inspect::OpenRegion(o.path, &region, &why)) {
    case zyvisa::inspect::OpenResult::kMissing:
      std::fprintf(stderr, "zyvisa-inspect: no shared region at %s (no process has it open)\n",
                   o.path.c_str());
      return 1;
    case zyvisa::inspect::OpenResult::kNotARegion:
      std::fprintf(stderr, "zyvisa-inspect: %s is not a shared region: %s\n", o.path.c_str(),
                   why.c_str());
      zyvisa::inspect::CloseRegion(&region);
      return 2;
    case zyvisa::inspect::OpenResult::kOk:
      break;
  }
  const SemaphoreTable semaphores = zyvisa::inspect::ReadSystemSemaphores(region);
  const ResourceTable resources = zyvisa::inspect::ReadResources(region);
  if (o.json) {
    PrintJson(region, semaphores, resources);
  } else {
    zyvisa::inspect::PrintSummary(region, semaphores, resources);
    if (o.blocks) {
      std::printf("\n");
      PrintBlocks(region);
    }
    if (o.semaphores) {
      std::printf("\n");
      zyvisa::inspect::PrintSemaphoresText(semaphores);
    }
    if (o.resources) {
      std::printf("\n");
      zyvisa::inspect::PrintResourcesText(resources);
    }
  }
  zyvisa::inspect::CloseRegion(&region);
  std::fflush(stdout);
  return zyvisa::inspect::CountDeadOwners(semaphores, resources) != 0 ? 3 : 0;
}

}  // namespace

int main(int argc, char** argv) {
  Options o;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    const bool has_value = i + 1 < argc;
    if (arg == "--json") {
      o.json = true;
    } else if (arg == "--all") {
      o.blocks = o.semaphores = o.resources = true;
    } else if (arg == "--section" && has_value) {
      const std::string name = argv[++i];
      if (name == "blocks") {
        o.blocks = true;
      } else if (name == "semaphores") {
        o.semaphores = true;
      } else if (name == "resources") {
        o.resources = true;
      } else {
        std::fprintf(stderr, "zyvisa-inspect: no section %s (blocks, semaphores, resources)\n",
                     name.c_str());
        return 64;
      }
    } else if (arg == "--watch" && has_value) {
      char* end = nullptr;
      o.watch = std::strtod(argv[++i], &end);
      if (*end != '\0' || !(o.watch > 0)) {
        std::fprintf(stderr, "zyvisa-inspect: --watch takes a number of seconds\n");
        return 64;
      }
    } else if (arg == "--file" && has_value) {
      o.path = argv[++i];
    } else {
      Usage();
      return arg == "--help" ? 0 : 64;
    }
  }
  if (o.path.empty()) o.path = zyvisa::inspect::DefaultRegionPath();
  if (o.path.empty()) {
    std::fprintf(stderr, "zyvisa-inspect: the registry names no shared-memory folder\n");
    return 2;
  }
  if (o.watch == 0) return Show(o);
  for (;;) {
    const auto now = std::chrono::system_clock::to_time_t(std::chrono::system_clock::now());
    char stamp[32];
    std::strftime(stamp, sizeof stamp, "%Y-%m-%d %H:%M:%S", std::localtime(&now));
    std::printf("---- %s, every %g s (interrupt to stop)\n", stamp, o.watch);
    const int status = Show(o);
    if (status != 0 && status != 3) std::fflush(stderr);
    std::printf("\n");
    std::fflush(stdout);
    std::this_thread::sleep_for(std::chrono::duration<double>(o.watch));
  }
}
