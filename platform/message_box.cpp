// The programs' MessageBoxW on this machine: the system's message box, with
// each call written to the run's event log first (owner, caption, text and the
// exact type flags, which the box on screen does not fully show), and its
// answer after. The robot that answers boxes reads them off the screen.
#include <windows.h>

#include <stdio.h>

#include "platform/event_log.h"

namespace {

typedef int(WINAPI* MessageBoxWFn)(HWND, LPCWSTR, LPCWSTR, UINT);

MessageBoxWFn SystemMessageBoxW() {
  static MessageBoxWFn fn = (MessageBoxWFn)(void*)GetProcAddress(LoadLibraryW(L"user32.dll"), "MessageBoxW");
  return fn;
}

int WINAPI PlatformMessageBoxW(HWND hWnd, LPCWSTR lpText, LPCWSTR lpCaption, UINT uType) {
  char head[96];
  snprintf(head, sizeof(head), "{\"pid\":%lu,\"owner\":%llu,\"caption\":", (unsigned long)GetCurrentProcessId(),
           (unsigned long long)(ULONG_PTR)hWnd);
  std::string rec = head;
  rec += PlatformJsonString(std::wstring(lpCaption ? lpCaption : L""));
  rec += ",\"text\":";
  rec += PlatformJsonString(std::wstring(lpText ? lpText : L""));
  char tail[32];
  snprintf(tail, sizeof(tail), ",\"type\":%u}", uType);
  rec += tail;
  PlatformLogEvent('M', rec);
  int result = SystemMessageBoxW()(hWnd, lpText, lpCaption, uType);
  char res[64];
  snprintf(res, sizeof(res), "{\"pid\":%lu,\"result\":%d}", (unsigned long)GetCurrentProcessId(), result);
  PlatformLogEvent('R', res);
  return result;
}

}  // namespace

extern "C" {
void* __imp_MessageBoxW = (void*)&PlatformMessageBoxW;
}
