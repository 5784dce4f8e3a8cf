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
// Exit codes: 0 done, 2 bad usage or the windows cannot be mapped, 3 no device.
#include <ceddk.h>
#include <pkfuncs.h>
#include <windows.h>

#include <stdio.h>
#include <wchar.h>

#include <string>

#include "flash/soc_ressh.h"
#include "flash/soc_windows.h"
#include "sim/device.h"
#include "sim/soc.h"

namespace {

struct Options {
  std::wstring mode;
  std::wstring stopEvent;
  std::wstring readyEvent;
  DWORD intervalMs = 3;
  DWORD holdMs = 1;
  unsigned long long afterOps = 0;
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

volatile ULONG* Reg(volatile BYTE* window, DWORD offset) {
  return reinterpret_cast<volatile ULONG*>(window + offset);
}

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
  for (int i = 1; i + 1 < argc; i += 2) {
    std::wstring a = argv[i], v = argv[i + 1];
    if (a == L"--mode") o->mode = v;
    else if (a == L"--stop-event") o->stopEvent = v;
    else if (a == L"--ready-event") o->readyEvent = v;
    else if (a == L"--interval-ms") o->intervalMs = DWORD(_wtoi(v.c_str()));
    else if (a == L"--hold-ms") o->holdMs = DWORD(_wtoi(v.c_str()));
    else if (a == L"--after-ops") o->afterOps = _wcstoui64(v.c_str(), NULL, 10);
    else return false;
  }
  return argc % 2 == 1 && (o->mode == L"camera" || o->mode == L"wp" || o->mode == L"camera-dies");
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  Options opt;
  if (!ParseArgs(argc, argv, &opt)) {
    fwprintf(stderr, L"usage: camera --mode camera|wp|camera-dies [--stop-event NAME] [--ready-event NAME] "
                     L"[--interval-ms N] [--hold-ms N] [--after-ops N]\n");
    return 2;
  }
  if (!sim::SocAttach()) {
    fwprintf(stderr, L"camera: no simulated device here\n");
    return 3;
  }
  Windows w;
  w.resShare = Map(RESSHARE_REGS_SIZE, RESSHARE_REGS_VA);
  w.extBoard = Map(EXTBOARD_REGS_SIZE, EXTBOARD_REGS_VA);
  w.globals = Map(DRIVER_GLOBALS_SIZE, DRIVER_GLOBALS_VA);
  HANDLE pin = CreateMutexW(NULL, FALSE, L"PIN_MUX_CAM_NANDFLASH_MUTEX");
  HANDLE stop = opt.stopEvent.empty() ? CreateEventW(NULL, TRUE, FALSE, NULL)
                                      : CreateEventW(NULL, TRUE, FALSE, opt.stopEvent.c_str());
  if (!w.resShare || !w.extBoard || !w.globals || !pin || !stop) {
    fwprintf(stderr, L"camera: cannot map the windows or open the pin mutex (error %lu)\n", GetLastError());
    return 2;
  }
  if (!opt.readyEvent.empty()) {
    HANDLE ready = CreateEventW(NULL, TRUE, FALSE, opt.readyEvent.c_str());
    if (ready) {
      SetEvent(ready);
      CloseHandle(ready);
    }
  }

  if (opt.mode == L"camera-dies") {
    while (ChipOps() < opt.afterOps)
      if (WaitForSingleObject(stop, 1) == WAIT_OBJECT_0) return 0;
    HANDLE both[2] = {stop, pin};
    if (WaitForMultipleObjects(2, both, FALSE, INFINITE) == WAIT_OBJECT_0) return 0;
    PinsToCamera(w);
    // Dies owning the mutex, the pins on the camera.
    ExitProcess(0);
  }

  unsigned long takes = 0;
  for (;;) {
    if (WaitForSingleObject(stop, opt.intervalMs) == WAIT_OBJECT_0) break;
    HANDLE both[2] = {stop, pin};
    DWORD got = WaitForMultipleObjects(2, both, FALSE, INFINITE);
    if (got == WAIT_OBJECT_0) break;
    ++takes;
    if (opt.mode == L"camera") PinsToCamera(w);
    else WriteProtectOn(w);
    if (opt.holdMs) Sleep(opt.holdMs);
    ReleaseMutex(pin);
  }
  fwprintf(stderr, L"camera: %ls took the pin mutex %lu times\n", opt.mode.c_str(), takes);
  return 0;
}
