// Scanner and recursive-descent parser of the attribute-expression language.
// Both work on the caller's text in place and keep all their state in locals.
#include "match/attr_expr_language.h"

#include <cstdint>
#include <limits>

namespace zyvisa::match {
namespace {

enum class Tok {
  kEnd,       // end of the text
  kName,      // letter, then letters, digits and '_'
  kNumber,    // decimal, octal or hexadecimal constant
  kString,    // double-quoted text, quotes excluded
  kEquality,  // op: 0 "==", 1 "!="
  kRelation,  // op: 2 "<", 3 ">", 4 "<=", 5 ">="
  kOr,        // "||"
  kAnd,       // "&&"
  kChar,      // any other single character, line feed included
};

constexpr int kOpEq = 0;
constexpr int kOpNe = 1;
constexpr int kOpLt = 2;
constexpr int kOpGt = 3;
constexpr int kOpLe = 4;
constexpr int kOpGe = 5;

struct Token {
  Tok kind = Tok::kEnd;
  int op = 0;
  int64_t number = 0;
  std::string_view text;  // name text, string contents, or the single character
};

bool IsLetter(char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); }
bool IsDigit(char c) { return c >= '0' && c <= '9'; }

int DigitValue(char c) {
  if (IsDigit(c)) return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return 99;
}

// Converts a number token with automatic base as a 32-bit signed value: 0x
// means hexadecimal, another leading 0 octal, else decimal; conversion stops
// at the first digit not valid in the base ("08" is 0) and values outside the
// 32-bit range saturate, so that constants compare the same however long.
int64_t ConvertNumber(std::string_view t) {
  size_t i = 0;
  const bool negative = t[0] == '-';
  if (negative) ++i;
  int base = 10;
  if (t[i] == '0') {
    base = 8;
    if (i + 1 < t.size() && (t[i + 1] == 'x' || t[i + 1] == 'X')) {
      base = 16;
      i += 2;
    }
  }
  // Anything above 2^31 saturates either sign; capping the running value
  // keeps a constant of any length from overflowing it.
  constexpr int64_t kCap = int64_t{1} << 32;
  int64_t magnitude = 0;
  for (; i < t.size(); ++i) {
    const int d = DigitValue(t[i]);
    if (d >= base) break;
    magnitude = magnitude * base + d;
    if (magnitude > kCap) magnitude = kCap;
  }
  const int64_t value = negative ? -magnitude : magnitude;
  if (value > std::numeric_limits<int32_t>::max()) return std::numeric_limits<int32_t>::max();
  if (value < std::numeric_limits<int32_t>::min()) return std::numeric_limits<int32_t>::min();
  return value;
}

// Tokenises by longest match; on equal length the earlier rule wins (which
// only matters for single characters that also begin a longer token).
// Tokens have no length limit: they are views into the caller's text, so a
// name, constant or string of any length is one token, and one too long for
// any attribute simply matches none.
class Scanner {
 public:
  explicit Scanner(std::string_view text) : text_(text) {}

  Token Next() {
    while (pos_ < text_.size() && (text_[pos_] == ' ' || text_[pos_] == '\t')) ++pos_;
    Token tok;
    if (pos_ >= text_.size()) return tok;
    const size_t start = pos_;
    const char c = text_[pos_];
    const char next = pos_ + 1 < text_.size() ? text_[pos_ + 1] : '\0';
    if (IsLetter(c)) {
      while (pos_ < text_.size() && IsAttrNameChar(text_[pos_])) ++pos_;
      tok.kind = Tok::kName;
      tok.text = text_.substr(start, pos_ - start);
      return tok;
    }
    if (IsDigit(c) || (c == '-' && IsDigit(next))) {
      ScanNumber(&tok);
      return tok;
    }
    if (c == '"' && ScanString(&tok)) return tok;
    // Two-character operators, then the single character itself.
    pos_ = start + 2;
    switch (c) {
      case '=':
        if (next == '=') return Op(Tok::kEquality, kOpEq);
        break;
      case '!':
        if (next == '=') return Op(Tok::kEquality, kOpNe);
        break;
      case '<':
        return next == '=' ? Op(Tok::kRelation, kOpLe) : Single(Tok::kRelation, kOpLt, start);
      case '>':
        return next == '=' ? Op(Tok::kRelation, kOpGe) : Single(Tok::kRelation, kOpGt, start);
      case '|':
        if (next == '|') return Op(Tok::kOr, 0);
        break;
      case '&':
        if (next == '&') return Op(Tok::kAnd, 0);
        break;
      default:
        break;
    }
    return Single(Tok::kChar, 0, start);
  }

 private:
  static Token Op(Tok kind, int op) {
    Token tok;
    tok.kind = kind;
    tok.op = op;
    return tok;
  }

  Token Single(Tok kind, int op, size_t start) {
    pos_ = start + 1;
    Token tok = Op(kind, op);
    tok.text = text_.substr(start, 1);
    return tok;
  }

  // An optional '-' and decimal digits, or 0x and hexadecimal digits; the
  // longer of the two wins. A hexadecimal constant has no sign: "-0x10" is the
  // number -0 followed by the name x10.
  void ScanNumber(Token* tok) {
    const size_t start = pos_;
    size_t decimal_end = start + (text_[start] == '-' ? 1 : 0);
    while (decimal_end < text_.size() && IsDigit(text_[decimal_end])) ++decimal_end;
    size_t end = decimal_end;
    if (text_[start] == '0' && start + 2 < text_.size() &&
        (text_[start + 1] == 'x' || text_[start + 1] == 'X') && DigitValue(text_[start + 2]) < 16) {
      size_t hex_end = start + 2;
      while (hex_end < text_.size() && DigitValue(text_[hex_end]) < 16) ++hex_end;
      if (hex_end > end) end = hex_end;
    }
    pos_ = end;
    tok->kind = Tok::kNumber;
    tok->number = ConvertNumber(text_.substr(start, end - start));
  }

  // A quote, one or more characters other than line feed, and a quote: the
  // longest such match runs to the last quote of the line, and is then cut
  // back to the first closing quote. So a string never holds a quote, "" is
  // the empty string only when another quote follows on the line, and
  // scanning resumes just after the first closing quote.
  bool ScanString(Token* tok) {
    const size_t open = pos_;
    size_t first_close = 0;
    size_t last_close = 0;
    for (size_t i = open + 1; i < text_.size() && text_[i] != '\n'; ++i) {
      if (text_[i] != '"') continue;
      if (first_close == 0) first_close = i;
      last_close = i;
    }
    if (last_close < open + 2) return false;
    tok->kind = Tok::kString;
    tok->text = text_.substr(open + 1, first_close - open - 1);
    pos_ = first_close + 1;
    return true;
  }

  std::string_view text_;
  size_t pos_ = 0;
};

// Groups nested deeper than this are refused as invalid: each level costs three
// stack frames, and the library runs on its callers' threads, whose stacks may
// be small. No hand-written expression comes near it.
constexpr int kMaxNesting = 1000;

// Grammar, from lowest to highest binding:
//   line       := or '\n' <end>
//   or         := and { "||" and }
//   and        := primary { "&&" primary }
//   primary    := '(' or ')' | '!' primary | comparison
//   comparison := name relation number | name equality (number | string)
// Every comparison is evaluated as it is parsed: "||" and "&&" never skip
// their right operand, so a type error anywhere makes the whole line invalid.
class Parser {
 public:
  Parser(std::string_view text, const AttrRecord* records, size_t count)
      : scanner_(text), records_(records), count_(count) {
    Advance();
  }

  int Run() {
    bool value = false;
    if (!ParseOr(0, &value) || !IsChar('\n')) return kAttrExprInvalid;
    Advance();
    // Only blanks and tabs may follow the line feed.
    if (tok_.kind != Tok::kEnd || invalid_) return kAttrExprInvalid;
    return value ? kAttrExprTrue : kAttrExprFalse;
  }

 private:
  void Advance() { tok_ = scanner_.Next(); }
  bool IsChar(char c) const {
    return tok_.kind == Tok::kChar && tok_.text[0] == c;
  }

  bool ParseOr(int depth, bool* value) {
    if (!ParseAnd(depth, value)) return false;
    while (tok_.kind == Tok::kOr) {
      Advance();
      bool right = false;
      if (!ParseAnd(depth, &right)) return false;
      *value = *value || right;
    }
    return true;
  }

  bool ParseAnd(int depth, bool* value) {
    if (!ParsePrimary(depth, value)) return false;
    while (tok_.kind == Tok::kAnd) {
      Advance();
      bool right = false;
      if (!ParsePrimary(depth, &right)) return false;
      *value = *value && right;
    }
    return true;
  }

  bool ParsePrimary(int depth, bool* value) {
    // "!" binds tighter than everything else, so a run of them applies to
    // the one primary that follows; only its parity matters.
    bool negate = false;
    while (IsChar('!')) {
      negate = !negate;
      Advance();
    }
    if (IsChar('(')) {
      if (depth >= kMaxNesting) return false;
      Advance();
      if (!ParseOr(depth + 1, value) || !IsChar(')')) return false;
      Advance();
    } else if (!ParseComparison(value)) {
      return false;
    }
    if (negate) *value = !*value;
    return true;
  }

  bool ParseComparison(bool* value) {
    if (tok_.kind != Tok::kName) return false;
    const AttrRecord* record = Find(tok_.text);
    Advance();
    if (tok_.kind != Tok::kEquality && tok_.kind != Tok::kRelation) return false;
    const int op = tok_.op;
    const bool relation = tok_.kind == Tok::kRelation;
    Advance();
    if (tok_.kind == Tok::kNumber) {
      *value = CompareNumber(record, op, tok_.number);
    } else if (tok_.kind == Tok::kString && !relation) {
      *value = CompareString(record, op, tok_.text);
    } else {
      return false;
    }
    Advance();
    return true;
  }

  // Names match records without regard to case; the first match counts.
  const AttrRecord* Find(std::string_view name) const {
    for (size_t i = 0; i < count_; ++i) {
      if (AttrNameEquals(name, records_[i].name)) return &records_[i];
    }
    return nullptr;
  }

  bool CompareNumber(const AttrRecord* record, int op, int64_t number) {
    // An attribute that was not collected makes every comparison false, "!="
    // included.
    if (record == nullptr) return false;
    // A string attribute compared with a number has no meaningful order: the
    // expression is as invalid as a number attribute compared with a string.
    if ((record->type_flags & kAttrString) != 0) {
      invalid_ = true;
      return false;
    }
    if ((record->type_flags & kAttrUnsigned) != 0) {
      return Compare(record->value.number, op, static_cast<uint64_t>(number));
    }
    return Compare(static_cast<int64_t>(record->value.number), op, number);
  }

  bool CompareString(const AttrRecord* record, int op, std::string_view text) {
    if (record == nullptr) return false;
    if ((record->type_flags & kAttrString) == 0) {
      invalid_ = true;
      return false;
    }
    const bool equal = std::string_view(record->value.text) == text;
    return op == kOpEq ? equal : !equal;
  }

  template <typename T>
  static bool Compare(T left, int op, T right) {
    switch (op) {
      case kOpEq: return left == right;
      case kOpNe: return left != right;
      case kOpLt: return left < right;
      case kOpGt: return left > right;
      case kOpLe: return left <= right;
      default: return left >= right;
    }
  }

  Scanner scanner_;
  const AttrRecord* records_;
  size_t count_;
  Token tok_;
  // Set by a comparison of mismatched types; the parse goes on so that a
  // later syntax error is still found, but the value is invalid.
  bool invalid_ = false;
};

}  // namespace

bool AttrNameEquals(std::string_view a, const char* b) noexcept {
  size_t i = 0;
  for (; i < a.size(); ++i) {
    char x = a[i];
    char y = b[i];
    if (y == '\0') return false;
    if (x >= 'A' && x <= 'Z') x = static_cast<char>(x - 'A' + 'a');
    if (y >= 'A' && y <= 'Z') y = static_cast<char>(y - 'A' + 'a');
    if (x != y) return false;
  }
  return b[i] == '\0';
}

int EvaluateAttrExpr(std::string_view text, const AttrRecord* records, size_t count) noexcept {
  return Parser(text, records, count).Run();
}

}  // namespace zyvisa::match
