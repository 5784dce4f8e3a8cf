#include "tests/updater/card_read.h"

#include <windows.h>

namespace {

CardRead g_mode = CardRead::Normal;

typedef BOOL(WINAPI* ReadFileFn)(HANDLE, LPVOID, DWORD, LPDWORD, LPOVERLAPPED);

BOOL WINAPI TestReadFile(HANDLE h, LPVOID buf, DWORD toRead, LPDWORD read, LPOVERLAPPED ov) {
  static ReadFileFn sys = (ReadFileFn)(void*)GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "ReadFile");
  if (g_mode == CardRead::Fail) {
    if (read) *read = 0;
    SetLastError(ERROR_READ_FAULT);
    return FALSE;
  }
  if (g_mode == CardRead::Short) toRead /= 2;
  return sys(h, buf, toRead, read, ov);
}

}  // namespace

void SetCardRead(CardRead mode) { g_mode = mode; }

// Every ReadFile of the test program comes here.
extern "C" {
void* __imp_ReadFile = (void*)&TestReadFile;
}
