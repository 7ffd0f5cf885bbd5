// Resource expressions: compilation errors, the group rewrite, node facts,
// matching rules and the two exports' argument handling.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "match/rsrc_expr_compiler.h"
#include "match/rsrc_expr_matcher.h"
#include "match/scratch_buffer.h"
#include "zyvisa_match.h"

namespace rsrc = zyvisa::match::rsrc;

namespace {

// The group rewrite's output, or "error" when it refuses.
std::string Rewrite(const std::string& pattern) {
  std::string out(rsrc::RewriteCapacity(pattern.size()), '\0');
  size_t length = 0;
  if (rsrc::RewriteGroups(pattern.data(), pattern.size(), &out[0], &length) < 0) return "error";
  out.resize(length);
  return out;
}

// Rewrite and compile as the match does: 0 or the first failure.
int32_t CompileStatus(const std::string& pattern, rsrc::Pattern* out) {
  std::string rewritten = Rewrite(pattern);
  if (rewritten == "error") return rsrc::kNestedTooDeep;
  return rsrc::Compile(rewritten.c_str(), out);
}
int32_t CompileStatus(const std::string& pattern) {
  rsrc::Pattern compiled;
  return CompileStatus(pattern, &compiled);
}

ViStatus Match(const std::string& expression, const std::string& name,
               ViBoolean* has_attribute = nullptr) {
  ViBoolean attribute = 7;
  const ViStatus status = visaMatchRsrcExpr(1, expression.c_str(), name.c_str(), &attribute);
  if (has_attribute) *has_attribute = attribute;
  return status;
}
bool Matches(const std::string& expression, const std::string& name) {
  const ViStatus status = Match(expression, name);
  EXPECT_TRUE(status == VI_SUCCESS || status == VI_ERROR_RSRC_NFOUND)
      << expression << " on " << name << " gave " << std::hex << status;
  return status == VI_SUCCESS;
}

std::vector<unsigned> Members(const rsrc::CharSet& set) {
  std::vector<unsigned> out;
  for (unsigned c = 0; c < 256; ++c) {
    if (set.Has(static_cast<unsigned char>(c))) out.push_back(c);
  }
  return out;
}

// ----------------------------------------------------------------- compiler

TEST(RsrcExprCompile, EveryErrorFromItsSmallestTrigger) {
  const struct {
    const char* pattern;
    int32_t code;
  } cases[] = {
      {")", rsrc::kUnbalanced},         {"]", rsrc::kUnbalanced},
      {"A]", rsrc::kUnbalanced},        {"(A", rsrc::kUnbalanced},
      {"[A", rsrc::kUnbalanced},        {"[", rsrc::kUnbalanced},
      {"[[]", rsrc::kBadList},          {"[A-]", rsrc::kBadList},
      {"[-A]", rsrc::kBadList},         {"[A-B-C]", rsrc::kBadList},
      {"[^-A]", rsrc::kBadList},        {"\\", rsrc::kTrailingEscape},
      {"A\\", rsrc::kTrailingEscape},   {"[A\\", rsrc::kTrailingEscape},
      {"\\xZZ", rsrc::kBadHexEscape},   {"\\x4", rsrc::kBadHexEscape},
      {"\\x", rsrc::kBadHexEscape},     {"\\x4G", rsrc::kBadHexEscape},
      {"*", rsrc::kNothingToRepeat},    {"*A", rsrc::kNothingToRepeat},
      {"+A", rsrc::kNothingToRepeat},   {"(*A)", rsrc::kNothingToRepeat},
      {"|", rsrc::kNothingBeforeBar},   {"|A", rsrc::kNothingBeforeBar},
      {"A|", rsrc::kNothingAfterBar},   {"A||B", rsrc::kNothingAfterBar},
      {"A|*", rsrc::kNothingAfterBar},  {"()", rsrc::kEmptyGroup},
      {"A()", rsrc::kEmptyGroup},       {"[b-a]", rsrc::kReversedRange},
      {"[\\x42-A]", rsrc::kReversedRange}, {"[]", rsrc::kEmptyList},
      {"[^]", rsrc::kEmptyList},        {"", rsrc::kEmptyPattern},
  };
  for (const auto& c : cases) EXPECT_EQ(CompileStatus(c.pattern), c.code) << c.pattern;
  rsrc::Pattern compiled;
  EXPECT_EQ(rsrc::Compile(nullptr, &compiled), rsrc::kNoPattern);
  EXPECT_EQ(compiled.first(), nullptr);
  // The tokenizer sees the whole pattern before the parser starts.
  EXPECT_EQ(CompileStatus("*[b-a"), rsrc::kUnbalanced);
  EXPECT_EQ(CompileStatus("*[b-a]"), rsrc::kNothingToRepeat);
}

TEST(RsrcExprCompile, GroupRewrite) {
  EXPECT_EQ(Rewrite("(A|B|C)x"), "((A)|(B)|(C))x");
  EXPECT_EQ(Rewrite("((A|B)|C)"), "((((A)|(B)))|(C))");
  EXPECT_EQ(Rewrite("(GPIB|VXI)?*INSTR"), "((GPIB)|(VXI))?*INSTR");
  EXPECT_EQ(Rewrite("VXI|GPIB"), "VXI|GPIB");
  EXPECT_EQ(Rewrite("(AB)C"), "(AB)C");
  // Blind to lists and escapes.
  EXPECT_EQ(Rewrite("([|])"), "(([)|(]))");
  EXPECT_EQ(CompileStatus("([|])"), 0);
  EXPECT_TRUE(Matches("([|])", ")"));
  EXPECT_TRUE(Matches("([|])", "|"));
  EXPECT_TRUE(Matches("([|])", "("));
  EXPECT_EQ(CompileStatus("(A\\|B)"), rsrc::kUnbalanced);
  EXPECT_EQ(CompileStatus("(A|[(])"), rsrc::kUnbalanced);
  // A ')' with no group open in the rewrite's count leaves later groups whole.
  EXPECT_EQ(Rewrite("[)](AB|CD)"), "[)]((AB)|(CD))");
  EXPECT_TRUE(Matches("[)](AB|CD)", ")CD"));
  // Nine levels may be open at once, ten may not; inserted parentheses do not count.
  EXPECT_EQ(CompileStatus("(((((((((A|B)))))))))"), 0);
  EXPECT_EQ(CompileStatus("((((((((((A))))))))))"), rsrc::kNestedTooDeep);
  EXPECT_EQ(CompileStatus("(((((((((A)))))))))((((((((((A))))))))))"), rsrc::kNestedTooDeep);
  EXPECT_EQ(Match("((((((((((A))))))))))", "A"), VI_ERROR_INV_EXPR);
}

TEST(RsrcExprCompile, LengthsAndFirstCharacterSets) {
  rsrc::Pattern p;
  ASSERT_EQ(CompileStatus("GPIB[0-9]*", &p), 0);
  const rsrc::Node* star = p.first()->next->next->next->next;
  ASSERT_EQ(star->type, rsrc::NodeType::kZeroOrMore);
  EXPECT_EQ(star->min_length, 0);
  EXPECT_EQ(star->max_length, rsrc::kUnbounded);
  EXPECT_TRUE(star->set->IsFull());  // it ends the pattern: anything may follow
  EXPECT_EQ(star->first->type, rsrc::NodeType::kList);
  EXPECT_EQ(Members(*star->first->set).size(), 10u);
  EXPECT_EQ(Members(*p.first()->set), (std::vector<unsigned>{'G', 'g'}));

  ASSERT_EQ(CompileStatus("(AB|CD)E", &p), 0);
  EXPECT_EQ(p.first()->type, rsrc::NodeType::kGroup);
  EXPECT_EQ(p.first()->min_length, 2);
  EXPECT_EQ(p.first()->max_length, 2);
  EXPECT_EQ(Members(*p.first()->set), (std::vector<unsigned>{'A', 'C', 'a', 'c'}));

  // A star that may match nothing admits its follower's first characters.
  ASSERT_EQ(CompileStatus("A*b?", &p), 0);
  EXPECT_EQ(Members(*p.first()->set), (std::vector<unsigned>{'A', 'B', 'a', 'b'}));
  ASSERT_EQ(CompileStatus("(A|BC)+D", &p), 0);
  EXPECT_EQ(p.first()->min_length, 1);
  EXPECT_EQ(p.first()->max_length, rsrc::kUnbounded);
  EXPECT_EQ(Members(*p.first()->set), (std::vector<unsigned>{'A', 'B', 'a', 'b'}));
  ASSERT_EQ(CompileStatus("(A*)B", &p), 0);
  EXPECT_EQ(p.first()->min_length, 0);
  EXPECT_TRUE(p.first()->set->IsFull());
  ASSERT_EQ(CompileStatus("?X", &p), 0);
  EXPECT_TRUE(p.first()->set->IsFull());
  ASSERT_EQ(CompileStatus("[^a-y]", &p), 0);
  EXPECT_EQ(Members(*p.first()->set).size(), 256u - 50u);
  // 'AB|CD' is A, then B or C, then D.
  ASSERT_EQ(CompileStatus("AB|CD", &p), 0);
  const rsrc::Node* alt = p.first()->next;
  ASSERT_EQ(alt->type, rsrc::NodeType::kAlternation);
  EXPECT_EQ(alt->first->upper, uint32_t{'B'});
  EXPECT_EQ(alt->second->lower, uint32_t{'c'});
  EXPECT_EQ(alt->next->upper, uint32_t{'D'});
}

TEST(RsrcExprCompile, DeepNestingUsesNoMachineStack) {
  // The rewrite's depth limit does not see escaped parentheses, so the parser
  // can meet any depth; long chains of operators nest as deep.
  auto nested = [](int levels) {
    std::string text;
    for (int i = 0; i < levels; ++i) text += "(\\)";
    text += "A";
    return text.append(static_cast<size_t>(levels), ')');
  };
  EXPECT_EQ(CompileStatus(nested(100000)), 0);
  EXPECT_TRUE(Matches(nested(200), std::string(200, ')') + "A"));
  std::string stars = "A" + std::string(200000, '*');
  EXPECT_TRUE(Matches(stars, std::string(255, 'a')));
  std::string bars = "A";
  for (int i = 0; i < 100000; ++i) bars += "|B";
  EXPECT_TRUE(Matches(bars, "b"));
}

// ----------------------------------------------------------------- matching

TEST(RsrcExprMatch, CaseFoldingOfLiteralsListsAndEscapes) {
  EXPECT_TRUE(Matches("?*INSTR", "GPIB0::1::INSTR"));
  EXPECT_TRUE(Matches("?*INSTR", "gpib0::1::instr"));
  EXPECT_TRUE(Matches("\\x41", "a"));
  EXPECT_TRUE(Matches("\\x41", "A"));
  EXPECT_TRUE(Matches("\\X6a", "J"));
  EXPECT_TRUE(Matches("[a-c]", "B"));
  EXPECT_FALSE(Matches("[a-c]", "D"));
  EXPECT_FALSE(Matches("[^a]", "a"));
  EXPECT_FALSE(Matches("[^a]", "A"));
  EXPECT_TRUE(Matches("[^a]", "b"));
  EXPECT_TRUE(Matches("[\\x61]", "A"));
  EXPECT_TRUE(Matches("\\t", "\t"));
  EXPECT_TRUE(Matches("A\\TB", "a\tb"));
  EXPECT_TRUE(Matches("[\\-]", "-"));
  EXPECT_TRUE(Matches("[a\\-c]", "-"));
  EXPECT_FALSE(Matches("[a\\-c]", "b"));
  EXPECT_TRUE(Matches("\\?", "?"));
  EXPECT_FALSE(Matches("\\?", "x"));
  EXPECT_TRUE(Matches("\\*\\[\\]\\\\", "*[]\\"));
  EXPECT_TRUE(Matches("\\n", "N"));  // the letter n, not a line feed
  EXPECT_TRUE(Matches("[?*+|()]+", "|(?)*+"));
  EXPECT_TRUE(Matches("[a^]", "^"));
  EXPECT_TRUE(Matches("^-", "^-"));
  // Only A-Z and a-z fold; other bytes compare as they are.
  EXPECT_FALSE(Matches("\\xC1", "\xE1"));
  EXPECT_TRUE(Matches("\\xC1", "\xC1"));
  EXPECT_TRUE(Matches("[\\xC0-\\xC2]", "\xC1"));
  EXPECT_TRUE(Matches("[^\\x01-\\x7F]", "\x80"));
  EXPECT_TRUE(Matches("\xE9?", "\xE9x"));
  EXPECT_FALSE(Matches("\\x00", "x"));
}

TEST(RsrcExprMatch, AnchoredAtBothEnds) {
  EXPECT_FALSE(Matches("GPIB?*INSTR", "GPIB0::1::INSTR2"));
  EXPECT_FALSE(Matches("GPIB?*INSTR", "XGPIB0::1::INSTR"));
  EXPECT_TRUE(Matches("ASRL[0-9]*::?*INSTR", "ASRL1::INSTR"));
  EXPECT_TRUE(Matches("ASRL[0-9]*::?*INSTR", "ASRL12::INSTR"));
  EXPECT_TRUE(Matches("GPIB[0-9]*", "GPIB"));
  EXPECT_TRUE(Matches("GPIB[0-9]*", "GPIB12"));
  EXPECT_FALSE(Matches("GPIB[0-9]*", "GPIB12A"));
  EXPECT_FALSE(Matches("?", "AB"));
  EXPECT_FALSE(Matches("AB", "A"));
}

TEST(RsrcExprMatch, AlternationBinding) {
  EXPECT_TRUE(Matches("VXI|GPIB", "VXGPIB"));
  EXPECT_FALSE(Matches("VXI|GPIB", "VXI"));
  EXPECT_FALSE(Matches("VXI|GPIB", "GPIB"));
  EXPECT_TRUE(Matches("(VXI|GPIB)", "VXI"));
  EXPECT_TRUE(Matches("(VXI|GPIB)", "gpib"));
  EXPECT_FALSE(Matches("(VXI|GPIB)", "VXGPIB"));
  EXPECT_TRUE(Matches("(GPIB|VXI)?*INSTR", "VXI0::1::INSTR"));
  EXPECT_TRUE(Matches("(GPIB|VXI|PXI)?*INSTR", "PXI0::15-3.0::INSTR"));
  // Outside parentheses '|' takes single atoms and a following '*' takes both.
  EXPECT_TRUE(Matches("A|B*", "ABBA"));
  EXPECT_TRUE(Matches("A|B*C", "C"));
  EXPECT_TRUE(Matches("AB|CD", "ABD"));
  EXPECT_TRUE(Matches("AB|CD", "ACD"));
  EXPECT_FALSE(Matches("AB|CD", "ABCD"));
}

TEST(RsrcExprMatch, RepetitionOfGroups) {
  EXPECT_TRUE(Matches("(A|AB)C", "ABC"));
  EXPECT_TRUE(Matches("A*A", "AAA"));
  EXPECT_TRUE(Matches("(AB)+C", "ABABC"));
  EXPECT_FALSE(Matches("(AB)+C", "C"));
  EXPECT_TRUE(Matches("(AB)*C", "C"));
  EXPECT_FALSE(Matches("(AB)*C", "ABAC"));
  EXPECT_TRUE(Matches("((A|B)C)+", "ACbcAC"));
  EXPECT_TRUE(Matches("(A|AA)*B", "AAAAAB"));
  EXPECT_TRUE(Matches("(A+B+)+", "AABABBB"));
  EXPECT_FALSE(Matches("(A+B+)+", "AABABBBA"));
  // A repeated element that can match nothing: one repetition of it may match
  // nothing too, as in every regular-expression language.
  EXPECT_TRUE(Matches("(A*)+B", "B"));
  EXPECT_TRUE(Matches("(A*)*", "AAA"));
  EXPECT_TRUE(Matches("X(A*|B)+Y", "XY"));
  EXPECT_TRUE(Matches("X(A*|B)+Y", "XABBAY"));
  // A repetition of one character, followed by something that may be longer
  // than the rest of the name.
  EXPECT_TRUE(Matches("?*A(B|CD)", "AB"));
  EXPECT_TRUE(Matches("[0-9]*(AB|C)", "12C"));
  EXPECT_FALSE(Matches("[0-9]*(AB|C)", "12X"));
}

// Patterns that make plain backtracking take exponential time finish.
TEST(RsrcExprMatch, AdversarialPatternsFinish) {
  const std::string as(255, 'A');
  EXPECT_FALSE(Matches("(A|AA)*B", as));
  EXPECT_FALSE(Matches("(A*)*B", as));
  EXPECT_FALSE(Matches("(?*)*X", as));
  EXPECT_FALSE(Matches("((A*)*|(A+)+)*(?*)*X", as));
  EXPECT_FALSE(Matches("(A|A)*(A|A)*(A|A)*(A|A)*B", as));
  std::string stars;
  for (int i = 0; i < 60; ++i) stars += "?*A";
  EXPECT_FALSE(Matches(stars + "X", as));
  EXPECT_TRUE(Matches("(?*)*X", std::string(254, 'A') + "X"));
  EXPECT_TRUE(Matches("(A|AA)*", as));
}

TEST(RsrcExprMatch, NameLengthLimits) {
  ViBoolean attribute = 7;
  EXPECT_EQ(visaMatchRsrcExpr(1, "?*", "", &attribute), VI_ERROR_RSRC_NFOUND);
  EXPECT_EQ(attribute, 0);
  EXPECT_EQ(visaMatchRsrcExpr(1, "A*", "", &attribute), VI_ERROR_RSRC_NFOUND);
  EXPECT_EQ(visaMatchRsrcExpr(1, "(", "", &attribute), VI_ERROR_INV_EXPR);
  const std::string name255(255, 'x');
  EXPECT_EQ(Match("X+", name255), VI_SUCCESS);
  EXPECT_EQ(Match("?*Y", name255), VI_ERROR_RSRC_NFOUND);
  attribute = 7;
  EXPECT_EQ(visaMatchRsrcExpr(1, "?*{x}", (name255 + "x").c_str(), &attribute),
            VI_ERROR_INV_RSRC_NAME);
  EXPECT_EQ(attribute, 7);
  EXPECT_EQ(visaMatchRsrcExpr(1, "(", std::string(4000, 'x').c_str(), &attribute),
            VI_ERROR_INV_RSRC_NAME);
}

// ----------------------------------------------------------------- exports

TEST(RsrcExprExport, ChecksInOrder) {
  ViBoolean attribute = 7;
  const std::string long_name(300, 'A');
  EXPECT_EQ(visaMatchRsrcExpr(0, nullptr, nullptr, nullptr), VI_ERROR_INV_OBJECT);
  EXPECT_EQ(visaMatchRsrcExpr(0, "?*", "A", &attribute), VI_ERROR_INV_OBJECT);
  EXPECT_EQ(visaMatchRsrcExpr(1, nullptr, long_name.c_str(), &attribute), VI_ERROR_USER_BUF);
  EXPECT_EQ(visaMatchRsrcExpr(1, "?*", nullptr, &attribute), VI_ERROR_USER_BUF);
  EXPECT_EQ(visaMatchRsrcExpr(1, "?*", long_name.c_str(), nullptr), VI_ERROR_USER_BUF);
  EXPECT_EQ(visaMatchRsrcExpr(1, "(", long_name.c_str(), &attribute), VI_ERROR_INV_RSRC_NAME);
  EXPECT_EQ(attribute, 7);
  EXPECT_EQ(visaMatchRsrcExpr(0xFFFFFFFFu, "?*", "A", &attribute), VI_SUCCESS);
}

TEST(RsrcExprExport, WhiteSpaceAndAttributePart) {
  ViBoolean attribute = 7;
  EXPECT_EQ(Match("?*INSTR {VI_ATTR_INTF_NUM==0}", "GPIB0::1::INSTR", &attribute), VI_SUCCESS);
  EXPECT_EQ(attribute, 1);
  EXPECT_EQ(Match("?*INSTR", "GPIB0::1::INSTR", &attribute), VI_SUCCESS);
  EXPECT_EQ(attribute, 0);
  EXPECT_EQ(Match("?*INSTR \t\r\n\v\f", "X::INSTR", &attribute), VI_SUCCESS);
  EXPECT_EQ(Match("?* INSTR", "A INSTR", &attribute), VI_ERROR_INV_EXPR);
  EXPECT_EQ(attribute, 0);
  EXPECT_EQ(Match(" ?*INSTR", "X::INSTR"), VI_ERROR_INV_EXPR);
  EXPECT_EQ(Match("?*\tINSTR", "X::INSTR"), VI_ERROR_INV_EXPR);
  EXPECT_EQ(Match("?*\x20", " "), VI_SUCCESS);  // an escape is no white space
  // Only an attribute part: invalid, and still reported.
  EXPECT_EQ(Match("{VI_ATTR_INTF_NUM==0}", "GPIB0::1::INSTR", &attribute), VI_ERROR_INV_EXPR);
  EXPECT_EQ(attribute, 1);
  EXPECT_EQ(Match(" \t{x}", "A", &attribute), VI_ERROR_INV_EXPR);
  EXPECT_EQ(attribute, 1);
  EXPECT_EQ(Match("", "A", &attribute), VI_ERROR_INV_EXPR);
  EXPECT_EQ(attribute, 0);
  EXPECT_EQ(Match("   ", "A"), VI_ERROR_INV_EXPR);
  // Nothing after the first '{' is looked at, not even an unbalanced brace.
  EXPECT_EQ(Match("GPIB?*{ (( ", "GPIB0", &attribute), VI_SUCCESS);
  EXPECT_EQ(attribute, 1);
  EXPECT_EQ(Match("(GPIB{|VXI)", "GPIB", &attribute), VI_ERROR_INV_EXPR);
  EXPECT_EQ(attribute, 1);
}

TEST(RsrcExprExport, RemotePrefixIsSkippedForMatching) {
  EXPECT_TRUE(Matches("visa://host1/GPIB?*", "host1/GPIB0::INSTR"));
  EXPECT_FALSE(Matches("visa://host1/GPIB?*", "GPIB0::INSTR"));
  EXPECT_TRUE(Matches("VISA://host1/GPIB?*", "host1/GPIB0::INSTR"));
  EXPECT_TRUE(Matches("ViSa:/GPIB?*", "GPIB0::INSTR"));
  EXPECT_TRUE(Matches("/GPIB?*", "GPIB0::INSTR"));
  EXPECT_TRUE(Matches("//GPIB?*", "GPIB0::INSTR"));
  EXPECT_FALSE(Matches("///GPIB?*", "GPIB0::INSTR"));
  EXPECT_TRUE(Matches("///GPIB?*", "/GPIB0::INSTR"));
  EXPECT_EQ(Match("visa://", "A"), VI_ERROR_INV_EXPR);
  EXPECT_EQ(Match("/", "A"), VI_ERROR_INV_EXPR);
  EXPECT_EQ(Match("visa://{x}", "A"), VI_ERROR_INV_EXPR);
  EXPECT_TRUE(Matches("visa:", "VISA:"));
}

TEST(RsrcExprExport, RemotePrefixForms) {
  char host[64];
  ViConstString rest = nullptr;
  const char* expr = "VISA://lab7/GPIB0::INSTR";
  EXPECT_EQ(visaIsRsrcExprRemote(expr, host, &rest), 1);
  EXPECT_STREQ(host, "lab7");
  EXPECT_EQ(rest, expr + 12);
  expr = "//lab7/GPIB0::INSTR";
  EXPECT_EQ(visaIsRsrcExprRemote(expr, host, &rest), 1);
  EXPECT_STREQ(host, "lab7");
  EXPECT_STREQ(rest, "GPIB0::INSTR");
  expr = "visa://lab7";
  std::strcpy(host, "stale");
  EXPECT_EQ(visaIsRsrcExprRemote(expr, host, &rest), 0);
  EXPECT_STREQ(host, "");
  EXPECT_EQ(rest, expr + 7);
  expr = "//lab7";
  EXPECT_EQ(visaIsRsrcExprRemote(expr, host, &rest), 0);
  EXPECT_STREQ(rest, "lab7");
  expr = "visa:/GPIB0::INSTR";
  EXPECT_EQ(visaIsRsrcExprRemote(expr, host, &rest), 0);
  EXPECT_EQ(rest, expr);
  expr = "/lab7/GPIB0";
  EXPECT_EQ(visaIsRsrcExprRemote(expr, host, &rest), 0);
  EXPECT_EQ(rest, expr);
  expr = "visa:///GPIB0";
  EXPECT_EQ(visaIsRsrcExprRemote(expr, host, &rest), 1);
  EXPECT_STREQ(host, "");
  EXPECT_STREQ(rest, "GPIB0");
  EXPECT_EQ(visaIsRsrcExprRemote("visa://h/x", nullptr, nullptr), 1);
  EXPECT_EQ(visaIsRsrcExprRemote("visa", host, &rest), 0);
  EXPECT_EQ(visaIsRsrcExprRemote(nullptr, host, &rest), 0);
  EXPECT_EQ(rest, nullptr);
  EXPECT_STREQ(host, "");
}

// ----------------------------------------------------------------- resources

zyvisa::match::ScratchAllocFn g_real_alloc = nullptr;
int g_allocations_left = 0;
void* FailingAlloc(size_t bytes) noexcept {
  if (g_allocations_left-- <= 0) return nullptr;
  return g_real_alloc(bytes);
}

// Every heap block of a call is refused in turn; each refusal is reported and
// leaves nothing behind (the leak checker of the sanitizer build watches).
TEST(RsrcExprResources, OutOfMemoryAtEveryAllocation) {
  // Large enough for every buffer to leave the stack.
  std::string pattern = "((GPIB|VXI)?*INSTR";
  while (pattern.size() < 4000) pattern += "|(GPIB|VXI)?*INSTR";
  pattern += ")";
  const std::string name = "VXI0::1::INSTR";
  g_real_alloc = zyvisa::match::SetScratchAllocatorForTesting(&FailingAlloc);
  for (int allowed = 0; allowed < 8; ++allowed) {
    g_allocations_left = allowed;
    rsrc::Pattern p;
    const int32_t status = CompileStatus(pattern, &p);
    if (status == 0) {
      const int32_t r = rsrc::MatchName(p, name.data(), name.size());
      EXPECT_TRUE(r == 1 || r == rsrc::kNoMemory) << allowed;
    } else {
      EXPECT_EQ(status, rsrc::kNoMemory) << allowed;
      EXPECT_EQ(p.first(), nullptr);
    }
    g_allocations_left = allowed;
    const ViStatus s = Match(pattern, name);
    EXPECT_TRUE(s == VI_SUCCESS || s == VI_ERROR_INV_EXPR) << allowed;
  }
  zyvisa::match::SetScratchAllocatorForTesting(g_real_alloc);
  EXPECT_EQ(Match(pattern, name), VI_SUCCESS);
}

// Calls share nothing: many threads matching at once get the answers one
// thread gets (and the thread sanitizer build sees no race).
TEST(RsrcExprResources, ConcurrentCalls) {
  const struct {
    const char* expression;
    const char* name;
    ViStatus status;
  } cases[] = {
      {"?*INSTR", "GPIB0::1::INSTR", VI_SUCCESS},
      {"(GPIB|VXI)?*INSTR", "ASRL1::INSTR", VI_ERROR_RSRC_NFOUND},
      {"(A|AA)*B", "AAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAA", VI_ERROR_RSRC_NFOUND},
      {"[b-a]", "A", VI_ERROR_INV_EXPR},
  };
  std::vector<std::thread> threads;
  std::vector<int> failures(4, 0);
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < 2000; ++i) {
        const auto& c = cases[(i + t) % 4];
        ViBoolean attribute = 0;
        if (visaMatchRsrcExpr(1, c.expression, c.name, &attribute) != c.status) ++failures[t];
      }
    });
  }
  for (auto& thread : threads) thread.join();
  for (int f : failures) EXPECT_EQ(f, 0);
}

}  // namespace
