// The configuration-file parser. Files are scanned a chunk at a time for line
// ends, whole lines are classified in place, and names and values are copied
// once into block storage owned by the document.
#include "ini/ini_document.h"

#include <cstring>
#include <new>
#include <stdexcept>
#include <string>

namespace zyvisa::ini {

namespace {

// Files are read through a buffer of this size; only the speed depends on it.
constexpr size_t kChunkSize = 2084;
// The line reader's first capacity (characters plus terminator). A line that
// reaches capacity - 1 characters doubles it; see Builder::Feed for the one
// place where this is visible in what a file means.
constexpr size_t kFirstLineCapacity = 256;
// A joined continuation key takes the name before " Line"; such a stem is
// limited to this many characters (see JoinContinuationKeys).
constexpr size_t kMaxJoinedNameLength = 255;
// Continuation numbers are read as 32-bit values wherever the file is read,
// so that one file means the same on every platform.
constexpr long kMaxContinuationNumber = 2147483647L;

constexpr bool IsSpace(unsigned char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}
constexpr bool IsTerminator(char c) { return c == '\n' || c == '\r' || c == '\0'; }
// Upper-casing for name comparison touches a-z only, whatever the locale.
constexpr unsigned char Fold(unsigned char c) {
  return (c >= 'a' && c <= 'z') ? static_cast<unsigned char>(c - ('a' - 'A')) : c;
}

// First line end (LF, CR or NUL) in [p, end), or end. Eight bytes at a time:
// a word holds a terminator when one of its bytes XORed with it is zero.
const char* FindTerminator(const char* p, const char* end) noexcept {
  constexpr uint64_t kOnes = 0x0101010101010101ull;
  constexpr uint64_t kHighs = 0x8080808080808080ull;
  while (end - p >= 8) {
    uint64_t w;
    std::memcpy(&w, p, 8);
    const uint64_t lf = w ^ (kOnes * '\n');
    const uint64_t cr = w ^ (kOnes * '\r');
    const uint64_t hit = ((w - kOnes) & ~w) | ((lf - kOnes) & ~lf) | ((cr - kOnes) & ~cr);
    if ((hit & kHighs) != 0) break;  // the byte loop below finds which one
    p += 8;
  }
  while (p < end && !IsTerminator(*p)) ++p;
  return p;
}

const char* SkipSpace(const char* p, const char* end) {
  while (p < end && IsSpace(static_cast<unsigned char>(*p))) ++p;
  return p;
}
const char* TrimEnd(const char* begin, const char* end) {
  while (end > begin && IsSpace(static_cast<unsigned char>(end[-1]))) --end;
  return end;
}

uint32_t HashStart() { return 2166136261u; }
uint32_t HashStep(uint32_t h, unsigned char c) { return (h ^ c) * 16777619u; }

// Number of a continuation key ("<stem> Line<digits>", the first " Line" in
// the name, digits to the end), or -1 when the name is not one. *stem
// receives the length of the part before " Line".
long ContinuationNumber(std::string_view name, size_t* stem) {
  constexpr std::string_view kMark = " Line";
  // Most names are rejected by their ending alone: digits after " Line".
  size_t digits_at = name.size();
  while (digits_at > 0 && name[digits_at - 1] >= '0' && name[digits_at - 1] <= '9') --digits_at;
  if (digits_at == name.size() || digits_at < kMark.size() ||
      name.substr(digits_at - kMark.size(), kMark.size()) != kMark) {
    return -1;
  }
  const size_t at = name.find(kMark);  // the first " Line" decides
  const std::string_view digits = name.substr(at + kMark.size());
  long number = 0;
  for (char c : digits) {
    if (c < '0' || c > '9') return -1;
    number = number * 10 + (c - '0');
    if (number > kMaxContinuationNumber) return -1;  // overflow: not a number
  }
  *stem = at;
  return number;
}

}  // namespace

std::string_view IniTrim(std::string_view text) noexcept {
  const char* b = SkipSpace(text.data(), text.data() + text.size());
  const char* e = TrimEnd(b, text.data() + text.size());
  return {b, static_cast<size_t>(e - b)};
}

bool IniNamesEqual(std::string_view a, std::string_view b) noexcept {
  a = IniTrim(a);
  b = IniTrim(b);
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    if (Fold(static_cast<unsigned char>(a[i])) != Fold(static_cast<unsigned char>(b[i]))) {
      return false;
    }
  }
  return true;
}

// Block storage for every name and value of a document: one allocation per
// 64 KiB instead of two per key. Text stays where it was put until Clear, so
// a replaced value simply leaves its old text unused.
class IniDocument::Arena {
 public:
  // Copies text (plus a terminator, for readers that like C strings).
  std::string_view Store(std::string_view text) {
    char* dst = Reserve(text.size() + 1);
    if (!text.empty()) std::memcpy(dst, text.data(), text.size());
    dst[text.size()] = '\0';
    return {dst, text.size()};
  }
  char* Reserve(size_t n) {
    constexpr size_t kBlock = 64 * 1024;
    if (n > left_) {
      if (n > kBlock / 4) return NewBlock(n);  // a long text gets a block of its own
      next_ = NewBlock(kBlock);
      left_ = kBlock;
    }
    char* p = next_;
    next_ += n;
    left_ -= n;
    return p;
  }

 private:
  char* NewBlock(size_t n) {
    std::unique_ptr<char[]> block(new char[n]);
    blocks_.push_back(std::move(block));
    return blocks_.back().get();
  }

  std::vector<std::unique_ptr<char[]>> blocks_;
  char* next_ = nullptr;
  size_t left_ = 0;
};

// The state of one Load: the line reader and the document under
// construction. With merging on it indexes sections and keys by name so that
// a file of many sections or keys loads in linear time.
class IniDocument::Builder {
 public:
  explicit Builder(IniDocument& doc) : doc_(doc) {
    if (doc_.merge_sections_) slots_.resize(1024);
  }

  // Splits a chunk into lines. Carries an unfinished line to the next chunk.
  void Feed(const char* p, size_t n) {
    const char* const end = p + n;
    const char* seg = p;  // unsaved part of the current line in this chunk
    while (p < end) {
      if (pending_check_) {
        // The first character of a new line (or of the continuation of a
        // long one) that is a line end other than the one that ended the
        // previous line is the second half of a pair (CR LF, LF CR) and is
        // dropped. Because long lines are read in capacity steps, a line of
        // exactly 255 (511, 1023, ...) characters can lose its line end this
        // way and run on into the next line; files written for this format
        // rely on being read exactly so.
        pending_check_ = false;
        if (IsTerminator(*p) && *p != remembered_) {
          carry_.append(seg, p);
          seg = ++p;
          continue;
        }
      }
      const size_t length = carry_.size() + static_cast<size_t>(p - seg);
      const size_t room = capacity_ - 1 - length;
      const char* limit = static_cast<size_t>(end - p) > room ? p + room : end;
      const char* t = FindTerminator(p, limit);
      if (t < limit) {
        remembered_ = *t;
        if (carry_.empty()) {
          Line(seg, t);
        } else {
          carry_.append(seg, t);
          Line(carry_.data(), carry_.data() + carry_.size());
          carry_.clear();
        }
        seg = p = t + 1;
        pending_check_ = true;
        continue;
      }
      p = limit;
      if (carry_.size() + static_cast<size_t>(p - seg) == capacity_ - 1) {
        capacity_ *= 2;
        pending_check_ = true;
      }
    }
    carry_.append(seg, end);
  }

  // End of file: a last line without a line end still counts.
  void Finish() {
    if (!carry_.empty()) Line(carry_.data(), carry_.data() + carry_.size());
    carry_.clear();
  }

 private:
  // Sections up to this many keys are scanned when a key repeats: their keys
  // sit together in memory, where a hash probe would miss the cache.
  static constexpr size_t kScannedKeys = 48;

  struct Slot {
    uint32_t owner = 0;  // 0 empty, 1 a section, s + 2 a key of section s
    uint32_t match = 0;
    uint32_t index = 0;
  };

  void Line(const char* b, const char* e) {
    b = SkipSpace(b, e);
    if (b == e || *b == ';') return;  // blank line or comment
    if (*b == '[') {
      const char* name = SkipSpace(b + 1, e);
      const void* close = std::memchr(name, ']', static_cast<size_t>(e - name));
      if (close == nullptr) return;
      const char* name_end = TrimEnd(name, static_cast<const char*>(close));
      if (name_end == name) return;
      OnSection({name, static_cast<size_t>(name_end - name)});
      return;
    }
    const bool relaxed = (doc_.options_ & kIniRelaxedSyntax) != 0;
    const char* sep = nullptr;
    if (relaxed) {
      for (const char* q = b; q < e; ++q) {
        if (*q == '=' || *q == ':') {
          sep = q;
          break;
        }
      }
    } else {
      sep = static_cast<const char*>(std::memchr(b, '=', static_cast<size_t>(e - b)));
    }
    if (sep == nullptr) return;
    const char* name_end = TrimEnd(b, sep);
    if (name_end == b) return;
    const char* v = sep + 1;
    if (relaxed && *sep == ':' && v < e && *v == '=') ++v;  // ":=" is one separator
    v = SkipSpace(v, e);
    const char* v_end = TrimEnd(v, e);
    if (v == v_end && (doc_.options_ & kIniAcceptEmptyValues) == 0) return;
    OnKey({b, static_cast<size_t>(name_end - b)}, PrepareValue(v, v_end));
  }

  std::string_view PrepareValue(const char* v, const char* e) const {
    const size_t n = static_cast<size_t>(e - v);
    if (n >= 2) {
      const bool dq = (doc_.options_ & kIniStripDoubleQuotes) != 0 && v[0] == '"' && e[-1] == '"';
      const bool sq = (doc_.options_ & kIniStripSingleQuotes) != 0 && v[0] == '\'' && e[-1] == '\'';
      if (dq || sq) return {v + 1, n - 2};
    }
    return {v, n};
  }

  void OnSection(std::string_view name) {
    const uint32_t match = doc_.MatchOf(name);
    if (doc_.merge_sections_) {
      const int32_t found = Find(1, match, name);
      if (found >= 0) {
        current_ = found;
        return;
      }
    }
    AddSection(name, match);
  }

  void AddSection(std::string_view name, uint32_t match) {
    IniSection section;
    section.name = doc_.arena_->Store(name);
    section.match = match;
    doc_.sections_.push_back(std::move(section));
    current_ = static_cast<int32_t>(doc_.sections_.size() - 1);
    if (doc_.merge_sections_) Insert(1, match, static_cast<uint32_t>(current_));
  }

  void OnKey(std::string_view name, std::string_view value) {
    if (current_ < 0) {
      if ((doc_.options_ & kIniRelaxedSyntax) == 0) return;  // no section: dropped
      AddSection("(null)", doc_.MatchOf("(null)"));
    }
    IniSection& section = doc_.sections_[static_cast<size_t>(current_)];
    const uint32_t match = doc_.MatchOf(name);
    const uint32_t owner = static_cast<uint32_t>(current_) + 2;
    const bool indexed = doc_.merge_sections_ && section.keys.size() > kScannedKeys;
    if (doc_.merge_sections_) {
      IniKey* found = nullptr;
      if (indexed) {
        const int32_t i = Find(owner, match, name);
        if (i >= 0) found = &section.keys[static_cast<size_t>(i)];
      } else {
        for (IniKey& key : section.keys) {
          if (key.match == match && doc_.Matches(key.name, key.match, name, match)) {
            found = &key;
            break;
          }
        }
      }
      if (found != nullptr) {
        found->value = doc_.arena_->Store(value);
        return;
      }
    }
    IniKey key;
    key.name = doc_.arena_->Store(name);
    key.value = doc_.arena_->Store(value);
    key.match = match;
    section.keys.push_back(key);
    const uint32_t count = static_cast<uint32_t>(section.keys.size());
    if (indexed) {
      Insert(owner, match, count - 1);
    } else if (doc_.merge_sections_ && count == kScannedKeys + 1) {
      // The section outgrew scanning: index all of its keys from now on.
      for (uint32_t i = 0; i < count; ++i) Insert(owner, section.keys[i].match, i);
    }
  }

  // Open addressing over (owner, match); a hit is confirmed by the name.
  size_t SlotOf(uint32_t owner, uint32_t match) const {
    uint64_t h = (static_cast<uint64_t>(owner) << 32 | match) * 0x9E3779B97F4A7C15ull;
    return static_cast<size_t>(h >> 32) & (slots_.size() - 1);
  }
  int32_t Find(uint32_t owner, uint32_t match, std::string_view name) const {
    for (size_t i = SlotOf(owner, match);; i = (i + 1) & (slots_.size() - 1)) {
      const Slot& s = slots_[i];
      if (s.owner == 0) return -1;
      if (s.owner != owner || s.match != match) continue;
      const std::string_view stored =
          owner == 1 ? doc_.sections_[s.index].name : doc_.sections_[owner - 2].keys[s.index].name;
      if (doc_.Matches(stored, s.match, name, match)) return static_cast<int32_t>(s.index);
    }
  }
  void Insert(uint32_t owner, uint32_t match, uint32_t index) {
    if (++used_ * 2 > slots_.size()) {
      std::vector<Slot> old(slots_.size() * 2);
      old.swap(slots_);
      for (const Slot& s : old) {
        if (s.owner != 0) Place(s);
      }
    }
    Place({owner, match, index});
  }
  void Place(const Slot& slot) {
    size_t i = SlotOf(slot.owner, slot.match);
    while (slots_[i].owner != 0) i = (i + 1) & (slots_.size() - 1);
    slots_[i] = slot;
  }

  IniDocument& doc_;
  int32_t current_ = -1;
  char remembered_ = '\0';
  bool pending_check_ = true;
  size_t capacity_ = kFirstLineCapacity;
  std::string carry_;
  std::vector<Slot> slots_;
  size_t used_ = 0;
};

IniDocument::IniDocument(bool merge_sections, bool case_sensitive, uint32_t options) noexcept
    : merge_sections_(merge_sections), case_sensitive_(case_sensitive), options_(options) {}

IniDocument::~IniDocument() = default;

void IniDocument::Clear() noexcept {
  std::vector<IniSection>().swap(sections_);
  arena_.reset();
  last_found_ = -1;
}

int32_t IniDocument::Load(std::FILE* file) noexcept {
  Clear();
  if (file == nullptr) return kIniReadError;
  try {
    arena_ = std::make_unique<Arena>();
    unsigned char head[4];
    const size_t n = std::fread(head, 1, sizeof head, file);
    if (n < sizeof head && std::ferror(file)) return kIniReadError;
    if (n == 4 && (std::memcmp(head, "\xFF\xFE\0\0", 4) == 0 ||
                   std::memcmp(head, "\0\0\xFE\xFF", 4) == 0)) {
      return kIniBadEncoding;
    }
    long start = 0;
    if (n >= 3 && head[0] == 0xEF && head[1] == 0xBB && head[2] == 0xBF) start = 3;
    if (n >= 2 && ((head[0] == 0xFF && head[1] == 0xFE) || (head[0] == 0xFE && head[1] == 0xFF))) {
      return kIniBadEncoding;
    }
    const int seek = std::fseek(file, start, SEEK_SET);
    if (seek < 0) return seek;

    Builder builder(*this);
    std::unique_ptr<char[]> chunk(new char[kChunkSize]);
    for (;;) {
      const size_t got = std::fread(chunk.get(), 1, kChunkSize, file);
      builder.Feed(chunk.get(), got);
      if (got < kChunkSize) {
        if (std::ferror(file)) return kIniReadError;
        break;
      }
    }
    builder.Finish();
    JoinContinuationKeys();
    return 0;
  } catch (const std::bad_alloc&) {
    return kIniOutOfMemory;
  } catch (const std::length_error&) {  // a line longer than a string can hold
    return kIniOutOfMemory;
  }
}

// A value can be spread over keys "<stem> Line1", "<stem> Line2", ...: each
// group that starts at a key numbered 1 and runs over the directly following
// continuation keys numbered otherwise becomes one key, named by the first
// key's stem, valued by all values in order. Stems and numbers of the later
// keys are not checked: the format joins what follows a Line1 as it stands.
void IniDocument::JoinContinuationKeys() {
  for (IniSection& section : sections_) {
    std::vector<IniKey>& keys = section.keys;
    size_t write = 0;
    for (size_t read = 0; read < keys.size();) {
      size_t stem = 0;
      if (ContinuationNumber(keys[read].name, &stem) != 1) {
        keys[write++] = keys[read++];
        continue;
      }
      size_t group_end = read + 1;
      size_t total = keys[read].value.size();
      for (size_t unused = 0; group_end < keys.size(); ++group_end) {
        const long number = ContinuationNumber(keys[group_end].name, &unused);
        if (number < 0 || number == 1) break;
        total += keys[group_end].value.size();
      }
      // Choice: a stem longer than 255 characters leaves the group unjoined,
      // so that no value is ever found under a cut name; every part stays
      // readable under its own full name.
      if (stem > kMaxJoinedNameLength) {
        while (read < group_end) keys[write++] = keys[read++];
        continue;
      }
      char* joined = arena_->Reserve(total + 1);
      size_t at = 0;
      for (size_t i = read; i < group_end; ++i) {
        std::memcpy(joined + at, keys[i].value.data(), keys[i].value.size());
        at += keys[i].value.size();
      }
      joined[at] = '\0';
      IniKey key = keys[read];
      key.name = key.name.substr(0, stem);
      key.value = {joined, total};
      key.match = MatchOf(key.name);
      keys[write++] = key;
      read = group_end;
    }
    keys.resize(write);
  }
}

uint32_t IniDocument::MatchOf(std::string_view name) const noexcept {
  uint32_t h = HashStart();
  if (case_sensitive_) {
    for (char c : name) h = HashStep(h, static_cast<unsigned char>(c));
  } else {
    for (char c : IniTrim(name)) h = HashStep(h, Fold(static_cast<unsigned char>(c)));
  }
  return h;
}

bool IniDocument::Matches(std::string_view stored, uint32_t stored_match, std::string_view query,
                          uint32_t query_match) const noexcept {
  if (stored_match != query_match) return false;
  return case_sensitive_ ? stored == query : IniNamesEqual(stored, query);
}

int32_t IniDocument::FindSectionIndex(std::string_view name, uint32_t match) const noexcept {
  for (size_t i = 0; i < sections_.size(); ++i) {
    if (Matches(sections_[i].name, sections_[i].match, name, match)) return static_cast<int32_t>(i);
  }
  return -1;
}

const IniSection* IniDocument::FindSection(std::string_view name) noexcept {
  const uint32_t match = MatchOf(name);
  if (last_found_ >= 0) {
    const IniSection& last = sections_[static_cast<size_t>(last_found_)];
    if (Matches(last.name, last.match, name, match)) return &last;
  }
  const int32_t i = FindSectionIndex(name, match);
  if (i < 0) return nullptr;
  last_found_ = i;
  return &sections_[static_cast<size_t>(i)];
}

const IniKey* IniDocument::FindKey(const IniSection& section, std::string_view name) const noexcept {
  const uint32_t match = MatchOf(name);
  for (const IniKey& key : section.keys) {
    if (Matches(key.name, key.match, name, match)) return &key;
  }
  return nullptr;
}

}  // namespace zyvisa::ini
