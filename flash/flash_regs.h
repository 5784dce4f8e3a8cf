// Register access inside the driver's windows, and the bounded polls.
//
// Offsets are added to the window's byte pointer, so a register address is
// always a typed pointer into the mapping (never an integer), right on the
// 32-bit device and on a 64-bit build alike.
#ifndef FLASH_FLASH_REGS_H
#define FLASH_FLASH_REGS_H

#include <windows.h>
#include <ceddk.h>

// Every wait on the controller, the DMA channel or the ID FIFO gives up after
// this many polls. A real chip answers a block erase, its slowest operation,
// within a few milliseconds, a small fraction of this bound even at one poll
// per microsecond. An unbounded poll would hang the updater with the flash bus
// held, and with it the system's own flash driver.
#define FLASH_POLL_LIMIT 0x100000u

inline volatile ULONG* FlashReg(volatile BYTE* pWindow, DWORD dwOffset) {
  return reinterpret_cast<volatile ULONG*>(pWindow + dwOffset);
}

inline ULONG FlashRead(volatile BYTE* pWindow, DWORD dwOffset) {
  return READ_REGISTER_ULONG(FlashReg(pWindow, dwOffset));
}

inline void FlashWrite(volatile BYTE* pWindow, DWORD dwOffset, ULONG dwValue) {
  WRITE_REGISTER_ULONG(FlashReg(pWindow, dwOffset), dwValue);
}

// Polls until (register & dwMask) is non-zero; 0 when the bound ran out.
inline BOOL FlashWaitSet(volatile BYTE* pWindow, DWORD dwOffset, ULONG dwMask) {
  for (DWORD dwPoll = 0; dwPoll < FLASH_POLL_LIMIT; ++dwPoll)
    if (FlashRead(pWindow, dwOffset) & dwMask) return 1;
  return 0;
}

// Polls until (register & dwMask) is zero; 0 when the bound ran out.
inline BOOL FlashWaitClear(volatile BYTE* pWindow, DWORD dwOffset, ULONG dwMask) {
  for (DWORD dwPoll = 0; dwPoll < FLASH_POLL_LIMIT; ++dwPoll)
    if ((FlashRead(pWindow, dwOffset) & dwMask) == 0) return 1;
  return 0;
}

#endif
