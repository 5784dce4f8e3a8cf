// SendMessageW as the system's, with each progress-bar position a program
// sets (PBM_SETPOS) written to the run's event log, so a run on a simulated
// device shows the progress a person would watch.            event G
#include <windows.h>
#include <commctrl.h>

#include <stdio.h>

#include "platform/event_log.h"

namespace {

typedef LRESULT(WINAPI* SendMessageWFn)(HWND, UINT, WPARAM, LPARAM);

LRESULT WINAPI PlatformSendMessageW(HWND hWnd, UINT msg, WPARAM wParam, LPARAM lParam) {
  static SendMessageWFn sys = (SendMessageWFn)(void*)GetProcAddress(LoadLibraryW(L"user32.dll"), "SendMessageW");
  if (msg == PBM_SETPOS) {
    char rec[64];
    snprintf(rec, sizeof(rec), "{\"pid\":%lu,\"pos\":%llu}", (unsigned long)GetCurrentProcessId(),
             (unsigned long long)wParam);
    PlatformLogEvent('G', rec);
  }
  return sys(hWnd, msg, wParam, lParam);
}

}  // namespace

extern "C" {
void* __imp_SendMessageW = (void*)&PlatformSendMessageW;
}
