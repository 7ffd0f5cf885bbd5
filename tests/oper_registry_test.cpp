// Drivers' operation tables and the names of operation identifiers.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <iterator>
#include <string>
#include <vector>

#include "objects/oper_table.h"
#include "zyvisa_oper.h"

namespace {

namespace objects = zyvisa::objects;

class OperTableTest : public ::testing::Test {
 protected:
  void TearDown() override { zyvisaFreeVectorTables(); }

  static objects::OperTable* Register(const char* name, ViUInt32 number = 0x00300000) {
    ViAddr table = nullptr;
    EXPECT_EQ(visaRegisterTable(name, number, nullptr, &table), VI_SUCCESS) << name;
    return static_cast<objects::OperTable*>(table);
  }
};

TEST_F(OperTableTest, OperationsLandInTheirSlots) {
  // The ends of the table, and places where the order is neither alphabetical
  // nor that of the operation identifiers.
  const std::pair<const char*, size_t> cases[] = {
      {"viFindRsrc", 0}, {"viSetAttribute", 5}, {"viGetAttribute", 6}, {"viLock", 9},
      {"viRead", 15}, {"viWrite", 17}, {"viSetBuf", 23}, {"viMove", 37}, {"viUsbControlOut", 60},
      {"viIn16Ex", 69}, {"viMoveEx", 83}, {"viPeek64", 86}, {"viMemFreeEx", 89}};
  objects::OperTable* t = Register("ASRL");
  for (const auto& [name, slot] : cases) {
    // Each its own entry point: two names sharing a slot would clash.
    EXPECT_EQ(visaRegisterOper(t, name, const_cast<char*>(name)), VI_SUCCESS) << name;
    EXPECT_EQ(t->slots[slot], name);
  }
  EXPECT_EQ(std::count(std::begin(t->slots), std::end(t->slots), nullptr),
            static_cast<long>(objects::kOperSlotCount - std::size(cases)));
}

TEST_F(OperTableTest, OperationsNeedTheirExactNameAndKeepTheFirstEntryPoint) {
  objects::OperTable* t = Register("VXI");
  int a = 0, b = 0;  // two drivers' entry points
  EXPECT_EQ(visaRegisterOper(t, "viRead", &a), VI_SUCCESS);
  EXPECT_EQ(visaRegisterOper(t, "viRead", &a), VI_SUCCESS);
  EXPECT_EQ(visaRegisterOper(t, "viRead", &b), VI_ERROR_ALLOC);  // the first stays
  // Case matters, and "viInstallHandler" is an operation without a slot.
  for (const char* name :
       {"VIRead", "viread", "viInstallHandler", "viReadX", "vi", ""}) {
    EXPECT_EQ(visaRegisterOper(t, name, &b), VI_ERROR_NSUP_OPER) << '"' << name << '"';
  }
  EXPECT_EQ(visaRegisterOper(nullptr, "viWrite", &b), VI_ERROR_INV_PARAMETER);
  EXPECT_EQ(visaRegisterOper(t, nullptr, &b), VI_ERROR_INV_PARAMETER);
  EXPECT_EQ(visaRegisterOper(t, "viWrite", nullptr), VI_ERROR_INV_PARAMETER);
  for (size_t slot = 0; slot < objects::kOperSlotCount; ++slot) {
    EXPECT_EQ(t->slots[slot], slot == objects::kSlotRead ? &a : nullptr) << slot;
  }
}

// Records the tables visited; the call numbered stop_after answers stop_with,
// the others a warning, which does not stop the walk.
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

TEST_F(OperTableTest, TablesAreFoundByExactNameAndListedNewestFirst) {
  TableVisits none;
  EXPECT_EQ(zyvisaEnumVectorTables(VisitTable, &none), VI_WARN_NULL_OBJECT);
  EXPECT_EQ(zyvisaEnumVectorTables(nullptr, nullptr), VI_ERROR_INV_HNDLR_REF);
  const std::string longest(255, 'n');
  objects::OperTable* gpib = Register("GPIB");
  objects::OperTable* lower = Register("gpib");
  objects::OperTable* last = Register(longest.c_str());
  EXPECT_EQ(Register("GPIB", 0xFFFFFFFF), gpib);
  EXPECT_NE(lower, gpib);
  EXPECT_STREQ(gpib->name, "GPIB");
  EXPECT_STREQ(last->name, longest.c_str());
  EXPECT_EQ(lower->previous, last);  // the newest has none
  EXPECT_EQ(last->previous, nullptr);

  ViAddr table = nullptr;
  EXPECT_EQ(visaRegisterTable("USB", 0x00200000, nullptr, &table), VI_ERROR_INV_PARAMETER);
  EXPECT_EQ(visaRegisterTable(nullptr, 0x00300000, nullptr, &table), VI_ERROR_USER_BUF);
  EXPECT_EQ(visaRegisterTable("USB", 0x00300000, nullptr, nullptr), VI_ERROR_USER_BUF);
  EXPECT_EQ(visaRegisterTable((longest + "n").c_str(), 0x00300000, nullptr, &table),
            VI_ERROR_INV_PARAMETER);
  EXPECT_EQ(table, nullptr);

  const std::vector<ViAddr> newest_first = {last, lower, gpib};
  const struct { TableVisits visits; ViStatus status; size_t seen; } walks[] = {
      {{}, VI_SUCCESS_NESTED_SHARED, 3},
      {{{}, 1, VI_SUCCESS_NCHAIN}, VI_SUCCESS_NCHAIN, 1},
      {{{}, 2, VI_ERROR_INV_SETUP}, VI_ERROR_INV_SETUP, 2},
  };
  for (auto walk : walks) {
    SCOPED_TRACE(walk.seen);
    EXPECT_EQ(zyvisaEnumVectorTables(VisitTable, &walk.visits), walk.status);
    EXPECT_EQ(walk.visits.seen,
              std::vector<ViAddr>(newest_first.begin(), newest_first.begin() + walk.seen));
  }
  EXPECT_EQ(zyvisaFreeVectorTables(), VI_SUCCESS);
  EXPECT_EQ(zyvisaFreeVectorTables(), VI_WARN_NULL_OBJECT);
  EXPECT_EQ(zyvisaEnumVectorTables(VisitTable, &none), VI_WARN_NULL_OBJECT);
}

TEST(OperNames, KnownIdentifiersAreNamedAndOthersSaySo) {
  // The ends of groups, one whose place differs from its slot's (viIn64), and
  // operations that do not exist (null): number 0, past a group's end, the
  // missing group 8, past the last group.
  const std::pair<ViUInt32, const char*> cases[] = {
      {0x0101, "viStatusDesc"}, {0x0209, "viUninstallHandler"}, {0x050F, "viIn64"},
      {0x0524, "viMoveOut64Ex"}, {0x0A07, "viPxiReserveTriggers"}, {0x6309, "viBufRead"},
      {0x0100, nullptr}, {0x0105, nullptr}, {0x0801, nullptr}, {0x630A, nullptr}, {0xFF01, nullptr}};
  for (const auto& [operation, name] : cases) {
    for (ViUInt32 id : {operation << 16, operation << 16 | 0xFFFF}) {  // the low half is ignored
      SCOPED_TRACE(testing::Message() << std::hex << id);
      std::array<char, ZYVISA_OPER_NAME_SIZE + 1> buffer;  // the last byte must stay untouched
      buffer.fill('#');
      EXPECT_EQ(zyvisaLookupOperName(id, buffer.data()),
                name != nullptr ? VI_SUCCESS : VI_WARN_UNKNOWN_STATUS);
      EXPECT_STREQ(buffer.data(), name != nullptr ? name : "<unknown operation>");
      EXPECT_EQ(buffer.back(), '#');
    }
  }
  EXPECT_EQ(zyvisaLookupOperName(0x04010000, nullptr), VI_ERROR_USER_BUF);
}

}  // namespace
