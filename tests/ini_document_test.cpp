// The configuration-file parser: encodings, line ends, syntax, merging,
// continuation keys and lookups, on files written byte for byte.
#include "config/ini_document.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "support/test_machine.h"

namespace zyvisa::config {
namespace {

// The configuration store's settings.
constexpr uint32_t kStoreOptions = kIniStripDoubleQuotes | kIniStripSingleQuotes;

int32_t LoadBytes(IniDocument& doc, const std::string& bytes) {
  std::FILE* f = std::tmpfile();
  EXPECT_NE(f, nullptr);
  EXPECT_EQ(std::fwrite(bytes.data(), 1, bytes.size(), f), bytes.size());
  std::rewind(f);
  const int32_t r = doc.Load(f);
  std::fclose(f);
  return r;
}

// "[S]k=v;k=v|[T]..." in document order, for comparing whole documents.
std::string Dump(const IniDocument& doc) {
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

struct StoreDoc : IniDocument {
  StoreDoc() : IniDocument(true, false, kStoreOptions) {}
};

std::string Parse(const std::string& bytes, bool merge = true, bool case_sensitive = false,
                  uint32_t options = kStoreOptions) {
  IniDocument doc(merge, case_sensitive, options);
  const int32_t r = LoadBytes(doc, bytes);
  return r == 0 ? Dump(doc) : "error " + std::to_string(r);
}

TEST(IniEncoding, ByteOrderMarks) {
  EXPECT_EQ(Parse("\xEF\xBB\xBF[S]\nx=1\n"), "[S]x=1;|");
  EXPECT_EQ(Parse("\xEF\xBB\xBF"), "");
  // A UTF-16 mark refuses the file even when the rest is plain text.
  EXPECT_EQ(Parse("\xFF\xFE[S]\nx=1\n"), "error -3");
  EXPECT_EQ(Parse("\xFE\xFF[S]\nx=1\n"), "error -3");
  EXPECT_EQ(Parse(std::string("\xFF\xFE\0\0", 4)), "error -3");
  EXPECT_EQ(Parse(std::string("\0\0\xFE\xFF[S]\n", 8)), "error -3");
  EXPECT_EQ(Parse("\xFF\xFE"), "error -3");
  // Files of 0 and 1 byte are empty documents.
  EXPECT_EQ(Parse(""), "");
  EXPECT_EQ(Parse("\xFF"), "");
  // The mark only counts at the very start.
  EXPECT_EQ(Parse("[S]\nx=\xEF\xBB\xBF\n"), "[S]x=\xEF\xBB\xBF;|");
}

TEST(IniLines, EveryLineEndStyleGivesTheSameKeys) {
  const std::string expected = "[S]a=1;b=2;|[T]c=3;|";
  for (const char* end : {"\r\n", "\n", "\r", "\n\r"}) {
    std::string text;
    for (const char* line : {"[S]", "a=1", "", "b=2", "[T]", "c=3"}) text += std::string(line) + end;
    EXPECT_EQ(Parse(text), expected) << "line end " << static_cast<int>(end[0]);
    // Without a line end after the last line.
    EXPECT_EQ(Parse(text.substr(0, text.size() - std::strlen(end))), expected);
  }
  EXPECT_EQ(Parse(std::string("[S]\0a=1\0\0b=2", 12)), "[S]a=1;b=2;|");
  EXPECT_EQ(Parse(std::string("[S]\na=1\0junk\nb=2\n", 17)), "[S]a=1;b=2;|");
}

TEST(IniLines, LongLinesAreReadWhole) {
  const std::string value(5000, 'v');
  StoreDoc doc;
  ASSERT_EQ(LoadBytes(doc, "[S]\r\nlong=" + value + "\r\nafter=1\r\n"), 0);
  EXPECT_EQ(Value(doc, "S", "long"), value);
  EXPECT_EQ(Value(doc, "S", "after"), "1");
  // Lines longer than a read chunk, back to back.
  std::string text = "[S]\n";
  auto value_of = [](int i) { return std::string(3000 + i, static_cast<char>('a' + i)); };
  for (int i = 0; i < 20; ++i) text += "k" + std::to_string(i) + "=" + value_of(i) + "\n";
  ASSERT_EQ(LoadBytes(doc, text), 0);
  for (int i = 0; i < 20; ++i) EXPECT_EQ(Value(doc, "S", "k" + std::to_string(i)), value_of(i));
}

// Long lines are read in capacity steps of 255, 511, 1023, ... characters;
// at each step the next character is treated like the first of a new line,
// so a line end that differs from the previous one is taken as the second
// half of a pair and the line runs on.
TEST(IniLines, LineEndAtACapacityStepPairsWithThePreviousOne) {
  const std::string at_step = "k=" + std::string(253, 'v');  // 255 characters
  // Consistent line ends are unaffected.
  EXPECT_EQ(Parse("[S]\n" + at_step + "\ny=2\n"), "[S]k=" + std::string(253, 'v') + ";y=2;|");
  EXPECT_EQ(Parse("[S]\r\n" + at_step + "\r\ny=2\r\n"), "[S]k=" + std::string(253, 'v') + ";y=2;|");
  // A lone CR after LF-ended lines, right at the step: the next line runs on.
  EXPECT_EQ(Parse("[S]\n" + at_step + "\ry=2\n"), "[S]k=" + std::string(253, 'v') + "y=2;|");
  // One character shorter, the same CR ends the line.
  EXPECT_EQ(Parse("[S]\nk=" + std::string(252, 'v') + "\ry=2\n"),
            "[S]k=" + std::string(252, 'v') + ";y=2;|");
  // Before any line end the remembered one is NUL: a first line of exactly
  // 255 characters ended by LF runs on into the second.
  EXPECT_EQ(Parse(at_step + "\n[S]\nx=1\n", true, false, kStoreOptions | kIniRelaxedSyntax),
            "[(null)]k=" + std::string(253, 'v') + "[S];x=1;|");
  // The capacity stays doubled for later lines: the next step is at 511.
  const std::string long_line = "k=" + std::string(300, 'v');
  const std::string at_511 = "m=" + std::string(509, 'w');
  EXPECT_EQ(Parse("[S]\n" + long_line + "\n" + at_511 + "\ry=2\n"),
            "[S]k=" + std::string(300, 'v') + ";m=" + std::string(509, 'w') + "y=2;|");
  // After one step a second 255-character line is not at a step any more.
  EXPECT_EQ(Parse("[S]\n" + at_step + "\r\nz=3\nj=" + std::string(253, 'v') + "\ry=2\n"),
            "[S]k=" + std::string(253, 'v') + ";z=3;j=" + std::string(253, 'v') + ";y=2;|");
}

// Files are read in chunks: wherever a chunk ends (inside a CR LF pair, a
// long line, a capacity step), the document is the same.
TEST(IniLines, ChunkBoundariesAreInvisible) {
  std::string body = "[S]\r\n";
  for (int i = 0; body.size() < 1800; ++i) body += "k" + std::to_string(i) + "=v\r\n";
  body += "long=" + std::string(250, 'x') + "\r\n";        // 255 characters, at a step
  body += "longer=" + std::string(600, 'y') + "\n\r";      // over two steps
  for (int i = 0; i < 40; ++i) body += "m" + std::to_string(i) + "=w" + std::string(1, '\0');
  std::string expected;
  for (size_t pad = 0; pad < 240; ++pad) {
    const std::string dump = Parse(";" + std::string(pad, 'p') + "\r\n" + body);
    if (pad == 0) expected = dump;
    ASSERT_EQ(dump, expected) << "padding " << pad;
  }
  EXPECT_NE(expected.find(";long=" + std::string(250, 'x') + ";"), std::string::npos);
  EXPECT_NE(expected.find(";m39=w;"), std::string::npos);
}

TEST(IniSyntax, SectionHeaders) {
  EXPECT_EQ(Parse("  [  VISA-CONFIG  ] trailing ; text\nx=1\n"), "[VISA-CONFIG]x=1;|");
  EXPECT_EQ(Parse("[a]b]\nx=1\n"), "[a]x=1;|");
  EXPECT_EQ(Parse("[[a]\nx=1\n"), "[[a]x=1;|");
  // Unreadable headers leave the keys after them in the section before.
  EXPECT_EQ(Parse("[A]\nx=1\n[]\ny=2\n[   ]\nz=3\n[open\nw=4\n"), "[A]x=1;y=2;z=3;w=4;|");
  // Keys before the first header are dropped.
  EXPECT_EQ(Parse("x=1\n[]\ny=2\n[A]\nz=3\n"), "[A]z=3;|");
}

TEST(IniSyntax, KeyLines) {
  EXPECT_EQ(Parse("[S]\nempty=\nblank=   \t\n=1\n  = 2\nno separator\n#x=1\n; x=2\n  ;x=3\n"),
            "[S]#x=1;|");
  EXPECT_EQ(Parse("[S]\n  a b \t=  c = d ; not a comment  \n"), "[S]a b=c = d ; not a comment;|");
  // Without relaxed syntax a colon is text.
  EXPECT_EQ(Parse("[S]\nC:\\dir=x\nk: v\n"), "[S]C:\\dir=x;|");
  // Bytes of 0x80 and above are not white space.
  EXPECT_EQ(Parse("[S]\nk=\xA0v\xA0\n"), "[S]k=\xA0v\xA0;|");
  // Vertical tab and form feed are.
  EXPECT_EQ(Parse("[S]\n\v\fk\v=\fv\v\n"), "[S]k=v;|");
}

TEST(IniSyntax, Quotes) {
  EXPECT_EQ(Parse("[S]\na=\"  spaced  \"\nb=\"\nc='x\"\nd='single'\ne=\"\"\nf=\"a\"b\"\n"),
            "[S]a=  spaced  ;b=\";c='x\";d=single;e=;f=a\"b;|");
  // Only one pair is removed, and only the kinds asked for.
  EXPECT_EQ(Parse("[S]\na=\"'x'\"\n"), "[S]a='x';|");
  EXPECT_EQ(Parse("[S]\na=\"x\"\nb='y'\n", true, false, kIniStripSingleQuotes), "[S]a=\"x\";b=y;|");
  EXPECT_EQ(Parse("[S]\na=\"x\"\n", true, false, 0), "[S]a=\"x\";|");
}

TEST(IniSyntax, RelaxedSyntaxAndEmptyValues) {
  const uint32_t relaxed = kStoreOptions | kIniRelaxedSyntax;
  EXPECT_EQ(Parse("top: 1\n[S]\na:=b\nc=:d\ne:f=g\n", true, false, relaxed),
            "[(null)]top=1;|[S]a=b;c=:d;e=f=g;|");
  EXPECT_EQ(Parse("[S]\nx=\ny=1\n", true, false, kIniAcceptEmptyValues), "[S]x=;y=1;|");
  // An empty name stays unreadable even when empty values are accepted.
  EXPECT_EQ(Parse("[S]\n=\n", true, false, kIniAcceptEmptyValues), "[S]|");
}

TEST(IniMerge, SectionsAndKeysMerge) {
  EXPECT_EQ(Parse("[A]\nx=1\n[a]\nx=2\ny=3\n"), "[A]x=2;y=3;|");
  // A replaced key keeps its place and its name as first written.
  EXPECT_EQ(Parse("[A]\nKey=1\nother=2\n KEY =3\n"), "[A]Key=3;other=2;|");
  // Without merging, repeats stand side by side and lookups find the first.
  IniDocument doc(false, false, kStoreOptions);
  ASSERT_EQ(LoadBytes(doc, "[A]\nx=1\nx=5\n[a]\nx=2\ny=3\n"), 0);
  EXPECT_EQ(Dump(doc), "[A]x=1;x=5;|[a]x=2;y=3;|");
  EXPECT_EQ(Value(doc, "A", "x"), "1");
  EXPECT_EQ(Value(doc, "a", "y"), "<no key>");
}

TEST(IniMerge, ManySectionsReopenedInAnyOrder) {
  std::string text;
  for (int pass = 0; pass < 2; ++pass) {
    for (int s = 0; s < 3000; ++s) {
      text += "[Section" + std::to_string((s * 7919) % 3000) + "]\n";
      text += "k" + std::to_string(pass) + "=" + std::to_string(s) + "\nshared=" +
              std::to_string(pass) + "\n";
    }
  }
  StoreDoc doc;
  ASSERT_EQ(LoadBytes(doc, text), 0);
  ASSERT_EQ(doc.sections().size(), 3000u);
  for (int s = 0; s < 3000; ++s) {
    const IniSection& section = doc.sections()[static_cast<size_t>(s)];
    EXPECT_EQ(section.keys.size(), 3u);
    EXPECT_EQ(Value(doc, section.name, "shared"), "1");
    EXPECT_EQ(Value(doc, section.name, "k0"), Value(doc, section.name, "k1"));
  }
}

TEST(IniMerge, LargeSectionsReplaceRepeatedKeys) {
  // Past a few dozen keys a section is indexed: repeats must still replace
  // in place, whichever spelling they use and whenever the section reopens.
  std::string text = "[Big]\n";
  for (int k = 0; k < 2000; ++k) text += "Key" + std::to_string(k) + "=first\n";
  text += "[Other]\nx=1\n[BIG]\n";
  for (int k = 1999; k >= 0; k -= 2) text += " key" + std::to_string(k) + " =second\n";
  text += "Extra=3\n";
  StoreDoc doc;
  ASSERT_EQ(LoadBytes(doc, text), 0);
  const IniSection* big = doc.FindSection("big");
  ASSERT_NE(big, nullptr);
  ASSERT_EQ(big->keys.size(), 2001u);
  for (int k = 0; k < 2000; ++k) {
    const IniKey& key = big->keys[static_cast<size_t>(k)];
    EXPECT_EQ(key.name, "Key" + std::to_string(k));
    EXPECT_EQ(key.value, k % 2 ? "second" : "first");
  }
  EXPECT_EQ(Value(doc, "Big", "extra"), "3");
}

TEST(IniContinuation, GroupsJoin) {
  EXPECT_EQ(Parse("[S]\nA Line1=abc\nA Line2=def\nA Line3=ghi\n"), "[S]A=abcdefghi;|");
  EXPECT_EQ(Parse("[S]\nA Line1=x\nOther=y\nA Line2=z\n"), "[S]A=x;Other=y;A Line2=z;|");
  // Stems and numbers of later keys are not checked.
  EXPECT_EQ(Parse("[S]\nA Line1=x\nB Line2=y\n"), "[S]A=xy;|");
  EXPECT_EQ(Parse("[S]\nA Line1=x\nA Line3=y\nA Line0=z\n"), "[S]A=xyz;|");
  // A key numbered 1 starts the next group.
  EXPECT_EQ(Parse("[S]\nA Line1=x\nA Line2=y\nB Line1=z\nB Line2=w\n"), "[S]A=xy;B=zw;|");
  EXPECT_EQ(Parse("[S]\nA Line1=x\nA Line01=y\n"), "[S]A=x;A=y;|");
  // Lone keys: numbered 1 takes its stem, otherwise keeps its name.
  EXPECT_EQ(Parse("[S]\nA Line1=x\n"), "[S]A=x;|");
  EXPECT_EQ(Parse("[S]\nA Line2=x\nA Line3=y\n"), "[S]A Line2=x;A Line3=y;|");
  // The first " Line", digits to the end, a 32-bit number, case as written.
  EXPECT_EQ(Parse("[S]\nA Line Line1=x\nB line1=y\nC Line1x=z\nD Line=w\n"),
            "[S]A Line Line1=x;B line1=y;C Line1x=z;D Line=w;|");
  EXPECT_EQ(Parse("[S]\nA Line1=x\nA Line2147483648=y\n"), "[S]A=x;A Line2147483648=y;|");
  EXPECT_EQ(Parse("[S]\nA Line1=x\nA Line2147483647=y\n"), "[S]A=xy;|");
  // Joined after merging, per section; quotes were stripped per part.
  EXPECT_EQ(Parse("[S]\nA Line1=\"a \"\n[T]\nA Line2=no\n[s]\nA Line2=\" b\"\n"),
            "[S]A=a  b;|[T]A Line2=no;|");
}

TEST(IniContinuation, OverlongStemStaysUnjoined) {
  const std::string stem255(255, 's');
  const std::string stem256(256, 's');
  EXPECT_EQ(Parse("[S]\n" + stem255 + " Line1=a\n" + stem255 + " Line2=b\n"),
            "[S]" + stem255 + "=ab;|");
  EXPECT_EQ(Parse("[S]\n" + stem256 + " Line1=a\n" + stem256 + " Line2=b\n"),
            "[S]" + stem256 + " Line1=a;" + stem256 + " Line2=b;|");
}

TEST(IniLookup, NamesCompareWithoutCaseAndSurroundingSpace) {
  StoreDoc doc;
  ASSERT_EQ(LoadBytes(doc, "[VISA-CONFIG]\nMaxNumResources=7\n[\xC9t\xE9]\nk=1\n"), 0);
  EXPECT_EQ(Value(doc, " visa-config ", "\tmaxnumresources "), "7");
  EXPECT_EQ(Value(doc, "VISA-CONFIG", "Max NumResources"), "<no key>");
  EXPECT_EQ(Value(doc, "VISA CONFIG", "MaxNumResources"), "<no section>");
  // Only a-z fold: Latin-1 letters compare byte for byte.
  EXPECT_EQ(Value(doc, "\xC9T\xE9", "K"), "1");
  EXPECT_EQ(Value(doc, "\xC9T\xC9", "k"), "<no section>");

  IniDocument exact(true, true, kStoreOptions);
  ASSERT_EQ(LoadBytes(exact, "[Sec]\nKey=1\n[sec]\nkey=2\n"), 0);
  EXPECT_EQ(Value(exact, "Sec", "Key"), "1");
  EXPECT_EQ(Value(exact, "sec", "key"), "2");
  EXPECT_EQ(Value(exact, "sec", "Key"), "<no key>");
  EXPECT_EQ(Value(exact, " Sec", "Key"), "<no section>");
}

TEST(IniLookup, ReloadingReplacesEverythingIncludingTheLastFoundSection) {
  StoreDoc doc;
  ASSERT_EQ(LoadBytes(doc, "[A]\nx=1\n[B]\ny=2\n"), 0);
  EXPECT_EQ(Value(doc, "A", "x"), "1");
  EXPECT_EQ(Value(doc, "B", "y"), "2");
  EXPECT_EQ(Value(doc, "a", "x"), "1");
  ASSERT_EQ(LoadBytes(doc, "[C]\nz=3\n"), 0);
  EXPECT_EQ(Dump(doc), "[C]z=3;|");
  EXPECT_EQ(Value(doc, "A", "x"), "<no section>");
  EXPECT_EQ(Value(doc, "C", "z"), "3");
  // A failed load leaves nothing of the earlier file either.
  ASSERT_EQ(LoadBytes(doc, "\xFF\xFE[D]\nw=4\n"), kIniBadEncoding);
  EXPECT_EQ(Value(doc, "C", "z"), "<no section>");
}

TEST(IniErrors, StreamErrorIsReported) {
  test::TestMachine machine;
  const std::string path = machine.root() + "/write-only.ini";
  test::WriteFile(path, "[S]\nx=1\n");
  std::FILE* f = std::fopen(path.c_str(), "ab");  // reading from it fails
  ASSERT_NE(f, nullptr);
  StoreDoc doc;
  EXPECT_EQ(doc.Load(f), kIniReadError);
  std::fclose(f);
  EXPECT_EQ(doc.Load(nullptr), kIniReadError);
}

}  // namespace
}  // namespace zyvisa::config
