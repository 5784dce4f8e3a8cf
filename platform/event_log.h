// The event log of a run on a simulated device: a host command that starts a
// program names a file in the environment variable DEVSIM_EVENT_LOG, and every
// process of the run appends one UTF-8 line per event, in the order they
// happen, so the command can show them in that order afterwards:
//   D {"pid":N,"line":"…"}                           NKDbgPrintfW output
//   M {"pid":N,"owner":N,"caption":"…","text":"…","type":N}   a message box opens
//   R {"pid":N,"result":N}                           … and is answered
//   B {"pid":N,"caption":"…","text":"…","buttons":[…],"owner":N,"topmost":B,"foreground":B,"icon":B}
//                                                    the robot saw a box on screen
//   P {"pid":N,"app":"…","ok":B,"error":N,"child":N}  CreateProcessW
//   F {"pid":N,"path":"…","ok":B,"error":N}          DeleteFileW
//   C {"pid":N,"process":N}                          CloseHandle of a process handle
//   G {"pid":N,"pos":N}                              a progress bar is set to pos
//   X {"pid":N,"exit":N,"timedOut":B}                the program under test ended
// Strings are JSON strings. Without DEVSIM_EVENT_LOG nothing is written.
#ifndef PLATFORM_EVENT_LOG_H
#define PLATFORM_EVENT_LOG_H

#include <string>

void PlatformLogEvent(char kind, const std::string& payload);
std::string PlatformJsonString(const std::string& utf8);
std::string PlatformJsonString(const std::wstring& wide);

#endif
