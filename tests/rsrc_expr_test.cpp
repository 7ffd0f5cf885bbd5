// Resource expressions: compilation errors, deep nesting, matching rules the
// differential test cannot reach and the two exports' argument handling.
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

constexpr ViStatus kYes = VI_SUCCESS, kNo = VI_ERROR_RSRC_NFOUND, kBad = VI_ERROR_INV_EXPR;

// Rewrite and compile as the match does: 0 or the first failure.
int32_t CompileStatus(const std::string& pattern, rsrc::Pattern* out) {
  std::string rewritten(rsrc::RewriteCapacity(pattern.size()), '\0');
  size_t length = 0;
  if (rsrc::RewriteGroups(pattern.data(), pattern.size(), &rewritten[0], &length) < 0) {
    return rsrc::kNestedTooDeep;
  }
  rewritten.resize(length);
  return rsrc::Compile(rewritten.c_str(), out);
}

ViStatus Match(const std::string& expression, const std::string& name) {
  ViBoolean attribute = 0;
  return visaMatchRsrcExpr(1, expression.c_str(), name.c_str(), &attribute);
}

// ----------------------------------------------------------------- compiler

TEST(RsrcExprCompile, EveryErrorFromItsSmallestTrigger) {
  const struct { int32_t code; std::vector<const char*> patterns; } rows[] = {
      // The rewrite knows no escapes or lists, so the '|' in the last two
      // splits the group; the tokenizer sees the whole pattern first ('*[b-a').
      {rsrc::kUnbalanced, {")", "]", "A]", "(A", "[A", "[", "*[b-a", "(A\\|B)", "(A|[(])"}},
      {rsrc::kBadList, {"[[]", "[A-]", "[-A]", "[A-B-C]", "[^-A]"}},
      {rsrc::kTrailingEscape, {"\\", "A\\", "[A\\"}},
      {rsrc::kBadHexEscape, {"\\xZZ", "\\x4", "\\x", "\\x4G"}},
      {rsrc::kNothingToRepeat, {"*", "*A", "+A", "(*A)", "*[b-a]"}},
      {rsrc::kNothingBeforeBar, {"|", "|A"}},
      {rsrc::kNothingAfterBar, {"A|", "A||B", "A|*"}},
      {rsrc::kEmptyGroup, {"()", "A()"}},
      {rsrc::kReversedRange, {"[b-a]", "[\\x42-A]"}},
      {rsrc::kEmptyList, {"[]", "[^]"}},
      {rsrc::kEmptyPattern, {""}},
      // Nine levels may be open at once, ten may not; inserted ones do not count.
      {rsrc::kNestedTooDeep, {"((((((((((A))))))))))", "(((((((((A)))))))))((((((((((A))))))))))"}},
      {0, {"(((((((((A|B)))))))))", "\\)((((((((((A))))))))))"}},
  };
  for (const auto& row : rows) {
    for (const char* pattern : row.patterns) {
      rsrc::Pattern compiled;
      EXPECT_EQ(CompileStatus(pattern, &compiled), row.code) << pattern;
      EXPECT_EQ(compiled.first() == nullptr, row.code != 0) << pattern;
    }
  }
  rsrc::Pattern compiled;
  EXPECT_EQ(rsrc::Compile(nullptr, &compiled), rsrc::kNoPattern);
}

TEST(RsrcExprCompile, DeepNestingUsesNoMachineStack) {
  // Escaped parentheses hide depth from the rewrite's limit, so the parser can
  // meet any depth; long chains of operators nest as deep.
  std::string nested, bars = "A";
  for (int i = 0; i < 100000; ++i) nested += "(\\)", bars += "|B";
  rsrc::Pattern p;
  EXPECT_EQ(CompileStatus(nested + "A" + std::string(100000, ')'), &p), 0);
  EXPECT_EQ(Match(nested.substr(0, 3 * 254) + "A" + std::string(254, ')'),
                  std::string(254, ')') + "A"), kYes);
  EXPECT_EQ(Match("A" + std::string(200000, '*'), std::string(255, 'a')), kYes);
  EXPECT_EQ(Match(bars, "b"), kYes);
}

// ----------------------------------------------------------------- matching

// Every row also checks the attribute flag, which follows the first '{'.
const struct MatchRow { const char* expression, *name; ViStatus status; } kMatchRows[] = {
    // Case folding, escapes, lists, anchoring, bytes above 127, '|' in and out
    // of groups and repetitions meet a regular expression on random patterns
    // in the differential test; here what its patterns never hold: specials
    // and a non-leading '^' in a list, NUL, empty names and errors.
    {"[?*+|()]+", "|(?)*+", kYes}, {"[a^]", "^", kYes}, {"\\x00", "x", kNo},
    {"?*", "", kNo}, {"(", "", kBad}, {"([|])", "(", kYes},
    {"(A*)+B", "B", kYes}, {"X(A*|B)+Y", "XABBAY", kYes},
    // White space: trailing is cut, any other makes the expression invalid;
    // nothing after the first '{' is looked at.
    {"?*INSTR {VI_ATTR_INTF_NUM==0}", "GPIB0::1::INSTR", kYes},
    {"?*INSTR \t\r\n\v\f", "X::INSTR", kYes}, {"?* INSTR", "A INSTR", kBad},
    {" ?*INSTR", "X::INSTR", kBad}, {"?*\\x20", "A ", kYes},
    {"{VI_ATTR_INTF_NUM==0}", "GPIB0::1::INSTR", kBad}, {" \t{x}", "A", kBad}, {"   ", "A", kBad},
    {"GPIB?*{ (( ", "GPIB0", kYes}, {"(GPIB{|VXI)", "GPIB", kBad},
    // A remote prefix is skipped; the name is matched as given.
    {"visa://host1/GPIB?*", "host1/GPIB0::INSTR", kYes},
    {"visa://host1/GPIB?*", "GPIB0::INSTR", kNo}, {"ViSa:/GPIB?*", "GPIB0::INSTR", kYes},
    {"//GPIB?*", "GPIB0::INSTR", kYes}, {"///GPIB?*", "/GPIB0::INSTR", kYes},
    {"visa:", "VISA:", kYes}, {"visa://", "A", kBad}, {"/", "A", kBad},
};

TEST(RsrcExprMatch, Rules) {
  for (const MatchRow& row : kMatchRows) {
    SCOPED_TRACE(std::string("'") + row.expression + "' on '" + row.name + "'");
    ViBoolean attribute = 7;
    EXPECT_EQ(visaMatchRsrcExpr(1, row.expression, row.name, &attribute), row.status);
    EXPECT_EQ(attribute, std::strchr(row.expression, '{') ? 1 : 0);
  }
}

// Patterns that make plain backtracking take exponential time finish.
TEST(RsrcExprMatch, AdversarialPatternsFinish) {
  std::string stars;
  for (int i = 0; i < 60; ++i) stars += "?*A";
  stars += "X";
  const std::string as(255, 'A');
  for (const char* pattern : {"(A|AA)*B", "((A*)*|(A+)+)*(?*)*X", stars.c_str()}) {
    EXPECT_EQ(Match(pattern, as), kNo) << pattern;
  }
  EXPECT_EQ(Match("(?*)*X", std::string(254, 'A') + "X"), kYes);
  EXPECT_EQ(Match("(A|AA)*", as), kYes);
}

// ----------------------------------------------------------------- exports

TEST(RsrcExprExport, ArgumentChecksInOrder) {
  const std::string name255(255, 'x'), name256(256, 'x'), name4000(4000, 'x');
  ViBoolean attribute = 7;
  EXPECT_EQ(visaMatchRsrcExpr(0, nullptr, nullptr, nullptr), VI_ERROR_INV_OBJECT);
  EXPECT_EQ(visaMatchRsrcExpr(1, nullptr, name256.c_str(), &attribute), VI_ERROR_USER_BUF);
  EXPECT_EQ(visaMatchRsrcExpr(1, "?*", nullptr, &attribute), VI_ERROR_USER_BUF);
  EXPECT_EQ(visaMatchRsrcExpr(1, "?*", name256.c_str(), nullptr), VI_ERROR_USER_BUF);
  EXPECT_EQ(visaMatchRsrcExpr(1, "(", name256.c_str(), &attribute), VI_ERROR_INV_RSRC_NAME);
  EXPECT_EQ(visaMatchRsrcExpr(1, "?*{x}", name4000.c_str(), &attribute), VI_ERROR_INV_RSRC_NAME);
  EXPECT_EQ(attribute, 7);  // refused before the match: the flag is left alone
  EXPECT_EQ(Match("X+", name255), kYes);
  EXPECT_EQ(Match("?*Y", name255), kNo);
  EXPECT_EQ(visaMatchRsrcExpr(0xFFFFFFFFu, "?*", "A", &attribute), VI_SUCCESS);
}

TEST(RsrcExprExport, RemotePrefixForms) {
  // rest: where *rest points, as an offset into the expression.
  const struct { const char* text; ViBoolean remote; const char* host; size_t rest; } rows[] = {
      {"VISA://lab7/GPIB0::INSTR", 1, "lab7", 12}, {"//lab7/GPIB0::INSTR", 1, "lab7", 7},
      {"visa:///GPIB0", 1, "", 8},                 {"visa://lab7", 0, "", 7},
      {"//lab7", 0, "", 2},                        {"visa:/GPIB0::INSTR", 0, "", 0},
      {"/lab7/GPIB0", 0, "", 0},                   {"visa", 0, "", 0}, {nullptr, 0, "", 0},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.text);
    char host[64] = "stale";
    ViConstString rest = "stale";
    EXPECT_EQ(visaIsRsrcExprRemote(row.text, host, &rest), row.remote);
    EXPECT_STREQ(host, row.host);
    EXPECT_EQ(rest, row.text ? row.text + row.rest : nullptr);
    EXPECT_EQ(visaIsRsrcExprRemote(row.text, nullptr, nullptr), row.remote);
  }
}

// ----------------------------------------------------------------- resources

zyvisa::match::ScratchAllocFn g_real_alloc = nullptr;
int g_allocations_left = 0;
void* FailingAlloc(size_t bytes) noexcept {
  return g_allocations_left-- <= 0 ? nullptr : g_real_alloc(bytes);
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
  int refused = 0;
  for (int allowed = 0; allowed < 8; ++allowed) {
    g_allocations_left = allowed;
    rsrc::Pattern p;
    const int32_t status = CompileStatus(pattern, &p);
    const int32_t result = status == 0 ? rsrc::MatchName(p, name.data(), name.size()) : status;
    EXPECT_TRUE(result == 1 || result == rsrc::kNoMemory) << allowed;
    EXPECT_EQ(p.first() == nullptr, status != 0) << allowed;
    g_allocations_left = allowed;
    const ViStatus s = Match(pattern, name);
    EXPECT_TRUE(s == VI_SUCCESS || s == VI_ERROR_INV_EXPR) << allowed;
    refused += (result == rsrc::kNoMemory) + (s == VI_ERROR_INV_EXPR);
  }
  zyvisa::match::SetScratchAllocatorForTesting(g_real_alloc);
  EXPECT_GT(refused, 8);  // the loop reached the refusals it is for
  EXPECT_EQ(Match(pattern, name), VI_SUCCESS);
}

// Calls share nothing: threads going through the rules at once get the
// answers one thread gets (and the thread sanitizer build sees no race).
TEST(RsrcExprResources, ConcurrentCalls) {
  std::vector<std::thread> threads;
  std::vector<int> failures(4, 0);
  for (size_t t = 0; t < failures.size(); ++t) {
    threads.emplace_back([&failures, t] {
      for (int round = 0; round < 20; ++round) {
        for (const MatchRow& row : kMatchRows) {
          failures[t] += Match(row.expression, row.name) != row.status;
        }
      }
    });
  }
  for (auto& thread : threads) thread.join();
  for (int f : failures) EXPECT_EQ(f, 0);
}

}  // namespace
