// Fixture of the driver's device tests: a fresh simulated device per test,
// the system flash driver's mutex standing in for that driver, one driver
// context, and a protocol checker that must stay silent unless a test says
// otherwise.
#ifndef TESTS_FLASH_FLASH_TEST_SUPPORT_H
#define TESTS_FLASH_FLASH_TEST_SUPPORT_H

#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "flash/flash.h"
#include "tests/flash/flash_test_device.h"

namespace flashtest {

sim::NandConfig Chip(uint32_t maker, uint32_t device);

// The record as it lies in the spare area: little-endian, 8 bytes.
Bytes RecordBytes(const SectorInfo& info);
// The raw page a correct write of data (or none) and record (or none) over an
// erased page leaves in nand.img.
Bytes ExpectedPage(const uint8_t* data, const SectorInfo* info);
std::string HexBytes(const uint8_t* p, size_t n);

class FlashDeviceTest : public ::testing::Test {
 protected:
  void TearDown() override;

  // Makes the device; the default chip is maker 0xEC, device 0x76 (64 MiB).
  void Start(const sim::NandConfig& cfg = sim::NandConfig());
  // What the system flash driver does at boot: create "_FLASH_MUTEX_".
  void StartSystemFlashDriver();
  void StopSystemFlashDriver();
  // Start + the system driver's mutex + FMD_Init, which must succeed.
  void StartDriver(const sim::NandConfig& cfg = sim::NandConfig());

  // True when both bus mutexes can be taken at once from another thread,
  // i.e. no call left the bus held.
  bool BusIsFree();
  // Violations recorded so far, with their texts for failure messages.
  uint64_t Violations(std::string* texts = nullptr) const;

  std::unique_ptr<TestDevice> dev_;
  FlashContext ctx_;
  HANDLE sysFlashMutex_ = nullptr;
  uint64_t expectedViolations_ = 0;
};

}  // namespace flashtest

#endif
