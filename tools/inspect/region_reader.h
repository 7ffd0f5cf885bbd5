// Reading one machine's shared region from outside, without joining it: the
// file is mapped read-only and nothing in it is locked or changed.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace zyvisa::inspect {

struct Block {
  std::string name;
  uint32_t header_offset = 0;
  uint32_t payload_offset = 0;
  uint32_t size = 0;  // payload bytes, or free bytes for the tail
  bool free_tail = false;
};

struct ServicesHead {
  uint16_t use_count = 0;
  uint32_t min_async_count = 0;
};

struct Region {
  std::string path;
  // The processes that hold the region open, as the system tells; the use
  // count also counts processes that were killed. holders_known is false
  // when the system does not say.
  bool holders_known = false;
  std::vector<uint32_t> holders;
  const uint8_t* data = nullptr;
  size_t size = 0;
  std::vector<Block> blocks;
  bool has_services = false;
  ServicesHead services;
};

enum class OpenResult { kOk, kMissing, kNotARegion };

// Maps path and walks its chain. On kNotARegion, *why says what is wrong.
OpenResult OpenRegion(const std::string& path, Region* region, std::string* why);
void CloseRegion(Region* region);

// The backing file the library would use, from the registry; empty if the
// registry does not name a shared-memory folder.
std::string DefaultRegionPath();

// Text helpers shared by the sections of the report.
std::string JsonString(const std::string& text);
// A name field of fixed size, cut at its terminator or its end.
std::string FieldText(const char* field, size_t size);

}  // namespace zyvisa::inspect
