// Evaluations per second of a typical two-comparison attribute expression:
// the whole visaMatchAttrExpr against a fake core, the same core calls made
// by hand (the floor any implementation pays), and the language alone.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "lifecycle/startup.h"
#include "runtime/process_state.h"
#include "match/attr_expr_language.h"
#include "objects/library_callbacks.h"
#include "objects/object_lists.h"
#include "objects/object_table.h"
#include "support/test_machine.h"
#include "zyvisa_match.h"
#include "zyvisa_objects.h"
#include "zyvisa_oper.h"

namespace {

namespace objects = zyvisa::objects;

constexpr char kExpression[] = "?*INSTR{VI_ATTR_INTF_NUM==0 && VI_ATTR_RSRC_MANF_ID==0x1234}";
constexpr char kResource[] = "GPIB0::1::INSTR";

ViStatus FakeOpen(ViSession, ViConstRsrc, ViUInt32, ViUInt32, ViSession* opened) {
  ViUInt32 handle = 0;
  if (zyvisaCreateObject(objects::kIoSessionKind, sizeof(objects::IoSession), &handle) ==
      nullptr) {
    return VI_ERROR_ALLOC;
  }
  *opened = handle;
  return VI_SUCCESS;
}

ViStatus FakeGetAttribute(ViAddr, ViAttr attribute, ViAddr value) {
  if (attribute == VI_ATTR_INTF_NUM) *static_cast<ViUInt16*>(value) = 0;
  else if (attribute == VI_ATTR_RSRC_MANF_ID) *static_cast<ViUInt16*>(value) = 0x1234;
  else return VI_ERROR_NSUP_OPER;
  return VI_SUCCESS;
}

ViStatus FakeClose(ViSession handle) {
  return zyvisaFreeObject(objects::kIoSessionKind, zyvisaValidateIoSession(handle, 0),
                          static_cast<ViUInt16>(handle));
}

// One private machine for the whole run, as the tests have.
struct Library {
  Library() {
    zyvisa::lifecycle::Startup();
    if (zyvisaGetObjectListMutex(objects::kFindListKind) == nullptr &&
        !objects::CreateObjectLists()) {
      std::abort();
    }
    zyvisaSetLibraryCallbacks(FakeOpen, FakeGetAttribute, nullptr, FakeClose);
  }
  ~Library() { zyvisa::lifecycle::Shutdown(); }
  zyvisa::test::TestMachine machine;
};

void StartLibrary() { static Library library; }

void BM_MatchAttrExpr(benchmark::State& state) {
  StartLibrary();
  for (auto _ : state) {
    ViStatus status = visaMatchAttrExpr(0x1001, kExpression, kResource, nullptr, nullptr);
    if (status != VI_SUCCESS) state.SkipWithError("no match");
    benchmark::DoNotOptimize(status);
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_MatchAttrExpr);

// Reference: the lock, open, two reads and close that the call cannot avoid.
void BM_CoreCallsOnly(benchmark::State& state) {
  StartLibrary();
  const objects::LibraryCallbacks core = objects::GetLibraryCallbacks();
  for (auto _ : state) {
    objects::ListLock lock(objects::kFindListKind);
    ViSession opened = 0;
    core.open(0x1001, kResource, 0, 0, &opened);
    ViUInt16 values[2] = {};
    core.get_attribute(objects::LookupIoSession(opened), VI_ATTR_INTF_NUM, &values[0]);
    core.get_attribute(objects::LookupIoSession(opened), VI_ATTR_RSRC_MANF_ID, &values[1]);
    benchmark::DoNotOptimize(values);
    core.close(opened);
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_CoreCallsOnly);

zyvisa::match::AttrRecord Unsigned(const char* name, uint64_t value) {
  zyvisa::match::AttrRecord r{};
  std::strncpy(r.name, name, sizeof(r.name) - 1);
  r.value.number = value;
  r.type_flags = zyvisa::match::kAttrUnsigned;
  return r;
}

void BM_LanguageOnly(benchmark::State& state) {
  const zyvisa::match::AttrRecord records[] = {Unsigned("VI_ATTR_INTF_NUM", 0),
                                               Unsigned("VI_ATTR_RSRC_MANF_ID", 0x1234)};
  const std::string text = "VI_ATTR_INTF_NUM==0 && VI_ATTR_RSRC_MANF_ID==0x1234\n";
  for (auto _ : state) {
    int value = zyvisa::match::EvaluateAttrExpr(text, records, 2);
    if (value != 1) state.SkipWithError("not true");
    benchmark::DoNotOptimize(value);
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_LanguageOnly);

}  // namespace
