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
// Numbers are decimal or 0x-hexadecimal, nothing else (a bad one: exit 2).
// It attaches to the device the way every program does (DEVSIM_DEVICE, else
// the root of its current drive). As it ends it writes its report to the
// run's event log (DEVSIM_EVENT_LOG): takings of the bus, of which the flash
// or the pin mutex came abandoned, and the file-system load's operations,
// failures and data mismatches (the "sysdrv" event, tools/run/events.h).
// Exit codes (tools/run/protocol.h): 0 stopped by the event, 2 bad usage or a
// mutex could not be made, 3 no device, 0xDEAD the device lost its power.
#ifndef SIM_SYSFLASH_CONTROL_H
#define SIM_SYSFLASH_CONTROL_H

#include <windows.h>

#include <string>

#include "tools/run/events.h"

namespace sim {

struct SysflashProcess {
  HANDLE process = NULL;
  HANDLE stopEvent = NULL;
  std::wstring stopName;
  DWORD exitCode = STILL_ACTIVE;  // set when it ended
};

// CreateProcessW of cmd with `flags`, tried again when the Wine server
// refuses the start with an internal error, as it now and then does under
// load (that is this machine, not the device). A program that is not there
// fails at once. The thread handle is closed unless the start is suspended.
bool StartProcessPatiently(const std::wstring& cmd, DWORD flags, PROCESS_INFORMATION* pi);

// Starts exePath with a stop and a ready event of its own (unique names),
// plus extraArgs, and waits until it is ready or has ended. False when it did
// not come up within timeoutMs (it is then ended); exitCode tells how it ended.
bool StartSysflash(const std::wstring& exePath, const std::wstring& extraArgs, SysflashProcess* p,
                   DWORD timeoutMs = 10000);
// Sets its stop event and waits for it to end: it stops at its next operation
// or bounded wait, report first. Ends it only when it has not ended after
// timeoutMs (a stand-in that is broken, not one that is slow). Returns its
// exit code (0xFFFFFFFF when it had to be ended).
DWORD StopSysflash(SysflashProcess* p, DWORD timeoutMs = 120000);

// The stand-in's report in an event log it wrote to (DEVSIM_EVENT_LOG named
// that file when it started): the last "sysdrv" event. False when there is none.
bool ReadSysdrvReport(const std::wstring& eventLog, runproto::SysdrvReport* report);

}  // namespace sim

#endif
