// The SD card's reads, with the faults a worn or loose card shows. A run on a
// simulated device can ask for one through DEVSIM_CARD_FAULT:
//   read-fail    every ReadFile of a file on the card fails (ERROR_READ_FAULT)
//   short-read   reads of a file on the card deliver half of what was asked
// Files elsewhere, and every run without the variable, read normally.
#include <windows.h>

#include <wchar.h>

namespace {

typedef BOOL(WINAPI* ReadFileFn)(HANDLE, LPVOID, DWORD, LPDWORD, LPOVERLAPPED);

enum CardFault { kCardUnknown, kCardHealthy, kCardReadFail, kCardShortRead };

CardFault Fault() {
  static CardFault fault = kCardUnknown;
  if (fault == kCardUnknown) {
    wchar_t v[32];
    DWORD n = GetEnvironmentVariableW(L"DEVSIM_CARD_FAULT", v, 32);
    fault = kCardHealthy;
    if (n > 0 && n < 32 && wcscmp(v, L"read-fail") == 0) fault = kCardReadFail;
    if (n > 0 && n < 32 && wcscmp(v, L"short-read") == 0) fault = kCardShortRead;
  }
  return fault;
}

bool OnCard(HANDLE h) {
  wchar_t path[MAX_PATH + 8];
  DWORD n = GetFinalPathNameByHandleW(h, path, MAX_PATH, FILE_NAME_NORMALIZED);
  if (n == 0 || n >= MAX_PATH) return false;
  _wcslwr(path);
  return wcsstr(path, L"\\sdmmc disk\\") != NULL;
}

BOOL WINAPI PlatformReadFile(HANDLE h, LPVOID buf, DWORD toRead, LPDWORD read, LPOVERLAPPED ov) {
  static ReadFileFn sys = (ReadFileFn)(void*)GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "ReadFile");
  CardFault f = Fault();
  if (f != kCardHealthy && OnCard(h)) {
    if (f == kCardReadFail) {
      if (read) *read = 0;
      SetLastError(ERROR_READ_FAULT);
      return FALSE;
    }
    toRead /= 2;
  }
  return sys(h, buf, toRead, read, ov);
}

}  // namespace

extern "C" {
void* __imp_ReadFile = (void*)&PlatformReadFile;
}
