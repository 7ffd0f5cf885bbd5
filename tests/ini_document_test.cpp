// The configuration-file parser: encodings, line ends, syntax, merging,
// continuation keys and lookups, on files written byte for byte.
#include "ini/ini_document.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

namespace zyvisa::ini {
namespace {

// The configuration store's settings.
constexpr uint32_t kStore = kIniStripDoubleQuotes | kIniStripSingleQuotes;
constexpr uint32_t kRelaxed = kStore | kIniRelaxedSyntax;

int32_t LoadBytes(IniDocument& doc, const std::string& bytes) {
  std::FILE* f = std::tmpfile();
  EXPECT_EQ(std::fwrite(bytes.data(), 1, bytes.size(), f), bytes.size());
  std::rewind(f);
  const int32_t r = doc.Load(f);
  std::fclose(f);
  return r;
}

// The whole document as "[S]k=v;k=v;|[T]...|", or "error N".
std::string Parse(const std::string& bytes, uint32_t options = kStore) {
  IniDocument doc(true, false, options);
  const int32_t r = LoadBytes(doc, bytes);
  if (r != 0) return "error " + std::to_string(r);
  std::string out;
  for (const IniSection& s : doc.sections()) {
    out += "[" + std::string(s.name) + "]";
    for (const IniKey& k : s.keys) out += std::string(k.name) + "=" + std::string(k.value) + ";";
    out += "|";
  }
  return out;
}

std::string Value(IniDocument& doc, std::string_view section, std::string_view key) {
  const IniSection* s = doc.FindSection(section);
  if (s == nullptr) return "<no section>";
  const IniKey* k = doc.FindKey(*s, key);
  return k == nullptr ? "<no key>" : std::string(k->value);
}

struct Case {
  std::string text, expected;
  uint32_t options = kStore;
};

void ExpectParses(const std::vector<Case>& cases) {
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::PrintToString(c.text));
    EXPECT_EQ(Parse(c.text, c.options), c.expected);
  }
}

TEST(IniParser, ByteOrderMarks) {
  ExpectParses({
      {"\xEF\xBB\xBF[S]\nx=1\n", "[S]x=1;|"}, {"\xEF\xBB\xBF", ""},
      {"[S]\nx=\xEF\xBB\xBF\n", "[S]x=\xEF\xBB\xBF;|"},  // a mark counts at the start only
      // UTF-16 and UTF-32 marks refuse the file, even when the rest is plain text.
      {"\xFF\xFE[S]\nx=1\n", "error -3"}, {"\xFE\xFF[S]\nx=1\n", "error -3"},
      {std::string("\0\0\xFE\xFF[S]\n", 8), "error -3"},
      {"\xFF\xFE", "error -3"}, {"", ""}, {"\xFF", ""},  // files of 0 and 1 byte are empty
  });
}

// Lines are read in capacity steps of 255, 511, 1023, ... characters; at each
// step the next character is checked like the first of a new line, so a line
// end there that differs from the one before is taken as the second half of
// a pair and the line runs on.
TEST(IniParser, LineEnds) {
  using namespace std::string_literals;
  for (const std::string& end : {"\r\n"s, "\n"s, "\r"s, "\n\r"s, "\0"s}) {
    SCOPED_TRACE(testing::PrintToString(end));
    std::string text;
    for (const char* line : {"[S]", "a=1", "", "b=2", "[T]", "c=3"}) text += line + end;
    EXPECT_EQ(Parse(text), "[S]a=1;b=2;|[T]c=3;|");
    EXPECT_EQ(Parse(text.substr(0, text.size() - end.size())), "[S]a=1;b=2;|[T]c=3;|");
  }
  const std::string v252(252, 'v'), v253(253, 'v'), at_step = "k=" + v253;  // 255 characters
  ExpectParses({
      {"[S]\n" + at_step + '\0' + "y=2\n", "[S]k=" + v253 + "y=2;|"},
      {"[S]\nk=" + v252 + "\ry=2\n", "[S]k=" + v252 + ";y=2;|"},
      {"[S]\r" + at_step + "\ry=2\r", "[S]k=" + v253 + ";y=2;|"},  // the same line end
      // Before the first line end the one remembered is NUL.
      {at_step + "\n[S]\nx=1\n", "[(null)]k=" + v253 + "[S];x=1;|", kRelaxed},
      // Grown capacity stays grown: the next step is at 511.
      {"[S]\nk=" + std::string(300, 'v') + "\nm=" + std::string(509, 'w') + "\ry=2\n",
       "[S]k=" + std::string(300, 'v') + ";m=" + std::string(509, 'w') + "y=2;|"},
  });
}

// Files are read in chunks: wherever a chunk ends (inside a CR LF pair, a
// long line, a capacity step) the document is the same.
TEST(IniParser, LongLinesAcrossChunkBoundaries) {
  std::string body = "[S]\r\n", expected = "[S]";
  auto add = [&](const std::string& key, const std::string& value, const std::string& end) {
    body += key + "=" + value + end;
    expected += key + "=" + value + ";";
  };
  for (int i = 0; body.size() < 1800; ++i) add("k" + std::to_string(i), "v", "\r\n");
  add("long", std::string(250, 'x'), "\r\n");  // 255 characters: at a step
  add("longer", std::string(600, 'y'), "\n\r");
  add("huge", std::string(5000, 'a'), "\n");
  add("next", std::string(3000, 'b'), "\n");
  for (int i = 0; i < 40; ++i) add("m" + std::to_string(i), "w", std::string(1, '\0'));
  expected += "|";
  for (size_t pad = 0; pad < 240; ++pad) {
    ASSERT_EQ(Parse(";" + std::string(pad, 'p') + "\r\n" + body), expected) << "padding " << pad;
  }
}

TEST(IniParser, Syntax) {
  ExpectParses({
      {"  [  VISA-CONFIG  ] trailing ; text\nx=1\n[a]b]\nx=2\n[[c]\ny=3\n",
       "[VISA-CONFIG]x=1;|[a]x=2;|[[c]y=3;|"},
      // Unreadable headers leave the keys after them in the section before;
      // keys before the first header are dropped.
      {"x=1\n[A]\nx=1\n[]\ny=2\n[   ]\nz=3\n[open\nw=4\n", "[A]x=1;y=2;z=3;w=4;|"},
      {"[S]\nempty=\nblank=   \t\n=1\n  = 2\nno separator\n#x=1\n; x=2\n  ;x=3\n", "[S]#x=1;|"},
      {"[S]\n  a b \t=  c = d ; not a comment  \n", "[S]a b=c = d ; not a comment;|"},
      {"[S]\nC:\\dir=x\nk: v\n", "[S]C:\\dir=x;|"},
      {"[S]\nk=\xA0v\xA0\n\v\fw\v=\fv\v\n", "[S]k=\xA0v\xA0;w=v;|"},  // 0xA0 is no space
      {"[S]\na=\"  spaced  \"\nb=\"\nc='x\"\nd='single'\ne=\"\"\nf=\"a\"b\"\ng=\"'x'\"\n",
       "[S]a=  spaced  ;b=\";c='x\";d=single;e=;f=a\"b;g='x';|"},
      {"[S]\na=\"x\"\nb='y'\n", "[S]a=\"x\";b=y;|", kIniStripSingleQuotes},
      {"top: 1\n[S]\na:=b\nc=:d\ne:f=g\n", "[(null)]top=1;|[S]a=b;c=:d;e=f=g;|", kRelaxed},
      {"[S]\nx=\ny=1\n=\n", "[S]x=;y=1;|", kIniAcceptEmptyValues},
  });
}

TEST(IniParser, Merging) {
  // A replaced key keeps its place and its name as first written.
  EXPECT_EQ(Parse("[A]\nKey=1\nother=2\n[a]\n KEY =3\n"), "[A]Key=3;other=2;|");
  // Past a few dozen names sections and keys are indexed: merging must still
  // find every earlier spelling, in whatever order the file reopens them.
  std::string text = "[Big]\n", expected = "[Big]";
  for (int k = 0; k < 2000; ++k) {
    text += "Key" + std::to_string(k) + "=first\n";
    expected += "Key" + std::to_string(k) + (k % 2 ? "=second;" : "=first;");
  }
  expected += "|";
  for (int s = 0; s < 3000; ++s) {
    const std::string n = std::to_string((s * 7919) % 3000);
    text += "[Section" + n + "]\nfirst=" + n + "\n";
    expected += "[Section" + n + "]first=" + n + ";n=" + n + ";|";
  }
  for (int s = 2999; s >= 0; --s) {
    text += "[ SECTION" + std::to_string(s) + "]\nn=" + std::to_string(s) + "\n";
  }
  text += "[BIG]\n";
  for (int k = 1999; k >= 0; k -= 2) text += " key" + std::to_string(k) + " =second\n";
  EXPECT_EQ(Parse(text), expected);
}

TEST(IniParser, ContinuationKeys) {
  const std::string s255(255, 's'), s256(256, 's');
  ExpectParses({
      {"[S]\nA Line1=abc\nA Line2=def\nA Line3=ghi\n", "[S]A=abcdefghi;|"},
      {"[S]\nA Line1=x\nOther=y\nA Line2=z\n", "[S]A=x;Other=y;A Line2=z;|"},
      // Stems and numbers of later keys are not checked; a key numbered 1
      // starts the next group.
      {"[S]\nA Line1=x\nB Line3=y\nA Line0=z\n", "[S]A=xyz;|"},
      {"[S]\nA Line1=x\nA Line2=y\nB Line1=z\nB Line2=w\nC Line01=v\n", "[S]A=xy;B=zw;C=v;|"},
      // Lone keys: numbered 1 takes its stem, otherwise keeps its name.
      {"[S]\nA Line2=x\nA Line3=y\n", "[S]A Line2=x;A Line3=y;|"},
      // The first " Line", digits to the end, a 32-bit number, case as written.
      {"[S]\nA Line Line1=x\nB line1=y\nC Line1x=z\nD Line=w\n",
       "[S]A Line Line1=x;B line1=y;C Line1x=z;D Line=w;|"},
      {"[S]\nA Line1=x\nA Line2147483648=y\n[T]\nA Line1=x\nA Line2147483647=y\n",
       "[S]A=x;A Line2147483648=y;|[T]A=xy;|"},
      // Joined after merging, per section; quotes were stripped per part.
      {"[S]\nA Line1=\"a \"\n[T]\nA Line2=no\n[s]\nA Line2=\" b\"\n", "[S]A=a  b;|[T]A Line2=no;|"},
      // A stem too long for a joined name leaves the group as it is.
      {"[S]\n" + s255 + " Line1=a\n" + s255 + " Line2=b\n" + s256 + " Line1=c\n" + s256 +
           " Line2=d\n",
       "[S]" + s255 + "=ab;" + s256 + " Line1=c;" + s256 + " Line2=d;|"},
  });
}

TEST(IniParser, LookupsAndReloads) {
  IniDocument doc(true, false, kStore);
  ASSERT_EQ(LoadBytes(doc, "[VISA-CONFIG]\nMaxNumResources=7\n[B]\nk=1\n"), 0);
  EXPECT_EQ(Value(doc, " visa-config ", "\tmaxnumresources "), "7");
  EXPECT_EQ(Value(doc, "VISA-CONFIG", "Max NumResources"), "<no key>");
  EXPECT_EQ(Value(doc, "b", "K"), "1");
  // A reload leaves nothing of the earlier file, not even the section last
  // found; nor does a failed one.
  ASSERT_EQ(LoadBytes(doc, "[C]\nz=3\n"), 0);
  EXPECT_EQ(Value(doc, "B", "k"), "<no section>");
  // A folder: reading from it fails. (Windows will not open one at all.)
  if (std::FILE* f = std::fopen(".", "rb")) {
    EXPECT_EQ(doc.Load(f), kIniReadError);
    std::fclose(f);
    EXPECT_EQ(Value(doc, "C", "z"), "<no section>");
  }
  // Case-sensitive names compare byte for byte; without merging the first
  // of repeated sections and keys is found.
  IniDocument exact(false, true, kStore);
  ASSERT_EQ(LoadBytes(exact, "[Sec]\nKey=1\nKey=5\n[sec]\nkey=2\n[Sec]\nlate=3\n"), 0);
  EXPECT_EQ(Value(exact, "Sec", "Key"), "1");
  EXPECT_EQ(Value(exact, "sec", "Key"), "<no key>");
  EXPECT_EQ(Value(exact, "Sec", "late"), "<no key>");
}

}  // namespace
}  // namespace zyvisa::ini
