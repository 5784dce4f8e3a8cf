// The kernel of the handheld for one Linux process: last error, system
// information, virtual memory and VirtualCopy onto the SoC's six windows,
// register access of the driver kit, local heap, named mutexes and events
// between threads, the card's files, and the processes of native.h.
//
// Every kernel object lives in one table under one lock; a condition variable
// wakes every waiter when any object changes (a handful of threads at most).
#include <ceddk.h>
#include <pkfuncs.h>
#include <windows.h>

#include <dirent.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <strings.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>
#include <wctype.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "platform/native/kernel_internal.h"
#include "platform/native/native.h"
#include "platform/test_hooks.h"
#include "sim/device.h"
#include "sim/soc.h"
#include "sim/soc_model.h"
#include "platform/native/native_soc.h"

namespace native {
namespace {

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
  std::map<uintptr_t, size_t> views;  // MapViewOfFile views: base -> size
  int nextProcess = 2;
  unsigned failVirtualCopyAt = 0;
  bool failArmed = false;
  bool traceMutexes = false;
  std::vector<std::string> mutexTrace;
  std::set<int> returned;  // processes whose body returned
  std::map<std::wstring, std::function<int()>> programs;  // RegisterProgram, by lower-case path
};

// Never destroyed: threads may still end (and abandon their mutexes) while
// the program's static objects go away.
Kernel& K() {
  static Kernel* k = new Kernel;
  return *k;
}

std::atomic<unsigned> g_nextThread{1};
// Counts every change of a mutex's owner (under the kernel's lock), so that a
// thread can tell that its own holdings have not changed since it last looked.
std::atomic<uint32_t> g_ownerEpoch{0};  // 32 bits: the ARMv4 target has no 64-bit atomics

struct ThreadRec {
  unsigned id;
  int process = 1;
  bool target = true;
  bool points = false;  // its calls are failure points (native.h)
  // Made on a thread's first use of the kernel, perhaps with the lock held.
  ThreadRec() : id(g_nextThread.fetch_add(1)) {}
  // A thread that ends holding a mutex abandons it: its next waiter gets
  // WAIT_ABANDONED, as on the device when the owner's thread ends.
  ~ThreadRec();
};

thread_local ThreadRec t_thread;
thread_local DWORD t_lastError = 0;

void AbandonOwnedBy(ThreadRec* t) {
  for (Object* o : K().objects) {
    if (o->kind == Object::kMutex && o->owner == t) {
      o->owner = nullptr;
      native::g_ownerEpoch.fetch_add(1, std::memory_order_release);
      o->recursion = 0;
      o->abandoned = true;
    }
  }
  K().changed.notify_all();
}

ThreadRec::~ThreadRec() {
  std::lock_guard<std::mutex> g(K().lock);
  AbandonOwnedBy(this);
}

void Unref(Object* o) {
  if (--o->refs > 0) return;
  if (!o->name.empty()) K().names.erase(o->name);
  if (o->kind == Object::kMutex) g_ownerEpoch.fetch_add(1, std::memory_order_release);
  if (o->fd >= 0) close(o->fd);
  K().objects.erase(o);
  delete o;
}

HANDLE NewHandle(Object* o) {
  HandleRec* h = new HandleRec{o, t_thread.process};
  K().handles.insert(h);
  return h;
}

Object* Lookup(HANDLE h) {
  auto it = K().handles.find(static_cast<HandleRec*>(h));
  return it == K().handles.end() ? nullptr : (*it)->obj;
}

int FindRegionAt(uintptr_t base) {
  for (size_t i = 0; i < K().regions.size(); ++i)
    if (K().regions[i].base == base) return int(i);
  return -1;
}

int FindRegionContaining(uintptr_t addr) {
  for (size_t i = 0; i < K().regions.size(); ++i) {
    const Region& r = K().regions[i];
    if (addr >= r.base && addr - r.base < r.size) return int(i);
  }
  return -1;
}

size_t PageRound(size_t n) { return (n + 4095) & ~size_t(4095); }

uint64_t g_wideBeyond = 0;

// The process's end, as the kernel cleans up after a process that died.
void EndProcessLocked(int process) {
  for (Object* o : K().objects) {
    if (o->kind == Object::kMutex && o->owner && o->owner->process == process) {
      o->owner = nullptr;
      native::g_ownerEpoch.fetch_add(1, std::memory_order_release);
      o->recursion = 0;
      o->abandoned = true;
    }
  }
  for (auto it = K().handles.begin(); it != K().handles.end();) {
    if ((*it)->process == process) {
      Object* o = (*it)->obj;
      delete *it;
      it = K().handles.erase(it);
      Unref(o);
    } else {
      ++it;
    }
  }
  for (size_t i = K().regions.size(); i-- > 0;) {
    if (K().regions[i].process == process) {
      munmap(reinterpret_cast<void*>(K().regions[i].base), K().regions[i].size);
      K().regions.erase(K().regions.begin() + long(i));
    }
  }
  K().changed.notify_all();
}

}  // namespace

// --- processes ---------------------------------------------------------------

const char* ProgramEndName(ProgramEnd end) {
  switch (end) {
    case ProgramEnd::kReturned:
      return "returned";
    case ProgramEnd::kPowerLost:
      return "power lost";
    case ProgramEnd::kKilled:
      return "killed";
  }
  return "?";
}

struct Process::Impl {
  std::thread thread;
  int process = 0;
  int exitCode = 0;
  bool ended = false;
  ProgramEnd end = ProgramEnd::kReturned;
  bool waited = false;
  // Wait's own: the waiter is not woken by every change of the kernel objects.
  std::condition_variable endedCv;
};

namespace {
thread_local Process::Impl* t_process = nullptr;
// Set while CreateProcessW starts a program: its calls are not failure points
// of the program that starts it.
thread_local bool t_startingChild = false;
}

Process::Process(const std::function<void()>& body, bool target) : impl_(new Impl) {
  {
    std::lock_guard<std::mutex> g(K().lock);
    impl_->process = K().nextProcess++;
  }
  Impl* impl = impl_;
  bool points = target && !t_startingChild;
  impl_->thread = std::thread([impl, body, target, points] {
    t_thread.process = impl->process;
    t_thread.target = target;
    t_thread.points = points;
    t_process = impl;
    body();
    std::lock_guard<std::mutex> g(K().lock);
    K().returned.insert(impl->process);
    impl->ended = true;
    impl->end = ProgramEnd::kReturned;
    impl->endedCv.notify_all();
    K().changed.notify_all();
  });
}

ProgramEnd Process::Wait() {
  if (!impl_->waited) {
    std::unique_lock<std::mutex> g(K().lock);
    impl_->endedCv.wait(g, [this] { return impl_->ended; });
    g.unlock();
    // A stopped process's thread never comes back: leave it parked.
    if (impl_->end == ProgramEnd::kReturned)
      impl_->thread.join();
    else
      impl_->thread.detach();
    impl_->waited = true;
  }
  return impl_->end;
}

Process::~Process() {
  Wait();
  delete impl_;
}

ProgramEnd RunProgram(const std::function<void()>& body, bool target) {
  Process p(body, target);
  return p.Wait();
}

void StopCallingProcess(ProgramEnd why) {
  Process::Impl* me = t_process;
  if (!me) {
    fprintf(stderr, "native: the device stopped (%s) in the test's own thread; run the device code with RunProgram\n",
            ProgramEndName(why));
    abort();
  }
  std::unique_lock<std::mutex> g(K().lock);
  EndProcessLocked(me->process);
  me->end = why;
  me->ended = true;
  me->endedCv.notify_all();
  K().changed.notify_all();
  // The CPU of this process is gone: nothing after this point runs. Never
  // destroyed: at the program's exit a condition variable with a waiter
  // cannot be (its destructor would wait for this thread forever).
  static std::condition_variable* never = new std::condition_variable;
  for (;;) never->wait(g);
}

bool CallingThreadIsTarget() { return t_thread.target; }

Leftovers LeftByReturnedPrograms() {
  std::lock_guard<std::mutex> g(K().lock);
  Leftovers left;
  for (const HandleRec* h : K().handles) left.handles += K().returned.count(h->process) ? 1 : 0;
  for (const Region& r : K().regions) left.regions += K().returned.count(r.process) ? 1 : 0;
  return left;
}

bool NamedMutexOwned(const wchar_t* name) {
  std::lock_guard<std::mutex> g(K().lock);
  auto it = K().names.find(name);
  return it != K().names.end() && it->second->kind == Object::kMutex && it->second->owner != nullptr;
}

// The protocol checker asks on every bus access: the answer for the same
// names is kept until a mutex changes owner.
bool CallingThreadOwnsAll(const wchar_t* const* mutexNames, size_t count) {
  thread_local struct {
    const wchar_t* const* names = nullptr;
    size_t count = 0;
    uint32_t epoch = ~uint32_t(0);
    bool owns = false;
  } cache;
  if (cache.names == mutexNames && cache.count == count &&
      cache.epoch == g_ownerEpoch.load(std::memory_order_acquire))
    return cache.owns;
  std::lock_guard<std::mutex> g(K().lock);
  bool owns = true;
  for (size_t i = 0; i < count && owns; ++i) {
    auto it = K().names.find(mutexNames[i]);
    owns = it != K().names.end() && it->second->kind == Object::kMutex && it->second->owner == &t_thread;
  }
  cache.names = mutexNames;
  cache.count = count;
  cache.epoch = g_ownerEpoch.load(std::memory_order_relaxed);
  cache.owns = owns;
  return owns;
}

bool CallingThreadOwns(const wchar_t* mutexName) { return CallingThreadOwnsAll(&mutexName, 1); }

uint64_t WideUnitsBeyond16Bits() {
  std::lock_guard<std::mutex> g(K().lock);
  return g_wideBeyond;
}

namespace internal {

HANDLE NewSectionHandle(int fd) {
  std::lock_guard<std::mutex> g(K().lock);
  Object* o = new Object;
  o->kind = Object::kSection;
  o->sectionFd = fd;
  K().objects.insert(o);
  return NewHandle(o);
}

int SectionFd(HANDLE h) {
  std::lock_guard<std::mutex> g(K().lock);
  Object* o = Lookup(h);
  return o && o->kind == Object::kSection ? o->sectionFd : -1;
}

std::string DeviceUtf8(const wchar_t* s, size_t n) {
  std::string out;
  uint64_t beyond = 0;
  for (size_t i = 0; i < n; ++i) {
    uint32_t c = uint32_t(s[i]);
    if (c > 0xFFFF) ++beyond;
    if (c < 0x80) {
      out += char(c);
    } else if (c < 0x800) {
      out += char(0xC0 | (c >> 6));
      out += char(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
      out += char(0xE0 | (c >> 12));
      out += char(0x80 | ((c >> 6) & 0x3F));
      out += char(0x80 | (c & 0x3F));
    } else {
      out += char(0xF0 | ((c >> 18) & 0x07));
      out += char(0x80 | ((c >> 12) & 0x3F));
      out += char(0x80 | ((c >> 6) & 0x3F));
      out += char(0x80 | (c & 0x3F));
    }
  }
  if (beyond) {
    std::lock_guard<std::mutex> g(K().lock);
    g_wideBeyond += beyond;
  }
  return out;
}

std::string DeviceUtf8(const wchar_t* s) { return s ? DeviceUtf8(s, wcslen(s)) : std::string(); }

int CallingProcess() { return t_thread.process; }

bool CallingThreadCountsPoints() { return t_thread.points; }

}  // namespace internal
}  // namespace native

using native::K;
using native::Object;
using native::t_lastError;
using native::t_thread;

// --- errors, system ------------------------------------------------------------

extern "C" DWORD GetLastError(void) { return t_lastError; }
extern "C" void SetLastError(DWORD dwErrCode) { t_lastError = dwErrCode; }

extern "C" void GetSystemInfo(LPSYSTEM_INFO si) {
  memset(si, 0, sizeof(*si));
  si->dwPageSize = 4096;  // the handheld's page size
  si->dwAllocationGranularity = 0x10000;
  si->dwNumberOfProcessors = 1;
  si->lpMinimumApplicationAddress = reinterpret_cast<LPVOID>(0x10000);
  si->lpMaximumApplicationAddress = reinterpret_cast<LPVOID>(~uintptr_t(0) >> 1);
}

extern "C" DWORD GetCurrentProcessId(void) { return DWORD(getpid()); }
extern "C" DWORD GetCurrentThreadId(void) { return t_thread.id; }

extern "C" DWORD GetTickCount(void) {
  return DWORD(
      std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now().time_since_epoch())
          .count());
}

// The launcher's retries and polls wait with Sleep. Here a program's waits
// are for other threads of this process, never for time to pass: the
// updater it starts has ended when CreateProcessW returns. So Sleep gives the
// processor up and returns, and a launcher that polls 99 times does so at
// once; the time it would have slept is counted (SleptMs).
static std::atomic<uint32_t> g_sleptMs{0};
extern "C" void Sleep(DWORD ms) {
  g_sleptMs.fetch_add(ms);
  std::this_thread::yield();
}
uint64_t native::SleptMs() { return g_sleptMs.load(); }

extern "C" DWORD GetTempPathW(DWORD n, LPWSTR buf) {
  const char* tmp = getenv("TMPDIR");
  std::string dir = tmp && *tmp ? tmp : "/tmp";
  if (dir.back() != '/') dir += '/';
  if (dir.size() + 1 > n) return DWORD(dir.size() + 1);
  for (size_t i = 0; i < dir.size(); ++i) buf[i] = wchar_t(static_cast<unsigned char>(dir[i]));
  buf[dir.size()] = 0;
  return DWORD(dir.size());
}

// --- virtual memory and the SoC's windows ----------------------------------------

extern "C" LPVOID VirtualAlloc(LPVOID addr, SIZE_T size, DWORD type, DWORD protect) {
  (void)protect;
  if (native::internal::FailHere(native::FailureKind::kVirtualAlloc, "")) {
    t_lastError = ERROR_NOT_ENOUGH_MEMORY;
    return NULL;
  }
  std::lock_guard<std::mutex> g(K().lock);
  if (size == 0) {
    t_lastError = ERROR_INVALID_PARAMETER;
    return NULL;
  }
  if (addr != NULL) {
    // Committing inside a reservation of ours.
    int i = native::FindRegionContaining(reinterpret_cast<uintptr_t>(addr));
    if (i < 0 || !(type & MEM_COMMIT) || K().regions[i].window >= 0) {
      t_lastError = ERROR_INVALID_ADDRESS;
      return NULL;
    }
    native::Region& r = K().regions[i];
    if (mprotect(reinterpret_cast<void*>(r.base), r.size, PROT_READ | PROT_WRITE) != 0) {
      t_lastError = ERROR_NOT_ENOUGH_MEMORY;
      return NULL;
    }
    r.committed = true;
    return addr;
  }
  size_t len = native::PageRound(size);
  bool commit = (type & MEM_COMMIT) != 0;
  void* p = mmap(NULL, len, commit ? PROT_READ | PROT_WRITE : PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (p == MAP_FAILED) {
    t_lastError = ERROR_NOT_ENOUGH_MEMORY;
    return NULL;
  }
  native::Region r;
  r.base = reinterpret_cast<uintptr_t>(p);
  r.size = len;
  r.process = t_thread.process;
  r.committed = commit;
  K().regions.push_back(r);
  return p;
}

extern "C" BOOL VirtualFree(LPVOID addr, SIZE_T size, DWORD type) {
  std::lock_guard<std::mutex> g(K().lock);
  int i = native::FindRegionAt(reinterpret_cast<uintptr_t>(addr));
  // The kernel gives back a whole reservation, window or not, with size 0.
  if (i < 0 || !(type & MEM_RELEASE) || size != 0) {
    t_lastError = ERROR_INVALID_PARAMETER;
    return FALSE;
  }
  munmap(addr, K().regions[i].size);
  K().regions.erase(K().regions.begin() + i);
  return TRUE;
}

extern "C" SIZE_T VirtualQuery(LPCVOID addr, PMEMORY_BASIC_INFORMATION mbi, SIZE_T len) {
  if (len < sizeof(*mbi)) return 0;
  std::lock_guard<std::mutex> g(K().lock);
  uintptr_t a = reinterpret_cast<uintptr_t>(addr) & ~uintptr_t(4095);
  // The top of the user address space the way the device code would walk it.
  uintptr_t top = (~uintptr_t(0) >> 1) & ~uintptr_t(4095);
  for (const native::Region& r : K().regions)
    if (r.base + r.size > top) top = r.base + r.size;
  if (a >= top) return 0;
  memset(mbi, 0, sizeof(*mbi));
  int i = native::FindRegionContaining(a);
  if (i >= 0) {
    const native::Region& r = K().regions[i];
    mbi->BaseAddress = reinterpret_cast<PVOID>(r.base);
    mbi->AllocationBase = reinterpret_cast<PVOID>(r.base);
    mbi->RegionSize = r.size;
    bool mapped = r.view || r.window >= 0;
    mbi->State = r.committed || mapped ? MEM_COMMIT : MEM_RESERVE;
    mbi->Type = r.view ? MEM_MAPPED : MEM_PRIVATE;
    mbi->Protect = r.committed || mapped ? PAGE_READWRITE : PAGE_NOACCESS;
    return sizeof(*mbi);
  }
  // Free up to the next region of ours (what else lives in the process is
  // not the device's business).
  uintptr_t next = top;
  for (const native::Region& r : K().regions)
    if (r.base > a && r.base < next) next = r.base;
  mbi->BaseAddress = reinterpret_cast<PVOID>(a);
  mbi->RegionSize = next - a;
  mbi->State = MEM_FREE;
  mbi->Protect = PAGE_NOACCESS;
  return sizeof(*mbi);
}

// On the handheld VirtualCopy points a reservation at a statically mapped
// kernel range. Here it decodes the same six windows of the SoC and nothing
// else: a register window stays inaccessible memory (the driver reaches its
// registers only through READ/WRITE_REGISTER_ULONG, which route the access to
// the device models by address; a plain load or store there faults), a memory
// window becomes a view of the SoC's shared section, so the driver's plain
// loads and stores meet the DMA model's and the other drivers'.
extern "C" BOOL VirtualCopy(LPVOID dest, LPVOID src, DWORD size, DWORD protect) {
  (void)protect;
  uintptr_t source = reinterpret_cast<uintptr_t>(src);
  int id = source <= 0xFFFFFFFFu && size != 0 ? sim::SocFindWindow(unsigned(source), size) : -1;
  if (id < 0) {
    t_lastError = ERROR_INVALID_PARAMETER;
    return FALSE;
  }
  const sim::WindowDesc& w = sim::SocWindow(id);
  char where[16];
  snprintf(where, sizeof(where), "0x%08X", w.address);
  if (native::internal::FailHere(native::FailureKind::kVirtualCopy, where)) {
    t_lastError = ERROR_NOT_ENOUGH_MEMORY;
    return FALSE;
  }
  {
    std::lock_guard<std::mutex> g(K().lock);
    if (K().failArmed && K().failVirtualCopyAt == w.address) {
      K().failArmed = false;
      t_lastError = ERROR_NOT_ENOUGH_MEMORY;
      return FALSE;
    }
    int i = native::FindRegionAt(reinterpret_cast<uintptr_t>(dest));
    if (i < 0 || K().regions[i].committed || K().regions[i].window >= 0 || K().regions[i].size < size) {
      t_lastError = ERROR_INVALID_PARAMETER;
      return FALSE;
    }
  }
  if (!sim::SocAttach()) {
    t_lastError = ERROR_NOT_READY;
    return FALSE;
  }
  HANDLE section = NULL;
  unsigned long long offset = 0;
  if (w.memory && !sim::SocMemoryWindow(id, &section, &offset)) {
    t_lastError = ERROR_NOT_READY;
    return FALSE;
  }
  int fd = w.memory ? native::internal::SectionFd(section) : -1;
  std::lock_guard<std::mutex> g(K().lock);
  int i = native::FindRegionAt(reinterpret_cast<uintptr_t>(dest));
  if (i < 0) {
    t_lastError = ERROR_INVALID_PARAMETER;
    return FALSE;
  }
  native::Region& r = K().regions[i];
  uint32_t windowOffset = uint32_t(source - w.address);
  if (w.memory) {
    void* view =
        fd < 0 ? MAP_FAILED
               : mmap(dest, size, PROT_READ | PROT_WRITE, MAP_SHARED | MAP_FIXED, fd, off_t(offset + windowOffset));
    if (view != dest) {
      t_lastError = ERROR_NOT_ENOUGH_MEMORY;
      return FALSE;
    }
    r.view = true;
  }
  r.window = id;
  r.windowOffset = windowOffset;
  return TRUE;
}

namespace {

// The register window and offset behind an address of a VirtualCopy'd
// register window; false for plain memory.
bool RegisterAt(volatile ULONG* reg, int* window, unsigned* offset) {
  std::lock_guard<std::mutex> g(K().lock);
  int i = native::FindRegionContaining(reinterpret_cast<uintptr_t>(reg));
  if (i < 0 || K().regions[i].view || K().regions[i].window < 0) return false;
  *window = K().regions[i].window;
  *offset = unsigned(reinterpret_cast<uintptr_t>(reg) - K().regions[i].base) + K().regions[i].windowOffset;
  return true;
}

// The calling thread's wait on the hardware: the status register its last
// access read, and for a wait that is a failure point, the value it is held
// at. The polls of a held wait are answered here, without the model: a
// bounded wait that times out makes a million of them.
struct WaitTrack {
  volatile ULONG* lastRead = nullptr;  // the last access was a read of this status register
  volatile ULONG* held = nullptr;
  ULONG heldValue = 0;
  uint64_t heldPolls = 0;
};
thread_local WaitTrack t_wait;

// The held wait ends with the next other access; the time its polls took
// passes on the simulated clock.
void EndHeldWait() {
  if (!t_wait.held) return;
  native::ElapseHeldPolls(t_wait.heldPolls);
  t_wait.held = nullptr;
  t_wait.heldPolls = 0;
}

}  // namespace

extern "C" ULONG READ_REGISTER_ULONG(volatile ULONG* reg) {
  if (reg == t_wait.held) {
    ++t_wait.heldPolls;
    return t_wait.heldValue;
  }
  EndHeldWait();
  int window = -1;
  unsigned offset = 0;
  if (!RegisterAt(reg, &window, &offset)) return *reg;
  bool status = sim::SocModel::IsStatusRegister(uint32_t(window), offset);
  bool waitBegins = status && t_wait.lastRead != reg;
  t_wait.lastRead = status ? reg : nullptr;
  if (waitBegins && native::internal::FailHere(native::FailureKind::kHardwareWait,
                                               sim::SocModel::RegisterName(uint32_t(window), offset)) &&
      native::HangWait(window, offset)) {
    t_wait.held = reg;
    t_wait.heldValue = sim::SocRead32(window, offset);
    t_wait.heldPolls = 0;
    return t_wait.heldValue;
  }
  return sim::SocRead32(window, offset);
}

extern "C" void WRITE_REGISTER_ULONG(volatile ULONG* reg, ULONG value) {
  EndHeldWait();
  t_wait.lastRead = nullptr;
  int window = -1;
  unsigned offset = 0;
  if (!RegisterAt(reg, &window, &offset)) {
    *reg = value;
    return;
  }
  sim::SocWrite32(window, offset, value);
}

void PlatformFailVirtualCopyAt(unsigned int kernelAddress) {
  std::lock_guard<std::mutex> g(K().lock);
  K().failVirtualCopyAt = kernelAddress;
  K().failArmed = true;
}

int PlatformMappedWindowCount() {
  std::lock_guard<std::mutex> g(K().lock);
  int n = 0;
  for (const native::Region& r : K().regions)
    if (r.window >= 0) ++n;
  return n;
}

void PlatformResetHooks() {
  std::lock_guard<std::mutex> g(K().lock);
  K().failArmed = false;
}

// --- local heap ---------------------------------------------------------------------

extern "C" HLOCAL LocalAlloc(UINT flags, SIZE_T bytes) {
  if (native::internal::FailHere(native::FailureKind::kLocalAlloc, "")) {
    t_lastError = ERROR_NOT_ENOUGH_MEMORY;
    return NULL;
  }
  void* p = (flags & LMEM_ZEROINIT) ? calloc(1, bytes ? bytes : 1) : malloc(bytes ? bytes : 1);
  if (!p) t_lastError = ERROR_NOT_ENOUGH_MEMORY;
  return p;
}

extern "C" HLOCAL LocalFree(HLOCAL mem) {
  free(mem);
  return NULL;
}

// --- mutexes and events ----------------------------------------------------------------

namespace {

HANDLE CreateNamed(Object::Kind kind, LPCWSTR name, bool manual, bool initial) {
  std::wstring key = name ? name : L"";
  if (name) native::internal::DeviceUtf8(name);  // the width check
  std::lock_guard<std::mutex> g(K().lock);
  if (!key.empty()) {
    auto it = K().names.find(key);
    if (it != K().names.end()) {
      if (it->second->kind != kind) {
        t_lastError = ERROR_INVALID_HANDLE;
        return NULL;
      }
      ++it->second->refs;
      t_lastError = ERROR_ALREADY_EXISTS;
      return native::NewHandle(it->second);
    }
  }
  Object* o = new Object;
  o->kind = kind;
  o->name = key;
  o->manual = manual;
  if (kind == Object::kMutex && initial) {
    o->owner = &t_thread;
    native::g_ownerEpoch.fetch_add(1, std::memory_order_release);
    o->recursion = 1;
  }
  if (kind == Object::kEvent) o->signaled = initial;
  K().objects.insert(o);
  if (!key.empty()) K().names[key] = o;
  t_lastError = ERROR_SUCCESS;
  return native::NewHandle(o);
}

// Whether the object can be had by the calling thread now; takes it if so.
bool TryTake(Object* o, DWORD* result) {
  if (o->kind == Object::kMutex) {
    if (o->owner == &t_thread) {
      ++o->recursion;
      *result = WAIT_OBJECT_0;
      return true;
    }
    if (o->owner == nullptr && (o->waiters.empty() || o->waiters.front() == &t_thread)) {
      o->owner = &t_thread;
      native::g_ownerEpoch.fetch_add(1, std::memory_order_release);
      o->recursion = 1;
      if (K().traceMutexes && !o->name.empty())
        K().mutexTrace.push_back("take " + native::internal::DeviceUtf8(o->name.c_str()));
      *result = o->abandoned ? WAIT_ABANDONED : WAIT_OBJECT_0;
      o->abandoned = false;
      return true;
    }
    return false;
  }
  if (o->kind == Object::kEvent && o->signaled) {
    if (!o->manual) o->signaled = false;
    *result = WAIT_OBJECT_0;
    return true;
  }
  return false;
}

}  // namespace

extern "C" HANDLE CreateMutexW(LPSECURITY_ATTRIBUTES, BOOL initialOwner, LPCWSTR name) {
  if (native::internal::FailHere(native::FailureKind::kCreateMutex, name ? native::internal::DeviceUtf8(name).c_str() : "")) {
    t_lastError = ERROR_NOT_ENOUGH_MEMORY;
    return NULL;
  }
  return CreateNamed(Object::kMutex, name, false, initialOwner != FALSE);
}

extern "C" HANDLE CreateEventW(LPSECURITY_ATTRIBUTES, BOOL manualReset, BOOL initialState, LPCWSTR name) {
  return CreateNamed(Object::kEvent, name, manualReset != FALSE, initialState != FALSE);
}

namespace {

BOOL ReleaseMutexLocked(HANDLE h) {
  Object* o = native::Lookup(h);
  if (!o || o->kind != Object::kMutex) {
    t_lastError = ERROR_INVALID_HANDLE;
    return FALSE;
  }
  if (o->owner != &t_thread) {
    t_lastError = ERROR_NOT_OWNER;
    return FALSE;
  }
  if (--o->recursion == 0) {
    o->owner = nullptr;
    native::g_ownerEpoch.fetch_add(1, std::memory_order_release);
    if (K().traceMutexes && !o->name.empty())
      K().mutexTrace.push_back("release " + native::internal::DeviceUtf8(o->name.c_str()));
    K().changed.notify_all();
  }
  return TRUE;
}

BOOL SetEventLocked(HANDLE h) {
  Object* o = native::Lookup(h);
  if (!o || o->kind != Object::kEvent) {
    t_lastError = ERROR_INVALID_HANDLE;
    return FALSE;
  }
  o->signaled = true;
  K().changed.notify_all();
  return TRUE;
}

}  // namespace

namespace native {

void TraceNamedMutexes(bool on) {
  std::lock_guard<std::mutex> g(K().lock);
  K().traceMutexes = on;
  K().mutexTrace.clear();
}

std::vector<std::string> NamedMutexTrace() {
  std::lock_guard<std::mutex> g(K().lock);
  return K().mutexTrace;
}

}  // namespace native

extern "C" BOOL ReleaseMutex(HANDLE h) {
  std::lock_guard<std::mutex> g(K().lock);
  return ReleaseMutexLocked(h);
}

extern "C" BOOL SetEvent(HANDLE h) {
  std::lock_guard<std::mutex> g(K().lock);
  return SetEventLocked(h);
}

extern "C" BOOL ResetEvent(HANDLE h) {
  std::lock_guard<std::mutex> g(K().lock);
  Object* o = native::Lookup(h);
  if (!o || o->kind != Object::kEvent) {
    t_lastError = ERROR_INVALID_HANDLE;
    return FALSE;
  }
  o->signaled = false;
  return TRUE;
}

namespace {

// A wait for any of the objects, the kernel lock held by g from before the
// first look until the caller queues (if it must wait).
DWORD WaitLocked(std::unique_lock<std::mutex>& g, DWORD count, const HANDLE* handles, DWORD ms) {
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms == INFINITE ? 0 : ms);
  // The mutexes this wait queues on, left however it ends.
  std::vector<Object*> queued;
  struct Leave {
    std::vector<Object*>& queued;
    ~Leave() {
      for (Object* o : queued) {
        if (!K().objects.count(o)) continue;
        auto it = std::find(o->waiters.begin(), o->waiters.end(), &t_thread);
        if (it != o->waiters.end()) o->waiters.erase(it);
      }
      // The next waiter may now be the first of a mutex that is free.
      if (!queued.empty()) K().changed.notify_all();
    }
  } leave{queued};
  for (;;) {
    for (DWORD i = 0; i < count; ++i) {
      Object* o = native::Lookup(handles[i]);
      if (!o || (o->kind != Object::kMutex && o->kind != Object::kEvent)) {
        t_lastError = ERROR_INVALID_HANDLE;
        return WAIT_FAILED;
      }
      DWORD result;
      if (TryTake(o, &result)) return result + i;
    }
    if (ms == 0) return WAIT_TIMEOUT;
    if (queued.empty()) {
      for (DWORD i = 0; i < count; ++i) {
        Object* o = native::Lookup(handles[i]);
        if (o->kind == Object::kMutex && std::find(queued.begin(), queued.end(), o) == queued.end()) {
          o->waiters.push_back(&t_thread);
          queued.push_back(o);
        }
      }
    }
    if (ms == INFINITE)
      K().changed.wait(g);
    else if (K().changed.wait_until(g, deadline) == std::cv_status::timeout &&
             std::chrono::steady_clock::now() >= deadline) {
      // One last look: the object may have come free with the time-out.
      for (DWORD i = 0; i < count; ++i) {
        DWORD result;
        if (TryTake(native::Lookup(handles[i]), &result)) return result + i;
      }
      return WAIT_TIMEOUT;
    }
  }
}

}  // namespace

extern "C" DWORD WaitForMultipleObjects(DWORD count, const HANDLE* handles, BOOL waitAll, DWORD ms) {
  if (count == 0 || waitAll) {
    t_lastError = ERROR_INVALID_PARAMETER;
    return WAIT_FAILED;
  }
  std::unique_lock<std::mutex> g(K().lock);
  return WaitLocked(g, count, handles, ms);
}

DWORD native::SignalObjectAndWait(HANDLE toSignal, HANDLE toWaitOn, DWORD ms) {
  std::unique_lock<std::mutex> g(K().lock);
  Object* o = native::Lookup(toSignal);
  BOOL signaled = o && o->kind == Object::kEvent ? SetEventLocked(toSignal) : ReleaseMutexLocked(toSignal);
  if (!signaled) return WAIT_FAILED;
  return WaitLocked(g, 1, &toWaitOn, ms);
}

extern "C" DWORD WaitForSingleObject(HANDLE h, DWORD ms) {
  if (native::internal::CallingThreadCountsPoints()) {
    std::string what;
    {
      std::lock_guard<std::mutex> g(K().lock);
      Object* o = native::Lookup(h);
      if (o) what = native::internal::DeviceUtf8(o->name.c_str());
    }
    if (native::internal::FailHere(native::FailureKind::kWaitForSingleObject, what.c_str())) {
      t_lastError = ERROR_INVALID_HANDLE;
      return WAIT_FAILED;
    }
  }
  return WaitForMultipleObjects(1, &h, FALSE, ms);
}

extern "C" BOOL CloseHandle(HANDLE h) {
  std::lock_guard<std::mutex> g(K().lock);
  auto it = K().handles.find(static_cast<native::HandleRec*>(h));
  if (it == K().handles.end()) {
    t_lastError = ERROR_INVALID_HANDLE;
    return FALSE;
  }
  Object* o = (*it)->obj;
  delete *it;
  K().handles.erase(it);
  native::Unref(o);
  return TRUE;
}

// --- files ---------------------------------------------------------------------------------

namespace native {
namespace {

std::string g_root;  // SetDeviceRoot

std::string Lower(std::string s) {
  for (char& c : s) c = char(tolower(static_cast<unsigned char>(c)));
  return s;
}

// The entry of dir whose name matches part without regard to case, as the
// device's file system matches names.
bool MatchEntry(const std::string& dir, const std::string& part, std::string* name) {
  DIR* d = opendir(dir.c_str());
  if (!d) return false;
  bool found = false;
  while (struct dirent* e = readdir(d)) {
    if (strcasecmp(e->d_name, part.c_str()) == 0) {
      *name = e->d_name;
      found = true;
      if (part == e->d_name) break;
    }
  }
  closedir(d);
  return found;
}

// A device path ("\SDMMC Disk\EBOOT.NB0": root-relative, backslashes) or a
// Linux path (tests' own files) as a Linux path. The last component may be
// missing (a file to be made); a missing folder is ERROR_PATH_NOT_FOUND.
bool Resolve(const std::string& utf8, std::string* out, DWORD* error) {
  if (!utf8.empty() && utf8[0] == '/') {
    *out = utf8;
    return true;
  }
  std::string root = g_root;
  if (root.empty()) root = internal::AttachedDeviceDir();
  if (utf8.empty() || utf8[0] != '\\' || root.empty()) {
    *error = ERROR_PATH_NOT_FOUND;
    return false;
  }
  std::vector<std::string> parts;
  std::string part;
  for (size_t i = 1; i <= utf8.size(); ++i) {
    if (i == utf8.size() || utf8[i] == '\\' || utf8[i] == '/') {
      if (!part.empty()) parts.push_back(part);
      part.clear();
    } else {
      part += utf8[i];
    }
  }
  std::string path = root;
  for (size_t i = 0; i < parts.size(); ++i) {
    if (parts[i] == "." || parts[i] == "..") {
      *error = ERROR_PATH_NOT_FOUND;
      return false;
    }
    std::string name;
    if (!MatchEntry(path, parts[i], &name)) {
      if (i + 1 < parts.size()) {
        *error = ERROR_PATH_NOT_FOUND;
        return false;
      }
      name = parts[i];
    }
    path += "/" + name;
  }
  *out = path;
  return true;
}

// The start of every call that names a file on the device: its failure point
// (failing with failError), then the name resolved. False with the call's
// error set.
bool PathOfCall(FailureKind kind, DWORD failError, LPCWSTR name, std::string* path) {
  std::string utf8 = internal::DeviceUtf8(name);
  if (internal::FailHere(kind, utf8.c_str())) {
    t_lastError = failError;
    return false;
  }
  DWORD error = 0;
  if (!Resolve(utf8, path, &error)) {
    t_lastError = error;
    return false;
  }
  return true;
}

bool SharingAllows(const Object* open, DWORD access, DWORD share) {
  if ((access & GENERIC_READ) && !(open->share & FILE_SHARE_READ)) return false;
  if ((access & GENERIC_WRITE) && !(open->share & FILE_SHARE_WRITE)) return false;
  if ((open->access & GENERIC_READ) && !(share & FILE_SHARE_READ)) return false;
  if ((open->access & GENERIC_WRITE) && !(share & FILE_SHARE_WRITE)) return false;
  return true;
}

// DEVSIM_CARD_FAULT, as the Wine platform reads it: the faults of a worn card.
enum CardFault { kCardHealthy, kCardReadFail, kCardShortRead };
CardFault Fault() {
  const char* v = getenv("DEVSIM_CARD_FAULT");
  if (v && strcmp(v, "read-fail") == 0) return kCardReadFail;
  if (v && strcmp(v, "short-read") == 0) return kCardShortRead;
  return kCardHealthy;
}

}  // namespace

void SetDeviceRoot(const std::string& dir) {
  std::lock_guard<std::mutex> g(K().lock);
  g_root = dir;
}

}  // namespace native

extern "C" HANDLE CreateFileW(LPCWSTR name, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES, DWORD disposition, DWORD,
                              HANDLE) {
  std::string path;
  if (!native::PathOfCall(native::FailureKind::kCreateFile, ERROR_NOT_READY, name, &path)) return INVALID_HANDLE_VALUE;
  int flags = (access & GENERIC_WRITE) ? ((access & GENERIC_READ) ? O_RDWR : O_WRONLY) : O_RDONLY;
  switch (disposition) {
    case CREATE_NEW:
      flags |= O_CREAT | O_EXCL;
      break;
    case CREATE_ALWAYS:
      flags |= O_CREAT | O_TRUNC;
      break;
    case OPEN_ALWAYS:
      flags |= O_CREAT;
      break;
    case TRUNCATE_EXISTING:
      flags |= O_TRUNC;
      break;
    case OPEN_EXISTING:
      break;
    default:
      t_lastError = ERROR_INVALID_PARAMETER;
      return INVALID_HANDLE_VALUE;
  }
  std::lock_guard<std::mutex> g(K().lock);
  struct stat st;
  bool exists = stat(path.c_str(), &st) == 0;
  if (exists && S_ISDIR(st.st_mode)) {
    t_lastError = ERROR_ACCESS_DENIED;
    return INVALID_HANDLE_VALUE;
  }
  if (exists) {
    // Share modes hold between every open of one file on the device.
    for (Object* o : K().objects) {
      if (o->kind == Object::kFile && o->path == path && !native::SharingAllows(o, access, share)) {
        t_lastError = ERROR_SHARING_VIOLATION;
        return INVALID_HANDLE_VALUE;
      }
    }
  }
  int fd = open(path.c_str(), flags | O_CLOEXEC, 0644);
  if (fd < 0) {
    t_lastError = errno == ENOENT ? ERROR_FILE_NOT_FOUND : errno == EEXIST ? 80 : ERROR_ACCESS_DENIED;
    return INVALID_HANDLE_VALUE;
  }
  Object* o = new Object;
  o->kind = Object::kFile;
  o->path = path;
  o->fd = fd;
  o->access = access;
  o->share = share;
  o->onCard = native::Lower(path).find("/sdmmc disk/") != std::string::npos;
  K().objects.insert(o);
  t_lastError = exists && (disposition == OPEN_ALWAYS || disposition == CREATE_ALWAYS) ? ERROR_ALREADY_EXISTS : 0;
  return native::NewHandle(o);
}

extern "C" DWORD GetFileSize(HANDLE h, LPDWORD high) {
  if (native::internal::FailHere(native::FailureKind::kGetFileSize, "")) {
    t_lastError = ERROR_NOT_READY;
    return INVALID_FILE_SIZE;
  }
  std::lock_guard<std::mutex> g(K().lock);
  Object* o = native::Lookup(h);
  struct stat st;
  if (!o || o->kind != Object::kFile || fstat(o->fd, &st) != 0) {
    t_lastError = ERROR_INVALID_HANDLE;
    return INVALID_FILE_SIZE;
  }
  uint64_t size = uint64_t(st.st_size);
  if (high) *high = DWORD(size >> 32);
  t_lastError = 0;
  return DWORD(size);
}

extern "C" BOOL ReadFile(HANDLE h, LPVOID buf, DWORD toRead, LPDWORD read, LPOVERLAPPED) {
  int fd = -1;
  bool onCard = false;
  {
    std::lock_guard<std::mutex> g(K().lock);
    Object* o = native::Lookup(h);
    if (!o || o->kind != Object::kFile || !(o->access & GENERIC_READ)) {
      t_lastError = ERROR_INVALID_HANDLE;
      if (read) *read = 0;
      return FALSE;
    }
    fd = o->fd;
    onCard = o->onCard;
  }
  if (native::internal::FailHere(native::FailureKind::kReadFile, "")) {
    if (read) *read = 0;
    t_lastError = ERROR_READ_FAULT;
    return FALSE;
  }
  if (native::internal::FailHere(native::FailureKind::kShortRead, "")) toRead /= 2;
  if (onCard) {
    native::CardFault f = native::Fault();
    if (f == native::kCardReadFail) {
      if (read) *read = 0;
      t_lastError = ERROR_READ_FAULT;
      return FALSE;
    }
    if (f == native::kCardShortRead) toRead /= 2;
  }
  DWORD done = 0;
  while (done < toRead) {
    ssize_t n = ::read(fd, static_cast<char*>(buf) + done, toRead - done);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      if (read) *read = done;
      t_lastError = ERROR_READ_FAULT;
      return FALSE;
    }
    if (n == 0) break;
    done += DWORD(n);
  }
  if (read) *read = done;
  return TRUE;
}

extern "C" LPVOID MapViewOfFile(HANDLE section, DWORD, DWORD high, DWORD low, SIZE_T bytes) {
  int fd = native::internal::SectionFd(section);
  if (fd < 0 || bytes == 0) {
    t_lastError = ERROR_INVALID_HANDLE;
    return NULL;
  }
  off_t offset = off_t((uint64_t(high) << 32) | low);
  void* p = mmap(NULL, bytes, PROT_READ | PROT_WRITE, MAP_SHARED, fd, offset);
  if (p == MAP_FAILED) {
    t_lastError = ERROR_NOT_ENOUGH_MEMORY;
    return NULL;
  }
  std::lock_guard<std::mutex> g(K().lock);
  K().views[reinterpret_cast<uintptr_t>(p)] = bytes;
  return p;
}

extern "C" BOOL UnmapViewOfFile(LPCVOID p) {
  std::lock_guard<std::mutex> g(K().lock);
  auto it = K().views.find(reinterpret_cast<uintptr_t>(p));
  if (it == K().views.end()) {
    t_lastError = ERROR_INVALID_ADDRESS;
    return FALSE;
  }
  munmap(const_cast<void*>(p), it->second);
  K().views.erase(it);
  return TRUE;
}

// --- file search, deletion, processes (the launcher's calls) -------------------------

namespace native {
namespace {

std::wstring LowerWide(const wchar_t* s) {
  std::wstring out;
  for (; s && *s; ++s) out += wchar_t(towlower(wint_t(*s)));
  return out;
}

}  // namespace

void RegisterProgram(const std::wstring& path, const std::function<int()>& body) {
  std::lock_guard<std::mutex> g(K().lock);
  K().programs[LowerWide(path.c_str())] = body;
}

}  // namespace native

extern "C" HANDLE FindFirstFileW(LPCWSTR name, LPWIN32_FIND_DATAW data) {
  std::string path;
  if (!native::PathOfCall(native::FailureKind::kFindFirstFile, ERROR_NOT_READY, name, &path)) return INVALID_HANDLE_VALUE;
  struct stat st;
  if (stat(path.c_str(), &st) != 0) {
    t_lastError = ERROR_FILE_NOT_FOUND;
    return INVALID_HANDLE_VALUE;
  }
  memset(data, 0, sizeof(*data));
  data->nFileSizeLow = DWORD(st.st_size);
  std::string base = path.substr(path.rfind('/') + 1);
  for (size_t i = 0; i < base.size() && i + 1 < MAX_PATH; ++i)
    data->cFileName[i] = wchar_t(static_cast<unsigned char>(base[i]));
  std::lock_guard<std::mutex> g(K().lock);
  Object* o = new Object;
  o->kind = Object::kFind;
  o->path = path;
  K().objects.insert(o);
  t_lastError = 0;
  return native::NewHandle(o);
}

extern "C" BOOL FindClose(HANDLE h) { return CloseHandle(h); }

extern "C" BOOL DeleteFileW(LPCWSTR name) {
  std::string path;
  if (!native::PathOfCall(native::FailureKind::kDeleteFile, ERROR_ACCESS_DENIED, name, &path)) return FALSE;
  std::lock_guard<std::mutex> g(K().lock);
  // An open file cannot be deleted on the device (no FILE_SHARE_DELETE there).
  for (Object* o : K().objects) {
    if (o->kind == Object::kFile && o->path == path) {
      t_lastError = ERROR_SHARING_VIOLATION;
      return FALSE;
    }
  }
  if (unlink(path.c_str()) != 0) {
    t_lastError = errno == ENOENT ? ERROR_FILE_NOT_FOUND : ERROR_ACCESS_DENIED;
    return FALSE;
  }
  return TRUE;
}

extern "C" BOOL CreateProcessW(LPCWSTR app, LPWSTR, LPSECURITY_ATTRIBUTES, LPSECURITY_ATTRIBUTES, BOOL, DWORD, LPVOID,
                               LPCWSTR, LPSTARTUPINFOW, LPPROCESS_INFORMATION pi) {
  std::string path;
  if (!native::PathOfCall(native::FailureKind::kCreateProcess, ERROR_NOT_ENOUGH_MEMORY, app, &path)) return FALSE;
  struct stat st;
  if (stat(path.c_str(), &st) != 0) {
    t_lastError = ERROR_FILE_NOT_FOUND;
    return FALSE;
  }
  std::function<int()> body;
  {
    std::lock_guard<std::mutex> g(K().lock);
    auto it = K().programs.find(native::LowerWide(app));
    if (it == K().programs.end()) {
      t_lastError = 193;  // ERROR_BAD_EXE_FORMAT: a file, but no program this device runs
      return FALSE;
    }
    body = it->second;
  }
  int code = 0;
  native::t_startingChild = true;
  native::ProgramEnd end = native::RunProgram([&] { code = body(); }, true);
  native::t_startingChild = false;
  std::lock_guard<std::mutex> g(K().lock);
  Object* o = new Object;
  o->kind = Object::kProcess;
  o->exitCode = end == native::ProgramEnd::kReturned ? DWORD(code) : 1;
  o->refs = 2;  // the process and the thread handle
  K().objects.insert(o);
  pi->hProcess = native::NewHandle(o);
  pi->hThread = native::NewHandle(o);
  pi->dwProcessId = pi->dwThreadId = 0;
  t_lastError = 0;
  return TRUE;
}

extern "C" BOOL GetExitCodeProcess(HANDLE h, LPDWORD code) {
  if (native::internal::FailHere(native::FailureKind::kGetExitCodeProcess, "")) {
    t_lastError = ERROR_INVALID_HANDLE;
    return FALSE;
  }
  std::lock_guard<std::mutex> g(K().lock);
  Object* o = native::Lookup(h);
  if (!o || o->kind != Object::kProcess) {
    t_lastError = ERROR_INVALID_HANDLE;
    return FALSE;
  }
  *code = o->exitCode;
  return TRUE;
}
