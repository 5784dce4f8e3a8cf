// SendMessageW as the system's, with each progress-bar position a program
// sets (PBM_SETPOS) written to the run's event log, so a run on a simulated
// device shows the progress a person would watch.            event "progress"
#include <windows.h>
#include <commctrl.h>

#include "platform/event_log.h"

namespace {

typedef LRESULT(WINAPI* SendMessageWFn)(HWND, UINT, WPARAM, LPARAM);

LRESULT WINAPI PlatformSendMessageW(HWND hWnd, UINT msg, WPARAM wParam, LPARAM lParam) {
  static SendMessageWFn sys = (SendMessageWFn)(void*)GetProcAddress(LoadLibraryW(L"user32.dll"), "SendMessageW");
  if (msg == PBM_SETPOS) {
    runproto::Progress ev;
    ev.pid = GetCurrentProcessId();
    ev.pos = wParam;
    PlatformLogEvent(ev);
  }
  return sys(hWnd, msg, wParam, lParam);
}

}  // namespace

extern "C" {
void* __imp_SendMessageW = (void*)&PlatformSendMessageW;
}
