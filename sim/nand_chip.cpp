#include "sim/nand_chip.h"

#include <algorithm>
#include <cstring>

#include "flash/soc_ressh.h"

namespace sim {

namespace {

const char* StateName(ChipState s) {
  switch (s) {
    case ChipState::kReady:
      return "ready";
    case ChipState::kAddress:
      return "address input";
    case ChipState::kDataOut:
      return "data output";
    case ChipState::kIdOut:
      return "ID output";
    case ChipState::kStatusOut:
      return "status output";
    case ChipState::kDataIn:
      return "data input";
    case ChipState::kEraseSetup:
      return "erase set-up";
    case ChipState::kHung:
      return "hung";
    case ChipState::kOff:
      return "off";
  }
  return "?";
}

}  // namespace

NandChip::NandChip(SocState& s, uint8_t* image, uint64_t imageBytes, Checker& checker)
    : s_(s),
      c_(s.h.chip),
      image_(image),
      imagePages_(imageBytes / kRawPageBytes),
      checker_(checker),
      faults_(s.h.faults),
      shape_(ChipShapeFor(s.h.faults.maker, s.h.faults.device)) {}

void NandChip::PowerOn(ChipRec& c) {
  uint64_t ops = c.ops;
  memset(&c, 0, sizeof(c));
  c.ops = ops;
  c.state = uint32_t(ChipState::kReady);
  c.pointer = uint32_t(ChipArea::kMain);
  memset(c.page, 0xFF, sizeof(c.page));
}

bool NandChip::Busy() const { return s_.h.clock.nowNs < c_.readyAtNs; }

uint32_t NandChip::RowBytes() const { return shape_.Pages() > 65536 ? 3 : 2; }

uint32_t NandChip::AddressCyclesFor(ChipCommand cmd) const {
  switch (cmd) {
    case ChipCommand::kReadId:
      return 1;
    case ChipCommand::kEraseSetup:
      return RowBytes();
    default:
      return 1 + RowBytes();
  }
}

bool NandChip::WriteProtected() const { return (s_.h.regs[kRegExtBoard][EXT_BOARD_CTRL / 4] & EXT_BOARD_NAND_WP) != 0; }

uint8_t NandChip::StatusByte() const {
  uint8_t st = uint8_t(c_.status & kStatusFail);
  if (!Busy()) st |= kStatusReady;
  if (!WriteProtected()) st |= kStatusNotProtected;
  return st;
}

uint8_t* NandChip::Page(uint32_t row) {
  if (row >= imagePages_) return nullptr;
  return image_ + uint64_t(row) * kRawPageBytes;
}

void NandChip::GoBusy(uint64_t ns) {
  c_.readyAtNs = s_.h.clock.nowNs + ns;
  s_.h.clock.chipBusyNs += ns;
}

namespace {

ChipOpObserver g_observer = nullptr;
void* g_observerContext = nullptr;

}  // namespace

void SetChipOpObserver(ChipOpObserver observer, void* context) {
  g_observer = observer;
  g_observerContext = context;
}

bool NandChip::StartOperation(ChipCommand cmd) {
  ++c_.ops;
  if (g_observer) {
    ChipOp op;
    op.command = cmd;
    bool paged = cmd != ChipCommand::kReset && cmd != ChipCommand::kReadId;
    op.row = paged ? c_.row : 0;
    op.column = cmd == ChipCommand::kProgram ? c_.dataStart : cmd == ChipCommand::kEraseConfirm || !paged ? 0 : c_.column;
    op.bytes = cmd == ChipCommand::kProgram ? c_.column - c_.dataStart : 0;
    op.index = c_.ops;
    g_observer(op, g_observerContext);
  }
  const FaultRec& f = s_.h.faults;
  if (f.powerLossAfter >= 0 && c_.ops > uint64_t(f.powerLossAfter)) {
    s_.h.power.poweredOff = 1;
    c_.state = uint32_t(ChipState::kOff);
    return false;
  }
  if (f.stuckReadyAfter >= 0 && c_.ops > uint64_t(f.stuckReadyAfter)) {
    s_.h.power.stuck = 1;
    c_.state = uint32_t(ChipState::kHung);
    c_.readyAtNs = kNever;
    return false;
  }
  return true;
}

void NandChip::Command(uint8_t cmd) {
  ChipState st = State();
  if (st == ChipState::kAddress) {
    // 0x00 or 0x50 without an address only moves the pointer.
    bool pointerOnly = c_.addrCount == 0 && (ChipCommand(c_.command) == ChipCommand::kRead0 ||
                                             ChipCommand(c_.command) == ChipCommand::kReadSpare);
    if (pointerOnly)
      c_.state = uint32_t(ChipState::kReady);
    else
      CloseAddress(true);
    st = State();
  }
  if (st == ChipState::kOff || st == ChipState::kHung) return;
  bool statusOrReset = cmd == uint8_t(ChipCommand::kStatus) || cmd == uint8_t(ChipCommand::kReset);
  if (Busy() && !statusOrReset) {
    checker_.Record(ViolationKind::kBusy, "command 0x%02x while the chip is busy (%llu ns to go)", cmd,
                    (unsigned long long)(c_.readyAtNs - s_.h.clock.nowNs));
    return;
  }
  if (shape_.largePage && cmd != uint8_t(ChipCommand::kReadId)) {
    checker_.Record(ViolationKind::kCommand, "command 0x%02x to a large-page chip (only its ID is read here)", cmd);
    return;
  }
  switch (ChipCommand(cmd)) {
    case ChipCommand::kRead0:
      c_.pointer = uint32_t(ChipArea::kMain);
      BeginAddress(ChipCommand::kRead0);
      return;
    case ChipCommand::kReadSpare:
      c_.pointer = uint32_t(ChipArea::kSpare);
      BeginAddress(ChipCommand::kReadSpare);
      return;
    case ChipCommand::kSerialIn:
      memset(c_.page, 0xFF, sizeof(c_.page));
      c_.dataInMain = c_.dataInSpare = 0;
      BeginAddress(ChipCommand::kSerialIn);
      return;
    case ChipCommand::kEraseSetup:
      BeginAddress(ChipCommand::kEraseSetup);
      return;
    case ChipCommand::kProgram:
      if (st != ChipState::kDataIn) {
        checker_.Record(ViolationKind::kSequence, "program confirm 0x10 without serial data input (chip %s)",
                        StateName(st));
        return;
      }
      Program();
      return;
    case ChipCommand::kEraseConfirm:
      if (st != ChipState::kEraseSetup) {
        checker_.Record(ViolationKind::kSequence, "erase confirm 0xD0 without 0x60 and a block (chip %s)",
                        StateName(st));
        return;
      }
      Erase();
      return;
    case ChipCommand::kStatus:
      c_.state = uint32_t(ChipState::kStatusOut);
      return;
    case ChipCommand::kReadId:
      BeginAddress(ChipCommand::kReadId);
      return;
    case ChipCommand::kReset:
      Reset();
      return;
  }
  checker_.Record(ViolationKind::kCommand, "unknown command 0x%02x", cmd);
}

void NandChip::BeginAddress(ChipCommand cmd) {
  c_.state = uint32_t(ChipState::kAddress);
  c_.command = uint32_t(cmd);
  c_.addrCount = 0;
  memset(c_.addr, 0, sizeof(c_.addr));
}

void NandChip::Address(uint8_t byte) {
  ChipState st = State();
  if (st == ChipState::kOff || st == ChipState::kHung) return;
  if (st != ChipState::kAddress) {
    checker_.Record(ViolationKind::kAddress, "address cycle 0x%02x not expected (chip %s)", byte, StateName(st));
    return;
  }
  c_.addr[c_.addrCount++] = byte;
  if (c_.addrCount == AddressCyclesFor(ChipCommand(c_.command))) AddressDone();
}

void NandChip::CloseAddress(bool shortAddress) {
  if (shortAddress)
    checker_.Record(ViolationKind::kAddress, "command 0x%02x took %u address cycles, the chip needs %u", c_.command,
                    c_.addrCount, AddressCyclesFor(ChipCommand(c_.command)));
  AddressDone();
}

void NandChip::AddressDone() {
  ChipCommand cmd = ChipCommand(c_.command);
  uint32_t first = cmd == ChipCommand::kEraseSetup ? 0 : 1;
  uint32_t row = 0;
  for (uint32_t i = first; i < first + RowBytes(); ++i) row |= uint32_t(c_.addr[i]) << (8 * (i - first));
  c_.row = row & uint32_t(shape_.Pages() - 1);
  bool spare = ChipArea(c_.pointer) == ChipArea::kSpare;
  c_.column = spare ? kPageDataBytes + (c_.addr[0] & 0x0F) : c_.addr[0];
  switch (cmd) {
    case ChipCommand::kRead0:
    case ChipCommand::kReadSpare:
      BeginRead();
      return;
    case ChipCommand::kSerialIn:
      c_.state = uint32_t(ChipState::kDataIn);
      c_.dataStart = c_.column;
      return;
    case ChipCommand::kEraseSetup:
      c_.row &= ~(shape_.pagesPerBlock - 1);
      c_.state = uint32_t(ChipState::kEraseSetup);
      return;
    case ChipCommand::kReadId:
      if (!StartOperation(ChipCommand::kReadId)) return;
      c_.idPos = 0;
      c_.idAddress = c_.addr[0];
      if (c_.idAddress != 0)
        checker_.Record(ViolationKind::kAddress, "READ ID address 0x%02x: only 0x00 reads the maker and device codes",
                        c_.idAddress);
      c_.state = uint32_t(ChipState::kIdOut);
      return;
    default:
      c_.state = uint32_t(ChipState::kReady);
      return;
  }
}

void NandChip::BeginRead() {
  if (!StartOperation(ChipCommand(c_.command))) return;
  uint8_t* p = Page(c_.row);
  // Read disturb: the page reads right `reads` times; the last of those
  // reads leaves the cell with charge enough to read as 0, in the array
  // itself, until the block is erased (reads 0: before the first read).
  FaultRec& f = s_.h.faults;
  auto disturb = [&](bool afterRead) {
    for (uint32_t i = 0; i < f.readDisturbCount && p; ++i) {
      ReadDisturbRec& d = f.readDisturbs[i];
      if (d.sector != c_.row || d.byte >= kRawPageBytes) continue;
      if (afterRead ? ++d.seen == d.reads : d.reads == 0) p[d.byte] = uint8_t(p[d.byte] & ~(1u << d.bit));
    }
  };
  disturb(false);
  if (p)
    memcpy(c_.page, p, kRawPageBytes);
  else
    memset(c_.page, 0xFF, kRawPageBytes);
  disturb(true);
  c_.state = uint32_t(ChipState::kDataOut);
  GoBusy(s_.h.faults.pageReadNs);
}

uint8_t NandChip::Read() {
  ChipState st = State();
  if (st == ChipState::kAddress) {
    CloseAddress(true);
    st = State();
  }
  switch (st) {
    case ChipState::kDataOut: {
      uint32_t col = c_.column++;
      if (col < kRawPageBytes) return faults_.OnRead(c_.row, col, c_.page[col]);
      if (col == kRawPageBytes) checker_.Record(ViolationKind::kAddress, "read past the end of sector %u", c_.row);
      return 0xFF;
    }
    case ChipState::kIdOut: {
      const uint8_t id[4] = {uint8_t(s_.h.faults.maker), uint8_t(s_.h.faults.device), 0x5A,
                             uint8_t(shape_.largePage ? 0x15 : 0x3C)};
      if (c_.idAddress != 0) return 0xFF;
      return id[c_.idPos++ % 4];
    }
    case ChipState::kStatusOut:
      return StatusByte();
    case ChipState::kOff:
    case ChipState::kHung:
      return 0xFF;
    default:
      checker_.Record(ViolationKind::kSequence, "read cycle with nothing to give (chip %s)", StateName(st));
      return 0xFF;
  }
}

void NandChip::Write(uint8_t byte) {
  ChipState st = State();
  if (st == ChipState::kAddress) {
    CloseAddress(true);
    st = State();
  }
  if (st == ChipState::kOff || st == ChipState::kHung) return;
  if (st != ChipState::kDataIn) {
    checker_.Record(ViolationKind::kSequence, "data input cycle without 0x80 (chip %s)", StateName(st));
    return;
  }
  uint32_t col = c_.column++;
  if (col >= kRawPageBytes) {
    if (col == kRawPageBytes) checker_.Record(ViolationKind::kAddress, "data input past the end of sector %u", c_.row);
    return;
  }
  c_.page[col] = byte;
  if (col < kPageDataBytes)
    c_.dataInMain = 1;
  else
    c_.dataInSpare = 1;
}

void NandChip::ReadMany(uint8_t* out, uint32_t n) {
  uint32_t i = 0;
  if (n != 0 && State() == ChipState::kAddress) CloseAddress(true);
  if (State() == ChipState::kDataOut && c_.column < kRawPageBytes && !faults_.TouchReads(c_.row)) {
    i = std::min(n, kRawPageBytes - c_.column);
    memcpy(out, c_.page + c_.column, i);
    c_.column += i;
  }
  for (; i < n; ++i) out[i] = Read();
}

void NandChip::WriteMany(const uint8_t* in, uint32_t n) {
  uint32_t i = 0;
  if (n != 0 && State() == ChipState::kAddress) CloseAddress(true);
  if (n != 0 && State() == ChipState::kDataIn && c_.column < kRawPageBytes) {
    i = std::min(n, kRawPageBytes - c_.column);
    memcpy(c_.page + c_.column, in, i);
    if (c_.column < kPageDataBytes) c_.dataInMain = 1;
    if (c_.column + i > kPageDataBytes) c_.dataInSpare = 1;
    c_.column += i;
  }
  for (; i < n; ++i) Write(in[i]);
}

void NandChip::Program() {
  if (!StartOperation(ChipCommand::kProgram)) return;
  c_.state = uint32_t(ChipState::kReady);
  if (WriteProtected()) {
    checker_.Record(ViolationKind::kWriteProtect, "program of sector %u while write protect is asserted", c_.row);
    c_.status = kStatusFail;
    return;
  }
  uint8_t* counts = s_.partial[c_.row % kMaxPages];
  const FaultRec& f = s_.h.faults;
  if (c_.dataInMain && counts[0] < 0xFF && ++counts[0] > f.partialMain)
    checker_.Record(ViolationKind::kPartialProgram,
                    "sector %u data area programmed %u times since its erase (limit %u)", c_.row, counts[0],
                    f.partialMain);
  if (c_.dataInSpare && counts[1] < 0xFF && ++counts[1] > f.partialSpare)
    checker_.Record(ViolationKind::kPartialProgram,
                    "sector %u spare area programmed %u times since its erase (limit %u)", c_.row, counts[1],
                    f.partialSpare);
  GoBusy(f.programNs);
  uint8_t* p = Page(c_.row);
  uint8_t keep[kRawPageBytes];
  if (!p || !faults_.ProgramWorks(c_.row, keep)) {
    c_.status = kStatusFail;
    return;
  }
  bool failed = false;
  for (uint32_t i = 0; i < kRawPageBytes; ++i) {
    uint8_t want = uint8_t(p[i] & c_.page[i]);
    uint8_t got = uint8_t(want | (p[i] & keep[i]));
    failed |= got != want;
    p[i] = got;
  }
  faults_.ForceStuck(c_.row, p);
  c_.status = failed ? kStatusFail : 0;
}

void NandChip::Erase() {
  if (!StartOperation(ChipCommand::kEraseConfirm)) return;
  c_.state = uint32_t(ChipState::kReady);
  uint32_t block = c_.row / shape_.pagesPerBlock;
  if (WriteProtected()) {
    checker_.Record(ViolationKind::kWriteProtect, "erase of block %u while write protect is asserted", block);
    c_.status = kStatusFail;
    return;
  }
  GoBusy(s_.h.faults.eraseNs);
  if (!faults_.EraseWorks(block) || !Page(c_.row)) {
    c_.status = kStatusFail;
    return;
  }
  for (uint32_t i = 0; i < shape_.pagesPerBlock; ++i) {
    uint32_t row = c_.row + i;
    uint8_t* p = Page(row);
    if (!p) break;
    memset(p, 0xFF, kRawPageBytes);
    faults_.ForceStuck(row, p);
    // A partial erase: the chip reports the erase done, but a cell kept
    // charge enough to read as 0. A disturbed cell starts afresh.
    FaultRec& f = s_.h.faults;
    for (uint32_t j = 0; j < f.partialEraseCount; ++j) {
      const PartialEraseRec& e = f.partialErases[j];
      if (e.block == block && e.page == i && e.byte < kRawPageBytes) p[e.byte] = uint8_t(p[e.byte] & ~(1u << e.bit));
    }
    for (uint32_t j = 0; j < f.readDisturbCount; ++j)
      if (f.readDisturbs[j].sector == row) f.readDisturbs[j].seen = 0;
    s_.partial[row % kMaxPages][0] = s_.partial[row % kMaxPages][1] = 0;
  }
  c_.status = 0;
}

void NandChip::Reset() {
  if (!StartOperation(ChipCommand::kReset)) return;
  c_.state = uint32_t(ChipState::kReady);
  c_.pointer = uint32_t(ChipArea::kMain);
  c_.status = 0;
  GoBusy(kResetNs);
}

}  // namespace sim
