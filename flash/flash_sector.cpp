// Sector read and write: runs of consecutive sectors, with their data, their
// SectorInfo records or both. The bus is held once around the whole run, so
// the system's flash driver runs between calls, never between the sectors of
// one call.
#include "flash/flash.h"

namespace {

const DWORD kRecordBytes = 8;

// A run must lie wholly inside the device: one that ran past the end would
// wrap in the chip's address cycles onto the first blocks, where the TOC
// lives. The test is written so that start + count cannot overflow. A context
// with no chip identified has no blocks and refuses every run.
BOOL IsRunInsideDevice(const FlashGeometry& g, DWORD dwStart, DWORD dwCount) {
  if (g.dwBlockSectors == 0 || dwStart / g.dwBlockSectors >= g.dwTotalBlocks) return 0;
  return dwCount <= g.dwTotalSectors && dwStart <= g.dwTotalSectors - dwCount;
}

}  // namespace

BOOL FlashContext::FMD_ReadSector(DWORD dwStartSector, BYTE* pSectorBuff, SectorInfo* pSectorInfoBuff,
                                  DWORD dwNumSectors) {
  if (!IsRunInsideDevice(Geometry, dwStartSector, dwNumSectors)) return 0;
  if (pSectorBuff == NULL && pSectorInfoBuff == NULL) return 0;

  if (!AcquireFlashBus()) return 0;
  BOOL bOk = 1;
  BYTE* pData = pSectorBuff;
  BYTE* pRecord = reinterpret_cast<BYTE*>(pSectorInfoBuff);
  for (DWORD i = 0; i < dwNumSectors && bOk; ++i) {
    SectorInfo* pInfo = reinterpret_cast<SectorInfo*>(pRecord);
    if (pData != NULL) {
      bOk = NandReadPage(dwStartSector + i, pData, pInfo);
      pData += Geometry.dwSectorBytes;
    } else {
      bOk = NandReadSpare(dwStartSector + i, pInfo);
    }
    if (pRecord != NULL) pRecord += kRecordBytes;
  }
  ReleaseFlashBus();
  return bOk;
}

BOOL FlashContext::FMD_WriteSector(DWORD dwStartSector, BYTE* pSectorBuff, SectorInfo* pSectorInfoBuff,
                                   DWORD dwNumSectors) {
  if (!IsRunInsideDevice(Geometry, dwStartSector, dwNumSectors)) return 0;
  if (pSectorBuff == NULL && pSectorInfoBuff == NULL) return 0;

  if (!AcquireFlashBus()) return 0;
  BOOL bOk = 1;
  const BYTE* pData = pSectorBuff;
  BYTE* pRecord = reinterpret_cast<BYTE*>(pSectorInfoBuff);
  for (DWORD i = 0; i < dwNumSectors && bOk; ++i) {
    const SectorInfo* pInfo = reinterpret_cast<const SectorInfo*>(pRecord);
    if (pData != NULL) {
      bOk = NandWritePage(dwStartSector + i, pData, pInfo);
      pData += Geometry.dwSectorBytes;
    } else {
      bOk = NandWriteSpare(dwStartSector + i, pInfo);
    }
    if (pRecord != NULL) pRecord += kRecordBytes;
  }
  ReleaseFlashBus();
  return bOk;
}
