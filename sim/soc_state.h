// soc.state: everything the simulated SoC remembers, as one plain record that
// every process on the device maps from the device folder (and that the Linux
// host tool reads with plain file I/O). Fixed-width fields only, so the layout
// is the same for the host build (Linux x86_64) and the device build (mingw
// x86_64); the static_asserts below pin it.
//
//   0x00000  SocHeader: lock word, clock, power, register files, controller,
//            DMA channel and chip state, faults, the protocol checker record
//   0x10000  driver-globals page (8 KiB; EXT_BOARD_SHADOW at 0x420)
//   0x20000  NAND DMA buffer (12 KiB)
//   0x30000  partial-program counters, two bytes per page (main, spare)
//   0xB0000  end
//
// The two memory windows sit at multiples of 64 KiB because a process maps
// them with MapViewOfFileEx, whose offsets must be multiples of the allocation
// granularity.
#ifndef SIM_SOC_STATE_H
#define SIM_SOC_STATE_H

#include <cstddef>
#include <cstdint>

#include "flash/nand_format.h"

namespace sim {

constexpr uint32_t kSocStateMagic = 0x434F5344u;  // "DSOC"
constexpr uint32_t kSocStateVersion = 5;

// The register windows, numbered as the SoC's window table numbers them.
enum RegWindow : uint32_t { kRegDma = 0, kRegResShare = 1, kRegExtBoard = 2, kRegNand = 3, kRegWindows = 4 };
constexpr uint32_t kRegWindowWords = 0x2000 / 4;
constexpr uint32_t kRawPageBytes = NAND_RAW_PAGE_BYTES;  // small page: data, then spare
constexpr uint32_t kPageDataBytes = NAND_SECTOR_BYTES;
constexpr uint32_t kMaxPages = 262144;  // the largest small-page chip (128 MiB)
constexpr uint32_t kFifoBytes = 8;      // two 32-bit words
constexpr uint32_t kMaxFaultsPerKind = 64;
constexpr uint32_t kMaxPendingEvents = 4;
constexpr uint32_t kRecordedViolations = 64;
constexpr uint32_t kViolationTextBytes = 112;

constexpr uint64_t kDriverGlobalsOffset = 0x10000;
constexpr uint64_t kDmaBufferOffset = 0x20000;
constexpr uint64_t kPartialOffset = 0x30000;
constexpr uint64_t kSocStateBytes = kPartialOffset + uint64_t(kMaxPages) * 2;
constexpr uint64_t kNever = ~uint64_t(0);  // a time that never comes

struct ClockRec {
  uint64_t nowNs;       // simulated time since the device was created
  uint64_t chipBusyNs;  // total time the chip spent busy (read, program, erase, reset)
};

struct PowerRec {
  uint32_t poweredOff;   // a power-loss fault struck; nothing works until a power-on
  uint32_t stuck;        // a stuck-ready fault struck: nothing signals ready any more
  uint64_t runStarts;    // programs started on the device (ResetDeviceRun calls)
  int64_t killAfterOps;  // the program under test is ended at its first bus access once
                         // the chip has made this many operations (-1: never)
  uint32_t killed;       // process id of the program process that was ended, 0: none yet
  uint32_t pad;
};

// One event that the controller raises at a given simulated time.
struct PendingEvent {
  uint32_t bits;  // NAND_EVENT bits; 0 = slot free
  uint32_t pid;   // process whose command started the operation
  uint64_t atNs;
};

struct NandCtrlRec {
  uint32_t events;   // NAND_EVENT as it reads now
  uint32_t xfer;     // XferState (nand_ctrl.h)
  uint32_t mode;     // mode latched at the start of the transfer
  uint32_t count;    // data phase length latched at the start
  uint32_t done;     // data bytes moved so far in this data phase
  uint32_t fifoLen;  // bytes in the FIFO
  uint32_t fifoPos;  // next byte the processor reads
  uint32_t pinsCut;  // the transfer started while the pins were on the camera
  uint32_t chipEnabled;   // NAND_CTRL opened an operation that has not ended yet
  uint32_t setupWritten;  // transfer set-up registers written since the transfer reset (SetupBit)
  uint8_t fifo[kFifoBytes];
  uint64_t fifoReadyAtNs;  // read: the FIFO data is there; write: the FIFO has drained
  PendingEvent pending[kMaxPendingEvents];
};

struct DmaRec {
  uint32_t state;           // DmaState (dma.h)
  uint32_t drainRequested;  // DMA_DRAIN was written 1 and has not read 0 yet
  uint32_t descWritten;     // descriptor registers written since the last arming (DescriptorBit)
  uint32_t hung;            // DmaHang bits (dma.h): the armed transfer or the drain never ends
  uint64_t doneAtNs;        // the armed transfer ends
};

struct ChipRec {
  uint32_t state;      // ChipState (nand_chip.h)
  uint32_t command;    // ChipCommand whose address or data phase is under way
  uint32_t pointer;    // ChipArea the next read or program starts in
  uint32_t addrCount;  // address cycles received for `command`
  uint8_t addr[8];
  uint32_t row;                 // page of the operation under way
  uint32_t column;              // byte within the raw page of the data phase
  uint32_t status;              // status register (0x70)
  uint32_t dataInMain;          // serial data input wrote into the main area
  uint32_t dataInSpare;         // ... and into the spare area
  uint32_t idPos;               // next ID byte on the bus
  uint32_t dataStart;           // raw-page byte the data phase of `command` started at
  uint32_t idAddress;           // the address byte of the READ ID under way
  uint64_t readyAtNs;           // R/B# goes high (kNever when hung)
  uint64_t ops;                 // chip operations since the program started
  uint8_t page[kRawPageBytes];  // page register
};

struct ReadFlipRec {
  uint32_t sector, byte, bit, count, used;
};
struct StuckBitRec {
  uint32_t sector, byte, bit, value;
};
struct ProgramFailRec {
  uint32_t sector, wholePage, byte, bit;
};
struct PartialEraseRec {
  uint32_t block, page, byte, bit;  // the bit an erase of the block leaves at 0
};
struct ReadDisturbRec {
  uint32_t sector, byte, bit, reads;  // after `reads` reads the bit turns to 0 in the array
  uint32_t seen;                      // reads of the sector since the program start or the block's erase
};

// The settings of nand.cfg that the models act on, copied in at attach time.
struct FaultRec {
  uint32_t maker;
  uint32_t device;
  uint64_t pageReadNs;
  uint64_t programNs;
  uint64_t eraseNs;
  uint64_t byteNs;
  uint32_t partialMain;
  uint32_t partialSpare;
  int64_t stuckReadyAfter;  // -1: never
  int64_t powerLossAfter;   // -1: never
  uint64_t configHash;      // of the nand.cfg text these came from (0: set by a test)
  uint32_t readFlipCount;
  uint32_t stuckBitCount;
  uint32_t programFailCount;
  uint32_t eraseFailCount;
  ReadFlipRec readFlips[kMaxFaultsPerKind];
  StuckBitRec stuckBits[kMaxFaultsPerKind];
  ProgramFailRec programFails[kMaxFaultsPerKind];
  uint32_t eraseFails[kMaxFaultsPerKind];
  // Hangs of one operation, counted from the program's start (-1: none).
  int64_t dmaHang;           // the DMA channel's Nth transfer never finishes
  int64_t drainHang;         // the Nth drain never completes
  int64_t fifoHang;          // the Nth FIFO transfer never completes
  int64_t eventHangNth;      // the event of the Nth operation with eventHangCommand never comes
  uint32_t eventHangCommand;
  uint32_t pollsToReady;     // timing.polls_to_ready
  uint32_t partialEraseCount;
  uint32_t readDisturbCount;
  uint32_t pad;
  PartialEraseRec partialErases[kMaxFaultsPerKind];
  ReadDisturbRec readDisturbs[kMaxFaultsPerKind];
};

// What the hang faults count, since the program started.
struct HangRec {
  uint64_t dmaArmings;     // DMA transfers armed
  uint64_t drains;         // drains requested
  uint64_t fifoTransfers;  // FIFO transfers started
  uint64_t eventOps;       // operations with fault.event_hang's command that raise an event
};

struct ViolationRec {
  uint64_t timeNs;
  uint32_t pid;
  uint32_t kind;  // ViolationKind (checker.h)
  char text[kViolationTextBytes];
};

struct CheckerRec {
  uint64_t count;   // every violation since the record was cleared
  uint32_t stored;  // how many of the first ones are in `first`
  uint32_t pad;
  ViolationRec first[kRecordedViolations];
};

struct SocHeader {
  uint32_t magic;
  uint32_t version;
  uint32_t lockOwner;      // process id holding the model lock, 0 when free
  uint32_t lockTakeovers;  // times the lock was taken from a dead owner
  ClockRec clock;
  PowerRec power;
  uint32_t regs[kRegWindows][kRegWindowWords];  // indexed by WindowId
  NandCtrlRec nand;
  DmaRec dma;
  ChipRec chip;
  FaultRec faults;
  CheckerRec checker;
  HangRec hang;
};

struct SocState {
  SocHeader h;
  uint8_t pad0[kDriverGlobalsOffset - sizeof(SocHeader)];
  uint8_t driverGlobals[0x2000];
  uint8_t pad1[kDmaBufferOffset - kDriverGlobalsOffset - 0x2000];
  uint8_t dmaBuffer[0x3000];
  uint8_t pad2[kPartialOffset - kDmaBufferOffset - 0x3000];
  uint8_t partial[kMaxPages][2];  // programs of the main and the spare area since the last erase
};

static_assert(sizeof(SocHeader) < kDriverGlobalsOffset, "header must fit below the driver-globals page");
static_assert(offsetof(SocState, driverGlobals) == kDriverGlobalsOffset, "driver-globals offset");
static_assert(offsetof(SocState, dmaBuffer) == kDmaBufferOffset, "DMA buffer offset");
static_assert(offsetof(SocState, partial) == kPartialOffset, "partial counters offset");
static_assert(sizeof(SocState) == kSocStateBytes, "soc.state size");
// The same on both builds: these are the offsets the host tool and the Wine
// processes agree on.
static_assert(offsetof(SocHeader, clock) == 16, "clock");
static_assert(offsetof(SocHeader, power) == 32, "power");
static_assert(offsetof(SocHeader, regs) == 64, "register files");
static_assert(offsetof(SocHeader, nand) == 64 + 4 * 0x2000, "controller");
static_assert(sizeof(NandCtrlRec) == 120, "controller record");
static_assert(sizeof(DmaRec) == 24, "DMA record");
static_assert(sizeof(ChipRec) == 600, "chip record");
static_assert(sizeof(FaultRec) == 88 + 64 * (20 + 16 + 16 + 4) + 40 + 16 + 64 * (16 + 20), "fault record");
static_assert(sizeof(HangRec) == 32, "hang counters");
static_assert(sizeof(ViolationRec) == 128, "violation record");
static_assert(sizeof(SocHeader) == 45456 + 40 + 32 + 16 + 64 * (16 + 20), "header size");

}  // namespace sim

#endif
