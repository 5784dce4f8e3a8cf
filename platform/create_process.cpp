// Process and file calls of the device's programs, as the device's kernel
// offers them, each recorded in the run's event log (what the launcher asks of
// the system is its whole observable behaviour):
//  - CreateProcessW: on the device start-up information does not exist and
//    callers pass none; Win32 requires a start-up record, so a missing one is
//    supplied empty here.                                   event "process"
//  - DeleteFileW: unchanged.                                event "delete"
//  - CloseHandle: unchanged; the closing of a process handle is recorded. event "close"
#include <windows.h>

#include "platform/debug_sink.h"
#include "platform/event_log.h"

namespace {

typedef BOOL(WINAPI* CreateProcessWFn)(LPCWSTR, LPWSTR, LPSECURITY_ATTRIBUTES, LPSECURITY_ATTRIBUTES, BOOL, DWORD,
                                       LPVOID, LPCWSTR, LPSTARTUPINFOW, LPPROCESS_INFORMATION);
typedef BOOL(WINAPI* DeleteFileWFn)(LPCWSTR);
typedef BOOL(WINAPI* CloseHandleFn)(HANDLE);

FARPROC Kernel32(const char* name) { return GetProcAddress(GetModuleHandleW(L"kernel32.dll"), name); }

BOOL WINAPI PlatformCreateProcessW(LPCWSTR app, LPWSTR cmd, LPSECURITY_ATTRIBUTES pa, LPSECURITY_ATTRIBUTES ta,
                                   BOOL inherit, DWORD flags, LPVOID env, LPCWSTR dir, LPSTARTUPINFOW si,
                                   LPPROCESS_INFORMATION pi) {
  static CreateProcessWFn sys = (CreateProcessWFn)(void*)Kernel32("CreateProcessW");
  STARTUPINFOW empty;
  if (si == NULL) {
    ZeroMemory(&empty, sizeof(empty));
    empty.cb = sizeof(empty);
    si = &empty;
  }
  BOOL ok = sys(app, cmd, pa, ta, inherit, flags, env, dir, si, pi);
  DWORD error = GetLastError();
  runproto::ProcessStart ev;
  ev.pid = GetCurrentProcessId();
  ev.app = PlatformUtf8(app ? app : L"");
  ev.ok = ok != FALSE;
  ev.error = ok ? 0 : error;
  ev.child = ok && pi ? pi->dwProcessId : 0;
  PlatformLogEvent(ev);
  SetLastError(error);
  return ok;
}

BOOL WINAPI PlatformDeleteFileW(LPCWSTR path) {
  static DeleteFileWFn sys = (DeleteFileWFn)(void*)Kernel32("DeleteFileW");
  BOOL ok = sys(path);
  DWORD error = GetLastError();
  runproto::FileDelete ev;
  ev.pid = GetCurrentProcessId();
  ev.path = PlatformUtf8(path ? path : L"");
  ev.ok = ok != FALSE;
  ev.error = ok ? 0 : error;
  PlatformLogEvent(ev);
  SetLastError(error);
  return ok;
}

BOOL WINAPI PlatformCloseHandle(HANDLE h) {
  static CloseHandleFn sys = (CloseHandleFn)(void*)Kernel32("CloseHandle");
  DWORD process = GetProcessId(h);
  BOOL ok = sys(h);
  DWORD error = GetLastError();
  if (process != 0) {
    runproto::ProcessClose ev;
    ev.pid = GetCurrentProcessId();
    ev.process = process;
    PlatformLogEvent(ev);
  }
  SetLastError(error);
  return ok;
}

}  // namespace

extern "C" {
void* __imp_CreateProcessW = (void*)&PlatformCreateProcessW;
void* __imp_DeleteFileW = (void*)&PlatformDeleteFileW;
void* __imp_CloseHandle = (void*)&PlatformCloseHandle;
}
