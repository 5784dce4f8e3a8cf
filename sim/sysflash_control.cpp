#include "sim/sysflash_control.h"

#include <stdio.h>

#include "tools/run/protocol.h"

namespace sim {

bool StartProcessPatiently(const std::wstring& cmd, DWORD flags, PROCESS_INFORMATION* pi) {
  STARTUPINFOW si;
  ZeroMemory(&si, sizeof(si));
  si.cb = sizeof(si);
  std::wstring buf = cmd;  // CreateProcessW may write into the command line
  for (int attempt = 1;; ++attempt) {
    if (CreateProcessW(NULL, &buf[0], NULL, NULL, FALSE, flags, NULL, NULL, &si, pi)) break;
    DWORD error = GetLastError();
    if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND || attempt == 5) return false;
    Sleep(200);
  }
  if (!(flags & CREATE_SUSPENDED)) CloseHandle(pi->hThread);
  return true;
}

bool StartSysflash(const std::wstring& exePath, const std::wstring& extraArgs, SysflashProcess* p, DWORD timeoutMs) {
  static LONG serial = 0;
  wchar_t suffix[64];
  swprintf(suffix, 64, L"%lu_%ld", GetCurrentProcessId(), InterlockedIncrement(&serial));
  std::wstring readyName = std::wstring(runproto::kSysflashReadyPrefix) + suffix;
  p->stopName = std::wstring(runproto::kSysflashStopPrefix) + suffix;
  HANDLE ready = CreateEventW(NULL, TRUE, FALSE, readyName.c_str());
  p->stopEvent = CreateEventW(NULL, TRUE, FALSE, p->stopName.c_str());
  if (!ready || !p->stopEvent) return false;

  std::wstring cmd = L"\"" + exePath + L"\" --ready-event " + readyName + L" --stop-event " + p->stopName;
  if (!extraArgs.empty()) cmd += L" " + extraArgs;
  PROCESS_INFORMATION pi;
  if (!StartProcessPatiently(cmd, 0, &pi)) {
    fwprintf(stderr, L"sysflash: cannot start %ls (error %lu)\n", exePath.c_str(), GetLastError());
    CloseHandle(ready);
    return false;
  }
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

bool ReadSysdrvReport(const std::wstring& eventLog, runproto::SysdrvReport* report) {
  HANDLE f = CreateFileW(eventLog.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, NULL,
                         OPEN_EXISTING, 0, NULL);
  if (f == INVALID_HANDLE_VALUE) return false;
  std::string text;
  char buf[4096];
  DWORD n = 0;
  while (ReadFile(f, buf, sizeof(buf), &n, NULL) && n > 0) text.append(buf, n);
  CloseHandle(f);
  std::vector<runproto::Event> events;
  std::string error;
  bool found = false;
  if (!runproto::ParseEventLog(text, &events, &error)) return false;
  for (const runproto::Event& e : events) {
    if (const runproto::SysdrvReport* r = std::get_if<runproto::SysdrvReport>(&e)) {
      *report = *r;
      found = true;
    }
  }
  return found;
}

}  // namespace sim
