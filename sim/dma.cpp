#include "sim/dma.h"

#include <cstring>

#include "flash/soc_dma.h"
#include "flash/soc_nand.h"
#include "flash/soc_windows.h"

namespace sim {

DmaChannel::DmaChannel(SocState& s, NandController& nand, Checker& checker)
    : s_(s), d_(s.h.dma), nand_(nand), checker_(checker) {}

void DmaChannel::PowerOn(DmaRec& d) { memset(&d, 0, sizeof(d)); }

bool DmaChannel::Running() const {
  if (s_.h.power.stuck) return true;
  return DmaState(d_.state) == DmaState::kArmed && s_.h.clock.nowNs < d_.doneAtNs;
}

uint64_t DmaChannel::BusyUntilNs() const {
  return DmaState(d_.state) == DmaState::kArmed && d_.doneAtNs != kNever ? d_.doneAtNs : 0;
}

void DmaChannel::Hang() {
  d_.hung |= kHungTransfer;
  d_.doneAtNs = kNever;
  nand_.LoseEvents(EV_DMA_DONE);
}

void DmaChannel::HangDrain() { d_.hung |= kHungDrain; }

void DmaChannel::Arm(uint32_t busAddress) {
  if (Running() && !s_.h.power.stuck && !(d_.hung & kHungTransfer)) {
    checker_.Record(ViolationKind::kSequence, "DMA_CH_BUF written while the channel is still busy");
    return;
  }
  if (busAddress != NAND_DMA_BUFFER_PA) {
    checker_.Record(ViolationKind::kTransfer, "DMA_CH_BUF 0x%08x is not the NAND DMA buffer (0x%08x)", busAddress,
                    NAND_DMA_BUFFER_PA);
    return;
  }
  if (!nand_.DmaTransferStarted()) {
    checker_.Record(ViolationKind::kSequence, "DMA armed with no NAND DMA transfer started (NAND mode 0x%x)",
                    nand_.LatchedMode());
    return;
  }
  static const struct {
    uint32_t bit;
    const char* name;
  } kDescriptor[] = {{kDescCtrl, "DMA_CH_CTRL"}, {kDescLen, "DMA_CH_LEN"}, {kDescExt, "DMA_CH_EXT"}};
  for (const auto& d : kDescriptor) {
    if (!(d_.descWritten & d.bit))
      checker_.Record(ViolationKind::kSequence, "DMA_CH_BUF armed the channel with %s not written since the last arming",
                      d.name);
  }
  d_.descWritten = 0;
  if (Reg(DMA_CH_EXT) != 0)
    checker_.Record(ViolationKind::kTransfer, "DMA_CH_EXT 0x%x: the NAND DMA buffer's upper address bits are 0",
                    Reg(DMA_CH_EXT));
  bool toChip = (Reg(DMA_CH_CTRL) & DMA_CTRL_TO_DEVICE) != 0;
  bool nandWrites = nand_.LatchedMode() == NAND_MODE_DMA_WRITE;
  uint32_t words = Reg(DMA_CH_LEN);
  if (toChip != nandWrites)
    checker_.Record(ViolationKind::kTransfer, "DMA direction %s for a NAND DMA %s",
                    toChip ? "memory to NAND" : "NAND to memory", nandWrites ? "write" : "read");
  uint32_t wantWords = nandWrites ? DMA_LEN_WRITE : DMA_LEN_READ;
  if (words != wantWords)
    checker_.Record(ViolationKind::kTransfer, "DMA_CH_LEN %u words for a NAND DMA %s of 0x%x bytes (%u expected)",
                    words, nandWrites ? "write" : "read", nand_.LatchedCount(), wantWords);
  uint32_t bytes = words * 4;
  if (words > sizeof(s_.dmaBuffer) / 4) bytes = sizeof(s_.dmaBuffer);
  d_.state = uint32_t(DmaState::kArmed);
  d_.hung = 0;
  const FaultRec& f = s_.h.faults;
  uint64_t nth = s_.h.hang.dmaArmings++;
  if (f.dmaHang >= 0 && nth == uint64_t(f.dmaHang)) {
    // The channel never starts moving: no byte reaches the chip or memory.
    d_.hung = kHungTransfer;
    d_.doneAtNs = kNever;
    return;
  }
  d_.doneAtNs = nand_.DmaDataPhase(toChip, s_.dmaBuffer, bytes);
  Reg(DMA_CH_LEN) = 0;  // the word counter has run down
}

uint32_t DmaChannel::Read(uint32_t offset) {
  offset &= ~3u;
  switch (offset) {
    case DMA_STAT:
      return Running() ? DMA_STAT_BUSY : 0;
    case DMA_DRAIN:
      if (d_.drainRequested && (Running() || (d_.hung & kHungDrain))) return 1;
      d_.drainRequested = 0;
      return 0;
    default:
      return Reg(offset);
  }
}

void DmaChannel::Write(uint32_t offset, uint32_t value) {
  offset &= ~3u;
  switch (offset) {
    case DMA_CH_BUF:
      Reg(offset) = value;
      Arm(value);
      return;
    case DMA_DRAIN:
      if (value & 1) {
        d_.drainRequested = 1;
        d_.hung &= ~uint32_t(kHungDrain);
        const FaultRec& f = s_.h.faults;
        uint64_t nth = s_.h.hang.drains++;
        if (f.drainHang >= 0 && nth == uint64_t(f.drainHang)) d_.hung |= kHungDrain;
      }
      return;
    case DMA_STAT:
      return;  // read only
    case DMA_CH_CTRL:
      d_.descWritten |= kDescCtrl;
      break;
    case DMA_CH_LEN:
      d_.descWritten |= kDescLen;
      break;
    case DMA_CH_EXT:
      d_.descWritten |= kDescExt;
      break;
    default:
      break;
  }
  Reg(offset) = value;
}

}  // namespace sim
