// The one interface through which the library reaches the operating system.
// Each platform folder (posix/, win32/) implements all of it; the build adds
// exactly one folder to the include path, and no other file includes an OS
// header. Semantics follow what the Windows calls
// give the rest of the library: named machine-wide mutexes that hand an
// abandoned lock to the next waiter, files opened with share modes, a registry.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

namespace zyvisa::platform {

// ---------------------------------------------------------------- time, ids

// Milliseconds since an arbitrary fixed point, monotonic, cut to 32 bits (wraps).
uint32_t TickCount() noexcept;
// The same clock, 64 bits wide, for computing deadlines without wrap.
uint64_t MonotonicMs() noexcept;
// Suspends the calling thread; 0 gives up the rest of the time slice.
void SleepMs(uint32_t ms) noexcept;
// Both ids are cached (and renewed in a forked child), so that owner tests on
// the lock fast paths cost no system call; inline, below.
inline uint32_t CurrentProcessId() noexcept;
inline uint32_t CurrentThreadId() noexcept;

// True while the process has had only one thread: data private to the
// process then needs no atomic instructions (the C library's own mutexes skip
// them too). May be false for a process that is single-threaded again; never
// true while a second thread runs. Inline, below.
inline bool SingleThreaded() noexcept;

enum class ProcState { kAlive, kGone, kNoPermission, kError };
// kGone for a process that does not exist or has ended (zombies included),
// and for an id that names only a thread of some process.
ProcState ProcessState(uint32_t pid) noexcept;

// Start time of a process in a unit fixed for one boot of the machine (with
// the pid it names one process even after the pid is reused); 0 when unknown.
uint64_t ProcessStartTime(uint32_t pid) noexcept;

// ---------------------------------------------------------------- waiting on shared words

// Sleeps while the 32-bit word still holds expected, at most timeout_ms;
// returns at once if it does not. Works across processes for a word in a
// shared file mapping, so a waiter that checks the word it sleeps on never
// misses a change. May return early: callers look again.
void WaitOnWord(const uint32_t* word, uint32_t expected, uint32_t timeout_ms) noexcept;
// Wakes every thread, in any process, sleeping on the word.
void WakeWord(const uint32_t* word) noexcept;

// False only when it is known that no other thread of this process runs (the
// unload hook may then free what threads could reach); true when one may.
bool OtherThreadsMayRun() noexcept;
// Runs handler in the child of every later fork (before the child returns
// from fork; not after exec). Handlers run in the order they were added.
bool AtForkChild(void (*handler)()) noexcept;

// ---------------------------------------------------------------- code libraries

// Never prints or prompts on failure. Null on failure.
void* LibraryLoad(const char* file) noexcept;
void* LibrarySymbol(void* library, const char* symbol) noexcept;
bool LibraryFree(void* library) noexcept;
// File name of the call-trace library as the default search finds it.
extern const char kTraceLibraryFile[];
// File name of the module that contains this library's code (the shared
// object itself, or the executable when linked statically); empty if unknown.
std::string OwnModulePath();

// Takes one more reference on the module that holds this library's code, so
// that it stays loaded while a thread of ours runs in it. Null when there is
// nothing to pin (linked into the executable) or it failed.
void* LibraryPinSelf() noexcept;

// ---------------------------------------------------------------- threads

// Windows thread priority levels. The level is kept per thread: a thread the
// library creates (or that set its own level here) reports the level it was
// given, whether or not the system accepted it; any other thread's level is
// read from its per-thread nice value.
constexpr int kPriorityIdle = -15;
constexpr int kPriorityLowest = -2;
constexpr int kPriorityBelowNormal = -1;
constexpr int kPriorityNormal = 0;
constexpr int kPriorityAboveNormal = 1;
constexpr int kPriorityHighest = 2;
constexpr int kPriorityTimeCritical = 15;
// The level a nice value stands for, and the nice value given for a level.
int PriorityFromNice(int nice) noexcept;
int NiceForPriority(int level) noexcept;
int CurrentThreadPriority() noexcept;
// Remembers the level for the calling thread and asks the system for the
// matching nice value; false when the system refused (the level is kept).
bool SetCurrentThreadPriority(int level) noexcept;

// A thread handle as the session stores it (the pthread_t on POSIX).
using ThreadHandle = uint64_t;
using ThreadEntry = void (*)(void* argument);
// Starts entry(argument) on a new thread of default stack size at the given
// priority level; returns once the new thread's system id is known, which
// goes to *thread_id. The new thread cannot be cancelled except inside
// CallCancellable. False when no thread could be made.
bool ThreadCreate(ThreadEntry entry, void* argument, int priority, ThreadHandle* handle,
                  uint32_t* thread_id) noexcept;
// Waits up to timeout_ms (0: only looks) for the thread to end; true when it
// has ended, and the handle is then gone. Call it from one thread at a time.
bool ThreadJoin(ThreadHandle handle, uint32_t timeout_ms) noexcept;
// Asks the thread to end at its next cancellation point inside
// CallCancellable (a sleep, poll or read of the call). Elsewhere the request
// waits until the thread enters CallCancellable again.
void ThreadCancel(ThreadHandle handle) noexcept;
// Gives up on the thread: it ends on its own and nobody waits for it.
void ThreadDetach(ThreadHandle handle) noexcept;
// Runs call(argument) on a thread from ThreadCreate with cancellation
// allowed. A cancellation unwinds the stack up to the thread's start, so
// every frame between must let it pass (no noexcept, no catch-all).
void CallCancellable(ThreadEntry call, void* argument);
// Hands a reference from LibraryPinSelf to the end of the calling thread
// (made by ThreadCreate): it is dropped after the thread has left the
// library's code for good, also when it ends by cancellation. Null does
// nothing.
void ThreadReleaseLibraryAtExit(void* library) noexcept;

// ---------------------------------------------------------------- environment, registry

// Copies the variable's value; false when it is unset.
bool GetEnvironment(const char* name, std::string* value);

// Key paths are written as the registry writes them, with backslashes and the
// hive first, e.g. "HKEY_LOCAL_MACHINE\\SOFTWARE\\Zylaris\\Common\\Installer".
// Key paths and value names compare without regard to case.
//
// On POSIX the registry is an INI file: $ZYVISA_REGISTRY (a named file that
// does not exist is an empty registry), else /etc/zyvisa/registry.ini, else a
// built-in one holding the product key (without values) and the installer
// key with the two default folders of platform_constants.h; start-up creates
// the shared-memory folder (MakeSharedFolder) when it is missing. On Windows it
// is the registry itself.
bool RegistryKeyExists(const char* key_path) noexcept;
enum class RegRead { kOk, kMoreData, kMissing };
// Which registry view a 64-bit process reads: the installer key is read
// through the 32-bit view. Platforms without views ignore it.
enum class RegView { kNative, k32Bit };
// Copies the value, zero-terminated, into buffer. kMoreData when it (with its
// terminator) does not fit in size bytes: the buffer then holds as much as
// fits, terminated. kMissing when the key or the value does not exist.
RegRead RegistryReadString(const char* key_path, const char* value_name, char* buffer,
                           size_t size, RegView view = RegView::kNative) noexcept;

// ---------------------------------------------------------------- files and folders

// kPathSeparator: in platform_constants.h.
// True if an entry of that name exists (file or folder).
bool PathExists(const char* path) noexcept;
// A 64-bit stamp of the file that is 0 exactly when the file is missing and
// changes whenever its content changes, also for two edits within one tick of
// the file system's clock.
uint64_t FileStamp(const char* path) noexcept;
// Creates one folder with the permissions the user's file-creation mask
// allows; false if it could not (it may exist already).
bool MakeDirectory(const char* path) noexcept;
// Creates the folder that holds one machine's shared objects: it belongs to
// the creator's group, whose members may create files in it and nobody else
// may enter it; members cannot delete each other's files (sticky). Files
// created in it later get the folder's group and are readable and writable by
// that group only. An existing folder is left as the administrator made it.
// True if it exists afterwards.
bool MakeSharedFolder(const char* path) noexcept;
// Copies a file; fails (false) if the target exists or the source is not a
// regular file.
bool CopyFileNoOverwrite(const char* from, const char* to) noexcept;
// Opens an existing regular file for reading. Null for anything else: a FIFO
// or a device put in a file's place is refused without blocking on it.
std::FILE* OpenRegularFileForReading(const char* path) noexcept;

// ---------------------------------------------------------------- machine-wide objects

// Every machine-wide object (named mutexes, the region's backing file) lives in
// one folder: one folder is one machine. Start-up sets it from the registry
// before it opens any named object; until then named mutexes cannot be opened.
void SetMachineFolder(const char* folder);
std::string MachineFolder();

// A named mutex visible to every process of the machine: recursive for the
// owning thread; if its owner ends while holding it, the next waiter gets it
// (kAbandoned, which counts as acquired). Leftovers of a crashed run never
// wedge a later one. Usable by every user of the machine.
struct NamedMutex;
enum class WaitResult { kAcquired, kAbandoned, kTimeout, kFailed };
constexpr uint32_t kWaitForever = 0xFFFFFFFFu;
// Creates the mutex (not owned) or opens the existing one; null on failure
// (no machine folder set, a name too long for the platform, an I/O error).
// With may_create false, callers know the mutex is in use (another process
// holds the region, a record is allocated): where a mutex outlives its
// handles (POSIX: its file), one that does not exist was deleted and is a
// failure, never made again beside the deleted one; where it lives only
// while a handle does (Windows), a missing one had no holder left and is
// made anew, its first acquisition reported as abandoned (kAbandoned), since
// its last holder may have died holding it. Every call returns a handle of its own; all handles of one name in a
// process share one mutex. A waiter never waits for an owner that no longer
// exists, also when the lock word names a thread that never held it.
NamedMutex* NamedMutexOpen(const char* name, bool may_create = true) noexcept;
// timeout_ms 0 tries once; kWaitForever waits without limit. Each acquisition
// (also a recursive one) needs one release.
WaitResult NamedMutexWait(NamedMutex* mutex, uint32_t timeout_ms) noexcept;
// False when the calling thread does not hold it.
bool NamedMutexRelease(NamedMutex* mutex) noexcept;
// Drops the handle; the mutex itself stays usable by the other handles and
// processes (and is held on if this thread holds it).
void NamedMutexClose(NamedMutex* mutex) noexcept;

// An unnamed auto-reset event of this process, not signalled when created.
struct Event;
Event* EventCreate() noexcept;
void EventSet(Event* event) noexcept;
// True when the event was signalled (and is reset again), false on time-out.
// kWaitForever waits without limit.
bool EventWait(Event* event, uint32_t timeout_ms) noexcept;
// Ends every wait on the event, present and future, as unsignalled, without
// destroying it: the step before closing an event that threads may still be
// waiting on. Closing destroys it and needs that no thread waits any more.
void EventAbandon(Event* event) noexcept;
void EventClose(Event* event) noexcept;

// Locks built on a counter and an event hand the lock over with the signal. A
// waiter that times out must take back its mark without racing a releaser that
// has already decided to signal it, or the signal outlives the wait and lets a
// later thread in beside the owner. These two run their callback with the
// event's state locked, so the decision and the signal are one step:
// - EventWaitOrGiveUp: like EventWait; when the time-out passes with the event
//   still not signalled, runs give_up(context) before any EventSetIf can come
//   in, and returns false.
// - EventSetIf: runs decide(context) and sets the event if it returned true.
bool EventWaitOrGiveUp(Event* event, uint32_t timeout_ms, void (*give_up)(void*),
                       void* context) noexcept;
bool EventSetIf(Event* event, bool (*decide)(void*), void* context) noexcept;

// The backing file of the shared region, opened with the meaning of the
// Windows share modes: kExclusive succeeds only while no other handle (in any
// process) has the file open; kShared coexists with other kShared handles.
// Both create the file if it is missing (usable by every user). With
// delete_on_close, closing the last handle deletes the file. Null on failure (a
// sharing conflict included). Going from one mode to the other means closing
// one handle and opening another, which is not one atomic step: callers make
// every such change under one machine-wide mutex (the initialization mutex).
struct SharedFile;
enum class ShareMode { kExclusive, kShared };
SharedFile* SharedFileOpen(const char* path, ShareMode mode, bool delete_on_close) noexcept;
// Ends the handle's share mode, also while a view of the file stays mapped.
// A forked child closing the copy it inherited leaves its parent's share as
// it is.
void SharedFileClose(SharedFile* file) noexcept;
// Maps size bytes of the file read-write and shared, growing the file to that
// size if it is smaller. Null on failure.
void* SharedFileMap(SharedFile* file, size_t size) noexcept;
// True when another handle (in any process) has the existing file at path
// open in either mode; false when nobody does or the file does not exist.
// A process that has just died may still count for a moment.
bool SharedFileInUse(const char* path) noexcept;
// The processes that hold the file at path open as a SharedFile, as far as
// the system tells (a forked child sharing its parent's handle is not one of
// its own). False when that cannot be read.
bool SharedFileHolders(const char* path, std::vector<uint32_t>* pids) noexcept;
bool SharedFileUnmap(void* view, size_t size) noexcept;

// Maps an existing file read-only without taking part in the share protocol,
// for inspection tools. Null if missing or unreadable; *size receives its size.
const void* MapFileReadOnly(const char* path, size_t* size) noexcept;
void UnmapFileReadOnly(const void* view, size_t size) noexcept;

}  // namespace zyvisa::platform

// Found through the include path, in the one platform folder the build adds:
// the names and folders that differ between platforms, and the inline fast
// paths (cached ids, threading state).
#include "platform_constants.h"
#include "inline_fast_paths.h"
