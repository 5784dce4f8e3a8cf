// What the system's flash driver does with the chip while it holds the bus:
// a file system's traffic in a region of its own.
//
// The region is nand.cfg's sysdrv.region (FIRST:COUNT blocks), else every
// block after the boot area that the TOC names (after block 100 when there is
// no TOC). The load goes through the same flash driver the updater uses, so
// every chip access is a real register sequence under the bus lock: it erases
// a block before it writes into it, programs its pages one after the other
// with data of its own (a pattern of sector and generation, the sector number
// in the record), and in between reads back a page it wrote earlier and
// compares data and record. Factory bad blocks (bBadBlock not 0xFF in the
// block's first page) are skipped.
//
// Models nothing of a real file system's layout; what matters to the updater
// is that another driver programs, reads and erases the same chip between
// any two of its operations, and notices when its data was disturbed.
#ifndef SIM_SYSFLASH_FS_LOAD_H
#define SIM_SYSFLASH_FS_LOAD_H

#include <stdint.h>

#include <map>

#include "flash/flash.h"
#include "sim/nand_cfg.h"

namespace sim {

struct FileSystemCounts {
  uint64_t writes = 0, reads = 0, erases = 0;
  uint64_t mismatches = 0;  // a page read back differs from what was written
  uint64_t failures = 0;    // the driver reported an operation as failed
};

class FileSystemLoad {
 public:
  explicit FileSystemLoad(const NandConfig& cfg) : cfg_(cfg) {}
  // Brings the driver up and finds the region. The caller has created
  // "_FLASH_MUTEX_" (the driver requires it to exist) and holds no bus mutex.
  bool Start();
  void Stop();
  // One chip operation. The caller may hold the bus: the driver's own
  // acquisition then nests in it.
  void Step();
  // The flash mutex came abandoned: its owner died in the middle of an
  // operation, so the chip may still be busy with it or half-way through a
  // command. A reset (accepted even while busy) and a wait for ready put it
  // back in a known state before the next operation.
  void ResetChip();
  // Reads back the pages it wrote last (at most maxPages) and compares them.
  void FinalCheck(uint32_t maxPages);
  const FileSystemCounts& Counts() const { return n_; }
  uint32_t FirstBlock() const { return first_; }
  uint32_t BlockCount() const { return count_; }

 private:
  bool NextBlock();
  void WritePage();
  void ReadBack();
  static void Pattern(uint32_t sector, uint32_t generation, uint8_t* data);

  NandConfig cfg_;
  FlashContext flash_;
  bool up_ = false;
  uint32_t first_ = 0, count_ = 0;
  uint32_t cursor_ = 0;     // the next block to take (absolute)
  uint32_t block_ = 0;      // the block being written
  uint32_t nextPage_ = 32;  // next page of it to write; 32: needs a new block
  uint32_t generation_ = 0;
  uint32_t readCursor_ = 0;
  unsigned step_ = 0;
  std::map<uint32_t, uint32_t> written_;  // sector -> generation of its data
  FileSystemCounts n_;
};

}  // namespace sim

#endif
