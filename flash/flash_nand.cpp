// NAND controller transfers of one sector, and the block erase.
//
// Page layout: flash/nand_format.h (512 data bytes; spare 0-7 the record,
// spare 8-10 and 12-14 the codes of the two halves, 11 and 15 unused). A page is programmed in up to three operations: the data by DMA, then the
// eight ECC bytes at spare column 8, then the record at spare column 0 when
// the caller gives one. Spare bytes 0-7 of a page written without a record
// stay as the erase left them.
//
// The controller sends the low bytes of NAND_ADDR as address cycles, lowest
// first: sector * 256 + column for reads and programs, the block's first
// sector for the erase (no column byte).
//
// Every wait is bounded (FLASH_POLL_LIMIT). On time-out an operation returns 0
// at once; the sector entry points and the erase then release the bus on
// their way out, so a stuck controller fails the call instead of freezing the
// updater and, through the held bus, the system's flash driver.
#include "flash/flash.h"

#include "ecc/ecc.h"
#include "flash/flash_regs.h"
#include "flash/soc_dma.h"
#include "flash/soc_nand.h"
#include "flash/soc_windows.h"

namespace {

const DWORD kPageDataBytes = NAND_SECTOR_BYTES;
const DWORD kSpareEccColumn = SPARE_ECC_OFFSET;
const DWORD kSpareRecordBytes = SPARE_RECORD_BYTES;
// The spare bytes follow the data in the DMA buffer.
const DWORD kDmaSpareOffset = NAND_SECTOR_BYTES;
const DWORD kDmaEccOffset = NAND_SECTOR_BYTES + SPARE_ECC_OFFSET;
// The second half's code within the eight ECC bytes.
const DWORD kSecondCode = SPARE_ECC1_OFFSET - SPARE_ECC0_OFFSET;
const DWORD kMakerNeedsReset = 0xAD;  // parts of this maker want a reset before a program

BOOL IsWordAligned(const volatile void* p) { return (reinterpret_cast<UINT_PTR>(p) & 3) == 0; }

// The caller's buffer and the DMA buffer: two words per step when the buffer
// is word aligned (the processor faults on misaligned words), else bytes.
void CopyToDma(volatile BYTE* pDma, const BYTE* pData) {
  if (IsWordAligned(pData)) {
    FlashContext::CopyPageData(reinterpret_cast<volatile DWORD*>(pDma), reinterpret_cast<const DWORD*>(pData));
  } else {
    for (DWORD i = 0; i < kPageDataBytes; ++i) pDma[i] = pData[i];
  }
}

void CopyFromDma(BYTE* pData, volatile BYTE* pDma) {
  if (IsWordAligned(pData)) {
    FlashContext::CopyPageData(reinterpret_cast<DWORD*>(pData), reinterpret_cast<volatile DWORD*>(pDma));
  } else {
    for (DWORD i = 0; i < kPageDataBytes; ++i) pData[i] = pDma[i];
  }
}

// Runs the code of one half of the page in the DMA buffer: 0 when the half
// is beyond repair. A half the code had to act on (a data bit flipped back in
// place, or a stored code bit that is wrong) is counted in *pdwRepairs.
BOOL RepairHalf(BYTE* pHalf, const BYTE* pCode, DWORD* pdwRepairs) {
  int iResult = EccCorrect(pHalf, pCode);
  if (iResult == ECC_UNCORRECTABLE) return 0;
  if (iResult != ECC_NO_ERROR) ++*pdwRepairs;
  return 1;
}

}  // namespace

void FlashContext::CopyPageData(volatile DWORD* pDest, const volatile DWORD* pSrc) {
  for (DWORD i = 0; i < kPageDataBytes / 8; ++i) {
    pDest[0] = pSrc[0];
    pDest[1] = pSrc[1];
    pDest += 2;
    pSrc += 2;
  }
}

// Waits for one NAND_EVENT bit and acknowledges it.
BOOL FlashContext::NandWaitEvent(DWORD dwEvent) {
  if (!FlashWaitSet(pNandRegs, NAND_EVENT, dwEvent)) return 0;
  FlashWrite(pNandRegs, NAND_EVENT, dwEvent);
  return 1;
}

BOOL FlashContext::NandResetForMaker() {
  if (dwMakerCode != kMakerNeedsReset) return 1;
  FlashWrite(pNandRegs, NAND_MODE, NAND_MODE_COMMAND);
  FlashWrite(pNandRegs, NAND_ADDR_CYCLES, 0);
  FlashWrite(pNandRegs, NAND_CMD, NAND_CMD_RESET);
  return NandWaitEvent(EV_READY);
}

// The program confirm (0x10) that ends every program operation. Success is
// the chip's ready event; the status is not read.
BOOL FlashContext::NandProgramConfirm() {
  FlashWrite(pNandRegs, NAND_MODE, NAND_MODE_COMMAND);
  FlashWrite(pNandRegs, NAND_ADDR_CYCLES, 0);
  FlashWrite(pNandRegs, NAND_EVENT, EV_ALL);
  FlashWrite(pNandRegs, NAND_CMD, NAND_CMD_PROGRAM);
  return NandWaitEvent(EV_READY);
}

BOOL FlashContext::NandReadSpare(DWORD dwSector, SectorInfo* pInfo) {
  FlashWrite(pNandRegs, NAND_CTRL, NAND_CTRL_START);
  FlashWrite(pNandRegs, NAND_XFER, NAND_XFER_RESET);
  FlashWrite(pNandRegs, NAND_XFER, NAND_XFER_IDLE);
  FlashWrite(pNandRegs, NAND_MODE, NAND_MODE_FIFO_READ);
  FlashWrite(pNandRegs, NAND_ADDR_CYCLES, dwAddrCycles);
  FlashWrite(pNandRegs, NAND_COUNT, NAND_COUNT_SPARE);
  FlashWrite(pNandRegs, NAND_AUX, NAND_AUX_SPARE);
  FlashWrite(pNandRegs, NAND_ADDR_HI, 0);
  FlashWrite(pNandRegs, NAND_ADDR, dwSector * 256);
  FlashWrite(pNandRegs, NAND_EVENT, EV_ALL);
  FlashWrite(pNandRegs, NAND_CMD, NAND_CMD_READSPARE);
  FlashWrite(pNandRegs, NAND_XFER, NAND_XFER_START);
  if (!NandWaitEvent(EV_FIFO_DONE)) return 0;

  // The record is word aligned and filled by two word stores.
  DWORD* pWords = reinterpret_cast<DWORD*>(pInfo);
  pWords[0] = FlashRead(pNandRegs, NAND_FIFO);
  pWords[1] = FlashRead(pNandRegs, NAND_FIFO);
  return 1;
}

BOOL FlashContext::NandProgramSpareColumn(DWORD dwSector, DWORD dwColumn, const BYTE* pBytes) {
  FlashWrite(pNandRegs, NAND_CTRL, NAND_CTRL_START);
  if (!NandResetForMaker()) return 0;
  // Pointer to the spare area; it takes effect without a wait.
  FlashWrite(pNandRegs, NAND_MODE, NAND_MODE_COMMAND);
  FlashWrite(pNandRegs, NAND_ADDR_CYCLES, 0);
  FlashWrite(pNandRegs, NAND_CMD, NAND_CMD_READSPARE);

  FlashWrite(pNandRegs, NAND_XFER, NAND_XFER_RESET);
  FlashWrite(pNandRegs, NAND_XFER, NAND_XFER_IDLE);
  FlashWrite(pNandRegs, NAND_MODE, NAND_MODE_FIFO_WRITE);
  FlashWrite(pNandRegs, NAND_ADDR_CYCLES, dwAddrCycles);
  FlashWrite(pNandRegs, NAND_COUNT, NAND_COUNT_SPARE);
  FlashWrite(pNandRegs, NAND_ADDR_HI, 0);
  FlashWrite(pNandRegs, NAND_ADDR, dwSector * 256 + dwColumn);
  FlashWrite(pNandRegs, NAND_CMD, NAND_CMD_SEQIN);
  FlashWrite(pNandRegs, NAND_XFER, NAND_XFER_START);

  const DWORD* pWords = reinterpret_cast<const DWORD*>(pBytes);
  FlashWrite(pNandRegs, NAND_FIFO, pWords[0]);
  FlashWrite(pNandRegs, NAND_FIFO, pWords[1]);
  if (!FlashWaitSet(pNandRegs, NAND_FIFO_STAT, FIFO_EMPTY)) return 0;
  return NandProgramConfirm();
}

BOOL FlashContext::NandWriteSpare(DWORD dwSector, const SectorInfo* pInfo) {
  return NandProgramSpareColumn(dwSector, 0, reinterpret_cast<const BYTE*>(pInfo));
}

BOOL FlashContext::NandWriteEccSpare(DWORD dwSector, const BYTE* pBytes) {
  return NandProgramSpareColumn(dwSector, kSpareEccColumn, pBytes);
}

BOOL FlashContext::NandReadPage(DWORD dwSector, BYTE* pData, SectorInfo* pInfo) {
  if (pData == NULL) return pInfo != NULL && NandReadSpare(dwSector, pInfo);

  FlashWrite(pNandRegs, NAND_CTRL, NAND_CTRL_START);
  FlashWrite(pNandRegs, NAND_XFER, NAND_XFER_RESET);
  FlashWrite(pNandRegs, NAND_XFER, NAND_XFER_IDLE);
  FlashWrite(pNandRegs, NAND_MODE, NAND_MODE_DMA_READ);
  FlashWrite(pNandRegs, NAND_DMA_CFG, NAND_DMA_CFG_READ);
  FlashWrite(pNandRegs, NAND_ADDR_CYCLES, dwAddrCycles);
  FlashWrite(pNandRegs, NAND_ADDR_HI, 0);
  FlashWrite(pNandRegs, NAND_ADDR, dwSector * 256);
  FlashWrite(pNandRegs, NAND_COUNT, NAND_COUNT_PAGE_READ);
  FlashWrite(pNandRegs, NAND_EVENT, EV_ALL);
  FlashWrite(pNandRegs, NAND_CMD, NAND_CMD_READ0);
  FlashWrite(pNandRegs, NAND_XFER, NAND_XFER_START);

  // Channel direction: NAND controller to memory; the buffer write arms it.
  FlashWrite(pDmaRegs, DMA_CH_CTRL, FlashRead(pDmaRegs, DMA_CH_CTRL) & ~(ULONG)DMA_CTRL_TO_DEVICE);
  FlashWrite(pDmaRegs, DMA_CH_EXT, 0);
  FlashWrite(pDmaRegs, DMA_CH_LEN, DMA_LEN_READ);
  FlashWrite(pDmaRegs, DMA_CH_BUF, NAND_DMA_BUFFER_PA);
  if (!FlashWaitClear(pDmaRegs, DMA_STAT, DMA_STAT_BUSY)) return 0;
  if (!NandWaitEvent(EV_DMA_DONE)) return 0;
  // The buffer is read only once the channel has drained into memory.
  FlashWrite(pDmaRegs, DMA_DRAIN, 1);
  if (!FlashWaitClear(pDmaRegs, DMA_DRAIN, 0xFFFFFFFFu)) return 0;

  BYTE abEcc[SPARE_ECC_BYTES];
  for (DWORD i = 0; i < sizeof(abEcc); ++i) abEcc[i] = pDmaBuffer[kDmaEccOffset + i];
  // The DMA is complete, so the ECC may work on the buffer as plain memory;
  // a single bad data bit is corrected there, before the copy out.
  BYTE* pPage = const_cast<BYTE*>(pDmaBuffer);
  if (!RepairHalf(pPage, abEcc, &dwEccRepairs)) return 0;
  if (!RepairHalf(pPage + ECC_BLOCK_SIZE, abEcc + kSecondCode, &dwEccRepairs)) return 0;

  CopyFromDma(pData, pDmaBuffer);
  if (pInfo != NULL) {
    BYTE* pRecord = reinterpret_cast<BYTE*>(pInfo);
    for (DWORD i = 0; i < kSpareRecordBytes; ++i) pRecord[i] = pDmaBuffer[kDmaSpareOffset + i];
  }
  return 1;
}

BOOL FlashContext::NandWritePage(DWORD dwSector, const BYTE* pData, const SectorInfo* pInfo) {
  if (pData == NULL) return pInfo != NULL && NandWriteSpare(dwSector, pInfo);

  FlashWrite(pNandRegs, NAND_CTRL, NAND_CTRL_START);
  if (!NandResetForMaker()) return 0;
  CopyToDma(pDmaBuffer, pData);
  FlashWrite(pNandRegs, NAND_EVENT, EV_ALL);
  // Pointer to the data area; it takes effect without a wait.
  FlashWrite(pNandRegs, NAND_MODE, NAND_MODE_COMMAND);
  FlashWrite(pNandRegs, NAND_ADDR_CYCLES, 0);
  FlashWrite(pNandRegs, NAND_CMD, NAND_CMD_READ0);

  FlashWrite(pNandRegs, NAND_XFER, NAND_XFER_RESET);
  FlashWrite(pNandRegs, NAND_XFER, NAND_XFER_IDLE);
  FlashWrite(pNandRegs, NAND_MODE, NAND_MODE_DMA_WRITE);
  FlashWrite(pNandRegs, NAND_DMA_CFG, NAND_DMA_CFG_WRITE);
  FlashWrite(pNandRegs, NAND_ADDR_CYCLES, dwAddrCycles);
  FlashWrite(pNandRegs, NAND_ADDR_HI, 0);
  FlashWrite(pNandRegs, NAND_ADDR, dwSector * 256);
  FlashWrite(pNandRegs, NAND_COUNT, NAND_COUNT_PAGE_WRITE);
  FlashWrite(pNandRegs, NAND_CMD, NAND_CMD_SEQIN);
  FlashWrite(pNandRegs, NAND_XFER, NAND_XFER_START);

  // Channel direction: memory to NAND controller; the buffer write arms it.
  FlashWrite(pDmaRegs, DMA_CH_CTRL, FlashRead(pDmaRegs, DMA_CH_CTRL) | DMA_CTRL_TO_DEVICE);
  FlashWrite(pDmaRegs, DMA_CH_EXT, 0);
  FlashWrite(pDmaRegs, DMA_CH_LEN, DMA_LEN_WRITE);
  FlashWrite(pDmaRegs, DMA_CH_BUF, NAND_DMA_BUFFER_PA);
  if (!NandWaitEvent(EV_DMA_DONE)) return 0;
  if (!NandProgramConfirm()) return 0;

  // Bytes 3 and 7 (spare 11 and 15) carry nothing; 0xFF leaves their cells
  // erased.
  DWORD adwEcc[2] = {0xFFFFFFFFu, 0xFFFFFFFFu};
  BYTE* pEcc = reinterpret_cast<BYTE*>(adwEcc);
  EccGenerate(pData, pEcc);
  EccGenerate(pData + ECC_BLOCK_SIZE, pEcc + kSecondCode);
  if (!NandWriteEccSpare(dwSector, pEcc)) return 0;
  if (pInfo != NULL && !NandWriteSpare(dwSector, pInfo)) return 0;
  return 1;
}

BOOL FlashContext::FMD_EraseBlock(DWORD dwBlock) {
  if (dwBlock >= Geometry.dwTotalBlocks) return 0;

  if (!AcquireFlashBus()) return 0;
  FlashWrite(pNandRegs, NAND_CTRL, NAND_CTRL_START);
  FlashWrite(pNandRegs, NAND_EVENT, EV_ALL);
  FlashWrite(pNandRegs, NAND_MODE, NAND_MODE_COMMAND);
  FlashWrite(pNandRegs, NAND_ADDR_CYCLES, dwEraseAddrCycles);
  FlashWrite(pNandRegs, NAND_ADDR, dwBlock << Geometry.dwShiftBlockSectors);
  FlashWrite(pNandRegs, NAND_CMD, NAND_CMD_ERASE);
  BOOL bOk = NandWaitEvent(EV_READY);
  ReleaseFlashBus();
  return bOk;
}
