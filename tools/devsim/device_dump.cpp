// A device made from a chip's raw dump (devsim create --from-image): the dump
// becomes nand.img as it is, and nand.cfg gets its chip and its bad blocks.
#include "tools/devsim/device_ops.h"

namespace devsim {

// Bad blocks of a dump. On the small-page chips a bad block is marked by a
// bBadBlock (spare byte 5) other than 0xFF in its first or second page: so
// the maker leaves a factory bad block, and so the system marks one that
// went bad since. The updater writes a 0 there too, as part of the boot spare
// record 00 00 00 00 fc 00 00 00 on the TOC block's first sector and on every
// sector of the boot area, so byte 5 alone cannot tell. A block is taken as
// bad when
//   - it is neither the TOC block nor a block of the boot area the TOC names
//     (the device took the one as its TOC and erases and writes the other
//     without asking, whatever a damaged or half-written record there says),
//   - and its first or second page has byte 5 other than 0xFF without
//     carrying the whole boot record (a page with the whole record is one the
//     updater wrote, such as an old boot area the TOC no longer names).
std::vector<uint32_t> FindBadBlocks(const NandImage& img, const TocInfo& toc, bool areaUsable) {
  const sim::ChipShape& s = img.Shape();
  BootArea area{toc.firstBlock, toc.sectorCount};
  auto namedByToc = [&](uint32_t b) {
    if (toc.marked && b == toc.block) return true;
    return toc.found && areaUsable && b >= area.firstBlock && uint64_t(b) - area.firstBlock < area.Blocks();
  };
  std::vector<uint32_t> bad;
  uint8_t page[kRawPageBytes];
  std::string err;
  for (uint32_t b = 0; b < s.blocks; ++b) {
    if (namedByToc(b)) continue;
    for (uint32_t p = 0; p < 2; ++p) {
      if (!img.ReadPage(uint64_t(b) * s.pagesPerBlock + p, page, &err)) throw InputError(err);
      const uint8_t* spare = page + kSectorBytes;
      if (spare[kSpareBadBlock] != 0xFF && !IsBootSpareRecord(spare)) {
        bad.push_back(b);
        break;
      }
    }
  }
  return bad;
}

DevicePlan PlanDeviceFromDump(const std::string& dir, const std::string& dumpPath,
                              const std::optional<std::string>& chip) {
  std::optional<ChipId> id;
  if (chip) id = ParseChip(*chip);
  NandImage img;
  std::string err;
  if (!img.OpenBare(dumpPath, id, false, &err)) throw InputError(err);
  return PlanDeviceFromImage(dir, img, !chip);
}

DevicePlan PlanDeviceFromImage(const std::string& dir, const NandImage& img, bool chipFromSize) {
  const std::string& dumpPath = img.Path();
  if (!img.SmallPage())
    throw InputError(dumpPath + " is taken as chip " + FormatChipId(img.Chip()) + ", of " +
                     std::to_string(img.Shape().pageData) + "+" + std::to_string(img.Shape().pageSpare) +
                     "-byte pages; --from-image takes dumps of the small-page chips (512+16-byte pages)");
  DumpFacts facts;
  facts.path = dumpPath;
  facts.chipFromSize = chipFromSize;
  std::string err;
  if (!LocateToc(img, &facts.toc, &err)) throw InputError(err);
  BootArea area;
  if (facts.toc.found) facts.areaUsable = AreaFromToc(img, facts.toc, &area, &facts.areaProblem);

  DevicePlan plan;
  plan.dir = dir;
  plan.recipe.chip = img.Chip();
  plan.recipe.toc = facts.toc.found;
  plan.recipe.tocBlock = facts.toc.block;
  plan.recipe.area = BootArea{facts.toc.firstBlock, facts.toc.sectorCount};
  plan.recipe.badBlocks = FindBadBlocks(img, facts.toc, facts.areaUsable);
  plan.shape = img.Shape();
  plan.toc = facts.toc.found;
  plan.tocBlock = facts.toc.block;
  plan.dump = facts;
  return plan;
}

}  // namespace devsim
