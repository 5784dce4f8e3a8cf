#include "tests/flash/flash_test_device.h"

#include <filesystem>

#include "flash/soc_ressh.h"
#include "flash/soc_windows.h"
#include "sim/device.h"
#include "sim/soc.h"

namespace flashtest {

namespace {

std::wstring FreshDir() {
  static int serial = 0;
  wchar_t temp[MAX_PATH];
  GetTempPathW(MAX_PATH, temp);
  return std::wstring(temp) + L"flash_tests_" + std::to_wstring(GetCurrentProcessId()) + L"_" +
         std::to_wstring(++serial);
}

}  // namespace

TestDevice::TestDevice(const sim::NandConfig& cfg) : dir_(FreshDir()) {
  if (!sim::CreateDevice(dir_, cfg, &error_)) return;
  if (!sim::SocAttachTo(dir_.c_str())) {
    error_ = "cannot attach to the new device";
    return;
  }
  sectors_ = uint32_t(sim::ChipShapeFor(cfg.maker, cfg.device).Pages());
  // The driver-globals page is plain memory shared by the system's drivers;
  // this view of it is another driver's, not one of the driver's windows.
  HANDLE section = nullptr;
  unsigned long long offset = 0;
  if (sim::SocMemoryWindow(sim::WIN_DRIVER_GLOBALS, &section, &offset))
    globals_ = MapViewOfFile(section, FILE_MAP_ALL_ACCESS, DWORD(offset >> 32), DWORD(offset), DRIVER_GLOBALS_SIZE);
  if (!globals_) {
    error_ = "cannot map the driver-globals page";
    return;
  }
  ok_ = true;
}

TestDevice::~TestDevice() {
  if (globals_) UnmapViewOfFile(globals_);
  sim::SocDropBusHandles();
  sim::SocDetach();
  std::error_code ec;
  std::filesystem::remove_all(std::filesystem::path(dir_), ec);
}

Bytes TestDevice::RawPage(uint32_t sector) const {
  Bytes raw(kRawPage, 0);
  if (!sim::SocReadRawPage(sector, raw.data())) raw.clear();
  return raw;
}

void TestDevice::PutRawPage(uint32_t sector, const Bytes& raw) {
  if (raw.size() == kRawPage) sim::SocWriteRawPage(sector, raw.data());
}

void TestDevice::FlipStoredBit(uint32_t sector, uint32_t byte, uint32_t bit) {
  Bytes raw = RawPage(sector);
  raw.at(byte) ^= uint8_t(1u << bit);
  sim::SocWriteRawPage(sector, raw.data());
}

Bytes TestDevice::Image() const {
  Bytes all;
  all.reserve(size_t(sectors_) * kRawPage);
  for (uint32_t s = 0; s < sectors_; ++s) {
    Bytes raw = RawPage(s);
    all.insert(all.end(), raw.begin(), raw.end());
  }
  return all;
}

uint32_t TestDevice::PeekRegister(int window, uint32_t offset) const { return sim::SocPeek32(window, offset); }

void TestDevice::PokeRegister(int window, uint32_t offset, uint32_t value) { sim::SocPoke32(window, offset, value); }

uint32_t TestDevice::PeekShadow() const {
  const volatile uint8_t* p = static_cast<const volatile uint8_t*>(globals_) + EXT_BOARD_SHADOW;
  return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}

void TestDevice::PokeShadow(uint32_t value) {
  volatile uint8_t* p = static_cast<volatile uint8_t*>(globals_) + EXT_BOARD_SHADOW;
  for (int i = 0; i < 4; ++i) p[i] = uint8_t(value >> (8 * i));
}

uint8_t TestDevice::PeekGlobalsByte(uint32_t offset) const {
  return static_cast<volatile uint8_t*>(globals_)[offset];
}

void TestDevice::PokeGlobalsByte(uint32_t offset, uint8_t value) {
  static_cast<volatile uint8_t*>(globals_)[offset] = value;
}

void TestDevice::Configure(const sim::NandConfig& cfg) { sim::SocLoadFaults(cfg); }

sim::DeviceRecord TestDevice::Record() const {
  sim::DeviceRecord rec;
  sim::SocReadRecord(&rec);
  return rec;
}

}  // namespace flashtest
