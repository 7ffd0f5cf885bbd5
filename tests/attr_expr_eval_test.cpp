// visaMatchAttrExpr against a small fake core: open makes a session object for
// one of two test resources, get-attribute reads its values, close frees it.
// The fake counts its calls and the sessions left open, so that each path can
// show the session was closed and the find-list semaphore held throughout.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <string>
#include <thread>

#include "lifecycle/startup.h"
#include "match/attr_expr_language.h"
#include "match/scratch_buffer.h"
#include "objects/object_table.h"
#include "support/test_machine.h"
#include "zyvisa_match.h"
#include "zyvisa_objects.h"
#include "zyvisa_oper.h"

namespace {

namespace objects = zyvisa::objects;

constexpr ViStatus OK = VI_SUCCESS, NO = VI_ERROR_RSRC_NFOUND, BAD = VI_ERROR_INV_EXPR;
constexpr ViSession kParent = 0x1001;
constexpr char kGpib0[] = "GPIB0::1::INSTR";  // VI_ATTR_INTF_NUM 0
constexpr char kGpib1[] = "GPIB1::2::INSTR";  // VI_ATTR_INTF_NUM 1
const std::string kLongText(300, 'T');

// What both resources hold. Named attributes only the lookup callback knows;
// the two strings are the resource's own name and kLongText.
struct FakeAttr {
  const char* name;
  ViAttr attribute;
  ViUInt16 kind;
  int64_t number;
};
constexpr ViUInt16 kI8 = ZYVISA_ATTR_KIND_INT8, kU8 = ZYVISA_ATTR_KIND_UINT8,
                   kI16 = ZYVISA_ATTR_KIND_INT16, kU16 = ZYVISA_ATTR_KIND_UINT16,
                   kI32 = ZYVISA_ATTR_KIND_INT32, kU32 = ZYVISA_ATTR_KIND_UINT32;
constexpr FakeAttr kFakeAttrs[] = {
    {nullptr, VI_ATTR_INTF_NUM, kU16, 0}, {nullptr, VI_ATTR_RSRC_MANF_ID, kU16, 0xFFFF},
    {nullptr, VI_ATTR_RSRC_NAME, ZYVISA_ATTR_KIND_STRING, 0},
    {nullptr, VI_ATTR_RSRC_IMPL_VERSION, kU32, 0xFFFFFFFF},
    {"VI_ATTR_X_I8", 0x3FFF8001, kI8, -1}, {"VI_ATTR_X_U8", 0x3FFF8002, kU8, 0xFF},
    {"VI_ATTR_X_I16", 0x3FFF8003, kI16, -32768}, {"VI_ATTR_X_U16", 0x3FFF8004, kU16, 0x8000},
    {"VI_ATTR_X_I32", 0x3FFF8005, kI32, -0x80000000LL},
    {"VI_ATTR_X_U32", 0x3FFF8006, kU32, 0x80000000},
    {"VI_ATTR_X_TEXT", 0xBFFF8007, ZYVISA_ATTR_KIND_STRING, 0},
    // A kind that cannot be recorded, of an attribute that could be read.
    {"VI_ATTR_X_REAL", VI_ATTR_RSRC_MANF_ID, 7, 0},
};

struct FakeSession {
  objects::IoSession io;  // ours first, then the core's own fields
  const char* rsrc;
};

// Calls into the fake core, and the sessions open now, so that none is left at
// the end of a test. An open may fail after it made a session, which the
// caller must still close.
struct FakeCore {
  int opens = 0, reads = 0, live = 0;
  bool open_fails_after_creating = false, unlocked_call = false;
};
FakeCore g_core;

// True when another thread can take the find-list semaphore, which every
// callback must run under (it is recursive, so this thread cannot tell): the
// core's find operation relies on one evaluation at a time per process.
bool FindListFree() {
  ViStatus status = VI_SUCCESS;
  std::thread([&status] {
    ViUInt16 acquired = 0;
    status = visaSemAcquire(zyvisaGetObjectListMutex(objects::kFindListKind), 0, &acquired);
    visaSemRelease(zyvisaGetObjectListMutex(objects::kFindListKind), &acquired);
  }).join();
  return status != VI_ERROR_TMO;
}

ViStatus FakeOpen(ViSession parent, ViConstRsrc name, ViUInt32 mode, ViUInt32 timeout,
                  ViSession* opened) {
  if (FindListFree()) g_core.unlocked_call = true;
  ++g_core.opens;
  if (parent != kParent || mode != 0 || timeout != 0 || name[0] != 'G') return NO;
  ViUInt32 handle = 0;
  auto* session = static_cast<FakeSession*>(
      zyvisaCreateObject(objects::kIoSessionKind, sizeof(FakeSession), &handle));
  if (session == nullptr) return VI_ERROR_ALLOC;
  session->io.handle = handle;
  session->rsrc = std::strcmp(name, kGpib1) == 0 ? kGpib1 : kGpib0;
  ++g_core.live;
  *opened = handle;
  return g_core.open_fails_after_creating ? VI_ERROR_RSRC_BUSY : VI_SUCCESS;
}

ViStatus FakeGetAttribute(ViAddr object, ViAttr attribute, ViAddr value) {
  if (FindListFree()) g_core.unlocked_call = true;
  ++g_core.reads;
  const char* rsrc = static_cast<FakeSession*>(object)->rsrc;
  const FakeAttr* a = std::find_if(std::begin(kFakeAttrs), std::end(kFakeAttrs),
                                   [&](const FakeAttr& f) { return f.attribute == attribute; });
  if (a == std::end(kFakeAttrs)) return VI_ERROR_NSUP_OPER;
  int64_t n = attribute == VI_ATTR_INTF_NUM && rsrc == kGpib1 ? 1 : a->number;
  // Writes exactly the size of the attribute's own type (the low bytes of n:
  // both targets are little-endian), as a core does; a string at most the 256
  // bytes it has, unterminated when longer.
  if (a->kind == ZYVISA_ATTR_KIND_STRING) {
    std::strncpy(static_cast<char*>(value), a->name ? kLongText.c_str() : rsrc, 256);
  } else {
    std::memcpy(value, &n, a->kind <= kU8 ? 1 : a->kind <= kU16 ? 2 : 4);
  }
  return VI_SUCCESS;
}

ViStatus FakeClose(ViSession handle) {
  if (FindListFree()) g_core.unlocked_call = true;
  void* object = zyvisaValidateIoSession(handle, 0);
  if (object == nullptr) return VI_ERROR_INV_OBJECT;
  --g_core.live;
  return zyvisaFreeObject(objects::kIoSessionKind, object, static_cast<ViUInt16>(handle));
}

ViStatus FakeLookup(ViSession opened, ViConstString name, ViUInt16* found, ViUInt16* kind,
                    ViAttr* attribute, ViAddr user_data) {
  if (FindListFree()) g_core.unlocked_call = true;
  if (!zyvisaValidateIoSession(opened, 0) || user_data != &g_core) return VI_ERROR_INV_OBJECT;
  const bool broken = std::strcmp(name, "VI_ATTR_X_BROKEN") == 0;
  // A name not found still gets an attribute that could be read, so that only
  // found and the status keep it out.
  const FakeAttr* a = &kFakeAttrs[3];  // VI_ATTR_RSRC_IMPL_VERSION
  for (const FakeAttr& f : kFakeAttrs) {
    if (f.name != nullptr && std::strcmp(f.name, name) == 0) a = &f;
  }
  *found = broken || a != &kFakeAttrs[3] ? 1 : 0;
  *kind = a->kind;
  *attribute = a->attribute;
  return broken ? VI_ERROR_SYSTEM_ERROR : VI_SUCCESS;
}

class MatchAttrExprTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(zyvisa::lifecycle::Startup(), 1);
    g_core = FakeCore{};
    zyvisaSetLibraryCallbacks(FakeOpen, FakeGetAttribute, nullptr, FakeClose);
  }
  void TearDown() override {
    // Whatever the results, every session opened is closed again, and the
    // find-list semaphore was held in every callback and is free now.
    EXPECT_EQ(g_core.live, 0);
    EXPECT_FALSE(g_core.unlocked_call);
    EXPECT_TRUE(FindListFree());
    zyvisaSetLibraryCallbacks(nullptr, nullptr, nullptr, nullptr);
    zyvisa::lifecycle::Shutdown();
  }

  ViStatus Match(const std::string& expr, const char* rsrc = kGpib0,
                 ZyvisaAttrLookupProc lookup = FakeLookup) {
    return visaMatchAttrExpr(kParent, expr.c_str(), rsrc, lookup, &g_core);
  }

  zyvisa::test::TestMachine machine_;
};

TEST_F(MatchAttrExprTest, WithoutAWholeAttributePartNothingIsOpened) {
  for (const char* expr : {"?*INSTR", "", "?*INSTR}"}) EXPECT_EQ(Match(expr), OK) << expr;
  for (const char* expr : {"?*INSTR{VI_ATTR_INTF_NUM==0", "?*INSTR{VI_ATTR_INTF_NUM==0} ",
                           "?*INSTR{VI_ATTR_INTF_NUM==0}\n", "?*INSTR}{"}) {
    EXPECT_EQ(Match(expr), BAD) << expr;
  }
  EXPECT_EQ(visaMatchAttrExpr(kParent, nullptr, kGpib0, FakeLookup, &g_core), BAD);
  EXPECT_EQ(g_core.opens, 0);
}

struct MatchCase {
  std::string attr_part;
  ViStatus expected;
  const char* rsrc = kGpib0;
  ZyvisaAttrLookupProc lookup = FakeLookup;
};

TEST_F(MatchAttrExprTest, CollectedValuesDecideAndNamesThatCannotBeReadAreLeftOut) {
  const MatchCase cases[] = {
      // Opened and read even when the text turns out malformed.
      {"VI_ATTR_INTF_NUM==0", OK}, {"VI_ATTR_INTF_NUM==", BAD}, {"VI_ATTR_INTF_NUM==1", OK, kGpib1},
      // Built-in names, each read as its kind; any case finds them once collected.
      {"VI_ATTR_RSRC_NAME==\"GPIB1::2::INSTR\"", OK, kGpib1}, {"VI_ATTR_intf_num==0", OK},
      {"VI_ATTR_RSRC_MANF_ID==0xFFFF && VI_ATTR_RSRC_IMPL_VERSION>0x7FFFFFFF", OK},
      // Names the lookup finds: signed kinds widen with their sign, unsigned
      // with zeros, and a string that fills its buffer is cut to 255 characters.
      {"VI_ATTR_X_I8==-1 && VI_ATTR_X_U8==0xff && VI_ATTR_X_U8<-1", OK},
      {"VI_ATTR_X_I16==-32768 && VI_ATTR_X_U16==32768 && VI_ATTR_X_U16<-1", OK},
      {"VI_ATTR_X_I32==-2147483648 && VI_ATTR_X_U32>0x80000000", OK},
      {"VI_ATTR_X_TEXT==\"" + std::string(255, 'T') + "\"", OK},
      // Only the exact upper-case prefix is collected, wherever it stands: in a
      // string, glued to a longer name. With nothing collected the resource
      // does not match, and the text is not even parsed.
      {"vi_attr_intf_num==0", NO}, {"Vi_Attr_X_I8==-1", NO}, {"1==1", NO}, {"", NO},
      {"XVI_ATTR_INTF_NUM==)", BAD}, {"VI_ATTR_XYZ==\"VI_ATTR_INTF_NUM\" && )", BAD},
      // Left out, so that every comparison with them is false: names the lookup
      // does not find, or fails on, or gives a kind that cannot be recorded;
      // values that cannot be read; names too long for a record; without a
      // lookup, all names but the built-in ones.
      {"VI_ATTR_XYZ==\"x\" && VI_ATTR_ABC==)", NO}, {"VI_ATTR_X_BROKEN!=1", NO},
      {"VI_ATTR_X_REAL!=1", NO},
      {"VI_ATTR_RSRC_MANF_NAME!=\"x\" || VI_ATTR_INTF_NUM==0", NO, kGpib1},
      {"VI_ATTR_INTF_NUM" + std::string(240, '_') + "==0", NO},
      {"VI_ATTR_X_I8==-1", NO, kGpib0, nullptr},
      {"VI_ATTR_X_I8==-1 || VI_ATTR_INTF_NUM==0", OK, kGpib0, nullptr},
  };
  for (const MatchCase& c : cases) {
    SCOPED_TRACE(c.attr_part);
    EXPECT_EQ(Match("?*INSTR{" + c.attr_part + "}", c.rsrc, c.lookup), c.expected);
  }
}

// Every string value's copy fails: collecting stops at the first string and
// the records before it are evaluated, even none (so the text is parsed).
void* NoStringCopies(size_t bytes) noexcept {
  return bytes == zyvisa::match::kAttrTextSize ? nullptr : std::malloc(bytes);
}

TEST_F(MatchAttrExprTest, OutOfMemoryForAStringEvaluatesWhatWasCollected) {
  const auto previous = zyvisa::match::SetScratchAllocatorForTesting(NoStringCopies);
  EXPECT_EQ(Match("?*{VI_ATTR_RSRC_NAME==}"), BAD);
  EXPECT_EQ(Match("?*{VI_ATTR_INTF_NUM==0 || VI_ATTR_RSRC_NAME==\"x\"}"), OK);
  EXPECT_EQ(Match("?*{VI_ATTR_RSRC_NAME==\"GPIB0::1::INSTR\" || VI_ATTR_INTF_NUM==0}"), NO);
  zyvisa::match::SetScratchAllocatorForTesting(previous);
}

TEST_F(MatchAttrExprTest, ResourcesThatCannotBeOpenedOrReadDoNotMatch) {
  const std::string expr = "?*{VI_ATTR_INTF_NUM==0}";
  EXPECT_EQ(Match(expr, "ASRL9::INSTR"), NO);
  // An open that fails but hands out a session all the same: closed too.
  g_core.open_fails_after_creating = true;
  EXPECT_EQ(Match(expr), NO);
  // A core that registered no callbacks, or no get-attribute.
  zyvisaSetLibraryCallbacks(nullptr, nullptr, nullptr, nullptr);
  EXPECT_EQ(Match(expr), NO);
  zyvisaSetLibraryCallbacks(FakeOpen, nullptr, nullptr, FakeClose);
  g_core.open_fails_after_creating = false;
  EXPECT_EQ(Match(expr), NO);
  EXPECT_EQ(g_core.opens, 3);
  EXPECT_EQ(g_core.reads, 0);
}

}  // namespace
