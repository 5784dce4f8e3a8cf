// The boot area reader: the TOC scan, the area the TOC names with the checks
// the boot loader makes before trusting it, and the area's sectors read one
// by one through the sector codec.
#include "tools/devsim/boot_area_reader.h"

#include <cstring>

namespace devsim {

bool LocateToc(const NandImage& img, TocInfo* toc, std::string* error) {
  *toc = TocInfo();
  if (!img.SmallPage()) {
    toc->problem = "chip " + FormatChipId(img.Chip()) + " has " + std::to_string(img.Shape().pageData) +
                   "-byte pages; the device looks for a TOC only on chips of 32 sectors of 512 bytes a block";
    return true;
  }
  uint8_t page[kRawPageBytes];
  uint32_t last = kTocScanLastBlock;
  if (uint64_t(last) * kBootSectorsPerBlock >= img.Shape().Pages())
    last = uint32_t(img.Shape().Pages() / kBootSectorsPerBlock) - 1;
  for (uint32_t b = kTocScanFirstBlock; b <= last; ++b) {
    if (!img.ReadPage(uint64_t(b) * kBootSectorsPerBlock, page, error)) return false;
    if (!IsBootSpareRecord(page + kSectorBytes)) continue;
    // The device stops at the first marked block: a bad TOC there is not
    // made good by another one further up.
    toc->marked = true;
    toc->block = b;
    toc->sector = CheckSector(page);
    const uint64_t sector = uint64_t(b) * kBootSectorsPerBlock;
    if (toc->sector.Uncorrectable()) {
      toc->problem = "TOC block " + std::to_string(b) + ": sector " + std::to_string(sector) + " cannot be read (" +
                     toc->sector.Describe() + ")";
      return true;
    }
    if (std::memcmp(toc->sector.data, kTocSignature, 4) != 0) {
      toc->problem = "TOC block " + std::to_string(b) + ": sector " + std::to_string(sector) + " begins " +
                     HexBytes(toc->sector.data, 4) + ", not the signature 4e 54 4f 43 (\"NTOC\")";
      return true;
    }
    toc->found = true;
    toc->sectorCount = GetLe32(toc->sector.data + kTocSectorCountOffset);
    toc->firstBlock = GetLe32(toc->sector.data + kTocFirstBlockOffset);
    return true;
  }
  toc->problem = "no block in " + std::to_string(kTocScanFirstBlock) + ".." + std::to_string(last) +
                 " has the boot spare record 00 00 00 00 fc 00 00 00 in its first sector";
  return true;
}

uint64_t BootArea::SectorsInside(uint64_t totalSectors) const {
  if (FirstSector() >= totalSectors) return 0;
  uint64_t room = totalSectors - FirstSector();
  return sectorCount < room ? sectorCount : room;
}

bool AreaFromToc(const NandImage& img, const TocInfo& toc, BootArea* area, std::string* problem) {
  problem->clear();
  if (!toc.found) {
    *problem = toc.problem;
    return false;
  }
  area->firstBlock = toc.firstBlock;
  area->sectorCount = toc.sectorCount;
  if (toc.firstBlock <= toc.block) {
    *problem = "the TOC puts the boot area at block " + std::to_string(toc.firstBlock) + ", not after the TOC block " +
               std::to_string(toc.block);
    return false;
  }
  const uint64_t blocks = img.Shape().Pages() / kBootSectorsPerBlock;
  if (uint64_t(toc.firstBlock) + area->Blocks() > blocks) {
    *problem = "the boot area (block " + std::to_string(toc.firstBlock) + ", " + std::to_string(toc.sectorCount) +
               " sectors) does not lie inside the device's " + std::to_string(blocks) + " blocks";
    return false;
  }
  return true;
}

bool CheckAreaSector(const NandImage& img, const BootArea& area, uint32_t index, SectorCheck* out, std::string* error) {
  uint8_t page[kRawPageBytes];
  if (!img.ReadPage(area.FirstSector() + index, page, error)) return false;
  *out = CheckSector(page);
  return true;
}

}  // namespace devsim
