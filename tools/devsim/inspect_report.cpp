// devsim inspect's report written out: the lines of text a person reads, and
// the one JSON object a program reads (its keys are listed in inspect's help).
#include <cstdarg>
#include <cstdio>
#include <utility>

#include <nlohmann/json.hpp>

#include "sim/device_record.h"
#include "tools/devsim/device_ops.h"

namespace devsim {
namespace {

// printf onto the end of *out.
__attribute__((format(printf, 2, 3))) void Appendf(std::string* out, const char* format, ...) {
  va_list args, again;
  va_start(args, format);
  va_copy(again, args);
  const int n = std::vsnprintf(nullptr, 0, format, args);
  va_end(args);
  if (n > 0) {
    const size_t at = out->size();
    out->resize(at + size_t(n) + 1);
    std::vsnprintf(&(*out)[at], size_t(n) + 1, format, again);
    out->resize(at + size_t(n));
  }
  va_end(again);
}

std::string U(uint64_t v) { return std::to_string(v); }

}  // namespace

std::string InspectText(const NandImage& img, const InspectReport& rep) {
  std::string out;
  const sim::ChipShape& s = img.Shape();
  Appendf(&out, "%s %s\n", img.IsDevice() ? "device" : "image", img.Path().c_str());
  Appendf(&out, "chip: %s%s, %llu MiB: %u blocks of %u pages of %u+%u bytes; %s %llu bytes\n",
          FormatChipId(img.Chip()).c_str(), s.known ? "" : " (not in the chip table)",
          static_cast<unsigned long long>(uint64_t(s.blocks) * s.pagesPerBlock * s.pageData >> 20), s.blocks,
          s.pagesPerBlock, s.pageData, s.pageSpare, img.ImagePath().c_str(),
          static_cast<unsigned long long>(s.ImageBytes()));
  if (img.IsDevice()) {
    std::string bad;
    for (uint32_t b : img.Config().badBlocks) bad += (bad.empty() ? "" : ", ") + U(b);
    Appendf(&out, "factory bad blocks: %s\n", bad.empty() ? "none" : bad.c_str());
    Appendf(&out, "faults: %s\n", rep.faults.empty() ? "none" : "");
    for (const std::string& f : rep.faults) Appendf(&out, "  %s\n", f.c_str());
  }
  const TocInfo& t = rep.toc;
  if (t.found) {
    Appendf(&out,
            "TOC: block %u (sector %llu): signature %s, sector count %u (offset 60), first block %u (offset 176)\n",
            t.block, static_cast<unsigned long long>(uint64_t(t.block) * kBootSectorsPerBlock),
            HexBytes(t.sector.data, 4).c_str(), t.sectorCount, t.firstBlock);
    if (t.sector.NeededEcc()) Appendf(&out, "  TOC sector: %s\n", t.sector.Describe().c_str());
  } else {
    Appendf(&out, "TOC: not found: %s\n", t.problem.c_str());
  }
  const AreaReport& a = rep.area;
  if (!a.present) {
    Appendf(&out, "boot area: none (give --area BLOCK:SECTORS to look at sectors anyway)\n");
  } else {
    const uint64_t first = a.area.FirstSector();
    Appendf(&out, "boot area%s: block %u, %u sectors (%llu blocks)", a.fromOption ? " (--area)" : "", a.area.firstBlock,
            a.area.sectorCount, static_cast<unsigned long long>(a.area.Blocks()));
    if (a.area.sectorCount)
      Appendf(&out, ", sectors %llu..%llu", static_cast<unsigned long long>(first),
              static_cast<unsigned long long>(first + a.area.sectorCount - 1));
    Appendf(&out, "\n");
    if (!a.usable) Appendf(&out, "  the device would not use it: %s\n", a.problem.c_str());
    Appendf(&out,
            "area sectors: %llu checked: %llu clean, %llu erased, %llu corrected, %llu uncorrectable, "
            "%llu wrong spare record\n",
            static_cast<unsigned long long>(a.checked),
            static_cast<unsigned long long>(a.counts[int(SectorState::kClean)]),
            static_cast<unsigned long long>(a.counts[int(SectorState::kErased)]),
            static_cast<unsigned long long>(a.counts[int(SectorState::kCorrected)]),
            static_cast<unsigned long long>(a.counts[int(SectorState::kUncorrectable)]),
            static_cast<unsigned long long>(a.counts[int(SectorState::kWrongSpare)]));
    for (const auto& r : a.erasedRanges)
      Appendf(&out, "  erased: index %llu..%llu (sectors %llu..%llu)\n", static_cast<unsigned long long>(r.first),
              static_cast<unsigned long long>(r.second), static_cast<unsigned long long>(first + r.first),
              static_cast<unsigned long long>(first + r.second));
    for (const auto& e : a.notClean)
      Appendf(&out, "  index %llu (sector %llu): %s: %s\n", static_cast<unsigned long long>(e.index),
              static_cast<unsigned long long>(first + e.index), SectorStateName(e.state), e.detail.c_str());
    if (a.truncated) Appendf(&out, "  ... (only the first %zu listed)\n", kMaxListedSectors);
  }
  if (img.IsDevice()) {
    if (!rep.haveRecord) {
      Appendf(&out, "record: %s\n", rep.recordError.c_str());
      return out;
    }
    const sim::DeviceRecord& r = rep.record;
    Appendf(&out, "protocol checker: %llu violation%s\n", static_cast<unsigned long long>(r.violationCount),
            r.violationCount == 1 ? "" : "s");
    for (const std::string& v : r.violations) Appendf(&out, "  %s\n", v.c_str());
    if (r.violations.size() < r.violationCount)
      Appendf(&out, "  ... (%llu more not kept)\n",
              static_cast<unsigned long long>(r.violationCount - r.violations.size()));
    Appendf(&out,
            "simulated clock: %llu ns (chip busy %llu ns); chip operations since the last program start: %llu; "
            "power %s\n",
            static_cast<unsigned long long>(r.clockNs), static_cast<unsigned long long>(r.chipBusyNs),
            static_cast<unsigned long long>(r.chipOps), r.poweredOff ? "lost" : "on");
  }
  return out;
}

namespace {

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

}  // namespace

std::string InspectJson(const NandImage& img, const InspectReport& rep) {
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
                   {"killAfterOps", r.killAfterOps >= 0 ? Json(r.killAfterOps) : Json()},
                   {"violationCount", r.violationCount},
                   {"violations", r.violations},
                   {"error", rep.haveRecord ? Json() : Json(rep.recordError)}};
  }
  Json warnings = Json::array();
  for (const Warning& w : rep.warnings) warnings.push_back(w.text);
  o["warnings"] = std::move(warnings);
  // Paths and texts from the flash need not be UTF-8: such bytes come out as U+FFFD.
  return o.dump(-1, ' ', false, Json::error_handler_t::replace) + "\n";
}

}  // namespace devsim
