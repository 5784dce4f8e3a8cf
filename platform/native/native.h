// The native platform's own levers, for the tests and harnesses that run the
// device code in one Linux process (the native and ARMv4 targets). The device
// code never sees this header: it sees the Win32 and CE calls of
// platform/native/include and platform/include.
//
// Processes. On the handheld the updater, the system's flash driver and the
// camera driver are separate processes on one device. Here each is a thread:
// RunProgram starts one as a "process" of its own, whose handles and mapped
// windows belong to it. It ends when its body returns, or where it stands when
// the device model strikes it (the power went, or the run kills the program
// under test): the thread then stops for good (it waits forever, it never
// runs another instruction of the device code), its mutexes become abandoned,
// its handles are closed and its windows unmapped, as the kernel does for a
// process that dies. The test's own thread is the "process" that exists
// before any is started.
#ifndef PLATFORM_NATIVE_NATIVE_H
#define PLATFORM_NATIVE_NATIVE_H

#include <windows.h>

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "tools/run/events.h"

namespace native {

enum class ProgramEnd { kReturned, kPowerLost, kKilled };
const char* ProgramEndName(ProgramEnd end);

// Runs body as a process of the device and waits until it has ended.
// `target`: a process of the program under test (a kill after N chip
// operations strikes only those); stand-ins pass false.
ProgramEnd RunProgram(const std::function<void()>& body, bool target = true);

// A process started without waiting for it (a stand-in beside the program).
class Process {
 public:
  Process(const std::function<void()>& body, bool target);
  ~Process();  // waits for the end
  ProgramEnd Wait();

  struct Impl;

 private:
  Impl* impl_;
  Process(const Process&) = delete;
  Process& operator=(const Process&) = delete;
};

// How the device model ends the calling thread: the stop of a process (see
// above). Called by the SoC layer; the test's own thread is never stopped
// (a power loss there is a fault of the test, reported and aborted).
[[noreturn]] void StopCallingProcess(ProgramEnd why);

// Win32's SignalObjectAndWait (not alertable): releases the mutex or sets the
// event toSignal and waits for toWaitOn in one step, no other thread running
// in between. A stand-in that gives a bus mutex back and queues for it again
// this way gets it next after the thread it was given to (a released mutex
// goes to the thread that has waited for it longest), so it has a turn
// between any two holdings of the other's, however the host schedules them.
DWORD SignalObjectAndWait(HANDLE toSignal, HANDLE toWaitOn, DWORD ms);

// Whether the calling thread belongs to the program under test.
bool CallingThreadIsTarget();
// Whether the calling thread holds the named mutex; and every one of several
// (one look at the kernel's objects: the checker asks on every bus access).
bool CallingThreadOwns(const wchar_t* mutexName);
bool CallingThreadOwnsAll(const wchar_t* const* mutexNames, size_t count);

// When on (off at start; switching clears the trace): every taking and giving
// back of a named mutex, in the order they happen, as "take NAME" and
// "release NAME" (a recursive take or release is not a change of owner and
// is not listed; an owner's end that abandons a mutex is not a release).
void TraceNamedMutexes(bool on);
std::vector<std::string> NamedMutexTrace();

// Everything the platform recorded in this process, in order: debug lines,
// message boxes with their answers, progress positions (tools/run/events.h).
std::vector<runproto::Event> Events();
void ClearEvents();
// The events so far, handed over: the record is left empty (ClearEvents).
std::vector<runproto::Event> TakeEvents();
// Not kept in memory (long sweeps): still written to DEVSIM_EVENT_LOG.
void SetKeepEvents(bool keep);

// The answer every message box gets (IDOK unless told otherwise).
void SetMessageBoxAnswer(int answer);

// The folder that "\" names for root-relative paths (the device folder), as
// a Linux path. Empty: the attached device's folder.
void SetDeviceRoot(const std::string& dir);

// Failure points. Every call of the program under test into the kernel that
// can fail (the kinds below), and every wait of its driver on the hardware
// (the first poll of a status register after any other access), is a failure
// point of the run, numbered from 0 in the order they come. ReadFile is two
// points (it fails; it delivers half of what was asked). The point armed
// fails when it comes, once: the call returns its failure value with its
// error, or the wait never ends (the register reads as while the hardware
// works, and what the hardware was doing is made to hang: sim::SocModel::
// HangWait). Counted only in the threads of programs started by RunProgram
// or Process as the program under test, not in a program those start with
// CreateProcessW (swept in a run of its own) nor in stand-ins.
enum class FailureKind {
  kVirtualAlloc,
  kVirtualCopy,
  kCreateMutex,
  kWaitForSingleObject,
  kCreateFile,
  kGetFileSize,
  kReadFile,
  kShortRead,
  kLocalAlloc,
  kCreateProcess,
  kGetExitCodeProcess,
  kFindFirstFile,
  kDeleteFile,
  kHardwareWait,
};
constexpr int kFailureKinds = int(FailureKind::kHardwareWait) + 1;
const char* FailureKindName(FailureKind kind);
struct FailurePoint {
  FailureKind kind;
  std::string what;     // the mutex, file or register concerned
  size_t eventsBefore;  // of Events(): where in the run's record it came
};
// Counting starts again from 0; point `fail` (-1: none) will fail. keepList:
// FailurePointsSeen lists the points (else only their count is kept).
void ArmFailurePoint(int64_t fail, bool keepList = true);
// The same, but point `fail` fails only if it is one of `kinds` (bit 1 << kind
// set); a point of another kind there passes, and nothing fails.
void ArmFailurePointOf(int64_t fail, uint32_t kinds, bool keepList);
// Every point of this kind fails from now on (as a card that fails every
// read would), besides the armed one; ArmFailurePoint ends it.
void FailEveryPointOf(FailureKind kind);
std::vector<FailurePoint> FailurePointsSeen();
// The calling thread's calls are failure points from now on (on) or not: for
// a harness that runs the program under test in its own thread.
void CountFailurePointsHere(bool on);
uint64_t FailurePointsCounted();
bool FailurePointStruck();

// What programs that have returned left behind: handles still open and
// memory regions (windows included) still reserved. A program that gives
// back what it took leaves 0 of each.
struct Leftovers {
  int handles = 0;
  int regions = 0;
};
Leftovers LeftByReturnedPrograms();
// Whether a named mutex exists and is owned by a thread now.
bool NamedMutexOwned(const wchar_t* name);

// Programs CreateProcessW can start: a file on the device at `path` (a device
// path, matched without regard to case) runs `body` as a process of its own
// (it is the program under test, but its calls are not failure points of the
// program that started it). The start returns once the program has ended,
// so its parent's polls of the exit code find it ended at the first look,
// whatever the host's speed; its exit code is body's result.
void RegisterProgram(const std::wstring& path, const std::function<int()>& body);

// Times an application went on from InitInstance to its message loop.
int MessageLoopsRun();

// Milliseconds the programs asked Sleep for (it does not wait here).
uint64_t SleptMs();

// Wide characters the device code handed to the platform that would not fit
// the device's 16-bit WCHAR. Must stay 0.
uint64_t WideUnitsBeyond16Bits();

}  // namespace native

#endif
