// Search of a compiled pattern against a name: a depth-first walk over the
// pairs (node, position), each pair explored at most once. Whether a pair can
// reach the end of the pattern at the end of the name depends on nothing else,
// so a pair seen once and left can never succeed later; the memo of seen pairs
// bounds the search by nodes x positions where plain backtracking on patterns
// like '(A|AA)*B' or '(?*)*X' grows exponentially with the name.
#include "match/rsrc_expr_matcher.h"

#include <cstring>

#include "match/scratch_buffer.h"

namespace zyvisa::match::rsrc {
namespace {

// A pair whose exploration is postponed: the other way out of a branch.
struct Pending {
  const Node* node;
  size_t position;
};

}  // namespace

int32_t MatchName(const Pattern& pattern, const char* name, size_t length) noexcept {
  const Node* node = pattern.first();
  if (!node || length == 0) return 0;
  const auto* text = reinterpret_cast<const unsigned char*>(name);
  // The cheapest rejections first: the name's length and first character.
  if (static_cast<size_t>(node->need_min) > length) return 0;
  if (node->need_max != kUnbounded && static_cast<size_t>(node->need_max) < length) return 0;
  if (!node->set->Has(text[0])) return 0;

  const size_t columns = length + 1;
  if (pattern.node_count() > SIZE_MAX / columns) return kNoMemory;
  const size_t pairs = pattern.node_count() * columns;
  ScratchBuffer<uint64_t, 64> seen;
  if (!seen.Reserve(pairs / 64 + 1)) return kNoMemory;
  std::memset(seen.data(), 0, (pairs / 64 + 1) * sizeof(uint64_t));
  ScratchBuffer<Pending, 64> pending;
  size_t pending_count = 0;

  size_t p = 0;
  for (;;) {
    // Follow one path, postponing the second way out of every branch, until
    // it fails or reaches the end of the pattern.
    for (;;) {
      if (!node) {
        if (p == length) return 1;
        break;
      }
      const size_t pair = node->state * columns + p;
      uint64_t& word = seen[pair >> 6];
      const uint64_t bit = uint64_t{1} << (pair & 63);
      if (word & bit) break;
      word |= bit;
      // Too few or too many characters left for this node and all after it.
      // This also guarantees a character at p for the nodes that take one.
      if (p + static_cast<size_t>(node->need_min) > length) break;
      if (node->need_max != kUnbounded && p + static_cast<size_t>(node->need_max) < length) break;
      const NodeType type = node->type;
      if (type == NodeType::kLiteral) {
        if (text[p] != node->upper && text[p] != node->lower) break;
        node = node->follow;
        ++p;
        continue;
      }
      if (type == NodeType::kList) {
        if (!node->set->Has(text[p])) break;
        node = node->follow;
        ++p;
        continue;
      }
      if (type == NodeType::kAnyChar) {
        node = node->follow;
        ++p;
        continue;
      }
      // At the end of the name the lengths above have decided already.
      if (type != NodeType::kRepeatAgain && p < length && !node->set->Has(text[p])) break;
      // The second way out, if any: the right operand; no (further)
      // repetition, which may be the end of the pattern (null).
      const bool branches = type == NodeType::kAlternation || type == NodeType::kZeroOrMore ||
                            type == NodeType::kRepeatAgain;
      if (branches) {
        const Node* other = type == NodeType::kAlternation ? node->second : node->follow;
        if (pending_count == pending.capacity() &&
            !pending.Grow(pending.capacity() * 2, pending_count)) {
          return kNoMemory;
        }
        pending[pending_count++] = Pending{other, p};
      }
      // Groups and one-or-more enter their contents; left operands and further
      // repetitions go first, as the longest repetition is usually the one a
      // resource name needs.
      node = node->first;
    }
    if (pending_count == 0) return 0;
    --pending_count;
    node = pending[pending_count].node;
    p = pending[pending_count].position;
  }
}

namespace {

// White space as the C library's isspace sees it in every locale's ASCII part.
bool IsBlank(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

}  // namespace

bool HasPrefixNoCase(const char* text, size_t length, const char* lower_prefix) noexcept {
  for (size_t i = 0; lower_prefix[i]; ++i) {
    if (i == length) return false;
    char c = text[i];
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c + 32);
    if (c != lower_prefix[i]) return false;
  }
  return true;
}

int32_t MatchExpression(const char* expression, const char* name, size_t name_length,
                        bool* has_attribute_part) noexcept {
  // The pattern part ends at the first '{'; the attribute part after it is
  // evaluated elsewhere.
  size_t end = 0;
  while (expression[end] && expression[end] != '{') ++end;
  *has_attribute_part = expression[end] == '{';
  while (end > 0 && IsBlank(expression[end - 1])) --end;
  if (end == 0) return -1;
  for (size_t i = 0; i < end; ++i) {
    if (IsBlank(expression[i])) return -1;
  }
  // A remote prefix does not take part in the match, in either spelling.
  size_t begin = 0;
  if (HasPrefixNoCase(expression, end, "visa://")) {
    begin = 7;
  } else if (HasPrefixNoCase(expression, end, "visa:/")) {
    begin = 6;
  } else if (expression[0] == '/') {
    begin = end > 1 && expression[1] == '/' ? 2 : 1;
  }
  // The work copy: the rewritten pattern part, zero-terminated. Resource
  // expressions are short, so it rarely leaves the stack.
  const size_t length = end - begin;
  const size_t capacity = RewriteCapacity(length);
  ScratchBuffer<char, 512> work;
  if (capacity == SIZE_MAX || !work.Reserve(capacity + 1)) return -1;
  size_t work_length = 0;
  if (RewriteGroups(expression + begin, length, work.data(), &work_length) < 0) return -1;
  work[work_length] = '\0';
  Pattern pattern;
  const int32_t status = Compile(work.data(), &pattern);
  if (status < 0) return status;
  return MatchName(pattern, name, name_length);
}

}  // namespace zyvisa::match::rsrc
