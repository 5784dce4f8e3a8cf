// Boot loader area locator and writer.
//
// The boot loader (EBOOT) lives in a run of blocks whose position and size the
// TOC sector records. The TOC block is the first block among 1..100 whose first
// sector carries the boot spare record 00 00 00 00 FC 00 00 00; its sector 0
// holds "NTOC", the area's sector count at offset 60 and its first block at
// offset 176. Every access goes through the driver's sector and erase entry
// points, which take and release the flash bus per call, so the system's flash
// driver can run between any two of the steps here.
#include "bootarea/bootarea.h"

#include <pkfuncs.h>
#include <string.h>

namespace {

void SetBootSpareRecord(SectorInfo* pInfo) {
  pInfo->dwReserved1 = BOOT_SPARE_RESERVED1;
  pInfo->bOEMReserved = BOOT_SPARE_OEM_RESERVED;
  pInfo->bBadBlock = BOOT_SPARE_BAD_BLOCK;
  pInfo->wReserved2 = BOOT_SPARE_RESERVED2;
}

DWORD ReadLe32(const BYTE* p) { return (DWORD)p[0] | ((DWORD)p[1] << 8) | ((DWORD)p[2] << 16) | ((DWORD)p[3] << 24); }

// Sectors an image of dwBytes needs: the ceiling of dwBytes / 512.
DWORD SectorsFor(DWORD dwBytes) { return (dwBytes >> 9) + ((dwBytes & 0x1FF) ? 1 : 0); }

// A written sector is read back at most this many times for one read that
// the page code did not have to repair.
const DWORD kReadBackTries = 2;

// Blocks the area spans: the ceiling of dwSectors / 32.
DWORD BlocksFor(DWORD dwSectors) { return (dwSectors >> 5) + ((dwSectors & 0x1F) ? 1 : 0); }

}  // namespace

BOOL NandIsTocBlock(FlashContext* pFlash, DWORD dwBlock) {
  SectorInfo info;
  if (!pFlash->FMD_ReadSector(dwBlock * BOOT_SECTORS_PER_BLOCK, NULL, &info, 1)) return 0;
  return info.bBadBlock == BOOT_SPARE_BAD_BLOCK && info.bOEMReserved == BOOT_SPARE_OEM_RESERVED &&
         info.dwReserved1 == BOOT_SPARE_RESERVED1 && info.wReserved2 == BOOT_SPARE_RESERVED2;
}

BOOL NandLocateTocAndEBoot(FlashContext* pFlash, DWORD dwImageSize) {
  // The fixed 32 x 512 layout would probe, erase and write the wrong places
  // on a chip with 2048-byte sectors, so such a chip is refused before
  // anything is touched.
  if (pFlash->Geometry.dwBlockSectors != BOOT_SECTORS_PER_BLOCK || pFlash->Geometry.dwSectorBytes != BOOT_SECTOR_BYTES)
    return 0;

  DWORD dwBlock = TOC_SCAN_FIRST_BLOCK;
  while (dwBlock <= TOC_SCAN_LAST_BLOCK && !NandIsTocBlock(pFlash, dwBlock)) ++dwBlock;
  if (dwBlock > TOC_SCAN_LAST_BLOCK) return 0;
  pFlash->dwTocBlock = dwBlock;

  BYTE abSector[BOOT_SECTOR_BYTES];
  if (!pFlash->FMD_ReadSector(dwBlock * BOOT_SECTORS_PER_BLOCK, abSector, NULL, 1)) return 0;
  memcpy(pFlash->abTocSector, abSector, sizeof(abSector));

  const BYTE* pToc = pFlash->abTocSector;
  if (pToc[TOC_SIGNATURE_OFFSET] != TOC_SIGNATURE_0 || pToc[TOC_SIGNATURE_OFFSET + 1] != TOC_SIGNATURE_1 ||
      pToc[TOC_SIGNATURE_OFFSET + 2] != TOC_SIGNATURE_2 || pToc[TOC_SIGNATURE_OFFSET + 3] != TOC_SIGNATURE_3)
    return 0;

  pFlash->dwBootFirstBlock = ReadLe32(pToc + TOC_EBOOT_BLOCK_OFFSET);
  pFlash->dwBootSectorCount = ReadLe32(pToc + TOC_EBOOT_SECTORS_OFFSET);
  NKDbgPrintfW(L"NandLocateTocAndEBoot: Got EBOOT first block %x; Sector Size %d\r\n", pFlash->dwBootFirstBlock,
               pFlash->dwBootSectorCount);

  // A damaged TOC must not send the erase beyond the chip, nor (through
  // 32-bit wrap-around) onto the first blocks where the TOC itself lives:
  // the whole area has to lie inside the device. The sum is formed so that
  // it cannot overflow.
  DWORD dwAreaBlocks = BlocksFor(pFlash->dwBootSectorCount);
  DWORD dwTotalBlocks = pFlash->Geometry.dwTotalBlocks;
  if (pFlash->dwBootFirstBlock > dwTotalBlocks || dwAreaBlocks > dwTotalBlocks - pFlash->dwBootFirstBlock) return 0;

  return pFlash->dwTocBlock < pFlash->dwBootFirstBlock && pFlash->dwBootSectorCount >= SectorsFor(dwImageSize);
}

BOOL NandEraseEBoot(FlashContext* pFlash) {
  DWORD dwEnd = pFlash->dwBootFirstBlock + BlocksFor(pFlash->dwBootSectorCount);
  for (DWORD dwBlock = pFlash->dwBootFirstBlock; dwBlock < dwEnd; ++dwBlock) {
    NKDbgPrintfW(L"Erase block: 0x%x, total 0x%x\r\n", dwBlock, pFlash->Geometry.dwTotalBlocks);
    if (!pFlash->FMD_EraseBlock(dwBlock)) return 0;
  }
  return 1;
}

BOOL NandWriteEBootSector(FlashContext* pFlash, DWORD dwIndex, const BYTE* pData) {
  DWORD dwSector = pFlash->dwBootFirstBlock * BOOT_SECTORS_PER_BLOCK + dwIndex;
  SectorInfo info;
  SetBootSpareRecord(&info);
  if (!pFlash->FMD_WriteSector(dwSector, const_cast<BYTE*>(pData), &info, 1)) return 0;

  // The chip reports no program failure (no status is read), and a boot
  // loader written wrong bricks the device: read the sector back and compare
  // data and record with what was meant.
  //
  // The read-back must also need no help from the page code. The erase
  // reports no failure either: a block whose erase failed keeps its old
  // pages, and a sector programmed over one holds the new data ANDed with the
  // old. Where the two differ in a single bit, or a cell stayed 1, the code
  // repairs the bit on every read and the compare alone would pass, leaving
  // the loader with a wrong bit on the flash and no margin for the next one.
  // A read the code had to repair is taken once more: a bit that flipped on
  // its way out of the chip does not come back, a cell that holds the wrong
  // value does, on every read.
  BYTE abCheck[BOOT_SECTOR_BYTES];
  SectorInfo check;
  for (DWORD dwRead = 1;; ++dwRead) {
    DWORD dwRepairsBefore = pFlash->dwEccRepairs;
    if (!pFlash->FMD_ReadSector(dwSector, abCheck, &check, 1)) return 0;
    if (pFlash->dwEccRepairs == dwRepairsBefore) break;
    if (dwRead == kReadBackTries) return 0;
  }
  return memcmp(abCheck, pData, sizeof(abCheck)) == 0 && memcmp(&check, &info, sizeof(check)) == 0;
}
