// The simulated chip a FlashCase describes, as it stands before the updater
// runs: the chip's identity, the pages the case plants (an old boot loader at
// the start of the area, spare records of other blocks, the TOC block's first
// page) and the faults it is given (read flips resolved to pages, program and
// erase failures), and the image the card holds. Every page not planted is
// erased.
//
// The builder writes pages the way the updater writes them (data, boot spare
// record, the two halves' codes), so that the oracle (flash_oracle.h) can
// judge the flash from the planted pages alone and the harness can compare
// the chip after the run with them. The chip's geometry and the on-flash
// bytes below come from flash/nand_format.h; the oracle reads the planted
// pages with the same ones.
#ifndef FUZZ_FLASH_BUILDER_H
#define FUZZ_FLASH_BUILDER_H

#include <string.h>

#include <array>
#include <cstdint>
#include <map>
#include <vector>

#include "flash/nand_format.h"
#include "fuzz/flash_case.h"
#include "sim/nand_cfg.h"
#include "sim/soc_state.h"

namespace flashfuzz {

// The 16 MiB small-page chip: 1024 blocks of 32 pages of 528 bytes.
constexpr uint32_t kBlocks = 1024;
constexpr uint32_t kPagesPerBlock = 32;
constexpr uint32_t kPages = kBlocks * kPagesPerBlock;
constexpr uint32_t kRaw = sim::kRawPageBytes;
constexpr uint32_t kData = sim::kPageDataBytes;
constexpr uint64_t kImageBytes = uint64_t(kPages) * kRaw;
constexpr uint32_t kProbeFirst = TOC_SCAN_FIRST_BLOCK, kProbeLast = TOC_SCAN_LAST_BLOCK;
constexpr uint32_t kTocSectorsAt = TOC_EBOOT_SECTORS_OFFSET, kTocFirstBlockAt = TOC_EBOOT_BLOCK_OFFSET;
// The boot spare record as its little-endian bytes.
constexpr uint8_t kBootRecord[SPARE_RECORD_BYTES] = {uint8_t(BOOT_SPARE_RESERVED1),
                                                     uint8_t(BOOT_SPARE_RESERVED1 >> 8),
                                                     uint8_t(BOOT_SPARE_RESERVED1 >> 16),
                                                     uint8_t(BOOT_SPARE_RESERVED1 >> 24),
                                                     BOOT_SPARE_OEM_RESERVED,
                                                     BOOT_SPARE_BAD_BLOCK,
                                                     uint8_t(BOOT_SPARE_RESERVED2),
                                                     uint8_t(BOOT_SPARE_RESERVED2 >> 8)};
constexpr uint8_t kSignature[4] = {TOC_SIGNATURE_0, TOC_SIGNATURE_1, TOC_SIGNATURE_2, TOC_SIGNATURE_3};
// The codes of the two data halves, as raw page offsets.
constexpr uint32_t kEccAt[2] = {kData + SPARE_ECC0_OFFSET, kData + SPARE_ECC1_OFFSET};

using Page = std::array<uint8_t, kRaw>;

inline bool PageEquals(const uint8_t* got, const Page& want) { return memcmp(got, want.data(), kRaw) == 0; }

// Small-page chips the updater drives; a large-page chip, on which the area
// cannot exist; chips the driver does not know.
enum class ChipKind { kSmall, kLargePage, kUnknown };
struct Chip {
  uint32_t maker, device;
  ChipKind kind;
};

struct BuiltFlash {
  Chip chip;
  std::map<uint32_t, Page> planted;  // pages that are not erased before the run
  sim::NandConfig cfg;               // the chip's identity and faults, for the device in memory
  std::vector<uint8_t> image;        // the card's EBOOT.NB0
  bool anyFlip = false, anyProgramFail = false, anyEraseFail = false;
  int64_t failPoint = -1;  // the run's failure point that fails (-1: none)
  std::vector<sim::ReadFlipFault> flips;  // as resolved to pages
};

BuiltFlash BuildFlash(const FlashCase& c);

// A page as the updater writes it: data, boot spare record, both codes, the
// two unused spare bytes erased.
Page WrittenPage(const uint8_t* data);
// The page as the case left it before the run: planted, or erased.
Page PageBefore(const BuiltFlash& b, uint32_t page);

uint32_t SectorsFor(uint64_t bytes);
uint32_t Le32(const uint8_t* p);

}  // namespace flashfuzz

#endif
