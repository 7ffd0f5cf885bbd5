// Drivers' operation tables: found or created by name, filled slot by slot
// under the operations' names, enumerated and freed as one process-wide list.
// Registration happens while the core loads its drivers, before any session
// uses a table, and the core serialises it; so no lock is taken here.
#include <cstdlib>
#include <cstring>

#include "objects/oper_table.h"
#include "zyvisa_oper.h"

namespace zyvisa::objects {
namespace {

// Newest table first.
OperTable* g_tables = nullptr;

// Below this, a caller predates the table layout and cannot be served.
constexpr ViUInt32 kMinTableNumber = 0x00200000;

// Slot order of the table, each name without its "vi" prefix.
const char* const kSlotNames[kOperSlotCount] = {
    "FindRsrc", "ParseRsrc", "ParseRsrcEx", "Open", "Close",
    "SetAttribute", "GetAttribute", "StatusDesc", "Terminate", "Lock",
    "Unlock", "EnableEvent", "DisableEvent", "DiscardEvents", "WaitOnEvent",
    "Read", "ReadAsync", "Write", "WriteAsync", "AssertTrigger",
    "ReadSTB", "Clear", "Yield", "SetBuf", "Flush",
    "In8", "Out8", "In16", "Out16", "In32",
    "Out32", "MoveIn8", "MoveOut8", "MoveIn16", "MoveOut16",
    "MoveIn32", "MoveOut32", "Move", "MoveAsync", "MapAddress",
    "UnmapAddress", "Peek8", "Poke8", "Peek16", "Poke16",
    "Peek32", "Poke32", "MemAlloc", "MemFree", "GpibControlREN",
    "GpibControlATN", "GpibSendIFC", "GpibCommand", "GpibPassControl", "VxiCommandQuery",
    "AssertUtilSignal", "AssertIntrSignal", "MapTrigger", "UnmapTrigger", "VxiServantResponse",
    "UsbControlOut", "UsbControlIn", "PxiReserveTriggers", "In64", "Out64",
    "MoveIn64", "MoveOut64", "In8Ex", "Out8Ex", "In16Ex",
    "Out16Ex", "In32Ex", "Out32Ex", "In64Ex", "Out64Ex",
    "MoveIn8Ex", "MoveOut8Ex", "MoveIn16Ex", "MoveOut16Ex", "MoveIn32Ex",
    "MoveOut32Ex", "MoveIn64Ex", "MoveOut64Ex", "MoveEx", "MoveAsyncEx",
    "MapAddressEx", "Peek64", "Poke64", "MemAllocEx", "MemFreeEx",
};

}  // namespace
}  // namespace zyvisa::objects

namespace objects = zyvisa::objects;
using objects::g_tables;

extern "C" ZYVISA_EXPORT ViStatus visaRegisterTable(ViConstString name, ViUInt32 number, ViAddr,
                                                    ViAddr* table) noexcept {
  if (name == nullptr || table == nullptr) return VI_ERROR_USER_BUF;
  if (number <= objects::kMinTableNumber) return VI_ERROR_INV_PARAMETER;
  // A name that does not fit the name field is a bad parameter like the
  // number: no table could carry it.
  const size_t length = std::strlen(name);
  if (length >= objects::kOperTableNameSize) return VI_ERROR_INV_PARAMETER;
  for (objects::OperTable* t = g_tables; t != nullptr; t = t->next) {
    if (std::strcmp(t->name, name) == 0) {
      *table = t;
      return VI_SUCCESS;
    }
  }
  auto* created = static_cast<objects::OperTable*>(std::calloc(1, sizeof(objects::OperTable)));
  if (created == nullptr) return VI_ERROR_ALLOC;
  std::memcpy(created->name, name, length + 1);
  created->next = g_tables;
  if (g_tables != nullptr) g_tables->previous = created;
  g_tables = created;
  *table = created;
  return VI_SUCCESS;
}

extern "C" ZYVISA_EXPORT ViStatus visaRegisterOper(ViAddr table, ViConstString name,
                                                   ViAddr function) noexcept {
  if (table == nullptr || name == nullptr || function == nullptr) return VI_ERROR_INV_PARAMETER;
  if (name[0] != 'v' || name[1] != 'i') return VI_ERROR_NSUP_OPER;
  for (size_t slot = 0; slot < objects::kOperSlotCount; ++slot) {
    if (std::strcmp(name + 2, objects::kSlotNames[slot]) != 0) continue;
    ViAddr& entry = static_cast<objects::OperTable*>(table)->slots[slot];
    if (entry == nullptr) entry = function;
    // A second, different entry point for one operation is refused: the
    // first registration stays in force.
    return entry == function ? VI_SUCCESS : VI_ERROR_ALLOC;
  }
  return VI_ERROR_NSUP_OPER;
}

extern "C" ZYVISA_EXPORT ViStatus zyvisaEnumVectorTables(ZyvisaEnumTableProc callback,
                                                         ViAddr context) noexcept {
  if (callback == nullptr) return VI_ERROR_INV_HNDLR_REF;
  if (g_tables == nullptr) return VI_WARN_NULL_OBJECT;
  ViStatus status = VI_SUCCESS;
  for (objects::OperTable* t = g_tables; t != nullptr; t = t->next) {
    status = callback(t, context);
    if (status < VI_SUCCESS || status == VI_SUCCESS_NCHAIN) break;
  }
  return status;
}

extern "C" ZYVISA_EXPORT ViStatus zyvisaFreeVectorTables() noexcept {
  if (g_tables == nullptr) return VI_WARN_NULL_OBJECT;
  while (g_tables != nullptr) {
    objects::OperTable* next = g_tables->next;
    std::free(g_tables);
    g_tables = next;
  }
  return VI_SUCCESS;
}
