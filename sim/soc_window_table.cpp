// The SoC's six windows as both platforms decode them (the Win32 one for the
// programs under Wine, the native one for a single Linux process).
#include "flash/soc_windows.h"
#include "sim/soc.h"

namespace sim {

namespace {

const WindowDesc kWindows[WIN_COUNT] = {
    {DMA_REGS_VA, DMA_REGS_SIZE, false},
    {RESSHARE_REGS_VA, RESSHARE_REGS_SIZE, false},
    {EXTBOARD_REGS_VA, EXTBOARD_REGS_SIZE, false},
    {NAND_REGS_VA, NAND_REGS_SIZE, false},
    {DRIVER_GLOBALS_VA, DRIVER_GLOBALS_SIZE, true},
    {NAND_DMA_BUFFER_VA, NAND_DMA_BUFFER_SIZE, true},
};

}  // namespace

const WindowDesc& SocWindow(int id) { return kWindows[id >= 0 && id < WIN_COUNT ? id : 0]; }

int SocFindWindow(unsigned int address, unsigned int size) {
  for (int i = 0; i < WIN_COUNT; ++i) {
    const WindowDesc& w = kWindows[i];
    if (address >= w.address && size <= w.size && address - w.address <= w.size - size) return i;
  }
  return -1;
}

bool SocRegisterWindow(int id, unsigned int offset) {
  return id >= 0 && id < WIN_COUNT && !kWindows[id].memory && offset < kWindows[id].size;
}

}  // namespace sim
