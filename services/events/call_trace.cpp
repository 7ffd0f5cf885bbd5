// The call trace: finding the trace library and its seven functions once per
// process, and the records of handler calls and of asynchronous completions.
#include "events/call_trace.h"

#include <atomic>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <string>

#include "events/emulated_async.h"
#include "objects/library_callbacks.h"
#include "objects/object_table.h"
#include "platform/platform.h"
#include "zyvisa_events.h"
#include "zyvisa_objects.h"

namespace zyvisa::events {

namespace {

constexpr int32_t kCategory = 3;
constexpr int32_t kOperHandler = 0x6363;
constexpr int32_t kOperAsyncJob = 0xB01;
constexpr char kLibraryVariable[] = "ZYVISA_SPY_LIBRARY";

// Type codes of the record items.
constexpr int32_t kTypeCount = 1;
constexpr int32_t kTypeUserHandle = 15;
constexpr int32_t kTypeStatus = 23;
constexpr int32_t kTypeEventType = 27;
constexpr int32_t kTypeSession = 35;
constexpr int32_t kTypeEvent = 37;
constexpr int32_t kTypeBuffer = 41;
constexpr int32_t kTypeObjectName = 45;
constexpr int32_t kTypeJobId = 49;

struct TraceApi {
  int32_t (*get_version)(int32_t*, int32_t*);
  uint64_t (*get_cookie)(int32_t, int32_t, int32_t, const char*);
  int32_t (*set_param)(uint64_t, uint32_t, const void*, uint32_t, uint32_t, const char*, int32_t);
  int32_t (*end_params)(uint64_t, uint32_t);
  int32_t (*set_return)(uint64_t, uint32_t, const void*, uint32_t, uint32_t, const char*, int32_t);
  int32_t (*set_func_return)(uint64_t, uint32_t, const void*, uint32_t, uint32_t, const char*,
                             int32_t, int32_t);
  int32_t (*end_returns)(uint64_t*, uint32_t);
};

// Loaded once and kept for the life of the process: a thread of the core may
// be inside a record at any moment, also while this library shuts down, so
// the trace library is never unloaded from under it. It owns nothing that
// other processes need.
TraceApi g_api;
std::atomic<int> g_state{static_cast<int>(TraceLibrary::kNotLoaded)};
std::mutex g_load_mutex;
// The trace library's version is asked once; a race on the first call only
// repeats the question.
std::atomic<bool> g_version_pending{true};
std::atomic<bool> g_object_names{false};

template <typename T>
bool Find(void* library, const char* name, T* entry) {
  *entry = reinterpret_cast<T>(platform::LibrarySymbol(library, name));
  return *entry != nullptr;
}

const TraceApi* Api() noexcept {
  int state = g_state.load(std::memory_order_acquire);
  if (state == static_cast<int>(TraceLibrary::kNotLoaded)) {
    std::lock_guard<std::mutex> guard(g_load_mutex);
    state = g_state.load(std::memory_order_relaxed);
    if (state == static_cast<int>(TraceLibrary::kNotLoaded)) {
      std::string path;
      if (!platform::GetEnvironment(kLibraryVariable, &path) || path.empty())
        path = platform::kTraceLibraryFile;
      void* library = platform::LibraryLoad(path.c_str());
      TraceApi api{};
      const bool complete =
          library != nullptr && Find(library, "ZySpyGetVersion", &api.get_version) &&
          Find(library, "ZySpyGetCookie", &api.get_cookie) &&
          Find(library, "ZySpySetParamElementSize_generic", &api.set_param) &&
          Find(library, "ZySpyEndParams", &api.end_params) &&
          Find(library, "ZySpySetReturnElementSize_generic", &api.set_return) &&
          Find(library, "ZySpySetFuncReturnElementSize_generic", &api.set_func_return) &&
          Find(library, "ZySpyEndReturns", &api.end_returns);
      if (complete) {
        g_api = api;
        state = static_cast<int>(TraceLibrary::kLoaded);
      } else {
        // A library without the whole interface is not half used.
        if (library != nullptr) platform::LibraryFree(library);
        state = static_cast<int>(TraceLibrary::kUnavailable);
      }
      g_state.store(state, std::memory_order_release);
    }
  }
  return state == static_cast<int>(TraceLibrary::kLoaded) ? &g_api : nullptr;
}

void AddName(const TraceApi* api, uint64_t cookie, uint32_t* counter, const char* name) {
  const auto length = static_cast<uint32_t>(std::strlen(name));
  api->set_param(cookie, (*counter)++, name, 1, length, "dummyses", kTypeObjectName);
}

}  // namespace

TraceLibrary TraceLibraryState() noexcept {
  return static_cast<TraceLibrary>(g_state.load(std::memory_order_acquire));
}

uint64_t TraceHandlerCall(const objects::IoSession* session, ViEventType event_type, ViUInt32 event,
                          ViUInt64 user_handle) noexcept {
  const TraceApi* api = Api();
  if (api == nullptr) return 0;
  const uint64_t cookie =
      api->get_cookie(kCategory, kOperHandler, 1, "Invoking VISA user callback");
  if (cookie == 0) return 0;
  ViUInt32 k = 0;
  zyvisaLogVisaObjectToSpy(cookie, &k, session->handle, kTypeSession);
  api->set_param(cookie, k, &event_type, 4, 4, "eventType", kTypeEventType);
  api->set_param(cookie, k + 1, &event, 4, 4, "event", kTypeEvent);
  api->set_param(cookie, k + 2, &user_handle, 8, 8, "userHandle", kTypeUserHandle);
  api->end_params(cookie, k + 3);
  return cookie;
}

void TraceReturn(uint64_t cookie, ViStatus status) noexcept {
  const TraceApi* api = Api();
  if (api == nullptr || cookie == 0) return;
  api->set_func_return(cookie, 0, &status, 4, 4, nullptr, kTypeStatus, status >= 0 ? 1 : 0);
  api->end_returns(&cookie, 1);
}

uint64_t TraceAsyncJob(ViSession session, ViJobId job_id) noexcept {
  const TraceApi* api = Api();
  if (api == nullptr) return 0;
  const uint64_t cookie = api->get_cookie(kCategory, kOperAsyncJob, 1, "Performing async I/O");
  if (cookie == 0) return 0;
  api->set_param(cookie, 0, &session, 4, 4, "vi", kTypeSession);
  api->set_param(cookie, 1, &job_id, 4, 4, "jobId", kTypeJobId);
  api->end_params(cookie, 2);
  return cookie;
}

void TraceCompletion(const objects::IoSession* session, objects::EventNode* node) noexcept {
  const ZyvisaGetEventAttributeProc get = objects::GetLibraryCallbacks().get_event_attribute;
  if (get == nullptr) return;
  ViUInt64 count = 0;
  ViAddr buffer = nullptr;
  ViJobId job = 0;
  ViStatus status = VI_SUCCESS;
  get(node, VI_ATTR_RET_COUNT_64, &count);
  get(node, VI_ATTR_BUFFER, &buffer);
  get(node, VI_ATTR_JOB_ID, &job);
  get(node, VI_ATTR_STATUS, &status);
  const char* title = nullptr;
  if ((job >> 16) == kOperReadAsync) title = "Completing viReadAsync";
  if ((job >> 16) == kOperWriteAsync) title = "Completing viWriteAsync";
  if (title == nullptr) return;
  const TraceApi* api = Api();
  if (api == nullptr) return;
  uint64_t cookie = api->get_cookie(kCategory, kOperHandler, 1, title);
  if (cookie == 0) return;
  ViUInt32 k = 0;
  zyvisaLogVisaObjectToSpy(cookie, &k, session->handle, kTypeSession);
  const auto low_count = static_cast<uint32_t>(count);
  api->set_param(cookie, k, &job, 4, 4, "actualJob", kTypeJobId);
  api->set_param(cookie, k + 1, &buffer, 8, 8, "actualBuf", kTypeBuffer);
  api->set_param(cookie, k + 2, &low_count, 4, 4, "actualCount", kTypeCount);
  api->end_params(cookie, k + 3);
  uint32_t items = 0;
  if (low_count != 0 && buffer != nullptr) {
    api->set_return(cookie, items++, buffer, 1, low_count, "actualBuf", kTypeBuffer);
  }
  api->set_func_return(cookie, items++, &status, 4, 4, nullptr, kTypeStatus, status >= 0 ? 1 : 0);
  api->end_returns(&cookie, items);
}

}  // namespace zyvisa::events

namespace events = zyvisa::events;
namespace objects = zyvisa::objects;

extern "C" ZYVISA_EXPORT ViInt32 zyvisaLogVisaObjectToSpy(ViUInt64 cookie,
                                                          ViUInt32* parameter_index,
                                                          ViUInt32 object_handle,
                                                          ViInt32 type_code) noexcept {
  const events::TraceApi* api = events::Api();
  if (api == nullptr) return VI_ERROR_LIBRARY_NFOUND;
  if (parameter_index == nullptr) return VI_ERROR_USER_BUF;
  while (events::g_version_pending.load(std::memory_order_acquire)) {
    int32_t major = 0;
    int32_t minor = 0;
    api->get_version(&major, &minor);
    // Object names came with version 2.5 of the trace interface.
    events::g_object_names.store(major > 2 || (major == 2 && minor >= 5),
                                 std::memory_order_relaxed);
    events::g_version_pending.store(false, std::memory_order_release);
  }
  if (events::g_object_names.load(std::memory_order_relaxed)) {
    if (const auto* session =
            static_cast<const objects::IoSession*>(zyvisaValidateIoSession(object_handle, 0))) {
      char name[sizeof session->resource_name + 1];
      std::snprintf(name, sizeof name, "%.*s", static_cast<int>(sizeof session->resource_name),
                    session->resource_name);
      events::AddName(api, cookie, parameter_index, name);
    } else {
      const auto* queue = static_cast<const objects::EventQueue*>(
          objects::LookupObject(objects::kEventQueueKind, object_handle & 0xFFFF));
      if (queue != nullptr && (object_handle >> 16) <= queue->length && queue->session != nullptr) {
        char name[256];
        std::snprintf(name, sizeof name, "%.*s Event", 249, queue->session->resource_name);
        events::AddName(api, cookie, parameter_index, name);
      }
    }
  }
  return api->set_param(cookie, (*parameter_index)++, &object_handle, 4, 4, "vi", type_code);
}
