#include "tests/updater/fake_driver.h"

#include <windows.h>

#include "bootarea/bootarea.h"
#include "flash/flash.h"

namespace fake {
namespace {

Script g_script;
std::map<uint32_t, std::vector<uint8_t>> g_sectors;
int g_up = 0;

}  // namespace

Script& TheScript() { return g_script; }
const std::map<uint32_t, std::vector<uint8_t>>& WrittenSectors() { return g_sectors; }
int DriversUp() { return g_up; }

bool ImageLocked() {
  HANDLE h = CreateFileW(L"\\SDMMC Disk\\EBOOT.NB0", GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, NULL,
                         OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, NULL);
  if (h == INVALID_HANDLE_VALUE) return GetLastError() == ERROR_SHARING_VIOLATION;
  CloseHandle(h);
  return false;
}

void Reset() {
  ClearJournal();
  g_script = Script();
  g_sectors.clear();
  g_up = 0;
}

}  // namespace fake

FlashContext::FlashContext() : bUp(FALSE) {}
FlashContext::~FlashContext() {}

BOOL FlashContext::FMD_Init() {
  // The image is open (and unshared) before the driver is asked for.
  fake::Log(std::string("init") + (fake::ImageLocked() ? " image-locked" : " image-free"));
  if (!fake::TheScript().initOk) return FALSE;
  bUp = TRUE;
  ++fake::g_up;
  return TRUE;
}

void FlashContext::FMD_Deinit() {
  fake::Log(std::string("deinit") + (fake::ImageLocked() ? " image-locked" : " image-free"));
  if (bUp) --fake::g_up;
  bUp = FALSE;
}

BOOL NandIsTocBlock(FlashContext*, DWORD) { return fake::TheScript().tocFound; }

BOOL NandLocateTocAndEBoot(FlashContext* pFlash, DWORD dwImageSize) {
  fake::Log("locate " + std::to_string(dwImageSize) + (pFlash->bUp ? "" : " driver-down"));
  const fake::Script& s = fake::TheScript();
  return s.tocFound && (uint64_t(dwImageSize) + 511) / 512 <= s.areaSectors;
}

BOOL NandEraseEBoot(FlashContext* pFlash) {
  fake::Log(std::string("erase") + (pFlash->bUp ? "" : " driver-down"));
  return fake::TheScript().eraseOk;
}

BOOL NandWriteEBootSector(FlashContext* pFlash, DWORD dwIndex, const BYTE* pData) {
  fake::Log("write " + std::to_string(dwIndex) + (pFlash->bUp ? "" : " driver-down"));
  fake::g_sectors[dwIndex].assign(pData, pData + 512);
  return fake::TheScript().failWriteAt != int64_t(dwIndex);
}
