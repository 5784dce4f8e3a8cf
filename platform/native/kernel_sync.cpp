// The handheld kernel's named mutexes and events between threads for one
// Linux process, and the waits on them: a released mutex goes to the thread
// that has waited for it longest, and a thread that ends holding one abandons
// it (kernel.cpp), as on the device.
//
// Every kernel object lives in one table under one lock (kernel_state.h); a
// condition variable wakes every waiter when any object changes (a handful of
// threads at most).
#include <windows.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <vector>

#include "platform/native/kernel_internal.h"
#include "platform/native/kernel_state.h"
#include "platform/native/native.h"

using native::detail::g_ownerEpoch;
using native::detail::K;
using native::detail::Lookup;
using native::detail::NewHandle;
using native::detail::Object;
using native::detail::t_lastError;
using native::detail::t_thread;

// --- mutexes and events ----------------------------------------------------------------

namespace {

HANDLE CreateNamed(Object::Kind kind, LPCWSTR name, bool manual, bool initial) {
  std::wstring key = name ? name : L"";
  native::internal::CheckDeviceWide(name);
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
      return NewHandle(it->second);
    }
  }
  Object* o = new Object;
  o->kind = kind;
  o->name = key;
  o->manual = manual;
  if (kind == Object::kMutex && initial) {
    o->owner = &t_thread;
    g_ownerEpoch.fetch_add(1, std::memory_order_release);
    o->recursion = 1;
  }
  if (kind == Object::kEvent) o->signaled = initial;
  K().objects.insert(o);
  if (!key.empty()) K().names[key] = o;
  t_lastError = ERROR_SUCCESS;
  return NewHandle(o);
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
      g_ownerEpoch.fetch_add(1, std::memory_order_release);
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
  if (native::internal::FailHere(native::FailureKind::kCreateMutex, name ? name : L"")) {
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
  Object* o = Lookup(h);
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
    g_ownerEpoch.fetch_add(1, std::memory_order_release);
    if (K().traceMutexes && !o->name.empty())
      K().mutexTrace.push_back("release " + native::internal::DeviceUtf8(o->name.c_str()));
    K().changed.notify_all();
  }
  return TRUE;
}

BOOL SetEventLocked(HANDLE h) {
  Object* o = Lookup(h);
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
  Object* o = Lookup(h);
  if (!o || o->kind != Object::kEvent) {
    t_lastError = ERROR_INVALID_HANDLE;
    return FALSE;
  }
  o->signaled = false;
  return TRUE;
}

// --- waits ------------------------------------------------------------------------------

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
      Object* o = Lookup(handles[i]);
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
        Object* o = Lookup(handles[i]);
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
        if (TryTake(Lookup(handles[i]), &result)) return result + i;
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
  Object* o = Lookup(toSignal);
  BOOL signaled = o && o->kind == Object::kEvent ? SetEventLocked(toSignal) : ReleaseMutexLocked(toSignal);
  if (!signaled) return WAIT_FAILED;
  return WaitLocked(g, 1, &toWaitOn, ms);
}

extern "C" DWORD WaitForSingleObject(HANDLE h, DWORD ms) {
  if (native::internal::CallingThreadCountsPoints()) {
    // The object's name, copied out of the table without an allocation: the
    // driver waits twice on every bus acquisition.
    wchar_t name[MAX_PATH] = L"";
    {
      std::lock_guard<std::mutex> g(K().lock);
      Object* o = Lookup(h);
      if (o) {
        size_t n = std::min(o->name.size(), size_t(MAX_PATH - 1));
        std::copy(o->name.c_str(), o->name.c_str() + n, name);
        name[n] = 0;
      }
    }
    if (native::internal::FailHere(native::FailureKind::kWaitForSingleObject, name)) {
      t_lastError = ERROR_INVALID_HANDLE;
      return WAIT_FAILED;
    }
  }
  return WaitForMultipleObjects(1, &h, FALSE, ms);
}

// --- who holds the named mutexes (the protocol checker's questions) -----------------

namespace native {

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
  if (cache.names == mutexNames && cache.count == count && cache.epoch == g_ownerEpoch.load(std::memory_order_acquire))
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

}  // namespace native
