#include "tests/flash/flash_test_support.h"

#include <cstdio>
#include <thread>

#include "ecc/ecc.h"
#include "platform/debug_sink.h"
#include "platform/test_hooks.h"

namespace flashtest {

sim::NandConfig Chip(uint32_t maker, uint32_t device) {
  sim::NandConfig cfg;
  cfg.maker = maker;
  cfg.device = device;
  return cfg;
}

Bytes RecordBytes(const SectorInfo& info) {
  return {uint8_t(info.dwReserved1),
          uint8_t(info.dwReserved1 >> 8),
          uint8_t(info.dwReserved1 >> 16),
          uint8_t(info.dwReserved1 >> 24),
          info.bOEMReserved,
          info.bBadBlock,
          uint8_t(info.wReserved2),
          uint8_t(info.wReserved2 >> 8)};
}

Bytes ExpectedPage(const uint8_t* data, const SectorInfo* info) {
  Bytes raw(kRawPage, 0xFF);
  if (data) {
    std::copy(data, data + kData, raw.begin());
    EccGenerate(data, &raw[520]);
    EccGenerate(data + 256, &raw[524]);
  }
  if (info) {
    Bytes rec = RecordBytes(*info);
    std::copy(rec.begin(), rec.end(), raw.begin() + 512);
  }
  return raw;
}

std::string HexBytes(const uint8_t* p, size_t n) {
  std::string s;
  char buf[4];
  for (size_t i = 0; i < n; ++i) {
    snprintf(buf, sizeof(buf), "%02x", p[i]);
    if (i) s += ' ';
    s += buf;
  }
  return s;
}

void FlashDeviceTest::Start(const sim::NandConfig& cfg) {
  PlatformSetDebugEcho(false);
  PlatformClearDebugLines();
  dev_.reset(new TestDevice(cfg));
  ASSERT_TRUE(dev_->ok()) << dev_->error();
}

void FlashDeviceTest::StartSystemFlashDriver() {
  sysFlashMutex_ = CreateMutexW(nullptr, FALSE, L"_FLASH_MUTEX_");
  ASSERT_NE(nullptr, sysFlashMutex_);
  ASSERT_EQ(0u, GetLastError()) << "another \"_FLASH_MUTEX_\" is open in this Wine prefix";
}

void FlashDeviceTest::StopSystemFlashDriver() {
  if (sysFlashMutex_) CloseHandle(sysFlashMutex_);
  sysFlashMutex_ = nullptr;
}

void FlashDeviceTest::StartDriver(const sim::NandConfig& cfg) {
  ASSERT_NO_FATAL_FAILURE(Start(cfg));
  ASSERT_NO_FATAL_FAILURE(StartSystemFlashDriver());
  ASSERT_EQ(1, ctx_.FMD_Init()) << ::testing::PrintToString(PlatformDebugLinesUtf8());
  PlatformClearDebugLines();
}

void FlashDeviceTest::TearDown() {
  ctx_.FMD_Deinit();
  StopSystemFlashDriver();
  PlatformResetHooks();
  PlatformSetDebugEcho(true);
  if (dev_ && dev_->ok()) {
    std::string texts;
    EXPECT_EQ(expectedViolations_, Violations(&texts)) << texts;
  }
  EXPECT_EQ(0, PlatformMappedWindowCount()) << "windows left mapped";
  dev_.reset();
}

bool FlashDeviceTest::BusIsFree() {
  bool free = false;
  std::thread probe([&] {
    HANDLE flash = CreateMutexW(nullptr, FALSE, L"_FLASH_MUTEX_");
    HANDLE pin = CreateMutexW(nullptr, FALSE, L"PIN_MUX_CAM_NANDFLASH_MUTEX");
    bool gotFlash = WaitForSingleObject(flash, 0) == WAIT_OBJECT_0;
    bool gotPin = WaitForSingleObject(pin, 0) == WAIT_OBJECT_0;
    free = gotFlash && gotPin;
    if (gotPin) ReleaseMutex(pin);
    if (gotFlash) ReleaseMutex(flash);
    CloseHandle(pin);
    CloseHandle(flash);
  });
  probe.join();
  return free;
}

uint64_t FlashDeviceTest::Violations(std::string* texts) const {
  sim::DeviceRecord rec = dev_->Record();
  if (texts) {
    for (const std::string& v : rec.violations) *texts += v + "\n";
  }
  return rec.violationCount;
}

Bytes PseudoRandom(size_t size, uint32_t seed) {
  Bytes b(size);
  uint32_t x = seed * 2654435761u + 1;
  for (auto& v : b) {
    x ^= x << 13;
    x ^= x >> 17;
    x ^= x << 5;
    v = uint8_t(x >> 24);
  }
  return b;
}

}  // namespace flashtest
