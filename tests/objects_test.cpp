// The object table: handles, slots and links of the four lists, the
// validations, concurrent use of one list, unloading, and the services on top
// (session enumeration, found resource names).
#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <map>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "lifecycle/process_state.h"
#include "objects/object_table.h"
#include "support/test_machine.h"
#include "zyvisa_objects.h"
#include "zyvisa_oper.h"

namespace {

namespace objects = zyvisa::objects;
namespace lifecycle = zyvisa::lifecycle;

class ObjectTableTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_EQ(lifecycle::Startup(), 1); }
  void TearDown() override { lifecycle::Shutdown(); }

  // Creates an object and checks that it got a handle of its kind.
  static void* Create(uint16_t kind, uint32_t* handle, uint32_t size = 0) {
    const uint32_t minimum[] = {sizeof(objects::IoSession), sizeof(objects::ObjectHeader),
                                sizeof(objects::FindList), sizeof(objects::EventQueue)};
    void* object = zyvisaCreateObject(kind, size != 0 ? size : minimum[kind], handle);
    EXPECT_NE(object, nullptr);
    if (object != nullptr) {
      EXPECT_EQ(*handle >> 12, kind);
    }
    return object;
  }

  static objects::IoSession* CreateSession(uint32_t* handle) {
    auto* session = static_cast<objects::IoSession*>(Create(objects::kIoSessionKind, handle));
    if (session != nullptr) session->handle = *handle;
    return session;
  }

  static void Free(uint16_t kind, void* object, uint32_t handle) {
    EXPECT_EQ(zyvisaFreeObject(kind, object, static_cast<ViUInt16>(handle)), VI_SUCCESS);
  }

  zyvisa::test::TestMachine machine_;
};

// Records the session handles that visaEnumSessions calls back with.
struct Visits {
  std::vector<ViSession> seen;
  ViStatus answer = VI_SUCCESS;
  size_t stop_after = 0;  // 0: never
  ViStatus stop_with = VI_SUCCESS;
};

ViStatus RecordVisit(ViSession session, ViAddr context) {
  auto* visits = static_cast<Visits*>(context);
  visits->seen.push_back(session);
  if (visits->stop_after != 0 && visits->seen.size() == visits->stop_after) {
    return visits->stop_with;
  }
  return visits->answer;
}

// ---------------------------------------------------------------- handles and slots

TEST_F(ObjectTableTest, FirstHandleOfEachKindCarriesKindAndSlotOne) {
  uint32_t h[4] = {};
  void* o[4];
  for (uint16_t kind : {uint16_t{2}, uint16_t{0}, uint16_t{3}, uint16_t{1}}) {
    o[kind] = Create(kind, &h[kind]);
  }
  EXPECT_EQ(h[0], 0x0001u);
  EXPECT_EQ(h[1], 0x1001u);
  EXPECT_EQ(h[2], 0x2001u);
  EXPECT_EQ(h[3], 0x3001u);
  for (uint16_t kind = 0; kind < 4; ++kind) Free(kind, o[kind], h[kind]);
}

TEST_F(ObjectTableTest, CreationRefusesBadArguments) {
  uint32_t handle = 0;
  EXPECT_EQ(zyvisaCreateObject(4, 64, &handle), nullptr);
  EXPECT_EQ(zyvisaCreateObject(1, 64, nullptr), nullptr);
  // Blocks too small for the fields that the validations and other
  // subsystems touch.
  EXPECT_EQ(zyvisaCreateObject(1, 39, &handle), nullptr);
  EXPECT_EQ(zyvisaCreateObject(0, sizeof(objects::IoSession) - 1, &handle), nullptr);
  EXPECT_EQ(zyvisaGetFirstObject(1), nullptr);
}

TEST_F(ObjectTableTest, FreedSlotsAreReusedLowestFirst) {
  uint32_t h[3];
  void* o[3];
  for (int i = 0; i < 3; ++i) o[i] = Create(1, &h[i]);
  Free(1, o[1], h[1]);
  Free(1, o[0], h[0]);
  uint32_t again = 0;
  void* first = Create(1, &again);
  EXPECT_EQ(again, 0x1001u);
  void* second = Create(1, &again);
  EXPECT_EQ(again, 0x1002u);
  uint32_t next = 0;
  void* third = Create(1, &next);
  EXPECT_EQ(next, 0x1004u);
  Free(1, first, 0x1001);
  Free(1, second, 0x1002);
  Free(1, third, 0x1004);
  Free(1, o[2], h[2]);
}

TEST_F(ObjectTableTest, SlotsGrowBy256UpToThe4095thObject) {
  std::vector<std::pair<void*, uint32_t>> made;
  for (int i = 0; i < 4095; ++i) {
    uint32_t handle = 0;
    void* object = zyvisaCreateObject(2, sizeof(objects::FindList), &handle);
    ASSERT_NE(object, nullptr) << "object " << i;
    ASSERT_EQ(handle, 0x2000u + static_cast<uint32_t>(i) + 1);
    made.emplace_back(object, handle);
  }
  uint32_t handle = 0;
  EXPECT_EQ(zyvisaCreateObject(2, sizeof(objects::FindList), &handle), nullptr);
  // The 257th object lives in the second block of 256 slots.
  EXPECT_EQ(zyvisaValidateFindList(0x2101), made[256].first);
  EXPECT_EQ(zyvisaValidateFindList(0x2FFF), made[4094].first);
  // A freed slot in the middle makes room for exactly one more.
  Free(2, made[1000].first, made[1000].second);
  made[1000].first = zyvisaCreateObject(2, sizeof(objects::FindList), &made[1000].second);
  EXPECT_EQ(made[1000].second, 0x2000u + 1001);
  EXPECT_EQ(zyvisaCreateObject(2, sizeof(objects::FindList), &handle), nullptr);
  for (auto& [object, h] : made) Free(2, object, h);
  EXPECT_EQ(zyvisaGetFirstObject(2), nullptr);
}

TEST_F(ObjectTableTest, LinksRunFromNewestToOldestAndSurviveUnlinking) {
  uint32_t h[3];
  objects::ObjectHeader* o[3];
  for (int i = 0; i < 3; ++i) o[i] = static_cast<objects::ObjectHeader*>(Create(1, &h[i]));
  EXPECT_EQ(zyvisaGetFirstObject(1), o[2]);
  EXPECT_EQ(o[2]->previous, nullptr);
  EXPECT_EQ(o[2]->next, o[1]);
  EXPECT_EQ(o[1]->next, o[0]);
  EXPECT_EQ(o[0]->previous, o[1]);
  EXPECT_EQ(o[0]->signature, objects::kValidSignature);
  EXPECT_EQ(o[0]->kind, 1);

  Free(1, o[1], h[1]);  // middle
  EXPECT_EQ(o[2]->next, o[0]);
  EXPECT_EQ(o[0]->previous, o[2]);
  Free(1, o[2], h[2]);  // first
  EXPECT_EQ(zyvisaGetFirstObject(1), o[0]);
  EXPECT_EQ(o[0]->previous, nullptr);
  Free(1, o[0], h[0]);  // last
  EXPECT_EQ(zyvisaGetFirstObject(1), nullptr);
}

TEST_F(ObjectTableTest, FreeingNullOrAnUnknownKindChangesNothing) {
  uint32_t handle = 0;
  void* object = Create(1, &handle);
  EXPECT_EQ(zyvisaFreeObject(1, nullptr, static_cast<ViUInt16>(handle)), VI_WARN_NULL_OBJECT);
  EXPECT_EQ(zyvisaFreeObject(4, object, static_cast<ViUInt16>(handle)), VI_ERROR_INV_OBJECT);
  EXPECT_EQ(zyvisaValidateRM(handle), object);
  EXPECT_EQ(zyvisaGetFirstObject(1), object);
  Free(1, object, handle);
}

// ---------------------------------------------------------------- lookups and validations

TEST_F(ObjectTableTest, ForeignKindAndStaleHandlesGiveNull) {
  uint32_t rm = 0, sesn = 0;
  void* manager = Create(1, &rm);
  objects::IoSession* session = CreateSession(&sesn);
  EXPECT_EQ(objects::LookupObject(0, rm), nullptr);
  EXPECT_EQ(zyvisaValidateIoSession(rm, 0), nullptr);
  EXPECT_EQ(visaGetSesnImpl(rm), nullptr);
  EXPECT_EQ(zyvisaValidateFindList(rm), nullptr);
  EXPECT_EQ(zyvisaValidateRM(sesn | 0x1000), manager);
  EXPECT_EQ(zyvisaValidateRM(0x1000), nullptr);     // low part 0
  EXPECT_EQ(zyvisaValidateRM(0x1002), nullptr);     // empty slot
  EXPECT_EQ(zyvisaValidateRM(0x1FFF), nullptr);     // past the slot array
  EXPECT_EQ(zyvisaValidateRM(0x11001), nullptr);    // beyond 16 bits
  EXPECT_EQ(zyvisaValidateIoSession(0x10001, 0), nullptr);
  // The general lookup ignores the event bits above the handle.
  EXPECT_EQ(objects::LookupObject(1, 0x50000 | rm), manager);
  EXPECT_EQ(objects::LookupIoSession(sesn), session);
  EXPECT_EQ(objects::LookupObject(7, 0x7001), nullptr);

  Free(1, manager, rm);
  Free(0, session, sesn);
  EXPECT_EQ(zyvisaValidateRM(rm), nullptr);
  EXPECT_EQ(zyvisaValidateIoSession(sesn, 0), nullptr);
  EXPECT_EQ(visaGetSesnImpl(sesn), nullptr);
}

TEST_F(ObjectTableTest, ValidateIoSessionFlagsAloneAndCombined) {
  uint32_t h = 0;
  objects::IoSession* s = CreateSession(&h);
  EXPECT_EQ(zyvisaValidateIoSession(h, 2), s);
  EXPECT_EQ(s->use_count.load(), 0u);
  EXPECT_EQ(zyvisaValidateIoSession(h, 3), s);
  EXPECT_EQ(zyvisaValidateIoSession(h, 1), s);
  EXPECT_EQ(s->use_count.load(), 2u);
  zyvisaReleaseIoSession(s);
  zyvisaReleaseIoSession(s);
  zyvisaReleaseIoSession(nullptr);
  EXPECT_EQ(s->use_count.load(), 0u);

  // Counting in and beginning to close in one step.
  EXPECT_EQ(zyvisaValidateIoSession(h, 5), s);
  EXPECT_EQ(s->use_count.load(), 1u);
  EXPECT_EQ(s->closing.load(), 1u);
  zyvisaReleaseIoSession(s);
  EXPECT_EQ(s->use_count.load(), 0u);

  // A closing session is refused to new entries but still found otherwise.
  EXPECT_EQ(zyvisaValidateIoSession(h, 2), nullptr);
  EXPECT_EQ(zyvisaValidateIoSession(h, 3), nullptr);
  EXPECT_EQ(s->use_count.load(), 0u);
  EXPECT_EQ(zyvisaValidateIoSession(h, 1), s);
  EXPECT_EQ(zyvisaValidateIoSession(h, 4), s);
  EXPECT_EQ(zyvisaValidateIoSession(h, 0), s);
  EXPECT_EQ(visaGetSesnImpl(h), s);
  zyvisaReleaseIoSession(s);

  // An object whose signature is gone passes only the unchecked form.
  s->header.signature = 0;
  EXPECT_EQ(zyvisaValidateIoSession(h, 1), nullptr);
  EXPECT_EQ(zyvisaValidateIoSession(h, 0), s);
  s->header.signature = objects::kValidSignature;
  Free(0, s, h);
}

TEST_F(ObjectTableTest, ValidateEventAcceptsNodeIndicesUpToTheQueueLength) {
  constexpr uint16_t kLength = 2;
  uint32_t h = 0;
  auto* queue = static_cast<objects::EventQueue*>(
      Create(3, &h, sizeof(objects::EventQueue) + kLength * sizeof(objects::EventNode)));
  queue->length = kLength;
  auto* base = reinterpret_cast<char*>(queue);
  EXPECT_EQ(zyvisaValidateEvent((2u << 16) | h), base + 80 + 56 * 2);
  EXPECT_EQ(zyvisaValidateEvent((3u << 16) | h), nullptr);
  EXPECT_EQ(zyvisaValidateEvent((1u << 16) | h), base + 80 + 56);
  // Index 0 names the reserved node space of the head.
  EXPECT_EQ(zyvisaValidateEvent(h), base + 80);
  EXPECT_EQ(visaGetEventImpl((2u << 16) | h), base + 80 + 56 * 2);
  EXPECT_EQ(zyvisaValidateEvent((1u << 16) | (h & 0xFFF)), nullptr);  // kind 0
  EXPECT_EQ(zyvisaValidateEvent((1u << 16) | 0x3002), nullptr);
  Free(3, queue, h);
  EXPECT_EQ(zyvisaValidateEvent((1u << 16) | h), nullptr);
}

TEST_F(ObjectTableTest, ListSemaphoreHolderMayCreateAndLookUpInTheSameList) {
  ViSemaphore semaphore = zyvisaGetObjectListMutex(1);
  ASSERT_NE(semaphore, nullptr);
  EXPECT_EQ(zyvisaGetObjectListMutex(4), nullptr);
  EXPECT_EQ(objects::ListSemaphore(2), zyvisaGetObjectListMutex(2));
  ViUInt16 acquired = 0;
  ASSERT_EQ(visaSemAcquire(semaphore, VI_TMO_INFINITE, &acquired), VI_SUCCESS);
  uint32_t h = 0;
  void* object = Create(1, &h);
  EXPECT_EQ(zyvisaValidateRM(h), object);
  Free(1, object, h);
  EXPECT_EQ(visaSemRelease(semaphore, &acquired), VI_SUCCESS);
}

// ---------------------------------------------------------------- many threads on one list

TEST_F(ObjectTableTest, ThreadsCreatingLookingUpAndFreeingKeepTheListWhole) {
  constexpr int kThreads = 4;
  constexpr int kRounds = 3000;
  constexpr size_t kKeep = 200;  // live objects per thread at most
  std::vector<std::vector<std::pair<void*, uint32_t>>> live(kThreads);
  std::atomic<int> failures{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      auto& mine = live[t];
      uint32_t seed = 12345u + static_cast<uint32_t>(t);
      for (int round = 0; round < kRounds; ++round) {
        seed = seed * 1103515245u + 12345u;
        if (mine.size() < kKeep && (mine.empty() || (seed >> 16) % 3 != 0)) {
          uint32_t h = 0;
          void* object = zyvisaCreateObject(1, 64, &h);
          if (object == nullptr) {
            ++failures;
            continue;
          }
          static_cast<uint8_t*>(object)[0] = static_cast<uint8_t>(t);  // owner byte
          mine.emplace_back(object, h);
        } else {
          const size_t pick = (seed >> 8) % mine.size();
          auto [object, h] = mine[pick];
          if (zyvisaValidateRM(h) != object) ++failures;
          mine[pick] = mine.back();
          mine.pop_back();
          if (zyvisaFreeObject(1, object, static_cast<ViUInt16>(h)) != VI_SUCCESS) ++failures;
        }
        if (!mine.empty()) {
          auto [object, h] = mine[(seed >> 4) % mine.size()];
          if (objects::LookupObject(1, h) != object) ++failures;
        }
      }
    });
  }
  for (auto& thread : threads) thread.join();
  EXPECT_EQ(failures.load(), 0);

  std::map<uint32_t, void*> by_handle;
  size_t total = 0;
  for (auto& mine : live) {
    for (auto [object, h] : mine) {
      EXPECT_TRUE(by_handle.emplace(h, object).second) << "handle given twice: " << h;
      EXPECT_EQ(zyvisaValidateRM(h), object);
      ++total;
    }
  }
  // The links hold exactly the live objects, each once, both directions agreeing.
  std::set<void*> linked;
  objects::ObjectHeader* previous = nullptr;
  for (auto* o = static_cast<objects::ObjectHeader*>(zyvisaGetFirstObject(1)); o != nullptr;
       o = o->next) {
    EXPECT_EQ(o->previous, previous);
    EXPECT_TRUE(linked.insert(o).second);
    previous = o;
    ASSERT_LE(linked.size(), total);
  }
  EXPECT_EQ(linked.size(), total);
  for (auto& [h, object] : by_handle) EXPECT_EQ(linked.count(object), 1u);

  // No slot was lost: after freeing everything the whole range is free again.
  for (auto& [h, object] : by_handle) Free(1, object, h);
  EXPECT_EQ(zyvisaGetFirstObject(1), nullptr);
  std::vector<std::pair<void*, uint32_t>> all;
  for (uint32_t i = 1; i <= 4095; ++i) {
    uint32_t h = 0;
    void* object = zyvisaCreateObject(1, 64, &h);
    ASSERT_NE(object, nullptr);
    ASSERT_EQ(h, 0x1000u | i);
    all.emplace_back(object, h);
  }
  for (auto& [object, h] : all) Free(1, object, h);
}

// ---------------------------------------------------------------- unloading

// Holds the session list semaphore on another thread until told to let go.
class ListHolder {
 public:
  explicit ListHolder(uint16_t kind) {
    thread_ = std::thread([this, kind] {
      ViSemaphore semaphore = zyvisaGetObjectListMutex(kind);
      ViUInt16 acquired = 0;
      visaSemAcquire(semaphore, VI_TMO_INFINITE, &acquired);
      held_ = true;
      while (!release_) std::this_thread::yield();
      visaSemRelease(semaphore, &acquired);
    });
    while (!held_) std::this_thread::yield();
  }
  ~ListHolder() {
    release_ = true;
    thread_.join();
  }

 private:
  std::atomic<bool> held_{false}, release_{false};
  std::thread thread_;
};

TEST_F(ObjectTableTest, UnloadingMakesListWaitsGiveUpAtOnce) {
  uint32_t h = 0;
  objects::IoSession* s = CreateSession(&h);
  {
    ListHolder holder(objects::kIoSessionKind);
    EXPECT_EQ(visaLibIsUnloading(nullptr, nullptr, nullptr, nullptr), 1);
    EXPECT_EQ(lifecycle::State().unloading.load(), 1);
    ViUInt16 acquired = 1;
    EXPECT_EQ(visaSemAcquire(zyvisaGetObjectListMutex(0), lifecycle::ServiceLockTimeout(),
                             &acquired),
              VI_ERROR_TMO);
    EXPECT_EQ(acquired, 0);
    EXPECT_EQ(zyvisaValidateIoSession(h, 3), nullptr);
    EXPECT_EQ(visaGetSesnImpl(h), nullptr);
    EXPECT_EQ(visaEnumSessions([](ViSession, ViAddr) { return VI_SUCCESS; }, nullptr, nullptr),
              VI_ERROR_SYSTEM_ERROR);
    uint32_t other = 0;
    EXPECT_EQ(zyvisaCreateObject(0, sizeof(objects::IoSession), &other), nullptr);
    // Other lists are not held and still work.
    void* manager = Create(1, &other);
    Free(1, manager, other);

    // Freeing while a gone thread may hold the list: the object is retired,
    // not unlinked, and its memory stays valid for lookups that still find it.
    EXPECT_EQ(zyvisaFreeObject(0, s, static_cast<ViUInt16>(h)), VI_SUCCESS);
    EXPECT_EQ(s->header.signature, 0);
    zyvisaSetUnloadCallback(nullptr);
    EXPECT_EQ(lifecycle::ServiceLockTimeout(), lifecycle::kServiceWaitForever);
  }
  // Back to normal waiting; the retired session stays refused and its slot
  // stays taken until the lists are reset (which releases it).
  EXPECT_EQ(zyvisaValidateIoSession(h, 3), nullptr);
  EXPECT_EQ(zyvisaValidateIoSession(h, 0), s);
  uint32_t next = 0;
  objects::IoSession* t = CreateSession(&next);
  EXPECT_EQ(next, h + 1);
  Visits visits;
  EXPECT_EQ(visaEnumSessions(RecordVisit, nullptr, &visits), VI_SUCCESS);
  EXPECT_EQ(visits.seen, std::vector<ViSession>{next});
  Free(0, t, next);
}

// ---------------------------------------------------------------- session enumeration

TEST_F(ObjectTableTest, EnumSessionsFiltersByTableAndStopsOnRequest) {
  int table_a = 0, table_b = 0;
  uint32_t h[4];
  objects::IoSession* s[4];
  for (int i = 0; i < 4; ++i) {
    s[i] = CreateSession(&h[i]);
    s[i]->handle = 0x100 + h[i];  // the core's own handle values
  }
  ASSERT_EQ(visaSetSessionInfo(h[0], &table_a, nullptr, 1, 2), VI_SUCCESS);
  ASSERT_EQ(visaSetSessionInfo(h[1], &table_b, nullptr, 3, 4), VI_SUCCESS);
  ASSERT_EQ(visaSetSessionInfo(h[2], &table_a, nullptr, 5, 6), VI_SUCCESS);
  ASSERT_EQ(visaSetSessionInfo(h[3], &table_a, nullptr, 7, 8), VI_SUCCESS);
  EXPECT_EQ(s[3]->identity_c, 7u);
  EXPECT_EQ(s[3]->identity_d, 8u);
  EXPECT_EQ(zyvisaValidateIoSession(h[2], 4), s[2]);  // closing: skipped

  Visits all;
  EXPECT_EQ(visaEnumSessions(RecordVisit, nullptr, &all), VI_SUCCESS);
  EXPECT_EQ(all.seen, (std::vector<ViSession>{s[3]->handle, s[1]->handle, s[0]->handle}));

  Visits of_a;
  of_a.answer = VI_SUCCESS_NESTED_SHARED;  // a warning does not stop the walk
  EXPECT_EQ(visaEnumSessions(RecordVisit, &table_a, &of_a), VI_SUCCESS_NESTED_SHARED);
  EXPECT_EQ(of_a.seen, (std::vector<ViSession>{s[3]->handle, s[0]->handle}));

  Visits nchain;
  nchain.stop_after = 1;
  nchain.stop_with = VI_SUCCESS_NCHAIN;
  EXPECT_EQ(visaEnumSessions(RecordVisit, nullptr, &nchain), VI_SUCCESS_NCHAIN);
  EXPECT_EQ(nchain.seen.size(), 1u);

  Visits error;
  error.stop_after = 2;
  error.stop_with = VI_ERROR_ABORT;
  EXPECT_EQ(visaEnumSessions(RecordVisit, nullptr, &error), VI_ERROR_ABORT);
  EXPECT_EQ(error.seen.size(), 2u);

  int nobody = 0;
  Visits none;
  none.answer = VI_ERROR_ABORT;
  EXPECT_EQ(visaEnumSessions(RecordVisit, &nobody, &none), VI_SUCCESS);
  EXPECT_TRUE(none.seen.empty());
  EXPECT_EQ(visaEnumSessions(nullptr, nullptr, nullptr), VI_ERROR_INV_HNDLR_REF);

  // A callback may close the session it is given: the walk goes on.
  struct Closer {
    std::map<ViSession, std::pair<void*, uint32_t>> by_core_handle;
    int calls = 0;
  } closer;
  for (int i = 0; i < 4; ++i) closer.by_core_handle[s[i]->handle] = {s[i], h[i]};
  EXPECT_EQ(visaEnumSessions(
                [](ViSession session, ViAddr context) {
                  auto* c = static_cast<Closer*>(context);
                  auto [object, handle] = c->by_core_handle.at(session);
                  ++c->calls;
                  return zyvisaFreeObject(0, object, static_cast<ViUInt16>(handle));
                },
                nullptr, &closer),
            VI_SUCCESS);
  EXPECT_EQ(closer.calls, 3);
  EXPECT_EQ(zyvisaGetFirstObject(0), s[2]);
  Free(0, s[2], h[2]);
}

TEST_F(ObjectTableTest, SetSessionInfoNeedsASessionAndATable) {
  int table = 0;
  uint32_t h = 0, rm = 0;
  objects::IoSession* s = CreateSession(&h);
  void* manager = Create(1, &rm);
  EXPECT_EQ(visaSetSessionInfo(h, nullptr, nullptr, 1, 2), VI_ERROR_INV_OBJECT);
  EXPECT_EQ(visaSetSessionInfo(rm, &table, nullptr, 1, 2), VI_ERROR_INV_OBJECT);
  EXPECT_EQ(visaSetSessionInfo(h + 1, &table, nullptr, 1, 2), VI_ERROR_INV_OBJECT);
  EXPECT_EQ(s->oper_table, nullptr);
  EXPECT_EQ(visaSetSessionInfo(h, &table, nullptr, 0xDEADBEEF, 2), VI_SUCCESS);
  EXPECT_EQ(static_cast<void*>(s->oper_table), &table);
  EXPECT_EQ(s->identity_c, 0xDEADBEEFu);
  Free(0, s, h);
  Free(1, manager, rm);
}

// ---------------------------------------------------------------- found resources

class FoundResourcesTest : public ObjectTableTest {
 protected:
  void SetUp() override {
    ObjectTableTest::SetUp();
    list_ = static_cast<objects::FindList*>(Create(2, &handle_));
  }
  void TearDown() override {
    // The arrays belong to the find list's owner, who releases them.
    std::free(list_->found_names);
    std::free(list_->sources);
    Free(2, list_, handle_);
    ObjectTableTest::TearDown();
  }
  std::vector<std::string> Names() const {
    return {list_->found_names, list_->found_names + list_->found_count};
  }
  ViStatus Found(const std::string& name, ViUInt64 source = 0) {
    return visaRsrcFound(handle_, name.c_str(), source);
  }

  objects::FindList* list_ = nullptr;
  uint32_t handle_ = 0;
};

TEST_F(FoundResourcesTest, RemoteNamesGetThePrefixOnce) {
  list_->remote = 1;
  EXPECT_EQ(Found("VISA://host/GPIB0::1::INSTR"), VI_SUCCESS);
  EXPECT_EQ(Found("/host/GPIB0::2::INSTR"), VI_SUCCESS);
  EXPECT_EQ(Found("visa:/x"), VI_SUCCESS);
  EXPECT_EQ(Names(), (std::vector<std::string>{"VISA://host/GPIB0::1::INSTR",
                                               "visa://host/GPIB0::2::INSTR", "visa:/x"}));
  list_->remote = 0;
  EXPECT_EQ(Found("/host/GPIB0::3::INSTR"), VI_SUCCESS);
  EXPECT_EQ(Names().back(), "/host/GPIB0::3::INSTR");
}

TEST_F(FoundResourcesTest, DuplicatesInAnyCaseAreRefused) {
  EXPECT_EQ(Found("GPIB0::1::INSTR"), VI_SUCCESS);
  EXPECT_EQ(Found("GPIB0::1::INSTR"), VI_ERROR_INV_SETUP);
  EXPECT_EQ(Found("gpib0::1::instr"), VI_ERROR_INV_SETUP);
  EXPECT_EQ(Found("GPIB0::1::INSTR0"), VI_SUCCESS);
  list_->remote = 1;
  // Compared in the stored form: with and without the prefix are one name.
  EXPECT_EQ(Found("/host/ASRL1::INSTR"), VI_SUCCESS);
  EXPECT_EQ(Found("VISA://HOST/asrl1::INSTR"), VI_ERROR_INV_SETUP);
  EXPECT_EQ(list_->found_count, 3u);
}

TEST_F(FoundResourcesTest, ArrayGrowsBy16) {
  for (int i = 0; i < 16; ++i) ASSERT_EQ(Found("TCPIP0::" + std::to_string(i)), VI_SUCCESS);
  EXPECT_EQ(list_->found_capacity, 16u);
  EXPECT_EQ(Found("TCPIP0::16"), VI_SUCCESS);
  EXPECT_EQ(list_->found_capacity, 32u);
  ASSERT_EQ(list_->found_count, 17u);
  for (int i = 0; i < 17; ++i) EXPECT_EQ(Names()[i], "TCPIP0::" + std::to_string(i));
  // The new entries are zero-filled.
  EXPECT_EQ(list_->found_names[31][0], '\0');
  EXPECT_EQ(list_->found_names[31][255], '\0');
}

TEST_F(FoundResourcesTest, EachSourceIsRecordedOnce) {
  EXPECT_EQ(Found("A", 0), VI_SUCCESS);
  EXPECT_EQ(list_->source_count, 0);
  EXPECT_EQ(Found("B", 0x1234567890ull), VI_SUCCESS);
  EXPECT_EQ(Found("C", 0x1234567890ull), VI_SUCCESS);
  EXPECT_EQ(Found("D", 7), VI_SUCCESS);
  EXPECT_EQ(Found("d", 9), VI_ERROR_INV_SETUP);  // a refused name records no source
  ASSERT_EQ(list_->source_count, 2);
  EXPECT_EQ(list_->sources[0], 0x1234567890ull);
  EXPECT_EQ(list_->sources[1], 7u);
}

TEST_F(FoundResourcesTest, NamesThatDoNotFitAreRefused) {
  EXPECT_EQ(Found(std::string(255, 'a')), VI_SUCCESS);
  EXPECT_EQ(Found(std::string(256, 'b')), VI_ERROR_INV_RSRC_NAME);
  list_->remote = 1;
  EXPECT_EQ(Found(std::string(249, 'c')), VI_SUCCESS);  // 255 with the prefix
  EXPECT_EQ(Found(std::string(250, 'd')), VI_ERROR_INV_RSRC_NAME);
  EXPECT_EQ(Found("visa:/" + std::string(249, 'e')), VI_SUCCESS);
  EXPECT_EQ(list_->found_count, 3u);
  EXPECT_EQ(Names()[1], "visa:/" + std::string(249, 'c'));

  EXPECT_EQ(visaRsrcFound(handle_, nullptr, 0), VI_ERROR_USER_BUF);
  EXPECT_EQ(visaRsrcFound(handle_ + 1, "X", 0), VI_ERROR_USER_BUF);
  EXPECT_EQ(visaRsrcFound(handle_ & 0xFFF, "X", 0), VI_ERROR_USER_BUF);
  EXPECT_EQ(visaSetFindInfo(handle_, 1, 2), VI_SUCCESS);
}

}  // namespace
