// The boot area as the device finds it. The boot loader probes blocks 1..100
// for the first one whose first sector carries the boot spare record, takes
// that sector as the TOC, and reads the area's first block and sector count
// from it; the area is laid out in 32 sectors of 512 bytes a block, so it
// exists only on small-page chips.
//
// inspect, extract and verify read a device or a dump through this reader,
// making the same checks in the same order, so what they report is what the
// device would use, with the reason when it would use nothing. The scan range,
// the TOC's fields and the area's layout are the device's own,
// flash/nand_format.h; the names below are that header's values in the tool's
// types.
#ifndef TOOLS_DEVSIM_BOOT_AREA_READER_H
#define TOOLS_DEVSIM_BOOT_AREA_READER_H

#include <cstdint>
#include <string>

#include "flash/nand_format.h"
#include "tools/devsim/nandimage.h"
#include "tools/devsim/sector_codec.h"

namespace devsim {

constexpr uint32_t kBootSectorsPerBlock = BOOT_SECTORS_PER_BLOCK;
constexpr uint32_t kTocScanFirstBlock = TOC_SCAN_FIRST_BLOCK;
constexpr uint32_t kTocScanLastBlock = TOC_SCAN_LAST_BLOCK;
constexpr uint32_t kTocSectorCountOffset = TOC_EBOOT_SECTORS_OFFSET;
constexpr uint32_t kTocFirstBlockOffset = TOC_EBOOT_BLOCK_OFFSET;
constexpr uint8_t kTocSignature[4] = {TOC_SIGNATURE_0, TOC_SIGNATURE_1, TOC_SIGNATURE_2, TOC_SIGNATURE_3};

// Where the device finds its TOC, and what it finds there.
struct TocInfo {
  bool found = false;   // a TOC block with a readable sector 0 and the signature
  bool marked = false;  // a block with the boot spare record was found
  uint32_t block = 0;
  SectorCheck sector;        // sector 0 of the TOC block (when marked)
  uint32_t sectorCount = 0;  // offset 60
  uint32_t firstBlock = 0;   // offset 176
  std::string problem;       // why no TOC was found
};
bool LocateToc(const NandImage& img, TocInfo* toc, std::string* error);

// The boot area as a run of sectors, from the TOC or given.
struct BootArea {
  uint32_t firstBlock = 0;
  uint32_t sectorCount = 0;
  uint64_t FirstSector() const { return uint64_t(firstBlock) * kBootSectorsPerBlock; }
  uint64_t Blocks() const { return (uint64_t(sectorCount) + kBootSectorsPerBlock - 1) / kBootSectorsPerBlock; }
  // Sectors of the area that exist on a device of totalSectors sectors.
  uint64_t SectorsInside(uint64_t totalSectors) const;
};

// The area the device would use: from a found TOC, with the checks the
// locate makes (after the TOC block, wholly inside the device).
// *problem says why the area cannot be used; the area is still filled in.
bool AreaFromToc(const NandImage& img, const TocInfo& toc, BootArea* area, std::string* problem);

// Reads the boot area's sectors as the device would: one check per sector.
bool CheckAreaSector(const NandImage& img, const BootArea& area, uint32_t index, SectorCheck* out, std::string* error);

}  // namespace devsim

#endif
