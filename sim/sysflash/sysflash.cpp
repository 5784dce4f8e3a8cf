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
//
// With sysdrv.rate N > 0 in nand.cfg it also works the chip (fs_load.h): each
// time the chip's operation counter shows that another driver has made
// progress it takes the bus and makes N operations of its own, so the
// updater meets up to N of them between any two of its own. Its driver's
// debug lines are kept out of the run's event log (they are not the program
// under test's). At the end, working or not, it adds its report there:
//   S {"pid":N,"holds":N,"writes":N,"reads":N,"erases":N,"mismatches":N,
//      "failures":N,"abandoned":N,"pinAbandoned":N,"firstBlock":N,"blocks":N}
#include <windows.h>

#include <stdio.h>
#include <wchar.h>

#include <string>

#include "platform/event_log.h"
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

void WriteReport(const std::wstring& path, const Counts& n, const sim::FileSystemCounts& fs) {
  if (path.empty()) return;
  FILE* f = _wfopen(path.c_str(), L"w");
  if (!f) return;
  fprintf(f, "holds=%lu abandoned=%lu pin_abandoned=%lu chip_ops=%lu mismatches=%llu failures=%llu\n", n.holds,
          n.abandoned, n.pinAbandoned, n.chipOps, (unsigned long long)fs.mismatches, (unsigned long long)fs.failures);
  fclose(f);
}

void LogReport(const Counts& n, const sim::FileSystemLoad& load) {
  const sim::FileSystemCounts& fs = load.Counts();
  char rec[384];
  snprintf(rec, sizeof(rec),
           "{\"pid\":%lu,\"holds\":%lu,\"writes\":%llu,\"reads\":%llu,\"erases\":%llu,\"mismatches\":%llu,"
           "\"failures\":%llu,\"abandoned\":%lu,\"pinAbandoned\":%lu,\"firstBlock\":%lu,\"blocks\":%lu}",
           (unsigned long)GetCurrentProcessId(), n.holds, (unsigned long long)fs.writes, (unsigned long long)fs.reads,
           (unsigned long long)fs.erases, (unsigned long long)fs.mismatches, (unsigned long long)fs.failures,
           n.abandoned, n.pinAbandoned, (unsigned long)load.FirstBlock(), (unsigned long)load.BlockCount());
  PlatformLogEvent('S', rec);
}

uint64_t ChipOps() {
  sim::DeviceRecord rec;
  return sim::SocReadRecord(&rec) ? rec.chipOps : 0;
}

// The run's event log is for the program under test; this driver's own debug
// lines stay out of it until its report.
class EventLogMute {
 public:
  EventLogMute() {
    DWORD n = GetEnvironmentVariableW(L"DEVSIM_EVENT_LOG", path_, MAX_PATH);
    had_ = n > 0 && n < MAX_PATH;
    if (had_) SetEnvironmentVariableW(L"DEVSIM_EVENT_LOG", NULL);
  }
  void Restore() {
    if (had_) SetEnvironmentVariableW(L"DEVSIM_EVENT_LOG", path_);
  }
  bool Had() const { return had_; }

 private:
  wchar_t path_[MAX_PATH];
  bool had_ = false;
};

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
  sim::NandConfig cfg = DeviceConfig();
  sim::FileSystemLoad load(cfg);
  EventLogMute mute;
  bool working = cfg.sysdrvRate > 0 && load.Start();
  if (cfg.sysdrvRate > 0 && !working)
    fwprintf(stderr, L"sysflash: no file-system region to work in; holding the bus only\n");
  if (!opt.readyEvent.empty()) {
    HANDLE ready = CreateEventW(NULL, TRUE, FALSE, opt.readyEvent.c_str());
    if (ready) {
      SetEvent(ready);
      CloseHandle(ready);
    }
  }

  Counts n;
  uint64_t seen = ChipOps();
  for (;;) {
    if (WaitForSingleObject(stop, working ? 1 : opt.intervalMs) == WAIT_OBJECT_0) break;
    if (sim::SocPoweredOff()) return 0xDEAD;
    // Paced by the others: work only once someone else has used the chip.
    if (working && ChipOps() == seen) continue;
    unsigned long abandonedBefore = n.abandoned;
    if (!AcquireBus(flash, pin, stop, &n)) break;
    ++n.holds;
    if (working && n.abandoned != abandonedBefore) load.ResetChip();
    if (working) {
      for (uint32_t k = 0; k < cfg.sysdrvRate; ++k) load.Step();
    } else if (opt.holdMs) {
      Sleep(opt.holdMs);
    }
    ReleaseMutex(pin);
    ReleaseMutex(flash);
    seen = ChipOps();
  }
  // A last holding of the bus before it ends, as a driver closing its work:
  // it meets a flash mutex that the program under test left abandoned even
  // when the program died just before the stop, and checks its pages once more.
  DWORD last = WaitForSingleObject(flash, 2000);
  if (last == WAIT_ABANDONED) ++n.abandoned;
  if (last == WAIT_OBJECT_0 || last == WAIT_ABANDONED) {
    DWORD pinWait = WaitForSingleObject(pin, 2000);
    if (pinWait == WAIT_ABANDONED) ++n.pinAbandoned;
    if (pinWait == WAIT_OBJECT_0 || pinWait == WAIT_ABANDONED) {
      ++n.holds;
      if (working) {
        if (last == WAIT_ABANDONED) load.ResetChip();
        load.FinalCheck(64);
      }
      ReleaseMutex(pin);
    }
    ReleaseMutex(flash);
  }
  load.Stop();
  const sim::FileSystemCounts& fs = load.Counts();
  n.chipOps = (unsigned long)(fs.writes + fs.reads + fs.erases);
  WriteReport(opt.report, n, fs);
  mute.Restore();
  LogReport(n, load);
  CloseHandle(stop);
  CloseHandle(pin);
  CloseHandle(flash);
  return 0;
}
