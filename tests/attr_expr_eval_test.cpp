// visaMatchAttrExpr against a small fake core: open makes a session object
// holding a named test resource, get-attribute reads its values, close frees
// it. The fake counts every call so that each path can show the session was
// closed and the find-list semaphore held throughout.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <map>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "lifecycle/process_state.h"
#include "objects/object_lists.h"
#include "objects/object_table.h"
#include "support/test_machine.h"
#include "zyvisa_match.h"
#include "zyvisa_objects.h"
#include "zyvisa_oper.h"

namespace {

namespace objects = zyvisa::objects;
namespace lifecycle = zyvisa::lifecycle;

// Attributes that only the lookup callback knows, one per kind.
constexpr ViAttr kAttrI8 = 0x3FFF8001;
constexpr ViAttr kAttrU8 = 0x3FFF8002;
constexpr ViAttr kAttrI16 = 0x3FFF8003;
constexpr ViAttr kAttrU16 = 0x3FFF8004;
constexpr ViAttr kAttrI32 = 0x3FFF8005;
constexpr ViAttr kAttrU32 = 0x3FFF8006;
constexpr ViAttr kAttrText = 0xBFFF8007;
constexpr ViAttr kAttrCounter = 0x3FFF8008;  // 1 on the first read, 2 on the next...

struct TestAttr {
  ViUInt16 kind;
  int64_t number;
  std::string text;
  bool fails = false;
};
using TestResource = std::map<ViAttr, TestAttr>;

// The session object as the fake core lays it out: ours, then its own field.
struct FakeSession {
  objects::IoSession io;
  const TestResource* resource;
};

struct FakeCore {
  std::map<std::string, TestResource> resources;
  int opens = 0;
  int closes = 0;
  int reads = 0;
  int lookups = 0;
  int counter = 0;
  std::set<ViSession> live;
  std::vector<ViSession> parents;
  std::vector<std::string> looked_up;
  ViAddr lookup_user_data = nullptr;
  // Open fails, but only after it made a session: the caller must still close it.
  bool open_fails_after_creating = false;
  // Checked in every callback: another thread cannot take the find-list semaphore.
  bool find_list_held_in_callbacks = true;
  // Evaluations between their open and their close; more than one at a time
  // means the find-list semaphore was not held across the whole evaluation.
  int inside = 0;
  int most_inside = 0;
};
FakeCore* g_core = nullptr;

bool FindListHeldElsewhere() {
  ViStatus status = VI_SUCCESS;
  ViUInt16 acquired = 0;
  std::thread other([&] {
    ViSemaphore sem = zyvisaGetObjectListMutex(objects::kFindListKind);
    status = visaSemAcquire(sem, 0, &acquired);
    visaSemRelease(sem, &acquired);
  });
  other.join();
  return status == VI_ERROR_TMO;
}

void CheckFindListHeld() {
  if (!FindListHeldElsewhere()) g_core->find_list_held_in_callbacks = false;
}

ViStatus FakeOpen(ViSession parent, ViConstRsrc name, ViUInt32 mode, ViUInt32 timeout,
                  ViSession* opened) {
  CheckFindListHeld();
  ++g_core->opens;
  g_core->parents.push_back(parent);
  if (mode != 0 || timeout != 0) return VI_ERROR_INV_PARAMETER;
  auto it = g_core->resources.find(name);
  if (it == g_core->resources.end()) return VI_ERROR_RSRC_NFOUND;
  ViUInt32 handle = 0;
  auto* session = static_cast<FakeSession*>(
      zyvisaCreateObject(objects::kIoSessionKind, sizeof(FakeSession), &handle));
  if (session == nullptr) return VI_ERROR_ALLOC;
  session->resource = &it->second;
  session->io.handle = handle;
  g_core->live.insert(handle);
  g_core->most_inside = std::max(g_core->most_inside, ++g_core->inside);
  *opened = handle;
  return g_core->open_fails_after_creating ? VI_ERROR_RSRC_BUSY : VI_SUCCESS;
}

ViStatus FakeGetAttribute(ViAddr object, ViAttr attribute, ViAddr value) {
  CheckFindListHeld();
  ++g_core->reads;
  const TestResource& resource = *static_cast<FakeSession*>(object)->resource;
  auto it = resource.find(attribute);
  if (it == resource.end() || it->second.fails) return VI_ERROR_NSUP_OPER;
  const TestAttr& a = it->second;
  const int64_t n = attribute == kAttrCounter ? ++g_core->counter : a.number;
  // Writes exactly the size of the attribute's own type, as a core does.
  switch (a.kind) {
    case ZYVISA_ATTR_KIND_INT8: *static_cast<int8_t*>(value) = static_cast<int8_t>(n); break;
    case ZYVISA_ATTR_KIND_UINT8: *static_cast<uint8_t*>(value) = static_cast<uint8_t>(n); break;
    case ZYVISA_ATTR_KIND_INT16: *static_cast<int16_t*>(value) = static_cast<int16_t>(n); break;
    case ZYVISA_ATTR_KIND_UINT16: *static_cast<uint16_t*>(value) = static_cast<uint16_t>(n); break;
    case ZYVISA_ATTR_KIND_INT32: *static_cast<int32_t*>(value) = static_cast<int32_t>(n); break;
    case ZYVISA_ATTR_KIND_UINT32: *static_cast<uint32_t*>(value) = static_cast<uint32_t>(n); break;
    // At most the 256 bytes a string attribute has, unterminated when longer.
    default: std::strncpy(static_cast<char*>(value), a.text.c_str(), 256); break;
  }
  return VI_SUCCESS;
}

ViStatus FakeClose(ViSession handle) {
  CheckFindListHeld();
  ++g_core->closes;
  --g_core->inside;
  void* object = zyvisaValidateIoSession(handle, 0);
  if (object == nullptr || g_core->live.erase(handle) == 0) return VI_ERROR_INV_OBJECT;
  return zyvisaFreeObject(objects::kIoSessionKind, object, static_cast<ViUInt16>(handle));
}

ViStatus FakeLookup(ViSession opened, ViConstString name, ViUInt16* found, ViUInt16* kind,
                    ViAttr* attribute, ViAddr user_data) {
  CheckFindListHeld();
  ++g_core->lookups;
  g_core->looked_up.push_back(name);
  g_core->lookup_user_data = user_data;
  if (g_core->live.count(opened) == 0) return VI_ERROR_INV_OBJECT;
  static const std::map<std::string, std::pair<ViUInt16, ViAttr>> kKnown = {
      {"VI_ATTR_X_I8", {ZYVISA_ATTR_KIND_INT8, kAttrI8}},
      {"VI_ATTR_X_U8", {ZYVISA_ATTR_KIND_UINT8, kAttrU8}},
      {"VI_ATTR_X_I16", {ZYVISA_ATTR_KIND_INT16, kAttrI16}},
      {"VI_ATTR_X_U16", {ZYVISA_ATTR_KIND_UINT16, kAttrU16}},
      {"VI_ATTR_X_I32", {ZYVISA_ATTR_KIND_INT32, kAttrI32}},
      {"VI_ATTR_X_U32", {ZYVISA_ATTR_KIND_UINT32, kAttrU32}},
      {"VI_ATTR_X_TEXT", {ZYVISA_ATTR_KIND_STRING, kAttrText}},
      {"VI_ATTR_X_COUNTER", {ZYVISA_ATTR_KIND_INT32, kAttrCounter}},
      // a kind that cannot be recorded: left out without a read
      {"VI_ATTR_X_REAL", {7, kAttrU32}},
  };
  if (std::strcmp(name, "VI_ATTR_X_BROKEN") == 0) return VI_ERROR_SYSTEM_ERROR;
  auto it = kKnown.find(name);
  *found = it != kKnown.end() ? 1 : 0;
  if (it != kKnown.end()) {
    *kind = it->second.first;
    *attribute = it->second.second;
  }
  return VI_SUCCESS;
}

TestResource Resource(uint16_t intf_num, const std::string& name) {
  return {
      {VI_ATTR_INTF_NUM, {ZYVISA_ATTR_KIND_UINT16, intf_num, ""}},
      {VI_ATTR_INTF_TYPE, {ZYVISA_ATTR_KIND_UINT16, 1, ""}},
      {VI_ATTR_RSRC_MANF_ID, {ZYVISA_ATTR_KIND_UINT16, 0xFFFF, ""}},
      {VI_ATTR_RSRC_IMPL_VERSION, {ZYVISA_ATTR_KIND_UINT32, 0xFFFFFFFF, ""}},
      {VI_ATTR_RSRC_NAME, {ZYVISA_ATTR_KIND_STRING, 0, name}},
      {VI_ATTR_RSRC_MANF_NAME, {ZYVISA_ATTR_KIND_STRING, 0, "", /*fails=*/true}},
      {kAttrI8, {ZYVISA_ATTR_KIND_INT8, -1, ""}},
      {kAttrU8, {ZYVISA_ATTR_KIND_UINT8, 0xFF, ""}},
      {kAttrI16, {ZYVISA_ATTR_KIND_INT16, -32768, ""}},
      {kAttrU16, {ZYVISA_ATTR_KIND_UINT16, 0x8000, ""}},
      {kAttrI32, {ZYVISA_ATTR_KIND_INT32, -2147483647 - 1, ""}},
      {kAttrU32, {ZYVISA_ATTR_KIND_UINT32, 0x80000000, ""}},
      {kAttrText, {ZYVISA_ATTR_KIND_STRING, 0, std::string(300, 'T')}},
      {kAttrCounter, {ZYVISA_ATTR_KIND_INT32, 0, ""}},
  };
}

constexpr ViSession kParent = 0x1001;
constexpr char kGpib0[] = "GPIB0::1::INSTR";
constexpr char kGpib1[] = "GPIB1::2::INSTR";

class MatchAttrExprTest : public ::testing::Test {
 protected:
  void SetUp() override {
    lifecycle::Startup();
    if (zyvisaGetObjectListMutex(objects::kFindListKind) == nullptr) {
      ASSERT_TRUE(objects::CreateObjectLists());
    }
    core_.resources[kGpib0] = Resource(0, kGpib0);
    core_.resources[kGpib1] = Resource(1, kGpib1);
    g_core = &core_;
    zyvisaSetLibraryCallbacks(FakeOpen, FakeGetAttribute, nullptr, FakeClose);
  }
  void TearDown() override {
    // Whatever the result, every session that was opened is closed again and
    // the find-list semaphore is free.
    EXPECT_TRUE(core_.live.empty());
    EXPECT_TRUE(core_.find_list_held_in_callbacks);
    EXPECT_FALSE(FindListHeldElsewhere());
    zyvisaSetLibraryCallbacks(nullptr, nullptr, nullptr, nullptr);
    zyvisaSetUnloadCallback(nullptr);
    g_core = nullptr;
    lifecycle::Shutdown();
    objects::ResetObjectLists();
  }

  ViStatus Match(const std::string& expr, const char* rsrc = kGpib0,
                 ZyvisaAttrLookupProc lookup = FakeLookup) {
    return visaMatchAttrExpr(kParent, expr.c_str(), rsrc, lookup, &core_);
  }

  zyvisa::test::TestMachine machine_;
  FakeCore core_;
};

TEST_F(MatchAttrExprTest, WithoutAnAttributePartNothingIsOpened) {
  EXPECT_EQ(Match("?*INSTR"), VI_SUCCESS);
  EXPECT_EQ(Match(""), VI_SUCCESS);
  EXPECT_EQ(Match("?*INSTR}"), VI_SUCCESS);
  EXPECT_EQ(visaMatchAttrExpr(kParent, nullptr, kGpib0, FakeLookup, nullptr), VI_ERROR_INV_EXPR);
  // An attribute part that does not end the expression is refused unopened.
  EXPECT_EQ(Match("?*INSTR{VI_ATTR_INTF_NUM==0"), VI_ERROR_INV_EXPR);
  EXPECT_EQ(Match("?*INSTR{VI_ATTR_INTF_NUM==0} "), VI_ERROR_INV_EXPR);
  EXPECT_EQ(Match("?*INSTR{VI_ATTR_INTF_NUM==0}\n"), VI_ERROR_INV_EXPR);
  EXPECT_EQ(Match("?*INSTR}{"), VI_ERROR_INV_EXPR);
  EXPECT_EQ(core_.opens, 0);
  EXPECT_EQ(core_.lookups, 0);
}

TEST_F(MatchAttrExprTest, ValueDecidesBetweenMatchNoMatchAndInvalid) {
  EXPECT_EQ(Match("?*INSTR{VI_ATTR_INTF_NUM==0}"), VI_SUCCESS);
  EXPECT_EQ(Match("?*INSTR{VI_ATTR_INTF_NUM!=0}"), VI_ERROR_RSRC_NFOUND);
  EXPECT_EQ(Match("?*INSTR{VI_ATTR_INTF_NUM==0}", kGpib1), VI_ERROR_RSRC_NFOUND);
  EXPECT_EQ(Match("?*INSTR{VI_ATTR_INTF_NUM==1}", kGpib1), VI_SUCCESS);
  // Opened, read and closed again before the syntax error is found.
  EXPECT_EQ(Match("?*INSTR{VI_ATTR_INTF_NUM==}"), VI_ERROR_INV_EXPR);
  EXPECT_EQ(Match("?*INSTR{VI_ATTR_INTF_NUM==0}}"), VI_ERROR_INV_EXPR);
  EXPECT_EQ(Match("?*INSTR{VI_ATTR_INTF_NUM==\"0\" || VI_ATTR_INTF_NUM==0}"), VI_ERROR_INV_EXPR);
  EXPECT_EQ(core_.opens, 7);
  EXPECT_EQ(core_.closes, 7);
  // The caller's session is what open is given, every time.
  for (ViSession parent : core_.parents) EXPECT_EQ(parent, kParent);
}

TEST_F(MatchAttrExprTest, BuiltInAttributesAreReadWithTheirKinds) {
  EXPECT_EQ(Match("?*{VI_ATTR_RSRC_NAME==\"GPIB0::1::INSTR\"}"), VI_SUCCESS);
  EXPECT_EQ(Match("?*{VI_ATTR_RSRC_NAME==\"gpib0::1::instr\"}"), VI_ERROR_RSRC_NFOUND);
  EXPECT_EQ(Match("?*{VI_ATTR_RSRC_NAME!=\"GPIB0::1::INSTR\"}", kGpib1), VI_SUCCESS);
  // Unsigned 16 and 32 bits widen with zeros.
  EXPECT_EQ(Match("?*{VI_ATTR_RSRC_MANF_ID==0xFFFF && VI_ATTR_RSRC_MANF_ID>-1}"),
            VI_ERROR_RSRC_NFOUND);
  EXPECT_EQ(Match("?*{VI_ATTR_RSRC_MANF_ID==65535 && VI_ATTR_RSRC_IMPL_VERSION>0x7FFFFFFF}"),
            VI_SUCCESS);
  // Names are found without regard to case once collected.
  EXPECT_EQ(Match("?*{VI_ATTR_intf_num==0}"), VI_SUCCESS);
  EXPECT_EQ(core_.lookups, 0);
}

TEST_F(MatchAttrExprTest, OnlyTheExactUpperCasePrefixIsCollected) {
  // Lower case is not searched for: nothing is collected, nothing read.
  EXPECT_EQ(Match("?*{vi_attr_intf_num==0}"), VI_ERROR_RSRC_NFOUND);
  EXPECT_EQ(Match("?*{Vi_Attr_Intf_Num==0}"), VI_ERROR_RSRC_NFOUND);
  EXPECT_EQ(core_.reads, 0);
  // No attribute at all.
  EXPECT_EQ(Match("?*INSTR{1==1}"), VI_ERROR_RSRC_NFOUND);
  EXPECT_EQ(Match("?*INSTR{}"), VI_ERROR_RSRC_NFOUND);
  EXPECT_EQ(core_.reads, 0);
  EXPECT_EQ(core_.opens, 4);
  EXPECT_EQ(core_.closes, 4);
  // Inside quoted text the name is collected too (and read), though only
  // the string is compared.
  EXPECT_EQ(Match("?*{VI_ATTR_RSRC_NAME==\"VI_ATTR_INTF_NUM\"}"), VI_ERROR_RSRC_NFOUND);
  EXPECT_EQ(core_.reads, 2);
  // A name glued to other characters is still found where VI_ATTR starts.
  EXPECT_EQ(Match("?*{XVI_ATTR_INTF_NUM==0}"), VI_ERROR_RSRC_NFOUND);
  EXPECT_EQ(core_.looked_up, std::vector<std::string>{});
  EXPECT_EQ(core_.reads, 3);
}

TEST_F(MatchAttrExprTest, LookupResolvesOtherNamesForEveryKind) {
  EXPECT_EQ(Match("?*{VI_ATTR_X_I8==-1 && VI_ATTR_X_I8<0}"), VI_SUCCESS);
  EXPECT_EQ(Match("?*{VI_ATTR_X_U8==255 && VI_ATTR_X_U8>-1}"), VI_ERROR_RSRC_NFOUND);
  EXPECT_EQ(Match("?*{VI_ATTR_X_U8==0xff}"), VI_SUCCESS);
  EXPECT_EQ(Match("?*{VI_ATTR_X_I16==-32768}"), VI_SUCCESS);
  EXPECT_EQ(Match("?*{VI_ATTR_X_U16==32768}"), VI_SUCCESS);
  EXPECT_EQ(Match("?*{VI_ATTR_X_I32==-2147483648 && VI_ATTR_X_I32<-2147483647}"), VI_SUCCESS);
  // 0x80000000 as a constant saturates to 0x7FFFFFFF; the unsigned value is above it.
  EXPECT_EQ(Match("?*{VI_ATTR_X_U32>0x80000000 && VI_ATTR_X_U32!=-2147483648}"), VI_SUCCESS);
  // A string that fills the whole buffer is cut to 255 characters.
  EXPECT_EQ(Match("?*{VI_ATTR_X_TEXT==\"" + std::string(255, 'T') + "\"}"), VI_SUCCESS);
  EXPECT_EQ(core_.lookup_user_data, &core_);
}

TEST_F(MatchAttrExprTest, NamesThatCannotBeResolvedOrReadAreLeftOut) {
  // Lookup does not know it: comparisons with it are false, the rest decides.
  EXPECT_EQ(Match("?*{VI_ATTR_XYZ==1 || VI_ATTR_INTF_NUM==0}"), VI_SUCCESS);
  EXPECT_EQ(Match("?*{VI_ATTR_XYZ==1 || VI_ATTR_INTF_NUM==0}", kGpib1), VI_ERROR_RSRC_NFOUND);
  EXPECT_EQ(Match("?*{VI_ATTR_XYZ!=1 || VI_ATTR_INTF_NUM==1}", kGpib1), VI_SUCCESS);
  // Only unresolved names: nothing collected, not an expression error.
  EXPECT_EQ(Match("?*{VI_ATTR_XYZ==1}"), VI_ERROR_RSRC_NFOUND);
  EXPECT_EQ(Match("?*{VI_ATTR_XYZ==\"x\" && VI_ATTR_ABC==)}"), VI_ERROR_RSRC_NFOUND);
  // Lookup fails, or names a kind that cannot be recorded: left out unread.
  const int reads = core_.reads;
  EXPECT_EQ(Match("?*{VI_ATTR_X_BROKEN==1}"), VI_ERROR_RSRC_NFOUND);
  EXPECT_EQ(Match("?*{VI_ATTR_X_REAL==1}"), VI_ERROR_RSRC_NFOUND);
  EXPECT_EQ(core_.reads, reads);
  // No lookup at all: only the built-in names can be read.
  EXPECT_EQ(Match("?*{VI_ATTR_X_I8==-1}", kGpib0, nullptr), VI_ERROR_RSRC_NFOUND);
  EXPECT_EQ(Match("?*{VI_ATTR_X_I8==-1 || VI_ATTR_INTF_NUM==0}", kGpib0, nullptr), VI_SUCCESS);
  // get-attribute fails: the name is left out as if unknown.
  EXPECT_EQ(Match("?*{VI_ATTR_RSRC_MANF_NAME==\"x\"}"), VI_ERROR_RSRC_NFOUND);
  EXPECT_EQ(Match("?*{VI_ATTR_RSRC_MANF_NAME!=\"x\" || VI_ATTR_INTF_NUM==0}"), VI_SUCCESS);
  // A name longer than 255 characters is left out, not cut to a shorter one.
  const std::string long_name = "VI_ATTR_INTF_NUM" + std::string(240, '_');
  EXPECT_EQ(Match("?*{" + long_name + "==0}"), VI_ERROR_RSRC_NFOUND);
  EXPECT_EQ(Match("?*{" + long_name.substr(0, 255) + "==0}"), VI_ERROR_RSRC_NFOUND);
  EXPECT_EQ(core_.looked_up.back(), long_name.substr(0, 255));
}

TEST_F(MatchAttrExprTest, AttributeNamedTwiceIsReadTwiceAndTheFirstCounts) {
  EXPECT_EQ(Match("?*{VI_ATTR_X_COUNTER==1 && VI_ATTR_X_COUNTER==1}"), VI_SUCCESS);
  EXPECT_EQ(core_.counter, 2);
  EXPECT_EQ(core_.lookups, 2);
}

TEST_F(MatchAttrExprTest, FailedOpenIsNoMatchAndItsSessionIsStillClosed) {
  EXPECT_EQ(Match("?*{VI_ATTR_INTF_NUM==0}", "ASRL9::INSTR"), VI_ERROR_RSRC_NFOUND);
  EXPECT_EQ(core_.closes, 0);
  EXPECT_EQ(core_.reads, 0);
  core_.open_fails_after_creating = true;
  EXPECT_EQ(Match("?*{VI_ATTR_INTF_NUM==0}"), VI_ERROR_RSRC_NFOUND);
  EXPECT_EQ(core_.closes, 1);
  EXPECT_EQ(core_.reads, 0);
  // A core that never registered its callbacks: nothing can be opened.
  zyvisaSetLibraryCallbacks(nullptr, nullptr, nullptr, nullptr);
  EXPECT_EQ(Match("?*{VI_ATTR_INTF_NUM==0}"), VI_ERROR_RSRC_NFOUND);
  // Open but no get-attribute: nothing can be read, and the session is closed.
  zyvisaSetLibraryCallbacks(FakeOpen, nullptr, nullptr, FakeClose);
  core_.open_fails_after_creating = false;
  EXPECT_EQ(Match("?*{VI_ATTR_INTF_NUM==0}"), VI_ERROR_RSRC_NFOUND);
  EXPECT_EQ(core_.opens, 3);
  EXPECT_EQ(core_.closes, 2);
}

TEST_F(MatchAttrExprTest, FindListSemaphoreThatCannotBeTakenIsASystemError) {
  ViSemaphore sem = zyvisaGetObjectListMutex(objects::kFindListKind);
  ViUInt16 acquired = 0;
  zyvisa::test::Signal taken, done;
  std::thread holder([&] {
    visaSemAcquire(sem, VI_TMO_INFINITE, &acquired);
    taken.Notify();
    done.Wait(30000);
    visaSemRelease(sem, &acquired);
  });
  ASSERT_TRUE(taken.Wait(30000));
  // While unloading no service lock is waited for.
  EXPECT_EQ(visaLibIsUnloading(nullptr, nullptr, nullptr, nullptr), 1);
  EXPECT_EQ(Match("?*{VI_ATTR_INTF_NUM==0}"), VI_ERROR_SYSTEM_ERROR);
  // Without an attribute part there is nothing to lock.
  EXPECT_EQ(Match("?*INSTR"), VI_SUCCESS);
  done.Notify();
  holder.join();
  EXPECT_EQ(core_.opens, 0);
  zyvisaSetUnloadCallback(nullptr);
  EXPECT_EQ(Match("?*{VI_ATTR_INTF_NUM==0}"), VI_SUCCESS);
}

TEST_F(MatchAttrExprTest, EvaluationsOnSeveralThreadsRunOneAtATime) {
  std::vector<std::thread> threads;
  std::vector<int> failures(3, 0);
  for (int t = 0; t < 3; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < 20; ++i) {
        const bool even = (i + t) % 2 == 0;
        const ViStatus expected = even ? VI_SUCCESS : VI_ERROR_RSRC_NFOUND;
        if (Match("?*{VI_ATTR_INTF_NUM==0 && VI_ATTR_X_I8<0}", even ? kGpib0 : kGpib1) !=
            expected) {
          ++failures[t];
        }
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
  EXPECT_EQ(failures, std::vector<int>(3, 0));
  EXPECT_EQ(core_.opens, 60);
  EXPECT_EQ(core_.closes, 60);
  EXPECT_EQ(core_.most_inside, 1);
}

}  // namespace
