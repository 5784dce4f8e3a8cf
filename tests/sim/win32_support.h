// Device-build test support: temporary device folders, holding the flash bus
// as a driver does, the driver's ID read over soc.h, and children of this test
// program that play other processes on the same device.
#ifndef TESTS_SIM_WIN32_SUPPORT_H
#define TESTS_SIM_WIN32_SUPPORT_H

#include <windows.h>

#include <stdint.h>

#include <string>
#include <vector>

#include "sim/nand_cfg.h"

namespace simtest {

// A fresh device folder under the temporary directory, removed at the end.
class TempDevice {
 public:
  explicit TempDevice(const sim::NandConfig& cfg = sim::NandConfig());
  ~TempDevice();
  const std::wstring& Dir() const { return dir_; }
  bool ok() const { return ok_; }
  std::wstring Path(const wchar_t* name) const { return dir_ + L"\\" + name; }
  std::vector<uint8_t> ReadFileBytes(const wchar_t* name) const;
  void WriteConfig(const sim::NandConfig& cfg) const;

 private:
  std::wstring dir_;
  bool ok_ = false;
};

// Both bus mutexes taken in the driver's order for the life of the object.
class BusHold {
 public:
  BusHold(bool flash = true, bool pin = true);
  ~BusHold();

 private:
  HANDLE flash_ = NULL;
  HANDLE pin_ = NULL;
};

// The driver's ID read through SocRead32 / SocWrite32; false on a time-out.
bool ReadIdWord(uint32_t* word);

// Runs this test program as a child: "<exe> --child MODE ARGS..."; returns
// its exit code (0xFFFFFFFF on a failure to start or a time-out).
DWORD RunChild(const std::wstring& args, DWORD timeoutMs = 60000);
// The child side; returns the exit code.
int ChildMain(int argc, wchar_t** argv);

// A Linux path of the build (the Wine drive Z: is the Linux root).
std::wstring WinePath(const char* unixPath);

}  // namespace simtest

#endif
