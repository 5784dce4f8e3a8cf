// The driver's record and TOC buffer (flash/flash.h) against the independent
// statement of the format: the record is moved to and from the spare as it
// lies in memory, so its layout is the on-flash one.
#include <gtest/gtest.h>

#include <cstddef>

#include "flash/flash.h"
#include "tests/common/on_flash.h"

namespace {

TEST(NandFormatDriver, TheSectorRecordLiesInMemoryAsInTheSpare) {
  EXPECT_EQ(onflash::kRecordBytes, sizeof(SectorInfo));
  EXPECT_EQ(0u, offsetof(SectorInfo, dwReserved1));
  EXPECT_EQ(onflash::kOemReservedAt - onflash::kRecordAt, offsetof(SectorInfo, bOEMReserved));
  EXPECT_EQ(onflash::kBadBlockAt - onflash::kRecordAt, offsetof(SectorInfo, bBadBlock));
  EXPECT_EQ(onflash::kRecordBytes - 2, offsetof(SectorInfo, wReserved2));
}

TEST(NandFormatDriver, TheTocBufferHoldsOneSector) {
  FlashContext ctx;
  EXPECT_EQ(onflash::kData, sizeof(ctx.abTocSector));
}

}  // namespace
