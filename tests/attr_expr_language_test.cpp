// The attribute-expression language against one hand-made attribute list:
// what binds how, where signed and unsigned values meet, the string token's
// cut-back rule, type errors that no "||" can hide, and syntax errors.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <utility>
#include <vector>

#include "match/attr_expr_language.h"

namespace {

using namespace zyvisa::match;

constexpr int T = kAttrExprTrue, F = kAttrExprFalse, BAD = kAttrExprInvalid;

using Case = std::pair<std::string, int>;  // text, expected value

AttrRecord Record(const char* name, uint32_t flags, int64_t number, const char* text = nullptr) {
  AttrRecord r{};
  std::snprintf(r.name, sizeof(r.name), "%s", name);
  r.type_flags = flags;
  r.value.number = static_cast<uint64_t>(number);
  if (text != nullptr) r.value.text = text;
  return r;
}

class AttrExprLanguage : public ::testing::Test {
 protected:
  // Each case as the caller hands the attribute part over: with the closing
  // brace replaced by a line feed, unless the case is raw text.
  void Check(const std::vector<Case>& cases, const char* line_end = "\n") const {
    for (const auto& [text, expected] : cases) {
      SCOPED_TRACE(text);
      EXPECT_EQ(EvaluateAttrExpr(text + line_end, records_.data(), records_.size()), expected);
    }
  }

  const std::vector<AttrRecord> records_ = {
      Record("A", kAttrSigned, 0), Record("B", kAttrSigned, 1), Record("S", kAttrSigned, -1),
      Record("N", kAttrSigned, 8), Record("M", kAttrSigned, -8),
      Record("MAX", kAttrSigned, 0x7FFFFFFF), Record("MIN", kAttrSigned, -0x80000000LL),
      Record("U16", kAttrUnsigned, 0xFFFF), Record("U32", kAttrUnsigned, 0xFFFFFFFF),
      Record("Z", kAttrUnsigned, 0), Record("NAME", kAttrString, 0, "GPIB0::1::INSTR"),
      Record("E", kAttrString, 0, ""), Record("Q", kAttrString, 0, "a b\t"),
      // Names match without regard to case and the first record counts.
      Record("DUP", kAttrSigned, 1), Record("dup", kAttrSigned, 2),
  };
};

TEST_F(AttrExprLanguage, OrBindsLooserThanAndAndNotTighterStill) {
  Check({
      // The other grouping of each of these gives the opposite value.
      {"A==0 || A==1 && B==5", T}, {"(A==0 || A==1) && B==5", F}, {"A==1 && B==5 || A==0", T},
      {"!A==0", F}, {"!A==1 && B==0", F}, {"(!(A==0 || B==0))", F}, {"!!A==0", T},
      {"A==1 || A==2 || B==1", T}, {"A==0 && B==1 && A!=0", F},
      // Groups deeper than a thousand are refused rather than risking the
      // caller's stack; negations do not nest on it at all.
      {std::string(1000, '(') + "A==0" + std::string(1000, ')'), T},
      {std::string(1001, '(') + "A==0" + std::string(1001, ')'), BAD},
      {std::string(100000, '('), BAD}, {std::string(100001, '!') + "A==0", F},
  });
}

TEST_F(AttrExprLanguage, SignedAndUnsignedRecordsMeetConstantsAtTheEdges) {
  Check({
      // Constants are 32-bit signed; an unsigned record compares as unsigned
      // 64-bit, so -1 is above every value it can hold. One row per operator
      // at the edge where it differs from its neighbour.
      {"U16>-1", F}, {"U16<-1", T}, {"U16!=-1", T}, {"U16==0xffff", T}, {"U16<=65535", T},
      {"U16>=65535", T}, {"U16>65535", F}, {"Z>-2147483648", F}, {"S<0", T}, {"S>-2", T},
      {"S<-1", F}, {"S!=0xFFFFFFFF", T},
      // Out-of-range constants of any length saturate to the nearest 32-bit value.
      {"U32==4294967295", F}, {"U32>0xFFFFFFFF", T}, {"MAX==" + std::string(700, '9'), T},
      {"MAX==0xFFFFFFFFFFFFFFFFFFFF", T}, {"MIN==-99999999999999999999", T},
      // 0x is hexadecimal, another leading 0 octal; a digit outside the base
      // ends the constant, and a hexadecimal one takes no sign: -0x10 is -0
      // followed by the name x10.
      {"N==010", T}, {"N==0X08", T}, {"M==-010", T}, {"Z==08", T}, {"U16==0XfFfF", T},
      {"A==" + std::string(700, '0'), T}, {"M==-0x10", BAD}, {"Z==0x", BAD}, {"N==8x", BAD},
      {"N==- 8", BAD},
  });
}

TEST_F(AttrExprLanguage, StringsCompareExactlyAndEndAtTheFirstClosingQuote) {
  Check({
      {"NAME==\"GPIB0::1::INSTR\"", T}, {"NAME!=\"GPIB0::1::INSTR\"", F},
      {"NAME==\"gpib0::1::instr\"", F}, {"NAME==\"GPIB0::1::INSTR \"", F},
      {"NAME==\"GPIB0::1::INST\"", F}, {"Q==\"a b\t\"", T},
      // The longest quoted text runs to the line's last quote; it is cut back
      // to the first closing one and scanning resumes after it. So "" is the
      // empty string only when another quote follows on the line.
      {"NAME==\"x\" || NAME==\"GPIB0::1::INSTR\"", T}, {"E==\"\" && Q==\"a b\t\"", T},
      {"E!=\"\" || Q==\"x\"", F}, {"E==\"\"", BAD}, {"Q==\"a\"b\"", BAD}, {"Q==\"a b", BAD},
      {"Q==\"a b\n\"", BAD}, {"Q<\"a\"", BAD},
      // A string meets a number: invalid wherever it stands, as every operand
      // is evaluated whatever the others give.
      {"A==\"0\"", BAD}, {"A==0 || A==\"0\"", BAD}, {"A==1 && A==\"0\"", BAD}, {"NAME==0", BAD},
  });
}

TEST_F(AttrExprLanguage, UnknownNamesAreFalseForEveryOperatorAndNamesIgnoreCase) {
  Check({{"NONE!=5", F}, {"NONE!=\"x\"", F}, {"!(NONE==5)", T}, {"NONE==5 || A==0", T},
         {"dup==1", T}});
  EXPECT_EQ(EvaluateAttrExpr("A==0\n", nullptr, 0), F);
}

TEST_F(AttrExprLanguage, BlanksTabsTheLineFeedAndSyntaxErrors) {
  Check({
      {" \t A \t== \t0 \t&&\tB\t!=\t0 \t", T}, {"A==0&&B==1||!(A==1)", T},
      // Blanks end a two-character operator; the attribute stands left and a
      // constant right, each exactly once; characters without a use.
      {"A= =0", BAD}, {"A==0 & & B==1", BAD}, {"0==A", BAD}, {"A==B", BAD}, {"A", BAD},
      {"A==", BAD}, {"A=0", BAD}, {"A==0 0", BAD}, {"A==0 ||", BAD}, {"!", BAD}, {"(A==0;", BAD},
      {"A==0)", BAD}, {"()", BAD}, {"(A)==0", BAD}, {"_A==0", BAD}, {"A==0 | A==0", BAD},
      {"A==+1", BAD}, {"A==0.5", BAD}, {"A==-", BAD},
  });
  // Only blanks and tabs may follow the line feed, and without it the
  // expression never ends; a zero byte is an ordinary character.
  Check({{"A==0\n \t ", T}, {"A==0\nB==1\n", BAD}, {"A==0", BAD},
         {std::string("A==0\n\0", 6), BAD}, {std::string("A==0\0\n", 6), BAD}},
        "");
}

}  // namespace
