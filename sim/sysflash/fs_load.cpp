#include "sim/sysflash/fs_load.h"

#include <string.h>

#include <ceddk.h>

#include "bootarea/bootarea.h"
#include "flash/soc_nand.h"

namespace sim {
namespace {

const uint32_t kPagesPerBlock = 32;
const uint32_t kTocScanEnd = 100;

}  // namespace

bool FileSystemLoad::Start() {
  if (!flash_.FMD_Init()) return false;
  up_ = true;
  uint32_t total = flash_.Geometry.dwTotalBlocks;
  if (cfg_.sysdrvFirstBlock >= 0) {
    first_ = uint32_t(cfg_.sysdrvFirstBlock);
    count_ = cfg_.sysdrvBlockCount > 0 ? uint32_t(cfg_.sysdrvBlockCount) : 0;
  } else if (NandLocateTocAndEBoot(&flash_, 0)) {
    uint64_t areaEnd = uint64_t(flash_.dwBootFirstBlock) + (uint64_t(flash_.dwBootSectorCount) + 31) / 32;
    first_ = areaEnd < total ? uint32_t(areaEnd) : total;
  } else {
    first_ = kTocScanEnd + 1;
  }
  if (first_ > total) first_ = total;
  if (cfg_.sysdrvFirstBlock < 0 || uint64_t(first_) + count_ > total) count_ = total - first_;
  cursor_ = first_;
  return count_ > 0;
}

void FileSystemLoad::ResetChip() {
  if (!up_) return;
  volatile BYTE* regs = flash_.pNandRegs;
  volatile ULONG* ctrl = reinterpret_cast<volatile ULONG*>(regs + NAND_CTRL);
  volatile ULONG* xfer = reinterpret_cast<volatile ULONG*>(regs + NAND_XFER);
  volatile ULONG* event = reinterpret_cast<volatile ULONG*>(regs + NAND_EVENT);
  WRITE_REGISTER_ULONG(ctrl, NAND_CTRL_START);
  WRITE_REGISTER_ULONG(xfer, NAND_XFER_RESET);
  WRITE_REGISTER_ULONG(xfer, NAND_XFER_IDLE);
  WRITE_REGISTER_ULONG(reinterpret_cast<volatile ULONG*>(regs + NAND_MODE), NAND_MODE_COMMAND);
  WRITE_REGISTER_ULONG(reinterpret_cast<volatile ULONG*>(regs + NAND_ADDR_CYCLES), 0);
  WRITE_REGISTER_ULONG(event, EV_ALL);
  WRITE_REGISTER_ULONG(reinterpret_cast<volatile ULONG*>(regs + NAND_CMD), NAND_CMD_RESET);
  for (int i = 0; i < 100000 && !(READ_REGISTER_ULONG(event) & EV_READY); ++i) {
  }
  WRITE_REGISTER_ULONG(event, EV_READY);
}

void FileSystemLoad::Stop() {
  if (up_) flash_.FMD_Deinit();
  up_ = false;
}

void FileSystemLoad::Pattern(uint32_t sector, uint32_t generation, uint8_t* data) {
  uint32_t x = sector * 2654435761u ^ (generation + 1) * 40503u;
  for (int i = 0; i < 512; ++i) {
    x ^= x << 13;
    x ^= x >> 17;
    x ^= x << 5;
    data[i] = uint8_t(x);
  }
}

// Moves to the next good block of the region (wrapping) and erases it; what
// was written there before is forgotten.
bool FileSystemLoad::NextBlock() {
  for (uint32_t tries = 0; tries < count_; ++tries) {
    uint32_t candidate = cursor_;
    cursor_ = candidate + 1 < first_ + count_ ? candidate + 1 : first_;
    SectorInfo info;
    if (!flash_.FMD_ReadSector(candidate * kPagesPerBlock, NULL, &info, 1)) {
      ++n_.failures;
      continue;
    }
    ++n_.reads;
    if (info.bBadBlock != 0xFF) continue;
    for (uint32_t p = 0; p < kPagesPerBlock; ++p) written_.erase(candidate * kPagesPerBlock + p);
    ++n_.erases;
    if (!flash_.FMD_EraseBlock(candidate)) {
      ++n_.failures;
      continue;
    }
    block_ = candidate;
    nextPage_ = 0;
    ++generation_;
    return true;
  }
  return false;
}

void FileSystemLoad::WritePage() {
  uint32_t sector = block_ * kPagesPerBlock + nextPage_++;
  uint8_t data[512];
  Pattern(sector, generation_, data);
  SectorInfo info;
  info.dwReserved1 = sector;
  info.bOEMReserved = 0xFF;
  info.bBadBlock = 0xFF;
  info.wReserved2 = uint16_t(generation_);
  ++n_.writes;
  if (flash_.FMD_WriteSector(sector, data, &info, 1)) {
    written_[sector] = generation_;
  } else {
    ++n_.failures;
    written_.erase(sector);
  }
}

void FileSystemLoad::FinalCheck(uint32_t maxPages) {
  uint32_t n = uint32_t(written_.size()) < maxPages ? uint32_t(written_.size()) : maxPages;
  readCursor_ = 0;
  for (uint32_t i = 0; i < n; ++i) ReadBack();
}

void FileSystemLoad::ReadBack() {
  if (written_.empty()) return;
  std::map<uint32_t, uint32_t>::iterator it = written_.lower_bound(readCursor_);
  if (it == written_.end()) it = written_.begin();
  readCursor_ = it->first + 1;
  uint8_t got[512], want[512];
  SectorInfo info;
  ++n_.reads;
  if (!flash_.FMD_ReadSector(it->first, got, &info, 1)) {
    ++n_.failures;  // what it wrote can no longer be read (or the chip stopped answering)
    return;
  }
  Pattern(it->first, it->second, want);
  if (memcmp(got, want, sizeof(got)) != 0 || info.dwReserved1 != it->first || info.wReserved2 != uint16_t(it->second))
    ++n_.mismatches;
}

void FileSystemLoad::Step() {
  if (!up_ || count_ == 0) return;
  // Two writes to each read-back, as a file system writes more than it
  // re-reads; a full block moves on with an erase.
  if (++step_ % 3 == 0 && !written_.empty()) {
    ReadBack();
  } else if (nextPage_ >= kPagesPerBlock) {
    NextBlock();
  } else {
    WritePage();
  }
}

}  // namespace sim
