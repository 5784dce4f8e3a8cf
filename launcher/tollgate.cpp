// tollgate: the entry of the boot loader update on the card.
//
// Refuses on a device with the navigation program installed; otherwise starts
// the updater from the card, waits a bounded time for it to end and deletes
// the update files, so the card no longer offers the update. No window, no
// resources, no command line; 0 on every path.
#include <windows.h>

#include "launcher/tollgate_text.h"

#define START_ATTEMPTS 6
#define START_RETRY_MS 200
#define WAIT_POLLS     99
#define WAIT_POLL_MS   500

// The command line is ignored; LPTSTR is the wide string on the device, whose
// headers declare the entry that way, and the narrow one in a desktop build.
int WINAPI WinMain(HINSTANCE hInstance, HINSTANCE hPrevInstance, LPTSTR lpCmdLine, int nCmdShow) {
  (void)hInstance;
  (void)hPrevInstance;
  (void)lpCmdLine;
  (void)nCmdShow;

  // The update goes ahead only when the look says the navigation program is
  // not there. A look that fails for any other reason (the folder cannot be
  // read) tells nothing, and updating a device that must be refused is the
  // worse mistake, so it refuses.
  WIN32_FIND_DATAW fd;
  HANDLE hFind = FindFirstFileW(L"\\windows\\navorin.exe", &fd);
  DWORD dwLook = hFind == INVALID_HANDLE_VALUE ? GetLastError() : ERROR_SUCCESS;
  if (hFind != INVALID_HANDLE_VALUE) FindClose(hFind);
  if (dwLook != ERROR_FILE_NOT_FOUND && dwLook != ERROR_PATH_NOT_FOUND && dwLook != ERROR_NO_MORE_FILES) {
    MessageBoxW(NULL, g_szRefusalText, L"Tollgate", MB_OKCANCEL | MB_ICONEXCLAMATION | MB_SETFOREGROUND | MB_TOPMOST);
    return 0;
  }

  PROCESS_INFORMATION pi;
  int nAttempt = 1;
  while (!CreateProcessW(L"\\sdmmc disk\\Kestrel.exe", NULL, NULL, NULL, FALSE, 0, NULL, NULL, NULL, &pi)) {
    if (nAttempt == START_ATTEMPTS) {
      DeleteFileW(L"\\SDMMC Disk\\Eboot.nb0");
      return 0;
    }
    ++nAttempt;
    Sleep(START_RETRY_MS);
  }
  CloseHandle(pi.hThread);

  for (int nPoll = 1; nPoll <= WAIT_POLLS; ++nPoll) {
    // A read of the exit code that fails leaves the updater counted as
    // running: deleting it while it may still be running is never right.
    DWORD dwExitCode = STILL_ACTIVE;
    GetExitCodeProcess(pi.hProcess, &dwExitCode);
    if (dwExitCode != STILL_ACTIVE) {
      DeleteFileW(L"\\SDMMC Disk\\Kestrel.exe");
      DeleteFileW(L"\\SDMMC Disk\\Eboot.nb0");
      CloseHandle(pi.hProcess);
      return 0;
    }
    Sleep(WAIT_POLL_MS);
  }

  DeleteFileW(L"\\SDMMC Disk\\Eboot.nb0");
  CloseHandle(pi.hProcess);
  return 0;
}
