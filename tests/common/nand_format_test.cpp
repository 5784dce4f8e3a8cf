// The product's declaration of the on-flash format (flash/nand_format.h) and
// the values derived from it, pinned to the independent statement of the same
// format in on_flash.h.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "flash/nand_format.h"
#include "sim/soc_state.h"
#include "tests/common/on_flash.h"

namespace {

TEST(NandFormat, TheSmallPageSectorIsAsTheFlashHoldsIt) {
  EXPECT_EQ(onflash::kData, uint32_t(NAND_SECTOR_BYTES));
  EXPECT_EQ(onflash::kSpare, uint32_t(NAND_SPARE_BYTES));
  EXPECT_EQ(onflash::kRawPage, uint32_t(NAND_RAW_PAGE_BYTES));
  EXPECT_EQ(onflash::kRawPage, sim::kRawPageBytes);
  EXPECT_EQ(onflash::kData, sim::kPageDataBytes);

  // Spare positions are counted from the first spare byte, the pinned ones
  // from the start of the raw page.
  EXPECT_EQ(onflash::kRecordAt, uint32_t(NAND_SECTOR_BYTES + SPARE_RECORD_OFFSET));
  EXPECT_EQ(onflash::kRecordBytes, uint32_t(SPARE_RECORD_BYTES));
  EXPECT_EQ(onflash::kOemReservedAt, uint32_t(NAND_SECTOR_BYTES + SPARE_OEM_RESERVED_OFFSET));
  EXPECT_EQ(onflash::kBadBlockAt, uint32_t(NAND_SECTOR_BYTES + SPARE_BAD_BLOCK_OFFSET));
  EXPECT_EQ(onflash::kCodeAt[0], uint32_t(NAND_SECTOR_BYTES + SPARE_ECC0_OFFSET));
  EXPECT_EQ(onflash::kCodeAt[1], uint32_t(NAND_SECTOR_BYTES + SPARE_ECC1_OFFSET));
  // The eight ECC bytes programmed together hold both codes and nothing else.
  EXPECT_EQ(uint32_t(SPARE_ECC_OFFSET), uint32_t(SPARE_ECC0_OFFSET));
  EXPECT_EQ(onflash::kCodeAt[1] + onflash::kCodeBytes + 1, uint32_t(NAND_SECTOR_BYTES + SPARE_ECC_OFFSET + SPARE_ECC_BYTES));
  EXPECT_EQ(onflash::kRawPage, uint32_t(NAND_SECTOR_BYTES + SPARE_ECC_OFFSET + SPARE_ECC_BYTES));
}

TEST(NandFormat, TheBootAreaAndItsTocAreFoundWhereTheBootLoaderLooks) {
  EXPECT_EQ(onflash::kSectorsPerBlock, uint32_t(BOOT_SECTORS_PER_BLOCK));
  EXPECT_EQ(onflash::kData, uint32_t(BOOT_SECTOR_BYTES));
  EXPECT_EQ(onflash::kData, uint32_t(TOC_SECTOR_BYTES));
  EXPECT_EQ(onflash::kTocFirstProbe, uint32_t(TOC_SCAN_FIRST_BLOCK));
  EXPECT_EQ(onflash::kTocLastProbe, uint32_t(TOC_SCAN_LAST_BLOCK));
  EXPECT_EQ(0u, uint32_t(TOC_SIGNATURE_OFFSET));
  EXPECT_EQ(onflash::kTocSectorCountAt, uint32_t(TOC_EBOOT_SECTORS_OFFSET));
  EXPECT_EQ(onflash::kTocFirstBlockAt, uint32_t(TOC_EBOOT_BLOCK_OFFSET));
  const char signature[] = {TOC_SIGNATURE_0, TOC_SIGNATURE_1, TOC_SIGNATURE_2, TOC_SIGNATURE_3, 0};
  EXPECT_STREQ(onflash::kTocSignature, signature);

  // The record's fields, laid out little-endian as the spare holds them.
  const uint8_t record[8] = {uint8_t(BOOT_SPARE_RESERVED1),
                             uint8_t(BOOT_SPARE_RESERVED1 >> 8),
                             uint8_t(BOOT_SPARE_RESERVED1 >> 16),
                             uint8_t(BOOT_SPARE_RESERVED1 >> 24),
                             uint8_t(BOOT_SPARE_OEM_RESERVED),
                             uint8_t(BOOT_SPARE_BAD_BLOCK),
                             uint8_t(BOOT_SPARE_RESERVED2),
                             uint8_t(BOOT_SPARE_RESERVED2 >> 8)};
  EXPECT_EQ(0, std::memcmp(onflash::kBootRecord, record, sizeof(record)));
}

TEST(NandFormat, TheBusMutexesHaveTheSystemsNames) {
  EXPECT_EQ(std::wstring(onflash::kFlashMutex), std::wstring(FLASH_MUTEX_NAME));
  EXPECT_EQ(std::wstring(onflash::kPinMutex), std::wstring(PIN_MUTEX_NAME));
  // The narrow forms name the same mutexes in the records the host reads.
  const std::string flash = FLASH_MUTEX_NAME_A, pin = PIN_MUTEX_NAME_A;
  EXPECT_EQ(std::wstring(onflash::kFlashMutex), std::wstring(flash.begin(), flash.end()));
  EXPECT_EQ(std::wstring(onflash::kPinMutex), std::wstring(pin.begin(), pin.end()));
}

}  // namespace
