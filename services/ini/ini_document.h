// The configuration-file parser: one INI file read into sections of keys, with
// the lookups the configuration store and the POSIX registry make on it.
#pragma once

#include <cstdint>
#include <cstdio>
#include <memory>
#include <string_view>
#include <vector>

namespace zyvisa::ini {

// Load options (a bit set).
constexpr uint32_t kIniAcceptEmptyValues = 0x1;   // "key=" is a key with an empty value
constexpr uint32_t kIniStripDoubleQuotes = 0x2;   // one pair of outer "..." leaves a value
constexpr uint32_t kIniStripSingleQuotes = 0x4;   // one pair of outer '...' leaves a value
constexpr uint32_t kIniRelaxedSyntax = 0x8;       // ':' separates too; keys before any header
                                                  // go to a section named "(null)"

// Load results besides 0; a failing seek passes its own negative result.
constexpr int32_t kIniBadEncoding = -3;   // UTF-16 or UTF-32 byte-order mark
constexpr int32_t kIniOutOfMemory = -12;
constexpr int32_t kIniReadError = -5002;  // the stream reported an error

// Names and values point into the document's own storage and stay valid until
// the next Load or the document's end. `match` is a digest of the name as
// lookups compare it, so that a scan compares whole names only on a hit.
struct IniKey {
  std::string_view name;
  std::string_view value;
  uint32_t match = 0;
};

struct IniSection {
  std::string_view name;
  uint32_t match = 0;
  std::vector<IniKey> keys;  // file order; a replaced key keeps its first place
};

// Name comparison of case-insensitive documents: surrounding white space is
// ignored, ASCII letters compare without case, everything else byte for byte.
bool IniNamesEqual(std::string_view a, std::string_view b) noexcept;
// White space as names and values are trimmed of: space, \t, \n, \v, \f, \r.
// Bytes of 0x80 and above never are.
std::string_view IniTrim(std::string_view text) noexcept;

class IniDocument {
 public:
  IniDocument(bool merge_sections, bool case_sensitive, uint32_t options) noexcept;
  ~IniDocument();
  IniDocument(const IniDocument&) = delete;
  IniDocument& operator=(const IniDocument&) = delete;

  // Reads the whole file, which the caller opened with "rb" at its start and
  // keeps owning. Anything loaded before is discarded first. 0 on success;
  // on failure what was read so far stays, and the result is negative.
  int32_t Load(std::FILE* file) noexcept;

  // First section of that name, or null. Not const: it remembers the section
  // it found, so that reading several keys of one section scans once.
  const IniSection* FindSection(std::string_view name) noexcept;
  // First key of that name in the section, or null.
  const IniKey* FindKey(const IniSection& section, std::string_view name) const noexcept;

  const std::vector<IniSection>& sections() const noexcept { return sections_; }
  bool merge_sections() const noexcept { return merge_sections_; }
  bool case_sensitive() const noexcept { return case_sensitive_; }
  uint32_t options() const noexcept { return options_; }

 private:
  class Arena;
  class Builder;

  uint32_t MatchOf(std::string_view name) const noexcept;
  bool Matches(std::string_view stored, uint32_t stored_match, std::string_view query,
               uint32_t query_match) const noexcept;
  int32_t FindSectionIndex(std::string_view name, uint32_t match) const noexcept;
  void JoinContinuationKeys();
  void Clear() noexcept;

  const bool merge_sections_;
  const bool case_sensitive_;
  const uint32_t options_;
  std::vector<IniSection> sections_;
  std::unique_ptr<Arena> arena_;
  // Index of the section the last successful FindSection returned, or -1.
  int32_t last_found_ = -1;
};

}  // namespace zyvisa::ini
