// The handheld kernel's memory calls for one Linux process: virtual memory,
// VirtualCopy onto the SoC's six windows, the SoC's shared section and its
// views, register access of the driver kit, and the local heap.
//
// The regions handed out are kept in the kernel's table (kernel_state.h), each
// with the process that owns it, so that a process's end unmaps what it left.
#include <ceddk.h>
#include <pkfuncs.h>
#include <windows.h>

#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mman.h>
#include <sys/stat.h>

#include <mutex>
#include <vector>

#include "platform/native/kernel_internal.h"
#include "platform/native/kernel_state.h"
#include "platform/native/native.h"
#include "platform/native/native_soc.h"
#include "platform/test_hooks.h"
#include "sim/soc.h"
#include "sim/soc_model.h"

using native::detail::K;
using native::detail::Lookup;
using native::detail::NewHandle;
using native::detail::Object;
using native::detail::Region;
using native::detail::t_lastError;
using native::detail::t_thread;

namespace native {
namespace {

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

// Reservations given back, kept inaccessible for the next reservation of the
// same size instead of unmapped: a driver maps its six windows at every start
// and gives them back at its end, and the mappings, their release and the
// first touches of the memory windows' pages were a tenth of a fuzzer's run.
// A parked range stays PROT_NONE, so a load or store there faults as on
// memory given back; a memory window's view stays mapped under it and is
// opened again (one mprotect) when the same view is asked for there. Guarded
// by K().lock.
std::vector<Region> g_parked;
constexpr size_t kMaxParked = 16;

void Unmap(const Region& r) { munmap(reinterpret_cast<void*>(r.base), r.size); }

// A region leaves the table: parked when it is a reservation (its view, if
// any, made inaccessible), else unmapped.
void GiveBack(Region r) {
  if (r.committed || g_parked.size() >= kMaxParked ||
      (r.view && mprotect(reinterpret_cast<void*>(r.base), r.size, PROT_NONE) != 0)) {
    Unmap(r);
    return;
  }
  r.view = false;
  r.window = -1;
  r.windowOffset = 0;
  g_parked.push_back(r);
}

// A parked reservation of `len` bytes, taken out of the pool; false if none.
bool TakeParked(size_t len, Region* out) {
  for (size_t i = 0; i < g_parked.size(); ++i) {
    if (g_parked[i].size != len) continue;
    *out = g_parked[i];
    g_parked.erase(g_parked.begin() + long(i));
    return true;
  }
  return false;
}

}  // namespace
}  // namespace native

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
    Region& r = K().regions[i];
    // Committed memory starts zeroed: a parked view under it is replaced.
    void* base = reinterpret_cast<void*>(r.base);
    bool ok = r.viewMapped ? mmap(base, r.size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_FIXED, -1, 0) ==
                                 base
                           : mprotect(base, r.size, PROT_READ | PROT_WRITE) == 0;
    if (!ok) {
      t_lastError = ERROR_NOT_ENOUGH_MEMORY;
      return NULL;
    }
    r.viewMapped = false;
    r.committed = true;
    return addr;
  }
  size_t len = native::PageRound(size);
  bool commit = (type & MEM_COMMIT) != 0;
  Region r;
  if (commit || !native::TakeParked(len, &r)) {
    void* p = mmap(NULL, len, commit ? PROT_READ | PROT_WRITE : PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (p == MAP_FAILED) {
      t_lastError = ERROR_NOT_ENOUGH_MEMORY;
      return NULL;
    }
    r = Region();
    r.base = reinterpret_cast<uintptr_t>(p);
    r.size = len;
  }
  r.process = t_thread.process;
  r.committed = commit;
  K().regions.push_back(r);
  K().regionsEpoch.fetch_add(1, std::memory_order_release);
  return reinterpret_cast<LPVOID>(r.base);
}

extern "C" BOOL VirtualFree(LPVOID addr, SIZE_T size, DWORD type) {
  std::lock_guard<std::mutex> g(K().lock);
  int i = native::FindRegionAt(reinterpret_cast<uintptr_t>(addr));
  // The kernel gives back a whole reservation, window or not, with size 0.
  if (i < 0 || !(type & MEM_RELEASE) || size != 0) {
    t_lastError = ERROR_INVALID_PARAMETER;
    return FALSE;
  }
  native::GiveBack(K().regions[i]);
  K().regions.erase(K().regions.begin() + i);
  K().regionsEpoch.fetch_add(1, std::memory_order_release);
  return TRUE;
}

extern "C" SIZE_T VirtualQuery(LPCVOID addr, PMEMORY_BASIC_INFORMATION mbi, SIZE_T len) {
  if (len < sizeof(*mbi)) return 0;
  std::lock_guard<std::mutex> g(K().lock);
  uintptr_t a = reinterpret_cast<uintptr_t>(addr) & ~uintptr_t(4095);
  // The top of the user address space the way the device code would walk it.
  uintptr_t top = (~uintptr_t(0) >> 1) & ~uintptr_t(4095);
  for (const Region& r : K().regions)
    if (r.base + r.size > top) top = r.base + r.size;
  if (a >= top) return 0;
  memset(mbi, 0, sizeof(*mbi));
  int i = native::FindRegionContaining(a);
  if (i >= 0) {
    const Region& r = K().regions[i];
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
  for (const Region& r : K().regions)
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
  Region& r = K().regions[i];
  uint32_t windowOffset = uint32_t(source - w.address);
  if (w.memory) {
    // The same view parked here is opened again; any other is mapped anew.
    struct stat st;
    const uint64_t at = offset + windowOffset;
    const bool same = fd >= 0 && r.viewMapped && fstat(fd, &st) == 0 && uint64_t(st.st_dev) == r.viewDev &&
                      uint64_t(st.st_ino) == r.viewIno && r.viewOffset == at && r.viewBytes == size;
    void* view = same ? (mprotect(dest, size, PROT_READ | PROT_WRITE) == 0 ? dest : MAP_FAILED)
                 : fd < 0 ? MAP_FAILED
                          : mmap(dest, size, PROT_READ | PROT_WRITE, MAP_SHARED | MAP_FIXED, fd, off_t(at));
    if (view != dest) {
      t_lastError = ERROR_NOT_ENOUGH_MEMORY;
      return FALSE;
    }
    if (!same) {
      // While the view stays mapped its file stays, so no other file takes
      // its device and inode numbers. (Unknown ones never match.)
      const bool known = fstat(fd, &st) == 0;
      r.viewMapped = true;
      r.viewDev = known ? uint64_t(st.st_dev) : ~uint64_t(0);
      r.viewIno = known ? uint64_t(st.st_ino) : ~uint64_t(0);
      r.viewOffset = at;
      r.viewBytes = size;
    }
    r.view = true;
  }
  r.window = id;
  r.windowOffset = windowOffset;
  K().regionsEpoch.fetch_add(1, std::memory_order_release);
  return TRUE;
}

// --- register access of the driver kit ------------------------------------------

namespace {

// The register window a thread reached last, good while the regions have not
// changed since: a driver makes thousands of accesses to one or two windows
// between two changes, and the table's lock and walk cost a quarter of each.
struct RememberedWindow {
  uint32_t epoch = ~0u;
  uintptr_t base = 0, size = 0;
  int window = -1;
  uint32_t windowOffset = 0;
};
thread_local RememberedWindow t_window;

// The register window and offset behind an address of a VirtualCopy'd
// register window; false for plain memory.
bool RegisterAt(volatile ULONG* reg, int* window, unsigned* offset) {
  uintptr_t a = reinterpret_cast<uintptr_t>(reg);
  if (t_window.epoch == K().regionsEpoch.load(std::memory_order_acquire) && a - t_window.base < t_window.size) {
    *window = t_window.window;
    *offset = unsigned(a - t_window.base) + t_window.windowOffset;
    return true;
  }
  std::lock_guard<std::mutex> g(K().lock);
  int i = native::FindRegionContaining(a);
  if (i < 0 || K().regions[i].view || K().regions[i].window < 0) return false;
  const Region& r = K().regions[i];
  t_window.epoch = K().regionsEpoch.load(std::memory_order_relaxed);
  t_window.base = r.base;
  t_window.size = r.size;
  t_window.window = r.window;
  t_window.windowOffset = r.windowOffset;
  *window = r.window;
  *offset = unsigned(a - r.base) + r.windowOffset;
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
  if (waitBegins &&
      native::internal::FailHere(native::FailureKind::kHardwareWait,
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
  native::internal::WriteRegister(window, offset, value);
}

void PlatformFailVirtualCopyAt(unsigned int kernelAddress) {
  std::lock_guard<std::mutex> g(K().lock);
  K().failVirtualCopyAt = kernelAddress;
  K().failArmed = true;
}

int PlatformMappedWindowCount() {
  std::lock_guard<std::mutex> g(K().lock);
  int n = 0;
  for (const Region& r : K().regions)
    if (r.window >= 0) ++n;
  return n;
}

void PlatformResetHooks() {
  {
    std::lock_guard<std::mutex> g(K().lock);
    K().failArmed = false;
  }
  native::TamperNextWrite(native::RegisterTamper());
}

// --- the SoC's shared section and its views --------------------------------------

namespace native {
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

}  // namespace internal
}  // namespace native

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
