// The simulated SoC as the platform stand-ins see it: six windows at the
// kernel addresses the driver maps, registers served by the device models, and
// two memory windows (driver globals, NAND DMA buffer) backed by a section that
// every process on the device shares.
#ifndef SIM_SOC_H
#define SIM_SOC_H

#include <windows.h>

namespace sim {

enum WindowId {
  WIN_DMA_REGS = 0,
  WIN_RESSHARE_REGS,
  WIN_EXTBOARD_REGS,
  WIN_NAND_REGS,
  WIN_DRIVER_GLOBALS,
  WIN_NAND_DMA_BUFFER,
  WIN_COUNT
};

struct WindowDesc {
  unsigned int address;  // kernel virtual address
  unsigned int size;     // bytes
  bool memory;           // plain shared memory (true) or registers (false)
};

// The window table, indexed by WindowId, in the order the driver maps them.
const WindowDesc& SocWindow(int id);
// The window that holds [address, address + size), or -1.
int SocFindWindow(unsigned int address, unsigned int size);
// Whether offset lies inside register window id.
bool SocRegisterWindow(int id, unsigned int offset);

// Attaches the calling process to its device: the folder named by the
// environment variable DEVSIM_DEVICE, else the root of the current drive.
// Idempotent; false when there is no device there.
bool SocAttach();
// Tests: attach to a given folder (detaching from any other first).
bool SocAttachTo(const wchar_t* deviceDir);
void SocDetach();

// For a memory window: the section to map and the view offset (a multiple of
// the allocation granularity). Needs SocAttach.
bool SocMemoryWindow(int id, HANDLE* phSection, unsigned long long* pqwOffset);

// One 32-bit register access of the calling process (the protocol checker sees
// which process it is and which bus mutexes it holds).
unsigned int SocRead32(int id, unsigned int offset);
void SocWrite32(int id, unsigned int offset, unsigned int value);

}  // namespace sim

#endif
