// Where NKDbgPrintfW lines go on this machine: a person sees each line on
// stderr; tests read the lines captured in this process; a host command that
// runs a program on a device reads them from the run's event log
// (platform/event_log.h).
#ifndef PLATFORM_DEBUG_SINK_H
#define PLATFORM_DEBUG_SINK_H

#include <string>
#include <vector>

// Lines written so far by this process (each as formatted, "\r\n" included).
std::vector<std::wstring> PlatformDebugLines();
void PlatformClearDebugLines();
// Lines as UTF-8, convenient for gtest messages.
std::vector<std::string> PlatformDebugLinesUtf8();
// The one conversion between the wide strings of Win32 and the UTF-8 of the
// event log, command lines and file names given as text.
std::string PlatformUtf8(const std::wstring& w);
std::wstring PlatformWide(const std::string& utf8);
// Mutes stderr echo (tests that print thousands of lines); capture goes on.
void PlatformSetDebugEcho(bool echo);

#endif
