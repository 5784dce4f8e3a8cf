// Runs a built program on a simulated device under Wine, the way the device
// runs it: the device folder becomes the root of a drive, the system flash
// driver stand-in is started first, a robot answers message boxes, and
// everything is stopped after. The events of the run (debug lines, message
// boxes, the exit) come back in the order they happened.
#ifndef TOOLS_RUN_DEVICE_RUNNER_H
#define TOOLS_RUN_DEVICE_RUNNER_H

#include <cstdint>
#include <functional>
#include <string>
#include <variant>
#include <vector>

#include "tools/run/events.h"

namespace devsim {

struct RunOptions {
  std::string deviceDir;          // the device folder (Linux path)
  std::string program;            // "kestrel", "tollgate", or a path to an .exe
  std::vector<std::string> args;  // passed to the program
  std::string answer = "ok";      // ok | cancel | none
  bool systemDriver = true;
  bool cameras = true;              // the camera stand-ins nand.cfg asks for
  int64_t cameraDiesAfterOps = -1;  // a camera stand-in that dies holding the pins (-1: none)
  int64_t killAfterOps = -1;        // the device model ends the program after N chip operations
  double timeoutSeconds = 120;
  unsigned holdMs = 0;                  // how long the robot leaves each box up
  std::string probeFile;                // device path (e.g. "\\SDMMC Disk\\EBOOT.NB0") the robot tries to open
  bool interactive = false;             // a person answers (needs DISPLAY)
  bool show = false;                    // keep DISPLAY: a person watches, the robot answers
  std::string cardFault;                // "", "read-fail" or "short-read" (the card's reads)
  bool resetRun = true;                 // chip op counter to 0, power on, before the start
  bool clearRecord = true;              // and the protocol checker record cleared
  std::vector<std::string> runnerArgs;  // more devrun options, as given
  std::string winePrefix;               // the Wine prefix to run in; "" WinePrefix()
  // Each event as it is logged, while the program runs (the result keeps them all).
  std::function<void(const runproto::Event&)> onEvent;
};

struct RunResult {
  bool started = false;   // the runner itself came up
  bool ranToEnd = false;  // the program ended (by itself, or by the device: power loss, kill)
  uint64_t exitCode = 0;
  std::vector<runproto::Event> events;  // in the order they were logged
  std::string error;                    // why the run could not be made
  std::string runnerOutput;             // what the Wine side printed

  // The events of one kind, in order.
  template <class T>
  std::vector<const T*> All() const {
    std::vector<const T*> out;
    for (const runproto::Event& e : events)
      if (const T* t = std::get_if<T>(&e)) out.push_back(t);
    return out;
  }
  template <class T>
  const T* Last() const {
    std::vector<const T*> all = All<T>();
    return all.empty() ? nullptr : all.back();
  }
  std::vector<std::string> DebugLines() const;
};

// Where the device programs are: the device build DEVSIM_DEVICE_BUILD names,
// else those installed with this devsim (cmake/install-layout.cmake), else the
// checkout's build/device.
struct DevicePrograms {
  std::string dir;
  bool installed = false;  // side by side as installed, else in a device build's folders
  // The program's path (kestrel, tollgate, devrun, sysflash, camera); any
  // other name is taken as a path.
  std::string Path(const std::string& name) const;
  // What to say when the program at `path` is not there.
  std::string Missing(const std::string& path) const;
};
DevicePrograms FindDevicePrograms();
std::string ProgramPath(const std::string& name);  // FindDevicePrograms().Path(name)
// The installed data folder beside this devsim; "" for a devsim in a build.
std::string DataFolder();
// A Wine prefix the set-up prepared (or its X11 copy), and the command that
// prepares one: the installed script, or the checkout's set-up.
bool WinePrefixReady(const std::string& prefix);
std::string WinePrefixSetup();

bool RunOnDevice(const RunOptions& opt, RunResult* result);

// Output forms of the host tool's run command, one line per event it shows
// (MESSAGE caption="…" text="…" type=0x…, DEBUG "…", PROGRESS <position>,
// EXIT <code>); empty for the other events.
std::string FormatRunLine(const runproto::Event& e);
std::string JsonEscape(const std::string& s);  // with the quotes
// Every event as its log line, for failure messages.
std::string DescribeEvents(const RunResult& r);

// The Wine prefix of this process: WINEPREFIX (default
// ~/.cache/kestrel/wineprefix), or under CTest the prefix of the test worker
// it was given (resource "wine" N: that prefix with "-worker<N>" appended),
// each with its own Wine server, so that runs side by side never share named
// mutexes.
std::string WinePrefix();

// Linux path -> the path Wine gives it on drive Z:.
std::string WinePathOf(const std::string& unixPath);

}  // namespace devsim

#endif
