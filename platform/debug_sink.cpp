// NKDbgPrintfW on this machine: format the wide line as the kernel would and
// hand it to the debug sink (stderr, the in-process capture, and the log file
// a host command asked for).
#include <pkfuncs.h>

#include <stdarg.h>
#include <stdio.h>
#include <wchar.h>

#include "platform/debug_sink.h"
#include "platform/event_log.h"

namespace {

SRWLOCK g_lock = SRWLOCK_INIT;

struct Guard {
  Guard() { AcquireSRWLockExclusive(&g_lock); }
  ~Guard() { ReleaseSRWLockExclusive(&g_lock); }
};
std::vector<std::wstring>& Lines() {
  static std::vector<std::wstring> lines;
  return lines;
}
bool g_echo = true;

void WriteAll(HANDLE h, const std::string& s) {
  DWORD done = 0;
  if (h != NULL && h != INVALID_HANDLE_VALUE) WriteFile(h, s.data(), (DWORD)s.size(), &done, NULL);
}

}  // namespace

std::string PlatformUtf8(const std::wstring& w) {
  if (w.empty()) return std::string();
  int n = WideCharToMultiByte(CP_UTF8, 0, w.data(), (int)w.size(), NULL, 0, NULL, NULL);
  std::string s((size_t)n, '\0');
  WideCharToMultiByte(CP_UTF8, 0, w.data(), (int)w.size(), &s[0], n, NULL, NULL);
  return s;
}

std::wstring PlatformWide(const std::string& utf8) {
  if (utf8.empty()) return std::wstring();
  int n = MultiByteToWideChar(CP_UTF8, 0, utf8.data(), (int)utf8.size(), NULL, 0);
  std::wstring w((size_t)n, L'\0');
  MultiByteToWideChar(CP_UTF8, 0, utf8.data(), (int)utf8.size(), &w[0], n);
  return w;
}

extern "C" void NKDbgPrintfW(LPCWSTR lpszFmt, ...) {
  wchar_t buf[1024];
  va_list ap;
  va_start(ap, lpszFmt);
  // The Microsoft runtime's formatter: %s takes a wide string, as on the device.
  int n = _vsnwprintf(buf, sizeof(buf) / sizeof(buf[0]) - 1, lpszFmt, ap);
  va_end(ap);
  buf[sizeof(buf) / sizeof(buf[0]) - 1] = L'\0';
  if (n < 0) n = (int)wcslen(buf);
  std::wstring line(buf, (size_t)n);
  std::string utf8 = PlatformUtf8(line);

  Guard guard;
  Lines().push_back(line);
  if (g_echo) WriteAll(GetStdHandle(STD_ERROR_HANDLE), utf8);
  runproto::DebugLine ev;
  ev.pid = GetCurrentProcessId();
  ev.line = utf8;
  PlatformLogEvent(ev);
}

std::vector<std::wstring> PlatformDebugLines() {
  Guard guard;
  return Lines();
}

std::vector<std::string> PlatformDebugLinesUtf8() {
  std::vector<std::string> out;
  for (const std::wstring& w : PlatformDebugLines()) out.push_back(PlatformUtf8(w));
  return out;
}

void PlatformClearDebugLines() {
  Guard guard;
  Lines().clear();
}

void PlatformSetDebugEcho(bool echo) {
  Guard guard;
  g_echo = echo;
}
