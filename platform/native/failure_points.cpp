// Failure points of a run on the native target (native.h): the calls of the
// program under test into the kernel that can fail, and the waits of its
// driver on the hardware, numbered in the order they come.
#include <mutex>
#include <string>
#include <vector>

#include "platform/native/kernel_internal.h"
#include "platform/native/native.h"

namespace native {
namespace {

struct Points {
  std::mutex lock;
  int64_t fail = -1;
  uint32_t failKinds = ~0u;  // the kinds the armed point fails as
  int failEvery = -1;  // a FailureKind whose every point fails
  uint64_t next = 0;
  bool struck = false;
  bool keep = true;
  std::vector<FailurePoint> seen;
};

Points& P() {
  static Points* p = new Points;
  return *p;
}

}  // namespace

const char* FailureKindName(FailureKind kind) {
  switch (kind) {
    case FailureKind::kVirtualAlloc:
      return "VirtualAlloc";
    case FailureKind::kVirtualCopy:
      return "VirtualCopy";
    case FailureKind::kCreateMutex:
      return "CreateMutexW";
    case FailureKind::kWaitForSingleObject:
      return "WaitForSingleObject";
    case FailureKind::kCreateFile:
      return "CreateFileW";
    case FailureKind::kGetFileSize:
      return "GetFileSize";
    case FailureKind::kReadFile:
      return "ReadFile";
    case FailureKind::kShortRead:
      return "ReadFile short";
    case FailureKind::kLocalAlloc:
      return "LocalAlloc";
    case FailureKind::kCreateProcess:
      return "CreateProcessW";
    case FailureKind::kGetExitCodeProcess:
      return "GetExitCodeProcess";
    case FailureKind::kFindFirstFile:
      return "FindFirstFileW";
    case FailureKind::kDeleteFile:
      return "DeleteFileW";
    case FailureKind::kHardwareWait:
      return "hardware wait";
  }
  return "?";
}

void ArmFailurePoint(int64_t fail, bool keepList) { ArmFailurePointOf(fail, ~0u, keepList); }

void ArmFailurePointOf(int64_t fail, uint32_t kinds, bool keepList) {
  std::lock_guard<std::mutex> g(P().lock);
  P().fail = fail;
  P().failKinds = kinds;
  P().failEvery = -1;
  P().next = 0;
  P().struck = false;
  P().keep = keepList;
  P().seen.clear();
}

void FailEveryPointOf(FailureKind kind) {
  std::lock_guard<std::mutex> g(P().lock);
  P().failEvery = int(kind);
}

std::vector<FailurePoint> FailurePointsSeen() {
  std::lock_guard<std::mutex> g(P().lock);
  return P().seen;
}

uint64_t FailurePointsCounted() {
  std::lock_guard<std::mutex> g(P().lock);
  return P().next;
}

bool FailurePointStruck() {
  std::lock_guard<std::mutex> g(P().lock);
  return P().struck;
}

namespace internal {

namespace {

// One point counted; its name (what, or the device's wide name as UTF-8) is
// made only when the list of points is kept.
bool Count(FailureKind kind, const char* what, const wchar_t* deviceName) {
  if (!CallingThreadCountsPoints()) return false;
  std::lock_guard<std::mutex> g(P().lock);
  uint64_t n = P().next++;
  if (P().keep)
    P().seen.push_back(FailurePoint{kind, what ? what : deviceName ? DeviceUtf8(deviceName) : "", EventCount()});
  if (P().failEvery == int(kind)) return true;
  if (P().fail < 0 || n != uint64_t(P().fail) || !(P().failKinds & (1u << int(kind)))) return false;
  P().struck = true;
  return true;
}

}  // namespace

bool FailHere(FailureKind kind, const char* what) { return Count(kind, what, nullptr); }

bool FailHere(FailureKind kind, const wchar_t* deviceName) { return Count(kind, nullptr, deviceName); }

}  // namespace internal
}  // namespace native
