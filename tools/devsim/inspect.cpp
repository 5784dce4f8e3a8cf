// devsim inspect: what a device or a raw image holds, as the device's boot
// area code would find it, and what the simulation remembers of its runs
// (device_check.cpp reads it, inspect_report.cpp writes it out).
#include <cstdio>

#include "tools/devsim/block_map.h"
#include "tools/devsim/command.h"

namespace devsim {
namespace {

const char kProse[] =
    "Shows the chip and its geometry; the TOC block as the device finds it (the first of\n"
    "blocks 1..100 whose first sector has the boot spare record 00 00 00 00 fc 00 00 00,\n"
    "its sector 0 ECC-checked, the signature \"NTOC\", the sector count at 60 and the first\n"
    "block at 176) or why there is none; the boot area and the state of each of its\n"
    "sectors: erased (all 0xFF), clean, corrected (ECC repaired a bit or met a damaged\n"
    "code), uncorrectable, wrong spare record (readable, but not the boot record). For a\n"
    "device also its nand.cfg (bad blocks, faults), the protocol checker's record and the\n"
    "simulated clock (soc.state).";
const char kFooter[] =
    "The map: the TOC block (T), the boot area's blocks (B written, e erased, c a sector\n"
    "corrected, U a sector uncorrectable or with a wrong record), other data (d), factory\n"
    "bad blocks (X), erased blocks (.); as text 128 blocks a row, as a picture 64 blocks a\n"
    "row (same kinds, legend squares under it in that order: erased, data, bad, TOC,\n"
    "written, erased, corrected, uncorrectable). FILE.svg adds the words: a title with\n"
    "the chip and the area, the legend, the TOC, the area's first and last block and\n"
    "the first factory bad blocks named by number, a hover title on every block (its\n"
    "kind; for the area's blocks their sectors written, erased, corrected and\n"
    "uncorrectable), and when the chip is larger than the blocks around the TOC and\n"
    "the area, those blocks again page by page.\n"
    "\n"
    "The JSON object's keys:\n"
    "  path, kind (\"device\" | \"image\"), image (the raw file)\n"
    "  chip: id (\"ec:76\"), maker, device, known, largePage, pageData, pageSpare,\n"
    "        pagesPerBlock, blocks, imageBytes\n"
    "  badBlocks: [block...] (nand.cfg; null for an image)\n"
    "  faults: [\"fault.KEY = VALUE\"...] (nand.cfg; null for an image)\n"
    "  toc: found, marked (a block has the boot record), block, sector, signature\n"
    "       (hex bytes), sectorCount, firstBlock, ecc (\"\" or what the check met),\n"
    "       problem (null when found)\n"
    "  area (null when there is none): source (\"toc\" | \"option\"), firstBlock,\n"
    "       sectorCount, firstSector, blocks, usable, problem, checked (sectors that\n"
    "       lie inside the chip), counts {erased, clean, corrected, uncorrectable,\n"
    "       wrongSpare}, erasedRanges [[firstIndex, lastIndex]...], notClean\n"
    "       [{index, sector, state, detail}...] (erased ones not listed; at most 1000),\n"
    "       notCleanTruncated\n"
    "  record (null for an image): clockNs, chipBusyNs, chipOps, poweredOff,\n"
    "       killAfterOps (null when no kill is armed), violationCount, violations\n"
    "       [text...], error (null or why soc.state could not be read)\n"
    "  warnings: [text...] (also on stderr before the report, one line each: an\n"
    "       area with uncorrectable sectors, faults or a power loss still set in\n"
    "       nand.cfg, a device left off by a power loss, a kill still armed)\n"
    "\n"
    "Exit 0 when everything could be read; 2 when the input (or soc.state) cannot be.";

struct InspectArgs {
  std::string source;
  std::optional<std::string> chip, area, map;
  bool json = false;
};

int RunInspect(const InspectArgs& a) {
  const std::optional<std::string>& map = a.map;
  if (map && a.json) throw UsageError("--map and --json: one or the other");
  NandImage img = OpenSource(a.source, a.chip, false);
  std::optional<AreaChoice> given;
  if (a.area) given = ParseAreaChoice(*a.area);
  InspectReport rep = InspectImage(img, given);
  // Before the report, on their own stream: a reader of the JSON or of the
  // picture's name is not disturbed, a person at a terminal sees them first.
  for (const Warning& w : rep.warnings) std::fprintf(stderr, "devsim inspect: warning: %s\n", w.text.c_str());
  std::fflush(stderr);
  if (map) {
    const ChipMap chipMap = MapChip(img, rep);
    if (chipMap.blocks.empty()) throw InputError("--map: only small-page chips are drawn");
    if (map->empty()) {
      std::fputs(TextMap(chipMap.blocks).c_str(), stdout);
    } else {
      WriteMap(*map, chipMap, BlockMarks());
      std::printf("map: %s (%zu blocks)\n", map->c_str(), chipMap.blocks.size());
    }
  } else {
    std::fputs((a.json ? InspectJson(img, rep) : InspectText(img, rep)).c_str(), stdout);
  }
  if (img.IsDevice() && !rep.haveRecord) {
    std::fprintf(stderr, "devsim inspect: %s\n", rep.recordError.c_str());
    return kExitUsage;
  }
  return kExitOk;
}

Runner Declare(CommandLine& cl) {
  auto a = std::make_shared<InspectArgs>();
  cl.Describe("show chip, TOC, boot area sector states, checker record", kProse);
  cl.Footer(kFooter);
  cl.Positional("DIR|IMAGE", "a device folder, or a chip's raw page+spare image", &a->source);
  cl.Flag("--json", "one JSON object instead of text (its keys below)", &a->json);
  cl.Value("--chip", "MM:DD", "the chip of a bare IMAGE (default: from its size)", &a->chip);
  cl.Value("--area", "BLOCK:SECTORS", "look at this run of sectors instead of the TOC's area", &a->area);
  cl.OptionalValue("--map", "FILE",
                   "the chip as a map of blocks instead: text, or a picture in " + MapFormatNames() + " (below)",
                   &a->map);
  return [a] { return RunInspect(*a); };
}

}  // namespace

extern const Command kInspectCommand = {"inspect", Declare};

}  // namespace devsim
