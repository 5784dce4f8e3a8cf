// Starting and stopping the system flash driver stand-in (sysflash.exe) from
// a Win32 process: test fixtures, and the device runner.
//
// sysflash.exe command line (all optional):
//   --ready-event NAME   set this named event once "_FLASH_MUTEX_" exists and
//                        the device is attached: from then on FMD_Init can
//                        succeed
//   --stop-event NAME    stop when this named event is set (manual reset);
//                        default "DEVSIM_SYSFLASH_STOP"
//   --interval-ms N      pause between two takings of the bus (default 20)
//   --hold-ms N          how long it holds the bus each time (default 1)
//   --report PATH        at the end, write one line of counts to PATH:
//                        "holds=N abandoned=N pin_abandoned=N chip_ops=N mismatches=N"
//                        (takings of the bus, of which the flash or the pin
//                        mutex came abandoned; the file-system load's chip
//                        operations and data mismatches)
// It attaches to the device the way every program does (DEVSIM_DEVICE, else
// the root of its current drive). Exit codes: 0 stopped by the event, 2 bad
// usage or a mutex could not be made, 3 no device, 0xDEAD the device lost its
// power.
#ifndef SIM_SYSFLASH_CONTROL_H
#define SIM_SYSFLASH_CONTROL_H

#include <windows.h>

#include <string>

namespace sim {

struct SysflashProcess {
  HANDLE process = NULL;
  HANDLE stopEvent = NULL;
  std::wstring stopName;
  DWORD exitCode = STILL_ACTIVE;  // set when it ended
};

// Starts exePath with a stop and a ready event of its own (unique names),
// plus extraArgs, and waits until it is ready or has ended. False when it did
// not come up within timeoutMs (it is then ended); exitCode tells how it ended.
bool StartSysflash(const std::wstring& exePath, const std::wstring& extraArgs, SysflashProcess* p,
                   DWORD timeoutMs = 10000);
// Sets its stop event and waits for it to end; ends it after timeoutMs.
// Returns its exit code (0xFFFFFFFF when it had to be ended).
DWORD StopSysflash(SysflashProcess* p, DWORD timeoutMs = 10000);

}  // namespace sim

#endif
