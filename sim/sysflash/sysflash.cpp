// sysflash: the system's own flash driver, as far as the updater meets it.
//
// On the device the system's flash driver creates "_FLASH_MUTEX_" when the OS
// starts and holds it (then "PIN_MUX_CAM_NANDFLASH_MUTEX") whenever it uses the
// chip; the updater's driver requires the mutex to exist and shares the bus
// through both. This stand-in does the same: it creates "_FLASH_MUTEX_" (no
// attributes, not owned), opens or creates the pin mutex, attaches to the
// device, and then takes the bus from time to time in the same order, until
// its stop event is set. An abandoned flash mutex (an updater killed while it
// held the bus) is taken over and the work goes on, as a kernel driver must.
// Command line and exit codes: sim/sysflash_control.h.
#include <windows.h>

#include <stdio.h>
#include <wchar.h>

#include <string>

#include "sim/device.h"
#include "sim/nand_cfg.h"
#include "sim/soc.h"
#include "sim/sysflash/fs_load.h"

namespace {

struct Options {
  std::wstring readyEvent;
  std::wstring stopEvent = L"DEVSIM_SYSFLASH_STOP";
  DWORD intervalMs = 20;
  DWORD holdMs = 1;
  std::wstring report;
};

struct Counts {
  unsigned long holds = 0;
  unsigned long abandoned = 0;
  unsigned long pinAbandoned = 0;
  unsigned long chipOps = 0;
};

int Usage() {
  fwprintf(stderr,
           L"usage: sysflash [--ready-event NAME] [--stop-event NAME] [--interval-ms N] [--hold-ms N] "
           L"[--report PATH]\n");
  return 2;
}

bool ParseArgs(int argc, wchar_t** argv, Options* o) {
  for (int i = 1; i < argc; ++i) {
    std::wstring a = argv[i];
    if (i + 1 >= argc) return false;
    std::wstring v = argv[++i];
    if (a == L"--ready-event")
      o->readyEvent = v;
    else if (a == L"--stop-event")
      o->stopEvent = v;
    else if (a == L"--interval-ms")
      o->intervalMs = DWORD(_wtoi(v.c_str()));
    else if (a == L"--hold-ms")
      o->holdMs = DWORD(_wtoi(v.c_str()));
    else if (a == L"--report")
      o->report = v;
    else
      return false;
  }
  return true;
}

std::string Narrow(const std::wstring& w) {
  std::string s;
  for (wchar_t c : w) s += c < 0x80 ? char(c) : '?';
  return s;
}

sim::NandConfig DeviceConfig() {
  sim::NandConfig cfg;
  std::wstring dir = sim::SocDeviceDir();
  std::wstring path = dir + (!dir.empty() && dir[dir.size() - 1] == L'\\' ? L"" : L"\\") + L"nand.cfg";
  std::string error;
  sim::LoadNandConfig(Narrow(path), &cfg, &error);
  return cfg;
}

// Both mutexes in the bus order. False when the stop event came first.
bool AcquireBus(HANDLE flash, HANDLE pin, HANDLE stop, Counts* n) {
  HANDLE first[2] = {stop, flash};
  DWORD w = WaitForMultipleObjects(2, first, FALSE, INFINITE);
  if (w == WAIT_OBJECT_0) return false;
  if (w == WAIT_ABANDONED_0 + 1) {
    ++n->abandoned;
    fwprintf(stderr, L"sysflash: _FLASH_MUTEX_ was abandoned by its owner; going on\n");
  }
  HANDLE second[2] = {stop, pin};
  w = WaitForMultipleObjects(2, second, FALSE, INFINITE);
  if (w == WAIT_OBJECT_0) {
    ReleaseMutex(flash);
    return false;
  }
  if (w == WAIT_ABANDONED_0 + 1) ++n->pinAbandoned;
  return true;
}

void WriteReport(const std::wstring& path, const Counts& n, uint64_t mismatches) {
  if (path.empty()) return;
  FILE* f = _wfopen(path.c_str(), L"w");
  if (!f) return;
  fprintf(f, "holds=%lu abandoned=%lu pin_abandoned=%lu chip_ops=%lu mismatches=%llu\n", n.holds, n.abandoned,
          n.pinAbandoned, n.chipOps, (unsigned long long)mismatches);
  fclose(f);
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  Options opt;
  if (!ParseArgs(argc, argv, &opt)) return Usage();

  HANDLE flash = CreateMutexW(NULL, FALSE, L"_FLASH_MUTEX_");
  if (!flash) {
    fwprintf(stderr, L"sysflash: cannot create _FLASH_MUTEX_ (error %lu)\n", GetLastError());
    return 2;
  }
  if (GetLastError() == ERROR_ALREADY_EXISTS)
    fwprintf(stderr, L"sysflash: _FLASH_MUTEX_ already exists; sharing it\n");
  HANDLE pin = CreateMutexW(NULL, FALSE, L"PIN_MUX_CAM_NANDFLASH_MUTEX");
  HANDLE stop = CreateEventW(NULL, TRUE, FALSE, opt.stopEvent.c_str());
  if (!pin || !stop) {
    fwprintf(stderr, L"sysflash: cannot create the pin mutex or the stop event (error %lu)\n", GetLastError());
    return 2;
  }
  if (!sim::SocAttach()) {
    fwprintf(stderr, L"sysflash: no simulated device here (DEVSIM_DEVICE, or the root of the current drive)\n");
    return 3;
  }
  sim::FileSystemLoad load(DeviceConfig());
  if (!opt.readyEvent.empty()) {
    HANDLE ready = CreateEventW(NULL, TRUE, FALSE, opt.readyEvent.c_str());
    if (ready) {
      SetEvent(ready);
      CloseHandle(ready);
    }
  }

  Counts n;
  for (;;) {
    if (WaitForSingleObject(stop, opt.intervalMs) == WAIT_OBJECT_0) break;
    if (sim::SocPoweredOff()) return 0xDEAD;
    if (!AcquireBus(flash, pin, stop, &n)) break;
    ++n.holds;
    n.chipOps += load.Step();
    if (opt.holdMs) Sleep(opt.holdMs);
    ReleaseMutex(pin);
    ReleaseMutex(flash);
  }
  WriteReport(opt.report, n, load.Mismatches());
  CloseHandle(stop);
  CloseHandle(pin);
  CloseHandle(flash);
  return 0;
}
