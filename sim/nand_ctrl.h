// NAND controller model: the "Smart Media/NandFlash registers" window.
//
// Models the registers of flash/soc_nand.h:
//  - NAND_CMD: command byte in bits 0-7, and for a two-byte command (0xD060)
//    the byte sent after the address in bits 8-15. In command mode (0x10) a
//    write runs the command at once: command cycle, NAND_ADDR_CYCLES address
//    cycles taken from the low bytes of NAND_ADDR_HI:NAND_ADDR (low byte
//    first), then the second command byte. In the data modes the same cycles
//    run when NAND_XFER = 1 starts the transfer, followed by the data phase;
//  - data phases: 0x03 reads NAND_COUNT bytes from the chip into the FIFO
//    (EV_FIFO_DONE when they are in); 0x01 sends the words written to
//    NAND_FIFO to the chip (FIFO_EMPTY once they have gone out); 0x04 and 0x06
//    wait for the DMA channel (dma.h), which moves the data and raises
//    EV_DMA_DONE through this controller;
//  - NAND_EVENT: EV_READY when the chip finishes a reset, program or erase,
//    EV_DMA_DONE, EV_FIFO_DONE; writing 1 clears a bit;
//  - NAND_XFER: 2 then 0 resets the transfer logic (FIFO emptied, data phase
//    dropped), 1 starts the prepared transfer;
//  - NAND_FIFO_STAT bit 7 FIFO_EMPTY; NAND_FIFO, first bus byte in bits 0-7;
//  - NAND_CTRL: chip enable. Writing 0xFFFFFFFE opens an operation: bit 0 is
//    CE#, and clear drives it low. The controller lets CE# go high by itself once
//    the operation it was opened for has had its last cycle: the confirm of a
//    program (0x10) or an erase (0xD0), the last byte of a read's data phase
//    (FIFO or DMA). A reset (0xFF) or a pointer command (0x00, 0x50 without an
//    address) does not end it. Every operation therefore opens with its own
//    NAND_CTRL write, before its first cycle; a cycle with CE# high never
//    reaches the chip (reads see the pulled-up bus, 0xFF) and is recorded,
//    naming NAND_CTRL. Any other value leaves CE# high and is recorded.
//  - The transfer set-up registers NAND_MODE, NAND_ADDR_CYCLES, NAND_COUNT,
//    NAND_ADDR, NAND_ADDR_HI, NAND_CMD, NAND_DMA_CFG and NAND_AUX are undefined
//    after the transfer reset: a start uses only what was written after it.
//    The model keeps the old value (one of the values the hardware could
//    have) and records a start whose transfer needs a register not written
//    since the reset, naming it. Every start needs the mode, cycles, count,
//    address and command; page and spare transfers (0x00, 0x50, 0x80) latch
//    the whole address, NAND_ADDR_HI included, and need it 0 (a small-page
//    chip's address fits NAND_ADDR); DMA transfers need NAND_DMA_CFG.
//  - NAND_AUX: bit 5 (0x20) switches the FIFO read path to the chip's spare
//    area. The transfer reset clears it. A FIFO read of the spare area (0x50)
//    without it gets no read strobes: the FIFO latches 0xFF and the chip's
//    bytes stay where they are. Set on any other transfer it is recorded (the
//    data path would be the wrong one).
//  - Events: an event raised between the command and a clear that comes after
//    it would be wiped out with the clear. The model keeps it, but records a
//    NAND_EVENT write that clears the event of an operation still under way,
//    made by the process that started it: the clear belongs before the
//    command. (Another process clearing it is taking the bus over from one
//    that died in the middle of its operation.) An event bit left set from before
//    (no clear before the command) ends the wait at its first poll, while the
//    operation is still under way: the SoC does not let that poll skip ahead,
//    so what follows meets a busy chip or an empty FIFO.
// Time: every bus cycle takes timing.byte_ns on the simulated clock; events
// and FIFO contents appear at the simulated time the hardware would have
// them, and the SoC (soc_model.h) lets a polling CPU skip ahead to it.
// The shared pins: while RS_PINMUX bit 14 gives them to the camera the chip is
// not reached (no cycle gets to it, reads see 0xFF), the controller itself
// runs on.
// Checked (recorded, never refused): a start that does not follow a transfer
// reset; mode, count, command and DMA set-up that do not fit each other; the
// set-up, chip enable, spare select and event clear rules above; FIFO reads
// while empty, FIFO writes outside a FIFO write or beyond NAND_COUNT.
// Faults: once the stuck-ready fault has struck nothing signals any more (no
// event bit is raised, a read FIFO stays empty, a write FIFO never drains).
// Hangs of one operation: the Nth FIFO transfer of the run (fault.fifo_hang)
// never completes (a write's words never leave the FIFO for the chip, a read
// gets no data and no EV_FIFO_DONE); the event of the Nth operation with the
// command of fault.event_hang is never raised (the chip itself finishes). Both
// end with the transfer reset or the next operation; HangFifo() and
// LoseEvents() do the same to the operation under way.
#ifndef SIM_NAND_CTRL_H
#define SIM_NAND_CTRL_H

#include <cstdint>

#include "sim/checker.h"
#include "sim/nand_chip.h"
#include "sim/soc_state.h"

namespace sim {

// Bits of NandCtrlRec::setupWritten: the set-up registers written since the
// transfer reset.
enum SetupBit : uint32_t {
  kSetupMode = 1u << 0,
  kSetupCycles = 1u << 1,
  kSetupCount = 1u << 2,
  kSetupAddr = 1u << 3,
  kSetupAddrHi = 1u << 4,
  kSetupCmd = 1u << 5,
  kSetupDmaCfg = 1u << 6,
  kSetupAux = 1u << 7,
};

enum class XferState : uint32_t {
  kIdle = 0,   // transfer logic reset, ready for a start
  kResetting,  // NAND_XFER = 2 written, 0 expected
  kRunning,    // started; its data phase under way or finished
};

class NandController {
 public:
  NandController(SocState& s, NandChip& chip, Checker& checker);

  uint32_t Read(uint32_t offset);
  void Write(uint32_t offset, uint32_t value);

  // The DMA channel's side of a DMA data phase: moves up to `bytes` between
  // the chip and `buffer` (toChip: memory to NAND). Returns the simulated time
  // it ends, kNever when it never does.
  uint64_t DmaDataPhase(bool toChip, uint8_t* buffer, uint32_t bytes);
  bool DmaTransferStarted() const;
  uint32_t LatchedMode() const { return n_.mode; }
  uint32_t LatchedCount() const { return n_.count; }

  // Raises the events whose time has come.
  void Settle();
  // An event bit is set that an operation under way will raise again: a poll
  // of NAND_EVENT sees it at once, before that operation has finished.
  bool StaleEventSet() const;
  // Latest time at which something now under way (chip, FIFO, events) ends;
  // 0 when nothing is.
  uint64_t BusyUntilNs() const;

  // The FIFO transfer under way never completes; these events never come.
  void HangFifo();
  void LoseEvents(uint32_t bits);

  static void PowerOn(NandCtrlRec& n);
  static const char* RegisterName(uint32_t offset);

 private:
  uint32_t& Reg(uint32_t offset) { return s_.h.regs[kRegNand][offset / 4]; }
  bool ChipReached() const;
  void ChipCommand(uint8_t cmd);
  void ChipAddress(uint8_t byte);
  uint8_t ChipRead();
  void ChipWrite(uint8_t byte);
  uint64_t Cycles(uint32_t n) const { return uint64_t(n) * s_.h.faults.byteNs; }
  void SendCommandAndAddress(uint32_t cmd, bool secondByte);
  void RunCommandMode(uint32_t cmd);
  void Start();
  bool CheckStart(uint32_t mode, uint32_t count, uint32_t cmd);
  void CheckSetup(uint32_t mode, uint32_t cmd);
  void EndOperation() { n_.chipEnabled = 0; }
  void Raise(uint32_t bits, uint64_t atNs);
  // Raises the event of an operation started with `cmd`, unless it is the
  // one fault.event_hang loses.
  void RaiseFor(uint32_t cmd, uint32_t bits, uint64_t atNs);
  uint32_t FifoStat() const;
  uint32_t PopFifo();
  void PushFifo(uint32_t word);

  SocState& s_;
  NandCtrlRec& n_;
  NandChip& chip_;
  Checker& checker_;
};

}  // namespace sim

#endif
