// libZySpyLog.so: a call-trace library that writes every finished record as
// one JSON line, to the file named by ZYVISA_SPY_OUTPUT or else to standard
// error. Records are collected per cookie and written whole under one lock,
// so lines of concurrent records never interleave.
#include "spy_log.h"

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <mutex>
#include <nlohmann/json.hpp>
#include <sstream>
#include <string>
#include <thread>
#include <unordered_map>
#include <vector>

#include "spy_values.h"

namespace zyspy {
namespace {

constexpr int32_t kMajor = 3;
constexpr int32_t kMinor = 0;

struct Item {
  std::string name;
  int32_t type_code = 0;
  std::string value;
  uint32_t size = 0;
  int32_t success = -1;  // function results only
};

struct Record {
  std::string title;
  int32_t operation = 0;
  std::string thread;
  std::string time;
  std::vector<Item> params;
  std::vector<Item> returns;
};

// Never destroyed: a thread of the traced process may finish a record while
// the process exits.
struct Log {
  std::mutex mutex;
  std::unordered_map<uint64_t, Record> open;
  std::FILE* out = nullptr;
  bool out_chosen = false;
};
Log& TheLog() {
  static Log* log = new Log;
  return *log;
}
std::atomic<uint64_t> g_next_cookie{1};

std::string ThreadText() {
  std::ostringstream text;
  text << std::this_thread::get_id();
  return text.str();
}

std::string Now() {
  const auto now = std::chrono::system_clock::now();
  const std::time_t seconds = std::chrono::system_clock::to_time_t(now);
  const auto micros =
      std::chrono::duration_cast<std::chrono::microseconds>(now.time_since_epoch()).count() %
      1000000;
  std::tm utc{};
  // gmtime_r is not standard C++; gmtime's static buffer is used under the log lock.
  std::lock_guard<std::mutex> guard(TheLog().mutex);
  if (const std::tm* t = std::gmtime(&seconds)) utc = *t;
  char text[96];
  std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02d.%06lldZ", utc.tm_year + 1900,
                utc.tm_mon + 1, utc.tm_mday, utc.tm_hour, utc.tm_min, utc.tm_sec,
                static_cast<long long>(micros));
  return text;
}

Item MakeItem(const void* value, uint32_t element_size, uint32_t total_size, const char* name,
              int32_t type_code) {
  Item item;
  item.name = name != nullptr ? name : "return";
  item.type_code = type_code;
  item.size = total_size;
  item.value = RenderValue(type_code, static_cast<const uint8_t*>(value), element_size, total_size);
  return item;
}

// Items arrive with their index; a record keeps them in index order.
int32_t Put(uint64_t cookie, bool is_return, uint32_t index, Item item) {
  Log& log = TheLog();
  std::lock_guard<std::mutex> guard(log.mutex);
  auto found = log.open.find(cookie);
  if (found == log.open.end()) return -1;
  std::vector<Item>& items = is_return ? found->second.returns : found->second.params;
  if (index >= items.size()) items.resize(index + 1);
  items[index] = std::move(item);
  return 0;
}

nlohmann::json ItemsJson(const std::vector<Item>& items) {
  nlohmann::json list = nlohmann::json::array();
  for (const Item& item : items) {
    nlohmann::json entry = {{"name", item.name}, {"type", item.type_code}, {"value", item.value}};
    if (item.type_code != 23 && item.size > kShownBytes) entry["length"] = item.size;
    if (item.success >= 0) entry["success"] = item.success != 0;
    list.push_back(std::move(entry));
  }
  return list;
}

std::FILE* Output(Log& log) {
  if (!log.out_chosen) {
    log.out_chosen = true;
    const char* path = std::getenv("ZYVISA_SPY_OUTPUT");
    if (path != nullptr && path[0] != '\0') log.out = std::fopen(path, "a");
    if (log.out == nullptr) log.out = stderr;
  }
  return log.out;
}

}  // namespace
}  // namespace zyspy

using zyspy::Item;

extern "C" ZYSPY_EXPORT int32_t ZySpyGetVersion(int32_t* major, int32_t* minor) noexcept {
  if (major != nullptr) *major = zyspy::kMajor;
  if (minor != nullptr) *minor = zyspy::kMinor;
  return 0;
}

extern "C" ZYSPY_EXPORT uint64_t ZySpyGetCookie(int32_t category, int32_t operation, int32_t one,
                                                const char* title) noexcept {
  (void)category;
  (void)one;
  try {
    zyspy::Record record;
    record.title = title != nullptr ? title : "";
    record.operation = operation;
    record.thread = zyspy::ThreadText();
    record.time = zyspy::Now();
    const uint64_t cookie = zyspy::g_next_cookie.fetch_add(1, std::memory_order_relaxed);
    zyspy::Log& log = zyspy::TheLog();
    std::lock_guard<std::mutex> guard(log.mutex);
    log.open.emplace(cookie, std::move(record));
    return cookie;
  } catch (...) {
    return 0;  // this call goes untraced
  }
}

extern "C" ZYSPY_EXPORT int32_t ZySpySetParamElementSize_generic(
    uint64_t cookie, uint32_t index, const void* value, uint32_t element_size, uint32_t total_size,
    const char* name, int32_t type_code) noexcept {
  try {
    return zyspy::Put(cookie, false, index,
                      zyspy::MakeItem(value, element_size, total_size, name, type_code));
  } catch (...) {
    return -1;
  }
}

extern "C" ZYSPY_EXPORT int32_t ZySpyEndParams(uint64_t cookie, uint32_t count) noexcept {
  (void)cookie;
  (void)count;
  return 0;
}

extern "C" ZYSPY_EXPORT int32_t ZySpySetReturnElementSize_generic(
    uint64_t cookie, uint32_t index, const void* data, uint32_t element_size, uint32_t total_size,
    const char* name, int32_t type_code) noexcept {
  try {
    return zyspy::Put(cookie, true, index,
                      zyspy::MakeItem(data, element_size, total_size, name, type_code));
  } catch (...) {
    return -1;
  }
}

extern "C" ZYSPY_EXPORT int32_t ZySpySetFuncReturnElementSize_generic(
    uint64_t cookie, uint32_t index, const void* status, uint32_t element_size, uint32_t total_size,
    const char* name, int32_t type_code, int32_t success) noexcept {
  try {
    Item item = zyspy::MakeItem(status, element_size, total_size, name, type_code);
    item.success = success != 0 ? 1 : 0;
    return zyspy::Put(cookie, true, index, std::move(item));
  } catch (...) {
    return -1;
  }
}

extern "C" ZYSPY_EXPORT int32_t ZySpyEndReturns(uint64_t* cookie_address, uint32_t count) noexcept {
  if (cookie_address == nullptr) return -1;
  try {
    zyspy::Log& log = zyspy::TheLog();
    zyspy::Record record;
    {
      std::lock_guard<std::mutex> guard(log.mutex);
      auto found = log.open.find(*cookie_address);
      if (found == log.open.end()) return -1;
      record = std::move(found->second);
      log.open.erase(found);
    }
    if (record.returns.size() > count) record.returns.resize(count);
    char operation[12];
    std::snprintf(operation, sizeof operation, "0x%X", static_cast<unsigned>(record.operation));
    const nlohmann::json line = {{"title", record.title},
                                 {"operation", operation},
                                 {"thread", record.thread},
                                 {"time", record.time},
                                 {"params", zyspy::ItemsJson(record.params)},
                                 {"returns", zyspy::ItemsJson(record.returns)}};
    // Invalid UTF-8 in a buffer is replaced rather than failing the record.
    const std::string text =
        line.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace) + "\n";
    std::lock_guard<std::mutex> guard(log.mutex);
    std::FILE* out = zyspy::Output(log);
    std::fwrite(text.data(), 1, text.size(), out);
    std::fflush(out);
    *cookie_address = 0;
    return 0;
  } catch (...) {
    return -1;
  }
}
