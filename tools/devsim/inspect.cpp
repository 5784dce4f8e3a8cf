// devsim inspect: what a device or a raw image holds, as the device's boot
// area code would find it, and what the simulation remembers of its runs.
#include <cstdio>
#include <utility>

#include <nlohmann/json.hpp>

#include "sim/device_record.h"
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
    "written, erased, corrected, uncorrectable).\n"
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
    "       violationCount, violations [text...], error (null or why soc.state\n"
    "       could not be read)\n"
    "\n"
    "Exit 0 when everything could be read; 2 when the input (or soc.state) cannot be.";

struct InspectArgs {
  std::string source;
  std::optional<std::string> chip, area, map;
  bool json = false;
};

std::string U(uint64_t v) { return std::to_string(v); }

void PrintText(const NandImage& img, const InspectReport& rep) {
  const sim::ChipShape& s = img.Shape();
  std::printf("%s %s\n", img.IsDevice() ? "device" : "image", img.Path().c_str());
  std::printf("chip: %s%s, %llu MiB: %u blocks of %u pages of %u+%u bytes; %s %llu bytes\n",
              FormatChipId(img.Chip()).c_str(), s.known ? "" : " (not in the chip table)",
              static_cast<unsigned long long>(uint64_t(s.blocks) * s.pagesPerBlock * s.pageData >> 20), s.blocks,
              s.pagesPerBlock, s.pageData, s.pageSpare, img.ImagePath().c_str(),
              static_cast<unsigned long long>(s.ImageBytes()));
  if (img.IsDevice()) {
    std::string bad;
    for (uint32_t b : img.Config().badBlocks) bad += (bad.empty() ? "" : ", ") + U(b);
    std::printf("factory bad blocks: %s\n", bad.empty() ? "none" : bad.c_str());
    std::printf("faults: %s\n", rep.faults.empty() ? "none" : "");
    for (const std::string& f : rep.faults) std::printf("  %s\n", f.c_str());
  }
  const TocInfo& t = rep.toc;
  if (t.found) {
    std::printf("TOC: block %u (sector %llu): signature %s, sector count %u (offset 60), first block %u (offset 176)\n",
                t.block, static_cast<unsigned long long>(uint64_t(t.block) * kBootSectorsPerBlock),
                HexBytes(t.sector.data, 4).c_str(), t.sectorCount, t.firstBlock);
    if (t.sector.NeededEcc()) std::printf("  TOC sector: %s\n", t.sector.Describe().c_str());
  } else {
    std::printf("TOC: not found: %s\n", t.problem.c_str());
  }
  const AreaReport& a = rep.area;
  if (!a.present) {
    std::printf("boot area: none (give --area BLOCK:SECTORS to look at sectors anyway)\n");
  } else {
    const uint64_t first = a.area.FirstSector();
    std::printf("boot area%s: block %u, %u sectors (%llu blocks)", a.fromOption ? " (--area)" : "", a.area.firstBlock,
                a.area.sectorCount, static_cast<unsigned long long>(a.area.Blocks()));
    if (a.area.sectorCount)
      std::printf(", sectors %llu..%llu", static_cast<unsigned long long>(first),
                  static_cast<unsigned long long>(first + a.area.sectorCount - 1));
    std::printf("\n");
    if (!a.usable) std::printf("  the device would not use it: %s\n", a.problem.c_str());
    std::printf(
        "area sectors: %llu checked: %llu clean, %llu erased, %llu corrected, %llu uncorrectable, "
        "%llu wrong spare record\n",
        static_cast<unsigned long long>(a.checked), static_cast<unsigned long long>(a.counts[int(SectorState::kClean)]),
        static_cast<unsigned long long>(a.counts[int(SectorState::kErased)]),
        static_cast<unsigned long long>(a.counts[int(SectorState::kCorrected)]),
        static_cast<unsigned long long>(a.counts[int(SectorState::kUncorrectable)]),
        static_cast<unsigned long long>(a.counts[int(SectorState::kWrongSpare)]));
    for (const auto& r : a.erasedRanges)
      std::printf("  erased: index %llu..%llu (sectors %llu..%llu)\n", static_cast<unsigned long long>(r.first),
                  static_cast<unsigned long long>(r.second), static_cast<unsigned long long>(first + r.first),
                  static_cast<unsigned long long>(first + r.second));
    for (const auto& e : a.notClean)
      std::printf("  index %llu (sector %llu): %s: %s\n", static_cast<unsigned long long>(e.index),
                  static_cast<unsigned long long>(first + e.index), SectorStateName(e.state), e.detail.c_str());
    if (a.truncated) std::printf("  ... (only the first %zu listed)\n", kMaxListedSectors);
  }
  if (img.IsDevice()) {
    if (!rep.haveRecord) {
      std::printf("record: %s\n", rep.recordError.c_str());
      return;
    }
    const sim::DeviceRecord& r = rep.record;
    std::printf("protocol checker: %llu violation%s\n", static_cast<unsigned long long>(r.violationCount),
                r.violationCount == 1 ? "" : "s");
    for (const std::string& v : r.violations) std::printf("  %s\n", v.c_str());
    if (r.violations.size() < r.violationCount)
      std::printf("  ... (%llu more not kept)\n",
                  static_cast<unsigned long long>(r.violationCount - r.violations.size()));
    std::printf(
        "simulated clock: %llu ns (chip busy %llu ns); chip operations since the last program start: %llu; "
        "power %s\n",
        static_cast<unsigned long long>(r.clockNs), static_cast<unsigned long long>(r.chipBusyNs),
        static_cast<unsigned long long>(r.chipOps), r.poweredOff ? "lost" : "on");
  }
}

// The "area" key of --json.
nlohmann::ordered_json AreaJson(const AreaReport& a) {
  using Json = nlohmann::ordered_json;
  if (!a.present) return nullptr;
  Json area;
  area["source"] = a.fromOption ? "option" : "toc";
  area["firstBlock"] = a.area.firstBlock;
  area["sectorCount"] = a.area.sectorCount;
  area["firstSector"] = a.area.FirstSector();
  area["blocks"] = a.area.Blocks();
  area["usable"] = a.usable;
  area["problem"] = a.usable ? Json() : Json(a.problem);
  area["checked"] = a.checked;
  area["counts"] = {{"erased", a.counts[int(SectorState::kErased)]},
                    {"clean", a.counts[int(SectorState::kClean)]},
                    {"corrected", a.counts[int(SectorState::kCorrected)]},
                    {"uncorrectable", a.counts[int(SectorState::kUncorrectable)]},
                    {"wrongSpare", a.counts[int(SectorState::kWrongSpare)]}};
  Json ranges = Json::array();
  for (const auto& r : a.erasedRanges) ranges.push_back({r.first, r.second});
  area["erasedRanges"] = std::move(ranges);
  Json notClean = Json::array();
  for (const auto& e : a.notClean)
    notClean.push_back({{"index", e.index},
                        {"sector", a.area.FirstSector() + e.index},
                        {"state", SectorStateName(e.state)},
                        {"detail", e.detail}});
  area["notClean"] = std::move(notClean);
  area["notCleanTruncated"] = a.truncated;
  return area;
}

void PrintJson(const NandImage& img, const InspectReport& rep) {
  using Json = nlohmann::ordered_json;
  const sim::ChipShape& s = img.Shape();
  Json o;
  o["path"] = img.Path();
  o["kind"] = img.IsDevice() ? "device" : "image";
  o["image"] = img.ImagePath();
  o["chip"] = {{"id", FormatChipId(img.Chip())},
               {"maker", img.Chip().maker},
               {"device", img.Chip().device},
               {"known", s.known},
               {"largePage", s.largePage},
               {"pageData", s.pageData},
               {"pageSpare", s.pageSpare},
               {"pagesPerBlock", s.pagesPerBlock},
               {"blocks", s.blocks},
               {"imageBytes", s.ImageBytes()}};
  if (img.IsDevice()) {
    o["badBlocks"] = img.Config().badBlocks;
    o["faults"] = rep.faults;
  } else {
    o["badBlocks"] = nullptr;
    o["faults"] = nullptr;
  }

  const TocInfo& t = rep.toc;
  Json toc;
  toc["found"] = t.found;
  toc["marked"] = t.marked;
  toc["block"] = t.marked ? Json(t.block) : Json();
  toc["sector"] = t.marked ? Json(uint64_t(t.block) * kBootSectorsPerBlock) : Json();
  toc["signature"] = t.marked ? Json(HexBytes(t.sector.data, 4)) : Json();
  toc["ecc"] = !t.marked                                          ? Json()
               : t.sector.NeededEcc() || t.sector.Uncorrectable() ? Json(t.sector.Describe())
                                                                  : Json("");
  toc["sectorCount"] = t.found ? Json(t.sectorCount) : Json();
  toc["firstBlock"] = t.found ? Json(t.firstBlock) : Json();
  toc["problem"] = t.found ? Json() : Json(t.problem);
  o["toc"] = std::move(toc);

  o["area"] = AreaJson(rep.area);

  if (!img.IsDevice()) {
    o["record"] = nullptr;
  } else {
    const sim::DeviceRecord& r = rep.record;
    o["record"] = {{"clockNs", r.clockNs},
                   {"chipBusyNs", r.chipBusyNs},
                   {"chipOps", r.chipOps},
                   {"poweredOff", r.poweredOff},
                   {"violationCount", r.violationCount},
                   {"violations", r.violations},
                   {"error", rep.haveRecord ? Json() : Json(rep.recordError)}};
  }
  // Paths and texts from the flash need not be UTF-8: such bytes come out as U+FFFD.
  const std::string text = o.dump(-1, ' ', false, Json::error_handler_t::replace) + "\n";
  std::fputs(text.c_str(), stdout);
}

int RunInspect(const InspectArgs& a) {
  const std::optional<std::string>& map = a.map;
  if (map && a.json) throw UsageError("--map and --json: one or the other");
  NandImage img = OpenSource(a.source, a.chip, false);
  std::optional<AreaChoice> given;
  if (a.area) given = ParseAreaChoice(*a.area);
  InspectReport rep = InspectImage(img, given);
  if (map) {
    std::vector<BlockKind> blocks = MapBlocks(img, rep);
    if (blocks.empty()) throw InputError("--map: only small-page chips are drawn");
    if (map->empty()) {
      std::fputs(TextMap(blocks).c_str(), stdout);
    } else {
      WriteMapPng(*map, blocks);
      std::printf("map: %s (%zu blocks)\n", map->c_str(), blocks.size());
    }
  } else if (a.json)
    PrintJson(img, rep);
  else
    PrintText(img, rep);
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
  cl.OptionalValue("--map", "FILE.png", "the chip as a map of blocks instead: text, or a picture in FILE.png (below)",
                   &a->map);
  return [a] { return RunInspect(*a); };
}

}  // namespace

extern const Command kInspectCommand = {"inspect", Declare};

}  // namespace devsim
