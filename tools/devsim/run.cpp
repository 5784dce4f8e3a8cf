// devsim run: boots a device and runs a program on it under Wine.
#include <cstdio>
#include <cstdlib>

#include "sim/device_record.h"
#include "sim/keyval.h"
#include "tools/devsim/command.h"
#include "tools/run/device_runner.h"

namespace devsim {
namespace {

const char kProse[] =
    "Boots device DIR: the system flash driver stand-in first (unless --no-system-driver),\n"
    "then the built program with the device folder as the root of its drive, a robot\n"
    "answering each message box (--answer), and stops everything after at most --timeout\n"
    "seconds. Prints, in the order they happened:\n"
    "  MESSAGE caption=\"...\" text=\"...\" type=0x...   one line per message box\n"
    "  DEBUG \"...\"                                    one line per debug line\n"
    "  PROGRESS <position>                            each progress bar position set\n"
    "  EXIT <code>                                    the program's exit code\n"
    "(strings JSON-escaped), then the protocol checker's count. With --events, every\n"
    "record of the run instead, one JSON object a line as the run's event log holds them\n"
    "(\"kind\": debug, message, answer, box, process, delete, close, progress, exit,\n"
    "sysdrv, camera), the last one the checker's (\"kind\": \"checker\", violations, lines).";
const char kFooter[] =
    "--interactive and --show need a prefix with the X11 driver:\n"
    "WINEPREFIX=$(scripts/x11-prefix.sh).\n"
    "--kill-after-ops N: the device ends the program (with what it started) once the\n"
    "chip has made N operations, at its next controller access, holding the bus; its\n"
    "exit code is then 0xDEAD0004. With no other user of the chip the same N leaves\n"
    "the same flash every time.\n"
    "Exit code: 0 when the program ran to its end, 1 when it had to be stopped, 2 when\n"
    "the run could not be made.";

struct RunArgs {
  std::string dir, program;
  std::optional<std::string> answer, timeout, cardFault, killAfterOps;
  bool noSystemDriver = false, interactive = false, keepRecord = false, show = false, events = false;
};

RunOptions OptionsFrom(const RunArgs& a) {
  RunOptions opt;
  opt.deviceDir = a.dir;
  opt.program = a.program;
  if (a.answer) {
    if (*a.answer != "ok" && *a.answer != "cancel" && *a.answer != "none")
      throw UsageError("--answer: ok, cancel or none, not " + *a.answer);
    opt.answer = *a.answer;
  }
  if (a.timeout) {
    uint64_t seconds = 0;
    if (!sim::ParseNumber(*a.timeout, &seconds) || seconds == 0 || seconds > 0xFFFFFFFFull)
      throw UsageError("--timeout: a number of seconds, not " + *a.timeout);
    opt.timeoutSeconds = double(seconds);
  }
  if (a.cardFault) {
    if (*a.cardFault != "read-fail" && *a.cardFault != "short-read")
      throw UsageError("--card-fault: read-fail or short-read");
    opt.cardFault = *a.cardFault;
  }
  if (a.killAfterOps) {
    const uint64_t ops = ParseU64(*a.killAfterOps, "--kill-after-ops count");
    if (ops > uint64_t(INT64_MAX)) throw UsageError("--kill-after-ops: " + *a.killAfterOps + " is too large");
    opt.killAfterOps = int64_t(ops);
  }
  opt.systemDriver = !a.noSystemDriver;
  opt.interactive = a.interactive;
  if (a.show) {
    if (!getenv("DISPLAY")) throw UsageError("--show needs a display (DISPLAY is not set)");
    opt.show = true;
    opt.holdMs = 2000;  // long enough to read the message before the robot answers
  }
  if (opt.interactive && !getenv("DISPLAY")) throw UsageError("--interactive needs a display (DISPLAY is not set)");
  opt.clearRecord = !a.keepRecord;
  return opt;
}

// What the run is about to meet, one line each on stderr before it starts:
// an area that does not read back, faults or a power loss still set. (The
// kill and the power state are set anew by the run itself.) A device that
// cannot be opened says nothing here: the run reports why it cannot start.
void WarnBeforeRun(const std::string& dir) {
  try {
    NandImage img = OpenSource(dir, std::nullopt, false);
    for (const Warning& w : InspectImage(img, std::nullopt).warnings)
      if (w.kind != Warning::kKillArmed && w.kind != Warning::kPoweredOff)
        fprintf(stderr, "devsim run: warning: %s\n", w.text.c_str());
  } catch (const InputError&) {
  }
  fflush(stderr);
}

int Run(const RunArgs& a) {
  RunOptions opt = OptionsFrom(a);
  WarnBeforeRun(opt.deviceDir);

  // Each line as it happens, so that a person (or a program reading the
  // output) follows the run while it goes.
  opt.onEvent = [&a](const runproto::Event& e) {
    std::string line = a.events ? runproto::FormatEvent(e) : FormatRunLine(e);
    if (line.empty()) return;
    printf("%s\n", line.c_str());
    fflush(stdout);
  };
  RunResult r;
  bool ok = RunOnDevice(opt, &r);
  if (!ok && !r.started) {
    fprintf(stderr, "devsim run: %s\n", r.error.c_str());
    return kExitUsage;
  }
  sim::DeviceRecord rec;
  std::string err;
  if (sim::ReadDeviceRecord(opt.deviceDir, &rec, &err)) {
    if (a.events) {
      runproto::CheckerRecord checker;
      checker.violations = rec.violationCount;
      checker.lines = rec.violations;
      printf("%s\n", runproto::FormatEvent(checker).c_str());
    } else {
      printf("protocol checker: %llu violations\n", (unsigned long long)rec.violationCount);
      for (const std::string& v : rec.violations) printf("  %s\n", v.c_str());
    }
  }
  if (!r.error.empty()) fprintf(stderr, "devsim run: %s\n%s", r.error.c_str(), r.runnerOutput.c_str());
  return r.ranToEnd ? kExitOk : kExitCheckFailed;
}

Runner Declare(CommandLine& cl) {
  auto a = std::make_shared<RunArgs>();
  cl.Describe("run kestrel or tollgate on a simulated device under Wine", kProse);
  cl.Footer(kFooter);
  cl.Positional("DIR", "the device folder", &a->dir);
  cl.Positional("PROGRAM", "kestrel, tollgate or a PROGRAM.exe of the device build", &a->program);
  cl.Value("--answer", "ok|cancel|none", "how the robot answers each message box (default ok; none leaves them up)",
           &a->answer);
  cl.Flag("--no-system-driver", "without the system flash driver stand-in", &a->noSystemDriver);
  cl.Value("--timeout", "S", "stop everything after at most S seconds (default 120)", &a->timeout);
  cl.Flag("--interactive", "a person with a display answers the boxes", &a->interactive);
  cl.Flag("--show", "the windows appear on the display and the robot answers each box after 2 s", &a->show);
  cl.Value("--card-fault", "read-fail|short-read", "makes the card's reads fail", &a->cardFault);
  cl.Flag("--keep-record", "keep the protocol checker's record of earlier runs", &a->keepRecord);
  cl.Value("--kill-after-ops", "N", "end the program once the chip has made N operations (below)", &a->killAfterOps);
  cl.Flag("--events", "every record of the run as JSON, one a line, instead of the lines above", &a->events);
  return [a] { return Run(*a); };
}

}  // namespace

extern const Command kRunCommand = {"run", Declare};

}  // namespace devsim
