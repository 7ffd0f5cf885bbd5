// Compiled resource-name patterns ('?*INSTR', 'ASRL[0-9]*::?*INSTR'): the group
// rewrite, the compiler that turns a pattern into linked nodes, and release.
#pragma once

#include <cstddef>
#include <cstdint>

namespace zyvisa::match::rsrc {

// Compilation results. Callers of the exports see every one of them as
// VI_ERROR_INV_EXPR; they stay distinct here so each cause can be tested.
constexpr int32_t kUnbalanced = -7900;        // ')' or ']' unopened, '(' or '[' unclosed
constexpr int32_t kBadList = -7901;           // '[' in a list, misplaced '-', ']' after '-'
constexpr int32_t kTrailingEscape = -7902;    // '\' as the last character
constexpr int32_t kBadHexEscape = -7903;      // '\x' without two hexadecimal digits
constexpr int32_t kNothingToRepeat = -7904;   // '*' or '+' with nothing before it
constexpr int32_t kNothingBeforeBar = -7905;  // '|' with nothing before it
constexpr int32_t kNothingAfterBar = -7906;   // '|' with nothing after it
constexpr int32_t kEmptyGroup = -7907;        // '()'
constexpr int32_t kReversedRange = -7908;     // '[b-a]'
constexpr int32_t kEmptyList = -7909;         // '[]', '[^]'
constexpr int32_t kEmptyPattern = -7910;
constexpr int32_t kNoPattern = -7911;
constexpr int32_t kNoMemory = -12;
constexpr int32_t kNestedTooDeep = -1;  // group rewrite: ten '(' open at once

// A set of byte values, one bit each.
struct CharSet {
  uint64_t bits[4];

  bool Has(unsigned char c) const noexcept { return (bits[c >> 6] >> (c & 63)) & 1u; }
  void Clear() noexcept { bits[0] = bits[1] = bits[2] = bits[3] = 0; }
  void Fill() noexcept { bits[0] = bits[1] = bits[2] = bits[3] = ~uint64_t{0}; }
  void Add(unsigned char c) noexcept { bits[c >> 6] |= uint64_t{1} << (c & 63); }
  // Adds low to high, both included (low <= high).
  void AddRange(unsigned char low, unsigned char high) noexcept {
    for (unsigned w = low >> 6; w <= (high >> 6u); ++w) {
      const unsigned from = w == (low >> 6u) ? (low & 63u) : 0;
      const unsigned to = w == (high >> 6u) ? (high & 63u) : 63;
      bits[w] |= (~uint64_t{0} >> (63 - to)) & (~uint64_t{0} << from);
    }
  }
  void Merge(const CharSet& other) noexcept {
    for (int i = 0; i < 4; ++i) bits[i] |= other.bits[i];
  }
  void Invert() noexcept {
    for (int i = 0; i < 4; ++i) bits[i] = ~bits[i];
  }
  bool IsFull() const noexcept { return (bits[0] & bits[1] & bits[2] & bits[3]) == ~uint64_t{0}; }
};

enum class NodeType : int32_t {
  kLiteral = 0,
  kAlternation = 1,
  kZeroOrMore = 2,
  kOneOrMore = 3,
  kGroup = 4,
  kList = 5,
  kAnyChar = 6,
  // Not part of the pattern's structure: the point a one-or-more returns to
  // after each repetition, where it may repeat again or leave. Reached only
  // through follow.
  kRepeatAgain = 7,
};

// Unbounded maximal length.
constexpr int32_t kUnbounded = -1;

struct Node {
  // Structure: the next element of the same sequence; the left operand of an
  // alternation, the repeated element, or a group's first contained element;
  // the right operand of an alternation.
  Node* next;
  Node* first;
  Node* second;
  NodeType type;
  // A literal's two case forms (equal for anything but the letters A-Z, a-z).
  uint32_t upper;
  uint32_t lower;
  // A list's members; for alternation, repetition and group nodes and for the
  // pattern's first node, every byte that can begin a match from this node to
  // the end of its sequence (every byte when that stretch can match nothing,
  // since whatever follows the sequence may then begin). Null otherwise.
  CharSet* set;
  int32_t max_length;  // kUnbounded or the most characters the node can match
  int32_t min_length;

  // Search data: where matching continues once this node has matched (null:
  // the end of the pattern), and the fewest and most characters (kUnbounded)
  // that this node and everything after it can take. A node entered at
  // position p can only lead to a match of an n-character name if
  // p + need_min <= n <= p + need_max.
  Node* follow;
  int32_t need_min;
  int32_t need_max;
  // Index of the node in its pattern, the row of the matcher's memo.
  uint32_t state;

  // Compile-time links: the previous element of the sequence; a group's last
  // contained element; a one-or-more's kRepeatAgain node.
  Node* prev;
  Node* aux;
  int32_t after_min;  // fewest and most characters after this node matched
  int32_t after_max;
};

// A compiled pattern. Nodes and sets live in one block: on the object itself
// for the patterns resource searches use, on the heap for larger ones. The
// object owns them; Release (or the destructor) frees them all at once.
class Pattern {
 public:
  Pattern() noexcept = default;
  ~Pattern() { Release(); }
  Pattern(const Pattern&) = delete;
  Pattern& operator=(const Pattern&) = delete;

  // The first node of the top-level sequence; null when nothing is compiled.
  const Node* first() const noexcept { return first_; }
  // Number of nodes, each with a distinct state below it.
  uint32_t node_count() const noexcept { return node_count_; }
  void Release() noexcept;

 private:
  friend class Builder;
  static constexpr size_t kInlineBytes = 4096;

  Node* first_ = nullptr;
  Node* nodes_ = nullptr;
  CharSet* sets_ = nullptr;
  uint32_t node_count_ = 0;
  uint32_t set_count_ = 0;
  void* heap_ = nullptr;
  alignas(Node) unsigned char inline_[kInlineBytes];
};

// Group rewrite: gives '|' inside parentheses the scope of whole alternatives
// by wrapping each in its own group ('(A|B)' becomes '((A)|(B))'). Reads
// length characters of src, writes the result to dst, which must have room for
// RewriteCapacity(length) characters, and its length to *dst_length. Returns 0
// or kNestedTooDeep.
size_t RewriteCapacity(size_t length) noexcept;
int32_t RewriteGroups(const char* src, size_t length, char* dst, size_t* dst_length) noexcept;

// Compiles a zero-terminated (rewritten) pattern into *out, releasing what it
// held. Returns 0 or one of the negative codes above; on failure *out is left
// empty, with everything built so far freed. Every compilation folds case.
// All working state is local to the call, so threads may compile at once.
int32_t Compile(const char* pattern, Pattern* out) noexcept;

// Frees every node and set of the pattern and leaves it empty.
inline void Release(Pattern* pattern) noexcept { pattern->Release(); }

}  // namespace zyvisa::match::rsrc
