#include "tools/run/device_runner.h"

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <iterator>
#include <map>
#include <sstream>
#include <thread>

#include <nlohmann/json.hpp>

#include "sim/device_record.h"
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
  explicit DriveMapping(const std::string& dir) {
    std::string dosdevices = WinePrefix() + "/dosdevices/";
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

bool ReadFile(const std::string& path, std::string* out) {
  std::ifstream f(path, std::ios::binary);
  if (!f) return false;
  std::stringstream ss;
  ss << f.rdbuf();
  *out = ss.str();
  return true;
}

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

std::string DeviceBuildDir() {
#ifdef KESTREL_SOURCE_DIR
  std::string dflt = std::string(KESTREL_SOURCE_DIR) + "/build/device";
#else
  std::string dflt = "build/device";
#endif
  return Env("DEVSIM_DEVICE_BUILD", dflt);
}

std::string ProgramPath(const std::string& name) {
  std::string dir = DeviceBuildDir();
  if (name == "kestrel") return dir + "/updater/kestrel.exe";
  if (name == "tollgate") return dir + "/launcher/tollgate.exe";
  if (name == "devrun") return dir + "/tools/run/devrun.exe";
  if (name == "sysflash") return dir + "/sim/sysflash/sysflash.exe";
  if (name == "camera") return dir + "/sim/camera/camera.exe";
  return name;
}

std::string WinePathOf(const std::string& unixPath) {
  std::string p = "Z:" + AbsolutePath(unixPath);
  for (char& c : p)
    if (c == '/') c = '\\';
  return p;
}

namespace {

// The processes whose parent is in `parents`, from /proc.
std::vector<pid_t> ChildrenOf(const std::vector<pid_t>& parents) {
  std::vector<pid_t> out;
  DIR* d = opendir("/proc");
  if (!d) return out;
  while (dirent* e = readdir(d)) {
    char* end = nullptr;
    long p = strtol(e->d_name, &end, 10);
    if (p <= 0 || *end) continue;
    std::ifstream stat(std::string("/proc/") + e->d_name + "/stat");
    std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
    // pid (comm) state ppid ...: comm may hold spaces and parentheses.
    size_t close = text.rfind(')');
    if (close == std::string::npos) continue;
    std::istringstream rest(text.substr(close + 1));
    std::string state;
    long ppid = 0;
    rest >> state >> ppid;
    for (pid_t parent : parents)
      if (ppid == parent) out.push_back(pid_t(p));
  }
  closedir(d);
  return out;
}

// A runner that did not end is ended with every process it started: the
// stand-ins and the program under Wine are its children, and left alive they
// would hold the bus mutexes of the Wine prefix that the next run uses. The
// tree is stopped first, so that none of it starts more while it is taken.
void KillWithDescendants(pid_t root) {
  std::vector<pid_t> all = {root}, level = {root};
  for (int depth = 0; depth < 16 && !level.empty(); ++depth) {
    for (pid_t p : level) kill(p, SIGSTOP);
    level = ChildrenOf(level);
    all.insert(all.end(), level.begin(), level.end());
  }
  for (pid_t p : all) kill(p, SIGKILL);
}

}  // namespace

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

bool RunOnDevice(const RunOptions& opt, RunResult* result) {
  *result = RunResult();
  std::string dir = AbsolutePath(opt.deviceDir);
  struct stat st;
  if (stat((dir + "/nand.img").c_str(), &st) != 0) {
    result->error = dir + ": not a device folder (no nand.img)";
    return false;
  }
  std::string program = ProgramPath(opt.program);
  std::string devrun = ProgramPath("devrun");
  std::string sysflash = ProgramPath("sysflash");
  for (const std::string& p : {program, devrun}) {
    if (stat(p.c_str(), &st) != 0) {
      result->error = p + ": not built (run the device build first: cmake --build --preset device)";
      return false;
    }
  }
  if (opt.resetRun) {
    std::string err;
    if (!sim::ResetDeviceRun(dir, opt.clearRecord, &err, opt.killAfterOps)) {
      result->error = "cannot reset the device's run state: " + err;
      return false;
    }
  }

  DriveMapping drive(dir);
  if (!drive.Letter()) {
    result->error = "no free drive letter in " + WinePrefix() + "/dosdevices";
    return false;
  }
  char tmpl[] = "/tmp/devsim-run-XXXXXX";
  if (!mkdtemp(tmpl)) {
    result->error = "cannot make a temporary folder";
    return false;
  }
  std::string tmp = tmpl;
  std::string log = tmp + "/events.log";
  std::string out = tmp + "/runner.out";

  std::vector<std::string> args = {"/usr/lib/wine/wine64", WinePathOf(devrun), "--answer",
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
    args.push_back(WinePathOf(sysflash));
  } else {
    args.push_back("--no-system-driver");
  }
  std::string camera = ProgramPath("camera");
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

  // The run's own variables replace any the caller has.
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
  env.push_back("WINEPREFIX=" + WinePrefix());
  if (!getenv("WINEDEBUG")) env.push_back("WINEDEBUG=-all");
  env.push_back(std::string(runproto::kEnvEventLog) + "=" + WinePathOf(tmp) + "\\events.log");
  if (!opt.cardFault.empty()) env.push_back(std::string(runproto::kEnvCardFault) + "=" + opt.cardFault);

  std::vector<char*> argv, envp;
  for (std::string& a : args) argv.push_back(&a[0]);
  argv.push_back(nullptr);
  for (std::string& e : env) envp.push_back(&e[0]);
  envp.push_back(nullptr);

  posix_spawn_file_actions_t fa;
  posix_spawn_file_actions_init(&fa);
  posix_spawn_file_actions_addopen(&fa, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&fa, 1, out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  posix_spawn_file_actions_adddup2(&fa, 1, 2);
  // The program runs with its current directory on the device's drive.
  char cwd[4096];
  if (!getcwd(cwd, sizeof(cwd))) cwd[0] = 0;
  pid_t pid = -1;
  int rc;
  if (chdir(dir.c_str()) != 0) {
    rc = errno;
  } else {
    rc = posix_spawn(&pid, argv[0], &fa, nullptr, argv.data(), envp.data());
    if (cwd[0] && chdir(cwd) != 0) { /* the caller's folder is gone; nothing to restore */
    }
  }
  posix_spawn_file_actions_destroy(&fa);
  if (rc != 0) {
    result->error = std::string("cannot start wine64: ") + strerror(rc);
    return false;
  }
  result->started = true;

  // The events as they are logged: whole lines only, in order, each handed to
  // the caller's onEvent as it comes.
  EventTail tail(log, opt.onEvent, result);
  // The Wine side enforces the program's time-out; this one is for Wine itself.
  auto deadline =
      std::chrono::steady_clock::now() + std::chrono::milliseconds((int64_t)(opt.timeoutSeconds * 1000) + 60000);
  int status = 0;
  while (true) {
    pid_t w = waitpid(pid, &status, WNOHANG);
    if (w == pid) break;
    if (std::chrono::steady_clock::now() > deadline) {
      KillWithDescendants(pid);
      waitpid(pid, &status, 0);
      result->error = "the runner did not end; killed";
      break;
    }
    tail.Read();
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  int runnerExit = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  tail.Read();
  ReadFile(out, &result->runnerOutput);
  unlink(log.c_str());
  unlink(out.c_str());
  rmdir(tmp.c_str());
  if (runnerExit == runproto::kRunnerUsage && result->error.empty())
    result->error = "the runner failed: " + result->runnerOutput;
  return result->error.empty();
}

}  // namespace devsim
