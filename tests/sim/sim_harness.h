// A simulated SoC in one test process: soc.state and the chip image in
// memory, driven by register accesses in the order the flash driver makes
// them. The sequences below replay the driver's transfers (ID read, spare
// read and program, page read and program by DMA, block erase, the reset
// pre-step of maker 0xAD) so that the models are tested the way the driver
// meets them; every wait is a bounded poll that reports a time-out.
#ifndef TESTS_SIM_SIM_HARNESS_H
#define TESTS_SIM_SIM_HARNESS_H

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "sim/nand_cfg.h"
#include "sim/soc_model.h"
#include "sim/soc_state.h"
#include "tests/common/byte_diff.h"
#include "tests/common/pattern.h"

namespace simtest {

using Bytes = std::vector<uint8_t>;

constexpr uint32_t kPage = sim::kRawPageBytes;
constexpr int kPollLimit = 1000;

// The chip configurations the table-driven tests run over.
struct ChipCase {
  const char* name;
  uint32_t maker, device;
  uint32_t addrCycles, eraseCycles;
};
extern const ChipCase kSmallPageChips[];
extern const size_t kSmallPageChipCount;

class Harness {
 public:
  explicit Harness(const sim::NandConfig& cfg = sim::NandConfig());
  Harness(uint32_t maker, uint32_t device);

  sim::NandConfig cfg;
  std::unique_ptr<sim::SocState> state;
  Bytes image;
  std::unique_ptr<sim::SocModel> model;
  sim::Accessor who{100, true};
  uint32_t addrCycles = 4;
  uint32_t eraseCycles = 3;

  // Replaces the settings and faults, as a test or an attach does.
  void LoadSettings(const sim::NandConfig& c);

  uint32_t R(uint32_t window, uint32_t offset);
  void W(uint32_t window, uint32_t offset, uint32_t value);
  uint32_t Nand(uint32_t offset) { return R(sim::kRegNand, offset); }
  void Nand(uint32_t offset, uint32_t value) { W(sim::kRegNand, offset, value); }

  // Waits as the driver does: poll until (reg & mask) == want. False on time-out.
  bool Wait(uint32_t window, uint32_t offset, uint32_t mask, uint32_t want, int* polls = nullptr);

  // The driver's transfers. False when a wait timed out.
  bool ReadId(uint32_t* word);
  bool ReadSpare(uint32_t sector, uint8_t record[8]);
  bool WriteSpare(uint32_t sector, uint32_t column, const uint8_t bytes[8]);
  bool ReadPage(uint32_t sector, uint8_t raw[kPage]);  // the 528 bytes the DMA buffer got
  bool WritePage(uint32_t sector, const uint8_t data[512]);
  bool Erase(uint32_t block);
  bool ResetPreStep();
  bool ProgramTail();
  // An operation of one command in command mode with no wait (0x70,
  // pointers, or misuse).
  void CommandMode(uint32_t cmd, uint32_t cycles = 0, uint32_t addr = 0);

  uint8_t* Page(uint32_t sector) { return image.data() + size_t(sector) * kPage; }
  void Fill(uint32_t sector, const Bytes& raw);  // factory-programs a raw page into the image
  uint64_t Violations() const { return state->h.checker.count; }
  uint64_t ViolationsOf(sim::ViolationKind kind) const;
  std::string Record() const;  // every stored violation, for failure messages
  bool Recorded(sim::ViolationKind kind, const std::string& textPart) const;
  uint64_t Now() const { return state->h.clock.nowNs; }
  uint64_t ChipBusy() const { return state->h.clock.chipBusyNs; }

 private:
  void Init();
};

using testutil::Pattern;
using testutil::DiffBytes;

}  // namespace simtest

#endif
