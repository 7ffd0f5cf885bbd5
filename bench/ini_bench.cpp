// Configuration files: parse throughput of a large generated file beside
// inih's (when built with the peers), and the cost of one cached lookup with
// change checks on and suspended.
#include <benchmark/benchmark.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <random>
#include <string>
#include <thread>

#include "ini/ini_document.h"
#include "zyvisa_config.h"

#if ZYVISA_HAVE_INIH
#include <ini.h>
#endif

namespace {

std::string TempPath(const char* name) {
  return (std::filesystem::temp_directory_path() /
          (std::string("zyvisa-ini-bench-") + std::to_string(std::random_device{}()) + "-" + name))
      .string();
}

void WriteText(const std::string& path, const std::string& text) {
  std::FILE* f = std::fopen(path.c_str(), "wb");
  if (f == nullptr || std::fwrite(text.data(), 1, text.size(), f) != text.size()) std::abort();
  std::fclose(f);
}

// About 20 MB of what configuration files hold: sections of a few dozen
// keys, numbers, paths, quoted text, comments and blank lines, CR LF ends.
const std::string& LargeFile() {
  // Never destroyed: the exit handler that removes the file still reads it.
  static const std::string& path = *new std::string([] {
    std::string text;
    text.reserve(21 << 20);
    std::mt19937 rng(7);
    for (int s = 0; text.size() < (20u << 20); ++s) {
      text += "; settings of interface " + std::to_string(s) + "\r\n";
      text += "[GPIB" + std::to_string(s) + "::INTFC]\r\n";
      const int keys = 10 + static_cast<int>(rng() % 30);
      for (int k = 0; k < keys; ++k) {
        switch (rng() % 4) {
          case 0: text += "NumericValue" + std::to_string(k) + "=" + std::to_string(rng()) + "\r\n"; break;
          case 1: text += "Path" + std::to_string(k) + " = /opt/zyvisa/lib/driver" + std::to_string(rng() % 1000) + ".so\r\n"; break;
          case 2: text += "Alias" + std::to_string(k) + "=\"TCPIP0::192.168.0." + std::to_string(rng() % 255) + "::inst0::INSTR\"\r\n"; break;
          default: text += "Flag" + std::to_string(k) + "=1\r\n"; break;
        }
      }
      text += "\r\n";
    }
    const std::string p = TempPath("large.ini");
    WriteText(p, text);
    std::atexit([] { std::remove(LargeFile().c_str()); });
    return p;
  }());
  return path;
}

size_t FileSize(const std::string& path) { return static_cast<size_t>(std::filesystem::file_size(path)); }

void BM_IniDocumentLoad(benchmark::State& state) {
  const std::string& path = LargeFile();
  for (auto _ : state) {
    zyvisa::ini::IniDocument doc(true, false, 0x6);  // the configuration store's settings
    std::FILE* f = std::fopen(path.c_str(), "rb");
    if (doc.Load(f) != 0) state.SkipWithError("load failed");
    std::fclose(f);
    benchmark::DoNotOptimize(doc.sections().data());
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * FileSize(path)));
}
BENCHMARK(BM_IniDocumentLoad)->Unit(benchmark::kMillisecond);

#if ZYVISA_HAVE_INIH
int CountHandler(void* user, const char*, const char*, const char*) {
  ++*static_cast<size_t*>(user);
  return 1;
}

void BM_InihCount(benchmark::State& state) {
  const std::string& path = LargeFile();
  for (auto _ : state) {
    size_t count = 0;
    std::FILE* f = std::fopen(path.c_str(), "rb");
    if (ini_parse_file(f, CountHandler, &count) != 0) state.SkipWithError("inih failed");
    std::fclose(f);
    benchmark::DoNotOptimize(count);
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * FileSize(path)));
}
BENCHMARK(BM_InihCount)->Unit(benchmark::kMillisecond);

using SectionMap = std::map<std::string, std::map<std::string, std::string>>;
int MapHandler(void* user, const char* section, const char* name, const char* value) {
  (*static_cast<SectionMap*>(user))[section][name] = value;
  return 1;
}

void BM_InihMap(benchmark::State& state) {
  const std::string& path = LargeFile();
  for (auto _ : state) {
    SectionMap map;
    std::FILE* f = std::fopen(path.c_str(), "rb");
    if (ini_parse_file(f, MapHandler, &map) != 0) state.SkipWithError("inih failed");
    std::fclose(f);
    benchmark::DoNotOptimize(map.size());
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * FileSize(path)));
}
BENCHMARK(BM_InihMap)->Unit(benchmark::kMillisecond);
#endif

// A configuration file of the usual size, old enough that its stamp comes
// from its metadata alone (a file changed in the last two seconds is hashed
// on every check, which is not the steady state being measured).
const std::string& SmallFile() {
  // Never destroyed: the exit handler that removes the file still reads it.
  static const std::string& path = *new std::string([] {
    std::string text = "[VISA-CONFIG]\r\nSharedMemSize=524288\r\nMaxNumResources=512\r\n";
    for (int s = 0; s < 8; ++s) {
      text += "[Interface" + std::to_string(s) + "]\r\n";
      for (int k = 0; k < 12; ++k) text += "Key" + std::to_string(k) + "=" + std::to_string(s * k) + "\r\n";
    }
    text += "[LastSection]\r\nMinAsyncCount=512\r\n";
    const std::string p = TempPath("small.ini");
    WriteText(p, text);
    std::atexit([] { std::remove(SmallFile().c_str()); });
    std::this_thread::sleep_for(std::chrono::milliseconds(2100));
    return p;
  }());
  return path;
}

void CachedLookup(benchmark::State& state) {
  const std::string& path = SmallFile();
  ViInt32 value = 0;
  visaGetIniLong(path.c_str(), "LastSection", "MinAsyncCount", 0, &value);  // cached from here on
  for (auto _ : state) {
    visaGetIniLong(path.c_str(), "LastSection", "MinAsyncCount", 0, &value);
    benchmark::DoNotOptimize(value);
  }
  if (value != 512) state.SkipWithError("wrong value");
}

// Reference for the lookup with checks on: the one file-system query that
// any change detection makes.
void BM_FileTimeReference(benchmark::State& state) {
  const std::string& path = SmallFile();
  for (auto _ : state) benchmark::DoNotOptimize(std::filesystem::last_write_time(path));
}
BENCHMARK(BM_FileTimeReference);

void BM_CachedGetIniLong_ChecksOn(benchmark::State& state) { CachedLookup(state); }
BENCHMARK(BM_CachedGetIniLong_ChecksOn);

void BM_CachedGetIniLong_ChecksSuspended(benchmark::State& state) {
  zyvisaConfigFileCheckUpdates(VI_FALSE);
  CachedLookup(state);
  zyvisaConfigFileCheckUpdates(VI_TRUE);
}
BENCHMARK(BM_CachedGetIniLong_ChecksSuspended);

}  // namespace
