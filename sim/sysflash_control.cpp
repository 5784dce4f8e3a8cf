#include "sim/sysflash_control.h"

#include <stdio.h>

namespace sim {

bool StartSysflash(const std::wstring& exePath, const std::wstring& extraArgs, SysflashProcess* p,
                   DWORD timeoutMs) {
  static LONG serial = 0;
  wchar_t suffix[64];
  swprintf(suffix, 64, L"%lu_%ld", GetCurrentProcessId(), InterlockedIncrement(&serial));
  std::wstring readyName = std::wstring(L"DEVSIM_SYSFLASH_READY_") + suffix;
  p->stopName = std::wstring(L"DEVSIM_SYSFLASH_STOP_") + suffix;
  HANDLE ready = CreateEventW(NULL, TRUE, FALSE, readyName.c_str());
  p->stopEvent = CreateEventW(NULL, TRUE, FALSE, p->stopName.c_str());
  if (!ready || !p->stopEvent) return false;

  std::wstring cmd = L"\"" + exePath + L"\" --ready-event " + readyName + L" --stop-event " + p->stopName;
  if (!extraArgs.empty()) cmd += L" " + extraArgs;
  STARTUPINFOW si;
  ZeroMemory(&si, sizeof(si));
  si.cb = sizeof(si);
  PROCESS_INFORMATION pi;
  if (!CreateProcessW(NULL, &cmd[0], NULL, NULL, FALSE, 0, NULL, NULL, &si, &pi)) {
    CloseHandle(ready);
    return false;
  }
  CloseHandle(pi.hThread);
  p->process = pi.hProcess;
  HANDLE both[2] = {ready, p->process};
  DWORD w = WaitForMultipleObjects(2, both, FALSE, timeoutMs);
  CloseHandle(ready);
  if (w == WAIT_OBJECT_0) return true;
  DWORD code = StopSysflash(p, 0);
  p->exitCode = code;
  return false;
}

DWORD StopSysflash(SysflashProcess* p, DWORD timeoutMs) {
  DWORD code = 0xFFFFFFFFu;
  if (p->process) {
    if (p->stopEvent) SetEvent(p->stopEvent);
    if (WaitForSingleObject(p->process, timeoutMs) != WAIT_OBJECT_0) {
      TerminateProcess(p->process, 0xFFFFFFFFu);
      WaitForSingleObject(p->process, 5000);
    } else {
      GetExitCodeProcess(p->process, &code);
    }
    CloseHandle(p->process);
  }
  if (p->stopEvent) CloseHandle(p->stopEvent);
  *p = SysflashProcess();
  p->exitCode = code;
  return code;
}

}  // namespace sim
