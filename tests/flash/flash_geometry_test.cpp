// Chip identification: every row of the chip table under every maker, the
// geometry derived from it, the three identification lines, and the refusals
// that must leave an earlier geometry alone.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "flash/flash.h"
#include "platform/debug_sink.h"

namespace {

struct ChipRow {
  DWORD device;
  DWORD totalBytes, totalBlocks, totalSectors, blockBytes, blockSectors, sectorBytes, rawPage;
  DWORD shiftBlockBytes, shiftBlockSectors, shiftSectorBytes, addrCycles, eraseCycles;
};

// The data sheets' numbers, written out rather than computed.
const ChipRow kRows[] = {
    {0x73, 0x01000000, 1024, 32768, 16384, 32, 512, 528, 14, 5, 9, 3, 2},
    {0x75, 0x02000000, 2048, 65536, 16384, 32, 512, 528, 14, 5, 9, 3, 2},
    {0x76, 0x04000000, 4096, 131072, 16384, 32, 512, 528, 14, 5, 9, 4, 3},
    {0x79, 0x08000000, 8192, 262144, 16384, 32, 512, 528, 14, 5, 9, 4, 3},
    {0xAA, 0x10000000, 2048, 131072, 131072, 64, 2048, 2112, 17, 6, 11, 5, 3},
    {0xDA, 0x10000000, 2048, 131072, 131072, 64, 2048, 2112, 17, 6, 11, 5, 3},
};
const DWORD kMakers[] = {0x98, 0xAD, 0xEC};

std::vector<std::string> TakeLines() {
  std::vector<std::string> lines = PlatformDebugLinesUtf8();
  PlatformClearDebugLines();
  return lines;
}

std::string Hex(DWORD v) {
  char buf[16];
  snprintf(buf, sizeof(buf), "%lx", (unsigned long)v);
  return buf;
}

std::vector<std::string> IdLines(DWORD maker, DWORD device, DWORD blocks, DWORD shiftBytes, DWORD shiftSectors) {
  return {"FMD: FMD_Init - Got flash infomation\r\n",
          "Manufacture ID: 0x" + Hex(maker) + "; Device ID: 0x" + Hex(device) + "\r\n",
          "Total Blocks: 0x" + Hex(blocks) + "; dwShiftBlockBytes: 0x" + Hex(shiftBytes) + "; dwShiftBlockSectors: 0x" +
              Hex(shiftSectors) + "\r\n"};
}

class FlashGeometryTest : public ::testing::Test {
 protected:
  void SetUp() override {
    PlatformSetDebugEcho(false);
    PlatformClearDebugLines();
  }
  void TearDown() override { PlatformSetDebugEcho(true); }
};

TEST_F(FlashGeometryTest, EveryRowUnderEveryMaker) {
  for (DWORD maker : kMakers) {
    for (const ChipRow& r : kRows) {
      SCOPED_TRACE("maker 0x" + Hex(maker) + " device 0x" + Hex(r.device));
      FlashContext ctx;
      ASSERT_EQ(1, ctx.LookupFlashChip(maker, r.device));
      const FlashGeometry& g = ctx.Geometry;
      EXPECT_EQ(r.totalBytes, g.dwTotalBytes);
      EXPECT_EQ(r.totalBlocks, g.dwTotalBlocks);
      EXPECT_EQ(r.totalSectors, g.dwTotalSectors);
      EXPECT_EQ(r.blockBytes, g.dwBlockBytes);
      EXPECT_EQ(r.blockSectors, g.dwBlockSectors);
      EXPECT_EQ(r.sectorBytes, g.dwSectorBytes);
      EXPECT_EQ(r.rawPage, g.dwRawPageBytes);
      EXPECT_EQ(r.shiftBlockBytes, g.dwShiftBlockBytes);
      EXPECT_EQ(r.shiftBlockSectors, g.dwShiftBlockSectors);
      EXPECT_EQ(r.shiftSectorBytes, g.dwShiftSectorBytes);
      EXPECT_EQ(r.addrCycles, ctx.dwAddrCycles);
      EXPECT_EQ(r.eraseCycles, ctx.dwEraseAddrCycles);
      EXPECT_EQ(IdLines(maker, r.device, r.totalBlocks, r.shiftBlockBytes, r.shiftBlockSectors), TakeLines());
    }
  }
}

TEST_F(FlashGeometryTest, LinesPrintCodesInHex) {
  FlashContext ctx;
  ASSERT_EQ(1, ctx.LookupFlashChip(0xEC, 0x76));
  std::vector<std::string> lines = TakeLines();
  ASSERT_EQ(3u, lines.size());
  EXPECT_EQ("Manufacture ID: 0xec; Device ID: 0x76\r\n", lines[1]);
  EXPECT_EQ("Total Blocks: 0x1000; dwShiftBlockBytes: 0xe; dwShiftBlockSectors: 0x5\r\n", lines[2]);
}

// A refused chip prints the same three lines, with the codes as given and the
// geometry as it stood, and changes neither geometry nor cycle counts.
TEST_F(FlashGeometryTest, UnknownChipsLeaveTheGeometryAlone) {
  struct Case {
    const char* name;
    DWORD maker, device;
  } cases[] = {
      {"unknown maker, known device", 0x2C, 0x76},    {"unknown maker, unknown device", 0x2C, 0x35},
      {"known maker, unknown device", 0xEC, 0x35},    {"maker and device swapped", 0x76, 0xEC},
      {"code with bits above the byte", 0x1EC, 0x76}, {"device code with bits above the byte", 0xEC, 0x176},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    // Fresh context: the constructor's zeros are what the third line shows.
    FlashContext fresh;
    EXPECT_EQ(0, fresh.LookupFlashChip(c.maker, c.device));
    EXPECT_EQ(IdLines(c.maker, c.device, 0, 0, 0), TakeLines());
    FlashGeometry zero;
    memset(&zero, 0, sizeof(zero));
    EXPECT_EQ(0, memcmp(&zero, &fresh.Geometry, sizeof(zero)));
    EXPECT_EQ(0u, fresh.dwAddrCycles);
    EXPECT_EQ(0u, fresh.dwEraseAddrCycles);

    // A context that knew a chip keeps it.
    FlashContext known;
    ASSERT_EQ(1, known.LookupFlashChip(0x98, 0x79));
    TakeLines();
    FlashGeometry before = known.Geometry;
    EXPECT_EQ(0, known.LookupFlashChip(c.maker, c.device));
    EXPECT_EQ(IdLines(c.maker, c.device, 8192, 14, 5), TakeLines());
    EXPECT_EQ(0, memcmp(&before, &known.Geometry, sizeof(before)));
    EXPECT_EQ(4u, known.dwAddrCycles);
    EXPECT_EQ(3u, known.dwEraseAddrCycles);
  }
}

TEST_F(FlashGeometryTest, FreshContextIsDown) {
  FlashContext ctx;
  EXPECT_EQ(nullptr, ctx.hFlashMutex);
  EXPECT_EQ(nullptr, ctx.hPinMutex);
  const volatile BYTE* windows[] = {ctx.pDmaRegs,  ctx.pResShareRegs,  ctx.pExtBoardRegs,
                                    ctx.pNandRegs, ctx.pDriverGlobals, ctx.pDmaBuffer};
  for (const volatile BYTE* p : windows) EXPECT_EQ(nullptr, p);
  EXPECT_EQ(0u, ctx.dwMakerCode);
  EXPECT_EQ(0u, ctx.dwDeviceCode);
}

// Derivation from hand-set inputs, including shifts that run off the word.
TEST_F(FlashGeometryTest, DeriveGeometryShifts) {
  struct Case {
    DWORD totalBytes, shiftBlockBytes, shiftSectorBytes;
    DWORD totalBlocks, totalSectors, blockBytes, blockSectors, sectorBytes, rawPage, shiftBlockSectors;
  } cases[] = {
      {0x00800000, 13, 9, 1024, 16384, 8192, 16, 512, 528, 4},
      {0x80000000, 18, 12, 8192, 0x80000, 0x40000, 64, 4096, 2112, 6},
      // Counts of 32 or more give 0 rather than whatever the processor does.
      {0x10000000, 32, 9, 0, 0x80000, 0, 0x800000, 512, 528, 23},
      {0x10000000, 40, 40, 0, 0, 0, 1, 0, 2112, 0},
      // A sector shift above the block shift wraps the difference: no sectors per block.
      {0x10000000, 9, 14, 0x80000, 0x4000, 512, 0, 16384, 2112, 0xFFFFFFFBu},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(Hex(c.totalBytes) + "/" + Hex(c.shiftBlockBytes) + "/" + Hex(c.shiftSectorBytes));
    FlashGeometry g;
    memset(&g, 0xA5, sizeof(g));
    g.dwTotalBytes = c.totalBytes;
    g.dwShiftBlockBytes = c.shiftBlockBytes;
    g.dwShiftSectorBytes = c.shiftSectorBytes;
    FlashContext::DeriveGeometry(&g);
    EXPECT_EQ(c.totalBytes, g.dwTotalBytes);
    EXPECT_EQ(c.totalBlocks, g.dwTotalBlocks);
    EXPECT_EQ(c.totalSectors, g.dwTotalSectors);
    EXPECT_EQ(c.blockBytes, g.dwBlockBytes);
    EXPECT_EQ(c.blockSectors, g.dwBlockSectors);
    EXPECT_EQ(c.sectorBytes, g.dwSectorBytes);
    EXPECT_EQ(c.rawPage, g.dwRawPageBytes);
    EXPECT_EQ(c.shiftBlockSectors, g.dwShiftBlockSectors);
  }
}

}  // namespace
