// zyvisa-demo: one actor of the demonstration's story (the script
// examples/story.sh starts two and narrates): the holder opens two loopback
// resources, locks them and reads asynchronously; the waiter shares a record
// with it, waits for its lock, gets it once the holder is killed, and searches.
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>

#include "loopback_driver.h"
#include "minimal_core.h"
#include "zyvisa_lifecycle.h"
#include "zyvisa_locking.h"
#include "zyvisa_objects.h"
#include "zyvisa_platform.h"

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::system_clock;

const char* g_actor = "";
fs::path g_stage;  // the folder where the actors leave their cues
long long g_start_ms = 0;

long long NowMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now().time_since_epoch())
      .count();
}

// One line of the story: time since it began, who, what, the status, and more.
void Say(const std::string& what, ViStatus status, const std::string& more = "") {
  std::printf("%7lld ms  %-6s  %-48s %-22s %s\n", NowMs() - g_start_ms, g_actor, what.c_str(),
              core::StatusName(status).c_str(), more.c_str());
  std::fflush(stdout);
}
void Tell(const std::string& what) {
  std::printf("%7lld ms  %-6s  %s\n", NowMs() - g_start_ms, g_actor, what.c_str());
  std::fflush(stdout);
}

void Cue(const char* name, const std::string& text = "") { std::ofstream(g_stage / name) << text; }
std::string AwaitCue(const char* name) {
  const auto give_up = Clock::now() + std::chrono::seconds(30);
  while (!fs::exists(g_stage / name)) {
    if (Clock::now() > give_up) {
      Tell(std::string("gave up waiting for ") + name);
      std::exit(3);
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  std::string text;
  std::ifstream(g_stage / name) >> text;
  return text;
}

std::string Sessions(const core::Session& s) {
  if (s.object == nullptr) return "";
  return "sessions on its record: " +
         std::to_string(zyvisaRsrcGetSessionCount(s.object->resource_record));
}

// The completion handler: called on the thread that raised the event, here
// the session's job thread.
std::atomic<ViUInt32> g_caller_thread{0};
ViStatus OnCompletion(ViSession, ViEventType, ViUInt32 event, ViUInt64) {
  const auto* node = static_cast<const zyvisa::objects::EventNode*>(visaGetEventImpl(event));
  const bool job_thread = visaThreadGetID() != g_caller_thread;
  char line[160];
  std::snprintf(line, sizeof line, "handler: job 0x%08X, %llu bytes, on the %s thread",
                node->job_id, static_cast<unsigned long long>(node->return_count),
                job_thread ? "job" : "caller's");
  Say(line, node->status);
  return VI_SUCCESS;
}

int Holder(ViAddr driver) {
  core::Session one, two;
  ViStatus status = core::Open("ASRL1::INSTR", driver, &one);
  Say("opens ASRL1::INSTR", status, Sessions(one));
  status = core::Open("ASRL2::INSTR", driver, &two);
  Say("opens ASRL2::INSTR", status, Sessions(two));
  Cue("holder-opened", std::to_string(visaProcGetID()));
  AwaitCue("waiter-opened");
  Say("locks ASRL1::INSTR exclusively", core::Lock(&one, VI_EXCLUSIVE_LOCK, 2000));
  Say("locks ASRL2::INSTR exclusively", core::Lock(&two, VI_EXCLUSIVE_LOCK, 2000));
  ViUInt32 written = 0;
  status = core::Write(&one, "*IDN?", &written);
  Say("writes \"*IDN?\" to the loopback", status, std::to_string(written) + " bytes");
  // 1024 bytes is above the minimum asynchronous count: a job for the job thread.
  core::InstallHandler(&one, OnCompletion, 0);
  g_caller_thread = visaThreadGetID();
  static char buffer[1024];
  ViJobId job = 0;
  Say("reads 1024 bytes asynchronously", core::ReadAsync(&one, buffer, sizeof buffer, &job),
      "job queued to the session's job thread");
  ViUInt32 count = 0;
  status = core::WaitOnEvent(&one, 5000, &job, &count);
  char line[160];
  std::snprintf(line, sizeof line, "queued event: job 0x%08X, %u bytes \"%.*s\"", job, count,
                static_cast<int>(count), buffer);
  Say(line, status);
  Tell("holds both locks and waits (until it is killed)");
  Cue("holder-ready");
  for (;;) std::this_thread::sleep_for(std::chrono::seconds(1));
}

int Waiter(ViAddr driver) {
  AwaitCue("holder-opened");
  core::Session s;
  const ViStatus status = core::Open("ASRL1::INSTR", driver, &s);
  Say("opens ASRL1::INSTR", status, Sessions(s) + " (shares the holder's record)");
  Cue("waiter-opened");
  AwaitCue("holder-ready");
  ViUInt32 written = 0;
  Say("writes to ASRL1::INSTR", core::Write(&s, "hello", &written), "the gate refuses: locked");
  // The lock request waits up to 10 s; the story kills the holder meanwhile
  // and notes when it sent the SIGKILL.
  Tell("asks for an exclusive lock on ASRL1::INSTR (time-out 10000 ms): waits");
  Cue("waiter-waiting");
  const long long asked_at = NowMs();
  const ViStatus lock_status = core::Lock(&s, VI_EXCLUSIVE_LOCK, 10000);
  const long long granted_at = NowMs();
  const long long killed_at = std::atoll(AwaitCue("killed").c_str());
  Say("gets the exclusive lock", lock_status,
      std::to_string(granted_at - killed_at) + " ms after the SIGKILL (waited " +
          std::to_string(granted_at - asked_at) + " ms)");
  const ViStatus wrote = core::Write(&s, "hello", &written);
  Say("writes \"hello\" to ASRL1::INSTR", wrote, std::to_string(written) + " bytes");
  Cue("waiter-locked");
  AwaitCue("inspected");

  const char* expression = "ASRL?*::INSTR{VI_ATTR_INTF_NUM < 5}";
  const std::vector<std::string> offered = {"ASRL1::INSTR", "ASRL2::INSTR", "ASRL9::INSTR",
                                            "GPIB0::5::INSTR"};
  Tell(std::string("searches ") + expression + " among the loopback's ASRL1, ASRL2, ASRL9");
  for (const std::string& name : core::Find(expression, offered)) Tell("  found " + name);

  Say("unlocks ASRL1::INSTR", core::Unlock(&s));
  core::Close(&s);
  Tell("closed ASRL1::INSTR");
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 3 || (std::strcmp(argv[1], "holder") != 0 && std::strcmp(argv[1], "waiter") != 0)) {
    std::fprintf(stderr, "usage: zyvisa-demo holder|waiter STAGE-FOLDER\n"
                         "(examples/story.sh runs both; ZYVISA_DEMO_T0 is the start in ms)\n");
    return 64;
  }
  g_actor = argv[1];
  g_stage = argv[2];
  const char* t0 = std::getenv("ZYVISA_DEMO_T0");
  g_start_ms = t0 != nullptr ? std::atoll(t0) : NowMs();
  // With spy mode on, every handler call and emulated completion goes to the
  // call-trace library ($ZYVISA_SPY_LIBRARY).
  static ViUInt32 spy = std::getenv("ZYVISA_DEMO_SPY") != nullptr ? 1 : 0;
  zyvisaSetSpyModePtr(&spy);
  if (!core::Start()) {
    Tell("start-up failed: check the registry (ZYVISA_REGISTRY)");
    return 1;
  }
  const ViAddr driver = loopback::RegisterDriver();
  return std::strcmp(argv[1], "holder") == 0 ? Holder(driver) : Waiter(driver);
}
