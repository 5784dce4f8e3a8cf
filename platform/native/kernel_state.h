// The kernel's own state, shared by the files that make up the kernel
// (kernel.cpp and the kernel_*.cpp files beside it) and by nothing else of the
// platform: the table of kernel objects, the handles, the memory regions, and
// the record of the calling thread.
//
// Every kernel object lives in one table under one lock; a condition variable
// wakes every waiter when any object changes (a handful of threads at most).
#ifndef PLATFORM_NATIVE_KERNEL_STATE_H
#define PLATFORM_NATIVE_KERNEL_STATE_H

#include <windows.h>

#include <stdint.h>

#include <atomic>
#include <condition_variable>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "platform/native/native.h"

namespace native {
namespace detail {

struct ThreadRec;

struct Object {
  enum Kind { kMutex, kEvent, kFile, kSection, kFind, kProcess } kind;
  std::wstring name;  // named mutexes and events
  int refs = 1;
  // mutex
  ThreadRec* owner = nullptr;
  unsigned recursion = 0;
  bool abandoned = false;
  // Threads blocked waiting for it, oldest first. A mutex that comes free
  // goes to the first of them, as the kernel grants a released mutex to a
  // waiting thread: the thread that released it cannot take it back ahead of
  // them, so a driver waiting for the bus gets it between two calls of
  // another that takes it call after call.
  std::deque<ThreadRec*> waiters;
  // event
  bool manual = false;
  bool signaled = false;
  // file
  std::string path;
  int fd = -1;
  DWORD access = 0;
  DWORD share = 0;
  bool onCard = false;
  // section
  int sectionFd = -1;
  // process (CreateProcessW): it has ended when its handle is given out
  DWORD exitCode = 0;
};

struct HandleRec {
  Object* obj;
  int process;
};

struct Region {
  uintptr_t base;
  size_t size;
  int process;
  int window = -1;  // sim::WindowId once VirtualCopy pointed it at a window
  uint32_t windowOffset = 0;
  bool view = false;       // a memory window: a view of the SoC's shared section
  bool committed = false;  // plain committed memory
  // The section view mapped at base (for `viewBytes`), accessible while `view`,
  // left inaccessible in a reservation taken back from the parked ones
  // (kernel_memory.cpp) until a VirtualCopy of the same view opens it again.
  bool viewMapped = false;
  uint64_t viewDev = 0, viewIno = 0, viewOffset = 0;
  size_t viewBytes = 0;
};

// The order of the object names, looked up by the caller's string as it is
// (no copy), compared a character at a time outside the sanitizers' checks:
// the protocol checker asks for the two bus mutexes on every bus access, and
// the checked library string calls of a look-up cost more than the rest of
// the access (a sweep of every power-loss point makes millions of them).
struct NameOrder {
  using is_transparent = void;
  __attribute__((no_sanitize("address", "undefined"))) static bool Less(const wchar_t* a, const wchar_t* b) {
    while (*a != 0 && *a == *b) {
      ++a;
      ++b;
    }
    return *a < *b;
  }
  bool operator()(const std::wstring& a, const std::wstring& b) const { return Less(a.c_str(), b.c_str()); }
  bool operator()(const std::wstring& a, const wchar_t* b) const { return Less(a.c_str(), b); }
  bool operator()(const wchar_t* a, const std::wstring& b) const { return Less(a, b.c_str()); }
};

struct Kernel {
  std::mutex lock;
  std::condition_variable changed;
  std::set<HandleRec*> handles;
  std::set<Object*> objects;
  std::map<std::wstring, Object*, NameOrder> names;
  std::vector<Region> regions;
  // Changes at every change of regions (a region added, removed or made a
  // window): a thread's remembered register window is good while it stays.
  std::atomic<uint32_t> regionsEpoch{0};
  std::map<uintptr_t, size_t> views;  // MapViewOfFile views: base -> size
  int nextProcess = 2;
  unsigned failVirtualCopyAt = 0;
  bool failArmed = false;
  bool traceMutexes = false;
  std::vector<std::string> mutexTrace;
  std::set<int> returned;                                 // processes whose body returned
  std::map<std::wstring, std::function<int()>> programs;  // RegisterProgram, by lower-case path
};

// Never destroyed: threads may still end (and abandon their mutexes) while
// the program's static objects go away.
Kernel& K();

// Counts every change of a mutex's owner (under the kernel's lock), so that a
// thread can tell that its own holdings have not changed since it last looked.
extern std::atomic<uint32_t> g_ownerEpoch;  // 32 bits: the ARMv4 target has no 64-bit atomics

struct ThreadRec {
  unsigned id;
  int process = 1;
  bool target = true;
  bool points = false;  // its calls are failure points (native.h)
  // Made on a thread's first use of the kernel, perhaps with the lock held.
  ThreadRec();
  // A thread that ends holding a mutex abandons it: its next waiter gets
  // WAIT_ABANDONED, as on the device when the owner's thread ends.
  ~ThreadRec();
};

// The calling thread's record and last error.
extern thread_local ThreadRec t_thread;
extern thread_local DWORD t_lastError;
// Set while CreateProcessW starts a program: its calls are not failure points
// of the program that starts it.
extern thread_local bool t_startingChild;

// Handles, the kernel's lock held. An object goes with its last reference
// (Unref): its name, its descriptor and its record.
HANDLE NewHandle(Object* o);
Object* Lookup(HANDLE h);
void Unref(Object* o);

// The start of every call that names a file on the device: its failure point
// (failing with failError), then the name resolved. False with the call's
// error set. (kernel_files.cpp)
bool PathOfCall(FailureKind kind, DWORD failError, LPCWSTR name, std::string* path);

}  // namespace detail
}  // namespace native

#endif
