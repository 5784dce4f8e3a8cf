#include "tools/runner/device_runner.h"

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
#include <map>
#include <sstream>
#include <thread>

#include "platform/json_quote.h"
#include "sim/device_record.h"

extern char** environ;

namespace devsim {
namespace {

std::string Env(const char* name, const std::string& fallback) {
  const char* v = getenv(name);
  return v && *v ? std::string(v) : fallback;
}

std::string WinePrefix() { return Env("WINEPREFIX", Env("HOME", "/root") + "/.cache/kestrel/wineprefix"); }

std::string AbsolutePath(const std::string& p) {
  char buf[4096];
  if (realpath(p.c_str(), buf)) return buf;
  return p;
}

// A small reader for the flat JSON objects of the event log.
class JsonObject {
 public:
  explicit JsonObject(const std::string& s) : s_(s) { Parse(); }
  std::string Str(const std::string& k) const { auto it = strs_.find(k); return it == strs_.end() ? "" : it->second; }
  int64_t Num(const std::string& k, int64_t dflt = 0) const {
    auto it = nums_.find(k); return it == nums_.end() ? dflt : it->second;
  }
  bool Bool(const std::string& k) const { auto it = bools_.find(k); return it != bools_.end() && it->second; }
  std::vector<std::string> List(const std::string& k) const {
    auto it = lists_.find(k); return it == lists_.end() ? std::vector<std::string>() : it->second;
  }

 private:
  void Ws() { while (i_ < s_.size() && isspace((unsigned char)s_[i_])) ++i_; }
  std::string String() {
    std::string out;
    if (i_ >= s_.size() || s_[i_] != '"') return out;
    ++i_;
    while (i_ < s_.size() && s_[i_] != '"') {
      char c = s_[i_++];
      if (c != '\\' || i_ >= s_.size()) { out += c; continue; }
      char e = s_[i_++];
      switch (e) {
        case 'n': out += '\n'; break;
        case 'r': out += '\r'; break;
        case 't': out += '\t'; break;
        case 'u': {
          unsigned cp = (unsigned)strtoul(s_.substr(i_, 4).c_str(), nullptr, 16);
          i_ += 4;
          if (cp < 0x80) out += (char)cp;
          else if (cp < 0x800) { out += (char)(0xC0 | (cp >> 6)); out += (char)(0x80 | (cp & 0x3F)); }
          else { out += (char)(0xE0 | (cp >> 12)); out += (char)(0x80 | ((cp >> 6) & 0x3F)); out += (char)(0x80 | (cp & 0x3F)); }
          break;
        }
        default: out += e;
      }
    }
    ++i_;
    return out;
  }
  void Parse() {
    Ws();
    if (i_ >= s_.size() || s_[i_] != '{') return;
    ++i_;
    while (true) {
      Ws();
      if (i_ >= s_.size() || s_[i_] == '}') return;
      std::string key = String();
      Ws();
      if (i_ < s_.size() && s_[i_] == ':') ++i_;
      Ws();
      if (i_ >= s_.size()) return;
      char c = s_[i_];
      if (c == '"') {
        strs_[key] = String();
      } else if (c == '[') {
        ++i_;
        std::vector<std::string> items;
        while (true) {
          Ws();
          if (i_ >= s_.size() || s_[i_] == ']') { ++i_; break; }
          if (s_[i_] == ',') { ++i_; continue; }
          items.push_back(String());
        }
        lists_[key] = items;
      } else if (s_.compare(i_, 4, "true") == 0) {
        bools_[key] = true; i_ += 4;
      } else if (s_.compare(i_, 5, "false") == 0) {
        bools_[key] = false; i_ += 5;
      } else {
        size_t start = i_;
        while (i_ < s_.size() && (isdigit((unsigned char)s_[i_]) || s_[i_] == '-')) ++i_;
        nums_[key] = strtoll(s_.substr(start, i_ - start).c_str(), nullptr, 10);
      }
      Ws();
      if (i_ < s_.size() && s_[i_] == ',') ++i_;
    }
  }
  std::string s_;
  size_t i_ = 0;
  std::map<std::string, std::string> strs_;
  std::map<std::string, int64_t> nums_;
  std::map<std::string, bool> bools_;
  std::map<std::string, std::vector<std::string>> lists_;
};

RunEvent ParseEvent(const std::string& line) {
  RunEvent ev;
  ev.raw = line;
  if (line.size() < 2) return ev;
  ev.kind = line[0];
  std::string body = line.substr(2);
  JsonObject o(body);
  if (ev.kind == 'D') {
    ev.pid = (uint64_t)o.Num("pid");
    ev.text = o.Str("line");
    return ev;
  }
  ev.pid = (uint64_t)o.Num("pid");
  ev.owner = (uint64_t)o.Num("owner");
  ev.caption = o.Str("caption");
  ev.text = o.Str("text");
  ev.type = (uint64_t)o.Num("type");
  ev.result = o.Num("result");
  ev.topmost = o.Bool("topmost");
  ev.foreground = o.Bool("foreground");
  ev.icon = o.Bool("icon");
  ev.buttons = o.List("buttons");
  ev.probeOpenError = o.Num("probeOpenError", -1);
  ev.path = ev.kind == 'P' ? o.Str("app") : o.Str("path");
  ev.ok = o.Bool("ok");
  ev.error = (uint64_t)o.Num("error");
  ev.child = (uint64_t)o.Num("child");
  ev.process = (uint64_t)o.Num("process");
  ev.position = (uint64_t)o.Num("pos");
  ev.exitCode = (uint64_t)o.Num("exit");
  ev.timedOut = o.Bool("timedOut");
  return ev;
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

}  // namespace

std::vector<const RunEvent*> RunResult::Of(char kind) const {
  std::vector<const RunEvent*> out;
  for (const RunEvent& e : events)
    if (e.kind == kind) out.push_back(&e);
  return out;
}

std::vector<std::string> RunResult::DebugLines() const {
  std::vector<std::string> out;
  for (const RunEvent* e : Of('D')) out.push_back(e->text);
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
  if (name == "devrun") return dir + "/tools/devrun/devrun.exe";
  if (name == "sysflash") return dir + "/sim/sysflash/sysflash.exe";
  return name;
}

std::string WinePathOf(const std::string& unixPath) {
  std::string p = "Z:" + AbsolutePath(unixPath);
  for (char& c : p)
    if (c == '/') c = '\\';
  return p;
}

std::string JsonEscape(const std::string& s) { return JsonQuote(s); }

std::string FormatMessageLine(const RunEvent& m) {
  char type[32];
  snprintf(type, sizeof(type), "0x%08llx", (unsigned long long)m.type);
  return "MESSAGE caption=" + JsonEscape(m.caption) + " text=" + JsonEscape(m.text) + " type=" + type;
}

std::string FormatDebugLine(const RunEvent& d) { return "DEBUG " + JsonEscape(d.text); }

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
    if (!sim::ResetDeviceRun(dir, opt.clearRecord, &err)) {
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
  for (const std::string& a : opt.runnerArgs) args.push_back(a);
  args.push_back("--");
  args.push_back(WinePathOf(program));
  for (const std::string& a : opt.args) args.push_back(a);

  std::vector<std::string> env;
  for (char** e = environ; *e; ++e) {
    if (strncmp(*e, "DEVSIM_DEVICE=", 14) == 0 || strncmp(*e, "DEVSIM_EVENT_LOG=", 17) == 0 ||
        strncmp(*e, "DEVSIM_CARD_FAULT=", 18) == 0)
      continue;
    if (!opt.interactive && !opt.show && strncmp(*e, "DISPLAY=", 8) == 0) continue;
    env.push_back(*e);
  }
  env.push_back("WINEPREFIX=" + WinePrefix());
  if (!getenv("WINEDEBUG")) env.push_back("WINEDEBUG=-all");
  env.push_back("DEVSIM_EVENT_LOG=" + WinePathOf(tmp) + "\\events.log");
  if (!opt.cardFault.empty()) env.push_back("DEVSIM_CARD_FAULT=" + opt.cardFault);

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
    if (cwd[0] && chdir(cwd) != 0) { /* the caller's folder is gone; nothing to restore */ }
  }
  posix_spawn_file_actions_destroy(&fa);
  if (rc != 0) {
    result->error = std::string("cannot start wine64: ") + strerror(rc);
    return false;
  }
  result->started = true;

  // The Wine side enforces the program's time-out; this one is for Wine itself.
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds((int64_t)(opt.timeoutSeconds * 1000) + 60000);
  int status = 0;
  while (true) {
    pid_t w = waitpid(pid, &status, WNOHANG);
    if (w == pid) break;
    if (std::chrono::steady_clock::now() > deadline) {
      kill(pid, SIGKILL);
      waitpid(pid, &status, 0);
      result->error = "the runner did not end; killed";
      break;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  int runnerExit = WIFEXITED(status) ? WEXITSTATUS(status) : -1;

  std::string text;
  ReadFile(log, &text);
  std::istringstream lines(text);
  std::string line;
  while (std::getline(lines, line)) {
    if (line.empty()) continue;
    RunEvent ev = ParseEvent(line);
    if (ev.kind == 'X') {
      result->exitCode = ev.exitCode;
      result->ranToEnd = !ev.timedOut;
    }
    result->events.push_back(ev);
  }
  ReadFile(out, &result->runnerOutput);
  unlink(log.c_str());
  unlink(out.c_str());
  rmdir(tmp.c_str());
  if (runnerExit == 2 && result->error.empty()) result->error = "the runner failed: " + result->runnerOutput;
  return result->error.empty();
}

}  // namespace devsim
