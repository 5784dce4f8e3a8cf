// The programs' MessageBoxW on this machine: the system's message box, with
// each call written to the run's event log first (owner, caption, text and the
// exact type flags, which the box on screen does not fully show), and its
// answer after. The robot that answers boxes reads them off the screen.
#include <windows.h>

#include "platform/debug_sink.h"
#include "platform/event_log.h"

namespace {

typedef int(WINAPI* MessageBoxWFn)(HWND, LPCWSTR, LPCWSTR, UINT);

MessageBoxWFn SystemMessageBoxW() {
  static MessageBoxWFn fn = (MessageBoxWFn)(void*)GetProcAddress(LoadLibraryW(L"user32.dll"), "MessageBoxW");
  return fn;
}

int WINAPI PlatformMessageBoxW(HWND hWnd, LPCWSTR lpText, LPCWSTR lpCaption, UINT uType) {
  runproto::MessageBoxCall call;
  call.pid = GetCurrentProcessId();
  call.owner = (ULONG_PTR)hWnd;
  call.caption = PlatformUtf8(lpCaption ? lpCaption : L"");
  call.text = PlatformUtf8(lpText ? lpText : L"");
  call.type = uType;
  PlatformLogEvent(call);
  int result = SystemMessageBoxW()(hWnd, lpText, lpCaption, uType);
  runproto::MessageBoxAnswer answer;
  answer.pid = GetCurrentProcessId();
  answer.result = result;
  PlatformLogEvent(answer);
  return result;
}

}  // namespace

extern "C" {
void* __imp_MessageBoxW = (void*)&PlatformMessageBoxW;
}
