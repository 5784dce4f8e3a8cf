// The platform stand-ins as the driver meets them: VirtualCopy decodes the
// six SoC windows and nothing else, VirtualFree gives back whatever it
// mapped, register accesses reach the models, memory windows are shared, and
// debug lines are formatted as the kernel formats them.
#include <pkfuncs.h>
#include <ceddk.h>

#include <gtest/gtest.h>

#include <string>

#include "flash/soc_nand.h"
#include "flash/soc_ressh.h"
#include "flash/soc_windows.h"
#include "platform/debug_sink.h"
#include "platform/test_hooks.h"
#include "tests/platform/test_device.h"

namespace {

void* Reserve(DWORD size) { return VirtualAlloc(NULL, size, MEM_RESERVE, PAGE_NOACCESS); }

bool IsFree(void* p) {
  MEMORY_BASIC_INFORMATION mbi;
  return VirtualQuery(p, &mbi, sizeof(mbi)) != 0 && mbi.State == MEM_FREE;
}

class PlatformTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(device_.Attach()); }
  void TearDown() override { PlatformResetHooks(); }
  TestDevice device_;
};

TEST_F(PlatformTest, OnlyTheSixWindowsMap) {
  struct {
    unsigned addr, size;
    bool ok;
  } cases[] = {
      {DMA_REGS_VA, DMA_REGS_SIZE, true},
      {RESSHARE_REGS_VA, RESSHARE_REGS_SIZE, true},
      {EXTBOARD_REGS_VA, EXTBOARD_REGS_SIZE, true},
      {NAND_REGS_VA, NAND_REGS_SIZE, true},
      {DRIVER_GLOBALS_VA, DRIVER_GLOBALS_SIZE, true},
      {NAND_DMA_BUFFER_VA, NAND_DMA_BUFFER_SIZE, true},
      {0xA8002000u, 0x1000, false},                    // just past the DMA window
      {NAND_REGS_VA, NAND_REGS_SIZE + 0x1000, false},  // longer than the window
      {0x80000000u, 0x1000, false},
      {NAND_DMA_BUFFER_VA - 0x1000, 0x2000, false},  // starts before the window
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << std::hex << c.addr << "+" << c.size);
    void* base = Reserve(c.size);
    ASSERT_NE(nullptr, base);
    BOOL ok = VirtualCopy(base, (LPVOID)(ULONG_PTR)c.addr, c.size, PAGE_READWRITE | PAGE_NOCACHE);
    EXPECT_EQ(c.ok, ok != FALSE);
    EXPECT_TRUE(VirtualFree(base, 0, MEM_RELEASE));
    EXPECT_TRUE(IsFree(base)) << "released whatever it was";
  }
  EXPECT_EQ(0, PlatformMappedWindowCount());
}

TEST_F(PlatformTest, ArmedFailureRefusesOnceThenMaps) {
  PlatformFailVirtualCopyAt(NAND_REGS_VA);
  void* a = Reserve(NAND_REGS_SIZE);
  EXPECT_FALSE(VirtualCopy(a, (LPVOID)(ULONG_PTR)NAND_REGS_VA, NAND_REGS_SIZE, 0x204));
  EXPECT_TRUE(VirtualCopy(a, (LPVOID)(ULONG_PTR)NAND_REGS_VA, NAND_REGS_SIZE, 0x204));
  EXPECT_TRUE(VirtualFree(a, 0, MEM_RELEASE));
}

TEST_F(PlatformTest, MemoryWindowIsSharedAndRegistersReachTheModels) {
  // Two mappings of the driver-globals page see each other's stores, as two
  // processes on the device do.
  void* a = Reserve(DRIVER_GLOBALS_SIZE);
  void* b = Reserve(DRIVER_GLOBALS_SIZE);
  ASSERT_TRUE(VirtualCopy(a, (LPVOID)(ULONG_PTR)DRIVER_GLOBALS_VA, DRIVER_GLOBALS_SIZE, 0x204));
  ASSERT_TRUE(VirtualCopy(b, (LPVOID)(ULONG_PTR)DRIVER_GLOBALS_VA, DRIVER_GLOBALS_SIZE, 0x204));
  volatile BYTE* pa = (volatile BYTE*)a;
  volatile BYTE* pb = (volatile BYTE*)b;
  pa[EXT_BOARD_SHADOW + 1] = 0x5A;
  EXPECT_EQ(0x5A, pb[EXT_BOARD_SHADOW + 1]);
  EXPECT_TRUE(VirtualFree(a, 0, MEM_RELEASE));
  EXPECT_TRUE(VirtualFree(b, 0, MEM_RELEASE));
  EXPECT_TRUE(IsFree(a));
  EXPECT_TRUE(IsFree(b));

  // A register written through one window reads back through a second one:
  // both reach the same register file, not private memory.
  void* r1 = Reserve(RESSHARE_REGS_SIZE);
  void* r2 = Reserve(RESSHARE_REGS_SIZE);
  ASSERT_TRUE(VirtualCopy(r1, (LPVOID)(ULONG_PTR)RESSHARE_REGS_VA, RESSHARE_REGS_SIZE, 0x204));
  ASSERT_TRUE(VirtualCopy(r2, (LPVOID)(ULONG_PTR)RESSHARE_REGS_VA, RESSHARE_REGS_SIZE, 0x204));
  WRITE_REGISTER_ULONG((volatile ULONG*)((BYTE*)r1 + RS_PINMUX), 0x0000C001);
  EXPECT_EQ(0x0000C001u, READ_REGISTER_ULONG((volatile ULONG*)((BYTE*)r2 + RS_PINMUX)));
  EXPECT_NE(0x0000C001u, *(volatile ULONG*)((BYTE*)r2 + RS_PINMUX)) << "the page itself is not the register";
  EXPECT_TRUE(VirtualFree(r1, 0, MEM_RELEASE));
  EXPECT_TRUE(VirtualFree(r2, 0, MEM_RELEASE));
  EXPECT_EQ(0, PlatformMappedWindowCount());
}

TEST(PlatformDebug, LinesAreFormattedWideAndCaptured) {
  PlatformSetDebugEcho(false);
  PlatformClearDebugLines();
  NKDbgPrintfW(L"Manufacture ID: 0x%x; Device ID: 0x%x\r\n", 0xEC, 0x76);
  NKDbgPrintfW(L"Erase block: 0x%x, total 0x%x\r\n", 2u, 4096u);
  NKDbgPrintfW(L"%s=%d\r\n", L"count", -5);
  std::vector<std::wstring> lines = PlatformDebugLines();
  PlatformSetDebugEcho(true);
  ASSERT_EQ(3u, lines.size());
  EXPECT_EQ(L"Manufacture ID: 0xec; Device ID: 0x76\r\n", lines[0]);
  EXPECT_EQ(L"Erase block: 0x2, total 0x1000\r\n", lines[1]);
  EXPECT_EQ(L"count=-5\r\n", lines[2]);
}

}  // namespace
