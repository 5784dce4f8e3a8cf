// nand.cfg: the identity of a simulated device's NAND chip and the settings of
// its simulation (timings, partial-program limits, faults). A text file of
// "key = value" lines (the syntax of sim/keyval.h); keys that may repeat
// (faults) are given once per line, at most kMaxFaultsPerKind (sim/soc_state.h)
// of each kind: as many as the shared device record has room for. The fault
// keys are those of the fault kinds' rows (sim/fault_kinds.h); the list below
// is their summary. Read by the
// device models of every process on the device, written by the host tool and
// by tests.
//
//   maker = 0xec                      device = 0x76        (hexadecimal ID bytes)
//   timing.page_read_ns = 12000       timing.program_ns = 200000
//   timing.erase_ns = 2000000         timing.byte_ns = 50
//   timing.polls_to_ready = N         every wait on the hardware sees it still working for
//                                     its first N polls (0: the first poll may see it done)
//   partial.main = 1                  partial.spare = 2     (programs per page between erases)
//   bad_blocks = 5,77                 (factory bad blocks; marked in nand.img at creation)
//   fault.read_flip = SECTOR:BYTE:BIT[:COUNT]   transient flip on read (COUNT reads, 0 = every read)
//   fault.stuck_bit = SECTOR:BYTE:BIT:VALUE     a cell that always reads VALUE
//   fault.program_fail = SECTOR[:BYTE:BIT]      program leaves the bit (or the whole page) at 1
//   fault.erase_fail = BLOCK                    erase leaves the block as it was
//   fault.partial_erase = BLOCK:PAGE:BYTE:BIT   erase reports success, leaves that bit at 0
//   fault.read_disturb = SECTOR:BYTE:BIT:READS  after READS reads that bit is 0 in the array
//   fault.stuck_ready_after = N                 after N chip operations nothing signals ready
//   fault.power_loss_after = N                  after N chip operations the power goes
//   fault.dma_hang = N                          the DMA channel's Nth transfer never finishes
//   fault.drain_hang = N                        the DMA channel's Nth drain never completes
//   fault.fifo_hang = N                         the Nth FIFO transfer never completes (a write
//                                               never empties, a read never fills)
//   fault.event_hang = COMMAND:N                the event of the Nth operation with COMMAND
//                                               never comes (0x00 0x80: EV_DMA_DONE; 0x50 0x90:
//                                               EV_FIFO_DONE; 0x10 0xD0 0xFF: EV_READY)
//   sysdrv.rate = N                   system flash driver operations between two of ours (0: idle)
//   sysdrv.region = FIRST:COUNT       its file-system blocks (default: every good block after the boot area)
//   camera.active = 0|1               camera stand-in switches the shared pins from time to time
//   extboard.wp_user = 0|1            another user sets the write-protect bit and leaves it
// BYTE counts within the 528-byte raw page (512 data bytes, then 16 spare bytes).
// Operation counts (N) start at 0 when a program is started on the device; the
// hangs count their own operations from 0 (N = 0 is the first).
#ifndef SIM_NAND_CFG_H
#define SIM_NAND_CFG_H

#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace sim {

struct ReadFlipFault {
  uint32_t sector = 0, byte = 0, bit = 0, count = 0;
};
struct StuckBitFault {
  uint32_t sector = 0, byte = 0, bit = 0, value = 0;
};
struct ProgramFailFault {
  uint32_t sector = 0;
  bool wholePage = true;
  uint32_t byte = 0, bit = 0;
};

struct NandConfig {
  uint32_t maker = 0xEC;
  uint32_t device = 0x76;
  uint64_t pageReadNs = 12000;
  uint64_t programNs = 200000;
  uint64_t eraseNs = 2000000;
  uint64_t byteNs = 50;
  uint32_t pollsToReady = 0;
  uint32_t partialMain = 1;
  uint32_t partialSpare = 2;
  std::vector<uint32_t> badBlocks;
  std::vector<ReadFlipFault> readFlips;
  std::vector<StuckBitFault> stuckBits;
  std::vector<ProgramFailFault> programFails;
  std::vector<uint32_t> eraseFails;
  int64_t stuckReadyAfter = -1;  // -1: never
  int64_t powerLossAfter = -1;   // -1: never
  int64_t dmaHang = -1;          // -1: never (the hangs: nand_cfg.h's key list)
  int64_t drainHang = -1;
  int64_t fifoHang = -1;
  uint32_t eventHangCommand = 0;
  int64_t eventHangNth = -1;
  uint32_t sysdrvRate = 0;
  int64_t sysdrvFirstBlock = -1;  // -1: default region
  int64_t sysdrvBlockCount = -1;
  bool cameraActive = false;
  bool extboardWpUser = false;
  // Faults of the kinds without a field of their own above (sim/fault_kinds.h),
  // by key, each as its fields.
  std::map<std::string, std::vector<std::vector<uint64_t>>> moreFaults;
  // Keys under the prefix reserved for later versions (kReservedKeyPrefix),
  // kept in order so a rewrite loses nothing.
  std::vector<std::pair<std::string, std::string>> unknown;

  bool HasFaults() const;
  void ClearFaults();
};

// Keys that begin with this are kept as they stand for a later version; any
// other key this version does not know is a mistake in the file.
constexpr const char kReservedKeyPrefix[] = "later.";

// One key, as a line of nand.cfg sets it. An unknown key leaves cfg as it was.
enum class KeyStatus { kApplied, kUnknown, kBadValue, kTooMany };
KeyStatus ApplyNandConfigKey(const std::string& key, const std::string& value, NandConfig* cfg);
// Why a key was not applied: "bad value for fault.erase_fail", ...
std::string DescribeKeyStatus(const std::string& key, KeyStatus status);

// Every key this version knows, and the one nearest to `key` (by edit
// distance), for a message about a typo.
std::vector<std::string> NandConfigKeys();
std::string NearestNandConfigKey(const std::string& key);

// Parse text; on error, *error says which line and why ("nand.cfg:7: bad value
// for fault.erase_fail", "nand.cfg:3: unknown key \"fault.read_flp\" (nearest:
// fault.read_flip)").
bool ParseNandConfig(const std::string& text, const std::string& name, NandConfig* cfg, std::string* error);
std::string FormatNandConfig(const NandConfig& cfg);
bool LoadNandConfig(const std::string& path, NandConfig* cfg, std::string* error);
bool SaveNandConfig(const std::string& path, const NandConfig& cfg, std::string* error);

// Shape of a chip as the simulator models it.
struct ChipShape {
  bool known = false;      // one of the chip table's devices
  bool largePage = false;  // 2048 + 64 byte pages (answers its ID only)
  uint32_t pageData = 512;
  uint32_t pageSpare = 16;
  uint32_t pagesPerBlock = 32;
  uint32_t blocks = 0;
  uint64_t RawPageBytes() const { return pageData + pageSpare; }
  uint64_t Pages() const { return uint64_t(blocks) * pagesPerBlock; }
  uint64_t ImageBytes() const { return Pages() * RawPageBytes(); }
};
// Makers 0x98, 0xAD, 0xEC with devices 0x73, 0x75, 0x76, 0x79 (small page),
// 0xAA, 0xDA (large page). Any other pair is modelled as an unknown small-page
// chip of 1024 blocks (it answers its ID; the driver refuses it).
ChipShape ChipShapeFor(uint32_t maker, uint32_t device);

}  // namespace sim

#endif
