// The small-page sector as the device's driver writes it and reads it back: a
// 528-byte raw page of 512 data bytes and 16 spare bytes, the spare holding
// the sector's 8-byte record and the ECC codes of the two 256-byte halves.
//
// The tool builds sectors with this (create's boot area and TOC, the pages
// verify expects) and reads them through the ECC as the driver's page read
// would (inspect, extract, verify), so a dump is judged by what the device
// would make of it rather than by its raw bytes. The layout is the device's
// own, flash/nand_format.h; the names below are that header's values in the
// tool's types.
#ifndef TOOLS_DEVSIM_SECTOR_CODEC_H
#define TOOLS_DEVSIM_SECTOR_CODEC_H

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "flash/nand_format.h"

namespace devsim {

constexpr uint32_t kSectorBytes = NAND_SECTOR_BYTES;
constexpr uint32_t kSpareBytes = NAND_SPARE_BYTES;
constexpr uint32_t kRawPageBytes = NAND_RAW_PAGE_BYTES;

// Spare byte positions.
constexpr uint32_t kSpareRecord = SPARE_RECORD_OFFSET;  // the sector's record, kSpareRecordBytes long
constexpr uint32_t kSpareRecordBytes = SPARE_RECORD_BYTES;
constexpr uint32_t kSpareBadBlock = SPARE_BAD_BLOCK_OFFSET;
constexpr uint32_t kSpareEcc0 = SPARE_ECC0_OFFSET;  // code of data 0-255
constexpr uint32_t kSpareEcc1 = SPARE_ECC1_OFFSET;  // code of data 256-511

using Bytes = std::vector<uint8_t>;

struct SectorInfo {
  uint32_t dwReserved1 = 0xFFFFFFFF;
  uint8_t bOEMReserved = 0xFF;
  uint8_t bBadBlock = 0xFF;
  uint16_t wReserved2 = 0xFFFF;

  void Encode(uint8_t* out) const;  // 8 bytes, little-endian
  static SectorInfo Decode(const uint8_t* in);
  bool operator==(const SectorInfo& o) const;
};

// The record the boot area writer puts on every sector of the area and that
// marks the TOC block's first sector: 00 00 00 00 FC 00 00 00.
SectorInfo BootSpareRecord();
bool IsBootSpareRecord(const uint8_t* spare8);

// Little-endian 32-bit field at any offset (the TOC is read byte by byte).
uint32_t GetLe32(const uint8_t* p);
void PutLe32(uint8_t* p, uint32_t v);

// The raw page of a small-page sector as the device's driver programs it into
// an erased page: data, its two codes, and the record when one is given
// (spare 0-7 stay erased without one; spare 11 and 15 stay 0xFF).
void BuildSectorPage(const uint8_t* data512, const SectorInfo* info, uint8_t* raw528);

// The ECC view of one sector, as the driver's page read would see it.
enum class HalfResult { kNoError, kCorrected, kCodeError, kUncorrectable };
const char* HalfResultName(HalfResult r);

enum class SectorState { kErased, kClean, kCorrected, kUncorrectable, kWrongSpare };
const char* SectorStateName(SectorState s);

struct SectorCheck {
  bool erased = false;  // all 528 bytes 0xFF
  HalfResult half[2] = {HalfResult::kNoError, HalfResult::kNoError};
  int32_t flippedByte[2] = {-1, -1};  // for kCorrected: the data byte (0-511) and bit repaired
  int32_t flippedBit[2] = {-1, -1};
  bool bootRecord = false;     // spare 0-7 is the boot spare record
  uint8_t data[kSectorBytes];  // corrected data (as read when uncorrectable)
  uint8_t spare[kSpareBytes];

  bool Uncorrectable() const;
  bool NeededEcc() const;  // any half other than kNoError
  // The sector's state as a member of the boot area: a readable sector must
  // carry the boot spare record.
  SectorState AreaState() const;
  std::string Describe() const;  // what is wrong, for listings ("" when clean)
};
SectorCheck CheckSector(const uint8_t* raw528);

std::string HexBytes(const uint8_t* p, size_t n);  // "00 00 fc ..."

}  // namespace devsim

#endif
