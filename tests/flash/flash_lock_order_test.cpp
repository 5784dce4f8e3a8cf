// The bus lock as another process on the device sees it: "_FLASH_MUTEX_"
// taken before "PIN_MUX_CAM_NANDFLASH_MUTEX", given back after it. The
// observer (lock_observer.cpp) tells the orders from which mutex it obtains,
// not from timing.
#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <string>

#include "tests/flash/flash_test_support.h"

namespace flashtest {
namespace {

std::wstring ObserverPath() {
  wchar_t self[MAX_PATH];
  DWORD n = GetModuleFileNameW(nullptr, self, MAX_PATH);
  std::wstring path(self, n);
  return path.substr(0, path.find_last_of(L"\\/") + 1) + L"flash_lock_observer.exe";
}

class FlashLockOrderTest : public FlashDeviceTest {
 protected:
  // Runs one driver operation while the observer watches; its exit code.
  DWORD Observe(const std::function<BOOL()>& operation) {
    const char* eventName = "FLASH_LOCK_OBSERVER_HOLDING";
    HANDLE holding = CreateEventA(nullptr, TRUE, FALSE, eventName);
    std::wstring cmd = L"\"" + ObserverPath() + L"\" " + std::wstring(eventName, eventName + strlen(eventName));
    STARTUPINFOW si = {sizeof(si)};
    PROCESS_INFORMATION pi = {};
    if (!CreateProcessW(nullptr, &cmd[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si, &pi)) {
      ADD_FAILURE() << "observer did not start: " << GetLastError();
      CloseHandle(holding);
      return 99;
    }
    HANDLE started[2] = {holding, pi.hProcess};
    DWORD which = WaitForMultipleObjects(2, started, FALSE, 60000);
    EXPECT_EQ(WAIT_OBJECT_0, which) << "observer did not take the pin mutex";
    if (which == WAIT_OBJECT_0) EXPECT_EQ(1, operation());
    EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(pi.hProcess, 120000));
    DWORD code = 99;
    GetExitCodeProcess(pi.hProcess, &code);
    CloseHandle(pi.hThread);
    CloseHandle(pi.hProcess);
    CloseHandle(holding);
    return code;
  }
};

TEST_F(FlashLockOrderTest, FlashMutexFirstPinMutexSecondReleasedInReverse) {
  ASSERT_NO_FATAL_FAILURE(StartDriver());
  Bytes data = PseudoRandom(kData * 2, 21);
  SectorInfo recs[2] = {{0, 0xFC, 0, 0}, {0, 0xFC, 0, 0}};
  Bytes buf(kData * 2);
  struct Case {
    const char* name;
    std::function<BOOL()> operation;
  } cases[] = {
      {"erase", [&] { return ctx_.FMD_EraseBlock(5); }},
      {"write run", [&] { return ctx_.FMD_WriteSector(160, data.data(), recs, 2); }},
      {"read run", [&] { return ctx_.FMD_ReadSector(160, buf.data(), recs, 2); }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    DWORD code = Observe(c.operation);
    const char* meaning[] = {"both orders right", "pin mutex taken first (or the flash mutex not at all)",
                             "flash mutex released first", "observer set-up failed"};
    EXPECT_EQ(0u, code) << (code < 4 ? meaning[code] : "observer did not finish");
  }
  EXPECT_EQ(data, buf);
}

// The observer itself, against a holder that gives both mutexes back at once
// in the right order (no work in between): it must read the right order
// however fast the holder is, ten times over.
TEST_F(FlashLockOrderTest, TheObserverReadsAnInstantHolderRightly) {
  ASSERT_NO_FATAL_FAILURE(StartDriver());
  HANDLE flash = OpenMutexW(SYNCHRONIZE | MUTEX_MODIFY_STATE, FALSE, L"_FLASH_MUTEX_");
  HANDLE pin = CreateMutexW(nullptr, FALSE, L"PIN_MUX_CAM_NANDFLASH_MUTEX");
  ASSERT_NE(nullptr, flash);
  ASSERT_NE(nullptr, pin);
  auto instant = [&]() -> BOOL {
    WaitForSingleObject(flash, INFINITE);
    WaitForSingleObject(pin, INFINITE);
    ReleaseMutex(pin);
    ReleaseMutex(flash);
    return 1;
  };
  for (int i = 0; i < 10; ++i) EXPECT_EQ(0u, Observe(instant)) << "round " << i;
  CloseHandle(pin);
  CloseHandle(flash);
}

}  // namespace
}  // namespace flashtest
