// One run of the updater over a flash built from fuzzer input: the chip, the
// TOC block and its sector, the spare records of other blocks, an old boot
// loader in the area, read flips and program or erase failures, and the card
// with the new image.
//
// The input is decoded so that every byte string is a case (missing bytes read
// as 0, counts and values folded into their ranges); EncodeFlashCase writes a
// case back in the same layout, for the seed corpus. Little-endian throughout.
//
//   header, 19 bytes
//     0      TOC block: 1..100 plants the TOC there (its first page gets the
//            boot spare record 00 00 00 00 FC 00 00 00 and the TOC sector);
//            any other value plants no TOC
//     1      TOC flags: bit 0 damages the signature (byte bits 1-2 of "NTOC"
//            gets bit 5 flipped); bit 3 leaves the TOC sector's ECC bytes
//            erased; bit 4 takes the TOC sector raw from the 512 bytes after
//            the header instead of building it from the fields below
//     2      field mode: bit 0 takes the first block as 32 raw bits (else it is
//            folded into 0..1039), bit 1 the sector count (else 0..2047)
//     3      chip, value % 8: 0 ec:73, 1 98:73, 2 ad:73 (16 MiB, small pages),
//            3 ec:da (large pages), 4 ec:11 (unknown device), 5 01:73 (unknown
//            maker), 6-7 ec:73
//     4-7    first block of the boot area (TOC sector offset 176)
//     8-11   sectors of the boot area (TOC sector offset 60)
//     12-13  image size in bytes, % 32769
//     14     card, % 4: 0 healthy, 1 no EBOOT.NB0, 2 reads fail, 3 short reads
//     15     old boot loader pages at the area's start, % 65
//     16     spare record entries, % 33
//     17     read flips, % 65 (kMaxFaultsPerKind)
//     18     program and erase failures, % 9
//   [512 raw TOC sector bytes when TOC flags bit 4]
//   spare record entries, 11 bytes each
//     0-1    block, % 1024
//     2      kind, % 3: 0 the boot spare record on the block's first page (a
//            block that looks like a TOC block), 1 a factory bad-block mark
//            (spare byte 5 = 0 on its first two pages), 2 the 8 bytes below as
//            the first page's spare bytes 0-7
//     3-10   record bytes (kind 2)
//   read flips, 6 bytes each
//     0      target, % 4: 0 a page of the TOC block (page % 32), 1 a page of the
//            boot area (page % 64), 2 the spare record of a probed block's first
//            page (block page % 100 + 1, byte 512 + byte % 8), 3 any page
//     1-2    page
//     3-4    byte within the 528-byte raw page, % 528
//     5      bits 0-2 the bit; bits 3-7 how many reads flip (0: every read)
//   failures, 3 bytes each
//     0      kind, % 2: 0 a program of an area page fails (index % 64),
//            1 an erase of an area block fails (index % 4)
//     1-2    index
//   the rest: the image's bytes, repeated to its size (none left: a fixed
//   pattern)
#ifndef FUZZ_FLASH_CASE_H
#define FUZZ_FLASH_CASE_H

#include <array>
#include <cstddef>
#include <cstdint>
#include <vector>

namespace flashfuzz {

constexpr uint32_t kMaxImageBytes = 32768;
constexpr uint32_t kMaxOldPages = 64;
constexpr uint32_t kMaxRecords = 32;
constexpr uint32_t kMaxFlips = 64;
constexpr uint32_t kMaxFailures = 8;

enum TocFlags : uint8_t { kTocBadSignature = 0x01, kTocEccErased = 0x08, kTocRaw = 0x10 };
enum FieldMode : uint8_t { kRawFirstBlock = 0x01, kRawSectorCount = 0x02 };
enum class Card : uint8_t { kHealthy = 0, kMissing = 1, kReadFails = 2, kShortRead = 3 };
enum class RecordKind : uint8_t { kBootRecord = 0, kBadBlock = 1, kRaw = 2 };
enum class FlipTarget : uint8_t { kTocPage = 0, kAreaPage = 1, kProbeRecord = 2, kAnyPage = 3 };
// kProgram, kErase: a fault of the chip on the area's page or block `index`
// names; kPoint: failure point `index` of the run (a call of the updater into
// the kernel that can fail; with FLASH_FUZZ_HANGS=1 also a wait of its driver
// on the hardware, which then never ends: a chip stuck busy), the first such
// entry only.
enum class FailureKind : uint8_t { kProgram = 0, kErase = 1, kPoint = 2 };
constexpr int kFailureKinds = 3;

struct RecordEntry {
  uint16_t block = 0;
  RecordKind kind = RecordKind::kBootRecord;
  std::array<uint8_t, 8> bytes{};
};

struct FlipEntry {
  FlipTarget target = FlipTarget::kTocPage;
  uint16_t page = 0;
  uint16_t byte = 0;
  uint8_t bit = 0;
  uint8_t count = 0;  // 0..31; 0: every read
};

struct FailureEntry {
  FailureKind kind = FailureKind::kProgram;
  uint16_t index = 0;
};

struct FlashCase {
  uint8_t tocBlock = 0;
  uint8_t tocFlags = 0;
  uint8_t fieldMode = 0;
  uint8_t chip = 0;
  uint32_t firstBlock = 0;   // as folded
  uint32_t sectorCount = 0;  // as folded
  uint16_t imageSize = 0;
  Card card = Card::kHealthy;
  uint8_t oldPages = 0;
  std::array<uint8_t, 512> rawToc{};  // kTocRaw
  std::vector<RecordEntry> records;
  std::vector<FlipEntry> flips;
  std::vector<FailureEntry> failures;
  std::vector<uint8_t> imageSource;  // repeated to imageSize

  bool HasTocBlock() const { return tocBlock >= 1 && tocBlock <= 100; }
  std::vector<uint8_t> Image() const;
};

FlashCase DecodeFlashCase(const uint8_t* data, size_t size);
std::vector<uint8_t> EncodeFlashCase(const FlashCase& c);

}  // namespace flashfuzz

#endif
