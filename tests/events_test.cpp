// Events: the queue lists against a model, create and raise per mechanism, the
// handler loop's order and its reactions to what handlers do, and producers on
// several threads while handlers call back into the same session.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <functional>
#include <optional>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "lifecycle/startup.h"
#include "objects/oper_table.h"
#include "platform/platform.h"
#include "support/event_session.h"
#include "support/test_machine.h"
#include "zyvisa_async.h"
#include "zyvisa_events.h"
#include "zyvisa_locking.h"

namespace {

namespace objects = zyvisa::objects;
using objects::EventNode;
using objects::EventQueue;
using zyvisa::test::EventSession;

constexpr ViEventType kTrig = 0x3FFF200A;
constexpr ViEventType kSrq = 0x3FFF200B;

class EventsTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_EQ(zyvisa::lifecycle::Startup(), 1); }
  void TearDown() override { zyvisa::lifecycle::Shutdown(); }
  zyvisa::test::TestMachine machine_;
};

// What the queue must look like: the queue list in order (its back links
// too), the free list, each node's state, the count and the overflow flag.
struct Model {
  std::vector<uint16_t> list, free, state;  // state by node index
  bool overflow = false;
};

void ExpectMatches(EventQueue* q, const Model& m, const std::string& where) {
  std::vector<uint16_t> list, free, state{m.state[0]};
  uint16_t previous = 0;
  for (uint16_t i = q->first; i != 0 && list.size() <= q->length; i = q->Node(i)->next) {
    EXPECT_EQ(q->Node(i)->previous, previous) << where;
    list.push_back(previous = i);
  }
  for (uint16_t i = q->first_free; i != 0 && free.size() <= q->length; i = q->Node(i)->next)
    free.push_back(i);
  for (uint16_t i = 1; i <= q->length; ++i) state.push_back(q->Node(i)->state);
  EXPECT_EQ(q->last, previous) << where;
  EXPECT_EQ(list, m.list) << where;
  EXPECT_EQ(free, m.free) << where;
  EXPECT_EQ(state, m.state) << where;
  EXPECT_EQ(q->queued_count, m.list.size()) << where;
  EXPECT_EQ(q->overflow, m.overflow ? 1 : 0) << where;
}

TEST_F(EventsTest, RandomOperationsKeepTheListsOfTheModel) {
  for (uint32_t seed = 1; seed <= 40; ++seed) {
    std::mt19937 random(seed);
    const auto length = static_cast<uint16_t>(random() % 7);  // 0 hands out nothing
    EventSession s(length, {kTrig});
    auto* q = static_cast<EventQueue*>(zyvisaCreateQueue(s.get(), kTrig));
    ASSERT_NE(q, nullptr);
    Model m;
    m.state.assign(length + 1u, objects::kNodeFree);
    for (uint16_t i = 1; i <= length; ++i) m.free.push_back(i);
    const auto first_in = [&m](uint16_t state) {
      const auto it = std::find_if(m.list.begin(), m.list.end(),
                                   [&](uint16_t i) { return m.state[i] == state; });
      return it == m.list.end() ? uint16_t{0} : *it;
    };
    for (int step = 0; step < 300 && !HasFailure(); ++step) {
      const std::string where = "seed " + std::to_string(seed) + " step " + std::to_string(step);
      const auto pick = static_cast<uint16_t>(length == 0 ? 1 : 1 + random() % length);
      ViAddr node = nullptr;
      uint16_t expected = 0;
      switch (random() % 5) {
        case 0:  // insert: an abandoned allocated node first, else the free head
          expected = first_in(objects::kNodeAllocated);
          if (expected == 0 && !m.free.empty()) {
            expected = m.free.front();
            m.free.erase(m.free.begin());
            m.list.push_back(expected);
            m.state[expected] = objects::kNodeAllocated;
          }
          m.overflow = m.overflow || expected == 0;
          ASSERT_EQ(zyvisaInsertNodeAtEnd(q, &node), expected ? VI_SUCCESS : VI_ERROR_ALLOC);
          ASSERT_EQ(node, expected ? q->Node(expected) : nullptr) << where;
          break;
        case 1:  // raise or deliver an allocated or raised node
        case 2:
          if (length == 0 || m.state[pick] == objects::kNodeFree) break;
          m.state[pick] = m.state[pick] == objects::kNodeAllocated ? objects::kNodeRaised
                                                                   : objects::kNodeDelivered;
          q->Node(pick)->state = m.state[pick];
          break;
        case 3:  // read the oldest raised node
          expected = first_in(objects::kNodeRaised);
          ASSERT_EQ(zyvisaReadNodeAtStart(q, &node), expected ? VI_SUCCESS : VI_ERROR_TMO);
          ASSERT_EQ(node, expected ? q->Node(expected) : nullptr) << where;
          break;
        case 4: {  // delete any node, free ones refused
          if (length == 0) break;
          const bool was_free = m.state[pick] == objects::kNodeFree;
          ASSERT_EQ(zyvisaDeleteNode(q, q->Node(pick)),
                    was_free ? VI_ERROR_INV_CONTEXT : VI_SUCCESS);
          if (was_free) break;
          m.list.erase(std::find(m.list.begin(), m.list.end(), pick));
          m.free.insert(m.free.begin(), pick);
          m.state[pick] = objects::kNodeFree;
          break;
        }
      }
      ExpectMatches(q, m, where);
    }
    zyvisaFreeQueue(q);
  }
}

TEST_F(EventsTest, NodesCarryTheirHandleAndTheDriverClosesWhatItMade) {
  static int closed;
  objects::OperTable table{}, driver_io{};  // the events' table, the session's own
  ViStatus (*close)(ViObject) = [](ViObject) { return ++closed, VI_ERROR_CLOSING_FAILED; };
  table.slots[objects::kSlotClose] = reinterpret_cast<ViAddr>(close);
  ViAddr (*native_read)() = []() -> ViAddr { return nullptr; };
  driver_io.slots[objects::kSlotReadAsync] = reinterpret_cast<ViAddr>(native_read);
  // The library's emulation registers its entries when it is linked in.
  driver_io.slots[objects::kSlotWriteAsync] = reinterpret_cast<ViAddr>(&visaWriteAsyncFake);
  EventSession s(2, {VI_EVENT_IO_COMPLETION}, &table);
  s.get()->oper_table = &driver_io;
  s.Enable(VI_EVENT_IO_COMPLETION, VI_QUEUE);
  EventQueue* q = s.get()->queue_for_queuing[0];
  EXPECT_EQ(q->Node(2)->event_handle, (2u << 16) | q->handle);
  // Job operation: the driver's own asynchronous read, a write the table
  // holds the emulation for, no asynchronous operation.
  const std::pair<ViJobId, bool> jobs[] = {
      {0x04020001, true}, {0x04040001, false}, {0x01230001, false}};
  for (const auto& [job, closes] : jobs) {
    closed = 0;
    ViAddr node = nullptr;
    ASSERT_EQ(zyvisaInsertNodeAtEnd(q, &node), VI_SUCCESS);
    static_cast<EventNode*>(node)->job_id = job;
    EXPECT_EQ(zyvisaDeleteNode(q, node), closes ? VI_ERROR_CLOSING_FAILED : VI_SUCCESS) << job;
    EXPECT_EQ(closed, closes ? 1 : 0) << job;
  }
  EXPECT_EQ(zyvisaPassportHandlesIoEvent(0x04020000, &driver_io), VI_TRUE);
  EXPECT_EQ(zyvisaPassportHandlesIoEvent(0x04040000, &driver_io), VI_FALSE);
}

TEST_F(EventsTest, RefusalsOfTheMechanismCalls) {
  objects::OperTable a{}, b{};
  EventSession s(2, {kTrig}, &a);
  std::vector<ViEventType> thirty(30);
  for (uint32_t i = 0; i < 30; ++i) thirty[i] = 0x3FFF3000 + i;
  EXPECT_EQ(visaSupportEvents(s.handle(), 0, thirty.data(), &b), VI_ERROR_ALLOC);
  EXPECT_EQ(visaSupportEvents(s.handle(), 30, thirty.data(), nullptr), VI_SUCCESS);
  // The limit counts the request before duplicates are dropped.
  EXPECT_EQ(visaSupportEvents(s.handle(), 1, &kTrig, nullptr), VI_ERROR_ALLOC);
  const auto h = [](ViSession, ViEventType, ViUInt32, ViUInt64) -> ViStatus { return 0; };
  s.Install(kTrig, h, 1);
  s.Install(kTrig, h, 2);
  ViUInt16 count = 0;
  EXPECT_EQ(visaGetEventHandlers(s.handle(), kTrig, 0, &count, nullptr, nullptr), VI_ERROR_ALLOC);
  EXPECT_EQ(count, 2);
  ViAddr queued = nullptr, handled = nullptr;
  EXPECT_EQ(visaCreateEvent(s.handle(), kTrig, &queued, &handled), VI_ERROR_NENABLED);
  // A closing session refuses new events and raising.
  s.Enable(kTrig, VI_QUEUE);
  ASSERT_EQ(visaCreateEvent(s.handle(), kTrig, &queued, &handled), VI_SUCCESS);
  s.get()->closing.store(1);
  EXPECT_EQ(visaRaiseEvent(s.handle(), queued, nullptr), VI_ERROR_ALLOC);
  EXPECT_EQ(visaCreateEvent(s.handle(), kTrig, &queued, &handled), VI_ERROR_ALLOC);
  EXPECT_EQ(queued, nullptr);
}

TEST_F(EventsTest, RaisingACompletionLeavesTheGateAndClearsTheJob) {
  EventSession s(2, {VI_EVENT_IO_COMPLETION, kTrig});
  objects::IoSession* session = s.get();
  session->owner_process_id = zyvisa::platform::CurrentProcessId();
  ASSERT_EQ(zyvisaRsrcCreateResource(session), VI_SUCCESS);
  ASSERT_EQ(zyvisaRsrcCreateSession(session), VI_SUCCESS);
  s.Enable(VI_EVENT_IO_COMPLETION, VI_QUEUE);
  s.Enable(kTrig, VI_QUEUE);
  // An asynchronous operation passed the gate when it started.
  ViUInt16 entered = 0;
  ASSERT_EQ(visaEnterLockOper(s.handle(), &entered), VI_SUCCESS);
  session->current_job_id = 0x04020005;
  ASSERT_EQ(s.Produce(kTrig), VI_SUCCESS);  // other events leave the gate alone
  EXPECT_EQ(session->lock_oper_depth, 1u);
  ASSERT_EQ(s.Produce(VI_EVENT_IO_COMPLETION, 0x04020005), VI_SUCCESS);
  EXPECT_EQ(session->lock_oper_depth, 0u);
  EXPECT_EQ(session->use_count.load(), 0u);
  EXPECT_EQ(session->current_job_id, 0u);
  zyvisaRsrcFreeSession(session);
}

// ---------------------------------------------------------------- handler loop

using Act = std::function<ViStatus(EventSession&, ViUInt64 user, ViUInt32 event)>;
std::vector<std::string> g_calls;
EventSession* g_session;
Act g_act;
int g_closes;

ViStatus Recording(ViSession, ViEventType, ViUInt32 event, ViUInt64 user) {
  g_calls.push_back(std::to_string(user) + ":" + std::to_string(event >> 16));
  const ViStatus status = g_act ? g_act(*g_session, user, event) : VI_SUCCESS;
  g_calls.push_back("/" + std::to_string(user));
  return status;
}

TEST_F(EventsTest, HandlerLoopTable) {
  const Act nchain = [](EventSession&, ViUInt64 u, ViUInt32) {
    return u == 2 ? VI_SUCCESS_NCHAIN : 0;
  };
  const Act raise = [](EventSession& s, ViUInt64, ViUInt32 e) {
    return e >> 16 == 1 ? s.Produce(kTrig) : 0;
  };
  const Act close_event = [](EventSession& s, ViUInt64, ViUInt32 e) {
    return zyvisaDeleteNode(s.get()->queue_for_handlers[0], zyvisaValidateEvent(e));
  };
  const Act uninstall = [](EventSession& s, ViUInt64, ViUInt32) {
    return s.get()->handler_count[0] = 0, 0;
  };
  const Act free_session = [](EventSession& s, ViUInt64, ViUInt32) { return s.Close(), 0; };
  // The successor takes the lowest free slot, so the same handle, and as a
  // rule the freed block too.
  static std::optional<EventSession> successor;
  const Act reopen = [](EventSession& s, ViUInt64, ViUInt32) {
    s.Close();
    successor.emplace(4, std::vector<ViEventType>{kTrig});
    return 0;
  };
  // Handlers installed (user handles 1 .. n), events produced while suspended,
  // then the loop runs: the calls ("user:node", "/user" on return), the
  // driver's closes, the loop's status.
  const struct {
    const char* name;
    int handlers, events;
    Act act;
    std::vector<std::string> calls;
    int driver_closes;
    ViStatus loop;
  } cases[] = {
      // clang-format off
      {"newest first, chain", 2, 1, nullptr, {"2:1", "/2", "1:1", "/1"}, 1, VI_SUCCESS},
      {"NCHAIN stops", 2, 1, nchain, {"2:1", "/2"}, 1, VI_SUCCESS},
      {"suspended, in order once each", 1, 3, nullptr, {"1:1", "/1", "1:2", "/1", "1:3", "/1"}, 3, VI_SUCCESS},
      {"raise inside a handler is not nested", 1, 1, raise, {"1:1", "/1", "1:2", "/1"}, 2, VI_SUCCESS},
      {"handler closes its event", 2, 2, close_event, {"2:1", "/2", "2:2", "/2"}, 2, VI_SUCCESS},
      {"handler uninstalls all", 3, 2, uninstall, {"3:1", "/3"}, 2, VI_SUCCESS},
      {"handler frees the session", 2, 2, free_session, {"2:1", "/2"}, 0, VI_ERROR_INV_OBJECT},
      {"another session takes its place", 2, 2, reopen, {"2:1", "/2"}, 0, VI_ERROR_INV_OBJECT},
      // clang-format on
  };
  objects::OperTable table{};
  ViStatus (*close)(ViObject) = [](ViObject) { return ++g_closes, VI_SUCCESS; };
  table.slots[objects::kSlotClose] = reinterpret_cast<ViAddr>(close);
  for (const auto& c : cases) {
    EventSession s(4, {kTrig}, &table);
    g_session = &s;
    g_calls.clear();
    g_act = c.act;
    g_closes = 0;
    s.Enable(kTrig, VI_SUSPEND_HNDLR);
    for (int h = 1; h <= c.handlers; ++h) s.Install(kTrig, &Recording, h);
    for (int e = 0; e < c.events; ++e) ASSERT_EQ(s.Produce(kTrig), VI_SUCCESS) << c.name;
    EXPECT_TRUE(g_calls.empty()) << c.name;
    objects::IoSession* session = s.get();
    ViSemaphore semaphore = session->event_semaphore;
    ViUInt16 held = 0;
    ASSERT_EQ(visaSemAcquire(semaphore, VI_TMO_INFINITE, &held), VI_SUCCESS);
    session->enabled_mechanisms[0] = VI_HNDLR;
    EXPECT_EQ(zyvisaInvokeHandlerLoop(session, 0, &held), c.loop) << c.name;
    if (c.loop == VI_SUCCESS) {
      EXPECT_EQ(held, 1) << c.name;
      visaSemRelease(semaphore, &held);
      EXPECT_EQ(session->queue_for_handlers[0]->queued_count, 0) << c.name;
      EXPECT_EQ(session->invocation[0].loop_depth, 0u) << c.name;
      EXPECT_EQ(session->invocation[0].current_handler, nullptr) << c.name;
    }
    EXPECT_EQ(g_calls, c.calls) << c.name;
    EXPECT_EQ(g_closes, c.driver_closes) << c.name;
    successor.reset();
  }
}

// ---------------------------------------------------------------- threads

TEST_F(EventsTest, ProducersOnSeveralThreadsWhileHandlersCallBack) {
  constexpr int kProducers = 3, kEach = 300;
  const std::vector<ViEventType> types = {kTrig, kSrq, 0x3FFF200C, 0x3FFF200D};
  EventSession s(8, types);
  static std::atomic<int> delivered{0};
  // Each handler calls back into the session that is raising, on its thread.
  const auto handler = [](ViSession vi, ViEventType type, ViUInt32, ViUInt64) -> ViStatus {
    ViUInt16 mechanism = 0, count = 0;
    ViUInt64 handler_address = 0, user = 0;
    EXPECT_EQ(visaGetEventMech(vi, VI_ALL_ENABLED_EVENTS, &mechanism), VI_SUCCESS);
    EXPECT_EQ(mechanism, VI_HNDLR | VI_QUEUE);
    EXPECT_EQ(visaGetEventHandlers(vi, type, 1, &count, &handler_address, &user), VI_SUCCESS);
    return delivered.fetch_add(1), VI_SUCCESS;
  };
  for (int p = 0; p < kProducers; ++p) s.Enable(types[p], VI_HNDLR), s.Install(types[p], handler, 0);
  s.Enable(types[3], VI_QUEUE);  // a queue with a reader on another thread
  std::atomic<int> produced{0}, queued{0}, read{0};
  std::atomic<bool> done{false};
  // Every producer raises types[3] too: each holds the event semaphore from
  // create to raise, or two could be handed the same node.
  const auto locked = [&s](const std::function<void()>& step) {
    ViUInt16 held = 0;
    visaSemAcquire(s.get()->event_semaphore, VI_TMO_INFINITE, &held);
    step();
    visaSemRelease(s.get()->event_semaphore, &held);
  };
  std::vector<std::thread> threads;
  for (int p = 0; p <= kProducers; ++p) {
    threads.emplace_back([&, p] {
      EventQueue* q = s.get()->queue_for_queuing[3];
      for (int i = 0; p < kProducers && i < kEach; ++i) {
        produced.fetch_add(s.Produce(types[p]) == VI_SUCCESS);
        locked([&] { queued.fetch_add(s.Produce(types[3]) == VI_SUCCESS); });
      }
      while (p == kProducers && (!done.load() || read.load() < queued.load())) {
        locked([&] {
          ViAddr node = nullptr;
          if (zyvisaReadNodeAtStart(q, &node) == VI_SUCCESS) read.fetch_add(!zyvisaDeleteNode(q, node));
        });
      }
    });
  }
  for (int p = 0; p < kProducers; ++p) threads[p].join();
  done.store(true);
  threads.back().join();
  EXPECT_EQ(produced.load(), kProducers * kEach);
  EXPECT_EQ(delivered.load(), produced.load());
  EXPECT_EQ(read.load(), queued.load());
  for (int p = 0; p < kProducers; ++p) EXPECT_EQ(s.get()->queue_for_handlers[p]->queued_count, 0);
}

}  // namespace
