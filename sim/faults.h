// Chip settings and injected faults, as the models consult them.
//
// Models: the part of nand.cfg that shapes the chip's behaviour (identity,
// timings, partial-program limits) and the media faults:
//  - read flips: a bit delivered inverted on the bus, the array unchanged;
//    COUNT reads of that byte, or every read (COUNT 0);
//  - stuck bits: a cell that always holds VALUE (reads show it, erase and
//    program cannot change it);
//  - program failures: a program of the page changes nothing (whole page), or
//    leaves one bit at 1; the chip reports FAIL in its status;
//  - erase failures: the erase leaves the block as it was (status FAIL);
//  - partial erases and read disturbs are acted on by the chip (nand_chip.cpp):
//    an erase that reports success but leaves one bit at 0, a bit that turns
//    to 0 in the array after N reads of its page;
//  - stuck ready and power loss after N chip operations are kept here as
//    settings and acted on by the chip (nand_chip.h).
// Faults come from nand.cfg (loaded at attach and at every program start) or
// are set by tests through LoadSettings; at most kMaxFaultsPerKind of each kind
// fit the record. nand.cfg refuses more; a test that passes more gets false.
#ifndef SIM_FAULTS_H
#define SIM_FAULTS_H

#include <cstdint>

#include "sim/nand_cfg.h"
#include "sim/soc_state.h"

namespace sim {

// Copies identity, timings, limits and faults from cfg (read-flip counters
// start again). False when a kind had more faults than the record holds.
bool LoadSettings(FaultRec& rec, const NandConfig& cfg, uint64_t configHash);

class Faults {
 public:
  explicit Faults(FaultRec& rec) : r_(rec) {}

  // The byte of raw page `sector` at `byte` as the bus delivers it now;
  // consumes one use of each counted read flip on it.
  uint8_t OnRead(uint32_t sector, uint32_t byte, uint8_t value);
  // Whether any read flip or stuck cell lies on raw page `sector` (false: its
  // bytes read as the page holds them).
  bool TouchReads(uint32_t sector) const;
  // Stuck cells of the page forced into the raw page bytes (after an erase or
  // a program changed the array).
  void ForceStuck(uint32_t sector, uint8_t* rawPage) const;
  // Program of `sector`: false when the whole page fails; otherwise *keepMask
  // gets, per byte, the bits that cannot be cleared (0 for most bytes).
  bool ProgramWorks(uint32_t sector, uint8_t keepMask[kRawPageBytes]) const;
  bool EraseWorks(uint32_t block) const;

 private:
  FaultRec& r_;
};

}  // namespace sim

#endif
