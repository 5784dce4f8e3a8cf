// The Win32 side of the simulated SoC, with real processes under Wine: a
// device is attached and initialised on first use, processes meet on one chip
// and one driver-globals page, the checker sees which process holds the bus,
// a process killed inside the model lock does not stop the others, and a
// power loss ends whoever touches the device afterwards.
#include <windows.h>

#include <gtest/gtest.h>

#include <string.h>

#include "flash/soc_nand.h"
#include "flash/soc_ressh.h"
#include "sim/device.h"
#include "sim/soc.h"
#include "sim/soc_state.h"
#include "tests/sim/win32_support.h"

namespace simtest {
namespace {

std::string Record() {
  sim::DeviceRecord rec;
  if (!sim::SocReadRecord(&rec)) return "  (not attached)\n";
  std::string s;
  for (const std::string& v : rec.violations) s += "  " + v + "\n";
  return s.empty() ? "  (no violations)\n" : s;
}

uint64_t Violations() {
  sim::DeviceRecord rec;
  return sim::SocReadRecord(&rec) ? rec.violationCount : ~0ull;
}

TEST(SocAttach, FirstAttachMakesTheStateAndTheChipAnswers) {
  sim::NandConfig cfg;
  cfg.maker = 0xAD;
  cfg.device = 0x75;
  TempDevice dev(cfg);
  ASSERT_TRUE(dev.ok());
  ASSERT_TRUE(sim::SocAttachTo(dev.Dir().c_str()));
  EXPECT_EQ(sim::kSocStateBytes, dev.ReadFileBytes(L"soc.state").size());
  uint32_t word = 0;
  {
    BusHold bus;
    ASSERT_TRUE(ReadIdWord(&word));
  }
  EXPECT_EQ(0x75ADu, word & 0xFFFF);
  sim::DeviceRecord rec;
  ASSERT_TRUE(sim::SocReadRecord(&rec));
  EXPECT_EQ(1u, rec.chipOps);
  EXPECT_GT(rec.clockNs, 0u);
  EXPECT_EQ(0u, rec.violationCount) << Record();
}

TEST(SocAttach, FoldersWithoutAWholeChipAreRefused) {
  EXPECT_FALSE(sim::SocAttachTo(L"C:\\no\\such\\device"));
  TempDevice dev;
  ASSERT_TRUE(dev.ok());
  HANDLE f = CreateFileW(dev.Path(L"nand.img").c_str(), GENERIC_WRITE, 0, NULL, OPEN_EXISTING, 0, NULL);
  ASSERT_NE(INVALID_HANDLE_VALUE, f);
  LARGE_INTEGER half;
  half.QuadPart = 4096LL * 32 * 528 / 2;
  SetFilePointerEx(f, half, NULL, FILE_BEGIN);
  SetEndOfFile(f);
  CloseHandle(f);
  EXPECT_FALSE(sim::SocAttachTo(dev.Dir().c_str())) << "half a 64 MiB chip";
}

TEST(SocShared, TwoProcessesMeetOnOneChipAndOneDriverGlobalsPage) {
  TempDevice dev;
  ASSERT_TRUE(dev.ok());
  ASSERT_TRUE(sim::SocAttachTo(dev.Dir().c_str()));
  EXPECT_EQ(0x76ECu, RunChild(L"read-id \"" + dev.Dir() + L"\""));
  sim::DeviceRecord rec;
  ASSERT_TRUE(sim::SocReadRecord(&rec));
  EXPECT_EQ(1u, rec.chipOps) << "the child's ID read is counted on the shared chip";

  HANDLE section;
  unsigned long long offset;
  ASSERT_TRUE(sim::SocMemoryWindow(sim::WIN_DRIVER_GLOBALS, &section, &offset));
  EXPECT_EQ(0u, offset % 0x10000) << "views need allocation-granularity offsets";
  unsigned long long dmaOffset;
  ASSERT_TRUE(sim::SocMemoryWindow(sim::WIN_NAND_DMA_BUFFER, &section, &dmaOffset));
  EXPECT_EQ(0u, dmaOffset % 0x10000);
  EXPECT_NE(offset, dmaOffset);
  volatile uint8_t* page = static_cast<volatile uint8_t*>(
      MapViewOfFile(section, FILE_MAP_ALL_ACCESS, DWORD(offset >> 32), DWORD(offset), 0x2000));
  ASSERT_NE(nullptr, page);
  page[EXT_BOARD_SHADOW] = 0xFF;
  EXPECT_EQ(0u, RunChild(L"poke-shadow \"" + dev.Dir() + L"\" 33"));
  EXPECT_EQ(33, page[EXT_BOARD_SHADOW + 1]) << "the child's store reached this process's view";
  EXPECT_EQ(0xFF, page[EXT_BOARD_SHADOW]);
  EXPECT_EQ(0xC021u, sim::SocPeek32(sim::WIN_RESSHARE_REGS, RS_PINMUX)) << "and its register write the models";
  UnmapViewOfFile(const_cast<uint8_t*>(page));
  EXPECT_EQ(0u, Violations()) << Record();
}

TEST(SocChecker, AccessesWithoutBothBusMutexesAreRecorded) {
  TempDevice dev;
  ASSERT_TRUE(dev.ok());
  ASSERT_TRUE(sim::SocAttachTo(dev.Dir().c_str()));
  uint32_t word;
  struct Case {
    const char* name;
    bool flash, pin;
    bool clean;
  } cases[] = {{"both", true, true, true},
               {"flash_only", true, false, false},
               {"pin_only", false, true, false},
               {"neither", false, false, false}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    sim::SocClearRecord();
    {
      BusHold bus(c.flash, c.pin);
      ASSERT_TRUE(ReadIdWord(&word));
    }
    sim::DeviceRecord rec;
    ASSERT_TRUE(sim::SocReadRecord(&rec));
    if (c.clean) {
      EXPECT_EQ(0u, rec.violationCount) << Record();
    } else {
      // Nine writes, at least one FIFO_STAT poll, the FIFO read.
      EXPECT_GE(rec.violationCount, 11u) << Record();
      ASSERT_FALSE(rec.violations.empty());
      char pid[32];
      snprintf(pid, sizeof(pid), "pid=%lu unlocked: ", GetCurrentProcessId());
      EXPECT_NE(std::string::npos, rec.violations[0].find(pid)) << rec.violations[0];
      EXPECT_NE(std::string::npos, rec.violations[0].find("NAND_CTRL write 0xfffffffe")) << rec.violations[0];
    }
  }
  // Another process without the mutexes, while this one holds nothing.
  sim::SocClearRecord();
  EXPECT_EQ(0x76ECu, RunChild(L"unlocked-id \"" + dev.Dir() + L"\""));
  EXPECT_GE(Violations(), 11u) << Record();
  // A long poll streak of a lock holder stays clean, a stranger's is counted
  // in full.
  sim::SocClearRecord();
  {
    BusHold bus;
    for (int i = 0; i < 300; ++i) sim::SocRead32(sim::WIN_NAND_REGS, NAND_FIFO_STAT);
  }
  EXPECT_EQ(0u, Violations()) << Record();
  sim::SocWrite32(sim::WIN_NAND_REGS, NAND_CTRL, NAND_CTRL_START);
  for (int i = 0; i < 300; ++i) sim::SocRead32(sim::WIN_NAND_REGS, NAND_FIFO_STAT);
  EXPECT_EQ(301u, Violations());
  // A streak that runs on across the release is asked again within 64 polls.
  sim::SocClearRecord();
  {
    BusHold bus;
    for (int i = 0; i < 10; ++i) sim::SocRead32(sim::WIN_NAND_REGS, NAND_FIFO_STAT);
  }
  for (int i = 0; i < 300; ++i) sim::SocRead32(sim::WIN_NAND_REGS, NAND_FIFO_STAT);
  EXPECT_GE(Violations(), 300u - 63u);
  // Pin and extension-board registers are not controller accesses.
  sim::SocClearRecord();
  sim::SocWrite32(sim::WIN_EXTBOARD_REGS, EXT_BOARD_CTRL, 0x7F);
  EXPECT_EQ(0u, Violations()) << Record();
}

TEST(SocChecker, DroppedHandlesLetTheFlashMutexVanishWithItsLastUser) {
  TempDevice dev;
  ASSERT_TRUE(dev.ok());
  ASSERT_TRUE(sim::SocAttachTo(dev.Dir().c_str()));
  uint32_t word;
  {
    BusHold bus;
    ASSERT_TRUE(ReadIdWord(&word));
  }
  sim::SocDropBusHandles();
  HANDLE m = OpenMutexW(SYNCHRONIZE, FALSE, L"_FLASH_MUTEX_");
  EXPECT_EQ(NULL, m) << "the checker kept the mutex alive";
  if (m) CloseHandle(m);
}

TEST(SocLock, AProcessKilledInsideTheModelLockDoesNotStopTheOthers) {
  TempDevice dev;
  ASSERT_TRUE(dev.ok());
  ASSERT_TRUE(sim::SocAttachTo(dev.Dir().c_str()));
  EXPECT_EQ(7u, RunChild(L"die-holding-lock \"" + dev.Dir() + L"\""));
  EXPECT_EQ(0x76ECu, RunChild(L"read-id \"" + dev.Dir() + L"\"", 30000)) << "the lock was never taken over";
}

TEST(SocPower, PowerLossEndsEveryProcessThatTouchesTheDevice) {
  sim::NandConfig cfg;
  cfg.powerLossAfter = 1;
  TempDevice dev(cfg);
  ASSERT_TRUE(dev.ok());
  ASSERT_TRUE(sim::SocAttachTo(dev.Dir().c_str()));
  std::wstring arg = L"read-id \"" + dev.Dir() + L"\"";
  EXPECT_EQ(0x76ECu, RunChild(arg)) << "operation 1 is before the fault";
  std::vector<uint8_t> image = dev.ReadFileBytes(L"nand.img");
  EXPECT_EQ(0xDEADu, RunChild(arg)) << "operation 2: the power goes";
  EXPECT_TRUE(sim::SocPoweredOff());
  EXPECT_EQ(0xDEADu, RunChild(arg)) << "a dark device ends the next process at its first access";
  EXPECT_TRUE(image == dev.ReadFileBytes(L"nand.img"));
  ASSERT_TRUE(sim::SocStartRun(true));
  EXPECT_FALSE(sim::SocPoweredOff());
  EXPECT_EQ(0x76ECu, RunChild(arg)) << "powered on again for the next run";
}

TEST(SocFaults, FaultsAreSharedAndFollowNandCfg) {
  TempDevice dev;
  ASSERT_TRUE(dev.ok());
  ASSERT_TRUE(sim::SocAttachTo(dev.Dir().c_str()));
  std::wstring arg = L"read-id \"" + dev.Dir() + L"\"";
  sim::NandConfig stuck;
  stuck.stuckReadyAfter = 0;
  ASSERT_TRUE(sim::SocLoadFaults(stuck));
  EXPECT_EQ(0xBAD1u, RunChild(arg)) << "a fault set by a test holds for every process";
  ASSERT_TRUE(sim::SocStartRun(true));
  EXPECT_EQ(0x76ECu, RunChild(arg)) << "a run starts from nand.cfg, which has no fault";
  dev.WriteConfig(stuck);
  EXPECT_EQ(0xBAD1u, RunChild(arg)) << "a changed nand.cfg is loaded at attach";
}

TEST(SocRaw, RawPagesLandInTheImageFile) {
  TempDevice dev;
  ASSERT_TRUE(dev.ok());
  ASSERT_TRUE(sim::SocAttachTo(dev.Dir().c_str()));
  uint8_t raw[528];
  for (int i = 0; i < 528; ++i) raw[i] = uint8_t(i * 7);
  ASSERT_TRUE(sim::SocWriteRawPage(4095 * 32 + 31, raw));
  EXPECT_FALSE(sim::SocWriteRawPage(4096 * 32, raw)) << "past the last page";
  uint8_t back[528];
  ASSERT_TRUE(sim::SocReadRawPage(4095 * 32 + 31, back));
  EXPECT_EQ(0, memcmp(raw, back, 528));
  std::vector<uint8_t> image = dev.ReadFileBytes(L"nand.img");
  ASSERT_EQ(4096u * 32 * 528, image.size());
  EXPECT_EQ(0, memcmp(raw, image.data() + image.size() - 528, 528));
  EXPECT_EQ(0xFF, image[image.size() - 529]);
}

struct StoppedAtPoll {
  int polls;
};

void ThrowStopped() { throw StoppedAtPoll{0}; }

// Polls the FIFO status of an ID read on a chip that never answers, as a
// bounded wait does; the number of the poll at which a stop ended it, or -1.
int PollUntilStopped(int bound) {
  int i = 0;
  try {
    for (; i < bound; ++i) sim::SocRead32(sim::WIN_NAND_REGS, NAND_FIFO_STAT);
  } catch (const StoppedAtPoll&) {
    return i + 1;
  }
  return -1;
}

// A stand-in's stop meets it in a wait on hardware that does not answer, at a
// counted poll: after kLongWaitPolls polls of the wait and each further
// kLongWaitPolls, never in a short wait and never before the stop is asked.
TEST(SocStop, AStopMeetsALongWaitAtACountedPoll) {
  sim::NandConfig cfg;
  cfg.stuckReadyAfter = 0;
  TempDevice dev(cfg);
  ASSERT_TRUE(dev.ok());
  ASSERT_TRUE(sim::SocAttachTo(dev.Dir().c_str()));
  HANDLE stop = CreateEventW(NULL, TRUE, FALSE, NULL);
  sim::SocStopInLongWaits(stop, ThrowStopped);
  uint32_t word;
  {
    BusHold bus;
    EXPECT_FALSE(ReadIdWord(&word)) << "the chip hangs in its first operation";
    EXPECT_EQ(-1, PollUntilStopped(3 * int(sim::kLongWaitPolls))) << "not stopped: the wait goes on";
    SetEvent(stop);
    // A short wait (another register in between) is not a long one.
    sim::SocRead32(sim::WIN_NAND_REGS, NAND_EVENT);
    EXPECT_EQ(-1, PollUntilStopped(int(sim::kLongWaitPolls)));
    EXPECT_EQ(1, PollUntilStopped(10 * int(sim::kLongWaitPolls))) << "the run of polls goes on past the bound";
    sim::SocRead32(sim::WIN_NAND_REGS, NAND_EVENT);
    EXPECT_EQ(int(sim::kLongWaitPolls) + 1, PollUntilStopped(10 * int(sim::kLongWaitPolls)));
    sim::SocStopInLongWaits(NULL, nullptr);
    sim::SocRead32(sim::WIN_NAND_REGS, NAND_EVENT);
    EXPECT_EQ(-1, PollUntilStopped(3 * int(sim::kLongWaitPolls))) << "disarmed";
  }
  CloseHandle(stop);
  sim::SocDetach();
}

}  // namespace
}  // namespace simtest
