#include "sim/nand_ctrl.h"

#include <algorithm>
#include <cstring>

#include "flash/soc_nand.h"
#include "flash/soc_ressh.h"

namespace sim {

NandController::NandController(SocState& s, NandChip& chip, Checker& checker)
    : s_(s), n_(s.h.nand), chip_(chip), checker_(checker) {}

void NandController::PowerOn(NandCtrlRec& n) { memset(&n, 0, sizeof(n)); }

namespace {

uint32_t SetupBitOf(uint32_t offset) {
  switch (offset) {
    case NAND_MODE:
      return kSetupMode;
    case NAND_ADDR_CYCLES:
      return kSetupCycles;
    case NAND_COUNT:
      return kSetupCount;
    case NAND_ADDR:
      return kSetupAddr;
    case NAND_ADDR_HI:
      return kSetupAddrHi;
    case NAND_CMD:
      return kSetupCmd;
    case NAND_DMA_CFG:
      return kSetupDmaCfg;
    case NAND_AUX:
      return kSetupAux;
    default:
      return 0;
  }
}

const uint32_t kSetupOffsets[] = {NAND_MODE, NAND_ADDR_CYCLES, NAND_COUNT,   NAND_ADDR,
                                  NAND_ADDR_HI, NAND_CMD,     NAND_DMA_CFG, NAND_AUX};

// Page and spare transfers: the ones that carry a column and a row.
bool IsPageTransfer(uint32_t cmd) { return cmd == NAND_CMD_READ0 || cmd == NAND_CMD_READSPARE || cmd == NAND_CMD_SEQIN; }

const char* EventName(uint32_t bits) {
  if (bits & EV_READY) return "EV_READY";
  if (bits & EV_DMA_DONE) return "EV_DMA_DONE";
  if (bits & EV_FIFO_DONE) return "EV_FIFO_DONE";
  return "an event";
}

}  // namespace

const char* NandController::RegisterName(uint32_t offset) {
  switch (offset & ~3u) {
    case NAND_CTRL:
      return "NAND_CTRL";
    case NAND_ADDR_CYCLES:
      return "NAND_ADDR_CYCLES";
    case NAND_CMD:
      return "NAND_CMD";
    case NAND_ADDR:
      return "NAND_ADDR";
    case NAND_ADDR_HI:
      return "NAND_ADDR_HI";
    case NAND_EVENT:
      return "NAND_EVENT";
    case NAND_MODE:
      return "NAND_MODE";
    case NAND_COUNT:
      return "NAND_COUNT";
    case NAND_AUX:
      return "NAND_AUX";
    case NAND_DMA_CFG:
      return "NAND_DMA_CFG";
    case NAND_XFER:
      return "NAND_XFER";
    case NAND_FIFO_STAT:
      return "NAND_FIFO_STAT";
    case NAND_FIFO:
      return "NAND_FIFO";
    default:
      return "NAND register";
  }
}

bool NandController::ChipReached() const {
  return n_.chipEnabled != 0 && (s_.h.regs[kRegResShare][RS_PINMUX / 4] & RS_PINMUX_CAMERA) == 0;
}

void NandController::ChipCommand(uint8_t cmd) {
  if (ChipReached()) chip_.Command(cmd);
}

void NandController::ChipAddress(uint8_t byte) {
  if (ChipReached()) chip_.Address(byte);
}

uint8_t NandController::ChipRead() { return ChipReached() ? chip_.Read() : 0xFF; }

void NandController::ChipWrite(uint8_t byte) {
  if (ChipReached()) chip_.Write(byte);
}

void NandController::Raise(uint32_t bits, uint64_t atNs) {
  if (atNs == kNever) return;
  for (PendingEvent& p : n_.pending) {
    if (p.bits == 0) {
      p.bits = bits;
      p.pid = checker_.Accessor();
      p.atNs = atNs;
      return;
    }
  }
  // All slots taken: the oldest event is due first; deliver it now rather
  // than lose the new one.
  PendingEvent* first = &n_.pending[0];
  for (PendingEvent& p : n_.pending)
    if (p.atNs < first->atNs) first = &p;
  n_.events |= first->bits;
  first->bits = bits;
  first->pid = checker_.Accessor();
  first->atNs = atNs;
}

void NandController::RaiseFor(uint32_t cmd, uint32_t bits, uint64_t atNs) {
  const FaultRec& f = s_.h.faults;
  if (f.eventHangNth >= 0 && cmd == f.eventHangCommand && s_.h.hang.eventOps++ == uint64_t(f.eventHangNth)) return;
  Raise(bits, atNs);
}

void NandController::LoseEvents(uint32_t bits) {
  for (PendingEvent& p : n_.pending) p.bits &= ~bits;
  n_.events &= ~bits;
}

void NandController::HangFifo() {
  n_.fifoReadyAtNs = kNever;
  LoseEvents(EV_FIFO_DONE);
}

void NandController::Settle() {
  if (s_.h.power.stuck) return;
  for (PendingEvent& p : n_.pending) {
    if (p.bits != 0 && p.atNs <= s_.h.clock.nowNs) {
      n_.events |= p.bits;
      p.bits = 0;
    }
  }
}

bool NandController::StaleEventSet() const {
  for (const PendingEvent& p : n_.pending)
    if (p.bits & n_.events) return true;
  return false;
}

uint64_t NandController::BusyUntilNs() const {
  uint64_t until = 0;
  for (const PendingEvent& p : n_.pending)
    if (p.bits != 0) until = std::max(until, p.atNs);
  if (XferState(n_.xfer) == XferState::kRunning && n_.fifoReadyAtNs != kNever)
    until = std::max(until, n_.fifoReadyAtNs);
  if (chip_.ReadyAtNs() != kNever) until = std::max(until, chip_.ReadyAtNs());
  return until;
}

void NandController::SendCommandAndAddress(uint32_t cmd, bool secondByte) {
  uint64_t addr = (uint64_t(Reg(NAND_ADDR_HI)) << 32) | Reg(NAND_ADDR);
  uint32_t cycles = Reg(NAND_ADDR_CYCLES);
  if (cycles > 8) {
    checker_.Record(ViolationKind::kAddress, "NAND_ADDR_CYCLES %u: the controller sends at most 8", cycles);
    cycles = 8;
  }
  if (!n_.chipEnabled)
    checker_.Record(ViolationKind::kSequence,
                    "command 0x%x with CE# high: NAND_CTRL not written 0xFFFFFFFE since the last operation ended",
                    cmd & (secondByte ? 0xFFFFu : 0xFFu));
  ChipCommand(uint8_t(cmd));
  for (uint32_t i = 0; i < cycles; ++i) ChipAddress(uint8_t(addr >> (8 * i)));
  uint32_t n = 1 + cycles;
  if (secondByte) {
    ChipCommand(uint8_t(cmd >> 8));
    ++n;
  }
  s_.h.clock.nowNs += Cycles(n);
}

void NandController::RunCommandMode(uint32_t cmd) {
  bool two = (cmd & 0xFF00) != 0;
  SendCommandAndAddress(cmd, two);
  uint8_t last = uint8_t(two ? cmd >> 8 : cmd);
  // R/B# rising after these is what EV_READY reports.
  bool arrayOp = last == NAND_CMD_RESET || last == NAND_CMD_PROGRAM || last == 0xD0;
  if (arrayOp) {
    // R/B# rises once, when the chip is ready from all it was given: a
    // reset that aborts a program makes one edge, not two.
    for (PendingEvent& p : n_.pending) p.bits &= ~EV_READY;
    uint64_t ready = ChipReached() ? std::max(chip_.ReadyAtNs(), s_.h.clock.nowNs) : s_.h.clock.nowNs;
    RaiseFor(last, EV_READY, ready);
  }
  // The confirm is a program's or an erase's last cycle.
  if (last == NAND_CMD_PROGRAM || last == 0xD0) EndOperation();
}

void NandController::CheckSetup(uint32_t mode, uint32_t cmd) {
  if (mode == NAND_MODE_COMMAND) return;
  uint32_t needed = kSetupMode | kSetupCycles | kSetupCount | kSetupCmd;
  if (Reg(NAND_ADDR_CYCLES) != 0) needed |= kSetupAddr;
  if (IsPageTransfer(cmd)) needed |= kSetupAddrHi;
  if (mode == NAND_MODE_DMA_READ || mode == NAND_MODE_DMA_WRITE) needed |= kSetupDmaCfg;
  for (uint32_t offset : kSetupOffsets) {
    uint32_t bit = SetupBitOf(offset);
    if ((needed & bit) && !(n_.setupWritten & bit))
      checker_.Record(ViolationKind::kSequence, "NAND_XFER start (command 0x%x) with %s not written since the transfer reset",
                      cmd, RegisterName(offset));
  }
  if (IsPageTransfer(cmd) && Reg(NAND_ADDR_HI) != 0)
    checker_.Record(ViolationKind::kAddress, "NAND_ADDR_HI 0x%x for command 0x%x: a small-page address fits NAND_ADDR",
                    Reg(NAND_ADDR_HI), cmd);
  uint32_t aux = Reg(NAND_AUX);
  bool spareRead = mode == NAND_MODE_FIFO_READ && cmd == NAND_CMD_READSPARE;
  if (spareRead && aux != NAND_AUX_SPARE)
    checker_.Record(ViolationKind::kTransfer, "FIFO read of the spare area with NAND_AUX 0x%x: it takes 0x%x", aux,
                    NAND_AUX_SPARE);
  if (!spareRead && aux != 0)
    checker_.Record(ViolationKind::kTransfer,
                    "NAND_AUX 0x%x on a transfer in mode 0x%x with command 0x%x: only the spare read through the FIFO "
                    "sets it",
                    aux, mode, cmd);
}

bool NandController::CheckStart(uint32_t mode, uint32_t count, uint32_t cmd) {
  uint32_t cfg = Reg(NAND_DMA_CFG);
  switch (mode) {
    case NAND_MODE_FIFO_WRITE:
    case NAND_MODE_FIFO_READ: {
      bool write = mode == NAND_MODE_FIFO_WRITE;
      bool cmdFits = write ? cmd == NAND_CMD_SEQIN
                           : (cmd == NAND_CMD_READ0 || cmd == NAND_CMD_READSPARE || cmd == NAND_CMD_READID ||
                              cmd == NAND_CMD_STATUS);
      if (!cmdFits) {
        checker_.Record(ViolationKind::kTransfer, "FIFO %s (mode 0x%02x) with command 0x%x", write ? "write" : "read",
                        mode, cmd);
        return false;
      }
      if (count != 4 && count != 8) {
        checker_.Record(ViolationKind::kTransfer, "FIFO %s of NAND_COUNT 0x%x: the FIFO moves 4 or 8 bytes",
                        write ? "write" : "read", count);
        return false;
      }
      return true;
    }
    case NAND_MODE_DMA_WRITE:
    case NAND_MODE_DMA_READ: {
      bool write = mode == NAND_MODE_DMA_WRITE;
      uint32_t wantCmd = write ? NAND_CMD_SEQIN : NAND_CMD_READ0;
      uint32_t wantCount = write ? NAND_COUNT_PAGE_WRITE : NAND_COUNT_PAGE_READ;
      uint32_t wantCfg = write ? NAND_DMA_CFG_WRITE : NAND_DMA_CFG_READ;
      const char* what = write ? "DMA write (mode 0x04)" : "DMA read (mode 0x06)";
      if (cmd != wantCmd) {
        checker_.Record(ViolationKind::kTransfer, "%s with command 0x%x", what, cmd);
        return false;
      }
      if (count != wantCount) {
        checker_.Record(ViolationKind::kTransfer, "%s with NAND_COUNT 0x%x (it moves 0x%x)", what, count, wantCount);
        return false;
      }
      if (cfg != wantCfg) {
        checker_.Record(ViolationKind::kTransfer, "%s with NAND_DMA_CFG 0x%x (0x%x expected)", what, cfg, wantCfg);
        return false;
      }
      return true;
    }
    case NAND_MODE_COMMAND:
      checker_.Record(ViolationKind::kTransfer, "NAND_XFER start in command mode (command 0x%x ran on its write)", cmd);
      return false;
    default:
      checker_.Record(ViolationKind::kTransfer, "NAND_XFER start in unknown mode 0x%x", mode);
      return false;
  }
}

void NandController::Start() {
  if (XferState(n_.xfer) != XferState::kIdle)
    checker_.Record(ViolationKind::kSequence, "NAND_XFER start without a reset of the transfer logic (2, then 0)");
  uint32_t mode = Reg(NAND_MODE), count = Reg(NAND_COUNT), cmd = Reg(NAND_CMD);
  bool fits = CheckStart(mode, count, cmd);
  CheckSetup(mode, cmd & 0xFF);
  n_.xfer = uint32_t(XferState::kRunning);
  n_.mode = mode;
  n_.count = count;
  n_.done = 0;
  n_.fifoLen = n_.fifoPos = 0;
  n_.fifoReadyAtNs = s_.h.clock.nowNs;
  if (mode == NAND_MODE_COMMAND) return;  // nothing was prepared for a data phase
  SendCommandAndAddress(cmd & 0xFF, false);
  bool fifo = mode == NAND_MODE_FIFO_READ || mode == NAND_MODE_FIFO_WRITE;
  if (fits && fifo) {
    const FaultRec& f = s_.h.faults;
    uint64_t nth = s_.h.hang.fifoTransfers++;
    if (f.fifoHang >= 0 && nth == uint64_t(f.fifoHang)) {
      n_.fifoReadyAtNs = kNever;
      return;
    }
  }
  if (!fits || mode != NAND_MODE_FIFO_READ) return;
  // The controller clocks the bytes in once the chip has them ready.
  uint32_t n = std::min(count, kFifoBytes);
  uint64_t from = ChipReached() ? std::max(s_.h.clock.nowNs, chip_.ReadyAtNs()) : s_.h.clock.nowNs;
  // Without the spare select the FIFO gets no read strobes: it latches the
  // idle bus and the chip's bytes stay where they are.
  bool strobed = (cmd & 0xFF) != NAND_CMD_READSPARE || Reg(NAND_AUX) == NAND_AUX_SPARE;
  for (uint32_t i = 0; i < n; ++i) n_.fifo[i] = strobed ? ChipRead() : 0xFF;
  EndOperation();
  n_.fifoLen = n;
  n_.done = n;
  n_.fifoReadyAtNs = from == kNever ? kNever : from + Cycles(n);
  RaiseFor(cmd & 0xFF, EV_FIFO_DONE, n_.fifoReadyAtNs);
}

uint32_t NandController::FifoStat() const {
  bool running = XferState(n_.xfer) == XferState::kRunning;
  if (running && n_.mode == NAND_MODE_FIFO_WRITE) {
    // Data written by the processor sits in the FIFO until it is on the bus.
    bool drained = !s_.h.power.stuck && s_.h.clock.nowNs >= n_.fifoReadyAtNs;
    return drained ? FIFO_EMPTY : 0;
  }
  if (running && n_.mode == NAND_MODE_FIFO_READ) {
    bool arrived = !s_.h.power.stuck && s_.h.clock.nowNs >= n_.fifoReadyAtNs;
    return arrived && n_.fifoPos < n_.fifoLen ? 0 : FIFO_EMPTY;
  }
  return FIFO_EMPTY;
}

uint32_t NandController::PopFifo() {
  bool reading = XferState(n_.xfer) == XferState::kRunning && n_.mode == NAND_MODE_FIFO_READ;
  if (!reading || (FifoStat() & FIFO_EMPTY)) {
    checker_.Record(ViolationKind::kSequence, "NAND_FIFO read with the FIFO empty");
    return 0xFFFFFFFFu;
  }
  uint32_t word = 0;
  for (uint32_t i = 0; i < 4; ++i) {
    uint32_t b = n_.fifoPos < n_.fifoLen ? n_.fifo[n_.fifoPos++] : 0xFF;
    word |= b << (8 * i);
  }
  return word;
}

void NandController::PushFifo(uint32_t word) {
  bool writing = XferState(n_.xfer) == XferState::kRunning && n_.mode == NAND_MODE_FIFO_WRITE;
  if (!writing) {
    checker_.Record(ViolationKind::kSequence, "NAND_FIFO write 0x%08x outside a FIFO write transfer", word);
    return;
  }
  if (n_.done >= n_.count) {
    checker_.Record(ViolationKind::kTransfer, "NAND_FIFO write 0x%08x beyond NAND_COUNT 0x%x", word, n_.count);
    return;
  }
  uint32_t n = std::min(4u, n_.count - n_.done);
  // A hung FIFO holds its words: none of them reaches the chip.
  if (n_.fifoReadyAtNs != kNever)
    for (uint32_t i = 0; i < n; ++i) ChipWrite(uint8_t(word >> (8 * i)));
  n_.done += n;
  uint64_t from = std::max(s_.h.clock.nowNs, n_.fifoReadyAtNs);
  n_.fifoReadyAtNs = from == kNever ? kNever : from + Cycles(n);
}

bool NandController::DmaTransferStarted() const {
  return XferState(n_.xfer) == XferState::kRunning && (n_.mode == NAND_MODE_DMA_READ || n_.mode == NAND_MODE_DMA_WRITE);
}

uint64_t NandController::DmaDataPhase(bool toChip, uint8_t* buffer, uint32_t bytes) {
  uint32_t n = std::min(bytes, n_.count > n_.done ? n_.count - n_.done : 0u);
  uint64_t from = s_.h.clock.nowNs;
  if (toChip) {
    if (ChipReached()) chip_.WriteMany(buffer, n);
  } else if (ChipReached()) {
    from = std::max(from, chip_.ReadyAtNs());
    chip_.ReadMany(buffer, n);
    EndOperation();
  } else {
    memset(buffer, 0xFF, n);
    EndOperation();
  }
  n_.done += n;
  if (from == kNever || s_.h.power.stuck) return kNever;
  uint64_t end = from + Cycles(n);
  RaiseFor(Reg(NAND_CMD) & 0xFF, EV_DMA_DONE, end);
  return end;
}

uint32_t NandController::Read(uint32_t offset) {
  switch (offset) {
    case NAND_EVENT:
      Settle();
      return n_.events;
    case NAND_FIFO_STAT:
      return FifoStat();
    case NAND_FIFO:
      return PopFifo();
    default:
      return Reg(offset & ~3u);
  }
}

void NandController::Write(uint32_t offset, uint32_t value) {
  offset &= ~3u;
  switch (offset) {
    case NAND_EVENT:
      Settle();
      for (const PendingEvent& p : n_.pending) {
        // A hung chip's events never come: nothing is lost by clearing them.
        // Another process clearing them takes over from one that died in
        // the middle of its operation: that is recovery, not a late clear.
        if ((p.bits & value) && !s_.h.power.stuck && p.pid == checker_.Accessor()) {
          checker_.Record(ViolationKind::kSequence,
                          "NAND_EVENT write 0x%x clears %s of the operation under way: the clear belongs before the "
                          "command",
                          value, EventName(p.bits & value));
          break;
        }
      }
      n_.events &= ~value;
      return;
    case NAND_CTRL:
      Reg(offset) = value;
      n_.chipEnabled = value == NAND_CTRL_START;
      if (!n_.chipEnabled)
        checker_.Record(ViolationKind::kSequence, "NAND_CTRL 0x%x: an operation opens with 0x%x", value,
                        NAND_CTRL_START);
      return;
    case NAND_CMD:
      Reg(offset) = value;
      n_.setupWritten |= kSetupCmd;
      if (Reg(NAND_MODE) == NAND_MODE_COMMAND) RunCommandMode(value);
      return;
    case NAND_XFER:
      Reg(offset) = value;
      if (value == NAND_XFER_RESET) {
        n_.xfer = uint32_t(XferState::kResetting);
        n_.fifoLen = n_.fifoPos = n_.done = 0;
        n_.setupWritten = 0;
        Reg(NAND_AUX) = 0;
      } else if (value == NAND_XFER_IDLE) {
        if (XferState(n_.xfer) == XferState::kResetting) n_.xfer = uint32_t(XferState::kIdle);
      } else if (value == NAND_XFER_START) {
        Start();
      } else {
        checker_.Record(ViolationKind::kSequence, "NAND_XFER 0x%x: the transfer logic takes 2, 0 and 1", value);
      }
      return;
    case NAND_FIFO:
      PushFifo(value);
      return;
    case NAND_FIFO_STAT:
      return;  // read only
    default:
      Reg(offset) = value;
      n_.setupWritten |= SetupBitOf(offset);
      return;
  }
}

}  // namespace sim
