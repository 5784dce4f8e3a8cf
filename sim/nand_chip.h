// NAND chip model: a small-page chip (512 data + 16 spare bytes per page, 32
// pages per block) over the raw image nand.img, driven cycle by cycle by the
// NAND controller model.
//
// Models:
//  - bus cycles: command latch, address latch, read and write data cycles;
//  - commands 0x00 (read, pointer to the data area), 0x50 (read, pointer to the
//    spare area), 0x80 ... 0x10 (serial data input, program), 0x60 ... 0xD0
//    (block erase), 0x70 (status), 0x90 (ID: maker, device, 0x5A, then 0x3C on
//    small-page chips or 0x15 on large-page ones), 0xFF (reset);
//  - READ ID's one address byte selects what the chip answers: 0x00 its maker
//    and device codes. These parts have no other identification area (later
//    parts answer 0x20 with a parameter-page signature instead), so with any
//    other address nothing drives the bus: the bytes read 0xFF, and the
//    address is recorded;
//  - addresses as a small-page chip decodes them: cycle 0 is the column, the
//    following cycles the row (page); an erase takes row cycles only; rows wrap
//    at the chip's size, as the missing address lines make them;
//  - a pointer command chooses the area a following 0x80 programs: after 0x50
//    the column counts from the spare area's start; reset and power-on point at
//    the data area;
//  - media physics: program ANDs (bits only go to 0), erase sets the block to
//    0xFF; programs of the main and of the spare area of a page are counted
//    separately between erases against partial.main / partial.spare;
//  - R/B#: busy for page read, program, erase and reset on the simulated clock;
//  - status: bit 0 FAIL of the last program or erase, bit 6 ready, bit 7 not
//    write protected;
//  - write protect (extension-board control bit 7): program and erase do
//    nothing;
//  - large-page chips of the chip table answer their ID and take nothing else.
// Not modelled: cache and copy-back commands, sequential row read past a page
// end (the bytes read 0xFF), timings within a cycle.
// Faults (faults.h) act on every read, program and erase. "Chip operations"
// (page or spare read, program confirm, erase confirm, reset, read ID) are
// counted; when the count passes fault.stuck_ready_after the chip hangs busy
// for ever, when it passes fault.power_loss_after the power goes: that
// operation and everything after it has no effect.
// Misuse (unknown commands, commands while busy, short or long addresses,
// data cycles out of place) is recorded by the checker; the chip goes on as
// silicon would.
#ifndef SIM_NAND_CHIP_H
#define SIM_NAND_CHIP_H

#include <cstdint>

#include "sim/checker.h"
#include "sim/faults.h"
#include "sim/nand_cfg.h"
#include "sim/soc_state.h"

namespace sim {

enum class ChipState : uint32_t {
  kReady = 0,   // waiting for a command
  kAddress,     // taking the address cycles of `command`
  kDataOut,     // page register on the bus, column advancing
  kIdOut,       // ID bytes on the bus
  kStatusOut,   // status register on the bus
  kDataIn,      // serial data input into the page register
  kEraseSetup,  // 0x60 and the block address taken; 0xD0 expected
  kHung,        // stuck-ready fault: busy for ever
  kOff,         // no power
};

enum class ChipCommand : uint32_t {
  kRead0 = 0x00,
  kReadSpare = 0x50,
  kSerialIn = 0x80,
  kProgram = 0x10,
  kEraseSetup = 0x60,
  kEraseConfirm = 0xD0,
  kStatus = 0x70,
  kReadId = 0x90,
  kReset = 0xFF,
};

enum class ChipArea : uint32_t { kMain = 0, kSpare = 1 };

// Status register bits.
constexpr uint8_t kStatusFail = 0x01;
constexpr uint8_t kStatusReady = 0x40;
constexpr uint8_t kStatusNotProtected = 0x80;

constexpr uint64_t kResetNs = 5000;

// One chip operation as the chip starts it, for a harness in the same process
// that follows the operations of a run (which pages, in which order, which
// part of a page each program wrote).
struct ChipOp {
  ChipCommand command;  // kRead0 or kReadSpare (page read), kProgram, kEraseConfirm, kReset, kReadId
  uint32_t row;         // the page; an erase gives its block's first page; 0 for reset and ID
  uint32_t column;      // raw-page byte a read or a program's data starts at
  uint32_t bytes;       // program: data bytes that went into the page register
  uint64_t index;       // chip operations of the program so far, this one included
};
using ChipOpObserver = void (*)(const ChipOp& op, void* context);
// One observer per process (null: none). Called with the SoC's lock held.
void SetChipOpObserver(ChipOpObserver observer, void* context);

class NandChip {
 public:
  NandChip(SocState& s, uint8_t* image, uint64_t imageBytes, Checker& checker);

  void Command(uint8_t cmd);
  void Address(uint8_t byte);
  uint8_t Read();
  void Write(uint8_t byte);
  // n data cycles in a row, as a DMA transfer clocks them: the same bytes,
  // records and counts as n calls of Read or Write, with the bytes of the page
  // moved at once when nothing on the sector changes them on the way.
  void ReadMany(uint8_t* out, uint32_t n);
  void WriteMany(const uint8_t* in, uint32_t n);

  bool Busy() const;  // R/B# low now
  uint64_t ReadyAtNs() const { return c_.readyAtNs; }
  ChipState State() const { return ChipState(c_.state); }
  const ChipShape& Shape() const { return shape_; }

  // Power-on: nothing latched, pointer on the data area, ready.
  static void PowerOn(ChipRec& c);

 private:
  uint32_t RowBytes() const;
  uint32_t AddressCyclesFor(ChipCommand cmd) const;
  void BeginAddress(ChipCommand cmd);
  void CloseAddress(bool shortAddress);
  void AddressDone();
  bool StartOperation(ChipCommand cmd);  // false: the chip does not carry it out
  void BeginRead();
  void Program();
  void Erase();
  void Reset();
  void GoBusy(uint64_t ns);
  uint8_t* Page(uint32_t row);  // null when the image has no such page
  bool WriteProtected() const;
  uint8_t StatusByte() const;

  SocState& s_;
  ChipRec& c_;
  uint8_t* image_;
  uint64_t imagePages_;
  Checker& checker_;
  Faults faults_;
  ChipShape shape_;
};

}  // namespace sim

#endif
