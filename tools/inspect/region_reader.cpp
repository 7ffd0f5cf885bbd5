// Maps a region read-only and turns its chain into a list of blocks.
#include "inspect/region_reader.h"

#include <cstdio>
#include <cstring>

#include "config/config_paths.h"
#include "runtime/shared_region.h"
#include "platform/platform.h"

namespace zyvisa::inspect {

using runtime::BlockHeader;

std::string FieldText(const char* field, size_t size) {
  const void* end = std::memchr(field, '\0', size);
  return std::string(field, end != nullptr ? static_cast<const char*>(end) - field : size);
}

OpenResult OpenRegion(const std::string& path, Region* region, std::string* why) {
  region->path = path;
  region->data = static_cast<const uint8_t*>(platform::MapFileReadOnly(path.c_str(), &region->size));
  if (region->data == nullptr) return OpenResult::kMissing;
  if (region->size < sizeof(BlockHeader) || region->size > UINT32_MAX) {
    *why = "its size (" + std::to_string(region->size) + " bytes) cannot hold a region";
    return OpenResult::kNotARegion;
  }
  const auto size = static_cast<uint32_t>(region->size);
  bool tail_fits = true;
  const bool walked = runtime::WalkBlocks(region->data, size, [&](uint32_t offset,
                                                                   const BlockHeader& h) {
    Block b;
    b.name = FieldText(h.name, sizeof h.name);
    b.header_offset = offset;
    b.payload_offset = offset + static_cast<uint32_t>(sizeof(BlockHeader));
    b.free_tail = h.size >= 0;
    b.size = b.free_tail ? static_cast<uint32_t>(h.size) : static_cast<uint32_t>(-int64_t{h.size});
    if (b.free_tail && uint64_t{b.payload_offset} + b.size > size) tail_fits = false;
    region->blocks.push_back(b);
  });
  if (!walked) {
    *why = "its chain of blocks runs past the end of the file";
    return OpenResult::kNotARegion;
  }
  if (!tail_fits) {
    *why = "its free tail claims more bytes than the file has";
    return OpenResult::kNotARegion;
  }
  region->holders_known = platform::SharedFileHolders(path.c_str(), &region->holders);
  const Block& first = region->blocks.front();
  if (!first.free_tail && first.name == runtime::kServicesDataName &&
      first.size >= sizeof(runtime::ServicesSharedHead)) {
    runtime::ServicesSharedHead head;
    std::memcpy(&head, region->data + first.payload_offset, sizeof head);
    region->has_services = true;
    region->services.use_count = head.use_count;
    region->services.min_async_count = head.min_async_count;
  }
  return OpenResult::kOk;
}

void CloseRegion(Region* region) {
  if (region->data != nullptr) platform::UnmapFileReadOnly(region->data, region->size);
  region->data = nullptr;
}

std::string DefaultRegionPath() {
  char folder[260] = {};
  if (platform::RegistryReadString(config::kInstallerKey, "ZYSHAREDMEMORYDIR", folder,
                                   sizeof folder, platform::RegView::k32Bit) !=
      platform::RegRead::kOk) {
    return {};
  }
  std::string path = folder;
  if (path.empty() || path.back() != platform::kPathSeparator) path += platform::kPathSeparator;
  return path + runtime::kBackingFileName;
}

std::string JsonString(const std::string& text) {
  std::string out = "\"";
  for (unsigned char c : text) {
    if (c == '"' || c == '\\') {
      out += '\\';
      out += static_cast<char>(c);
    } else if (c < 0x20 || c >= 0x7F) {
      char esc[8];
      std::snprintf(esc, sizeof esc, "\\u%04x", c);
      out += esc;
    } else {
      out += static_cast<char>(c);
    }
  }
  return out + "\"";
}

}  // namespace zyvisa::inspect
