// The run's event log as typed records: one struct per event kind, one writer
// (FormatEvent) and one reader (ParseEvent), both through nlohmann::json.
//
// Every process of a run appends one line per event to the file named by
// DEVSIM_EVENT_LOG (protocol.h), each line one JSON object whose "kind" names
// the record and whose other members are the record's fields:
//
//   debug     a line of NKDbgPrintfW output                  pid, line
//   message   MessageBoxW is called                          pid, owner, caption, text, type
//   answer    ... and returns                                pid, result
//   box       the robot saw a message box on screen          pid, owner, caption, text, buttons,
//                                                            topmost, foreground, icon, probeOpenError
//   process   CreateProcessW                                 pid, app, ok, error, child
//   delete    DeleteFileW                                    pid, path, ok, error
//   close     CloseHandle of a process handle                pid, process
//   progress  a progress bar set to a position               pid, pos
//   exit      the program under test ended (devrun)          pid, exit, timedOut, probeOpenError
//   sysdrv    the system driver stand-in's report            pid, holds, writes, reads, erases,
//                                                            mismatches, failures, abandoned,
//                                                            pinAbandoned, firstBlock, blocks, stoppedAt
//   camera    a camera stand-in's report                     pid, mode, takes, stoppedAt
//   checker   the protocol checker's record after the run     violations, lines
//             (written by `devsim run --events`, not by the
//             device's processes)
//
// Strings are UTF-8. probeOpenError is -1 when no probe file was asked for,
// else the error of opening it from another process (0: it opened).
// stoppedAt says where a stand-in noticed its stop: "between-operations" or
// "bounded-wait" (in the middle of an operation on a chip that does not answer).
#ifndef TOOLS_RUN_EVENTS_H
#define TOOLS_RUN_EVENTS_H

#include <cstdint>
#include <string>
#include <variant>
#include <vector>

namespace runproto {

struct DebugLine {
  uint64_t pid = 0;
  std::string line;
};

struct MessageBoxCall {
  uint64_t pid = 0;
  uint64_t owner = 0;
  std::string caption;
  std::string text;
  uint64_t type = 0;  // the MessageBoxW type flags
};

struct MessageBoxAnswer {
  uint64_t pid = 0;
  int64_t result = 0;
};

struct BoxSeen {
  uint64_t pid = 0;
  uint64_t owner = 0;
  std::string caption;
  std::string text;
  std::vector<std::string> buttons;
  bool topmost = false;
  bool foreground = false;
  bool icon = false;
  int64_t probeOpenError = -1;
};

struct ProcessStart {
  uint64_t pid = 0;
  std::string app;
  bool ok = false;
  uint64_t error = 0;
  uint64_t child = 0;
};

struct FileDelete {
  uint64_t pid = 0;
  std::string path;
  bool ok = false;
  uint64_t error = 0;
};

struct ProcessClose {
  uint64_t pid = 0;
  uint64_t process = 0;
};

struct Progress {
  uint64_t pid = 0;
  uint64_t pos = 0;
};

struct ProgramExit {
  uint64_t pid = 0;
  uint64_t exit = 0;
  bool timedOut = false;
  int64_t probeOpenError = -1;
};

struct SysdrvReport {
  uint64_t pid = 0;
  uint64_t holds = 0;
  uint64_t writes = 0, reads = 0, erases = 0;
  uint64_t mismatches = 0;  // pages read back that differ from what it wrote
  uint64_t failures = 0;    // operations its driver reported as failed
  uint64_t abandoned = 0;   // takings of "_FLASH_MUTEX_" that came abandoned
  uint64_t pinAbandoned = 0;
  uint64_t firstBlock = 0, blocks = 0;  // its file-system region
  std::string stoppedAt;
};

struct CameraReport {
  uint64_t pid = 0;
  std::string mode;    // camera | wp | camera-dies
  uint64_t takes = 0;  // takings of the pin mutex
  std::string stoppedAt;
};

struct CheckerRecord {
  uint64_t violations = 0;         // all the checker counted
  std::vector<std::string> lines;  // the ones it kept, in order
};

using Event = std::variant<DebugLine, MessageBoxCall, MessageBoxAnswer, BoxSeen, ProcessStart, FileDelete, ProcessClose,
                           Progress, ProgramExit, SysdrvReport, CameraReport, CheckerRecord>;

// The "kind" member of each record.
const char* KindOf(const Event& e);

// One log line (without the newline).
std::string FormatEvent(const Event& e);
// False, with *error set, for a line that is not an event of a known kind.
bool ParseEvent(const std::string& line, Event* e, std::string* error);
// A whole log's text; false at the first line that does not read.
bool ParseEventLog(const std::string& text, std::vector<Event>* events, std::string* error);

}  // namespace runproto

#endif
