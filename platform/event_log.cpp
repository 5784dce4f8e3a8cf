#include "platform/event_log.h"

#include <windows.h>

#include <stdio.h>

#include "platform/debug_sink.h"
#include "platform/json_quote.h"

void PlatformLogEvent(char kind, const std::string& payload) {
  wchar_t path[MAX_PATH];
  DWORD n = GetEnvironmentVariableW(L"DEVSIM_EVENT_LOG", path, MAX_PATH);
  if (n == 0 || n >= MAX_PATH) return;
  // Appends from several processes land whole: each line is one write to a
  // handle opened for appending only.
  HANDLE h = CreateFileW(path, FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, NULL,
                         OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, NULL);
  if (h == INVALID_HANDLE_VALUE) return;
  std::string line;
  line += kind;
  line += ' ';
  line += payload;
  line += '\n';
  DWORD done = 0;
  WriteFile(h, line.data(), (DWORD)line.size(), &done, NULL);
  CloseHandle(h);
}

std::string PlatformJsonString(const std::string& s) { return JsonQuote(s); }

std::string PlatformJsonString(const std::wstring& w) { return PlatformJsonString(PlatformUtf8(w)); }
