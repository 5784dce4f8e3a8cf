// The on-flash format and the names of the bus mutexes, stated a second time,
// apart from the product's declaration (flash/nand_format.h), as the handheld's
// boot loader and system flash driver define them. The tests build their
// expectations from these values, and nand_format_test pins every product
// constant to them: a constant of the product that drifts fails a test instead
// of being followed by every test that reads it.
#ifndef TESTS_COMMON_ON_FLASH_H
#define TESTS_COMMON_ON_FLASH_H

#include <cstdint>

namespace onflash {

// A small-page sector: 512 data bytes, then 16 spare bytes, 528 in all.
constexpr uint32_t kData = 512;
constexpr uint32_t kSpare = 16;
constexpr uint32_t kRawPage = 528;

// In the raw page: the record in spare 0-7, the code of data 0-255 in spare
// 8-10 and of data 256-511 in spare 12-14 (three bytes each); spare 11 and
// 15 carry nothing.
constexpr uint32_t kRecordAt = 512;
constexpr uint32_t kRecordBytes = 8;
constexpr uint32_t kOemReservedAt = 516;
constexpr uint32_t kBadBlockAt = 517;
constexpr uint32_t kCodeAt[2] = {520, 524};
constexpr uint32_t kCodeBytes = 3;

// The boot spare record, as its eight bytes: dwReserved1 0, bOEMReserved
// 0xFC, bBadBlock 0, wReserved2 0.
constexpr uint8_t kBootRecord[8] = {0x00, 0x00, 0x00, 0x00, 0xFC, 0x00, 0x00, 0x00};

// The boot area: 32 sectors of 512 bytes a block; the TOC block is looked for
// among blocks 1 to 100; its sector 0 holds "NTOC" at 0, the area's sector
// count at 60 and its first block at 176.
constexpr uint32_t kSectorsPerBlock = 32;
constexpr uint32_t kTocFirstProbe = 1;
constexpr uint32_t kTocLastProbe = 100;
constexpr char kTocSignature[5] = "NTOC";
constexpr uint32_t kTocSectorCountAt = 60;
constexpr uint32_t kTocFirstBlockAt = 176;

// The mutexes of the flash bus, taken in this order.
constexpr wchar_t kFlashMutex[] = L"_FLASH_MUTEX_";
constexpr wchar_t kPinMutex[] = L"PIN_MUX_CAM_NANDFLASH_MUTEX";

}  // namespace onflash

#endif
