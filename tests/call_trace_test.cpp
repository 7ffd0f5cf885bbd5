// The call trace: which records the handler loop writes, how the trace
// library is found (or not), and our own trace library's JSON lines read
// back. Each case runs in a child process: the library is loaded and its
// version asked once per process.
#include "events/call_trace.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <nlohmann/json.hpp>
#include <sstream>
#include <string>
#include <vector>

#include "lifecycle/startup.h"
#include "platform/platform.h"
#include "support/environment.h"
#include "support/event_session.h"
#include "support/test_machine.h"
#include "zyvisa_events.h"
#include "zyvisa_lifecycle.h"
#include "zyvisa_oper.h"

namespace {

namespace objects = zyvisa::objects;
using zyvisa::events::TraceLibrary;
using zyvisa::test::Child;
using zyvisa::test::EventSession;
using zyvisa::test::ScopedEnvironment;

constexpr ViEventType kTrig = 0x3FFF200A;
ViUInt32 g_spy_on = 1;
int g_handler_calls = 0;

ViStatus Handler(ViSession, ViEventType, ViUInt32, ViUInt64) {
  ++g_handler_calls;
  return VI_SUCCESS_NCHAIN;
}

// The core's event attribute getter, reading the node's payload.
ViStatus EventAttribute(ViAddr node_address, ViAttr attribute, ViAddr value) {
  const auto* node = static_cast<const objects::EventNode*>(node_address);
  switch (attribute) {
    case VI_ATTR_RET_COUNT_64:
      *static_cast<ViUInt64*>(value) = node->return_count;
      break;
    case VI_ATTR_BUFFER:
      *static_cast<ViAddr*>(value) = node->buffer;
      break;
    case VI_ATTR_JOB_ID:
      *static_cast<ViJobId*>(value) = node->job_id;
      break;
    case VI_ATTR_STATUS:
      *static_cast<ViStatus*>(value) = node->status;
      break;
    default:
      return VI_ERROR_NSUP_OPER;
  }
  return VI_SUCCESS;
}

// Starts the library, produces one event of type with one handler installed
// (a read completion carrying "hello" for VI_EVENT_IO_COMPLETION), and
// returns the session's handle.
ViSession ProduceOne(EventSession& s, ViEventType type) {
  s.Enable(type, VI_HNDLR);
  s.Install(type, &Handler, 0xABCD);
  zyvisaSetLibraryCallbacks(nullptr, nullptr, &EventAttribute, nullptr);
  static char hello[] = "hello";
  ViAddr queued = nullptr, handled = nullptr;
  if (visaCreateEvent(s.handle(), type, &queued, &handled) != VI_SUCCESS) return 0;
  auto* node = static_cast<objects::EventNode*>(handled);
  node->job_id = 0x04020007;
  node->buffer = hello;
  node->return_count = 5;
  node->status = VI_SUCCESS;
  visaRaiseEvent(s.handle(), queued, handled);
  return s.handle();
}

std::string Recorded() {
  void* library = zyvisa::platform::LibraryLoad(ZYVISA_SPY_RECORDER);
  auto records = reinterpret_cast<const char* (*)()>(
      zyvisa::platform::LibrarySymbol(library, "ZySpyTestRecords"));
  return records != nullptr ? records() : "<not loaded>";
}

class CallTraceTest : public ::testing::Test {
 protected:
  // Runs fn in a child that has started the library; 0 means it passed.
  static int InChild(const std::function<int()>& fn) {
    Child child([&] {
      if (zyvisa::lifecycle::Startup() != 1) return 90;
      const int result = fn();
      zyvisa::lifecycle::Shutdown();
      return result;
    });
    return child.Wait();
  }
  zyvisa::test::TestMachine machine_;
};

// Compares and tells the parent what differed.
int Same(const std::string& got, const std::string& expected) {
  if (got == expected) return 0;
  std::fprintf(stderr, "recorded:\n%s\nexpected:\n%s\n", got.c_str(), expected.c_str());
  return 1;
}

TEST_F(CallTraceTest, HandlerRecordsNameTheSessionFromVersion25) {
  ZYVISA_REQUIRE_FORK();
  const struct {
    const char* version;
    bool names;
  } cases[] = {{"2.4", false}, {"2.5", true}, {"3.0", true}};
  for (const auto& c : cases) {
    const int result = InChild([&] {
      ScopedEnvironment library("ZYVISA_SPY_LIBRARY", ZYVISA_SPY_RECORDER);
      ScopedEnvironment version("ZYVISA_TEST_SPY_VERSION", c.version);
      zyvisaSetSpyModePtr(&g_spy_on);
      EventSession s(2, {kTrig});
      const ViSession vi = ProduceOne(s, kTrig);
      const uint32_t event = (1u << 16) | s.get()->queue_for_handlers[0]->handle;
      // An event handle names its session's resource too.
      ViUInt32 k = 0;
      zyvisaLogVisaObjectToSpy(1, &k, event, 37);
      const std::string name = s.get()->resource_name;
      std::string expected = "cookie 3 25443 1 Invoking VISA user callback\nversion\n";
      const std::string first = c.names ? "1" : "0";
      if (c.names) expected += "param 0 dummyses 45 " + name + "\n";
      expected += "param " + first + " vi 35 " + std::to_string(vi) + "\n";
      expected +=
          "param " + std::to_string(1 + c.names) + " eventType 27 " + std::to_string(kTrig) + "\n";
      expected +=
          "param " + std::to_string(2 + c.names) + " event 37 " + std::to_string(event) + "\n";
      expected += "param " + std::to_string(3 + c.names) + " userHandle 15 " +
                  std::to_string(0xABCD) + "\n";
      expected += "end params " + std::to_string(4 + c.names) + "\n";
      expected += "status 0 - 23 " + std::to_string(VI_SUCCESS_NCHAIN) + " 1\nend returns 1\n";
      if (c.names) expected += "param 0 dummyses 45 " + name + " Event\n";
      expected += "param " + first + " vi 37 " + std::to_string(event) + "\n";
      return Same(Recorded(), expected) + (k == 1u + c.names ? 0 : 10);
    });
    EXPECT_EQ(result, 0) << c.version;
  }
}

TEST_F(CallTraceTest, LibraryIsLoadedOnlyWhenTracingAndOnlyWhole) {
  ZYVISA_REQUIRE_FORK();
  const struct {
    const char* what;
    bool spy;
    const char* path;
    TraceLibrary state;
  } cases[] = {
      {"spy off", false, ZYVISA_SPY_RECORDER, TraceLibrary::kNotLoaded},
      {"missing library", true, "/nonexistent/libZySpyLog.so", TraceLibrary::kUnavailable},
      {"lacks a function", true, ZYVISA_SPY_INCOMPLETE, TraceLibrary::kUnavailable},
      {"complete", true, ZYVISA_SPY_RECORDER, TraceLibrary::kLoaded},
  };
  for (const auto& c : cases) {
    const int result = InChild([&] {
      ScopedEnvironment library("ZYVISA_SPY_LIBRARY", c.path);
      static ViUInt32 flag;
      flag = c.spy ? 1 : 0;
      zyvisaSetSpyModePtr(&flag);
      EventSession s(2, {kTrig});
      g_handler_calls = 0;
      ProduceOne(s, kTrig);
      return (zyvisa::events::TraceLibraryState() == c.state ? 0 : 1) +
             (g_handler_calls == 1 ? 0 : 2);
    });
    EXPECT_EQ(result, 0) << c.what;
  }
}

TEST_F(CallTraceTest, OurTraceLibraryWritesOneJsonLinePerRecord) {
  ZYVISA_REQUIRE_FORK();
  const std::string output = machine_.root() + "/trace.jsonl";
  const int result = InChild([&] {
    ScopedEnvironment library("ZYVISA_SPY_LIBRARY", ZYVISA_SPY_LOG);
    ScopedEnvironment file("ZYVISA_SPY_OUTPUT", output.c_str());
    zyvisaSetSpyModePtr(&g_spy_on);
    EventSession s(2, {VI_EVENT_IO_COMPLETION});
    return ProduceOne(s, VI_EVENT_IO_COMPLETION) != 0 ? 0 : 1;
  });
  ASSERT_EQ(result, 0);
  std::istringstream lines(zyvisa::test::ReadFile(output));
  std::vector<nlohmann::json> records;
  for (std::string line; std::getline(lines, line);) records.push_back(nlohmann::json::parse(line));
  ASSERT_EQ(records.size(), 2u);
  const nlohmann::json& completion = records[0];
  const nlohmann::json& call = records[1];
  EXPECT_EQ(completion["title"], "Completing viReadAsync");
  EXPECT_EQ(completion["params"][2]["name"], "actualJob");
  EXPECT_EQ(completion["params"][2]["value"], "0x4020007");
  EXPECT_EQ(completion["params"][4]["value"], "5");  // a count, in decimal
  EXPECT_EQ(completion["returns"][0]["value"], "hello");
  EXPECT_EQ(completion["returns"][1]["value"], "VI_SUCCESS");
  EXPECT_EQ(call["title"], "Invoking VISA user callback");
  EXPECT_EQ(call["operation"], "0x6363");
  EXPECT_FALSE(call["thread"].get<std::string>().empty());
  EXPECT_FALSE(call["time"].get<std::string>().empty());
  std::vector<std::string> names;
  for (const auto& p : call["params"]) names.push_back(p["name"]);
  EXPECT_EQ(names,
            (std::vector<std::string>{"dummyses", "vi", "eventType", "event", "userHandle"}));
  EXPECT_EQ(call["params"][0]["value"].get<std::string>().find("::INSTR"), 5u);
  EXPECT_EQ(call["params"][2]["value"], "0x3FFF2009");
  EXPECT_EQ(call["params"][4]["value"], "0xABCD");
  EXPECT_EQ(call["params"][4]["type"], 15);
  EXPECT_EQ(call["returns"][0]["value"], "VI_SUCCESS_NCHAIN");
  EXPECT_EQ(call["returns"][0]["type"], 23);
}

}  // namespace
