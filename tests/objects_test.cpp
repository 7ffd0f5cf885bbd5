// The object table: handles, slots and links of the four lists, the
// validations, concurrent use of one list, unloading, and the services on top
// (session enumeration, found resource names).
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "lifecycle/startup.h"
#include "runtime/process_state.h"
#include "objects/object_table.h"
#include "support/test_machine.h"
#include "zyvisa_objects.h"
#include "zyvisa_oper.h"

namespace {

namespace objects = zyvisa::objects;
namespace lifecycle = zyvisa::lifecycle;
namespace runtime = zyvisa::runtime;
using objects::IoSession;
using Header = objects::ObjectHeader;
using Handles = std::vector<uint32_t>;
using Objects = std::vector<void*>;

// Starts the library on a machine of its own. What a test made through Create
// and left behind is freed before shutdown.
class ObjectTableTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_EQ(lifecycle::Startup(), 1); }
  void TearDown() override {
    while (!live_.empty()) Free(live_.begin()->first);
    lifecycle::Shutdown();
  }

  // An object of the smallest size its kind takes (or of size), whose handle
  // must carry its kind; a session also gets its handle value.
  template <typename T = void>
  T* Create(uint16_t kind, uint32_t* handle = nullptr, uint32_t size = 0) {
    const uint32_t minimum[] = {sizeof(IoSession), sizeof(Header), sizeof(objects::FindList),
                                sizeof(objects::EventQueue)};
    uint32_t h = 0;
    void* object = zyvisaCreateObject(kind, size != 0 ? size : minimum[kind], &h);
    if (object != nullptr) {
      EXPECT_EQ(h >> 12, kind);
      live_[object] = {kind, h};
      if (kind == objects::kIoSessionKind) static_cast<IoSession*>(object)->handle = h;
    }
    if (handle != nullptr) *handle = h;
    return static_cast<T*>(object);
  }
  void Free(void* object) {
    const auto [kind, h] = live_.at(object);
    live_.erase(object);
    if (kind == objects::kFindListKind) {
      // The arrays belong to the find list's owner, who releases them.
      std::free(static_cast<objects::FindList*>(object)->found_names);
      std::free(static_cast<objects::FindList*>(object)->sources);
    }
    EXPECT_EQ(zyvisaFreeObject(kind, object, static_cast<ViUInt16>(h)), VI_SUCCESS);
  }
  // The list of a kind from the newest object; every previous link must
  // mirror the next link that led to its object.
  static Objects Chain(uint16_t kind) {
    Objects chain;
    Header* previous = nullptr;
    for (auto* o = static_cast<Header*>(zyvisaGetFirstObject(kind));
         o != nullptr && chain.size() <= objects::kMaxObjectsPerKind; o = o->next) {
      EXPECT_EQ(o->previous, previous);
      chain.push_back(previous = o);
    }
    return chain;
  }

  std::map<void*, std::pair<uint16_t, uint32_t>> live_;  // object: kind, handle
  zyvisa::test::TestMachine machine_;
};

// Records the session handles that visaEnumSessions calls back with: the call
// numbered stop_after answers stop_with, every other one answers answer.
struct Visits {
  Handles seen;
  ViStatus answer = VI_SUCCESS;
  size_t stop_after = 0;
  ViStatus stop_with = VI_SUCCESS;
};

ViStatus RecordVisit(ViSession session, ViAddr context) {
  auto* visits = static_cast<Visits*>(context);
  visits->seen.push_back(session);
  return visits->seen.size() == visits->stop_after ? visits->stop_with : visits->answer;
}

TEST_F(ObjectTableTest, SlotsAndLinksFollowCreationAndFreeing) {
  Handles first(4);
  Objects rm(4);
  // The last one made, kind 1, is the first resource manager.
  for (int kind : {2, 0, 3, 1}) rm[0] = Create(static_cast<uint16_t>(kind), &first[kind]);
  EXPECT_EQ(first, (Handles{0x0001, 0x1001, 0x2001, 0x3001}));
  for (int i = 1; i < 4; ++i) rm[i] = Create(1);  // 0x1002 .. 0x1004
  EXPECT_EQ(Chain(1), (Objects{rm[3], rm[2], rm[1], rm[0]}));

  // Freeing null, or under an unknown kind, changes nothing.
  EXPECT_EQ(zyvisaFreeObject(1, nullptr, 0x1004), VI_WARN_NULL_OBJECT);
  EXPECT_EQ(zyvisaFreeObject(4, rm[3], 0x1004), VI_ERROR_INV_OBJECT);
  EXPECT_EQ(zyvisaValidateRM(0x1004), rm[3]);

  Free(rm[2]);  // in the middle
  EXPECT_EQ(Chain(1), (Objects{rm[3], rm[1], rm[0]}));
  Free(rm[0]);  // the last
  EXPECT_EQ(Chain(1), (Objects{rm[3], rm[1]}));
  Free(rm[3]);  // the first
  EXPECT_EQ(Chain(1), Objects{rm[1]});
  // Freed as 0x1003, 0x1001, 0x1004, the slots come back lowest first: not
  // the last freed first, nor the first freed, nor past the highest taken.
  Handles again(4);
  for (uint32_t& h : again) Create(1, &h);
  EXPECT_EQ(again, (Handles{0x1001, 0x1003, 0x1004, 0x1005}));

  uint32_t h = 0;
  EXPECT_EQ(zyvisaCreateObject(4, 64, &h), nullptr);
  EXPECT_EQ(zyvisaCreateObject(1, 64, nullptr), nullptr);
  // Blocks too small for the fields that the validations touch.
  EXPECT_EQ(zyvisaCreateObject(1, sizeof(Header) - 1, &h), nullptr);
  EXPECT_EQ(zyvisaCreateObject(0, sizeof(IoSession) - 1, &h), nullptr);
}

TEST_F(ObjectTableTest, ForeignKindStaleHandlesAndNodesPastTheQueueGiveNull) {
  uint32_t rm = 0, sesn = 0, h = 0;
  void* manager = Create(1, &rm);
  void* session = Create(0, &sesn);
  auto* queue = Create<objects::EventQueue>(
      3, &h, sizeof(objects::EventQueue) + 2 * sizeof(objects::EventNode));
  queue->length = 2;
  auto* node0 = reinterpret_cast<char*>(queue) + 80;  // the reserved node space of the head
  // Low part 0, an empty slot, beyond 16 bits, another kind.
  for (uint32_t bad : {0x1000u, 0x1002u, 0x11001u}) EXPECT_EQ(zyvisaValidateRM(bad), nullptr);
  EXPECT_EQ(zyvisaValidateIoSession(rm, 0), nullptr);
  EXPECT_EQ(zyvisaValidateIoSession(0x10000 | sesn, 0), nullptr);
  // The general lookup ignores the event bits above the handle.
  EXPECT_EQ(objects::LookupObject(1, 0x50000 | rm), manager);
  EXPECT_EQ(visaGetSesnImpl(sesn), session);
  EXPECT_EQ(zyvisaValidateEvent(h), node0);
  EXPECT_EQ(visaGetEventImpl((2u << 16) | h), node0 + 56 * 2);
  EXPECT_EQ(zyvisaValidateEvent((3u << 16) | h), nullptr);
  EXPECT_EQ(zyvisaValidateEvent((1u << 16) | (h & 0xFFF)), nullptr);  // kind 0
  for (void* object : {manager, session, static_cast<void*>(queue)}) Free(object);
  EXPECT_EQ(zyvisaValidateRM(rm), nullptr);
  EXPECT_EQ(zyvisaValidateEvent((1u << 16) | h), nullptr);
}

TEST_F(ObjectTableTest, ValidateIoSessionFlagsAloneAndCombined) {
  uint32_t h = 0;
  auto* s = Create<IoSession>(0, &h);
  // Flags: 1 enter, 2 refuse a closing session, 4 begin closing.
  struct Case { uint32_t flags; uint16_t closing; bool found; uint32_t entered; uint16_t closed; };
  const Case cases[] = {{0, 0, true, 0, 0}, {1, 0, true, 1, 0}, {2, 0, true, 0, 0},
                        {4, 0, true, 0, 1}, {7, 0, true, 1, 1}, {5, 1, true, 1, 1},
                        {2, 1, false, 0, 1}, {7, 1, false, 0, 1}};
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << "flags " << c.flags << ", closing " << c.closing);
    s->closing = c.closing;
    EXPECT_EQ(zyvisaValidateIoSession(h, c.flags), c.found ? s : nullptr);
    EXPECT_EQ(s->use_count.load(), c.entered);
    EXPECT_EQ(s->closing.load(), c.closed);
    zyvisaReleaseIoSession(c.entered != 0 ? s : nullptr);
    EXPECT_EQ(s->use_count.load(), 0u);
  }
}

TEST_F(ObjectTableTest, ThreadsCreatingLookingUpAndFreeingKeepTheListWhole) {
  // Each thread makes batches, checks that every handle names its own object
  // (none was given twice) and frees them; half of the last batch stays.
  std::atomic<int> failures{0};
  std::mutex kept;
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&] {
      for (int round = 0; round < 40; ++round) {
        std::pair<void*, uint32_t> batch[20];
        for (auto& [o, h] : batch) failures += (o = zyvisaCreateObject(1, 64, &h)) == nullptr;
        for (int i = 0; i < 20; ++i) {
          const auto [o, h] = batch[i];
          failures += zyvisaValidateRM(h) != o;
          if (round == 39 && i % 2 == 1) {
            std::lock_guard<std::mutex> guard(kept);
            live_[o] = {1, h};
          } else {
            failures += zyvisaFreeObject(1, o, ViUInt16(h)) != VI_SUCCESS;
          }
        }
      }
    });
  }
  for (auto& thread : threads) thread.join();
  EXPECT_EQ(failures.load(), 0);
  // The links hold exactly the live objects (live_ is ordered by address).
  Objects chain = Chain(1), survivors;
  for (const auto& [object, kind_handle] : live_) {
    EXPECT_EQ(zyvisaValidateRM(kind_handle.second), object);
    survivors.push_back(object);
  }
  std::sort(chain.begin(), chain.end());
  EXPECT_EQ(chain, survivors);
  // No slot was lost: with everything freed, the whole range is there again,
  // through 16 growths of the slot array, and not one object more.
  while (!live_.empty()) Free(live_.begin()->first);
  for (uint32_t i = 1, h = 0; i <= objects::kMaxObjectsPerKind; ++i) {
    ASSERT_NE(Create(1, &h), nullptr);
    ASSERT_EQ(h, 0x1000u | i);
  }
  EXPECT_EQ(Create(1), nullptr);
  EXPECT_EQ(zyvisaValidateRM(0x1FFF), Chain(1).front());
}

// The unload callback's answer, and the arguments of its calls.
ViInt32 g_unload_answer = 0;
std::vector<std::vector<ViAddr>> g_unload_calls;

ViInt32 UnloadCallback(ViAddr w, ViAddr x, ViAddr y, ViAddr z) {
  g_unload_calls.push_back({w, x, y, z});
  return g_unload_answer;
}

TEST_F(ObjectTableTest, UnloadingUnlessVetoedMakesListWaitsGiveUpAtOnce) {
  uint32_t h = 0;
  auto* s = Create<IoSession>(0, &h);
  std::atomic<int> step{0};  // another thread holds the session list until step 2
  std::thread holder([&step] {
    ViUInt16 acquired = 0;
    visaSemAcquire(zyvisaGetObjectListMutex(0), VI_TMO_INFINITE, &acquired);
    step = 1;
    while (step != 2) std::this_thread::yield();
    visaSemRelease(zyvisaGetObjectListMutex(0), &acquired);
  });
  while (step != 1) std::this_thread::yield();

  int w, x, y, z;
  EXPECT_EQ(zyvisaSetUnloadCallback(UnloadCallback), VI_SUCCESS);
  g_unload_answer = 5;
  EXPECT_EQ(visaLibIsUnloading(&w, &x, &y, &z), 5);
  EXPECT_EQ(g_unload_calls, (std::vector<std::vector<ViAddr>>{{&w, &x, &y, &z}}));
  EXPECT_EQ(runtime::ServiceLockTimeout(), runtime::kServiceWaitForever);
  g_unload_answer = 0;  // no veto
  EXPECT_EQ(visaLibIsUnloading(nullptr, nullptr, nullptr, nullptr), 1);
  EXPECT_EQ(runtime::State().unloading.load(), 1);
  EXPECT_EQ(zyvisaValidateIoSession(h, 3), nullptr);
  EXPECT_EQ(visaEnumSessions(RecordVisit, nullptr, nullptr), VI_ERROR_SYSTEM_ERROR);
  EXPECT_EQ(Create(0), nullptr);
  EXPECT_NE(Create(1), nullptr);  // other lists are not held
  // Freeing while a gone thread may hold the list is refused, and the object
  // stays as it was.
  EXPECT_EQ(zyvisaFreeObject(0, s, static_cast<ViUInt16>(h)), VI_ERROR_SYSTEM_ERROR);
  step = 2;
  holder.join();
  // Registering again returns to normal waiting; the session is still whole,
  // in its slot and list.
  EXPECT_EQ(zyvisaSetUnloadCallback(nullptr), VI_SUCCESS);
  EXPECT_EQ(runtime::ServiceLockTimeout(), runtime::kServiceWaitForever);
  EXPECT_EQ(runtime::State().unloading.load(), 0);
  EXPECT_EQ(zyvisaValidateIoSession(h, 3), s);
  zyvisaReleaseIoSession(s);
  EXPECT_EQ(Chain(0), Objects{s});
}

TEST_F(ObjectTableTest, FreeingRetiresTheObjectBeforeWaitingForTheList) {
  uint32_t h = 0;
  auto* s = Create<IoSession>(0, &h);
  live_.erase(s);
  ViUInt16 acquired = 0;
  ASSERT_EQ(visaSemAcquire(zyvisaGetObjectListMutex(0), VI_TMO_INFINITE, &acquired), VI_SUCCESS);
  std::atomic<ViStatus> freed{1};
  std::thread freeing([&] { freed = zyvisaFreeObject(0, s, static_cast<ViUInt16>(h)); });
  // The object's memory lasts until the list is released here.
  for (int i = 0; i < 100000 && s->header.signature != 0; ++i) std::this_thread::yield();
  EXPECT_EQ(s->header.signature, 0);
  EXPECT_EQ(zyvisaValidateIoSession(h, 3), nullptr);
  EXPECT_EQ(freed, 1);  // still waiting for the list
  visaSemRelease(zyvisaGetObjectListMutex(0), &acquired);
  freeing.join();
  EXPECT_EQ(freed, VI_SUCCESS);
  EXPECT_EQ(zyvisaValidateIoSession(h, 0), nullptr);
  EXPECT_EQ(Chain(0), Objects{});
}

TEST_F(ObjectTableTest, EnumSessionsFiltersByTableAndStopsOnRequest) {
  int table_a = 0, table_b = 0, nobody = 0;
  uint32_t h[4];
  IoSession* s[4];
  for (int i = 0; i < 4; ++i) {
    s[i] = Create<IoSession>(0, &h[i]);
    s[i]->handle = 0x100 + h[i];  // the core's own handle values
  }
  // Info needs a session that exists and a table.
  EXPECT_EQ(visaSetSessionInfo(h[0], nullptr, nullptr, 1, 2), VI_ERROR_INV_OBJECT);
  EXPECT_EQ(visaSetSessionInfo(h[3] + 1, &table_a, nullptr, 1, 2), VI_ERROR_INV_OBJECT);
  void* const tables[] = {&table_a, &table_b, &table_a, &table_a};
  for (uint32_t i = 0; i < 4; ++i) {
    ASSERT_EQ(visaSetSessionInfo(h[i], tables[i], nullptr, 0xDEADBEE0 + i, i), VI_SUCCESS);
  }
  EXPECT_EQ(std::make_tuple(static_cast<void*>(s[3]->oper_table), s[3]->identity_c, s[3]->identity_d),
            std::make_tuple(static_cast<void*>(&table_a), 0xDEADBEE3u, 3u));
  EXPECT_EQ(zyvisaValidateIoSession(h[2], 4), s[2]);  // closing: skipped

  const ViSession a = s[0]->handle, b = s[1]->handle, d = s[3]->handle;
  struct Walk { void* table; Visits visits; ViStatus status; Handles seen; };
  Walk walks[] = {
      {nullptr, {}, VI_SUCCESS, {d, b, a}},
      // A warning does not stop the walk and is what it returns.
      {&table_a, {{}, VI_SUCCESS_NESTED_SHARED}, VI_SUCCESS_NESTED_SHARED, {d, a}},
      {nullptr, {{}, VI_SUCCESS, 1, VI_SUCCESS_NCHAIN}, VI_SUCCESS_NCHAIN, {d}},
      {nullptr, {{}, VI_SUCCESS, 2, VI_ERROR_ABORT}, VI_ERROR_ABORT, {d, b}},
      {&nobody, {{}, VI_ERROR_ABORT}, VI_SUCCESS, {}},
  };
  for (Walk& walk : walks) {
    SCOPED_TRACE(testing::Message() << "walk " << &walk - walks);
    EXPECT_EQ(visaEnumSessions(RecordVisit, walk.table, &walk.visits), walk.status);
    EXPECT_EQ(walk.visits.seen, walk.seen);
  }
  EXPECT_EQ(visaEnumSessions(nullptr, nullptr, nullptr), VI_ERROR_INV_HNDLR_REF);
}

TEST_F(ObjectTableTest, EnumSessionsSkipsSessionsThatACallbackFreed) {
  // Newest first, each callback frees its own session and the next older one,
  // then opens one, which takes the lowest free slot and as a rule the memory
  // just freed: the walk must neither visit nor read one that is gone, nor
  // take the new one for the one it replaced.
  for (int i = 0; i < 5; ++i) live_.erase(Create(0));  // handles 1 to 5, freed here
  const auto free_two = [](ViSession session, ViAddr context) {
    static_cast<Visits*>(context)->seen.push_back(session);
    for (const uint32_t h : {session, session - 1}) {
      if (h != 0) {
        EXPECT_EQ(zyvisaFreeObject(0, visaGetSesnImpl(h), ViUInt16(h)), VI_SUCCESS);
      }
    }
    uint32_t h = 0;
    static_cast<IoSession*>(zyvisaCreateObject(0, sizeof(IoSession), &h))->handle = h;
    return VI_SUCCESS;
  };
  Visits visits;
  EXPECT_EQ(visaEnumSessions(free_two, nullptr, &visits), VI_SUCCESS);
  EXPECT_EQ(visits.seen, (Handles{5, 3, 1}));
  for (void* o : Chain(0)) {
    zyvisaFreeObject(0, o, static_cast<ViUInt16>(static_cast<IoSession*>(o)->handle));
  }
}

TEST_F(ObjectTableTest, FoundNamesAreKeptOnceInTheirStoredForm) {
  uint32_t h = 0;
  auto* list = Create<objects::FindList>(2, &h);
  struct Report { uint16_t remote; std::string name; ViUInt64 source; ViStatus status; };
  const Report reports[] = {
      {0, "GPIB0::1::INSTR", 0, VI_SUCCESS},
      {0, "gpib0::1::instr", 9, VI_ERROR_INV_SETUP},  // records no source either
      {0, "GPIB0::1::INSTR0", 0x1234567890, VI_SUCCESS},
      {0, "/host/GPIB0::3::INSTR", 0x1234567890, VI_SUCCESS},
      {1, "VISA://host/GPIB0::1::INSTR", 7, VI_SUCCESS},
      {1, "/host/ASRL1::INSTR", 7, VI_SUCCESS},
      {1, "VISA://HOST/asrl1::INSTR", 0, VI_ERROR_INV_SETUP},  // the same, once stored
      {0, std::string(255, 'a'), 0, VI_SUCCESS},
      {0, std::string(256, 'b'), 0, VI_ERROR_INV_RSRC_NAME},
      {1, std::string(249, 'c'), 0, VI_SUCCESS},  // 255 with the prefix
      {1, std::string(250, 'd'), 0, VI_ERROR_INV_RSRC_NAME},
      {1, "visa:/" + std::string(249, 'e'), 0, VI_SUCCESS},
  };
  for (const Report& report : reports) {
    SCOPED_TRACE(report.name);
    list->remote = report.remote;
    EXPECT_EQ(visaRsrcFound(h, report.name.c_str(), report.source), report.status);
  }
  const std::vector<std::string> stored = {
      "GPIB0::1::INSTR", "GPIB0::1::INSTR0", "/host/GPIB0::3::INSTR",
      "VISA://host/GPIB0::1::INSTR", "visa://host/ASRL1::INSTR", std::string(255, 'a'),
      "visa:/" + std::string(249, 'c'), "visa:/" + std::string(249, 'e')};
  EXPECT_EQ(std::vector<std::string>(list->found_names, list->found_names + list->found_count),
            stored);
  EXPECT_EQ(std::vector<uint64_t>(list->sources, list->sources + list->source_count),
            (std::vector<uint64_t>{0x1234567890, 7}));
  EXPECT_EQ(visaRsrcFound(h, nullptr, 0), VI_ERROR_USER_BUF);
  EXPECT_EQ(visaRsrcFound(h + 1, "X", 0), VI_ERROR_USER_BUF);

  // The array grows by 16 when full, keeping its names and zero-filling the rest.
  list->remote = 0;
  for (size_t i = stored.size(); i <= 16; ++i) {
    EXPECT_EQ(list->found_capacity, 16u);
    ASSERT_EQ(visaRsrcFound(h, std::to_string(i).c_str(), 0), VI_SUCCESS);
  }
  EXPECT_EQ(list->found_capacity, 32u);
  EXPECT_EQ(list->found_names[0] + std::string("|") + list->found_names[16], stored[0] + "|16");
  EXPECT_EQ(list->found_names[31][255], '\0');
}

}  // namespace
