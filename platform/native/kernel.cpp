// The kernel of the handheld for one Linux process: its objects and their
// handles, and the processes of native.h, each a thread. The calls themselves
// live beside it by subsystem: kernel_system.cpp (last error, system
// information, time), kernel_memory.cpp (virtual memory, VirtualCopy onto the
// SoC's six windows, register access of the driver kit, local heap),
// kernel_sync.cpp (named mutexes and events between threads, waits),
// kernel_files.cpp (the card's files), kernel_launch.cpp (the launcher's file
// search, deletion and process start).
//
// Every kernel object lives in one table under one lock (kernel_state.h); a
// condition variable wakes every waiter when any object changes (a handful of
// threads at most).
#include <windows.h>

#include <stdio.h>
#include <stdlib.h>
#include <sys/mman.h>
#include <unistd.h>
#include <wchar.h>

#include <atomic>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <string>
#include <thread>

#include "platform/native/kernel_internal.h"
#include "platform/native/kernel_state.h"
#include "platform/native/native.h"

using native::detail::g_ownerEpoch;
using native::detail::HandleRec;
using native::detail::K;
using native::detail::Object;
using native::detail::Region;
using native::detail::t_lastError;
using native::detail::t_startingChild;
using native::detail::t_thread;
using native::detail::ThreadRec;
using native::detail::Unref;

namespace native {
namespace {

std::atomic<unsigned> g_nextThread{1};
uint64_t g_wideBeyond = 0;  // WideUnitsBeyond16Bits

}  // namespace

namespace detail {

// Never destroyed: threads may still end (and abandon their mutexes) while
// the program's static objects go away.
Kernel& K() {
  static Kernel* k = new Kernel;
  return *k;
}

// Counts every change of a mutex's owner (under the kernel's lock), so that a
// thread can tell that its own holdings have not changed since it last looked.
std::atomic<uint32_t> g_ownerEpoch{0};  // 32 bits: the ARMv4 target has no 64-bit atomics

ThreadRec::ThreadRec() : id(g_nextThread.fetch_add(1)) {}

thread_local ThreadRec t_thread;
thread_local DWORD t_lastError = 0;
thread_local bool t_startingChild = false;

namespace {

void AbandonOwnedBy(ThreadRec* t) {
  for (Object* o : K().objects) {
    if (o->kind == Object::kMutex && o->owner == t) {
      o->owner = nullptr;
      g_ownerEpoch.fetch_add(1, std::memory_order_release);
      o->recursion = 0;
      o->abandoned = true;
    }
  }
  K().changed.notify_all();
}

}  // namespace

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

}  // namespace detail

namespace {

// The process's end, as the kernel cleans up after a process that died.
void EndProcessLocked(int process) {
  for (Object* o : K().objects) {
    if (o->kind == Object::kMutex && o->owner && o->owner->process == process) {
      o->owner = nullptr;
      g_ownerEpoch.fetch_add(1, std::memory_order_release);
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
      K().regionsEpoch.fetch_add(1, std::memory_order_release);
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

uint64_t WideUnitsBeyond16Bits() {
  std::lock_guard<std::mutex> g(K().lock);
  return g_wideBeyond;
}

namespace internal {

namespace {

void CountBeyond(uint64_t beyond) {
  if (!beyond) return;
  std::lock_guard<std::mutex> g(K().lock);
  g_wideBeyond += beyond;
}

}  // namespace

std::string DeviceUtf8(const wchar_t* s, size_t n) {
  std::string out;
  out.reserve(n);
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
  CountBeyond(beyond);
  return out;
}

std::string DeviceUtf8(const wchar_t* s) { return s ? DeviceUtf8(s, wcslen(s)) : std::string(); }

void CheckDeviceWide(const wchar_t* s) {
  uint64_t beyond = 0;
  for (; s && *s; ++s)
    if (uint32_t(*s) > 0xFFFF) ++beyond;
  CountBeyond(beyond);
}

int CallingProcess() { return t_thread.process; }

bool CallingThreadCountsPoints() { return t_thread.points; }

}  // namespace internal

void CountFailurePointsHere(bool on) { t_thread.points = on; }

namespace internal {

}  // namespace internal
}  // namespace native

// --- handles -------------------------------------------------------------------------

extern "C" BOOL CloseHandle(HANDLE h) {
  std::lock_guard<std::mutex> g(K().lock);
  auto it = K().handles.find(static_cast<HandleRec*>(h));
  if (it == K().handles.end()) {
    t_lastError = ERROR_INVALID_HANDLE;
    return FALSE;
  }
  Object* o = (*it)->obj;
  delete *it;
  K().handles.erase(it);
  Unref(o);
  return TRUE;
}
