// Group rewrite, tokenizer and parser of resource-name patterns. Every pass is
// a loop over arrays: nesting depth costs no machine stack, so no pattern,
// however deep, can overflow it.
#include "match/rsrc_expr_compiler.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "match/scratch_buffer.h"

namespace zyvisa::match::rsrc {
namespace {

[[noreturn]] void Fatal(const char* what) noexcept {
  std::fprintf(stderr, "zyvisa: resource pattern compiler: %s\n", what);
  std::abort();
}

enum class Tok : int32_t {
  kBar = 0,
  kStar = 1,
  kPlus = 2,
  kAny = 3,
  kGroupOpen = 4,
  kGroupClose = 5,
  kListOpen = 6,
  kListClose = 7,
  kListNegate = 8,
  kListItem = 9,
  kLiteral = 11,
};

struct Token {
  Tok kind;
  uint32_t low;   // a literal's character; a list item's low end
  uint32_t high;  // a list item's high end
};

// How many nodes and sets a token stream can produce, so that one block of
// the exact size holds them.
struct Census {
  uint32_t nodes = 0;
  uint32_t sets = 1;  // the first node's, when it is a literal or any-character
  uint32_t groups = 0;
};

bool IsHexDigit(unsigned char c) {
  return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}
uint32_t HexValue(unsigned char c) {
  if (c <= '9') return c - '0';
  return (c | 0x20u) - 'a' + 10;
}
// Case folding is fixed to the letters A-Z and a-z, whatever the process's
// locale: resource names are ASCII and a search must not change with it.
uint32_t ToUpper(uint32_t c) { return c >= 'a' && c <= 'z' ? c - 32 : c; }
uint32_t ToLower(uint32_t c) { return c >= 'A' && c <= 'Z' ? c + 32 : c; }

// Splits the pattern into tokens; tokens must have room for length + 1.
int32_t Tokenize(const unsigned char* s, size_t length, Token* tokens, size_t* count,
                 Census* census) {
  enum class Item { kNone, kAfterItem, kAfterDash };
  size_t n = 0;
  bool in_list = false;
  bool list_just_opened = false;
  Item item = Item::kNone;
  size_t open_groups = 0;
  for (size_t i = 0; i < length; ++i) {
    uint32_t c = s[i];
    bool escaped = false;
    if (c == '\\') {
      if (i + 1 == length) return kTrailingEscape;
      const unsigned char e = s[++i];
      if (e == 't' || e == 'T') {
        c = '\t';
      } else if (e == 'x' || e == 'X') {
        if (i + 2 >= length || !IsHexDigit(s[i + 1]) || !IsHexDigit(s[i + 2])) {
          return kBadHexEscape;
        }
        c = HexValue(s[i + 1]) * 16 + HexValue(s[i + 2]);
        i += 2;
      } else {
        c = e;
      }
      escaped = true;
    }
    if (!in_list) {
      Tok kind = Tok::kLiteral;
      if (!escaped) {
        switch (c) {
          case '|': kind = Tok::kBar; break;
          case '*': kind = Tok::kStar; break;
          case '+': kind = Tok::kPlus; break;
          case '?': kind = Tok::kAny; break;
          case '(': kind = Tok::kGroupOpen; ++open_groups; break;
          case ')':
            if (open_groups == 0) return kUnbalanced;
            --open_groups;
            kind = Tok::kGroupClose;
            break;
          case '[':
            kind = Tok::kListOpen;
            in_list = true;
            list_just_opened = true;
            item = Item::kNone;
            break;
          case ']': return kUnbalanced;
          default: break;
        }
      }
      // Every node but a literal or any-character carries a set: a list its
      // members, the others their first characters.
      switch (kind) {
        case Tok::kLiteral: case Tok::kAny:
          ++census->nodes;
          break;
        case Tok::kBar: case Tok::kStar: case Tok::kListOpen:
          ++census->nodes;
          ++census->sets;
          break;
        case Tok::kPlus:  // the node and its repeat-again point
          census->nodes += 2;
          ++census->sets;
          break;
        case Tok::kGroupOpen:
          ++census->nodes;
          ++census->sets;
          ++census->groups;
          break;
        default:
          break;
      }
      tokens[n++] = Token{kind, c, c};
      continue;
    }
    const bool just_opened = list_just_opened;
    list_just_opened = false;
    if (!escaped) {
      if (c == '[') return kBadList;
      if (c == ']') {
        if (item == Item::kAfterDash) return kBadList;
        in_list = false;
        tokens[n++] = Token{Tok::kListClose, c, c};
        continue;
      }
      if (c == '^' && just_opened) {
        tokens[n++] = Token{Tok::kListNegate, c, c};
        continue;
      }
      if (c == '-') {
        if (item != Item::kAfterItem) return kBadList;
        item = Item::kAfterDash;
        continue;
      }
    }
    if (item == Item::kAfterDash) {
      tokens[n - 1].high = c;  // the item just before the '-'
      item = Item::kNone;
    } else {
      tokens[n++] = Token{Tok::kListItem, c, c};
      item = Item::kAfterItem;
    }
  }
  if (in_list || open_groups != 0) return kUnbalanced;
  *count = n;
  return 0;
}

// An open sequence of the parser: the top level or a group's contents.
struct Frame {
  Node* head;
  Node* tail;
  Node* current;      // the element being built, before it joins the sequence
  bool expect_right;  // a '|' was read and its right operand is due
};

}  // namespace

// Builds the node structure of one compilation. Nodes are allocated in the
// order the parser completes them, so every node comes after everything it
// contains and after the elements before it in its sequence, and before the
// elements after it: the analyses below are single passes over the array.
class Builder {
 public:
  Builder(const Token* tokens, size_t count, Pattern* out)
      : tokens_(tokens), count_(count), out_(out) {}

  int32_t Allocate(const Census& census);
  int32_t Parse(ScratchBuffer<Frame, 16>* frames, size_t max_depth);
  void Analyse();

 private:
  // Fields are set one by one: clearing the whole node costs more than the
  // rest of its construction, and compilation runs on every match.
  Node* NewNode(NodeType type, int32_t length) {
    if (out_->node_count_ == capacity_nodes_) Fatal("node census too small");
    Node* node = &out_->nodes_[out_->node_count_];
    node->next = node->first = node->second = nullptr;
    node->type = type;
    node->upper = node->lower = 0;
    node->set = nullptr;
    node->max_length = node->min_length = length;
    node->follow = nullptr;
    node->need_min = node->need_max = 0;
    node->state = out_->node_count_++;
    node->prev = node->aux = nullptr;
    node->after_min = node->after_max = 0;
    return node;
  }
  CharSet* NewSet() {
    if (out_->set_count_ == capacity_sets_) Fatal("set census too small");
    CharSet* set = &out_->sets_[out_->set_count_++];
    set->Clear();
    return set;
  }
  int32_t SimpleAtom(Node** atom);
  Node* Alternation(Node* left, Node* right);
  Node* Repetition(Node* element, NodeType type);
  Node* Group(Node* head, Node* tail);
  void FinishSequence(Node* tail);

  const Token* tokens_;
  size_t count_;
  size_t pos_ = 0;
  Pattern* out_;
  uint32_t capacity_nodes_ = 0;
  uint32_t capacity_sets_ = 0;
};

namespace {

// The first characters of a node matched on its own, followed by anything.
void FirstOf(const Node* node, CharSet* out) {
  switch (node->type) {
    case NodeType::kLiteral:
      out->Clear();
      out->Add(static_cast<unsigned char>(node->upper));
      out->Add(static_cast<unsigned char>(node->lower));
      break;
    case NodeType::kAnyChar:
      out->Fill();
      break;
    default:
      *out = *node->set;
      break;
  }
}

bool HasFirstSet(const Node* node) {
  return node->type == NodeType::kAlternation || node->type == NodeType::kZeroOrMore ||
         node->type == NodeType::kOneOrMore || node->type == NodeType::kGroup;
}

int32_t AddLengths(int32_t a, int32_t b) {
  return a == kUnbounded || b == kUnbounded ? kUnbounded : a + b;
}

// An operand or a repeated element never gets a next element, so its set is
// final now: if it can match nothing, whatever follows may begin.
void SealAlone(Node* node) {
  if (HasFirstSet(node) && node->min_length == 0) node->set->Fill();
}

}  // namespace

int32_t Builder::Allocate(const Census& census) {
  const size_t bytes = census.nodes * sizeof(Node) + census.sets * sizeof(CharSet);
  unsigned char* block = out_->inline_;
  if (bytes > Pattern::kInlineBytes) {
    out_->heap_ = ScratchAlloc(bytes);
    if (!out_->heap_) return kNoMemory;
    block = static_cast<unsigned char*>(out_->heap_);
  }
  static_assert(sizeof(Node) % alignof(CharSet) == 0);
  out_->nodes_ = reinterpret_cast<Node*>(block);
  out_->sets_ = reinterpret_cast<CharSet*>(block + census.nodes * sizeof(Node));
  capacity_nodes_ = census.nodes;
  capacity_sets_ = census.sets;
  return 0;
}

// A '?', a literal or a list at the current token: 1 with *atom, 0 when the
// token starts none of them, or a negative code for a bad list.
int32_t Builder::SimpleAtom(Node** atom) {
  if (pos_ == count_) return 0;
  const Token& t = tokens_[pos_];
  if (t.kind == Tok::kAny) {
    ++pos_;
    Node* node = NewNode(NodeType::kAnyChar, 1);
    *atom = node;
    return 1;
  }
  if (t.kind == Tok::kLiteral) {
    ++pos_;
    Node* node = NewNode(NodeType::kLiteral, 1);
    node->upper = ToUpper(t.low);
    node->lower = ToLower(t.low);
    *atom = node;
    return 1;
  }
  if (t.kind != Tok::kListOpen) return 0;
  ++pos_;
  bool negated = false;
  if (pos_ < count_ && tokens_[pos_].kind == Tok::kListNegate) {
    negated = true;
    ++pos_;
  }
  CharSet members;
  members.Clear();
  bool any_item = false;
  for (; pos_ < count_ && tokens_[pos_].kind == Tok::kListItem; ++pos_) {
    const Token& item = tokens_[pos_];
    if (item.low > item.high) return kReversedRange;
    members.AddRange(static_cast<unsigned char>(item.low), static_cast<unsigned char>(item.high));
    any_item = true;
  }
  if (!any_item) return kEmptyList;
  if (pos_ == count_ || tokens_[pos_].kind != Tok::kListClose) Fatal("list without its close");
  ++pos_;
  // A list ignores case like a literal: either form of a letter admits both.
  // 'A'-'Z' are bits 1-26 of the second word, 'a'-'z' bits 33-58.
  constexpr uint64_t kLetters = (uint64_t{1} << 26) - 1;
  const uint64_t letters = ((members.bits[1] >> 1) | (members.bits[1] >> 33)) & kLetters;
  members.bits[1] |= (letters << 1) | (letters << 33);
  if (negated) members.Invert();
  Node* node = NewNode(NodeType::kList, 1);
  node->set = NewSet();
  *node->set = members;
  *atom = node;
  return 1;
}

Node* Builder::Alternation(Node* left, Node* right) {
  SealAlone(left);
  SealAlone(right);
  Node* node = NewNode(NodeType::kAlternation, 0);
  node->first = left;
  node->second = right;
  node->set = NewSet();
  CharSet part;
  FirstOf(left, node->set);
  FirstOf(right, &part);
  node->set->Merge(part);
  node->min_length = std::min(left->min_length, right->min_length);
  node->max_length = left->max_length == kUnbounded || right->max_length == kUnbounded
                         ? kUnbounded
                         : std::max(left->max_length, right->max_length);
  return node;
}

Node* Builder::Repetition(Node* element, NodeType type) {
  SealAlone(element);
  Node* node = NewNode(type, 0);
  node->first = element;
  node->set = NewSet();
  FirstOf(element, node->set);
  node->min_length = type == NodeType::kZeroOrMore ? 0 : element->min_length;
  node->max_length = kUnbounded;
  if (type == NodeType::kOneOrMore) {
    node->aux = NewNode(NodeType::kRepeatAgain, 0);
    node->aux->first = element;
  }
  return node;
}

Node* Builder::Group(Node* head, Node* tail) {
  Node* node = NewNode(NodeType::kGroup, 0);
  node->first = head;
  node->aux = tail;
  node->set = NewSet();
  FirstOf(head, node->set);
  int32_t min_length = 0;
  int32_t max_length = 0;
  for (const Node* n = head; n; n = n->next) {
    min_length += n->min_length;
    max_length = AddLengths(max_length, n->max_length);
  }
  node->min_length = min_length;
  node->max_length = max_length;
  return node;
}

// Completes the first-character sets of a finished sequence, last element
// first: an element that can match nothing also admits what its follower
// admits, and at the end of the sequence anything.
void Builder::FinishSequence(Node* tail) {
  CharSet after;
  after.Fill();
  for (Node* n = tail; n; n = n->prev) {
    if (HasFirstSet(n) && n->min_length == 0) n->set->Merge(after);
    // Only an element before that can match nothing needs this one's set.
    const Node* before = n->prev;
    if (before && HasFirstSet(before) && before->min_length == 0) FirstOf(n, &after);
  }
}

int32_t Builder::Parse(ScratchBuffer<Frame, 16>* frames, size_t max_depth) {
  if (!frames->Reserve(max_depth + 1)) return kNoMemory;
  size_t depth = 0;
  (*frames)[0] = Frame{nullptr, nullptr, nullptr, false};
  for (;;) {
    Frame* f = &(*frames)[depth];
    const Token* t = pos_ < count_ ? &tokens_[pos_] : nullptr;
    if (t && t->kind == Tok::kGroupOpen && (f->expect_right || !f->current)) {
      ++pos_;
      (*frames)[++depth] = Frame{nullptr, nullptr, nullptr, false};
      continue;
    }
    Node* atom = nullptr;
    if (f->expect_right) {
      // Only an atom may stand right of '|', without its own '*' or '+':
      // those apply to the whole alternation.
      const int32_t r = SimpleAtom(&atom);
      if (r < 0) return r;
      if (r == 0) return kNothingAfterBar;
      f->current = Alternation(f->current, atom);
      f->expect_right = false;
      continue;
    }
    if (f->current) {
      if (t && t->kind == Tok::kBar) {
        ++pos_;
        f->expect_right = true;
      } else if (t && (t->kind == Tok::kStar || t->kind == Tok::kPlus)) {
        ++pos_;
        f->current = Repetition(f->current, t->kind == Tok::kStar ? NodeType::kZeroOrMore
                                                                  : NodeType::kOneOrMore);
      } else {
        // The element is complete: it joins the sequence.
        Node* element = f->current;
        f->current = nullptr;
        element->prev = f->tail;
        (f->tail ? f->tail->next : f->head) = element;
        f->tail = element;
      }
      continue;
    }
    if (t && t->kind == Tok::kBar) return kNothingBeforeBar;
    if (t && (t->kind == Tok::kStar || t->kind == Tok::kPlus)) return kNothingToRepeat;
    const int32_t r = SimpleAtom(&atom);
    if (r < 0) return r;
    if (r == 1) {
      f->current = atom;
      continue;
    }
    // No further element: the sequence ends here. The tokenizer balanced every
    // group and list, so only the end of the tokens stops the top level and
    // only a ')' stops a group.
    if (depth == 0) {
      if (t) Fatal("top-level sequence stopped early");
      if (!f->head) return kEmptyPattern;
      FinishSequence(f->tail);
      out_->first_ = f->head;
      return 0;
    }
    if (!t || t->kind != Tok::kGroupClose) Fatal("group stopped before its close");
    if (!f->head) return kEmptyGroup;
    ++pos_;
    FinishSequence(f->tail);
    Node* group = Group(f->head, f->tail);
    Frame* parent = &(*frames)[--depth];
    if (parent->expect_right) {
      parent->current = Alternation(parent->current, group);
      parent->expect_right = false;
    } else {
      parent->current = group;
    }
  }
}

// Top-down pass for the search: where each node continues and how many
// characters it and everything after it need. Walking the array backwards
// visits every container before its contents and every element after its
// follower.
void Builder::Analyse() {
  Node* first = out_->first_;
  // Whatever it matches, the pattern's first node needs a set for the
  // first-character check on the name.
  if (!first->set) {
    first->set = NewSet();
    FirstOf(first, first->set);
  }
  Node* top_tail = first;
  while (top_tail->next) top_tail = top_tail->next;
  top_tail->follow = nullptr;
  top_tail->after_min = 0;
  top_tail->after_max = 0;
  auto inherit = [](Node* child, Node* follow, int32_t after_min, int32_t after_max) {
    child->follow = follow;
    child->after_min = after_min;
    child->after_max = after_max;
  };
  // The node handled just before is most often the next element; its figures
  // come from registers, as reading them back from memory right after the
  // stores stalls the processor.
  const Node* previous = nullptr;
  int32_t previous_min = 0;
  int32_t previous_max = 0;
  for (uint32_t i = out_->node_count_; i-- > 0;) {
    Node* n = &out_->nodes_[i];
    if (n->type == NodeType::kRepeatAgain) continue;  // set up by its one-or-more
    int32_t after_min;
    int32_t after_max;
    if (n->next == previous && previous) {
      inherit(n, n->next, after_min = previous_min, after_max = previous_max);
    } else if (n->next) {
      inherit(n, n->next, after_min = n->next->need_min, after_max = n->next->need_max);
    } else {
      after_min = n->after_min;
      after_max = n->after_max;
    }
    previous = n;
    n->need_min = previous_min = n->min_length + after_min;
    n->need_max = previous_max = AddLengths(n->max_length, after_max);
    switch (n->type) {
      case NodeType::kGroup:
        inherit(n->aux, n->follow, after_min, after_max);
        break;
      case NodeType::kAlternation:
        inherit(n->first, n->follow, after_min, after_max);
        inherit(n->second, n->follow, after_min, after_max);
        break;
      case NodeType::kZeroOrMore:
        // After each repetition the node is entered again: it may repeat or
        // leave, so what comes after is unbounded.
        inherit(n->first, n, after_min, kUnbounded);
        break;
      case NodeType::kOneOrMore: {
        Node* again = n->aux;
        again->follow = n->follow;
        again->need_min = after_min;
        again->need_max = kUnbounded;
        inherit(n->first, again, after_min, kUnbounded);
        break;
      }
      default:
        break;
    }
  }
}

void Pattern::Release() noexcept {
  if (heap_) ScratchFree(heap_);
  heap_ = nullptr;
  first_ = nullptr;
  nodes_ = nullptr;
  sets_ = nullptr;
  node_count_ = 0;
  set_count_ = 0;
}

size_t RewriteCapacity(size_t length) noexcept {
  // Each '|' inside a group grows by at most three characters (')|(' and the
  // group's new inner '('), each ')' by one.
  return length > (SIZE_MAX - 1) / 4 ? SIZE_MAX : 4 * length + 1;
}

int32_t RewriteGroups(const char* src, size_t length, char* dst, size_t* dst_length) noexcept {
  constexpr int64_t kTooDeep = 10;
  size_t open_at[kTooDeep];  // where in dst each open group's contents begin
  bool first_bar_due[kTooDeep];
  bool rewritten[kTooDeep];
  // This pass does not know escapes or lists, so a ')' lowers the depth
  // wherever it stands ('\)', '[)]'), below 0 too: the groups after it are
  // then seen one level shallower, are not rewritten while at 0 or below, and
  // the nesting limit counts from there. Whether the ')' is an error is the
  // tokenizer's decision. Only depths 1 to 9 carry state.
  int64_t depth = 0;
  size_t o = 0;
  for (size_t i = 0; i < length; ++i) {
    const char c = src[i];
    if (c == '(') {
      if (++depth == kTooDeep) return kNestedTooDeep;
      dst[o++] = '(';
      if (depth >= 1) {
        open_at[depth] = o;
        first_bar_due[depth] = true;
        rewritten[depth] = false;
      }
    } else if (c == '|' && depth >= 1) {
      if (first_bar_due[depth]) {
        // The first alternative gets its own '(' after the fact. The shift
        // covers only this group's text so far, and each character lies in at
        // most nine open groups: linear overall.
        const size_t at = open_at[depth];
        std::memmove(dst + at + 1, dst + at, o - at);
        dst[at] = '(';
        ++o;
        first_bar_due[depth] = false;
        rewritten[depth] = true;
      }
      dst[o++] = ')';
      dst[o++] = '|';
      dst[o++] = '(';
    } else if (c == ')') {
      if (depth >= 1 && rewritten[depth]) dst[o++] = ')';
      --depth;  // 64-bit: no pattern holds enough ')' to run it out
      dst[o++] = ')';
    } else {
      dst[o++] = c;
    }
  }
  *dst_length = o;
  return 0;
}

int32_t Compile(const char* pattern, Pattern* out) noexcept {
  out->Release();
  if (!pattern) return kNoPattern;
  const size_t length = std::strlen(pattern);
  if (length == 0) return kEmptyPattern;
  if (length > static_cast<size_t>(INT32_MAX / 2)) return kNoMemory;  // lengths are 32-bit
  ScratchBuffer<Token, 160> tokens;
  if (!tokens.Reserve(length + 1)) return kNoMemory;
  size_t count = 0;
  Census census;
  int32_t status = Tokenize(reinterpret_cast<const unsigned char*>(pattern), length, tokens.data(),
                            &count, &census);
  if (status < 0) return status;
  Builder builder(tokens.data(), count, out);
  status = builder.Allocate(census);
  if (status == 0) {
    ScratchBuffer<Frame, 16> frames;
    status = builder.Parse(&frames, census.groups);
  }
  if (status < 0) {
    out->Release();
    return status;
  }
  builder.Analyse();
  return 0;
}

}  // namespace zyvisa::match::rsrc
