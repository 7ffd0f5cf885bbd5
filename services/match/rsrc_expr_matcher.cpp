// Search of a compiled pattern against a name: a depth-first walk over the
// pairs (node, position), each pair explored at most once. Whether a pair can
// reach the end of the pattern at the end of the name depends on nothing else,
// so a pair seen once and left can never succeed later; the memo of seen pairs
// bounds the search by nodes x positions where plain backtracking on patterns
// like '(A|AA)*B' or '(?*)*X' grows exponentially with the name.
#include "match/rsrc_expr_matcher.h"

#include <cstdint>
#include <cstring>

#include "match/scratch_buffer.h"

namespace zyvisa::match::rsrc {
namespace {

// Pairs whose exploration is postponed: the other way out of a branch, or the
// ends a repetition of one character may have, the latest tried first.
struct Pending {
  const Node* node;
  size_t low;
  size_t high;
};

bool IsOneCharacter(const Node* node) {
  return node->type == NodeType::kLiteral || node->type == NodeType::kList ||
         node->type == NodeType::kAnyChar;
}

bool Accepts(const Node* node, unsigned char c) {
  if (node->type == NodeType::kLiteral) return c == node->upper || c == node->lower;
  if (node->type == NodeType::kList) return node->set->Has(c);
  return true;
}

class Search {
 public:
  Search(const Pattern& pattern, const unsigned char* text, size_t length)
      : text_(text), length_(length), columns_(length + 1), pattern_(pattern) {}

  int32_t Run();

 private:
  // Marks the pair seen; false if it was already.
  bool FirstVisit(const Node* node, size_t p) {
    const size_t pair = node->state * columns_ + p;
    uint64_t& word = seen_[pair >> 6];
    const uint64_t bit = uint64_t{1} << (pair & 63);
    if (word & bit) return false;
    word |= bit;
    return true;
  }
  bool Postpone(const Node* node, size_t low, size_t high) {
    if (count_ == pending_.capacity() && !pending_.Grow(pending_.capacity() * 2, count_)) {
      return false;
    }
    pending_[count_++] = Pending{node, low, high};
    return true;
  }
  bool RepeatOneCharacter(const Node* node, size_t p);

  const unsigned char* text_;
  size_t length_;
  size_t columns_;
  const Pattern& pattern_;
  ScratchBuffer<uint64_t, 64> seen_;
  ScratchBuffer<Pending, 32> pending_;
  size_t count_ = 0;
};

// A zero-or-more of one character ('?*', '[0-9]*') at p: every end from p to
// the last of the run of accepted characters leads to the follower, as far as
// what follows can still fit in the rest of the name. One range entry replaces
// a branch per character. The ends inside the run are marked seen, as from
// there the repetition reaches nothing new; and a scan that meets an end
// already seen stops, since the rest of the run was handed on then (or, had
// that visit been cut short by the first-character check, cannot match at
// all). So each position is scanned once per node, whatever the order.
bool Search::RepeatOneCharacter(const Node* node, size_t p) {
  const Node* element = node->first;
  const size_t last_end = length_ - static_cast<size_t>(node->after_min);
  size_t end = p;
  while (end < last_end && Accepts(element, text_[end]) && FirstVisit(node, end + 1)) ++end;
  size_t first_end = p;
  if (node->after_max != kUnbounded && p + static_cast<size_t>(node->after_max) < length_) {
    first_end = length_ - static_cast<size_t>(node->after_max);
  }
  return first_end > end || Postpone(node->follow, first_end, end);
}

int32_t Search::Run() {
  const Node* node = pattern_.first();
  if (pattern_.node_count() > SIZE_MAX / columns_) return kNoMemory;
  const size_t words = pattern_.node_count() * columns_ / 64 + 1;
  if (!seen_.Reserve(words)) return kNoMemory;
  std::memset(seen_.data(), 0, words * sizeof(uint64_t));
  size_t p = 0;
  for (;;) {
    // Follow one path, postponing the other ways out of every branch, until
    // it fails or reaches the end of the pattern.
    for (;;) {
      if (!node) {
        if (p == length_) return 1;
        break;
      }
      if (!FirstVisit(node, p)) break;
      // Too few or too many characters left for this node and all after it.
      // This also guarantees a character at p for the nodes that take one.
      if (p + static_cast<size_t>(node->need_min) > length_) break;
      if (node->need_max != kUnbounded && p + static_cast<size_t>(node->need_max) < length_) break;
      const NodeType type = node->type;
      if (IsOneCharacter(node)) {
        if (!Accepts(node, text_[p])) break;
        node = node->follow;
        ++p;
        continue;
      }
      // At the end of the name the lengths above have decided already.
      if (type != NodeType::kRepeatAgain && p < length_ && !node->set->Has(text_[p])) break;
      if (type == NodeType::kZeroOrMore && IsOneCharacter(node->first)) {
        if (!RepeatOneCharacter(node, p)) return kNoMemory;
        break;
      }
      // The second way out, if any: the right operand; no (further)
      // repetition, which may be the end of the pattern (null).
      if (type == NodeType::kAlternation) {
        if (!Postpone(node->second, p, p)) return kNoMemory;
      } else if (type == NodeType::kZeroOrMore || type == NodeType::kRepeatAgain) {
        if (!Postpone(node->follow, p, p)) return kNoMemory;
      }
      // Groups and one-or-more enter their contents; left operands and further
      // repetitions go first, as the longest repetition is usually the one a
      // resource name needs.
      node = node->first;
    }
    if (count_ == 0) return 0;
    Pending& next = pending_[count_ - 1];
    node = next.node;
    p = next.high;
    if (next.high == next.low) {
      --count_;
    } else {
      --next.high;
    }
  }
}

}  // namespace

int32_t MatchName(const Pattern& pattern, const char* name, size_t length) noexcept {
  const Node* first = pattern.first();
  if (!first || length == 0) return 0;
  const auto* text = reinterpret_cast<const unsigned char*>(name);
  // The cheapest rejections first: the name's length and first character.
  if (static_cast<size_t>(first->need_min) > length) return 0;
  if (first->need_max != kUnbounded && static_cast<size_t>(first->need_max) < length) return 0;
  if (!first->set->Has(text[0])) return 0;
  Search search(pattern, text, length);
  return search.Run();
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
  if (end == 0) return kBadExpression;
  for (size_t i = 0; i < end; ++i) {
    if (IsBlank(expression[i])) return kBadExpression;
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
  if (capacity == SIZE_MAX || !work.Reserve(capacity + 1)) return kBadExpression;
  size_t work_length = 0;
  if (RewriteGroups(expression + begin, length, work.data(), &work_length) < 0) {
    return kBadExpression;
  }
  work[work_length] = '\0';
  Pattern pattern;
  const int32_t status = Compile(work.data(), &pattern);
  if (status < 0) return status;
  return MatchName(pattern, name, name_length);
}

}  // namespace zyvisa::match::rsrc
