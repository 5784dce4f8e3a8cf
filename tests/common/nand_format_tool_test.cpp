// The host tool's reading and writing of a sector (tools/devsim/sector_codec.h)
// against the independent statement of the format: where the record and the
// codes go in a raw page, and the boot spare record's bytes.
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "tests/common/byte_diff.h"
#include "tests/common/on_flash.h"
#include "tests/ecc/ecc_reference.h"
#include "tools/devsim/sector_codec.h"

namespace {

using Bytes = std::vector<uint8_t>;

TEST(NandFormatTool, TheBootSpareRecordIsItsEightBytes) {
  uint8_t got[8];
  devsim::BootSpareRecord().Encode(got);
  EXPECT_EQ(testutil::DiffBytes(onflash::kBootRecord, 8, got, 8), "");
  EXPECT_TRUE(devsim::IsBootSpareRecord(onflash::kBootRecord));
  for (uint32_t i = 0; i < 8; ++i) {
    uint8_t other[8];
    std::memcpy(other, onflash::kBootRecord, 8);
    other[i] ^= 0x01;
    EXPECT_FALSE(devsim::IsBootSpareRecord(other)) << "byte " << i << " changed";
  }
}

TEST(NandFormatTool, ARecordsFieldsAreReadWhereTheSpareHoldsThem) {
  uint8_t raw[onflash::kRawPage];
  std::memset(raw, 0xFF, sizeof(raw));
  const uint8_t record[8] = {0x78, 0x56, 0x34, 0x12, 0xA1, 0xB2, 0xEF, 0xBE};
  std::memcpy(raw + onflash::kRecordAt, record, sizeof(record));
  const devsim::SectorInfo s = devsim::SectorInfo::Decode(raw + onflash::kRecordAt);
  EXPECT_EQ(0x12345678u, s.dwReserved1);
  EXPECT_EQ(raw[onflash::kOemReservedAt], s.bOEMReserved);
  EXPECT_EQ(raw[onflash::kBadBlockAt], s.bBadBlock);
  EXPECT_EQ(0xBEEFu, s.wReserved2);
}

TEST(NandFormatTool, ASectorsPageHoldsDataRecordAndBothCodesWhereTheyBelong) {
  uint8_t data[onflash::kData];
  for (uint32_t i = 0; i < onflash::kData; ++i) data[i] = uint8_t(i * 37 + 11);
  const devsim::SectorInfo rec = devsim::BootSpareRecord();
  uint8_t raw[onflash::kRawPage];
  devsim::BuildSectorPage(data, &rec, raw);

  EXPECT_EQ(testutil::DiffBytes(data, onflash::kData, raw, onflash::kData), "");
  EXPECT_EQ(testutil::DiffBytes(onflash::kBootRecord, 8, raw + onflash::kRecordAt, 8), "");
  for (int h = 0; h < 2; ++h) {
    uint8_t code[onflash::kCodeBytes];
    eccref::Compute(data + h * onflash::kData / 2, code);
    EXPECT_EQ(testutil::DiffBytes(code, onflash::kCodeBytes, raw + onflash::kCodeAt[h], onflash::kCodeBytes), "")
        << "half " << h;
    // The byte after each code carries nothing and stays erased.
    EXPECT_EQ(0xFF, raw[onflash::kCodeAt[h] + onflash::kCodeBytes]) << "half " << h;
  }
}

}  // namespace
