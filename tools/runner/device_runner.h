// Runs a built program on a simulated device under Wine, the way the device
// runs it: the device folder becomes the root of a drive, the system flash
// driver stand-in is started first, a robot answers message boxes, and
// everything is stopped after. The events of the run (debug lines, message
// boxes, the exit) come back in the order they happened.
#ifndef TOOLS_RUNNER_DEVICE_RUNNER_H
#define TOOLS_RUNNER_DEVICE_RUNNER_H

#include <cstdint>
#include <string>
#include <vector>

namespace devsim {

struct RunOptions {
  std::string deviceDir;                 // the device folder (Linux path)
  std::string program;                   // "kestrel", "tollgate", or a path to an .exe
  std::vector<std::string> args;         // passed to the program
  std::string answer = "ok";             // ok | cancel | none
  bool systemDriver = true;
  double timeoutSeconds = 120;
  unsigned holdMs = 0;                   // how long the robot leaves each box up
  std::string probeFile;                 // device path (e.g. "\\SDMMC Disk\\EBOOT.NB0") the robot tries to open
  bool interactive = false;              // a person answers (needs DISPLAY)
  bool show = false;                     // keep DISPLAY: a person watches, the robot answers
  std::string cardFault;                 // "", "read-fail" or "short-read" (the card's reads)
  bool resetRun = true;                  // chip op counter to 0, power on, before the start
  bool clearRecord = true;               // and the protocol checker record cleared
  std::vector<std::string> runnerArgs;   // more devrun options (--kill-after-ops N, ...)
};

struct RunEvent {
  char kind = 0;         // 'D' debug line, 'M' message box call, 'R' its answer,
                         // 'B' box seen by the robot, 'P' process start,
                         // 'F' file deletion, 'C' process handle closed,
                         // 'G' progress position, 'X' program ended
  std::string text;      // D: the line; M/B: the text
  std::string caption;   // M/B
  uint64_t type = 0;     // M: the MessageBoxW type flags
  int64_t result = 0;    // R: the answer
  uint64_t owner = 0;    // M/B: owner window
  uint64_t pid = 0;
  bool topmost = false;  // B
  bool foreground = false;  // B
  bool icon = false;     // B
  std::vector<std::string> buttons;  // B
  int64_t probeOpenError = -1;       // B/X: error of opening the probe file (0: it opened)
  std::string path;      // P: application name; F: the file
  bool ok = false;       // P/F
  uint64_t error = 0;    // P/F: last error when not ok
  uint64_t child = 0;    // P: the started process
  uint64_t process = 0;  // C: the process whose handle was closed
  uint64_t position = 0; // G
  uint64_t exitCode = 0; // X
  bool timedOut = false; // X
  std::string raw;       // the log line as written
};

struct RunResult {
  bool started = false;      // the runner itself came up
  bool ranToEnd = false;     // the program ended by itself
  uint64_t exitCode = 0;
  std::vector<RunEvent> events;
  std::string error;         // why the run could not be made
  std::string runnerOutput;  // what the Wine side printed

  std::vector<const RunEvent*> Of(char kind) const;
  std::vector<std::string> DebugLines() const;
};

// Where the device build's programs are: DEVSIM_DEVICE_BUILD, else the
// project's build/device.
std::string DeviceBuildDir();
std::string ProgramPath(const std::string& name);  // kestrel, tollgate, devrun, sysflash

bool RunOnDevice(const RunOptions& opt, RunResult* result);

// Output forms of the host tool's run command.
std::string FormatMessageLine(const RunEvent& m);   // MESSAGE caption="…" text="…" type=0x…
std::string FormatDebugLine(const RunEvent& d);     // DEBUG "…"
std::string JsonEscape(const std::string& s);       // with the quotes

// Linux path -> the path Wine gives it on drive Z:.
std::string WinePathOf(const std::string& unixPath);

}  // namespace devsim

#endif
