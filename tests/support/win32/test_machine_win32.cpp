// Test isolation helpers on Windows: private machine folders, a private
// registry standing in for HKEY_LOCAL_MACHINE (RegOverridePredefKey, taken
// over by children through the environment), pipes as signals, scenario
// children started with CreateProcess, LoadLibrary and _popen.
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <sstream>

#include "support/os.h"
#include "support/test_machine.h"

namespace zyvisa::test {

namespace {

[[noreturn]] void Die(const std::string& what) {
  std::fprintf(stderr, "test support: %s: Win32 error %lu\n", what.c_str(), GetLastError());
  std::abort();
}

void OverrideLocalMachine(const std::string& key_path) {
  HKEY key = nullptr;
  if (RegCreateKeyExA(HKEY_CURRENT_USER, key_path.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr,
                      &key, nullptr) != ERROR_SUCCESS) {
    Die("registry key " + key_path);
  }
  // The library's RegOpenKeyExA(HKEY_LOCAL_MACHINE, ...) now opens below key.
  if (RegOverridePredefKey(HKEY_LOCAL_MACHINE, key) != ERROR_SUCCESS) Die("override HKLM");
  RegCloseKey(key);
}

std::string Trim(const std::string& s) {
  const size_t b = s.find_first_not_of(" \t\r");
  if (b == std::string::npos) return std::string();
  return s.substr(b, s.find_last_not_of(" \t\r") - b + 1);
}

// Quotes one argument so that the C runtime's parser gives it back as is.
std::string Quote(const std::string& arg) {
  std::string out = "\"";
  size_t backslashes = 0;
  for (char c : arg) {
    if (c == '\\') {
      ++backslashes;
      continue;
    }
    out.append(c == '"' ? backslashes * 2 + 1 : backslashes, '\\');
    backslashes = 0;
    out.push_back(c);
  }
  out.append(backslashes * 2, '\\');
  out.push_back('"');
  return out;
}

}  // namespace

namespace os {

void SetEnv(const char* name, const char* value) {
  // _putenv_s keeps the C runtime's copy and the process environment block
  // in step; an empty value removes the variable.
  _putenv_s(name, value == nullptr ? "" : value);
  SetEnvironmentVariableA(name, value);
}

bool GetEnv(const char* name, std::string* value) {
  char buffer[32768];
  const DWORD n = GetEnvironmentVariableA(name, buffer, sizeof buffer);
  if (n == 0 || n >= sizeof buffer) return false;
  *value = std::string(buffer, n);
  return true;
}

void PrepareScenarioProcess() {
  std::string key;
  if (GetEnv(kRegistryVariable, &key)) OverrideLocalMachine(key);
}

// Children of scenarios find the machine's registry key here.
const char kRegistryVariable[] = "ZYVISA_TEST_REGISTRY_KEY";

std::string RegistryKey(const std::string& name, const std::string&) {
  return std::string("Software\\ZyvisaTests\\") + name;
}

void DropRegistry(const std::string& key) {
  RegOverridePredefKey(HKEY_LOCAL_MACHINE, nullptr);
  RegDeleteTreeA(HKEY_CURRENT_USER, key.c_str());
  RegDeleteKeyA(HKEY_CURRENT_USER, key.c_str());
}

}  // namespace os

// The same text as the POSIX registry file, written into the private key:
// "[HKEY_LOCAL_MACHINE\\Key\\Path]" sections, "Name=value" string values.
void TestMachine::WriteRegistry(const std::string& text) const {
  WriteFile(registry_path_, text);
  RegOverridePredefKey(HKEY_LOCAL_MACHINE, nullptr);
  RegDeleteTreeA(HKEY_CURRENT_USER, registry_key_.c_str());
  OverrideLocalMachine(registry_key_);
  std::istringstream lines(text);
  std::string line;
  HKEY key = nullptr;
  constexpr char kHive[] = "HKEY_LOCAL_MACHINE\\";
  while (std::getline(lines, line)) {
    line = Trim(line);
    if (line.empty() || line[0] == ';' || line[0] == '#') continue;
    if (line.front() == '[' && line.back() == ']') {
      if (key != nullptr) RegCloseKey(key);
      key = nullptr;
      std::string path = line.substr(1, line.size() - 2);
      if (_strnicmp(path.c_str(), kHive, sizeof kHive - 1) != 0) continue;
      path = registry_key_ + "\\" + path.substr(sizeof kHive - 1);
      if (RegCreateKeyExA(HKEY_CURRENT_USER, path.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr,
                          &key, nullptr) != ERROR_SUCCESS) {
        Die("registry key " + path);
      }
      continue;
    }
    const size_t eq = line.find('=');
    if (key == nullptr || eq == std::string::npos) continue;
    const std::string name = Trim(line.substr(0, eq));
    const std::string value = Trim(line.substr(eq + 1));
    RegSetValueExA(key, name.c_str(), 0, REG_SZ, reinterpret_cast<const BYTE*>(value.c_str()),
                   DWORD(value.size() + 1));
  }
  if (key != nullptr) RegCloseKey(key);
}

// Threads are terminated, not cancelled, here: any sleep will do.
bool CancellationUnwinds() { return false; }

void SleepInCancellationPoint(int ms) { Sleep(DWORD(ms)); }
const char kMathLibrary[] = "msvcrt.dll";

Signal::Signal() {
  SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
  HANDLE read_end = nullptr, write_end = nullptr;
  if (!CreatePipe(&read_end, &write_end, &inherit, 0)) Die("pipe");
  ends_[0] = reinterpret_cast<intptr_t>(read_end);
  ends_[1] = reinterpret_cast<intptr_t>(write_end);
}

Signal::~Signal() {
  if (!owner_) return;
  CloseHandle(reinterpret_cast<HANDLE>(ends_[0]));
  CloseHandle(reinterpret_cast<HANDLE>(ends_[1]));
}

void Signal::Notify(char value) {
  DWORD written = 0;
  if (!::WriteFile(reinterpret_cast<HANDLE>(ends_[1]), &value, 1, &written, nullptr) ||
      written != 1) {
    Die("signal write");
  }
}

bool Signal::Wait(int timeout_ms, char* value) {
  HANDLE read_end = reinterpret_cast<HANDLE>(ends_[0]);
  const ULONGLONG deadline = GetTickCount64() + ULONGLONG(timeout_ms < 0 ? 0 : timeout_ms);
  // Anonymous pipes cannot be waited on: poll.
  for (;;) {
    DWORD available = 0;
    if (!PeekNamedPipe(read_end, nullptr, 0, nullptr, &available, nullptr)) return false;
    if (available > 0) break;
    if (timeout_ms >= 0 && GetTickCount64() >= deadline) return false;
    Sleep(1);
  }
  char c = 0;
  DWORD n = 0;
  if (!::ReadFile(read_end, &c, 1, &n, nullptr) || n != 1) return false;
  if (value != nullptr) *value = c;
  return true;
}

Child::Child(const std::function<int()>&) {
  std::fprintf(stderr, "test support: a function child needs fork; use a scenario\n");
  std::abort();
}

Child::Child(const char* scenario, const ScenarioArgs& args) {
  if (os::FindScenario(scenario) == nullptr) Die(std::string("no scenario ") + scenario);
  char self[MAX_PATH + 1];
  const DWORD n = GetModuleFileNameA(nullptr, self, sizeof self);
  if (n == 0 || n >= sizeof self) Die("own file name");
  std::string command = Quote(self);
  for (const std::string& arg : os::ScenarioCommandLine(scenario, args)) command += " " + Quote(arg);
  std::fflush(nullptr);
  STARTUPINFOA startup{};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION info{};
  // Handles inherited: the signals' pipe ends keep their values in the child.
  if (!CreateProcessA(self, command.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr, &startup,
                      &info)) {
    Die("CreateProcess " + command);
  }
  CloseHandle(info.hThread);
  pid_ = int(info.dwProcessId);
  process_ = info.hProcess;
}

Child::~Child() {
  if (!reaped_ && process_ != nullptr) {
    Kill();
    Wait(5000);
  }
  if (process_ != nullptr) CloseHandle(static_cast<HANDLE>(process_));
}

void Child::Kill() {
  if (reaped_ || process_ == nullptr) return;
  killed_ = true;
  TerminateProcess(static_cast<HANDLE>(process_), 137);
}

int Child::Wait(int timeout_ms) {
  if (reaped_ || process_ == nullptr) return -1001;
  HANDLE process = static_cast<HANDLE>(process_);
  if (WaitForSingleObject(process, timeout_ms < 0 ? INFINITE : DWORD(timeout_ms)) != WAIT_OBJECT_0) {
    TerminateProcess(process, 137);
    WaitForSingleObject(process, INFINITE);
    reaped_ = true;
    return -1000;
  }
  reaped_ = true;
  DWORD code = 0;
  GetExitCodeProcess(process, &code);
  // What a SIGKILL gives on POSIX, so that tests read one way.
  return killed_ ? -9 : int(code);
}

// Nothing is inherited by memory here; children that need shared counters
// are fork-only.
void* SharedScratch(size_t bytes) {
  void* p = VirtualAlloc(nullptr, bytes, MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE);
  if (p == nullptr) Die("VirtualAlloc");
  return p;
}

int CallInLibrary(const std::string& path, const char* function, bool unload) {
  HMODULE lib = LoadLibraryA(path.c_str());
  if (lib == nullptr) return -1;
  auto fn = reinterpret_cast<unsigned short (*)()>(
      reinterpret_cast<void*>(GetProcAddress(lib, function)));
  const int result = fn != nullptr ? fn() : -1;
  if (unload) FreeLibrary(lib);
  return result;
}

int RunProgram(const std::string& command_line, std::string* output) {
  std::fflush(nullptr);
  // The command interpreter takes "/" in the program's own path for a
  // switch: the program is named with backslashes.
  std::string command = command_line;
  for (size_t i = 0; i < command.size() && command[i] != ' '; ++i) {
    if (command[i] == '/') command[i] = '\\';
  }
  FILE* p = _popen((command + " 2>&1").c_str(), "rb");
  if (p == nullptr) Die("_popen");
  std::string out;
  char buf[4096];
  size_t n;
  while ((n = fread(buf, 1, sizeof buf, p)) > 0) out.append(buf, n);
  const int status = _pclose(p);
  if (output != nullptr) *output = out;
  return status;
}

// The export directory of the DLL mapped as an image (sections at their
// addresses) without running it.
bool ExportedNames(const std::string& path, std::vector<std::string>* names) {
  HMODULE image = LoadLibraryExA(path.c_str(), nullptr, LOAD_LIBRARY_AS_IMAGE_RESOURCE);
  if (image == nullptr) return false;
  // The handle of a resource image has its low bits set.
  const auto* base = reinterpret_cast<const BYTE*>(reinterpret_cast<uintptr_t>(image) & ~uintptr_t{3});
  const auto* nt = reinterpret_cast<const IMAGE_NT_HEADERS64*>(
      base + reinterpret_cast<const IMAGE_DOS_HEADER*>(base)->e_lfanew);
  const DWORD rva = nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_EXPORT].VirtualAddress;
  if (rva != 0) {
    const auto* exports = reinterpret_cast<const IMAGE_EXPORT_DIRECTORY*>(base + rva);
    const auto* name_rvas = reinterpret_cast<const DWORD*>(base + exports->AddressOfNames);
    for (DWORD i = 0; i < exports->NumberOfNames; ++i) {
      names->push_back(reinterpret_cast<const char*>(base + name_rvas[i]));
    }
  }
  FreeLibrary(image);
  return rva != 0;
}

}  // namespace zyvisa::test
