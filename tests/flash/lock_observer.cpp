// Watches the flash bus lock from another process, the way the system's own
// drivers meet it. Started by the lock-order test with the name of an event:
//
//  1. takes "PIN_MUX_CAM_NANDFLASH_MUTEX" and signals the event, so the test
//     starts a driver operation that must now block on the pin mutex;
//  2. waits (bounded) until "_FLASH_MUTEX_" is owned by someone else: as we
//     hold the pin mutex, that owner took the flash mutex first;
//  3. gives the pin mutex up and waits for the flash mutex in one step
//     (SignalObjectAndWait, so it is already waiting when the driver gets the
//     pins); once it holds the flash mutex, the pin mutex must be free: a
//     driver that gives the pin mutex back first has done so by then, however
//     fast its operation. (Giving the pin mutex up and then waiting for either
//     mutex, as this once did, read a driver that had given back both in the
//     gap as "flash mutex first".)
//
// Exit code: 0 both orders right, 1 the flash mutex was never taken while we
// held the pin mutex, 2 the flash mutex was given back first, 3 set-up failed.
#include <windows.h>

#include <cstdio>

namespace {

struct MutantBasicInformation {
  LONG CurrentCount;
  BOOLEAN OwnedByCaller;
  BOOLEAN AbandonedState;
};
typedef LONG(NTAPI* NtQueryMutantFn)(HANDLE, int, void*, ULONG, ULONG*);

// True when the mutex is owned by a thread other than the caller's.
bool OwnedElsewhere(NtQueryMutantFn query, HANDLE mutex) {
  MutantBasicInformation info = {};
  if (query(mutex, 0, &info, sizeof(info), nullptr) != 0) return false;
  return info.CurrentCount <= 0 && !info.OwnedByCaller;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) return 3;
  auto query = reinterpret_cast<NtQueryMutantFn>(
      reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "NtQueryMutant")));
  HANDLE ready = OpenEventA(EVENT_MODIFY_STATE, FALSE, argv[1]);
  HANDLE flash = CreateMutexW(nullptr, FALSE, L"_FLASH_MUTEX_");
  bool flashExisted = GetLastError() == ERROR_ALREADY_EXISTS;
  HANDLE pin = CreateMutexW(nullptr, FALSE, L"PIN_MUX_CAM_NANDFLASH_MUTEX");
  if (!query || !ready || !flash || !flashExisted || !pin) return 3;
  DWORD got = WaitForSingleObject(pin, 10000);
  if (got != WAIT_OBJECT_0 && got != WAIT_ABANDONED) return 3;
  SetEvent(ready);

  bool flashFirst = false;
  for (int i = 0; i < 20000 && !flashFirst; ++i) {
    flashFirst = OwnedElsewhere(query, flash);
    if (!flashFirst) Sleep(1);
  }
  if (!flashFirst) {
    ReleaseMutex(pin);
    std::printf("flash mutex not taken while the pin mutex was held\n");
    return 1;
  }

  DWORD got2 = SignalObjectAndWait(pin, flash, 20000, FALSE);
  if (got2 != WAIT_OBJECT_0 && got2 != WAIT_ABANDONED) return 3;
  // Nobody can take the pin mutex now without the flash mutex, which we hold.
  bool pinStillHeld = OwnedElsewhere(query, pin);
  ReleaseMutex(flash);
  if (pinStillHeld) {
    std::printf("flash mutex released before the pin mutex\n");
    return 2;
  }
  std::printf("flash then pin taken; pin then flash released\n");
  return 0;
}
