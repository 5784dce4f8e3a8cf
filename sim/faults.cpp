#include "sim/faults.h"

#include <cstring>

#include "sim/fault_kinds.h"

namespace sim {

bool LoadSettings(FaultRec& rec, const NandConfig& cfg, uint64_t configHash) {
  memset(&rec, 0, sizeof(rec));
  rec.maker = cfg.maker;
  rec.device = cfg.device;
  rec.pageReadNs = cfg.pageReadNs;
  rec.programNs = cfg.programNs;
  rec.eraseNs = cfg.eraseNs;
  rec.byteNs = cfg.byteNs;
  rec.partialMain = cfg.partialMain;
  rec.partialSpare = cfg.partialSpare;
  rec.pollsToReady = cfg.pollsToReady;
  rec.configHash = configHash;
  bool all = true;
  for (const FaultKind& k : FaultKinds()) all &= k.load(rec, cfg);
  return all;
}

uint8_t Faults::OnRead(uint32_t sector, uint32_t byte, uint8_t value) {
  for (uint32_t i = 0; i < r_.readFlipCount; ++i) {
    ReadFlipRec& f = r_.readFlips[i];
    if (f.sector != sector || f.byte != byte) continue;
    if (f.count != 0 && f.used >= f.count) continue;
    ++f.used;
    value ^= uint8_t(1u << f.bit);
  }
  for (uint32_t i = 0; i < r_.stuckBitCount; ++i) {
    const StuckBitRec& s = r_.stuckBits[i];
    if (s.sector != sector || s.byte != byte) continue;
    value = s.value ? uint8_t(value | (1u << s.bit)) : uint8_t(value & ~(1u << s.bit));
  }
  return value;
}

bool Faults::TouchReads(uint32_t sector) const {
  for (uint32_t i = 0; i < r_.readFlipCount; ++i)
    if (r_.readFlips[i].sector == sector) return true;
  for (uint32_t i = 0; i < r_.stuckBitCount; ++i)
    if (r_.stuckBits[i].sector == sector) return true;
  return false;
}

void Faults::ForceStuck(uint32_t sector, uint8_t* rawPage) const {
  for (uint32_t i = 0; i < r_.stuckBitCount; ++i) {
    const StuckBitRec& s = r_.stuckBits[i];
    if (s.sector != sector || s.byte >= kRawPageBytes) continue;
    uint8_t& b = rawPage[s.byte];
    b = s.value ? uint8_t(b | (1u << s.bit)) : uint8_t(b & ~(1u << s.bit));
  }
}

bool Faults::ProgramWorks(uint32_t sector, uint8_t keepMask[kRawPageBytes]) const {
  memset(keepMask, 0, kRawPageBytes);
  for (uint32_t i = 0; i < r_.programFailCount; ++i) {
    const ProgramFailRec& p = r_.programFails[i];
    if (p.sector != sector) continue;
    if (p.wholePage) return false;
    if (p.byte < kRawPageBytes) keepMask[p.byte] |= uint8_t(1u << p.bit);
  }
  return true;
}

bool Faults::EraseWorks(uint32_t block) const {
  for (uint32_t i = 0; i < r_.eraseFailCount; ++i)
    if (r_.eraseFails[i] == block) return false;
  return true;
}

}  // namespace sim
