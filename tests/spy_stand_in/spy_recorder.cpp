// A recording stand-in for the call-trace library: one line per call the
// services make, read back by the trace tests. Its version comes from
// ZYVISA_TEST_SPY_VERSION ("2.4"); built once more without ZySpyEndReturns
// to stand for an incomplete library. The prototypes are the trace library's.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>

#include "spylog/spy_log.h"

namespace {
std::mutex g_mutex;
std::string g_lines;

int32_t Add(const std::string& line) {
  std::lock_guard<std::mutex> guard(g_mutex);
  g_lines += line + "\n";
  return 0;
}

// Names and byte arrays as text, numbers in decimal.
std::string Item(uint32_t index, const char* name, int32_t type, const void* value,
                 uint32_t element, uint32_t total) {
  std::string text = std::to_string(index) + " " + (name != nullptr ? name : "-") + " " +
                     std::to_string(type) + " ";
  if (type == 45 || element == 1) return text + std::string(static_cast<const char*>(value), total);
  int64_t v = 0;
  std::memcpy(&v, value, element < 8 ? element : 8);
  return text + std::to_string(element == 4 ? static_cast<int32_t>(v) : v);
}
}  // namespace

extern "C" ZYSPY_EXPORT const char* ZySpyTestRecords() {
  std::lock_guard<std::mutex> guard(g_mutex);
  return g_lines.c_str();
}
int32_t ZySpyGetVersion(int32_t* major, int32_t* minor) noexcept {
  const char* v = std::getenv("ZYVISA_TEST_SPY_VERSION");
  if (v == nullptr || std::sscanf(v, "%d.%d", major, minor) != 2) *major = 3, *minor = 0;
  return Add("version");
}
uint64_t ZySpyGetCookie(int32_t category, int32_t operation, int32_t one,
                        const char* title) noexcept {
  Add("cookie " + std::to_string(category) + " " + std::to_string(operation) + " " +
      std::to_string(one) + " " + title);
  return 100;
}
int32_t ZySpySetParamElementSize_generic(uint64_t, uint32_t i, const void* v, uint32_t e,
                                         uint32_t t, const char* name, int32_t type) noexcept {
  return Add("param " + Item(i, name, type, v, e, t));
}
int32_t ZySpyEndParams(uint64_t, uint32_t count) noexcept {
  return Add("end params " + std::to_string(count));
}
int32_t ZySpySetReturnElementSize_generic(uint64_t, uint32_t i, const void* v, uint32_t e,
                                          uint32_t t, const char* name, int32_t type) noexcept {
  return Add("return " + Item(i, name, type, v, e, t));
}
int32_t ZySpySetFuncReturnElementSize_generic(uint64_t, uint32_t i, const void* v, uint32_t e,
                                              uint32_t t, const char* name, int32_t type,
                                              int32_t success) noexcept {
  return Add("status " + Item(i, name, type, v, e, t) + " " + std::to_string(success));
}
#ifndef ZYSPY_RECORDER_INCOMPLETE
int32_t ZySpyEndReturns(uint64_t* cookie, uint32_t count) noexcept {
  *cookie = 0;
  return Add("end returns " + std::to_string(count));
}
#endif
