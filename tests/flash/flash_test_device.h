// A simulated device for the driver's tests: a fresh device folder with a
// chosen chip and settings, attached to the test process, and what the
// hardware would show of it (raw pages of nand.img, model registers, the
// protocol checker's record).
#ifndef TESTS_FLASH_FLASH_TEST_DEVICE_H
#define TESTS_FLASH_FLASH_TEST_DEVICE_H

#include <windows.h>

#include <cstdint>
#include <string>
#include <vector>

#include "sim/device_record.h"
#include "sim/nand_cfg.h"
#include "tests/common/byte_diff.h"
#include "tests/common/on_flash.h"

namespace flashtest {

using Bytes = std::vector<uint8_t>;

constexpr uint32_t kRawPage = onflash::kRawPage;
constexpr uint32_t kData = onflash::kData;

class TestDevice {
 public:
  explicit TestDevice(const sim::NandConfig& cfg = sim::NandConfig());
  ~TestDevice();
  TestDevice(const TestDevice&) = delete;
  TestDevice& operator=(const TestDevice&) = delete;

  bool ok() const { return ok_; }
  const std::string& error() const { return error_; }

  // Raw page (512 data + 16 spare bytes) as the cells hold it.
  Bytes RawPage(uint32_t sector) const;
  // Factory programming: the page's cells take these 528 bytes as they are.
  void PutRawPage(uint32_t sector, const Bytes& raw);
  // Damage planted in the cells, as wear or a disturbed read would leave it.
  void FlipStoredBit(uint32_t sector, uint32_t byte, uint32_t bit);
  // Every raw page, for "nothing else changed" checks.
  Bytes Image() const;

  // Model registers and shared words, read and set as other users of the SoC
  // would leave them (no bus cycle, nothing for the checker).
  uint32_t PeekRegister(int window, uint32_t offset) const;
  void PokeRegister(int window, uint32_t offset, uint32_t value);
  uint32_t PeekShadow() const;  // EXT_BOARD_SHADOW in the driver-globals page
  void PokeShadow(uint32_t value);
  uint8_t PeekGlobalsByte(uint32_t offset) const;  // a byte of the driver-globals page
  void PokeGlobalsByte(uint32_t offset, uint8_t value);

  // Replaces the chip's settings (faults) while attached.
  void Configure(const sim::NandConfig& cfg);

  sim::DeviceRecord Record() const;

 private:
  std::wstring dir_;
  std::string error_;
  bool ok_ = false;
  uint32_t sectors_ = 0;
  void* globals_ = nullptr;  // our own view of the driver-globals page
};

// Differences between two byte ranges as "byte N: expected x, got y" lines.
using testutil::DiffBytes;
Bytes PseudoRandom(size_t size, uint32_t seed);

}  // namespace flashtest

#endif
