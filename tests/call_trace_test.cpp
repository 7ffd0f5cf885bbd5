// The call trace: which records the handler loop writes, how the trace
// library is found (or not), and our own trace library's JSON lines read
// back. Each case runs in a child process: the library is looked for and its
// version asked once per process.
#include "events/call_trace.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <nlohmann/json.hpp>
#include <sstream>
#include <string>
#include <utility>

#include "lifecycle/startup.h"
#include "platform/platform.h"
#include "support/environment.h"
#include "support/event_session.h"
#include "support/test_machine.h"
#include "zyvisa_lifecycle.h"
#include "zyvisa_oper.h"

namespace {

namespace objects = zyvisa::objects;
using namespace zyvisa::test;
using zyvisa::events::TraceLibrary;

constexpr ViEventType kTrig = 0x3FFF200A;
int g_handler_calls = 0;

ViStatus Handler(ViSession, ViEventType, ViUInt32, ViUInt64) {
  ++g_handler_calls;
  return VI_SUCCESS_NCHAIN;
}

template <typename T>
ViStatus Copy(ViAddr to, const T& value) {
  std::memcpy(to, &value, sizeof value);
  return VI_SUCCESS;
}

// The core's event attribute getter, reading the node's payload.
ViStatus EventAttribute(ViAddr address, ViAttr attribute, ViAddr value) {
  const auto* node = static_cast<const objects::EventNode*>(address);
  switch (attribute) {
    case VI_ATTR_RET_COUNT_64: return Copy(value, node->return_count);
    case VI_ATTR_BUFFER: return Copy(value, node->buffer);
    case VI_ATTR_JOB_ID: return Copy(value, node->job_id);
    case VI_ATTR_STATUS: return Copy(value, node->status);
    default: return VI_ERROR_NSUP_OPER;
  }
}

// What the recording stand-in wrote for one handler call of the session vi
// with resource name, through a trace interface that names objects or not,
// followed by the record that names its event.
std::string ExpectedRecords(ViSession vi, uint32_t event, const std::string& name, bool names) {
  std::string expected = "cookie 3 25443 1 Invoking VISA user callback\nversion\n";
  const std::string params[] = {"dummyses 45 " + name, "vi 35 " + std::to_string(vi),
                                "eventType 27 " + std::to_string(kTrig),
                                "event 37 " + std::to_string(event), "userHandle 15 43981"};
  int k = 0;
  for (size_t i = names ? 0 : 1; i < 5; ++i)
    expected += "param " + std::to_string(k++) + " " + params[i] + "\n";
  expected += "end params " + std::to_string(k) + "\nstatus 0 - 23 " +
              std::to_string(VI_SUCCESS_NCHAIN) + " 1\nend returns 1\n";
  if (names) expected += "param 0 dummyses 45 " + name + " Event\n";
  return expected + "param " + std::to_string(names) + " vi 37 " + std::to_string(event) + "\n";
}

// One process's run: the trace library args[0], spy mode on when args[1] is
// "1", one event of type args[2] raised to one handler (a read completion
// carrying "hello" for the I/O completion). Returns a bit per failed check:
// the trace library's state against args[3], one handler call, and, with a
// stand-in version in args[4], what the stand-in recorded, its event handle
// traced as the core traces objects included.
ZYVISA_SCENARIO(TraceOneEvent) {
  ScopedEnvironment library("ZYVISA_SPY_LIBRARY", args[0].c_str());
  ScopedEnvironment version("ZYVISA_TEST_SPY_VERSION", args[4].c_str());
  static ViUInt32 spy;
  spy = args[1] == "1" ? 1 : 0;
  const auto type = static_cast<ViEventType>(std::stoul(args[2]));
  if (zyvisa::lifecycle::Startup() != 1) return 90;
  zyvisaSetSpyModePtr(&spy);
  int failed = 0;
  {
    EventSession s(2, {type});
    s.Enable(type, VI_HNDLR);
    s.Install(type, &Handler, 0xABCD);
    zyvisaSetLibraryCallbacks(nullptr, nullptr, &EventAttribute, nullptr);
    static char hello[] = "hello";
    ViAddr queued = nullptr, handled = nullptr;
    if (visaCreateEvent(s.handle(), type, &queued, &handled) != VI_SUCCESS) return 91;
    auto* node = static_cast<objects::EventNode*>(handled);
    node->job_id = 0x04020007, node->buffer = hello, node->return_count = 5, node->status = 0;
    visaRaiseEvent(s.handle(), queued, handled);
    if (zyvisa::events::TraceLibraryState() != TraceLibrary(std::stoi(args[3]))) failed |= 1;
    if (g_handler_calls != 1) failed |= 2;
    if (!args[4].empty()) {
      const uint32_t event = (1u << 16) | s.get()->queue_for_handlers[0]->handle;
      ViUInt32 k = 0;
      zyvisaLogVisaObjectToSpy(1, &k, event, 37);
      const bool names = args[4] != "2.4";
      const std::string expected = ExpectedRecords(s.handle(), event, s.get()->resource_name, names);
      auto records = reinterpret_cast<const char* (*)()>(zyvisa::platform::LibrarySymbol(
          zyvisa::platform::LibraryLoad(args[0].c_str()), "ZySpyTestRecords"));
      const std::string recorded = records != nullptr ? records() : "<not loaded>";
      if (recorded != expected || k != 1u + names) {
        std::fprintf(stderr, "recorded:\n%s\nexpected:\n%s\n", recorded.c_str(), expected.c_str());
        failed |= 4;
      }
    }
  }
  zyvisa::lifecycle::Shutdown();
  return failed;
}

int TraceOneEvent(const char* library, bool spy, TraceLibrary state, const char* version = "",
                  ViEventType type = kTrig) {
  const ScenarioArgs args{library, spy ? "1" : "0", std::to_string(type),
                         std::to_string(int(state)), version};
  return Child("TraceOneEvent", args).Wait();
}

class CallTraceTest : public ::testing::Test {
 protected:
  TestMachine machine_;
};

// Stand-in versions before 2.5 get records that do not name the session.
TEST_F(CallTraceTest, LibraryIsLoadedOnlyWhenTracingAndOnlyWhole) {
  const struct {
    const char* what;
    bool spy;
    const char* path;
    TraceLibrary state;
    const char* version;
  } cases[] = {
      {"spy off", false, ZYVISA_SPY_RECORDER, TraceLibrary::kNotLoaded, ""},
      {"missing library", true, "/nonexistent/libZySpyLog.so", TraceLibrary::kUnavailable, ""},
      {"lacks a function", true, ZYVISA_SPY_INCOMPLETE, TraceLibrary::kUnavailable, ""},
      {"complete", true, ZYVISA_SPY_RECORDER, TraceLibrary::kLoaded, ""},
      {"version 2.4", true, ZYVISA_SPY_RECORDER, TraceLibrary::kLoaded, "2.4"},
      {"version 2.5", true, ZYVISA_SPY_RECORDER, TraceLibrary::kLoaded, "2.5"},
  };
  for (const auto& c : cases) EXPECT_EQ(TraceOneEvent(c.path, c.spy, c.state, c.version), 0) << c.what;
}

TEST_F(CallTraceTest, OurTraceLibraryWritesOneJsonLinePerRecord) {
  const std::string output = machine_.root() + TestMachine::kSep + "trace.jsonl";
  {
    ScopedEnvironment file("ZYVISA_SPY_OUTPUT", output.c_str());
    ASSERT_EQ(
        TraceOneEvent(ZYVISA_SPY_LOG, true, TraceLibrary::kLoaded, "", VI_EVENT_IO_COMPLETION), 0);
  }
  nlohmann::json records = nlohmann::json::array();
  std::istringstream lines(ReadFile(output));
  for (std::string line; std::getline(lines, line);) records.push_back(nlohmann::json::parse(line));
  ASSERT_EQ(records.size(), 2u);  // the completion, then the handler call
  // Values rendered by type: job ids, event types and user handles in hex,
  // counts in decimal, buffers as text, statuses by name.
  const std::pair<const char*, nlohmann::json> expected[] = {
      {"/0/title", "Completing viReadAsync"}, {"/0/params/2/name", "actualJob"},
      {"/0/params/2/value", "0x4020007"},     {"/0/params/4/value", "5"},
      {"/0/returns/0/value", "hello"},        {"/0/returns/1/value", "VI_SUCCESS"},
      {"/1/title", "Invoking VISA user callback"}, {"/1/operation", "0x6363"},
      {"/1/params/0/name", "dummyses"},       {"/1/params/1/name", "vi"},
      {"/1/params/2/name", "eventType"},      {"/1/params/2/value", "0x3FFF2009"},
      {"/1/params/3/name", "event"},          {"/1/params/4/name", "userHandle"},
      {"/1/params/4/value", "0xABCD"},        {"/1/params/4/type", 15},
      {"/1/returns/0/value", "VI_SUCCESS_NCHAIN"}, {"/1/returns/0/type", 23},
  };
  for (const auto& [path, value] : expected) {
    EXPECT_EQ(records.at(nlohmann::json::json_pointer(path)), value) << path;
  }
  EXPECT_EQ(records[1]["params"].size(), 5u);
  EXPECT_EQ(records[1]["params"][0]["value"].get<std::string>().find("::INSTR"), 5u);
  EXPECT_FALSE(records[1]["thread"].get<std::string>().empty());
  EXPECT_FALSE(records[1]["time"].get<std::string>().empty());
}

}  // namespace
