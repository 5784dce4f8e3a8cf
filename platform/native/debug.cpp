// NKDbgPrintfW and the run's record in one Linux process: each debug line is
// formatted as the device's kernel formats it (the wide printf of the
// handheld's runtime: %s takes a wide string, %S a narrow one, l is 32 bits),
// echoed to stderr, kept for the tests and written to the run's event log when
// DEVSIM_EVENT_LOG names one.
#include <pkfuncs.h>
#include <windows.h>

#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>

#include <mutex>
#include <string>
#include <vector>

#include "platform/debug_sink.h"
#include "platform/event_log.h"
#include "platform/native/kernel_internal.h"
#include "platform/native/native.h"

namespace {

struct Record {
  std::mutex lock;
  std::vector<std::wstring> lines;
  std::vector<runproto::Event> events;
  bool echo = true;
  bool keep = true;
  FILE* log = nullptr;
  bool logOpened = false;
};

Record& R() {
  static Record* r = new Record;
  return *r;
}

// One conversion of the handheld's wide printf.
void FormatOne(std::wstring* out, const std::string& directive, wchar_t conv, int size, va_list* ap) {
  char buf[128];
  std::string s = directive;
  switch (conv) {
    case L'd':
    case L'i':
      if (size == 64)
        snprintf(buf, sizeof(buf), (s + "lld").c_str(), (long long)va_arg(*ap, int64_t));
      else
        snprintf(buf, sizeof(buf), (s + "d").c_str(), size == 16 ? (int)(short)va_arg(*ap, int) : va_arg(*ap, int));
      break;
    case L'u':
    case L'x':
    case L'X':
    case L'o': {
      char c = char(conv);
      if (size == 64) {
        snprintf(buf, sizeof(buf), (s + "ll" + c).c_str(), (unsigned long long)va_arg(*ap, uint64_t));
      } else {
        unsigned v = va_arg(*ap, unsigned);
        if (size == 16) v &= 0xFFFF;
        snprintf(buf, sizeof(buf), (s + c).c_str(), v);
      }
      break;
    }
    case L'p':
      snprintf(buf, sizeof(buf), "%p", va_arg(*ap, void*));
      break;
    case L'c':
    case L'C': {
      bool wide = (conv == L'c') != (size == 16);
      wchar_t ch = wide ? wchar_t(va_arg(*ap, int)) : wchar_t(static_cast<unsigned char>(va_arg(*ap, int)));
      out->push_back(ch);
      return;
    }
    case L's':
    case L'S': {
      bool wide = size == 32 || (size != 16 && conv == L's');
      std::wstring text;
      if (wide) {
        const wchar_t* w = va_arg(*ap, const wchar_t*);
        text = w ? w : L"(null)";
      } else {
        const char* n = va_arg(*ap, const char*);
        for (const char* p = n ? n : "(null)"; *p; ++p) text.push_back(wchar_t(static_cast<unsigned char>(*p)));
      }
      // Width and precision apply as to a narrow string of the same length.
      std::string placeholder(text.size(), 'x');
      snprintf(buf, sizeof(buf), (s + "s").c_str(), placeholder.c_str());
      std::string padded = buf;
      size_t lead = padded.find('x');
      size_t used = std::min(text.size(), padded.size() - (lead == std::string::npos ? padded.size() : lead));
      for (size_t i = 0; i < padded.size(); ++i) {
        if (lead != std::string::npos && i >= lead && i < lead + used)
          out->push_back(text[i - lead]);
        else
          out->push_back(L' ');
      }
      return;
    }
    default:
      out->push_back(L'%');
      out->push_back(conv);
      return;
  }
  for (const char* p = buf; *p; ++p) out->push_back(wchar_t(static_cast<unsigned char>(*p)));
}

std::wstring Format(const wchar_t* fmt, va_list ap) {
  std::wstring out;
  out.reserve(128);
  va_list args;
  va_copy(args, ap);
  for (const wchar_t* p = fmt; *p; ++p) {
    if (*p != L'%') {
      out.push_back(*p);
      continue;
    }
    if (p[1] == L'%') {
      out.push_back(L'%');
      ++p;
      continue;
    }
    std::string directive = "%";
    ++p;
    while (*p == L'-' || *p == L'+' || *p == L' ' || *p == L'#' || *p == L'0') directive += char(*p++);
    if (*p == L'*') {
      directive += std::to_string(va_arg(args, int));
      ++p;
    }
    while (*p >= L'0' && *p <= L'9') directive += char(*p++);
    if (*p == L'.') {
      directive += char(*p++);
      if (*p == L'*') {
        directive += std::to_string(va_arg(args, int));
        ++p;
      }
      while (*p >= L'0' && *p <= L'9') directive += char(*p++);
    }
    int size = 0;
    if (*p == L'h') {
      size = 16;
      ++p;
    } else if (p[0] == L'l' && p[1] == L'l') {
      size = 64;
      p += 2;
    } else if (*p == L'l' || *p == L'w') {
      size = 32;  // a long is 32 bits on the device; %ls is wide
      ++p;
    } else if (p[0] == L'I' && p[1] == L'6' && p[2] == L'4') {
      size = 64;
      p += 3;
    }
    if (!*p) break;
    FormatOne(&out, directive, *p, size, &args);
  }
  va_end(args);
  return out;
}

void WriteLogLine(Record& r, const runproto::Event& event) {
  if (!r.logOpened) {
    r.logOpened = true;
    const char* path = getenv("DEVSIM_EVENT_LOG");
    if (path && *path) r.log = fopen(path, "a");
  }
  if (r.log) {
    fprintf(r.log, "%s\n", runproto::FormatEvent(event).c_str());
    fflush(r.log);
  }
}

}  // namespace

void PlatformLogEvent(const runproto::Event& event) {
  Record& r = R();
  std::lock_guard<std::mutex> g(r.lock);
  if (r.keep) r.events.push_back(event);
  WriteLogLine(r, event);
}

// A debug line is formatted, converted and kept without copies: a run of the
// updater prints some hundreds of them, and their copies were a tenth of a
// fuzzer's run.
extern "C" void NKDbgPrintfW(LPCWSTR fmt, ...) {
  native::internal::CheckDeviceWide(fmt);
  va_list ap;
  va_start(ap, fmt);
  std::wstring line = Format(fmt, ap);
  va_end(ap);
  runproto::DebugLine ev;
  ev.pid = GetCurrentProcessId();
  ev.line = PlatformUtf8(line);
  Record& r = R();
  std::lock_guard<std::mutex> g(r.lock);
  if (r.echo) fputs(ev.line.c_str(), stderr);
  if (r.keep) r.lines.push_back(std::move(line));
  WriteLogLine(r, ev);
  if (r.keep) r.events.push_back(std::move(ev));
}

std::string PlatformUtf8(const std::wstring& w) { return native::internal::DeviceUtf8(w.data(), w.size()); }

std::wstring PlatformWide(const std::string& utf8) {
  std::wstring out;
  for (size_t i = 0; i < utf8.size();) {
    unsigned char c = static_cast<unsigned char>(utf8[i]);
    int extra = c < 0x80 ? 0 : c < 0xE0 ? 1 : c < 0xF0 ? 2 : 3;
    uint32_t cp = extra == 0 ? c : extra == 1 ? (c & 0x1F) : extra == 2 ? (c & 0x0F) : (c & 0x07);
    ++i;
    for (int k = 0; k < extra && i < utf8.size(); ++k, ++i)
      cp = (cp << 6) | (static_cast<unsigned char>(utf8[i]) & 0x3F);
    out.push_back(wchar_t(cp));
  }
  return out;
}

std::vector<std::wstring> PlatformDebugLines() {
  std::lock_guard<std::mutex> g(R().lock);
  return R().lines;
}

std::vector<std::string> PlatformDebugLinesUtf8() {
  std::vector<std::string> out;
  for (const std::wstring& w : PlatformDebugLines()) out.push_back(PlatformUtf8(w));
  return out;
}

void PlatformClearDebugLines() {
  std::lock_guard<std::mutex> g(R().lock);
  R().lines.clear();
}

void PlatformSetDebugEcho(bool echo) {
  std::lock_guard<std::mutex> g(R().lock);
  R().echo = echo;
}

namespace native {

std::vector<runproto::Event> Events() {
  std::lock_guard<std::mutex> g(R().lock);
  return R().events;
}

std::vector<runproto::Event> TakeEvents() {
  std::lock_guard<std::mutex> g(R().lock);
  std::vector<runproto::Event> taken;
  taken.swap(R().events);
  R().lines.clear();
  return taken;
}

void ClearEvents() {
  std::lock_guard<std::mutex> g(R().lock);
  R().events.clear();
  R().lines.clear();
}

void SetKeepEvents(bool keep) {
  std::lock_guard<std::mutex> g(R().lock);
  R().keep = keep;
}

namespace internal {
size_t EventCount() {
  std::lock_guard<std::mutex> g(R().lock);
  return R().events.size();
}
}  // namespace internal

}  // namespace native
