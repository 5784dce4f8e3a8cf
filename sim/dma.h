// DMA controller model: the channel that serves the NAND controller, in the
// "DMA Controller registers" window.
//
// Models the registers of flash/soc_dma.h:
//  - DMA_CH_CTRL bit 2 direction (set: memory to NAND controller), other bits
//    kept as written; DMA_CH_LEN in 32-bit words; DMA_CH_EXT kept;
//  - DMA_CH_BUF: the bus address of the buffer. Writing it arms the channel:
//    0x30003400 is the NAND DMA buffer window (its bytes live in soc.state),
//    and the channel moves the NAND controller's data phase between it and the
//    chip (nand_ctrl.h), ending with EV_DMA_DONE;
//  - DMA_STAT bit 4 busy while the armed transfer runs;
//  - DMA_DRAIN: write 1 after a read; reads 1 until the channel has put the
//    last bytes in memory, then 0.
//  - the descriptor: DMA_CH_CTRL, DMA_CH_LEN and DMA_CH_EXT are taken at the
//    arming write, so they are written before DMA_CH_BUF, and for each
//    transfer: DMA_CH_LEN is the channel's word counter and counts down to 0
//    as the words move, so a channel armed again without a fresh length moves
//    nothing; DMA_CH_EXT (the upper bus address bits) must be 0 for the
//    buffer. An arming with a descriptor register not written since the last
//    arming is recorded, naming it.
// Not modelled: other channels, chaining, interrupts, any buffer but the NAND
// DMA buffer.
// Checked (recorded): arming while busy or with no NAND DMA transfer started,
// a buffer address that is not the NAND DMA buffer, a direction or a length
// that does not fit the NAND transfer (read: 132 words, direction clear;
// write: 128 words, direction set), a stale descriptor, DMA_CH_EXT not 0.
// Faults: once the stuck-ready fault has struck, DMA_STAT stays busy and
// DMA_DRAIN stays 1. A hung transfer (fault.dma_hang, or Hang() on the
// transfer under way) moves nothing more and never ends: DMA_STAT stays busy
// and no EV_DMA_DONE comes, until the channel is armed again (arming a hung
// channel is how a driver recovers it, not a misuse). A hung drain
// (fault.drain_hang, or HangDrain()) reads 1 until the next drain request or
// arming.
#ifndef SIM_DMA_H
#define SIM_DMA_H

#include <cstdint>

#include "sim/checker.h"
#include "sim/nand_ctrl.h"
#include "sim/soc_state.h"

namespace sim {

// Bits of DmaRec::descWritten.
enum DescriptorBit : uint32_t {
  kDescCtrl = 1u << 0,
  kDescLen = 1u << 1,
  kDescExt = 1u << 2,
};

// Bits of DmaRec::hung.
enum DmaHang : uint32_t {
  kHungTransfer = 1u << 0,
  kHungDrain = 1u << 1,
};

enum class DmaState : uint32_t {
  kIdle = 0,  // nothing armed since power-on
  kArmed,     // an armed transfer runs or has run until doneAtNs
};

class DmaChannel {
 public:
  DmaChannel(SocState& s, NandController& nand, Checker& checker);

  uint32_t Read(uint32_t offset);
  void Write(uint32_t offset, uint32_t value);
  // Time at which the armed transfer ends (0 when none runs, kNever if never).
  uint64_t BusyUntilNs() const;

  // The transfer under way never ends; the drain under way never completes.
  void Hang();
  void HangDrain();

  static void PowerOn(DmaRec& d);

 private:
  uint32_t& Reg(uint32_t offset) { return s_.h.regs[kRegDma][offset / 4]; }
  bool Running() const;
  void Arm(uint32_t busAddress);

  SocState& s_;
  DmaRec& d_;
  NandController& nand_;
  Checker& checker_;
};

}  // namespace sim

#endif
