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
// under test's).
//
// However it is stopped it ends with its report, the run's "sysdrv" event
// (tools/run/events.h): the stop event is looked at between any two of its
// operations, and a stop that comes while the chip does not answer ends it at
// its next bounded wait (SocStopInLongWaits), report first.
#include <windows.h>

#include <stdio.h>
#include <wchar.h>

#include <string>

#include "flash/nand_format.h"
#include "platform/debug_sink.h"
#include "platform/event_log.h"
#include "sim/device.h"
#include "sim/nand_cfg.h"
#include "sim/soc.h"
#include "sim/sysflash/fs_load.h"
#include "tools/run/cli.h"
#include "tools/run/protocol.h"

namespace {

struct Options {
  std::string readyEvent;
  std::string stopEvent = "DEVSIM_SYSFLASH_STOP";
  unsigned intervalMs = 20;
  unsigned holdMs = 1;
};

struct Counts {
  unsigned long holds = 0;
  unsigned long abandoned = 0;
  unsigned long pinAbandoned = 0;
};

bool ParseArgs(int argc, wchar_t** argv, Options* o) {
  CLI::App app("the system flash driver stand-in", "sysflash");
  app.add_option("--ready-event", o->readyEvent);
  app.add_option("--stop-event", o->stopEvent);
  app.add_option("--interval-ms", o->intervalMs);
  app.add_option("--hold-ms", o->holdMs);
  return runproto::ParseCommandLine(
      app, argc, argv, "sysflash [--ready-event NAME] [--stop-event NAME] [--interval-ms N] [--hold-ms N]");
}

sim::NandConfig DeviceConfig() {
  sim::NandConfig cfg;
  std::string error;
  sim::LoadNandConfig(PlatformUtf8(sim::SocDeviceFile(L"nand.cfg")), &cfg, &error);
  return cfg;
}

// Both mutexes in the bus order. False when the stop event came first.
bool AcquireBus(HANDLE flash, HANDLE pin, HANDLE stop, Counts* n) {
  HANDLE first[2] = {stop, flash};
  DWORD w = WaitForMultipleObjects(2, first, FALSE, INFINITE);
  if (w == WAIT_OBJECT_0) return false;
  if (w == WAIT_ABANDONED_0 + 1) {
    ++n->abandoned;
    fwprintf(stderr, L"sysflash: " FLASH_MUTEX_NAME L" was abandoned by its owner; going on\n");
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

 private:
  wchar_t path_[MAX_PATH];
  bool had_ = false;
};

// What it has done so far, for the report however it ends.
Counts g_counts;
sim::FileSystemLoad* g_load = nullptr;
EventLogMute* g_mute = nullptr;

void Report(const char* stoppedAt) {
  runproto::SysdrvReport r;
  r.pid = GetCurrentProcessId();
  r.holds = g_counts.holds;
  r.abandoned = g_counts.abandoned;
  r.pinAbandoned = g_counts.pinAbandoned;
  if (g_load) {
    const sim::FileSystemCounts& fs = g_load->Counts();
    r.writes = fs.writes;
    r.reads = fs.reads;
    r.erases = fs.erases;
    r.mismatches = fs.mismatches;
    r.failures = fs.failures;
    r.firstBlock = g_load->FirstBlock();
    r.blocks = g_load->BlockCount();
  }
  r.stoppedAt = stoppedAt;
  if (g_mute) g_mute->Restore();
  PlatformLogEvent(r);
}

// Stopped in the middle of an operation on a chip that does not answer: the
// report goes out and the process ends where it stands (the bus mutexes it
// holds are abandoned; nobody is left to need them).
void StopInWait() {
  Report("bounded-wait");
  ExitProcess(runproto::kStandInOk);
}

// The bus mutexes and the stop event.
struct Bus {
  HANDLE flash = NULL;
  HANDLE pin = NULL;
  HANDLE stop = NULL;
};

// Creates "_FLASH_MUTEX_" (or shares it), opens or creates the pin mutex and
// the stop event. False, said on stderr, when one cannot be had.
bool OpenBus(const Options& opt, Bus* bus) {
  bus->flash = CreateMutexW(NULL, FALSE, FLASH_MUTEX_NAME);
  if (!bus->flash) {
    fwprintf(stderr, L"sysflash: cannot create " FLASH_MUTEX_NAME L" (error %lu)\n", GetLastError());
    return false;
  }
  if (GetLastError() == ERROR_ALREADY_EXISTS) fwprintf(stderr, L"sysflash: " FLASH_MUTEX_NAME L" already exists; sharing it\n");
  bus->pin = CreateMutexW(NULL, FALSE, PIN_MUTEX_NAME);
  bus->stop = CreateEventW(NULL, TRUE, FALSE, PlatformWide(opt.stopEvent).c_str());
  if (!bus->pin || !bus->stop) {
    fwprintf(stderr, L"sysflash: cannot create the pin mutex or the stop event (error %lu)\n", GetLastError());
    return false;
  }
  return true;
}

// Tells the starter that the flash mutex exists and the driver is up.
void SignalReady(const std::string& name) {
  if (name.empty()) return;
  HANDLE ready = CreateEventW(NULL, TRUE, FALSE, PlatformWide(name).c_str());
  if (ready) {
    SetEvent(ready);
    CloseHandle(ready);
  }
}

// Takes the bus from time to time (or, working the chip, each time another
// driver has made progress) until the stop event is set. False when the
// power went.
bool HoldBusUntilStopped(const Bus& bus, const Options& opt, const sim::NandConfig& cfg, bool working,
                         sim::FileSystemLoad& load) {
  Counts& n = g_counts;
  uint64_t seen = ChipOps();
  for (;;) {
    if (WaitForSingleObject(bus.stop, working ? 1 : opt.intervalMs) == WAIT_OBJECT_0) break;
    if (sim::SocPoweredOff()) return false;
    // Paced by the others: work only once someone else has used the chip.
    if (working && ChipOps() == seen) continue;
    unsigned long abandonedBefore = n.abandoned;
    if (!AcquireBus(bus.flash, bus.pin, bus.stop, &n)) break;
    ++n.holds;
    if (working && n.abandoned != abandonedBefore) load.ResetChip();
    if (working) {
      for (uint32_t k = 0; k < cfg.sysdrvRate && WaitForSingleObject(bus.stop, 0) != WAIT_OBJECT_0; ++k) load.Step();
    } else if (opt.holdMs) {
      Sleep(opt.holdMs);
    }
    ReleaseMutex(bus.pin);
    ReleaseMutex(bus.flash);
    seen = ChipOps();
  }
  return true;
}

// A last holding of the bus before it ends, as a driver closing its work:
// it meets a flash mutex that the program under test left abandoned even
// when the program died just before the stop, and checks its pages once more.
void LastHolding(const Bus& bus, bool working, sim::FileSystemLoad& load) {
  Counts& n = g_counts;
  DWORD last = WaitForSingleObject(bus.flash, INFINITE);
  if (last == WAIT_ABANDONED) ++n.abandoned;
  if (last == WAIT_OBJECT_0 || last == WAIT_ABANDONED) {
    DWORD pinWait = WaitForSingleObject(bus.pin, INFINITE);
    if (pinWait == WAIT_ABANDONED) ++n.pinAbandoned;
    if (pinWait == WAIT_OBJECT_0 || pinWait == WAIT_ABANDONED) {
      ++n.holds;
      if (working) {
        if (last == WAIT_ABANDONED) load.ResetChip();
        load.FinalCheck(64);
      }
      ReleaseMutex(bus.pin);
    }
    ReleaseMutex(bus.flash);
  }
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  Options opt;
  if (!ParseArgs(argc, argv, &opt)) return runproto::kStandInUsage;

  Bus bus;
  if (!OpenBus(opt, &bus)) return runproto::kStandInUsage;
  if (!sim::SocAttach()) {
    fwprintf(stderr, L"sysflash: no simulated device here (DEVSIM_DEVICE, or the root of the current drive)\n");
    return runproto::kStandInNoDevice;
  }
  sim::NandConfig cfg = DeviceConfig();
  sim::FileSystemLoad load(cfg);
  EventLogMute mute;
  g_load = &load;
  g_mute = &mute;
  bool working = cfg.sysdrvRate > 0 && load.Start();
  if (cfg.sysdrvRate > 0 && !working)
    fwprintf(stderr, L"sysflash: no file-system region to work in; holding the bus only\n");
  sim::SocStopInLongWaits(bus.stop, StopInWait);
  SignalReady(opt.readyEvent);

  if (!HoldBusUntilStopped(bus, opt, cfg, working, load)) return runproto::kExitPowerLost;
  LastHolding(bus, working, load);
  load.Stop();
  Report("between-operations");
  CloseHandle(bus.stop);
  CloseHandle(bus.pin);
  CloseHandle(bus.flash);
  return runproto::kStandInOk;
}
