// CreateProcessW as the device's kernel offers it: there, start-up
// information does not exist and callers pass none (and no current directory:
// a process starts in the root of the one file system). Win32 requires a
// start-up record, so a missing one is supplied empty here.
#include <windows.h>

namespace {

typedef BOOL(WINAPI* CreateProcessWFn)(LPCWSTR, LPWSTR, LPSECURITY_ATTRIBUTES, LPSECURITY_ATTRIBUTES, BOOL, DWORD,
                                       LPVOID, LPCWSTR, LPSTARTUPINFOW, LPPROCESS_INFORMATION);

BOOL WINAPI PlatformCreateProcessW(LPCWSTR app, LPWSTR cmd, LPSECURITY_ATTRIBUTES pa, LPSECURITY_ATTRIBUTES ta,
                                   BOOL inherit, DWORD flags, LPVOID env, LPCWSTR dir, LPSTARTUPINFOW si,
                                   LPPROCESS_INFORMATION pi) {
  static CreateProcessWFn sys =
      (CreateProcessWFn)(void*)GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "CreateProcessW");
  STARTUPINFOW empty;
  if (si == NULL) {
    ZeroMemory(&empty, sizeof(empty));
    empty.cb = sizeof(empty);
    si = &empty;
  }
  return sys(app, cmd, pa, ta, inherit, flags, env, dir, si, pi);
}

}  // namespace

extern "C" {
void* __imp_CreateProcessW = (void*)&PlatformCreateProcessW;
}
