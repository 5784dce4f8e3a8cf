#include "sim/soc_model.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "flash/nand_format.h"
#include "flash/soc_dma.h"
#include "flash/soc_nand.h"
#include "flash/soc_ressh.h"
#include "sim/faults.h"

namespace sim {

SocModel::SocModel(SocState& s, uint8_t* image, uint64_t imageBytes)
    : s_(s),
      checker_(s.h),
      chip_(s, image, imageBytes, checker_),
      nand_(s, chip_, checker_),
      dma_(s, nand_, checker_) {}

bool SocModel::IsStatusRegister(uint32_t window, uint32_t offset) {
  offset &= ~3u;
  if (window == kRegNand) return offset == NAND_EVENT || offset == NAND_FIFO_STAT;
  if (window == kRegDma) return offset == DMA_STAT || offset == DMA_DRAIN;
  return false;
}

const char* SocModel::RegisterName(uint32_t window, uint32_t offset) {
  offset &= ~3u;
  if (window == kRegNand) return NandController::RegisterName(offset);
  if (window == kRegDma) {
    switch (offset) {
      case DMA_CH_BUF:
        return "DMA_CH_BUF";
      case DMA_CH_LEN:
        return "DMA_CH_LEN";
      case DMA_CH_EXT:
        return "DMA_CH_EXT";
      case DMA_CH_CTRL:
        return "DMA_CH_CTRL";
      case DMA_STAT:
        return "DMA_STAT";
      case DMA_DRAIN:
        return "DMA_DRAIN";
      default:
        return "DMA register";
    }
  }
  if (window == kRegResShare && offset == RS_PINMUX) return "RS_PINMUX";
  if (window == kRegExtBoard && offset == EXT_BOARD_CTRL) return "EXT_BOARD_CTRL";
  return "register";
}

void SocModel::Check(uint32_t window, uint32_t offset, bool write, uint32_t value, const Accessor& who) {
  checker_.SetAccessor(who.pid);
  if (window != kRegNand && window != kRegDma) return;
  bool onCamera = window == kRegNand && (s_.h.regs[kRegResShare][RS_PINMUX / 4] & RS_PINMUX_CAMERA);
  // The access is described only for a record: this runs on every access.
  if (who.holdsBus && !onCamera) return;
  char what[64];
  if (write)
    snprintf(what, sizeof(what), "%s write 0x%x", RegisterName(window, offset), value);
  else
    snprintf(what, sizeof(what), "%s read", RegisterName(window, offset));
  if (!who.holdsBus)
    checker_.Record(ViolationKind::kUnlocked, "%s without holding " FLASH_MUTEX_NAME_A " and " PIN_MUTEX_NAME_A, what);
  if (onCamera) checker_.Record(ViolationKind::kPinsOnCamera, "%s while RS_PINMUX gives the pins to the camera", what);
}

bool SocModel::KillDue(uint32_t window, const Accessor& who) {
  PowerRec& p = s_.h.power;
  if (!who.target || !who.holdsBus || (window != kRegNand && window != kRegDma)) return false;
  if (p.killAfterOps < 0 || p.killed != 0 || s_.h.chip.ops < uint64_t(p.killAfterOps)) return false;
  p.killed = who.pid;
  return true;
}

bool SocModel::HangWait(uint32_t window, uint32_t offset) {
  offset &= ~3u;
  if (window == kRegDma && offset == DMA_STAT) {
    dma_.Hang();
  } else if (window == kRegDma && offset == DMA_DRAIN) {
    dma_.HangDrain();
  } else if (window == kRegNand && offset == NAND_FIFO_STAT) {
    nand_.HangFifo();
  } else if (window == kRegNand && offset == NAND_EVENT) {
    nand_.LoseEvents(EV_ALL);
  } else {
    return false;
  }
  return true;
}

void SocModel::WaitForHardware() {
  if (s_.h.power.stuck) return;
  uint64_t until = std::max(nand_.BusyUntilNs(), dma_.BusyUntilNs());
  if (until > s_.h.clock.nowNs) s_.h.clock.nowNs = until;
}

uint32_t SocModel::Read32(uint32_t window, uint32_t offset, const Accessor& who) {
  if (PoweredOff() || window >= kRegWindows || offset >= kRegWindowWords * 4) return 0xFFFFFFFFu;
  s_.h.clock.nowNs += kRegisterAccessNs;
  Check(window, offset, false, 0, who);
  nand_.Settle();
  bool staleEvent = window == kRegNand && (offset & ~3u) == NAND_EVENT && nand_.StaleEventSet();
  bool status = IsStatusRegister(window, offset);
  if (status && pollWindow_ == window && pollOffset_ == (offset & ~3u) && pollPid_ == who.pid) {
    ++pollRun_;
  } else {
    pollWindow_ = status ? window : ~0u;
    pollOffset_ = offset & ~3u;
    pollPid_ = who.pid;
    pollRun_ = 1;
  }
  if (status && !staleEvent && pollRun_ > s_.h.faults.pollsToReady) WaitForHardware();
  nand_.Settle();
  switch (window) {
    case kRegNand:
      return nand_.Read(offset);
    case kRegDma:
      return dma_.Read(offset);
    default:
      return s_.h.regs[window][offset / 4];
  }
}

void SocModel::Write32(uint32_t window, uint32_t offset, uint32_t value, const Accessor& who) {
  if (PoweredOff() || window >= kRegWindows || offset >= kRegWindowWords * 4) return;
  if (who.pid == pollPid_) pollWindow_ = ~0u;
  s_.h.clock.nowNs += kRegisterAccessNs;
  Check(window, offset, true, value, who);
  nand_.Settle();
  switch (window) {
    case kRegNand:
      nand_.Write(offset, value);
      return;
    case kRegDma:
      dma_.Write(offset, value);
      return;
    default:
      s_.h.regs[window][offset / 4] = value;
      return;
  }
}

void PowerOnSoc(SocHeader& h) {
  memset(h.regs, 0, sizeof(h.regs));
  NandController::PowerOn(h.nand);
  DmaChannel::PowerOn(h.dma);
  NandChip::PowerOn(h.chip);
  h.power.poweredOff = 0;
  h.power.stuck = 0;
}

void InitializeSocState(SocState& s, const NandConfig& cfg, uint64_t configHash) {
  InitializeSocState(s, cfg, configHash, kMaxPages);
}

void InitializeSocState(SocState& s, const NandConfig& cfg, uint64_t configHash, uint32_t pages) {
  memset(&s.h, 0, sizeof(s.h));
  memset(s.partial, 0, size_t(std::min(pages, kMaxPages)) * sizeof(s.partial[0]));
  s.h.magic = kSocStateMagic;
  s.h.version = kSocStateVersion;
  PowerOnSoc(s.h);
  s.h.power.killAfterOps = -1;
  LoadSettings(s.h.faults, cfg, configHash);
}

void StartDeviceRun(SocHeader& h, const NandConfig* cfg, uint64_t configHash, bool clearRecord, int64_t killAfterOps) {
  if (h.power.poweredOff || h.power.stuck) PowerOnSoc(h);
  // Time passes between two runs: an operation that a killed program left the
  // chip busy with has finished by the time the next one starts.
  if (h.chip.readyAtNs != kNever && h.chip.readyAtNs > h.clock.nowNs) h.clock.nowNs = h.chip.readyAtNs;
  h.chip.ops = 0;
  memset(&h.hang, 0, sizeof(h.hang));
  ++h.power.runStarts;
  h.power.killAfterOps = killAfterOps;
  h.power.killed = 0;
  if (cfg) LoadSettings(h.faults, *cfg, configHash);
  if (clearRecord) memset(&h.checker, 0, sizeof(h.checker));
}

uint64_t ConfigHash(const std::string& text) {
  uint64_t hash = 1469598103934665603ull;
  for (unsigned char c : text) {
    hash ^= c;
    hash *= 1099511628211ull;
  }
  return hash == 0 ? 1 : hash;
}

}  // namespace sim
