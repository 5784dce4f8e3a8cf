// What the system's flash driver does with the chip while it holds the bus.
//
// Today nothing: the stand-in takes the bus and gives it back, which is what
// the updater's lock has to live with. The file-system load that keeps a
// region of the chip busy (reads, page writes, erases through the register
// sequences, with its own check of what it wrote) fills in Step(); the loop in
// sysflash.cpp calls it once per holding of the bus and reports its counts.
#ifndef SIM_SYSFLASH_FS_LOAD_H
#define SIM_SYSFLASH_FS_LOAD_H

#include <stdint.h>

#include "sim/nand_cfg.h"

namespace sim {

class FileSystemLoad {
 public:
  explicit FileSystemLoad(const NandConfig& cfg) : cfg_(cfg) {}
  // Called with both bus mutexes held. Returns the chip operations it made.
  uint32_t Step() { return 0; }
  uint64_t Mismatches() const { return 0; }

 private:
  NandConfig cfg_;
};

}  // namespace sim

#endif
