// devrun: starts one program on a simulated device the way the device would
// run it, and stops everything after. Runs under Wine with its current
// directory on the device's drive (the host tool sets that up), so the program
// and everything it starts see the device folder as their root.
//
//   devrun [--answer ok|cancel|none] [--no-system-driver] [--timeout SECONDS]
//          [--sysflash PATH] [--probe-file PATH] [--hold MS] -- PROGRAM [ARGS...]
//
// 1. Unless --no-system-driver: starts the system flash driver stand-in and
//    waits until it signals that its mutex exists (the updater's driver
//    requires it); at the end it is asked to stop through its stop event.
// 2. Starts PROGRAM in a job, so that whatever it starts (the launcher starts
//    the updater) is stopped with it.
// 3. A robot thread finds every message box on screen, records what it shows
//    (caption, text, buttons, owner, topmost; with --probe-file, whether that
//    file can be opened by another process while the box is up) and presses
//    the answer asked for (none: leaves it up) after --hold milliseconds.
// 4. Waits for PROGRAM to end (at most --timeout seconds, then ends it), gives
//    its children a moment, ends the job, stops the system driver, and writes
//    the exit record. Events go to the log named by DEVSIM_EVENT_LOG.
// Exit code: 0 when PROGRAM ran to its end, 3 on time-out, 2 on bad usage or
// when something could not be started.
//
// The device's other bus users and the campaign's interruptions:
//   --camera PATH            the camera stand-in (sim/camera): started after the
//                            system driver when nand.cfg has camera.active = 1
//                            (pins switched to the camera from time to time) or
//                            extboard.wp_user = 1 (write protect set and left);
//                            stopped after the program
//   --camera-dies-after-ops N   also start it in the mode that takes the pin
//                            mutex once the chip has made N operations, puts the
//                            pins on the camera and dies holding it (N = 0: done
//                            before the program starts)
//   --kill-after-ops N       end the program (its whole job) once the chip has
//                            made N operations and "_FLASH_MUTEX_" is held; its
//                            exit code is then 0xDEAD0004
#include <windows.h>

#include <stdio.h>
#include <wchar.h>

#include <set>
#include <string>
#include <vector>

#include "platform/event_log.h"
#include "sim/device.h"
#include "sim/nand_cfg.h"
#include "sim/soc.h"

namespace {

enum Answer { kAnswerOk, kAnswerCancel, kAnswerNone };

struct Options {
  Answer answer = kAnswerOk;
  bool systemDriver = true;
  DWORD timeoutMs = 120000;
  DWORD holdMs = 0;
  std::wstring sysflash;
  std::wstring probeFile;
  std::wstring commandLine;
  std::wstring camera;
  long long cameraDiesAfterOps = -1;
  long long killAfterOps = -1;
};

const DWORD kKilledExitCode = 0xDEAD0004u;

Options g_opt;
volatile LONG g_stopRobot = 0;

std::wstring Quote(const std::wstring& arg) {
  if (!arg.empty() && arg.find_first_of(L" \t\"") == std::wstring::npos) return arg;
  std::wstring q = L"\"";
  for (wchar_t c : arg) {
    if (c == L'"') q += L'\\';
    q += c;
  }
  return q + L"\"";
}

// Whether another process could open the file now (share mode 0 of the holder
// makes this fail with ERROR_SHARING_VIOLATION).
DWORD ProbeOpen(const std::wstring& path) {
  HANDLE h = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, NULL,
                         OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, NULL);
  if (h == INVALID_HANDLE_VALUE) return GetLastError();
  CloseHandle(h);
  return 0;
}

std::wstring WindowText(HWND h) {
  wchar_t buf[2048];
  int n = GetWindowTextW(h, buf, 2048);
  return std::wstring(buf, n > 0 ? (size_t)n : 0);
}

struct Candidate {
  std::vector<HWND> boxes;
};

BOOL CALLBACK CollectBoxes(HWND h, LPARAM lp) {
  wchar_t cls[64];
  if (!GetClassNameW(h, cls, 64) || wcscmp(cls, L"#32770") != 0) return TRUE;
  if (!IsWindowVisible(h)) return TRUE;
  // A message box carries its text in the static control 0xFFFF; the updater's
  // own dialog (same class) has none.
  if (GetDlgItem(h, 0xFFFF) == NULL) return TRUE;
  DWORD pid = 0;
  GetWindowThreadProcessId(h, &pid);
  if (pid == GetCurrentProcessId()) return TRUE;
  reinterpret_cast<Candidate*>(lp)->boxes.push_back(h);
  return TRUE;
}

void RecordBox(HWND box) {
  DWORD pid = 0;
  GetWindowThreadProcessId(box, &pid);
  static const struct { int id; const char* name; } kButtons[] = {
      {IDOK, "OK"}, {IDCANCEL, "Cancel"}, {IDABORT, "Abort"}, {IDRETRY, "Retry"},
      {IDIGNORE, "Ignore"}, {IDYES, "Yes"}, {IDNO, "No"}};
  std::string buttons = "[";
  for (const auto& b : kButtons) {
    HWND btn = GetDlgItem(box, b.id);
    if (btn && IsWindowVisible(btn)) {
      if (buttons.size() > 1) buttons += ",";
      buttons += std::string("\"") + b.name + "\"";
    }
  }
  buttons += "]";
  bool icon = false;
  for (HWND c = GetWindow(box, GW_CHILD); c; c = GetWindow(c, GW_HWNDNEXT)) {
    if ((GetWindowLongW(c, GWL_STYLE) & SS_TYPEMASK) == SS_ICON && GetDlgCtrlID(c) != 0xFFFF) icon = true;
  }
  char head[200];
  snprintf(head, sizeof(head),
           "{\"pid\":%lu,\"owner\":%llu,\"topmost\":%s,\"foreground\":%s,\"icon\":%s,\"buttons\":%s,\"caption\":",
           (unsigned long)pid, (unsigned long long)(ULONG_PTR)GetWindow(box, GW_OWNER),
           (GetWindowLongW(box, GWL_EXSTYLE) & WS_EX_TOPMOST) ? "true" : "false",
           GetForegroundWindow() == box ? "true" : "false", icon ? "true" : "false", buttons.c_str());
  std::string rec = head;
  rec += PlatformJsonString(WindowText(box));
  rec += ",\"text\":";
  rec += PlatformJsonString(WindowText(GetDlgItem(box, 0xFFFF)));
  if (!g_opt.probeFile.empty()) {
    char probe[48];
    snprintf(probe, sizeof(probe), ",\"probeOpenError\":%lu", (unsigned long)ProbeOpen(g_opt.probeFile));
    rec += probe;
  }
  rec += "}";
  PlatformLogEvent('B', rec);
}

DWORD WINAPI RobotThread(LPVOID) {
  std::set<HWND> seen;
  while (!g_stopRobot) {
    Candidate c;
    EnumWindows(CollectBoxes, reinterpret_cast<LPARAM>(&c));
    for (HWND box : c.boxes) {
      if (seen.count(box)) continue;
      seen.insert(box);
      RecordBox(box);
      if (g_opt.answer == kAnswerNone) continue;
      if (g_opt.holdMs) Sleep(g_opt.holdMs);
      PostMessageW(box, WM_COMMAND, g_opt.answer == kAnswerOk ? IDOK : IDCANCEL, 0);
    }
    // Forget boxes that are gone: a handle value may be reused by a later box.
    for (auto it = seen.begin(); it != seen.end();) it = IsWindow(*it) ? std::next(it) : seen.erase(it);
    Sleep(10);
  }
  return 0;
}

bool FlashMutexExists() {
  HANDLE h = OpenMutexW(SYNCHRONIZE, FALSE, L"_FLASH_MUTEX_");
  if (!h) return false;
  CloseHandle(h);
  return true;
}

HANDLE StartProcess(const std::wstring& cmd, HANDLE job) {
  STARTUPINFOW si;
  ZeroMemory(&si, sizeof(si));
  si.cb = sizeof(si);
  PROCESS_INFORMATION pi;
  std::vector<wchar_t> buf(cmd.begin(), cmd.end());
  buf.push_back(0);
  // Under load the Wine server now and then refuses a start with an internal
  // error; that is this machine, not the device, so the runner tries again.
  // A program that is not there fails at once.
  for (int attempt = 1;; ++attempt) {
    if (CreateProcessW(NULL, buf.data(), NULL, NULL, FALSE, CREATE_SUSPENDED, NULL, NULL, &si, &pi)) break;
    DWORD error = GetLastError();
    if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND || attempt == 5) return NULL;
    Sleep(200);
  }
  if (job) AssignProcessToJobObject(job, pi.hProcess);
  ResumeThread(pi.hThread);
  CloseHandle(pi.hThread);
  return pi.hProcess;
}

// The camera stand-ins that nand.cfg (and --camera-dies-after-ops) ask for.
struct StandIns {
  HANDLE stop = NULL;
  std::vector<HANDLE> processes;
};

void StartStandIns(StandIns* s) {
  if (g_opt.camera.empty()) return;
  sim::NandConfig cfg;
  std::string error;
  if (!sim::LoadNandConfig("nand.cfg", &cfg, &error)) fwprintf(stderr, L"devrun: %hs\n", error.c_str());
  wchar_t stopName[64];
  swprintf(stopName, 64, L"DEVSIM_CAMERA_STOP_%lu", (unsigned long)GetCurrentProcessId());
  s->stop = CreateEventW(NULL, TRUE, FALSE, stopName);
  std::wstring base = Quote(g_opt.camera) + L" --stop-event " + stopName + L" --mode ";
  if (cfg.cameraActive) s->processes.push_back(StartProcess(base + L"camera", NULL));
  if (cfg.extboardWpUser) s->processes.push_back(StartProcess(base + L"wp", NULL));
  if (g_opt.cameraDiesAfterOps >= 0) {
    HANDLE dies = StartProcess(base + L"camera-dies --after-ops " + std::to_wstring(g_opt.cameraDiesAfterOps), NULL);
    if (dies && g_opt.cameraDiesAfterOps == 0) WaitForSingleObject(dies, 10000);
    s->processes.push_back(dies);
  }
}

void StopStandIns(StandIns* s) {
  if (s->stop) SetEvent(s->stop);
  for (HANDLE h : s->processes) {
    if (!h) continue;
    if (WaitForSingleObject(h, 5000) == WAIT_TIMEOUT) TerminateProcess(h, 1);
    CloseHandle(h);
  }
  if (s->stop) CloseHandle(s->stop);
}

unsigned long long ChipOps() {
  sim::DeviceRecord rec;
  return sim::SocReadRecord(&rec) ? rec.chipOps : 0;
}

// Whether some process owns the mutex now (NtQueryMutant's CurrentCount is 1
// for a free mutex).
bool MutexOwned(HANDLE m) {
  struct MutantBasicInformation {
    LONG CurrentCount;
    BOOLEAN OwnedByCaller;
    BOOLEAN AbandonedState;
  } info;
  typedef LONG(WINAPI * QueryFn)(HANDLE, int, PVOID, ULONG, PULONG);
  static QueryFn query = (QueryFn)(void*)GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "NtQueryMutant");
  if (!m || !query || query(m, 0, &info, sizeof(info), NULL) != 0) return true;
  return info.CurrentCount <= 0;
}

// Waits for the program within the time-out; with --kill-after-ops ends its
// job once the chip has made that many operations and the flash mutex is held
// (with an idle system driver: by the program, in the middle of an operation).
// True on time-out.
bool WaitProgram(HANDLE proc, HANDLE job) {
  if (g_opt.killAfterOps < 0) return WaitForSingleObject(proc, g_opt.timeoutMs) == WAIT_TIMEOUT;
  bool attached = sim::SocAttach();
  // This process never drives the bus: its handles must not keep the mutexes alive.
  sim::SocDropBusHandles();
  HANDLE flash = OpenMutexW(MUTEX_ALL_ACCESS, FALSE, L"_FLASH_MUTEX_");
  DWORD start = GetTickCount();
  while (WaitForSingleObject(proc, 1) == WAIT_TIMEOUT) {
    // The idle system driver holds the bus for about 1 ms at a time; a hold
    // that lasts past 3 ms is the program's, inside a sector operation.
    if (attached && ChipOps() >= (unsigned long long)g_opt.killAfterOps && MutexOwned(flash) &&
        (Sleep(3), MutexOwned(flash))) {
      if (flash) CloseHandle(flash);
      TerminateJobObject(job, kKilledExitCode);
      return false;
    }
    if (GetTickCount() - start > g_opt.timeoutMs) {
      if (flash) CloseHandle(flash);
      return true;
    }
  }
  if (flash) CloseHandle(flash);
  return false;
}

int Usage() {
  fwprintf(stderr, L"usage: devrun [--answer ok|cancel|none] [--no-system-driver] [--timeout S] "
                   L"[--sysflash PATH] [--probe-file PATH] [--hold MS] [--camera PATH] "
                   L"[--camera-dies-after-ops N] [--kill-after-ops N] -- PROGRAM [ARGS...]\n");
  return 2;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  int i = 1;
  for (; i < argc; ++i) {
    std::wstring a = argv[i];
    if (a == L"--") { ++i; break; }
    if (a == L"--no-system-driver") { g_opt.systemDriver = false; continue; }
    if (i + 1 >= argc) return Usage();
    std::wstring v = argv[++i];
    if (a == L"--answer") {
      if (v == L"ok") g_opt.answer = kAnswerOk;
      else if (v == L"cancel") g_opt.answer = kAnswerCancel;
      else if (v == L"none") g_opt.answer = kAnswerNone;
      else return Usage();
    } else if (a == L"--timeout") {
      g_opt.timeoutMs = (DWORD)(_wtof(v.c_str()) * 1000.0);
    } else if (a == L"--hold") {
      g_opt.holdMs = (DWORD)_wtoi(v.c_str());
    } else if (a == L"--sysflash") {
      g_opt.sysflash = v;
    } else if (a == L"--probe-file") {
      g_opt.probeFile = v;
    } else if (a == L"--camera") {
      g_opt.camera = v;
    } else if (a == L"--camera-dies-after-ops") {
      g_opt.cameraDiesAfterOps = _wtoi64(v.c_str());
    } else if (a == L"--kill-after-ops") {
      g_opt.killAfterOps = _wtoi64(v.c_str());
    } else {
      return Usage();
    }
  }
  if (i >= argc) return Usage();
  for (int k = i; k < argc; ++k) g_opt.commandLine += (k > i ? L" " : L"") + Quote(argv[k]);

  HANDLE sysflash = NULL;
  HANDLE stopSysflash = NULL;
  if (g_opt.systemDriver) {
    if (g_opt.sysflash.empty()) return Usage();
    wchar_t events[160];
    swprintf(events, 160, L" --ready-event DEVSIM_SYSFLASH_READY_%lu --stop-event DEVSIM_SYSFLASH_STOP_%lu",
             (unsigned long)GetCurrentProcessId(), (unsigned long)GetCurrentProcessId());
    wchar_t name[64];
    swprintf(name, 64, L"DEVSIM_SYSFLASH_READY_%lu", (unsigned long)GetCurrentProcessId());
    HANDLE ready = CreateEventW(NULL, TRUE, FALSE, name);
    swprintf(name, 64, L"DEVSIM_SYSFLASH_STOP_%lu", (unsigned long)GetCurrentProcessId());
    stopSysflash = CreateEventW(NULL, TRUE, FALSE, name);
    sysflash = StartProcess(Quote(g_opt.sysflash) + events, NULL);
    if (!sysflash) {
      fwprintf(stderr, L"devrun: cannot start the system flash driver %ls (error %lu)\n", g_opt.sysflash.c_str(),
               GetLastError());
      return 2;
    }
    HANDLE waits[2] = {ready, sysflash};
    WaitForMultipleObjects(2, waits, FALSE, 10000);
    CloseHandle(ready);
    if (!FlashMutexExists()) {
      fwprintf(stderr, L"devrun: the system flash driver did not come up\n");
      TerminateProcess(sysflash, 1);
      return 2;
    }
  }

  StandIns standIns;
  StartStandIns(&standIns);
  HANDLE job = CreateJobObjectW(NULL, NULL);
  HANDLE robot = CreateThread(NULL, 0, RobotThread, NULL, 0, NULL);
  HANDLE proc = StartProcess(g_opt.commandLine, job);
  int rc = 0;
  if (!proc) {
    fwprintf(stderr, L"devrun: cannot start %ls (error %lu)\n", g_opt.commandLine.c_str(), GetLastError());
    rc = 2;
  } else {
    bool timedOut = WaitProgram(proc, job);
    if (timedOut) TerminateProcess(proc, 0xDEAD0001u);
    WaitForSingleObject(proc, 5000);
    DWORD code = 0;
    GetExitCodeProcess(proc, &code);
    // Children (the updater started by the launcher) get a moment, then go.
    JOBOBJECT_BASIC_ACCOUNTING_INFORMATION acct;
    for (int t = 0; t < 200; ++t) {
      if (!QueryInformationJobObject(job, JobObjectBasicAccountingInformation, &acct, sizeof(acct), NULL) ||
          acct.ActiveProcesses == 0)
        break;
      Sleep(10);
    }
    TerminateJobObject(job, 0xDEAD0002u);
    char rec[128];
    snprintf(rec, sizeof(rec), "{\"pid\":%lu,\"exit\":%lu,\"timedOut\":%s", (unsigned long)GetProcessId(proc),
             (unsigned long)code, timedOut ? "true" : "false");
    std::string r = rec;
    if (!g_opt.probeFile.empty()) {
      char probe[48];
      snprintf(probe, sizeof(probe), ",\"probeOpenError\":%lu", (unsigned long)ProbeOpen(g_opt.probeFile));
      r += probe;
    }
    PlatformLogEvent('X', r + "}");
    CloseHandle(proc);
    rc = timedOut ? 3 : 0;
  }
  InterlockedExchange(&g_stopRobot, 1);
  WaitForSingleObject(robot, 2000);
  StopStandIns(&standIns);
  if (sysflash) {
    // The stand-in finishes its current bus hold, reports and ends.
    SetEvent(stopSysflash);
    if (WaitForSingleObject(sysflash, 10000) == WAIT_TIMEOUT) TerminateProcess(sysflash, 1);
    CloseHandle(sysflash);
    CloseHandle(stopSysflash);
  }
  CloseHandle(job);
  return rc;
}
