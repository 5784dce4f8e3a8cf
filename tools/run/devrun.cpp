// devrun: the Wine side of a run on a simulated device (protocol.h). Runs
// under Wine with its current directory on the device's drive (the host's
// device runner sets that up), so the program and everything it starts see
// the device folder as their root.
//
//   devrun [--answer ok|cancel|none] [--timeout SECONDS] [--hold MS] [--probe-file PATH]
//          [--sysflash PATH | --no-system-driver] [--camera PATH [--camera-dies-after-ops N]]
//          -- PROGRAM [ARGS...]
//
// 1. Starts the system flash driver stand-in and waits until it is ready (the
//    updater's driver requires its mutex to exist).
// 2. With --camera: the camera stand-ins nand.cfg asks for (camera.active = 1:
//    pins switched to the camera from time to time; extboard.wp_user = 1:
//    write protect set and left), and with --camera-dies-after-ops N one that
//    takes the pin mutex once the chip has made N operations, puts the pins on
//    the camera and dies holding it (N = 0: before the program starts).
// 3. Starts PROGRAM in a named job object, the job's name in DEVSIM_TARGET_JOB
//    in its environment, so that whatever it starts goes with it and the
//    device model knows the program under test (a kill after N chip
//    operations ends that job).
// 4. The robot (box_robot.h) records each message box (with --probe-file,
//    whether that file can be opened by another process while the box is up)
//    and presses the answer asked for after --hold milliseconds.
// 5. Waits for PROGRAM (at most --timeout seconds), gives its children a
//    moment, ends the job, writes the exit event, stops the stand-ins (each
//    writes its report) and exits with kRunnerOk, kRunnerTimedOut or
//    kRunnerUsage.
#include <windows.h>

#include <stdio.h>
#include <wchar.h>

#include <string>
#include <vector>

#include "platform/debug_sink.h"
#include "platform/event_log.h"
#include "sim/nand_cfg.h"
#include "sim/sysflash_control.h"
#include "tools/run/box_robot.h"
#include "tools/run/cli.h"
#include "tools/run/protocol.h"

namespace {

struct Options {
  std::string answer = "ok";
  double timeoutSeconds = 120;
  unsigned holdMs = 0;
  std::string probeFile;
  std::string sysflash;
  bool noSystemDriver = false;
  std::string camera;
  int64_t cameraDiesAfterOps = -1;
  std::vector<std::string> command;
};

std::wstring Quote(const std::wstring& arg) {
  if (!arg.empty() && arg.find_first_of(L" \t\"") == std::wstring::npos) return arg;
  std::wstring q = L"\"";
  for (wchar_t c : arg) {
    if (c == L'"') q += L'\\';
    q += c;
  }
  return q + L"\"";
}

std::wstring CommandLine(const std::vector<std::string>& args) {
  std::wstring line;
  for (const std::string& a : args) line += (line.empty() ? L"" : L" ") + Quote(PlatformWide(a));
  return line;
}

bool ParseOptions(int argc, wchar_t** argv, Options* o) {
  CLI::App app("runs one program on a simulated device", "devrun");
  app.add_option("--answer", o->answer)->check(CLI::IsMember({"ok", "cancel", "none"}));
  app.add_option("--timeout", o->timeoutSeconds)->check(CLI::PositiveNumber);
  app.add_option("--hold", o->holdMs);
  app.add_option("--probe-file", o->probeFile);
  auto* sysflash = app.add_option("--sysflash", o->sysflash);
  app.add_flag("--no-system-driver", o->noSystemDriver)->excludes(sysflash);
  auto* camera = app.add_option("--camera", o->camera);
  app.add_option("--camera-dies-after-ops", o->cameraDiesAfterOps)->needs(camera)->check(CLI::NonNegativeNumber);
  app.add_option("command", o->command)->required();
  app.positionals_at_end();
  if (!runproto::ParseCommandLine(app, argc, argv,
                                  "devrun [--answer ok|cancel|none] [--timeout S] [--hold MS] [--probe-file PATH] "
                                  "[--sysflash PATH | --no-system-driver] [--camera PATH [--camera-dies-after-ops N]] "
                                  "-- PROGRAM [ARGS...]"))
    return false;
  if (!o->noSystemDriver && o->sysflash.empty()) {
    fwprintf(stderr, L"devrun: --sysflash PATH or --no-system-driver\n");
    return false;
  }
  return true;
}

// Whether another process could open the file now (share mode 0 of the holder
// makes this fail with ERROR_SHARING_VIOLATION).
int64_t ProbeOpen(const std::string& path) {
  if (path.empty()) return -1;
  HANDLE h =
      CreateFileW(PlatformWide(path).c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                  NULL, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, NULL);
  if (h == INVALID_HANDLE_VALUE) return int64_t(GetLastError());
  CloseHandle(h);
  return 0;
}

HANDLE StartProcess(const std::wstring& cmd, HANDLE job) {
  PROCESS_INFORMATION pi;
  if (!sim::StartProcessPatiently(cmd, CREATE_SUSPENDED, &pi)) return NULL;
  if (job) AssignProcessToJobObject(job, pi.hProcess);
  ResumeThread(pi.hThread);
  CloseHandle(pi.hThread);
  return pi.hProcess;
}

std::wstring Named(const wchar_t* prefix) { return prefix + std::to_wstring(GetCurrentProcessId()); }

// The camera stand-ins that nand.cfg (and --camera-dies-after-ops) ask for.
struct Cameras {
  HANDLE stop = NULL;
  std::vector<HANDLE> processes;
};

void StartCameras(const Options& o, Cameras* c) {
  if (o.camera.empty()) return;
  sim::NandConfig cfg;
  std::string error;
  if (!sim::LoadNandConfig("nand.cfg", &cfg, &error)) fwprintf(stderr, L"devrun: %hs\n", error.c_str());
  std::wstring stopName = Named(runproto::kCameraStopPrefix);
  c->stop = CreateEventW(NULL, TRUE, FALSE, stopName.c_str());
  std::wstring base = Quote(PlatformWide(o.camera)) + L" --stop-event " + stopName + L" --mode ";
  if (cfg.cameraActive) c->processes.push_back(StartProcess(base + L"camera", NULL));
  if (cfg.extboardWpUser) c->processes.push_back(StartProcess(base + L"wp", NULL));
  if (o.cameraDiesAfterOps >= 0) {
    HANDLE dies = StartProcess(base + L"camera-dies --after-ops " + std::to_wstring(o.cameraDiesAfterOps), NULL);
    // N = 0: the pins are taken before the program starts. The stand-in ends
    // by itself once it holds them; the bound is only against a broken one.
    if (dies && o.cameraDiesAfterOps == 0) WaitForSingleObject(dies, 60000);
    c->processes.push_back(dies);
  }
}

// A stopped stand-in ends at its next operation or bounded wait and writes
// its report first; only one that does not end at all is ended here.
void StopStandIn(HANDLE process, const wchar_t* what) {
  if (!process) return;
  if (WaitForSingleObject(process, 120000) == WAIT_TIMEOUT) {
    fwprintf(stderr, L"devrun: the %ls stand-in did not stop; ended without its report\n", what);
    TerminateProcess(process, 1);
  }
  CloseHandle(process);
}

void StopCameras(Cameras* c) {
  if (c->stop) SetEvent(c->stop);
  for (HANDLE h : c->processes) StopStandIn(h, L"camera");
  if (c->stop) CloseHandle(c->stop);
}

// Children of the program (the updater started by the launcher) get a moment
// after it ends; then the job goes.
void EndJob(HANDLE job) {
  JOBOBJECT_BASIC_ACCOUNTING_INFORMATION acct;
  for (int t = 0; t < 200; ++t) {
    if (!QueryInformationJobObject(job, JobObjectBasicAccountingInformation, &acct, sizeof(acct), NULL) ||
        acct.ActiveProcesses == 0)
      break;
    Sleep(10);
  }
  TerminateJobObject(job, runproto::kExitJobEnded);
}

// Runs the program under test; false when it could not be started.
bool RunProgram(const Options& o, bool* timedOut) {
  std::wstring jobName = Named(runproto::kTargetJobPrefix);
  HANDLE job = CreateJobObjectW(NULL, jobName.c_str());
  // Only the program and what it starts carry the job's name: the stand-ins
  // were started before it was set.
  std::wstring variable = PlatformWide(runproto::kEnvTargetJob);
  SetEnvironmentVariableW(variable.c_str(), jobName.c_str());

  runproto::RobotOptions ro;
  ro.answer = o.answer == "ok"       ? runproto::BoxAnswer::kOk
              : o.answer == "cancel" ? runproto::BoxAnswer::kCancel
                                     : runproto::BoxAnswer::kNone;
  ro.holdMs = o.holdMs;
  std::string probe = o.probeFile;
  ro.onBox = [probe](const runproto::SeenBox& b) {
    runproto::BoxSeen ev;
    ev.pid = b.pid;
    ev.owner = uint64_t(ULONG_PTR(b.owner));
    ev.caption = b.caption;
    ev.text = b.text;
    ev.buttons = b.buttons;
    ev.topmost = b.topmost;
    ev.foreground = b.foreground;
    ev.icon = b.icon;
    ev.probeOpenError = ProbeOpen(probe);
    PlatformLogEvent(ev);
  };
  runproto::BoxRobot robot(ro);

  HANDLE proc = StartProcess(CommandLine(o.command), job);
  SetEnvironmentVariableW(variable.c_str(), NULL);
  if (!proc) {
    fwprintf(stderr, L"devrun: cannot start %ls (error %lu)\n", CommandLine(o.command).c_str(), GetLastError());
    CloseHandle(job);
    return false;
  }
  *timedOut = WaitForSingleObject(proc, DWORD(o.timeoutSeconds * 1000.0)) == WAIT_TIMEOUT;
  if (*timedOut) TerminateProcess(proc, runproto::kExitTimedOut);
  WaitForSingleObject(proc, INFINITE);
  DWORD code = 0;
  GetExitCodeProcess(proc, &code);
  EndJob(job);
  robot.Stop();

  runproto::ProgramExit ev;
  ev.pid = GetProcessId(proc);
  ev.exit = code;
  ev.timedOut = *timedOut;
  ev.probeOpenError = ProbeOpen(o.probeFile);
  PlatformLogEvent(ev);
  CloseHandle(proc);
  CloseHandle(job);
  return true;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  Options opt;
  if (!ParseOptions(argc, argv, &opt)) return runproto::kRunnerUsage;

  sim::SysflashProcess sysflash;
  if (!opt.noSystemDriver && !sim::StartSysflash(PlatformWide(opt.sysflash), L"", &sysflash)) {
    fwprintf(stderr, L"devrun: the system flash driver %hs did not come up (exit code 0x%lx)\n", opt.sysflash.c_str(),
             sysflash.exitCode);
    return runproto::kRunnerUsage;
  }
  Cameras cameras;
  StartCameras(opt, &cameras);
  bool timedOut = false;
  bool ran = RunProgram(opt, &timedOut);
  StopCameras(&cameras);
  if (sysflash.process) sim::StopSysflash(&sysflash);
  if (!ran) return runproto::kRunnerUsage;
  return timedOut ? runproto::kRunnerTimedOut : runproto::kRunnerOk;
}
