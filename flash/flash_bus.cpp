// Hardware windows, the flash bus lock and the driver's lifecycle.
//
// The flash bus is the NAND controller together with the pins it shares with
// the camera interface. The system's flash driver owns "_FLASH_MUTEX_" while it
// uses the chip; whatever switches the shared pins owns
// "PIN_MUX_CAM_NANDFLASH_MUTEX". The bus is ours while we hold both, taken in
// that order and given back in the reverse order.
#include "flash/flash.h"

#include <pkfuncs.h>

#include "flash/flash_regs.h"
#include "flash/soc_nand.h"
#include "flash/soc_ressh.h"
#include "flash/soc_windows.h"

namespace {

struct WindowSlot {
  volatile BYTE* FlashContext::*pField;
  DWORD dwAddress;
  DWORD dwSize;
};

// In mapping order; FMD_Deinit releases them in the reverse order.
const WindowSlot s_aWindows[] = {
    {&FlashContext::pDmaRegs, DMA_REGS_VA, DMA_REGS_SIZE},
    {&FlashContext::pResShareRegs, RESSHARE_REGS_VA, RESSHARE_REGS_SIZE},
    {&FlashContext::pExtBoardRegs, EXTBOARD_REGS_VA, EXTBOARD_REGS_SIZE},
    {&FlashContext::pNandRegs, NAND_REGS_VA, NAND_REGS_SIZE},
    {&FlashContext::pDriverGlobals, DRIVER_GLOBALS_VA, DRIVER_GLOBALS_SIZE},
    {&FlashContext::pDmaBuffer, NAND_DMA_BUFFER_VA, NAND_DMA_BUFFER_SIZE},
};

const DWORD s_dwWindowCount = sizeof(s_aWindows) / sizeof(s_aWindows[0]);

// The shadow word sits in memory shared with the system's drivers and carries
// no alignment guarantee, so it is moved a byte at a time, low byte first.
DWORD ReadLe32(volatile BYTE* p) {
  return (DWORD)p[0] | ((DWORD)p[1] << 8) | ((DWORD)p[2] << 16) | ((DWORD)p[3] << 24);
}

void WriteLe32(volatile BYTE* p, DWORD dwValue) {
  p[0] = (BYTE)dwValue;
  p[1] = (BYTE)(dwValue >> 8);
  p[2] = (BYTE)(dwValue >> 16);
  p[3] = (BYTE)(dwValue >> 24);
}

}  // namespace

volatile BYTE* FlashContext::MapWindow(DWORD dwSize, DWORD dwAddress) {
  SYSTEM_INFO si;
  GetSystemInfo(&si);
  DWORD dwOffset = dwAddress & (si.dwPageSize - 1);
  DWORD dwLength = dwSize + (dwOffset != 0 ? si.dwPageSize : 0);

  LPVOID pBase = VirtualAlloc(NULL, dwLength, MEM_RESERVE, PAGE_NOACCESS);
  if (pBase == NULL) return NULL;
  // The source is the kernel's statically mapped (virtual) address of the
  // block, so no physical-address flag is given.
  LPVOID pSource = reinterpret_cast<LPVOID>(static_cast<UINT_PTR>(dwAddress - dwOffset));
  if (!VirtualCopy(pBase, pSource, dwLength, PAGE_READWRITE | PAGE_NOCACHE)) {
    // The reservation is given back: a failed FMD_Init must leave nothing
    // behind, and the caller only ever sees the null result.
    VirtualFree(pBase, 0, MEM_RELEASE);
    return NULL;
  }
  return static_cast<volatile BYTE*>(pBase) + dwOffset;
}

BOOL FlashContext::FMD_Init() {
  for (DWORD i = 0; i < s_dwWindowCount; ++i) {
    const WindowSlot& w = s_aWindows[i];
    this->*w.pField = MapWindow(w.dwSize, w.dwAddress);
    if (this->*w.pField == NULL) {
      FMD_Deinit();
      return 0;
    }
  }

  // The system's flash driver creates this mutex; finding it new means that
  // driver is not running and the chip's state is not ours to assume.
  hFlashMutex = CreateMutexW(NULL, FALSE, FLASH_MUTEX_NAME);
  if (hFlashMutex == NULL || GetLastError() != ERROR_ALREADY_EXISTS) {
    NKDbgPrintfW(L"FMD: FMD_Init - Unable to create flash mutex\r\n");
    FMD_Deinit();
    return 0;
  }

  hPinMutex = CreateMutexW(NULL, FALSE, PIN_MUTEX_NAME);
  if (hPinMutex == NULL) {
    NKDbgPrintfW(L"FMD: FMD_Init - Unable to create pin mutex\r\n");
    FMD_Deinit();
    return 0;
  }

  if (!NandReadId()) {
    NKDbgPrintfW(L"FMD: FMD_Init - Unable to read flash ID\r\n");
    FMD_Deinit();
    return 0;
  }

  if (!LookupFlashChip(dwMakerCode, dwDeviceCode)) {
    FMD_Deinit();
    return 0;
  }
  return 1;
}

// Reads the maker and device codes. The FIFO wait is bounded: a chip that
// never answers fails the ID read (1 on success, 0 on time-out or when the
// bus cannot be had, codes then left as they were) instead of hanging with
// the bus held.
BOOL FlashContext::NandReadId() {
  if (!AcquireFlashBus()) return 0;
  FlashWrite(pNandRegs, NAND_CTRL, NAND_CTRL_START);
  FlashWrite(pNandRegs, NAND_XFER, NAND_XFER_RESET);
  FlashWrite(pNandRegs, NAND_XFER, NAND_XFER_IDLE);
  FlashWrite(pNandRegs, NAND_MODE, NAND_MODE_FIFO_READ);
  FlashWrite(pNandRegs, NAND_COUNT, NAND_COUNT_ID);
  FlashWrite(pNandRegs, NAND_ADDR_CYCLES, 1);
  FlashWrite(pNandRegs, NAND_ADDR, 0);
  FlashWrite(pNandRegs, NAND_CMD, NAND_CMD_READID);
  FlashWrite(pNandRegs, NAND_XFER, NAND_XFER_START);

  BOOL bOk = FlashWaitClear(pNandRegs, NAND_FIFO_STAT, FIFO_EMPTY);
  DWORD dwId = bOk ? FlashRead(pNandRegs, NAND_FIFO) : 0;
  ReleaseFlashBus();

  if (!bOk) return 0;
  dwMakerCode = dwId & 0xFF;
  dwDeviceCode = (dwId >> 8) & 0xFF;
  return 1;
}

void FlashContext::FMD_Deinit() {
  if (hPinMutex != NULL) {
    CloseHandle(hPinMutex);
    hPinMutex = NULL;
  }
  if (hFlashMutex != NULL) {
    CloseHandle(hFlashMutex);
    hFlashMutex = NULL;
  }
  for (DWORD i = s_dwWindowCount; i-- > 0;) {
    volatile BYTE*& p = this->*s_aWindows[i].pField;
    if (p != NULL) {
      VirtualFree(const_cast<BYTE*>(p), 0, MEM_RELEASE);
      p = NULL;
    }
  }
}

// 1 with both mutexes held. A wait that fails (WAIT_FAILED: the handle is
// not a mutex of ours any more) leaves that mutex with whoever has it, so
// the controller is not ours to drive: what was taken is given back and the
// operation fails without touching the hardware, instead of running over
// the system driver's transfer.
BOOL FlashContext::AcquireFlashBus() {
  if (WaitForSingleObject(hFlashMutex, INFINITE) == WAIT_FAILED) return 0;
  // An abandoned pin mutex is still ours: its previous owner died, perhaps
  // with the pins on the camera, so they are taken back just the same.
  DWORD dwWait = WaitForSingleObject(hPinMutex, INFINITE);
  if (dwWait == WAIT_FAILED) {
    ReleaseMutex(hFlashMutex);
    return 0;
  }
  ULONG dwPinMux = FlashRead(pResShareRegs, RS_PINMUX);
  FlashWrite(pResShareRegs, RS_PINMUX, dwPinMux & ~(ULONG)RS_PINMUX_CAMERA);
  // Lift the chip's write protect; the shared shadow keeps the other users'
  // bits of the write-only control register.
  volatile BYTE* pShadow = pDriverGlobals + EXT_BOARD_SHADOW;
  DWORD dwExt = ReadLe32(pShadow) & ~(DWORD)EXT_BOARD_NAND_WP;
  WriteLe32(pShadow, dwExt);
  FlashWrite(pExtBoardRegs, EXT_BOARD_CTRL, dwExt);
  return 1;
}

void FlashContext::ReleaseFlashBus() {
  ReleaseMutex(hPinMutex);
  ReleaseMutex(hFlashMutex);
}
