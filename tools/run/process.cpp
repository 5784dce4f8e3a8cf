#include "tools/run/process.h"

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/syscall.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <fstream>
#include <iterator>
#include <sstream>
#include <thread>

extern char** environ;

namespace hostproc {
namespace {

// A file that holds a child's output: already unlinked, so nothing is left
// behind whatever happens; closed on exec, so that a child started by another
// thread at the same moment does not inherit it.
class Capture {
 public:
  Capture() {
    const char* dir = getenv("TMPDIR");
    std::string t = std::string(dir && *dir ? dir : "/tmp") + "/hostproc-XXXXXX";
    fd_ = mkostemp(&t[0], O_CLOEXEC);
    if (fd_ >= 0) unlink(t.c_str());
  }
  ~Capture() {
    if (fd_ >= 0) close(fd_);
  }
  Capture(const Capture&) = delete;
  Capture& operator=(const Capture&) = delete;

  int fd() const { return fd_; }
  std::string Text() const {
    std::string s;
    char buf[65536];
    off_t at = 0;
    ssize_t n;
    while (fd_ >= 0 && (n = pread(fd_, buf, sizeof(buf), at)) > 0) {
      s.append(buf, size_t(n));
      at += n;
    }
    return s;
  }

 private:
  int fd_ = -1;
};

std::vector<char*> Pointers(std::vector<std::string>& strings) {
  std::vector<char*> p;
  for (std::string& s : strings) p.push_back(&s[0]);
  p.push_back(nullptr);
  return p;
}

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

// Waits up to ms for the child to end; true when it has (status filled in).
bool WaitFor(pid_t pid, int pidfd, int ms, int* status) {
  if (ms < 0) return waitpid(pid, status, 0) == pid;
  if (pidfd >= 0) {
    pollfd p = {pidfd, POLLIN, 0};
    if (poll(&p, 1, ms) < 0 && errno != EINTR) std::this_thread::sleep_for(std::chrono::milliseconds(ms));
  }
  pid_t w = waitpid(pid, status, WNOHANG);
  if (w == pid) return true;
  if (pidfd < 0) std::this_thread::sleep_for(std::chrono::milliseconds(ms));
  return false;
}

}  // namespace

void KillWithDescendants(int root) {
  std::vector<pid_t> all = {root}, level = {root};
  for (int depth = 0; depth < 16 && !level.empty(); ++depth) {
    for (pid_t p : level) kill(p, SIGSTOP);
    level = ChildrenOf(level);
    all.insert(all.end(), level.begin(), level.end());
  }
  for (pid_t p : all) kill(p, SIGKILL);
}

std::string Result::Describe() const {
  if (!started) return "not started: " + error;
  if (timedOut) return "timed out";
  if (signal) return std::string("signal ") + std::to_string(signal) + " (" + strsignal(signal) + ")";
  return "exit " + std::to_string(exitCode);
}

Result Run(const Spec& spec) {
  Result r;
  if (spec.argv.empty()) {
    r.error = "no program";
    return r;
  }
  Capture out, err;
  if (out.fd() < 0 || (!spec.mergeErr && err.fd() < 0)) {
    r.error = std::string("cannot make a capture file: ") + strerror(errno);
    return r;
  }
  std::vector<std::string> args = spec.argv;
  std::vector<std::string> env;
  if (spec.env)
    env = *spec.env;
  else
    for (char** e = environ; *e; ++e) env.push_back(*e);
  std::vector<char*> argv = Pointers(args), envp = Pointers(env);

  posix_spawn_file_actions_t fa;
  posix_spawn_file_actions_init(&fa);
  posix_spawn_file_actions_addopen(&fa, 0, spec.input.c_str(), O_RDONLY, 0);
  posix_spawn_file_actions_adddup2(&fa, out.fd(), 1);
  posix_spawn_file_actions_adddup2(&fa, spec.mergeErr ? out.fd() : err.fd(), 2);
  if (!spec.workDir.empty()) posix_spawn_file_actions_addchdir_np(&fa, spec.workDir.c_str());
  // The caller's process group: a terminal's Ctrl-C ends the child with it.
  pid_t pid = -1;
  bool search = args[0].find('/') == std::string::npos;
  int rc = search ? posix_spawnp(&pid, argv[0], &fa, nullptr, argv.data(), envp.data())
                  : posix_spawn(&pid, argv[0], &fa, nullptr, argv.data(), envp.data());
  posix_spawn_file_actions_destroy(&fa);
  if (rc != 0) {
    r.error = args[0] + ": " + strerror(rc);
    return r;
  }
  r.started = true;

  using Clock = std::chrono::steady_clock;
  const bool bounded = spec.timeoutSeconds > 0;
  const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(int64_t(spec.timeoutSeconds * 1000));
  // A descriptor that becomes readable when the child ends, so that a bounded
  // wait wakes at once (glibc's own wrapper is not declared for C++ here).
  int pidfd = (bounded || spec.onTick) ? int(syscall(SYS_pidfd_open, pid, 0)) : -1;
  int status = 0;
  while (true) {
    int ms = -1;
    if (spec.onTick) ms = spec.tickMs;
    if (bounded) {
      int64_t left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
      ms = int(std::max<int64_t>(0, ms < 0 ? std::min<int64_t>(left, 1000) : std::min<int64_t>(left, ms)));
    }
    if (WaitFor(pid, pidfd, ms, &status)) break;
    if (spec.onTick) spec.onTick();
    if (bounded && Clock::now() >= deadline) {
      KillWithDescendants(pid);
      waitpid(pid, &status, 0);
      r.timedOut = true;
      break;
    }
  }
  if (pidfd >= 0) close(pidfd);
  if (WIFEXITED(status)) r.exitCode = WEXITSTATUS(status);
  if (WIFSIGNALED(status) && !r.timedOut) r.signal = WTERMSIG(status);
  r.out = out.Text();
  if (!spec.mergeErr) r.err = err.Text();
  return r;
}

}  // namespace hostproc
