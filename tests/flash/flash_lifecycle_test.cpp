// Bring-up and tear-down of the driver on a simulated device: windows, the
// two bus mutexes, the ID read, and what the bus lock does to the shared pin
// and write-protect state.
#include <gtest/gtest.h>

#include <thread>

#include "flash/soc_ressh.h"
#include "flash/soc_windows.h"
#include "platform/debug_sink.h"
#include "platform/test_hooks.h"
#include "sim/soc.h"
#include "tests/flash/flash_test_support.h"

namespace flashtest {
namespace {

const char kFlashMutexLine[] = "FMD: FMD_Init - Unable to create flash mutex\r\n";

std::vector<std::string> IdLines(const char* maker, const char* device, const char* blocks) {
  return {"FMD: FMD_Init - Got flash infomation\r\n",
          std::string("Manufacture ID: 0x") + maker + "; Device ID: 0x" + device + "\r\n",
          std::string("Total Blocks: 0x") + blocks + "; dwShiftBlockBytes: 0xe; dwShiftBlockSectors: 0x5\r\n"};
}

// Private reservations of exactly one window's length: what a leaked window
// reservation looks like in the address space.
int WindowSizedReservations() {
  int count = 0;
  MEMORY_BASIC_INFORMATION mbi;
  SYSTEM_INFO si;
  GetSystemInfo(&si);
  // From the lowest address a program can have: arithmetic on a null pointer is undefined.
  for (BYTE* p = (BYTE*)si.lpMinimumApplicationAddress; VirtualQuery(p, &mbi, sizeof(mbi)) == sizeof(mbi);
       p = (BYTE*)mbi.BaseAddress + mbi.RegionSize) {
    if (mbi.State == MEM_RESERVE && mbi.AllocationBase == mbi.BaseAddress && mbi.Type == MEM_PRIVATE &&
        (mbi.RegionSize == 0x2000 || mbi.RegionSize == 0x3000))
      ++count;
    if ((BYTE*)mbi.BaseAddress + mbi.RegionSize < p) break;
  }
  return count;
}

class FlashLifecycleTest : public FlashDeviceTest {
 protected:
  void ExpectDown() {
    EXPECT_EQ(nullptr, ctx_.hFlashMutex);
    EXPECT_EQ(nullptr, ctx_.hPinMutex);
    const volatile BYTE* windows[] = {ctx_.pDmaRegs,  ctx_.pResShareRegs,  ctx_.pExtBoardRegs,
                                      ctx_.pNandRegs, ctx_.pDriverGlobals, ctx_.pDmaBuffer};
    for (int i = 0; i < 6; ++i) EXPECT_EQ(nullptr, windows[i]) << "window " << i;
    EXPECT_EQ(0, PlatformMappedWindowCount());
  }
};

TEST_F(FlashLifecycleTest, InitIdentifiesTheChip) {
  ASSERT_NO_FATAL_FAILURE(Start(Chip(0xEC, 0x76)));
  ASSERT_NO_FATAL_FAILURE(StartSystemFlashDriver());
  ASSERT_EQ(1, ctx_.FMD_Init());
  EXPECT_EQ(IdLines("ec", "76", "1000"), PlatformDebugLinesUtf8());
  EXPECT_EQ(0xECu, ctx_.dwMakerCode);
  EXPECT_EQ(0x76u, ctx_.dwDeviceCode);
  EXPECT_EQ(4096u, ctx_.Geometry.dwTotalBlocks);
  EXPECT_NE(nullptr, ctx_.hFlashMutex);
  EXPECT_NE(nullptr, ctx_.hPinMutex);
  EXPECT_EQ(6, PlatformMappedWindowCount());
  EXPECT_TRUE(BusIsFree());
}

// The chip sends four ID bytes (maker, device, then two more that differ
// between parts: here 0x5A and 0x3C in bits 16-31 of the FIFO word); only the
// first two identify it.
TEST_F(FlashLifecycleTest, IdBytesBeyondTheSecondAreIgnored) {
  const uint32_t devices[] = {0x73, 0x75, 0x76, 0x79};
  for (uint32_t device : devices) {
    SCOPED_TRACE(device);
    ASSERT_NO_FATAL_FAILURE(Start(Chip(0x98, device)));
    ASSERT_NO_FATAL_FAILURE(StartSystemFlashDriver());
    ASSERT_EQ(1, ctx_.FMD_Init());
    EXPECT_EQ(0x98u, ctx_.dwMakerCode);
    EXPECT_EQ(device, ctx_.dwDeviceCode);
    TearDown();
  }
}

TEST_F(FlashLifecycleTest, UnknownChipFailsInitAndReleasesEverything) {
  struct Case {
    uint32_t maker, device;
    const char* makerHex;
    const char* deviceHex;
  } cases[] = {{0x2C, 0x76, "2c", "76"}, {0xEC, 0x35, "ec", "35"}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.makerHex + std::string("/") + c.deviceHex);
    ASSERT_NO_FATAL_FAILURE(Start(Chip(c.maker, c.device)));
    ASSERT_NO_FATAL_FAILURE(StartSystemFlashDriver());
    EXPECT_EQ(0, ctx_.FMD_Init());
    std::vector<std::string> expected = {
        "FMD: FMD_Init - Got flash infomation\r\n",
        std::string("Manufacture ID: 0x") + c.makerHex + "; Device ID: 0x" + c.deviceHex + "\r\n",
        "Total Blocks: 0x0; dwShiftBlockBytes: 0x0; dwShiftBlockSectors: 0x0\r\n"};
    EXPECT_EQ(expected, PlatformDebugLinesUtf8());
    ExpectDown();
    EXPECT_TRUE(BusIsFree());
    TearDown();
  }
}

// Without the system's flash driver the mutex is new: the driver refuses to
// run, and the handle it got is closed with everything else.
TEST_F(FlashLifecycleTest, InitWithoutSystemFlashDriver) {
  ASSERT_NO_FATAL_FAILURE(Start());
  EXPECT_EQ(0, ctx_.FMD_Init());
  EXPECT_EQ(std::vector<std::string>{kFlashMutexLine}, PlatformDebugLinesUtf8());
  ExpectDown();
  // Had FMD_Init kept its handle, the mutex would still exist now.
  HANDLE h = CreateMutexW(nullptr, FALSE, L"_FLASH_MUTEX_");
  EXPECT_EQ(0u, GetLastError()) << "\"_FLASH_MUTEX_\" outlived the failed FMD_Init";
  CloseHandle(h);
}

TEST_F(FlashLifecycleTest, AFailingWindowLeavesAllSixUnmapped) {
  const unsigned int windows[] = {DMA_REGS_VA,  RESSHARE_REGS_VA,  EXTBOARD_REGS_VA,
                                  NAND_REGS_VA, DRIVER_GLOBALS_VA, NAND_DMA_BUFFER_VA};
  ASSERT_NO_FATAL_FAILURE(Start());
  ASSERT_NO_FATAL_FAILURE(StartSystemFlashDriver());
  int reservations = WindowSizedReservations();
  for (unsigned int address : windows) {
    SCOPED_TRACE(testing::Message() << "failing window 0x" << std::hex << address);
    PlatformFailVirtualCopyAt(address);
    EXPECT_EQ(0, ctx_.FMD_Init());
    ExpectDown();
    EXPECT_TRUE(PlatformDebugLinesUtf8().empty()) << "no line is printed for a window";
    EXPECT_EQ(reservations, WindowSizedReservations()) << "the failed window's reservation was kept";
    PlatformResetHooks();
  }
  // Nothing was left behind that would stop a later bring-up.
  EXPECT_EQ(1, ctx_.FMD_Init());
}

TEST_F(FlashLifecycleTest, InitDeinitInitOnOneContext) {
  ASSERT_NO_FATAL_FAILURE(Start());
  ASSERT_NO_FATAL_FAILURE(StartSystemFlashDriver());
  ctx_.FMD_Deinit();  // fresh context: nothing to do
  ExpectDown();
  for (int run = 0; run < 3; ++run) {
    SCOPED_TRACE(run);
    ASSERT_EQ(1, ctx_.FMD_Init());
    EXPECT_EQ(6, PlatformMappedWindowCount());
    ctx_.FMD_Deinit();
    ExpectDown();
    ctx_.FMD_Deinit();  // already down: nothing to do
    ExpectDown();
    // The geometry stays with its last value.
    EXPECT_EQ(4096u, ctx_.Geometry.dwTotalBlocks);
  }
}

// A chip that never fills the ID FIFO fails the bring-up; it does not hang it.
TEST_F(FlashLifecycleTest, StuckIdFifoFailsInit) {
  sim::NandConfig cfg;
  cfg.stuckReadyAfter = 0;
  ASSERT_NO_FATAL_FAILURE(Start(cfg));
  ASSERT_NO_FATAL_FAILURE(StartSystemFlashDriver());
  EXPECT_EQ(0, ctx_.FMD_Init());
  std::vector<std::string> lines = PlatformDebugLinesUtf8();
  ASSERT_EQ(1u, lines.size()) << testing::PrintToString(lines);
  EXPECT_EQ(0u, lines[0].find("FMD: ")) << lines[0];
  EXPECT_EQ(0u, ctx_.dwMakerCode) << "codes of a failed ID read are kept";
  ExpectDown();
  EXPECT_TRUE(BusIsFree());
}

// Taking the bus lifts the chip's write protect in the shared shadow and in
// the control register, keeping every bit that other users set.
TEST_F(FlashLifecycleTest, BusTakesWriteProtectOffKeepingOtherBits) {
  struct Case {
    uint32_t before, after;
  } cases[] = {{0x000000FF, 0x0000007F}, {0x00000080, 0x00000000}, {0xA5C30F7F, 0xA5C30F7F}, {0xFFFFFFFF, 0xFFFFFF7F}};
  ASSERT_NO_FATAL_FAILURE(StartDriver());
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << std::hex << c.before);
    dev_->PokeShadow(c.before);  // as another process leaves the shared page
    dev_->PokeGlobalsByte(EXT_BOARD_SHADOW - 1, 0x3C);
    dev_->PokeGlobalsByte(EXT_BOARD_SHADOW + 4, 0xC3);
    ASSERT_EQ(1, ctx_.FMD_EraseBlock(1));
    EXPECT_EQ(c.after, dev_->PeekShadow());
    // The shadow's neighbours in the shared page belong to other drivers.
    EXPECT_EQ(0x3C, dev_->PeekGlobalsByte(EXT_BOARD_SHADOW - 1));
    EXPECT_EQ(0xC3, dev_->PeekGlobalsByte(EXT_BOARD_SHADOW + 4));
    EXPECT_EQ(c.after, dev_->PeekRegister(sim::WIN_EXTBOARD_REGS, EXT_BOARD_CTRL));
  }
}

TEST_F(FlashLifecycleTest, BusTakesThePinsFromTheCamera) {
  ASSERT_NO_FATAL_FAILURE(StartDriver());
  struct Case {
    uint32_t before, after;
  } cases[] = {{0x0000C001, 0x00008001}, {0x00004000, 0x00000000}, {0xFFFFBFFF, 0xFFFFBFFF}};
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << std::hex << c.before);
    dev_->PokeRegister(sim::WIN_RESSHARE_REGS, RS_PINMUX, c.before);
    ASSERT_EQ(1, ctx_.FMD_EraseBlock(1));
    EXPECT_EQ(c.after, dev_->PeekRegister(sim::WIN_RESSHARE_REGS, RS_PINMUX));
  }
}

// An owner of the pin mutex that died may have left the pins on the camera;
// the abandoned mutex is ours all the same, and the pins are taken back.
TEST_F(FlashLifecycleTest, AbandonedPinMutexStillTakesThePins) {
  ASSERT_NO_FATAL_FAILURE(StartDriver());
  std::thread owner([] {
    HANDLE pin = CreateMutexW(nullptr, FALSE, L"PIN_MUX_CAM_NANDFLASH_MUTEX");
    WaitForSingleObject(pin, INFINITE);
    CloseHandle(pin);
    // ends without ReleaseMutex
  });
  owner.join();
  dev_->PokeRegister(sim::WIN_RESSHARE_REGS, RS_PINMUX, 0x0000C001);
  ASSERT_EQ(1, ctx_.FMD_EraseBlock(1));
  EXPECT_EQ(0x00008001u, dev_->PeekRegister(sim::WIN_RESSHARE_REGS, RS_PINMUX));
  EXPECT_TRUE(BusIsFree());
}

}  // namespace
}  // namespace flashtest
