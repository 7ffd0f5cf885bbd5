// Operation tables, operation names and the unload callback's veto.
#include <gtest/gtest.h>

#include <array>
#include <string>
#include <vector>

#include "lifecycle/process_state.h"
#include "objects/oper_table.h"
#include "zyvisa_oper.h"

namespace {

namespace objects = zyvisa::objects;
namespace lifecycle = zyvisa::lifecycle;

// Distinct addresses standing in for drivers' entry points.
int g_entry_a, g_entry_b;
ViAddr const kEntryA = &g_entry_a;
ViAddr const kEntryB = &g_entry_b;

class OperTableTest : public ::testing::Test {
 protected:
  void SetUp() override { zyvisaFreeVectorTables(); }
  void TearDown() override { zyvisaFreeVectorTables(); }

  static objects::OperTable* Register(const char* name, ViUInt32 number = 0x00300000) {
    ViAddr table = nullptr;
    EXPECT_EQ(visaRegisterTable(name, number, nullptr, &table), VI_SUCCESS) << name;
    return static_cast<objects::OperTable*>(table);
  }
};

TEST_F(OperTableTest, TablesAreFoundByExactName) {
  objects::OperTable* gpib = Register("GPIB");
  EXPECT_STREQ(gpib->name, "GPIB");
  EXPECT_EQ(Register("GPIB", 0xFFFFFFFF), gpib);
  objects::OperTable* lower = Register("gpib");
  EXPECT_NE(lower, gpib);
  EXPECT_EQ(lower->next, gpib);
  EXPECT_EQ(gpib->previous, lower);
  EXPECT_EQ(lower->previous, nullptr);

  ViAddr table = nullptr;
  EXPECT_EQ(visaRegisterTable("USB", 0x00200000, nullptr, &table), VI_ERROR_INV_PARAMETER);
  EXPECT_EQ(visaRegisterTable("USB", 0, nullptr, &table), VI_ERROR_INV_PARAMETER);
  EXPECT_EQ(visaRegisterTable(nullptr, 0x00300000, nullptr, &table), VI_ERROR_USER_BUF);
  EXPECT_EQ(visaRegisterTable("USB", 0x00300000, nullptr, nullptr), VI_ERROR_USER_BUF);
  EXPECT_EQ(table, nullptr);
  const std::string longest(255, 'n');
  EXPECT_STREQ(Register(longest.c_str())->name, longest.c_str());
  EXPECT_EQ(visaRegisterTable(std::string(256, 'n').c_str(), 0x00300000, nullptr, &table),
            VI_ERROR_INV_PARAMETER);
}

TEST_F(OperTableTest, OperationsLandInTheirSlots) {
  objects::OperTable* t = Register("ASRL");
  const std::pair<const char*, size_t> cases[] = {
      {"viFindRsrc", 0},       {"viSetAttribute", 5}, {"viGetAttribute", 6},
      {"viTerminate", 8},      {"viRead", 15},        {"viWrite", 17},
      {"viYield", 22},         {"viSetBuf", 23},      {"viMove", 37},
      {"viPxiReserveTriggers", 62}, {"viMoveEx", 83}, {"viPeek64", 86},
      {"viPoke64", 87},        {"viMemFreeEx", 89},
  };
  for (auto [name, slot] : cases) {
    ASSERT_EQ(visaRegisterOper(t, name, kEntryA), VI_SUCCESS) << name;
    EXPECT_EQ(t->slots[slot], kEntryA) << name;
  }
  int filled = 0;
  for (ViAddr slot : t->slots) filled += slot != nullptr;
  EXPECT_EQ(filled, static_cast<int>(std::size(cases)));
}

TEST_F(OperTableTest, NamesAreMatchedExactly) {
  objects::OperTable* t = Register("TCPIP");
  for (const char* name : {"VIRead", "viread", "Read", "viInstallHandler", "vi", "v", "",
                           "viRead ", "viReadX"}) {
    EXPECT_EQ(visaRegisterOper(t, name, kEntryA), VI_ERROR_NSUP_OPER) << '"' << name << '"';
  }
  EXPECT_EQ(visaRegisterOper(nullptr, "viRead", kEntryA), VI_ERROR_INV_PARAMETER);
  EXPECT_EQ(visaRegisterOper(t, nullptr, kEntryA), VI_ERROR_INV_PARAMETER);
  EXPECT_EQ(visaRegisterOper(t, "viRead", nullptr), VI_ERROR_INV_PARAMETER);
  for (ViAddr slot : t->slots) EXPECT_EQ(slot, nullptr);
}

TEST_F(OperTableTest, ASlotKeepsItsFirstEntryPoint) {
  objects::OperTable* t = Register("VXI");
  EXPECT_EQ(visaRegisterOper(t, "viRead", kEntryA), VI_SUCCESS);
  EXPECT_EQ(visaRegisterOper(t, "viRead", kEntryA), VI_SUCCESS);
  EXPECT_EQ(visaRegisterOper(t, "viRead", kEntryB), VI_ERROR_ALLOC);
  EXPECT_EQ(t->slots[objects::kSlotRead], kEntryA);
}

struct TableVisits {
  std::vector<ViAddr> seen;
  size_t stop_after = 0;
  ViStatus stop_with = VI_SUCCESS;
};

ViStatus VisitTable(ViAddr table, ViAddr context) {
  auto* visits = static_cast<TableVisits*>(context);
  visits->seen.push_back(table);
  return visits->seen.size() == visits->stop_after ? visits->stop_with : VI_SUCCESS_NESTED_SHARED;
}

TEST_F(OperTableTest, EnumerationRunsNewestFirstAndStopsOnRequest) {
  TableVisits none;
  EXPECT_EQ(zyvisaEnumVectorTables(VisitTable, &none), VI_WARN_NULL_OBJECT);
  EXPECT_EQ(zyvisaEnumVectorTables(nullptr, nullptr), VI_ERROR_INV_HNDLR_REF);
  objects::OperTable* a = Register("A");
  objects::OperTable* b = Register("B");
  objects::OperTable* c = Register("C");

  TableVisits all;
  EXPECT_EQ(zyvisaEnumVectorTables(VisitTable, &all), VI_SUCCESS_NESTED_SHARED);
  EXPECT_EQ(all.seen, (std::vector<ViAddr>{c, b, a}));

  TableVisits nchain{{}, 1, VI_SUCCESS_NCHAIN};
  EXPECT_EQ(zyvisaEnumVectorTables(VisitTable, &nchain), VI_SUCCESS_NCHAIN);
  EXPECT_EQ(nchain.seen, (std::vector<ViAddr>{c}));

  TableVisits error{{}, 2, VI_ERROR_INV_SETUP};
  EXPECT_EQ(zyvisaEnumVectorTables(VisitTable, &error), VI_ERROR_INV_SETUP);
  EXPECT_EQ(error.seen, (std::vector<ViAddr>{c, b}));

  EXPECT_EQ(zyvisaFreeVectorTables(), VI_SUCCESS);
  EXPECT_EQ(zyvisaFreeVectorTables(), VI_WARN_NULL_OBJECT);
  EXPECT_EQ(zyvisaEnumVectorTables(VisitTable, &none), VI_WARN_NULL_OBJECT);
  // After freeing, a name is registered afresh.
  objects::OperTable* again = Register("A");
  EXPECT_EQ(again->next, nullptr);
  EXPECT_EQ(again->slots[0], nullptr);
}

// ---------------------------------------------------------------- operation names

std::string OperName(ViUInt32 id, ViStatus expected = VI_SUCCESS) {
  // One byte past the documented size must stay untouched.
  std::array<char, ZYVISA_OPER_NAME_SIZE + 1> buffer;
  buffer.fill('#');
  EXPECT_EQ(zyvisaLookupOperName(id, buffer.data()), expected) << std::hex << id;
  EXPECT_EQ(buffer.back(), '#');
  return buffer.data();
}

TEST(OperNames, TheLowHalfOfTheIdentifierIsIgnored) {
  EXPECT_EQ(OperName(0x02080000), "viInstallHandler");
  EXPECT_EQ(OperName(0x0208FFFF), "viInstallHandler");
}

TEST(OperNames, FirstAndLastOfEachGroup) {
  const std::pair<ViUInt32, const char*> cases[] = {
      {0x0101, "viStatusDesc"},      {0x0104, "viClose"},
      {0x0201, "viTerminate"},       {0x0209, "viUninstallHandler"},
      {0x0301, "viOpenDefaultRM"},   {0x0305, "viParseRsrc"},
      {0x0401, "viRead"},            {0x0409, "viWriteFromFile"},
      {0x0501, "viIn8"},             {0x050E, "viMoveAsync"},
      {0x0520, "viMoveAsyncEx"},     {0x0524, "viMoveOut64Ex"},
      {0x0601, "viMapAddress"},      {0x060B, "viMapAddressEx"},
      {0x0701, "viMemAlloc"},        {0x0704, "viMemFreeEx"},
      {0x0901, "viGpibControlREN"},  {0x0905, "viGpibPassControl"},
      {0x0A01, "viVxiCommandQuery"}, {0x0A06, "viVxiServantResponse"},
      {0x0A07, "viPxiReserveTriggers"},
      {0x6301, "viSetBuf"},          {0x6309, "viBufRead"},
  };
  for (auto [id, name] : cases) EXPECT_EQ(OperName(id << 16), name);
}

TEST(OperNames, UnknownIdentifiersAreNamedSo) {
  for (ViUInt32 id : {0x0000u, 0x0100u, 0x0105u, 0x020Au, 0x0525u, 0x0801u, 0x0800u, 0x0A08u,
                      0x0B01u, 0x6300u, 0x630Au, 0x6401u, 0xFF01u, 0x0001u}) {
    EXPECT_EQ(OperName(id << 16, VI_WARN_UNKNOWN_STATUS), "<unknown operation>");
  }
  EXPECT_EQ(zyvisaLookupOperName(0x04010000, nullptr), VI_ERROR_USER_BUF);
}

// ---------------------------------------------------------------- callbacks and unloading

class UnloadTest : public ::testing::Test {
 protected:
  void TearDown() override { zyvisaSetUnloadCallback(nullptr); }
};

struct UnloadCall {
  ViAddr args[4];
  int calls = 0;
};
UnloadCall g_unload_call;
ViInt32 g_unload_answer = 0;

ViInt32 UnloadCallback(ViAddr w, ViAddr x, ViAddr y, ViAddr z) {
  g_unload_call = {{w, x, y, z}, g_unload_call.calls + 1};
  return g_unload_answer;
}

TEST_F(UnloadTest, ACallbackVetoPassesItsAnswerOnAndKeepsWaiting) {
  EXPECT_EQ(zyvisaSetUnloadCallback(UnloadCallback), VI_SUCCESS);
  g_unload_answer = 5;
  int w, x, y, z;
  EXPECT_EQ(visaLibIsUnloading(&w, &x, &y, &z), 5);
  EXPECT_EQ(g_unload_call.calls, 1);
  EXPECT_EQ(g_unload_call.args[0], &w);
  EXPECT_EQ(g_unload_call.args[3], &z);
  EXPECT_EQ(lifecycle::ServiceLockTimeout(), lifecycle::kServiceWaitForever);
  EXPECT_EQ(lifecycle::State().unloading.load(), 0);
}

TEST_F(UnloadTest, WithoutAVetoUnloadingBeginsUntilACallbackIsSetAgain) {
  EXPECT_EQ(zyvisaSetUnloadCallback(UnloadCallback), VI_SUCCESS);
  g_unload_answer = 0;
  EXPECT_EQ(visaLibIsUnloading(nullptr, nullptr, nullptr, nullptr), 1);
  EXPECT_EQ(lifecycle::ServiceLockTimeout(), 0u);
  EXPECT_EQ(lifecycle::State().unloading.load(), 1);
  EXPECT_EQ(zyvisaSetUnloadCallback(nullptr), VI_SUCCESS);
  EXPECT_EQ(lifecycle::ServiceLockTimeout(), lifecycle::kServiceWaitForever);
  EXPECT_EQ(lifecycle::State().unloading.load(), 0);
  // Removed: nothing is called any more.
  const int calls = g_unload_call.calls;
  EXPECT_EQ(visaLibIsUnloading(nullptr, nullptr, nullptr, nullptr), 1);
  EXPECT_EQ(g_unload_call.calls, calls);
}

}  // namespace
