// camera: the other users of the pins and of the extension board that the
// NAND controller shares, as the updater's bus lock meets them.
//
// On the device the camera driver takes "PIN_MUX_CAM_NANDFLASH_MUTEX" when it
// wants the shared pins, switches them to the camera (RS_PINMUX bit 14) and
// lets go of the mutex with the pins still on the camera: whoever takes the
// mutex next switches them back if it needs them. Another driver keeps bits
// of the write-only extension-board control register in the shared shadow
// word and sets bit 7 (the NAND write protect) the same way, leaving it set.
// Like a driver, this program maps the resource-sharing and extension-board
// windows and the driver-globals page with VirtualAlloc + VirtualCopy and
// reaches the registers through the driver kit's register access.
//
//   camera --mode camera|wp|camera-dies [--stop-event NAME] [--ready-event NAME]
//          [--interval-ms N] [--hold-ms N] [--after-ops N]
//
//   camera       every --interval-ms (default 3): take the pin mutex, pins to
//                the camera, hold --hold-ms (default 1), release; until stopped
//   wp           the same rhythm, setting write protect in the shadow and the
//                register
//   camera-dies  once the chip has made --after-ops operations (default 0):
//                take the pin mutex, pins to the camera, and end the process
//                without releasing it (the next owner gets it abandoned)
// However it is stopped it ends with its report, the run's "camera" event
// (tools/run/events.h): mode, takings of the pin mutex, and where the stop
// met it. Exit codes (tools/run/protocol.h): 0 done, 2 bad usage or the
// windows cannot be mapped, 3 no device.
#include <ceddk.h>
#include <pkfuncs.h>
#include <windows.h>

#include <stdio.h>
#include <wchar.h>

#include <string>

#include "flash/nand_format.h"
#include "flash/soc_ressh.h"
#include "flash/soc_windows.h"
#include "platform/debug_sink.h"
#include "platform/event_log.h"
#include "sim/device.h"
#include "sim/soc.h"
#include "tools/run/cli.h"
#include "tools/run/protocol.h"

namespace {

struct Options {
  std::string mode;
  std::string stopEvent;
  std::string readyEvent;
  unsigned intervalMs = 3;
  unsigned holdMs = 1;
  uint64_t afterOps = 0;
};

struct Windows {
  volatile BYTE* resShare = NULL;
  volatile BYTE* extBoard = NULL;
  volatile BYTE* globals = NULL;
};

volatile BYTE* Map(DWORD size, DWORD address) {
  LPVOID base = VirtualAlloc(NULL, size, MEM_RESERVE, PAGE_NOACCESS);
  if (!base) return NULL;
  if (!VirtualCopy(base, reinterpret_cast<LPVOID>(static_cast<UINT_PTR>(address)), size,
                   PAGE_READWRITE | PAGE_NOCACHE)) {
    VirtualFree(base, 0, MEM_RELEASE);
    return NULL;
  }
  return static_cast<volatile BYTE*>(base);
}

volatile ULONG* Reg(volatile BYTE* window, DWORD offset) { return reinterpret_cast<volatile ULONG*>(window + offset); }

void PinsToCamera(const Windows& w) {
  ULONG v = READ_REGISTER_ULONG(Reg(w.resShare, RS_PINMUX));
  WRITE_REGISTER_ULONG(Reg(w.resShare, RS_PINMUX), v | RS_PINMUX_CAMERA);
}

// The shadow is read and written byte by byte (it need not be aligned), then
// the register gets the whole new value.
void WriteProtectOn(const Windows& w) {
  volatile BYTE* shadow = w.globals + EXT_BOARD_SHADOW;
  ULONG v = ULONG(shadow[0]) | ULONG(shadow[1]) << 8 | ULONG(shadow[2]) << 16 | ULONG(shadow[3]) << 24;
  v |= EXT_BOARD_NAND_WP;
  for (int i = 0; i < 4; ++i) shadow[i] = BYTE(v >> (8 * i));
  WRITE_REGISTER_ULONG(Reg(w.extBoard, EXT_BOARD_CTRL), v);
}

unsigned long long ChipOps() {
  sim::DeviceRecord rec;
  return sim::SocReadRecord(&rec) ? rec.chipOps : 0;
}

bool ParseArgs(int argc, wchar_t** argv, Options* o) {
  CLI::App app("the other users of the shared pins and the write protect", "camera");
  app.add_option("--mode", o->mode)->required()->check(CLI::IsMember({"camera", "wp", "camera-dies"}));
  app.add_option("--stop-event", o->stopEvent);
  app.add_option("--ready-event", o->readyEvent);
  app.add_option("--interval-ms", o->intervalMs);
  app.add_option("--hold-ms", o->holdMs);
  app.add_option("--after-ops", o->afterOps);
  return runproto::ParseCommandLine(app, argc, argv,
                                    "camera --mode camera|wp|camera-dies [--stop-event NAME] [--ready-event NAME] "
                                    "[--interval-ms N] [--hold-ms N] [--after-ops N]");
}

void Report(const Options& o, unsigned long takes, const char* stoppedAt) {
  runproto::CameraReport r;
  r.pid = GetCurrentProcessId();
  r.mode = o.mode;
  r.takes = takes;
  r.stoppedAt = stoppedAt;
  PlatformLogEvent(r);
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  Options opt;
  if (!ParseArgs(argc, argv, &opt)) return runproto::kStandInUsage;
  if (!sim::SocAttach()) {
    fwprintf(stderr, L"camera: no simulated device here\n");
    return runproto::kStandInNoDevice;
  }
  Windows w;
  w.resShare = Map(RESSHARE_REGS_SIZE, RESSHARE_REGS_VA);
  w.extBoard = Map(EXTBOARD_REGS_SIZE, EXTBOARD_REGS_VA);
  w.globals = Map(DRIVER_GLOBALS_SIZE, DRIVER_GLOBALS_VA);
  HANDLE pin = CreateMutexW(NULL, FALSE, PIN_MUTEX_NAME);
  HANDLE stop = opt.stopEvent.empty() ? CreateEventW(NULL, TRUE, FALSE, NULL)
                                      : CreateEventW(NULL, TRUE, FALSE, PlatformWide(opt.stopEvent).c_str());
  if (!w.resShare || !w.extBoard || !w.globals || !pin || !stop) {
    fwprintf(stderr, L"camera: cannot map the windows or open the pin mutex (error %lu)\n", GetLastError());
    return runproto::kStandInUsage;
  }
  if (!opt.readyEvent.empty()) {
    HANDLE ready = CreateEventW(NULL, TRUE, FALSE, PlatformWide(opt.readyEvent).c_str());
    if (ready) {
      SetEvent(ready);
      CloseHandle(ready);
    }
  }

  if (opt.mode == "camera-dies") {
    HANDLE both[2] = {stop, pin};
    bool stopped = false;
    while (!stopped && ChipOps() < opt.afterOps) stopped = WaitForSingleObject(stop, 1) == WAIT_OBJECT_0;
    if (stopped || WaitForMultipleObjects(2, both, FALSE, INFINITE) == WAIT_OBJECT_0) {
      Report(opt, 0, "between-operations");
      return runproto::kStandInOk;
    }
    PinsToCamera(w);
    // Dies owning the mutex, the pins on the camera; its report says so.
    Report(opt, 1, "died-holding-the-pins");
    ExitProcess(runproto::kStandInOk);
  }

  unsigned long takes = 0;
  for (;;) {
    if (WaitForSingleObject(stop, opt.intervalMs) == WAIT_OBJECT_0) break;
    HANDLE both[2] = {stop, pin};
    DWORD got = WaitForMultipleObjects(2, both, FALSE, INFINITE);
    if (got == WAIT_OBJECT_0) break;
    ++takes;
    if (opt.mode == "camera")
      PinsToCamera(w);
    else
      WriteProtectOn(w);
    if (opt.holdMs) Sleep(opt.holdMs);
    ReleaseMutex(pin);
  }
  Report(opt, takes, "between-operations");
  return runproto::kStandInOk;
}
