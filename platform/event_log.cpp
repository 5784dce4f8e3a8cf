#include "platform/event_log.h"

#include "platform/debug_sink.h"
#include "tools/run/protocol.h"

void PlatformLogEvent(const runproto::Event& event) {
  static const std::wstring variable = PlatformWide(runproto::kEnvEventLog);
  wchar_t path[MAX_PATH];
  DWORD n = GetEnvironmentVariableW(variable.c_str(), path, MAX_PATH);
  if (n == 0 || n >= MAX_PATH) return;
  // Appends from several processes land whole: each line is one write to a
  // handle opened for appending only.
  HANDLE h = CreateFileW(path, FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, NULL,
                         OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, NULL);
  if (h == INVALID_HANDLE_VALUE) return;
  std::string line = runproto::FormatEvent(event) + "\n";
  DWORD done = 0;
  WriteFile(h, line.data(), (DWORD)line.size(), &done, NULL);
  CloseHandle(h);
}
