// Fuzzes the configuration-file parser under several settings and the
// configuration store on top of it: every section and key the parser found
// must be found again by name, and the store must answer as the parser does.
#include <stdio.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "ini/ini_document.h"
#include "zyvisa_config.h"

using zyvisa::ini::IniDocument;

namespace {

struct Settings {
  bool merge;
  bool case_sensitive;
  uint32_t options;
};
constexpr Settings kSettings[] = {
    {true, false, 0x6},   // the store's
    {false, false, 0x0},
    {true, true, 0x9},
    {false, true, 0xF},
};

void Check(bool ok, const char* what) {
  if (!ok) {
    std::fprintf(stderr, "ini_fuzz: %s\n", what);
    std::abort();
  }
}

int32_t LoadFrom(IniDocument& doc, const uint8_t* data, size_t size) {
  FILE* f = fmemopen(const_cast<uint8_t*>(data), size, "rb");
  Check(f != nullptr, "fmemopen");
  const int32_t r = doc.Load(f);
  std::fclose(f);
  return r;
}

const std::string& StorePath() {
  // Never destroyed: the exit handler that removes the file still reads it.
  static const std::string& path = *new std::string([] {
    std::string p = "/tmp/zyvisa-ini-fuzz-" + std::to_string(getpid()) + ".ini";
    std::atexit([] { std::remove(StorePath().c_str()); });
    return p;
  }());
  return path;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;  // fmemopen wants at least one byte
  for (const Settings& s : kSettings) {
    IniDocument doc(s.merge, s.case_sensitive, s.options);
    if (LoadFrom(doc, data, size) != 0) continue;
    for (const auto& section : doc.sections()) {
      Check(doc.FindSection(section.name) != nullptr, "section not found by its own name");
      for (const auto& key : section.keys) {
        Check(doc.FindKey(section, key.name) != nullptr, "key not found by its own name");
      }
    }
  }

  // The store reads the same bytes from a file rewritten in place each run:
  // its change detection must notice every new content.
  FILE* f = std::fopen(StorePath().c_str(), "wb");
  Check(f != nullptr, "temp file");
  Check(std::fwrite(data, 1, size, f) == size, "temp write");
  std::fclose(f);
  IniDocument doc(true, false, 0x6);
  const bool loaded = LoadFrom(doc, data, size) == 0;
  char buffer[64];
  if (!loaded) {
    visaGetIniStringIntoBuffer(StorePath().c_str(), "S", "k", "\x01", buffer, sizeof buffer);
    Check(std::strcmp(buffer, "\x01") == 0, "a refused file gave a value");
    return 0;
  }
  // The first lookup checks the file; the rest use the cached document, as a
  // caller reading many values does.
  visaGetIniStringIntoBuffer(StorePath().c_str(), "no such", "section", "\x01", buffer, sizeof buffer);
  Check(std::strcmp(buffer, "\x01") == 0 || doc.FindSection("no such") != nullptr,
        "default not delivered");
  zyvisaConfigFileCheckUpdates(0);
  for (const auto& section : doc.sections()) {
    const std::string section_name(section.name);
    for (const auto& key : section.keys) {
      const std::string key_name(key.name);
      visaGetIniStringIntoBuffer(StorePath().c_str(), section_name.c_str(), key_name.c_str(),
                                 "\x01", buffer, sizeof buffer);
      const auto* s = doc.FindSection(section_name);
      const auto* k = s == nullptr ? nullptr : doc.FindKey(*s, key_name);
      Check(k != nullptr, "parsed key lost");
      const std::string expected(k->value.substr(0, sizeof buffer - 1));
      Check(expected == buffer, "store disagrees with the parser");
    }
  }
  zyvisaConfigFileCheckUpdates(1);
  return 0;
}
