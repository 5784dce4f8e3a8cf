// Starting a program on the host: the one way the host side does it (the
// device runner's Wine, the campaign through it, the tool and end-to-end
// tests' devsim).
//
// A program is an argument vector, never a shell string, so a path with a
// blank or a quote is just a path. Each child gets its own working folder
// (set in the child, not by a chdir of the caller, so that several runs can
// start side by side from threads), its standard input from a file, its
// output captured, and a time-out after which it and every process it started
// are killed.
#ifndef TOOLS_RUN_PROCESS_H
#define TOOLS_RUN_PROCESS_H

#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace hostproc {

struct Spec {
  std::vector<std::string> argv;  // argv[0] is the program; without a '/' it is looked up in PATH
  std::string workDir;            // the child's working folder; "" the caller's
  std::optional<std::vector<std::string>> env;  // the child's whole environment; none: the caller's
  std::string input = "/dev/null";              // the child's standard input
  bool mergeErr = false;                        // standard error into the output, in order
  double timeoutSeconds = 0;                    // 0: none
  // Called about every tickMs while the child runs (a log tail, progress).
  std::function<void()> onTick;
  int tickMs = 20;
};

struct Result {
  bool started = false;
  std::string error;  // why it did not start, or "" (a time-out is timedOut, not an error)
  int exitCode = -1;  // when it exited
  int signal = 0;     // the signal that ended it, or 0
  bool timedOut = false;
  std::string out, err;  // err is empty with mergeErr

  // It ran and exited by itself (not killed, not timed out).
  bool Ended() const { return started && !timedOut && signal == 0 && exitCode >= 0; }
  bool Exited(int code) const { return Ended() && exitCode == code; }
  std::string Describe() const;  // "exit 2", "signal 11", "timed out", "not started: ..."
};

Result Run(const Spec& spec);

// The process and every process it started (found through /proc), stopped
// first so that none of them starts more while they are taken, then killed.
void KillWithDescendants(int pid);

}  // namespace hostproc

#endif
