// A recording stand-in for the call-trace library: it writes down every call
// the services make, one line each, for the trace tests to read back. Its
// version comes from ZYVISA_TEST_SPY_VERSION ("2.4"); built once without
// ZySpyEndReturns to stand for an incomplete library.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>

#define ZYSPY_EXPORT extern "C" __attribute__((visibility("default")))

namespace {
std::mutex g_mutex;
std::string g_lines;
uint64_t g_next = 100;

void Add(const std::string& line) {
  std::lock_guard<std::mutex> guard(g_mutex);
  g_lines += line + "\n";
}

std::string Value(const void* value, uint32_t element, uint32_t total, int32_t type) {
  if (value == nullptr) return "null";
  if (type == 45 || element == 1) return std::string(static_cast<const char*>(value), total);
  uint64_t v = 0;
  std::memcpy(&v, value, element < 8 ? element : 8);
  return std::to_string(v);
}
}  // namespace

ZYSPY_EXPORT const char* ZySpyTestRecords() {
  std::lock_guard<std::mutex> guard(g_mutex);
  return g_lines.c_str();
}

ZYSPY_EXPORT int32_t ZySpyGetVersion(int32_t* major, int32_t* minor) {
  const char* v = std::getenv("ZYVISA_TEST_SPY_VERSION");
  int a = 3, b = 0;
  if (v != nullptr) std::sscanf(v, "%d.%d", &a, &b);
  *major = a;
  *minor = b;
  Add("version");
  return 0;
}

ZYSPY_EXPORT uint64_t ZySpyGetCookie(int32_t category, int32_t operation, int32_t one, const char* title) {
  Add("cookie " + std::to_string(category) + " " + std::to_string(operation) + " " +
      std::to_string(one) + " " + title);
  return g_next++;
}

ZYSPY_EXPORT int32_t ZySpySetParamElementSize_generic(uint64_t, uint32_t index, const void* value,
                                                      uint32_t element, uint32_t total,
                                                      const char* name, int32_t type) {
  Add("param " + std::to_string(index) + " " + name + " " + std::to_string(type) + " " +
      Value(value, element, total, type));
  return 0;
}

ZYSPY_EXPORT int32_t ZySpyEndParams(uint64_t, uint32_t count) {
  Add("end params " + std::to_string(count));
  return 0;
}

ZYSPY_EXPORT int32_t ZySpySetReturnElementSize_generic(uint64_t, uint32_t index, const void* data,
                                                       uint32_t element, uint32_t total,
                                                       const char* name, int32_t type) {
  Add("return " + std::to_string(index) + " " + name + " " + std::to_string(type) + " " +
      Value(data, element, total, type));
  return 0;
}

ZYSPY_EXPORT int32_t ZySpySetFuncReturnElementSize_generic(uint64_t, uint32_t index,
                                                           const void* status, uint32_t element,
                                                           uint32_t total, const char* name,
                                                           int32_t type, int32_t success) {
  Add("status " + std::to_string(index) + " " + (name == nullptr ? "-" : name) + " " +
      std::to_string(type) + " " + std::to_string(*static_cast<const int32_t*>(status)) + " " +
      std::to_string(success) + " " + std::to_string(element) + "/" + std::to_string(total));
  return 0;
}

#ifndef ZYSPY_RECORDER_INCOMPLETE
ZYSPY_EXPORT int32_t ZySpyEndReturns(uint64_t* cookie, uint32_t count) {
  Add("end returns " + std::to_string(count));
  *cookie = 0;
  return 0;
}
#endif
