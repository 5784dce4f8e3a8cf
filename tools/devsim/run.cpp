// devsim run: boots a device and runs a program on it under Wine.
#include <cstdio>
#include <cstdlib>

#include "sim/device_record.h"
#include "tools/devsim/command.h"
#include "tools/run/device_runner.h"

namespace devsim {
namespace {

const char kHelp[] =
    "usage: devsim run DIR [--answer ok|cancel|none] [--no-system-driver] [--timeout S]\n"
    "                      [--interactive] [--show] [--card-fault read-fail|short-read] [--keep-record]\n"
    "                      kestrel|tollgate|PROGRAM.exe\n"
    "\n"
    "Boots device DIR: the system flash driver stand-in first (unless --no-system-driver),\n"
    "then the built program with the device folder as the root of its drive, a robot\n"
    "answering each message box (--answer, default ok; none leaves them up), and stops\n"
    "everything after at most --timeout seconds (default 120). Prints, in the order they\n"
    "happened:\n"
    "  MESSAGE caption=\"...\" text=\"...\" type=0x...   one line per message box\n"
    "  DEBUG \"...\"                                    one line per debug line\n"
    "  PROGRESS <position>                            each progress bar position set\n"
    "  EXIT <code>                                    the program's exit code\n"
    "(strings JSON-escaped), then the protocol checker's count. --interactive: a person\n"
    "with a display answers the boxes; --show: the windows appear on the display and the\n"
    "robot answers each box after 2 s (both need a prefix with the X11 driver:\n"
    "WINEPREFIX=$(scripts/x11-prefix.sh)). --card-fault makes the card's reads fail.\n"
    "--keep-record keeps the protocol checker's record of earlier runs.\n"
    "Exit code: 0 when the program ran to its end, 1 when it had to be stopped, 2 when\n"
    "the run could not be made.\n";

const std::vector<OptionSpec> kOptions = {
    {"--answer", OptionKind::kValue},       {"--no-system-driver", OptionKind::kFlag},
    {"--timeout", OptionKind::kValue},      {"--interactive", OptionKind::kFlag},
    {"--card-fault", OptionKind::kValue},   {"--keep-record", OptionKind::kFlag},
    {"--show", OptionKind::kFlag},
};

int Run(const std::vector<std::string>& argv) {
  ParsedArgs args(argv, kOptions);
  args.ExpectPositional({"DIR", "PROGRAM"});
  RunOptions opt;
  opt.deviceDir = args.Positional()[0];
  opt.program = args.Positional()[1];
  if (auto a = args.Get("--answer")) {
    if (*a != "ok" && *a != "cancel" && *a != "none") throw UsageError("--answer: ok, cancel or none, not " + *a);
    opt.answer = *a;
  }
  if (auto t = args.Get("--timeout")) {
    char* end = nullptr;
    opt.timeoutSeconds = strtod(t->c_str(), &end);
    if (!end || *end || opt.timeoutSeconds <= 0) throw UsageError("--timeout: a number of seconds, not " + *t);
  }
  if (auto f = args.Get("--card-fault")) {
    if (*f != "read-fail" && *f != "short-read") throw UsageError("--card-fault: read-fail or short-read");
    opt.cardFault = *f;
  }
  opt.systemDriver = !args.Has("--no-system-driver");
  opt.interactive = args.Has("--interactive");
  if (args.Has("--show")) {
    if (!getenv("DISPLAY")) throw UsageError("--show needs a display (DISPLAY is not set)");
    opt.show = true;
    opt.holdMs = 2000;  // long enough to read the message before the robot answers
  }
  if (opt.interactive && !getenv("DISPLAY")) throw UsageError("--interactive needs a display (DISPLAY is not set)");
  opt.clearRecord = !args.Has("--keep-record");

  RunResult r;
  bool ok = RunOnDevice(opt, &r);
  for (const runproto::Event& e : r.events) {
    std::string line = FormatRunLine(e);
    if (!line.empty()) printf("%s\n", line.c_str());
  }
  fflush(stdout);
  if (!ok && !r.started) {
    fprintf(stderr, "devsim run: %s\n", r.error.c_str());
    return kExitUsage;
  }
  sim::DeviceRecord rec;
  std::string err;
  if (sim::ReadDeviceRecord(opt.deviceDir, &rec, &err)) {
    printf("protocol checker: %llu violations\n", (unsigned long long)rec.violationCount);
    for (const std::string& v : rec.violations) printf("  %s\n", v.c_str());
  }
  if (!r.error.empty()) fprintf(stderr, "devsim run: %s\n%s", r.error.c_str(), r.runnerOutput.c_str());
  return r.ranToEnd ? kExitOk : kExitCheckFailed;
}

}  // namespace

extern const Command kRunCommand = {"run", "run kestrel or tollgate on a simulated device under Wine", kHelp, Run};

}  // namespace devsim
