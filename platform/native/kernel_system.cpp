// The handheld kernel's last error and system calls for one Linux process:
// the calling thread's last error, system information, the tick count, Sleep
// (which does not wait here) and the temporary folder.
#include <windows.h>

#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>

#include "platform/native/kernel_state.h"
#include "platform/native/native.h"

using native::detail::t_lastError;
using native::detail::t_thread;

// --- errors, system ------------------------------------------------------------

extern "C" DWORD GetLastError(void) { return t_lastError; }
extern "C" void SetLastError(DWORD dwErrCode) { t_lastError = dwErrCode; }

extern "C" void GetSystemInfo(LPSYSTEM_INFO si) {
  memset(si, 0, sizeof(*si));
  si->dwPageSize = 4096;  // the handheld's page size
  si->dwAllocationGranularity = 0x10000;
  si->dwNumberOfProcessors = 1;
  si->lpMinimumApplicationAddress = reinterpret_cast<LPVOID>(0x10000);
  si->lpMaximumApplicationAddress = reinterpret_cast<LPVOID>(~uintptr_t(0) >> 1);
}

extern "C" DWORD GetCurrentProcessId(void) { return DWORD(getpid()); }
extern "C" DWORD GetCurrentThreadId(void) { return t_thread.id; }

extern "C" DWORD GetTickCount(void) {
  return DWORD(
      std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now().time_since_epoch())
          .count());
}

// The launcher's retries and polls wait with Sleep. Here a program's waits
// are for other threads of this process, never for time to pass: the
// updater it starts has ended when CreateProcessW returns. So Sleep gives the
// processor up and returns, and a launcher that polls 99 times does so at
// once; the time it would have slept is counted (SleptMs).
static std::atomic<uint32_t> g_sleptMs{0};
extern "C" void Sleep(DWORD ms) {
  g_sleptMs.fetch_add(ms);
  std::this_thread::yield();
}
uint64_t native::SleptMs() { return g_sleptMs.load(); }

extern "C" DWORD GetTempPathW(DWORD n, LPWSTR buf) {
  const char* tmp = getenv("TMPDIR");
  std::string dir = tmp && *tmp ? tmp : "/tmp";
  if (dir.back() != '/') dir += '/';
  if (dir.size() + 1 > n) return DWORD(dir.size() + 1);
  for (size_t i = 0; i < dir.size(); ++i) buf[i] = wchar_t(static_cast<unsigned char>(dir[i]));
  buf[dir.size()] = 0;
  return DWORD(dir.size());
}
