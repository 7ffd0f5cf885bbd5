// The attribute-expression language against hand-made attribute lists: what
// binds how, where signed and unsigned values meet, the string token's
// cut-back rule, type errors that no "||" can hide, and every syntax error.
#include <gtest/gtest.h>

#include <cstring>
#include <deque>
#include <string>
#include <vector>

#include "match/attr_expr_language.h"

namespace {

using zyvisa::match::AttrRecord;
using zyvisa::match::EvaluateAttrExpr;
using zyvisa::match::kAttrSigned;
using zyvisa::match::kAttrString;
using zyvisa::match::kAttrUnsigned;

class AttrList {
 public:
  AttrList& Signed(const char* name, int64_t value) {
    return Add(name, kAttrSigned).SetNumber(static_cast<uint64_t>(value));
  }
  AttrList& Unsigned(const char* name, uint64_t value) {
    return Add(name, kAttrUnsigned).SetNumber(value);
  }
  AttrList& Text(const char* name, const std::string& value) {
    texts_.push_back(value);
    Add(name, kAttrString);
    records_.back().value.text = texts_.back().c_str();
    return *this;
  }
  // Evaluates the attribute part as the caller hands it over: line feed last.
  int Eval(const std::string& expr) const { return EvalRaw(expr + "\n"); }
  int EvalRaw(const std::string& text) const {
    return EvaluateAttrExpr(text, records_.data(), records_.size());
  }

 private:
  AttrList& Add(const char* name, uint32_t flags) {
    AttrRecord r{};
    std::strncpy(r.name, name, sizeof(r.name) - 1);
    r.type_flags = flags;
    records_.push_back(r);
    return *this;
  }
  AttrList& SetNumber(uint64_t v) {
    records_.back().value.number = v;
    return *this;
  }
  std::vector<AttrRecord> records_;
  std::deque<std::string> texts_;  // stable addresses for the records
};

struct Case {
  const char* expr;
  int expected;
};

void ExpectAll(const AttrList& list, const std::vector<Case>& cases) {
  for (const Case& c : cases) EXPECT_EQ(list.Eval(c.expr), c.expected) << c.expr;
}

TEST(AttrExprLanguage, OrBindsLooserThanAndAndNotTighterStill) {
  AttrList list;
  list.Unsigned("VI_ATTR_INTF_NUM", 0).Unsigned("VI_ATTR_INTF_TYPE", 1);
  ExpectAll(list, {
      // first or (second and third); the other grouping would give 0
      {"VI_ATTR_INTF_NUM==0 || VI_ATTR_INTF_NUM==1 && VI_ATTR_INTF_TYPE==5", 1},
      {"VI_ATTR_INTF_NUM==1 && VI_ATTR_INTF_TYPE==5 || VI_ATTR_INTF_NUM==0", 1},
      {"(VI_ATTR_INTF_NUM==0 || VI_ATTR_INTF_NUM==1) && VI_ATTR_INTF_TYPE==5", 0},
      {"VI_ATTR_INTF_NUM==1 && (VI_ATTR_INTF_TYPE==5 || VI_ATTR_INTF_NUM==0)", 0},
      // "!" applies to one comparison, not to what "&&" or "||" join
      {"!VI_ATTR_INTF_NUM==0", 0},
      {"!VI_ATTR_INTF_NUM==1", 1},
      {"!VI_ATTR_INTF_NUM==1 && VI_ATTR_INTF_TYPE==0", 0},
      {"!VI_ATTR_INTF_NUM==0 || VI_ATTR_INTF_TYPE==1", 1},
      {"!(VI_ATTR_INTF_NUM==0 || VI_ATTR_INTF_TYPE==0)", 0},
      {"!!VI_ATTR_INTF_NUM==0", 1},
      {"!!!VI_ATTR_INTF_NUM==0", 0},
      {"! ! (VI_ATTR_INTF_NUM==0)", 1},
      // chains of one operator read left to right
      {"VI_ATTR_INTF_NUM==1 || VI_ATTR_INTF_NUM==2 || VI_ATTR_INTF_TYPE==1", 1},
      {"VI_ATTR_INTF_NUM==0 && VI_ATTR_INTF_TYPE==1 && VI_ATTR_INTF_NUM!=0", 0},
      {"((((VI_ATTR_INTF_NUM==0))))", 1},
  });
}

TEST(AttrExprLanguage, UnsignedRecordsCompareAsUnsigned64) {
  AttrList list;
  list.Unsigned("U16", 0xFFFF).Unsigned("U32", 0xFFFFFFFFu).Unsigned("Z", 0);
  ExpectAll(list, {
      // -1 widens to all ones, which no unsigned 16-bit value exceeds
      {"U16>-1", 0}, {"U16<-1", 1}, {"U16!=-1", 1},
      {"U16==65535", 1}, {"U16==0xFFFF", 1}, {"U16==0xffff", 1}, {"U16==0177777", 1},
      {"U16<0x10000", 1}, {"U16<=65535", 1}, {"U16>=65535", 1}, {"U16>65535", 0},
      // 4294967295 does not fit a 32-bit signed constant: constants saturate
      {"U32==4294967295", 0}, {"U32==0xFFFFFFFF", 0}, {"U32>0xFFFFFFFF", 1},
      {"U32>2147483647", 1}, {"U32==-1", 0},
      {"Z>=0", 1}, {"Z<=0", 1}, {"Z>-2147483648", 0}, {"Z<-2147483648", 1},
  });
}

TEST(AttrExprLanguage, SignedRecordsCompareAsSigned64) {
  AttrList list;
  list.Signed("S8", -1).Signed("MAX", 2147483647).Signed("MIN", -2147483647 - 1);
  ExpectAll(list, {
      {"S8==-1", 1}, {"S8<0", 1}, {"S8>-2", 1}, {"S8<=-1", 1}, {"S8>=-1", 1}, {"S8<-1", 0},
      {"S8>0xFFFF", 0}, {"S8==0xFFFFFFFF", 0},
      // out-of-range constants become the nearest 32-bit value
      {"MAX==0x80000000", 1}, {"MAX==2147483648", 1}, {"MAX==0x7FFFFFFF", 1},
      {"MAX==99999999999999999999999999", 1}, {"MAX==0xFFFFFFFFFFFFFFFFFFFF", 1},
      {"MIN==-2147483648", 1}, {"MIN==-2147483649", 1}, {"MIN==-99999999999999999999", 1},
      {"MIN<-2147483647", 1},
  });
}

TEST(AttrExprLanguage, ConstantsTakeTheirBaseFromTheirPrefix) {
  AttrList list;
  list.Signed("N", 8).Signed("Z", 0).Signed("H", 31).Signed("M", -8);
  ExpectAll(list, {
      {"N==010", 1}, {"N==8", 1}, {"N==0x8", 1}, {"N==0X08", 1},
      {"Z==08", 1}, {"Z==09", 1}, {"Z==0", 1}, {"Z==-0", 1}, {"Z==000", 1},
      {"H==0x1f", 1}, {"H==0X1F", 1}, {"H==037", 1},
      {"M==-010", 1}, {"M==-8", 1},
      // hexadecimal takes no sign: -0 followed by the name x10
      {"M==-0x10", -1}, {"Z==-0x10", -1},
      // "0x" without a digit is the number 0 followed by a name
      {"Z==0x", -1}, {"Z==0xG", -1},
      {"N==8x", -1}, {"N==- 8", -1},
  });
}

TEST(AttrExprLanguage, StringsCompareExactly) {
  AttrList list;
  list.Text("VI_ATTR_RSRC_NAME", "GPIB0::1::INSTR").Text("E", "").Text("Q", "a b\t");
  ExpectAll(list, {
      {"VI_ATTR_RSRC_NAME==\"GPIB0::1::INSTR\"", 1},
      {"VI_ATTR_RSRC_NAME!=\"GPIB0::1::INSTR\"", 0},
      // case matters, and "!=" does not depend on sort order
      {"VI_ATTR_RSRC_NAME==\"gpib0::1::instr\"", 0},
      {"VI_ATTR_RSRC_NAME!=\"gpib0::1::instr\"", 1},
      {"VI_ATTR_RSRC_NAME!=\"ASRL1::INSTR\"", 1},
      {"VI_ATTR_RSRC_NAME!=\"TCPIP0::host::INSTR\"", 1},
      {"VI_ATTR_RSRC_NAME==\"GPIB0::1::INSTR \"", 0},
      {"VI_ATTR_RSRC_NAME==\"GPIB0::1::INST\"", 0},
      {"Q==\"a b\t\"", 1},
      // the string token ends at the first closing quote
      {"VI_ATTR_RSRC_NAME==\"x\" || VI_ATTR_RSRC_NAME==\"GPIB0::1::INSTR\"", 1},
      {"VI_ATTR_RSRC_NAME==\"GPIB0::1::INSTR\" && E!=\"x\"", 1},
      // "" is the empty string only when a quoted text follows on the line
      {"E==\"\" && Q==\"a b\t\"", 1},
      {"E==\"\" || Q==\"x\"", 1},
      {"E!=\"\" || Q==\"x\"", 0},
      {"E==\"\"", -1},
      {"E==\"\" ", -1},
      // a quote in the middle of a string cuts it: the rest is left over
      {"Q==\"a\"b\"", -1},
      // unterminated, or ended only by a later line
      {"Q==\"a b", -1},
      {"Q==\"a b\n\"", -1},
      {"Q==\"", -1},
      // strings take only "==" and "!="
      {"Q<\"a\"", -1}, {"Q>=\"a\"", -1},
  });
}

TEST(AttrExprLanguage, MixedTypesMakeTheWholeExpressionInvalid) {
  AttrList list;
  list.Unsigned("VI_ATTR_INTF_NUM", 0).Text("VI_ATTR_RSRC_NAME", "GPIB0::1::INSTR");
  ExpectAll(list, {
      {"VI_ATTR_INTF_NUM==\"0\"", -1},
      {"VI_ATTR_INTF_NUM!=\"0\"", -1},
      // no operand is skipped, so the error shows however the rest turns out
      {"VI_ATTR_INTF_NUM==0 || VI_ATTR_INTF_NUM==\"0\"", -1},
      {"VI_ATTR_INTF_NUM==1 && VI_ATTR_INTF_NUM==\"0\"", -1},
      {"!(VI_ATTR_INTF_NUM==\"0\")", -1},
      // a string attribute compared with a number is refused the same way
      {"VI_ATTR_RSRC_NAME==0", -1},
      {"VI_ATTR_INTF_NUM==0 || VI_ATTR_RSRC_NAME<5", -1},
  });
}

TEST(AttrExprLanguage, UnknownNamesAreFalseForEveryOperator) {
  AttrList list;
  list.Unsigned("VI_ATTR_INTF_NUM", 0);
  ExpectAll(list, {
      {"VI_ATTR_FOO==5", 0}, {"VI_ATTR_FOO!=5", 0}, {"VI_ATTR_FOO<5", 0},
      {"VI_ATTR_FOO>5", 0}, {"VI_ATTR_FOO<=5", 0}, {"VI_ATTR_FOO>=5", 0},
      {"VI_ATTR_FOO==\"x\"", 0}, {"VI_ATTR_FOO!=\"x\"", 0},
      {"!(VI_ATTR_FOO==5)", 1}, {"!VI_ATTR_FOO!=5", 1},
      {"VI_ATTR_FOO==5 || VI_ATTR_INTF_NUM==0", 1},
      // keywords do not exist: AND is a name
      {"AND==1", 0},
      // names match without regard to case, the first record first
      {"vi_attr_intf_num==0", 1}, {"Vi_Attr_Intf_Num<1", 1},
  });
  AttrList twice;
  twice.Signed("A", 1).Signed("a", 2);
  EXPECT_EQ(twice.Eval("a==1"), 1);
  EXPECT_EQ(twice.Eval("A==2"), 0);
  // An empty list knows no name at all.
  EXPECT_EQ(EvaluateAttrExpr("A==1\n", nullptr, 0), 0);
}

TEST(AttrExprLanguage, BlanksAndTabsMayStandBetweenAnyTokens) {
  AttrList list;
  list.Signed("A", 0).Signed("B", 1);
  ExpectAll(list, {
      {" \t A \t== \t0 \t&&\tB\t!=\t0 \t", 1},
      {"A==0&&B==1||!(A==1)", 1},
      {"\t(\tA\t<\t1\t)\t", 1},
      {"!\t\tA==1", 1},
      // but they split two-character operators
      {"A= =0", -1}, {"A< =1", -1}, {"A! =1", -1}, {"A==0 & & B==1", -1}, {"A==0 | | B==1", -1},
  });
  // Blanks and tabs after the line feed are skipped too; anything else is not.
  EXPECT_EQ(list.EvalRaw("A==0\n \t "), 1);
  EXPECT_EQ(list.EvalRaw("A==0\nB==1\n"), -1);
  EXPECT_EQ(list.EvalRaw("A==0\n\n"), -1);
  EXPECT_EQ(list.EvalRaw("A==0\n)"), -1);
}

TEST(AttrExprLanguage, EverySyntaxErrorIsInvalid) {
  AttrList list;
  list.Signed("A", 0).Text("S", "x");
  ExpectAll(list, {
      // the attribute stands left, the constant right
      {"0==A", -1}, {"\"x\"==S", -1}, {"A==A", -1}, {"A==B", -1},
      // missing or doubled parts
      {"", -1}, {"A", -1}, {"A==", -1}, {"==0", -1}, {"A 0", -1}, {"A===0", -1}, {"A=0", -1},
      {"A==0 A==0", -1}, {"A==0 0", -1}, {"A==0 ||", -1}, {"|| A==0", -1}, {"&& A==0", -1},
      {"A==0 && && A==0", -1}, {"!", -1}, {"A==0 !", -1}, {"A!", -1},
      // groups
      {"(A==0", -1}, {"A==0)", -1}, {"()", -1}, {"(A)==0", -1}, {"((A==0)", -1},
      // characters the language does not use
      {"_A==0", -1}, {"A==0;", -1}, {"A==0 | A==0", -1}, {"A==0 & A==0", -1},
      {"A==0}", -1}, {"{A==0", -1}, {"A==+1", -1}, {"A==0.5", -1}, {"A==-", -1},
      {"A==1e3", -1}, {"A=='x'", -1}, {"S==\"x\"\"", -1},
  });
  // Without the line feed the expression never ends.
  EXPECT_EQ(list.EvalRaw("A==0"), -1);
  EXPECT_EQ(list.EvalRaw(""), -1);
  EXPECT_EQ(list.EvalRaw("\n"), -1);
  // A zero byte is an ordinary character, not an end.
  EXPECT_EQ(list.EvalRaw(std::string("A==0\n\0", 6)), -1);
  EXPECT_EQ(list.EvalRaw(std::string("A==0\0\n", 6)), -1);
}

TEST(AttrExprLanguage, LongTokensAndDeepNestingStayBounded) {
  AttrList list;
  const std::string long_name(600, 'N');
  list.Signed("A", 0).Text("S", "x");
  // Tokens longer than 511 characters are scanned whole: a name that long is
  // unknown, a number saturates, a string differs from every attribute value.
  EXPECT_EQ(list.Eval(long_name + "==1 || A==0"), 1);
  EXPECT_EQ(list.Eval(long_name + "!=1"), 0);
  EXPECT_EQ(list.Eval("A<" + std::string(700, '9')), 1);
  EXPECT_EQ(list.Eval("A==" + std::string(700, '0')), 1);
  EXPECT_EQ(list.Eval("S!=\"" + std::string(600, 'x') + "\""), 1);
  EXPECT_EQ(list.Eval("A==0" + std::string(2000, ' ') + "&& A==0"), 1);
  // A thousand nested groups are fine; one more is refused rather than
  // risking the caller's stack.
  auto nested = [](int depth) {
    return std::string(depth, '(') + "A==0" + std::string(depth, ')');
  };
  EXPECT_EQ(list.Eval(nested(1000)), 1);
  EXPECT_EQ(list.Eval(nested(1001)), -1);
  EXPECT_EQ(list.Eval(std::string(100000, '(')), -1);
  // Negations do not nest on the stack.
  EXPECT_EQ(list.Eval(std::string(100000, '!') + "A==0"), 1);
  EXPECT_EQ(list.Eval(std::string(100001, '!') + "A==0"), 0);
}

}  // namespace
