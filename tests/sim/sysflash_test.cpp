// The system flash driver stand-in as the updater's driver meets it: it makes
// "_FLASH_MUTEX_" exist while it runs (and only then), takes the bus from
// time to time, survives an owner that died holding the bus, and goes dark
// with the device.
#include <windows.h>

#include <gtest/gtest.h>

#include <stdio.h>

#include <string>

#include "sim/device.h"
#include "sim/soc.h"
#include "sim/sysflash_control.h"
#include "tests/sim/win32_support.h"

namespace simtest {
namespace {

std::wstring Exe() { return WinePath(SYSFLASH_EXE); }

bool FlashMutexExists() {
  HANDLE m = OpenMutexW(SYNCHRONIZE, FALSE, L"_FLASH_MUTEX_");
  if (m) CloseHandle(m);
  return m != NULL;
}

// Runs the stand-in on a fresh device for the life of the object.
class SysflashOnDevice : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(dev_.ok());
    SetEnvironmentVariableW(L"DEVSIM_DEVICE", dev_.Dir().c_str());
    ASSERT_FALSE(FlashMutexExists()) << "another system driver is running";
    wchar_t tmp[MAX_PATH];
    GetTempPathW(MAX_PATH, tmp);
    log_ = std::wstring(tmp) + L"sysflash-events-" + std::to_wstring(GetCurrentProcessId()) + L".log";
    DeleteFileW(log_.c_str());
    SetEnvironmentVariableW(L"DEVSIM_EVENT_LOG", log_.c_str());
  }
  void TearDown() override {
    if (proc_.process) sim::StopSysflash(&proc_);
    SetEnvironmentVariableW(L"DEVSIM_DEVICE", NULL);
    SetEnvironmentVariableW(L"DEVSIM_EVENT_LOG", NULL);
    DeleteFileW(log_.c_str());
  }
  bool Start(const std::wstring& args) { return sim::StartSysflash(Exe(), args, &proc_); }
  // Its report, the "sysdrv" event it writes to the event log as it ends.
  runproto::SysdrvReport Report() {
    runproto::SysdrvReport r;
    EXPECT_TRUE(sim::ReadSysdrvReport(log_, &r)) << "no report in the event log";
    return r;
  }

  TempDevice dev_;
  sim::SysflashProcess proc_;
  std::wstring log_;
};

TEST_F(SysflashOnDevice, TheFlashMutexExistsExactlyWhileItRuns) {
  ASSERT_TRUE(Start(L"")) << "did not signal ready";
  HANDLE m = CreateMutexW(NULL, FALSE, L"_FLASH_MUTEX_");
  EXPECT_EQ(DWORD(ERROR_ALREADY_EXISTS), GetLastError()) << "the driver's FMD_Init test of the mutex";
  CloseHandle(m);
  EXPECT_EQ(0u, sim::StopSysflash(&proc_));
  EXPECT_FALSE(FlashMutexExists());
}

TEST_F(SysflashOnDevice, TakesTheBusInTurnWithOthers) {
  ASSERT_TRUE(Start(L"--interval-ms 1 --hold-ms 20"));
  HANDLE flash = OpenMutexW(SYNCHRONIZE, FALSE, L"_FLASH_MUTEX_");
  ASSERT_NE(nullptr, flash);
  bool sawItHeld = false;
  for (int i = 0; i < 2000 && !sawItHeld; ++i) {
    DWORD w = WaitForSingleObject(flash, 0);
    if (w == WAIT_TIMEOUT) sawItHeld = true;
    if (w == WAIT_OBJECT_0) ReleaseMutex(flash);
    Sleep(1);
  }
  EXPECT_TRUE(sawItHeld) << "it never took the flash mutex";
  // While this process holds the bus, it waits.
  {
    BusHold bus;
    Sleep(50);
  }
  CloseHandle(flash);
  EXPECT_EQ(0u, sim::StopSysflash(&proc_));
  runproto::SysdrvReport r = Report();
  EXPECT_GE(r.holds, 1u);
  EXPECT_EQ(0u, r.abandoned);
  EXPECT_EQ("between-operations", r.stoppedAt);
}

TEST_F(SysflashOnDevice, GoesOnWhenAnOwnerDiedHoldingTheBus) {
  ASSERT_TRUE(Start(L"--interval-ms 1 --hold-ms 0"));
  EXPECT_EQ(5u, RunChild(L"abandon-bus"));
  // Whether it meets the abandoned mutex at work or in its last holding of the
  // bus as it stops, it meets it exactly once.
  EXPECT_EQ(0u, sim::StopSysflash(&proc_)) << "it must stop normally after taking over";
  runproto::SysdrvReport r = Report();
  EXPECT_EQ(1u, r.abandoned);
  EXPECT_EQ(1u, r.pinAbandoned);
  EXPECT_GE(r.holds, 2u);
}

TEST_F(SysflashOnDevice, EndsWithTheDevicesPower) {
  sim::NandConfig cfg;
  cfg.powerLossAfter = 0;
  dev_.WriteConfig(cfg);
  ASSERT_TRUE(Start(L"--interval-ms 1 --hold-ms 0"));
  EXPECT_EQ(0xDEADu, RunChild(L"read-id \"" + dev_.Dir() + L"\""));
  DWORD w = WaitForSingleObject(proc_.process, 30000);
  EXPECT_EQ(WAIT_OBJECT_0, w) << "still running on a dark device";
  EXPECT_EQ(0xDEADu, sim::StopSysflash(&proc_));
}

// Stopped while the chip does not answer, in the middle of its own work: it
// still ends by itself, with its report, at its next bounded wait.
TEST_F(SysflashOnDevice, ReportsWhenStoppedWhileTheChipDoesNotAnswer) {
  sim::NandConfig cfg;
  cfg.sysdrvRate = 1;
  dev_.WriteConfig(cfg);
  ASSERT_TRUE(Start(L""));
  // Others' operations, each answered by some of its own: it has written
  // pages, which it reads back once more as it stops.
  for (int i = 0; i < 30; ++i) ASSERT_NE(0xBAD1u, RunChild(L"read-id \"" + dev_.Dir() + L"\""));
  ASSERT_TRUE(sim::SocAttachTo(dev_.Dir().c_str()));
  sim::DeviceRecord rec;
  ASSERT_TRUE(sim::SocReadRecord(&rec));
  cfg.stuckReadyAfter = int64_t(rec.chipOps);
  ASSERT_TRUE(sim::SocLoadFaults(cfg));
  // Another driver's operation: the chip hangs in it, and the stand-in, paced
  // by the others, starts an operation of its own on the hung chip.
  EXPECT_EQ(0xBAD1u, RunChild(L"read-id \"" + dev_.Dir() + L"\""));
  sim::SocDetach();
  EXPECT_EQ(0u, sim::StopSysflash(&proc_)) << "it ends by itself, not by being terminated";
  runproto::SysdrvReport r = Report();
  EXPECT_TRUE(r.stoppedAt == "bounded-wait" || r.stoppedAt == "between-operations") << r.stoppedAt;
}

TEST(Sysflash, RefusesBadUsageAndAMissingDevice) {
  SetEnvironmentVariableW(L"DEVSIM_DEVICE", L"C:\\no\\device\\here");
  sim::SysflashProcess p;
  EXPECT_FALSE(sim::StartSysflash(Exe(), L"", &p, 30000));
  EXPECT_EQ(3u, p.exitCode);
  SetEnvironmentVariableW(L"DEVSIM_DEVICE", NULL);
  EXPECT_FALSE(sim::StartSysflash(Exe(), L"--no-such-option 1", &p, 30000));
  EXPECT_EQ(2u, p.exitCode);
  for (const wchar_t* bad : {L"--interval-ms abc", L"--hold-ms 1x", L"--hold-ms -1", L"--interval-ms"}) {
    EXPECT_FALSE(sim::StartSysflash(Exe(), bad, &p, 30000)) << bad;
    EXPECT_EQ(2u, p.exitCode) << bad << ": a malformed number is a usage error, never 0";
  }
  EXPECT_EQ(nullptr, p.process);
  EXPECT_FALSE(FlashMutexExists());
}

}  // namespace
}  // namespace simtest
