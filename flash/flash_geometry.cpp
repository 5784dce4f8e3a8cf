// Flash context and chip geometry: which chips the driver knows and what their
// maker and device codes mean in blocks, sectors and address cycles.
#include "flash/flash.h"

#include <pkfuncs.h>
#include <string.h>

namespace {

// JEDEC manufacturer codes of the makers whose parts are fitted. They all
// build the same small-page devices, so the maker selects nothing.
const DWORD s_adwMakers[] = {0x98, 0xAD, 0xEC};

struct FlashChip {
  DWORD dwDeviceCode;
  DWORD dwTotalBytes;
  DWORD dwShiftBlockBytes;
  DWORD dwShiftSectorBytes;
  DWORD dwAddrCycles;       // read and program: column byte plus page bytes
  DWORD dwEraseAddrCycles;  // erase: page bytes only
};

const FlashChip s_aChips[] = {
    {0x73, 0x01000000, 14, 9, 3, 2},   //  16 MiB
    {0x75, 0x02000000, 14, 9, 3, 2},   //  32 MiB
    {0x76, 0x04000000, 14, 9, 4, 3},   //  64 MiB
    {0x79, 0x08000000, 14, 9, 4, 3},   // 128 MiB
    {0xAA, 0x10000000, 17, 11, 5, 3},  // 256 MiB, 2048-byte pages
    {0xDA, 0x10000000, 17, 11, 5, 3},  // 256 MiB, 2048-byte pages
};

#define FLASH_COUNT_OF(a) (sizeof(a) / sizeof((a)[0]))

// 32-bit shifts that yield 0 for a count of 32 or more instead of leaving the
// result to the processor.
DWORD ShiftLeft(DWORD dwValue, DWORD dwCount) { return dwCount >= 32 ? 0 : dwValue << dwCount; }
DWORD ShiftRight(DWORD dwValue, DWORD dwCount) { return dwCount >= 32 ? 0 : dwValue >> dwCount; }

BOOL IsKnownMaker(DWORD dwMaker) {
  for (DWORD i = 0; i < FLASH_COUNT_OF(s_adwMakers); ++i)
    if (s_adwMakers[i] == dwMaker) return 1;
  return 0;
}

const FlashChip* FindChip(DWORD dwDevice) {
  for (DWORD i = 0; i < FLASH_COUNT_OF(s_aChips); ++i)
    if (s_aChips[i].dwDeviceCode == dwDevice) return &s_aChips[i];
  return NULL;
}

}  // namespace

// The chip fields and the geometry start at zero rather than undefined, so
// the identification lines print zeros when the first lookup fails.
FlashContext::FlashContext()
    : dwTocBlock(0),
      dwBootFirstBlock(0),
      dwBootSectorCount(0),
      dwMakerCode(0),
      dwDeviceCode(0),
      dwEccRepairs(0),
      hFlashMutex(NULL),
      hPinMutex(NULL),
      dwAddrCycles(0),
      dwEraseAddrCycles(0),
      pDmaRegs(NULL),
      pResShareRegs(NULL),
      pExtBoardRegs(NULL),
      pNandRegs(NULL),
      pDriverGlobals(NULL),
      pDmaBuffer(NULL) {
  memset(abTocSector, 0, sizeof(abTocSector));
  memset(&Geometry, 0, sizeof(Geometry));
}

FlashContext::~FlashContext() {}

void FlashContext::DeriveGeometry(FlashGeometry* pGeometry) {
  FlashGeometry& g = *pGeometry;
  g.dwShiftBlockSectors = g.dwShiftBlockBytes - g.dwShiftSectorBytes;
  g.dwBlockBytes = ShiftLeft(1, g.dwShiftBlockBytes);
  g.dwBlockSectors = ShiftLeft(1, g.dwShiftBlockSectors);
  g.dwSectorBytes = ShiftLeft(1, g.dwShiftSectorBytes);
  g.dwTotalBlocks = ShiftRight(g.dwTotalBytes, g.dwShiftBlockBytes);
  g.dwTotalSectors = ShiftRight(g.dwTotalBytes, g.dwShiftSectorBytes);
  g.dwRawPageBytes = g.dwSectorBytes == 512 ? 528 : 2112;
}

BOOL FlashContext::LookupFlashChip(DWORD dwMaker, DWORD dwDevice) {
  BOOL bFound = 0;
  const FlashChip* pChip = IsKnownMaker(dwMaker) ? FindChip(dwDevice) : NULL;
  if (pChip != NULL) {
    Geometry.dwTotalBytes = pChip->dwTotalBytes;
    Geometry.dwShiftBlockBytes = pChip->dwShiftBlockBytes;
    Geometry.dwShiftSectorBytes = pChip->dwShiftSectorBytes;
    dwAddrCycles = pChip->dwAddrCycles;
    dwEraseAddrCycles = pChip->dwEraseAddrCycles;
    DeriveGeometry(&Geometry);
    bFound = 1;
  }
  NKDbgPrintfW(L"FMD: FMD_Init - Got flash infomation\r\n");
  NKDbgPrintfW(L"Manufacture ID: 0x%x; Device ID: 0x%x\r\n", dwMaker, dwDevice);
  NKDbgPrintfW(L"Total Blocks: 0x%x; dwShiftBlockBytes: 0x%x; dwShiftBlockSectors: 0x%x\r\n", Geometry.dwTotalBlocks,
               Geometry.dwShiftBlockBytes, Geometry.dwShiftBlockSectors);
  return bFound;
}
