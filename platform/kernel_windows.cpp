// VirtualCopy on this machine, and the register access of the driver kit.
//
// On the handheld VirtualCopy points a reserved range of the process at a
// statically mapped kernel range, here one of the SoC's six windows. This
// stand-in decodes the same six addresses and nothing else:
//  - register windows get private committed pages; every access the driver
//    makes through READ_REGISTER_ULONG / WRITE_REGISTER_ULONG inside them is
//    routed to the device models, which see it as a bus cycle;
//  - memory windows (driver globals, NAND DMA buffer) become views of the
//    section that every process on the simulated device shares, so plain loads
//    and stores from the driver meet those of the other drivers, as physical
//    memory does.
// The driver gives the windows back with VirtualFree(p, 0, MEM_RELEASE), which
// the kernel accepts for both kinds. Win32 refuses it for a view, so this
// module also provides the process's VirtualFree entry: a view it mapped is
// unmapped, anything else goes to the system's VirtualFree unchanged.
#include <pkfuncs.h>
#include <ceddk.h>

#include <stdint.h>

#include "platform/test_hooks.h"
#include "sim/device.h"
#include "sim/soc.h"

namespace {

struct Mapping {
  uintptr_t base;         // first byte in this process
  uint32_t size;          // bytes mapped
  uint32_t windowOffset;  // offset of base within the window
  int window;             // sim::WindowId
  bool view;              // mapped section view (memory window)
};

const int kMaxMappings = 32;
Mapping g_maps[kMaxMappings];
int g_mapCount = 0;
unsigned int g_failAt = 0;
bool g_failArmed = false;

typedef BOOL(WINAPI* VirtualFreeFn)(LPVOID, SIZE_T, DWORD);

VirtualFreeFn SystemVirtualFree() {
  static VirtualFreeFn fn = (VirtualFreeFn)(void*)GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "VirtualFree");
  return fn;
}

int FindMappingAt(uintptr_t base) {
  for (int i = 0; i < g_mapCount; ++i)
    if (g_maps[i].base == base) return i;
  return -1;
}

int FindMappingContaining(uintptr_t addr) {
  for (int i = 0; i < g_mapCount; ++i)
    if (addr >= g_maps[i].base && addr - g_maps[i].base < g_maps[i].size) return i;
  return -1;
}

void RemoveMapping(int i) {
  g_maps[i] = g_maps[g_mapCount - 1];
  --g_mapCount;
}

BOOL WINAPI PlatformVirtualFree(LPVOID p, SIZE_T size, DWORD type) {
  int i = FindMappingAt((uintptr_t)p);
  if (i >= 0 && (type & MEM_RELEASE)) {
    BOOL ok = g_maps[i].view ? UnmapViewOfFile(p) : SystemVirtualFree()(p, 0, MEM_RELEASE);
    // The driver lets go of the controller: the checker's own handles on the
    // bus mutexes must not keep them alive after the driver closed its own.
    if (g_maps[i].window == sim::WIN_NAND_REGS) sim::SocDropBusHandles();
    RemoveMapping(i);
    return ok;
  }
  return SystemVirtualFree()(p, size, type);
}

}  // namespace

// The import slot through which every call to VirtualFree in this program goes.
extern "C" {
void* __imp_VirtualFree = (void*)&PlatformVirtualFree;
}

extern "C" BOOL VirtualCopy(LPVOID lpvDest, LPVOID lpvSrc, DWORD cbSize, DWORD fdwProtect) {
  (void)fdwProtect;
  uintptr_t src = (uintptr_t)lpvSrc;
  if (src > 0xFFFFFFFFu || cbSize == 0) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  int id = sim::SocFindWindow((unsigned int)src, cbSize);
  if (id < 0 || g_mapCount == kMaxMappings) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  const sim::WindowDesc& w = sim::SocWindow(id);
  if (g_failArmed && g_failAt == w.address) {
    g_failArmed = false;
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return FALSE;
  }
  MEMORY_BASIC_INFORMATION mbi;
  if (VirtualQuery(lpvDest, &mbi, sizeof(mbi)) == 0 || mbi.State != MEM_RESERVE || mbi.AllocationBase != lpvDest ||
      mbi.RegionSize < cbSize) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  if (!sim::SocAttach()) {
    SetLastError(ERROR_NOT_READY);
    return FALSE;
  }
  Mapping m;
  m.base = (uintptr_t)lpvDest;
  m.size = cbSize;
  m.windowOffset = (uint32_t)(src - w.address);
  m.window = id;
  m.view = w.memory;
  if (w.memory) {
    HANDLE section = NULL;
    unsigned long long offset = 0;
    SYSTEM_INFO si;
    GetSystemInfo(&si);
    if (!sim::SocMemoryWindow(id, &section, &offset) || m.windowOffset % si.dwAllocationGranularity != 0) {
      SetLastError(ERROR_INVALID_PARAMETER);
      return FALSE;
    }
    offset += m.windowOffset;
    SystemVirtualFree()(lpvDest, 0, MEM_RELEASE);
    void* view = MapViewOfFileEx(section, FILE_MAP_ALL_ACCESS, (DWORD)(offset >> 32), (DWORD)offset, cbSize, lpvDest);
    if (view != lpvDest) {
      if (view) UnmapViewOfFile(view);
      // Give the caller its reservation back so its own clean-up stays valid.
      VirtualAlloc(lpvDest, mbi.RegionSize, MEM_RESERVE, PAGE_NOACCESS);
      SetLastError(ERROR_NOT_ENOUGH_MEMORY);
      return FALSE;
    }
  } else if (VirtualAlloc(lpvDest, cbSize, MEM_COMMIT, PAGE_READWRITE) != lpvDest) {
    return FALSE;
  }
  g_maps[g_mapCount++] = m;
  return TRUE;
}

extern "C" ULONG READ_REGISTER_ULONG(volatile ULONG* Register) {
  int i = FindMappingContaining((uintptr_t)Register);
  if (i < 0 || g_maps[i].view) return *Register;
  const Mapping& m = g_maps[i];
  return sim::SocRead32(m.window, (unsigned int)((uintptr_t)Register - m.base) + m.windowOffset);
}

extern "C" void WRITE_REGISTER_ULONG(volatile ULONG* Register, ULONG Value) {
  int i = FindMappingContaining((uintptr_t)Register);
  if (i < 0 || g_maps[i].view) {
    *Register = Value;
    return;
  }
  const Mapping& m = g_maps[i];
  sim::SocWrite32(m.window, (unsigned int)((uintptr_t)Register - m.base) + m.windowOffset, Value);
}

void PlatformFailVirtualCopyAt(unsigned int kernelAddress) {
  g_failAt = kernelAddress;
  g_failArmed = true;
}

int PlatformMappedWindowCount() { return g_mapCount; }

void PlatformResetHooks() { g_failArmed = false; }
