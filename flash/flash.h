// Flash media driver: the driver's single state record and its operations.
//
// One FlashContext drives the on-board NAND chip through the SoC's NAND and
// DMA controllers, sharing the flash bus with the system's own flash driver
// through two named mutexes. Between FMD_Init and FMD_Deinit it owns the two
// mutex handles and six mapped hardware windows; every operation that touches
// the NAND controller takes the bus at its start and gives it back before it
// returns, so the bus is never held between two calls into the driver.
//
// Results are BOOL flags: 1 success, 0 failure.
#ifndef FLASH_FLASH_H
#define FLASH_FLASH_H

#include <windows.h>

#include "flash/nand_format.h"

// The 8-byte record in spare bytes 0-7 of every sector, little-endian
// (SPARE_RECORD_BYTES).
struct SectorInfo {
  DWORD dwReserved1;
  BYTE bOEMReserved;
  BYTE bBadBlock;
  WORD wReserved2;
};

// Chip geometry: three values from the chip table, the rest derived.
struct FlashGeometry {
  DWORD dwTotalBytes;  // data area only, spare bytes not counted
  DWORD dwTotalBlocks;
  DWORD dwTotalSectors;
  DWORD dwBlockBytes;
  DWORD dwBlockSectors;
  DWORD dwSectorBytes;
  DWORD dwRawPageBytes;  // one page with its spare area
  DWORD dwShiftBlockBytes;
  DWORD dwShiftBlockSectors;
  DWORD dwShiftSectorBytes;
};

class FlashContext {
 public:
  FlashContext();
  // Releases nothing: handles and windows go back only through FMD_Deinit,
  // which the owner calls.
  virtual ~FlashContext();

  // Chip identification and geometry (no hardware).
  BOOL LookupFlashChip(DWORD dwMaker, DWORD dwDevice);
  static void DeriveGeometry(FlashGeometry* pGeometry);

  // Windows, bus lock and lifecycle.
  static volatile BYTE* MapWindow(DWORD dwSize, DWORD dwAddress);
  BOOL FMD_Init();
  BOOL NandReadId();
  void FMD_Deinit();
  BOOL AcquireFlashBus();
  void ReleaseFlashBus();

  // Controller transfers of one sector; the caller holds the bus.
  BOOL NandReadSpare(DWORD dwSector, SectorInfo* pInfo);
  BOOL NandWriteSpare(DWORD dwSector, const SectorInfo* pInfo);
  BOOL NandWriteEccSpare(DWORD dwSector, const BYTE* pBytes);
  BOOL NandReadPage(DWORD dwSector, BYTE* pData, SectorInfo* pInfo);
  BOOL NandWritePage(DWORD dwSector, const BYTE* pData, const SectorInfo* pInfo);
  static void CopyPageData(volatile DWORD* pDest, const volatile DWORD* pSrc);

  // Entry points that take the bus themselves.
  BOOL FMD_EraseBlock(DWORD dwBlock);
  BOOL FMD_ReadSector(DWORD dwStartSector, BYTE* pSectorBuff, SectorInfo* pSectorInfoBuff, DWORD dwNumSectors);
  BOOL FMD_WriteSector(DWORD dwStartSector, BYTE* pSectorBuff, SectorInfo* pSectorInfoBuff, DWORD dwNumSectors);

  BYTE abTocSector[TOC_SECTOR_BYTES];
  DWORD dwTocBlock;
  DWORD dwBootFirstBlock;
  DWORD dwBootSectorCount;
  DWORD dwMakerCode;
  DWORD dwDeviceCode;
  // Halves of pages whose code had to act as they were read: a data bit
  // flipped back or a stored code bit found wrong. Counted from construction
  // and never reset; a caller compares it before and after a read to learn
  // whether the data it got needed the code (the read itself succeeds).
  DWORD dwEccRepairs;
  HANDLE hFlashMutex;
  HANDLE hPinMutex;
  FlashGeometry Geometry;
  DWORD dwAddrCycles;
  DWORD dwEraseAddrCycles;
  volatile BYTE* pDmaRegs;
  volatile BYTE* pResShareRegs;
  volatile BYTE* pExtBoardRegs;
  volatile BYTE* pNandRegs;
  volatile BYTE* pDriverGlobals;
  volatile BYTE* pDmaBuffer;

 private:
  BOOL NandResetForMaker();
  BOOL NandProgramConfirm();
  BOOL NandProgramSpareColumn(DWORD dwSector, DWORD dwColumn, const BYTE* pBytes);
  BOOL NandWaitEvent(DWORD dwEvent);

  FlashContext(const FlashContext&);
  FlashContext& operator=(const FlashContext&);
};

#endif
