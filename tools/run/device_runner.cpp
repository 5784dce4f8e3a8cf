#include "tools/run/device_runner.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <iterator>
#include <sstream>

#include <nlohmann/json.hpp>

#include "sim/device_record.h"
#include "tools/run/install_layout.h"
#include "tools/run/process.h"
#include "tools/run/protocol.h"

extern char** environ;

namespace devsim {
namespace {

std::string Env(const char* name, const std::string& fallback) {
  const char* v = getenv(name);
  return v && *v ? std::string(v) : fallback;
}

std::string AbsolutePath(const std::string& p) {
  char buf[4096];
  if (realpath(p.c_str(), buf)) return buf;
  return p;
}

// Maps the device folder as a drive of the prefix, for the time of one run.
class DriveMapping {
 public:
  DriveMapping(const std::string& prefix, const std::string& dir) {
    std::string dosdevices = prefix + "/dosdevices/";
    for (char l = 'y'; l >= 'k'; --l) {
      std::string link = dosdevices + l + ":";
      char target[4096];
      ssize_t n = readlink(link.c_str(), target, sizeof(target) - 1);
      if (n >= 0) continue;
      if (symlink(dir.c_str(), link.c_str()) == 0) {
        link_ = link;
        letter_ = l;
        return;
      }
    }
  }
  ~DriveMapping() {
    if (!link_.empty()) unlink(link_.c_str());
  }
  char Letter() const { return letter_; }

 private:
  std::string link_;
  char letter_ = 0;
};

// Reads the event log as it grows: each whole new line is parsed, kept in the
// result and handed to onEvent.
class EventTail {
 public:
  EventTail(const std::string& path, const std::function<void(const runproto::Event&)>& onEvent, RunResult* result)
      : path_(path), onEvent_(onEvent), result_(result) {}

  void Read() {
    std::ifstream f(path_, std::ios::binary);
    if (!f) return;
    f.seekg(std::streamoff(offset_));
    std::string chunk((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
    size_t end = chunk.rfind('\n');
    if (end == std::string::npos) return;  // no whole line yet
    offset_ += end + 1;
    std::istringstream lines(chunk.substr(0, end + 1));
    std::string line;
    while (std::getline(lines, line)) Take(line);
  }

 private:
  void Take(const std::string& line) {
    if (line.empty()) return;
    runproto::Event ev;
    std::string why;
    if (!runproto::ParseEvent(line, &ev, &why)) {
      // Every writer is ours: a line that does not read is a fault of the run path.
      if (result_->error.empty()) result_->error = "event log: " + why;
      return;
    }
    if (auto x = std::get_if<runproto::ProgramExit>(&ev)) {
      result_->exitCode = x->exit;
      result_->ranToEnd = !x->timedOut;
    }
    result_->events.push_back(ev);
    if (onEvent_) onEvent_(ev);
  }

  std::string path_;
  const std::function<void(const runproto::Event&)>& onEvent_;
  RunResult* result_;
  uint64_t offset_ = 0;
};

}  // namespace

std::vector<std::string> RunResult::DebugLines() const {
  std::vector<std::string> out;
  for (const runproto::DebugLine* d : All<runproto::DebugLine>()) out.push_back(d->line);
  return out;
}

namespace {

bool Exists(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0;
}

// The folder of the running program, as the kernel knows it (empty if not).
std::string OwnFolder() {
  char buf[4096];
  ssize_t n = readlink("/proc/self/exe", buf, sizeof(buf) - 1);
  if (n <= 0) return "";
  std::string exe(buf, size_t(n));
  return exe.substr(0, exe.rfind('/'));
}

std::string SourceDir() {
#ifdef KESTREL_SOURCE_DIR
  return KESTREL_SOURCE_DIR;
#else
  return ".";
#endif
}

// The installed tree's folder FROM_BIN away from the running program, when
// there is one: a devsim in a build folder has none beside it.
std::string InstalledFolder(const char* fromBin) {
  const std::string own = OwnFolder();
  if (own.empty()) return "";
  const std::string dir = own + "/" + fromBin;
  struct stat st;
  return stat(dir.c_str(), &st) == 0 && S_ISDIR(st.st_mode) ? AbsolutePath(dir) : "";
}

}  // namespace

// A device build named by the caller wins (tests, a second build); then the
// programs installed with this devsim; then the checkout's own device build.
DevicePrograms FindDevicePrograms() {
  const std::string named = Env("DEVSIM_DEVICE_BUILD", "");
  if (!named.empty()) return {named, false};
  const std::string installed = InstalledFolder(layout::kProgramDirFromBin);
  if (!installed.empty()) return {installed, true};
  return {SourceDir() + "/build/device", false};
}

std::string DevicePrograms::Path(const std::string& name) const {
  for (const layout::DeviceProgram& p : layout::kDevicePrograms) {
    if (name != p.name) continue;
    return installed ? dir + "/" + name + ".exe" : dir + "/" + p.buildFolder + "/" + name + ".exe";
  }
  return name;
}

std::string DevicePrograms::Missing(const std::string& path) const {
  if (installed)
    return path + ": missing from the installed device programs in " + dir +
           " (install a host build again, with the device build's programs built)";
  return path + ": not built (run the device build first: cmake --build --preset device --target device_programs)";
}

std::string ProgramPath(const std::string& name) { return FindDevicePrograms().Path(name); }

std::string DataFolder() { return InstalledFolder(layout::kDataDirFromBin); }

bool WinePrefixReady(const std::string& prefix) {
  return Exists(prefix + "/.kestrel-ready-2") || Exists(prefix + "/.kestrel-x11-ready");
}

std::string WinePrefixSetup() {
  const DevicePrograms programs = FindDevicePrograms();
  if (programs.installed) return programs.dir + "/" + layout::kWinePrefixScript;
  return SourceDir() + "/scripts/setup.sh";
}

std::string WinePathOf(const std::string& unixPath) {
  std::string p = "Z:" + AbsolutePath(unixPath);
  for (char& c : p)
    if (c == '/') c = '\\';
  return p;
}

std::string WinePrefix() {
  std::string base = Env("WINEPREFIX", Env("HOME", "/root") + "/.cache/kestrel/wineprefix");
  // CTest hands each test that needs Wine one slot of the resource "wine":
  // CTEST_RESOURCE_GROUP_0_WINE = "id:N,slots:1".
  std::string slot = Env("CTEST_RESOURCE_GROUP_0_WINE", "");
  size_t id = slot.find("id:");
  if (id == std::string::npos) return base;
  std::string n = slot.substr(id + 3, slot.find(',', id) - id - 3);
  return base + "-worker" + n;
}

std::string JsonEscape(const std::string& s) {
  return nlohmann::json(s).dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

std::string FormatRunLine(const runproto::Event& e) {
  if (auto m = std::get_if<runproto::MessageBoxCall>(&e)) {
    char type[32];
    snprintf(type, sizeof(type), "0x%08llx", (unsigned long long)m->type);
    return "MESSAGE caption=" + JsonEscape(m->caption) + " text=" + JsonEscape(m->text) + " type=" + type;
  }
  if (auto d = std::get_if<runproto::DebugLine>(&e)) return "DEBUG " + JsonEscape(d->line);
  if (auto p = std::get_if<runproto::Progress>(&e)) return "PROGRESS " + std::to_string(p->pos);
  if (auto x = std::get_if<runproto::ProgramExit>(&e))
    return "EXIT " + std::to_string(x->exit) + (x->timedOut ? " (stopped: time-out)" : "");
  return std::string();
}

std::string DescribeEvents(const RunResult& r) {
  std::string s;
  for (const runproto::Event& e : r.events) s += runproto::FormatEvent(e) + "\n";
  return s;
}

namespace {

// devrun's command line: its options from the run's, then the program and its
// arguments, every path as Wine sees it.
std::vector<std::string> RunnerArgs(const RunOptions& opt, const std::string& program) {
  std::vector<std::string> args = {"/usr/lib/wine/wine64", WinePathOf(ProgramPath("devrun")), "--answer",
                                   opt.interactive ? "none" : opt.answer};
  char num[32];
  snprintf(num, sizeof(num), "%g", opt.timeoutSeconds);
  args.push_back("--timeout");
  args.push_back(num);
  if (opt.holdMs) {
    args.push_back("--hold");
    args.push_back(std::to_string(opt.holdMs));
  }
  if (!opt.probeFile.empty()) {
    args.push_back("--probe-file");
    args.push_back(opt.probeFile);
  }
  if (opt.systemDriver) {
    args.push_back("--sysflash");
    args.push_back(WinePathOf(ProgramPath("sysflash")));
  } else {
    args.push_back("--no-system-driver");
  }
  std::string camera = ProgramPath("camera");
  struct stat st;
  if (opt.cameras && stat(camera.c_str(), &st) == 0) {
    args.push_back("--camera");
    args.push_back(WinePathOf(camera));
    if (opt.cameraDiesAfterOps >= 0) {
      args.push_back("--camera-dies-after-ops");
      args.push_back(std::to_string(opt.cameraDiesAfterOps));
    }
  }
  for (const std::string& a : opt.runnerArgs) args.push_back(a);
  args.push_back("--");
  args.push_back(WinePathOf(program));
  for (const std::string& a : opt.args) args.push_back(a);
  return args;
}

// The caller's environment with the run's own variables in place of any it has.
std::vector<std::string> RunnerEnvironment(const RunOptions& opt, const std::string& prefix,
                                           const std::string& eventLog) {
  auto named = [](const char* entry, const std::string& name) {
    return strncmp(entry, name.c_str(), name.size()) == 0 && entry[name.size()] == '=';
  };
  std::vector<std::string> env;
  for (char** e = environ; *e; ++e) {
    if (named(*e, runproto::kEnvDevice) || named(*e, runproto::kEnvEventLog) || named(*e, runproto::kEnvCardFault) ||
        named(*e, runproto::kEnvTargetJob) || named(*e, "WINEPREFIX"))
      continue;
    if (!opt.interactive && !opt.show && named(*e, "DISPLAY")) continue;
    env.push_back(*e);
  }
  env.push_back("WINEPREFIX=" + prefix);
  if (!getenv("WINEDEBUG")) env.push_back("WINEDEBUG=-all");
  env.push_back(std::string(runproto::kEnvEventLog) + "=" + WinePathOf(eventLog));
  if (!opt.cardFault.empty()) env.push_back(std::string(runproto::kEnvCardFault) + "=" + opt.cardFault);
  return env;
}

// What must be there before a run: the device folder, the programs, and the
// device's run state reset as asked.
bool CheckAndReset(const RunOptions& opt, const std::string& dir, const std::string& program, RunResult* result) {
  struct stat st;
  if (stat((dir + "/nand.img").c_str(), &st) != 0) {
    result->error = dir + ": not a device folder (no nand.img)";
    return false;
  }
  const DevicePrograms programs = FindDevicePrograms();
  for (const std::string& p : {program, programs.Path("devrun")}) {
    if (stat(p.c_str(), &st) != 0) {
      result->error = programs.Missing(p);
      return false;
    }
  }
  std::string err;
  if (opt.resetRun && !sim::ResetDeviceRun(dir, opt.clearRecord, &err, opt.killAfterOps)) {
    result->error = "cannot reset the device's run state: " + err;
    return false;
  }
  return true;
}

}  // namespace

bool RunOnDevice(const RunOptions& opt, RunResult* result) {
  *result = RunResult();
  std::string dir = AbsolutePath(opt.deviceDir);
  std::string program = ProgramPath(opt.program);
  if (!CheckAndReset(opt, dir, program, result)) return false;
  std::string prefix = opt.winePrefix.empty() ? WinePrefix() : opt.winePrefix;
  // A prefix Wine would make on its own has neither the null graphics driver
  // nor a debugger that lets a trapping program end: say what prepares one.
  if (!WinePrefixReady(prefix)) {
    result->error = "the Wine prefix " + prefix + " is not prepared (WINEPREFIX=" + prefix + " " + WinePrefixSetup() +
                    " prepares it)";
    return false;
  }
  DriveMapping drive(prefix, dir);
  if (!drive.Letter()) {
    result->error = "no free drive letter in " + prefix + "/dosdevices";
    return false;
  }
  char tmpl[] = "/tmp/devsim-run-XXXXXX";
  if (!mkdtemp(tmpl)) {
    result->error = "cannot make a temporary folder";
    return false;
  }
  std::string tmp = tmpl;
  std::string log = tmp + "/events.log";

  // The program runs with its current directory on the device's drive. The
  // Wine side enforces the program's time-out; this one is for Wine itself.
  hostproc::Spec spec;
  spec.argv = RunnerArgs(opt, program);
  spec.env = RunnerEnvironment(opt, prefix, log);
  spec.workDir = dir;
  spec.mergeErr = true;
  spec.timeoutSeconds = opt.timeoutSeconds + 60;
  // The events as they are logged: whole lines only, in order, each handed to
  // the caller's onEvent as it comes.
  EventTail tail(log, opt.onEvent, result);
  spec.onTick = [&tail] { tail.Read(); };
  hostproc::Result run = hostproc::Run(spec);
  tail.Read();
  unlink(log.c_str());
  rmdir(tmp.c_str());
  if (!run.started) {
    result->error = "cannot start wine64: " + run.error;
    return false;
  }
  result->started = true;
  result->runnerOutput = run.out;
  if (run.timedOut && result->error.empty()) result->error = "the runner did not end; killed";
  if (run.Exited(runproto::kRunnerUsage) && result->error.empty())
    result->error = "the runner failed: " + result->runnerOutput;
  return result->error.empty();
}

}  // namespace devsim
