#include "platform/event_log.h"

#include "platform/debug_sink.h"
#include "tools/run/protocol.h"

void PlatformLogEvent(const runproto::Event& event) {
  static const std::wstring variable = PlatformWide(runproto::kEnvEventLog);
  // The program's last error is its own: logging leaves it as it was.
  const DWORD lastError = GetLastError();
  wchar_t path[MAX_PATH];
  DWORD n = GetEnvironmentVariableW(variable.c_str(), path, MAX_PATH);
  if (n == 0 || n >= MAX_PATH) {
    SetLastError(lastError);
    return;
  }
  // Each line is one write to a handle opened for appending only, and the
  // processes of a run take turns: Wine finds the end of the file and writes
  // there as two steps, so two processes appending at once could both write
  // at the same end and tear a line. A turn left by a process that was ended
  // while it wrote (WAIT_ABANDONED) is taken over; a turn that does not come
  // within the bound is not waited for any longer.
  static HANDLE turn = CreateMutexW(NULL, FALSE, runproto::kEventLogMutex);
  DWORD waited = turn ? WaitForSingleObject(turn, 10000) : WAIT_FAILED;
  HANDLE h = CreateFileW(path, FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, NULL,
                         OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, NULL);
  if (h != INVALID_HANDLE_VALUE) {
    std::string line = runproto::FormatEvent(event) + "\n";
    DWORD done = 0;
    WriteFile(h, line.data(), (DWORD)line.size(), &done, NULL);
    CloseHandle(h);
  }
  if (waited == WAIT_OBJECT_0 || waited == WAIT_ABANDONED) ReleaseMutex(turn);
  SetLastError(lastError);
}
