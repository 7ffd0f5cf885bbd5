// The loopback driver: a synchronous read and write that echo through one
// buffer per process, and the library's emulated asynchronous entries.
#include "loopback_driver.h"

#include <algorithm>
#include <cstring>
#include <mutex>

#include "zyvisa_async.h"
#include "zyvisa_oper.h"

namespace loopback {
namespace {

// The "device": the bytes of the last write. Reads may come from the
// session's job thread while another thread writes, hence the mutex.
std::mutex g_mutex;
char g_echo[256];
ViUInt32 g_echo_length = 0;

// viWrite: keeps what was written (up to the buffer's size).
ViStatus Write(ViSession, ViAddr buffer, ViUInt32 count, ViUInt32* return_count) {
  std::lock_guard<std::mutex> guard(g_mutex);
  g_echo_length = std::min<ViUInt32>(count, sizeof g_echo);
  std::memcpy(g_echo, buffer, g_echo_length);
  if (return_count != nullptr) *return_count = g_echo_length;
  return VI_SUCCESS;
}

// viRead: gives back what the last write left, at most count bytes. When the
// core calls viReadAsync, the emulation calls this very entry on the job thread.
ViStatus Read(ViSession, ViAddr buffer, ViUInt32 count, ViUInt32* return_count) {
  std::lock_guard<std::mutex> guard(g_mutex);
  const ViUInt32 n = std::min(count, g_echo_length);
  std::memcpy(buffer, g_echo, n);
  if (return_count != nullptr) *return_count = n;
  return VI_SUCCESS;
}

}  // namespace

ViAddr RegisterDriver() {
  ViAddr table = nullptr;
  if (visaRegisterTable("Loopback", 0x00300000, nullptr, &table) != VI_SUCCESS) return nullptr;
  // A driver without asynchronous I/O of its own puts the library's emulation
  // in the asynchronous slots: it runs the synchronous entries above on the
  // session's job thread and raises the I/O completion event.
  visaRegisterOper(table, "viRead", reinterpret_cast<ViAddr>(&Read));
  visaRegisterOper(table, "viWrite", reinterpret_cast<ViAddr>(&Write));
  visaRegisterOper(table, "viReadAsync", reinterpret_cast<ViAddr>(&visaReadAsyncFake));
  visaRegisterOper(table, "viWriteAsync", reinterpret_cast<ViAddr>(&visaWriteAsyncFake));
  return table;
}

}  // namespace loopback
