#include "tests/native/power_loss/fork_pool.h"

#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

// Null where there is no gcov runtime (every build but the coverage build).
extern "C" void __gcov_dump(void) __attribute__((weak));

namespace powerloss {

void EndChild(int code) {
  if (__gcov_dump) __gcov_dump();
  _exit(code);
}

void RunInChildren(size_t count, int jobs, const std::function<void(size_t)>& work,
                   std::map<size_t, std::string>* ended, int* lastStatus, int okExit) {
  std::map<pid_t, size_t> running;
  size_t next = 0;
  while (next < count || !running.empty()) {
    while (next < count && int(running.size()) < jobs) {
      fflush(stdout);
      fflush(stderr);
      pid_t pid = fork();
      if (pid == 0) {
        work(next);
        EndChild(0);
      }
      if (pid < 0) {
        (*ended)[next++] = std::string("fork failed: ") + strerror(errno);
        continue;
      }
      running[pid] = next++;
    }
    if (running.empty()) break;
    int status = 0;
    pid_t pid = waitpid(-1, &status, 0);
    if (pid < 0) {
      if (errno == EINTR) continue;
      break;
    }
    auto it = running.find(pid);
    if (it == running.end()) continue;
    if (lastStatus) *lastStatus = status;
    if (WIFSIGNALED(status))
      (*ended)[it->second] = std::string("the child died of signal ") + strsignal(WTERMSIG(status));
    else if (WIFEXITED(status) && WEXITSTATUS(status) != 0 && WEXITSTATUS(status) != okExit)
      (*ended)[it->second] = "the child exited with code " + std::to_string(WEXITSTATUS(status));
    running.erase(it);
  }
}


}  // namespace powerloss
