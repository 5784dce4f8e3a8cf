// libFuzzer target: a chip's raw page+spare dump as devsim reads it, in
// process on the dump in memory: inspect (the report, its text and JSON, the
// map as text and as a picture), extract, verify, and create --from-image
// (the device's plan: TOC, bad blocks, its nand.cfg and what create prints).
//
// The input is the head of a dump (528 bytes a page, in page order); the rest
// of the chip reads erased, as on a dump of the smallest small-page chip of
// the chip table (16 MiB) that the head fits. So a few kilobytes hold a TOC,
// a boot area and bad-block marks where a whole dump would be megabytes.
//
// Beyond "no crash" it holds the commands to each other and to themselves:
//   - the input as a whole file of its size is refused with a message (no
//     chip has a dump that small), and the padded dump opens as that chip;
//   - inspect's report is the same read twice; its JSON parses and says what
//     the report says; its text names the image; its counts add up;
//   - the map has a square per block, the TOC where the report has it and the
//     bad blocks create finds; its picture is a PNG of the map's size;
//   - extract and verify find the boot area inspect finds; extract's counts
//     of its sectors are inspect's; the extracted data verifies exactly when
//     every sector of it is clean, and one bit changed never verifies;
//   - an area given by hand (--area) as the TOC names it is the same area;
//   - create --from-image finds the same TOC, lists its bad blocks in order,
//     never the TOC block nor the boot area, and writes a nand.cfg that reads
//     back to the same chip and bad blocks.
//
//   dump_fuzz CORPUS_DIR -dict=fuzz/dump_fuzz.dict    fuzz
//   dump_fuzz crash-FILE                              run one input again
#include <stddef.h>
#include <stdint.h>
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <fstream>
#include <iterator>
#include <optional>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "fuzz/reader_check.h"
#include "sim/nand_cfg.h"
#include "tools/devsim/block_map.h"
#include "tools/devsim/boot_area_reader.h"
#include "tools/devsim/device_ops.h"
#include "tools/devsim/nandimage.h"

namespace {

using namespace devsim;

// Sectors extract and verify take at most: the head of the area, as
// `extract --bytes` takes it (a TOC can name a whole chip of sectors).
constexpr uint64_t kMostSectors = 256;
static_assert(kMostSectors <= kMaxListedSectors, "inspect lists every sector extract takes");

struct Chip {
  ChipId id;
  std::vector<uint8_t> image;  // erased but for the head of the current input
  std::string png;             // where the map's picture goes
};
Chip* g_chip = nullptr;

// The head of the dump in the erased chip, for one run.
class Head {
 public:
  Head(const uint8_t* data, size_t size) : size_(std::min(size, g_chip->image.size())) {
    std::memcpy(g_chip->image.data(), data, size_);
  }
  ~Head() { std::memset(g_chip->image.data(), 0xFF, size_); }

 private:
  size_t size_;
};

void RemovePng() { unlink(g_chip->png.c_str()); }

// The state inspect gave the area's sector `index`, from its report (erased
// ranges, the sectors listed as not clean; clean otherwise).
SectorState ReportedState(const AreaReport& a, uint64_t index) {
  for (const auto& r : a.erasedRanges)
    if (index >= r.first && index <= r.second) return SectorState::kErased;
  for (const auto& e : a.notClean)
    if (e.index == index) return e.state;
  return SectorState::kClean;
}

void CheckJson(const std::string& json, const InspectReport& rep) {
  const nlohmann::json j = nlohmann::json::parse(json, nullptr, false);
  READER_CHECK(!j.is_discarded() && j.is_object(), "inspect --json: " + json);
  // (at() throws on a key that is missing: an uncaught exception is a finding too.)
  const nlohmann::json& toc = j.at("toc");
  READER_CHECK(j.at("kind") == "image" && toc.at("found") == rep.toc.found && toc.at("marked") == rep.toc.marked, json);
  const nlohmann::json& area = j.at("area");
  READER_CHECK(area.is_null() == !rep.area.present, json);
  if (rep.area.present) {
    READER_CHECK(area.at("checked") == rep.area.checked && area.at("usable") == rep.area.usable, json);
    READER_CHECK(area.at("notClean").size() == rep.area.notClean.size(), json);
  }
}

void CheckReport(const NandImage& img, const InspectReport& rep) {
  const TocInfo& t = rep.toc;
  READER_CHECK(t.found || !t.problem.empty(), "no TOC and no reason why");
  READER_CHECK(!t.found || t.marked, "a TOC in a block without the boot record");
  const AreaReport& a = rep.area;
  READER_CHECK(a.present == t.found && !a.fromOption, "an area without a TOC");
  if (!a.present) return;
  READER_CHECK(a.usable || !a.problem.empty(), "an area the device would not use, and no reason why");
  READER_CHECK(a.checked == a.area.SectorsInside(img.Shape().Pages()), "sectors checked");
  uint64_t sum = 0;
  for (uint64_t n : a.counts) sum += n;
  READER_CHECK(sum == a.checked, "the counts of the area's sectors do not add up");
  READER_CHECK(a.notClean.size() <= kMaxListedSectors &&
                   (a.truncated || a.notClean.size() == a.checked - a.counts[int(SectorState::kClean)] -
                                                            a.counts[int(SectorState::kErased)]),
               "sectors listed as not clean");
}

void CheckMap(const NandImage& img, const InspectReport& rep, const std::vector<BlockKind>& blocks) {
  READER_CHECK(blocks.size() == img.Shape().blocks, "a square per block");
  if (rep.toc.found) READER_CHECK(blocks[rep.toc.block] == BlockKind::kToc, "the TOC's square");
  const std::string text = TextMap(blocks);
  const size_t rows = (blocks.size() + 127) / 128;
  READER_CHECK(size_t(std::count(text.begin(), text.end(), '\n')) == rows + 1, text);

  // The picture: 64 squares of 6 pixels a row, a blank row, the legend row.
  WriteMapPng(g_chip->png, blocks);
  std::ifstream f(g_chip->png, std::ios::binary);
  const std::string png((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
  READER_CHECK(png.size() > 24 && png.compare(0, 8, "\x89PNG\r\n\x1a\n") == 0 && png.compare(12, 4, "IHDR") == 0,
               "the map's picture is no PNG");
  const uint8_t* ihdr = reinterpret_cast<const uint8_t*>(png.data()) + 16;
  const uint32_t width = uint32_t(ihdr[0]) << 24 | uint32_t(ihdr[1]) << 16 | uint32_t(ihdr[2]) << 8 | ihdr[3];
  const uint32_t height = uint32_t(ihdr[4]) << 24 | uint32_t(ihdr[5]) << 16 | uint32_t(ihdr[6]) << 8 | ihdr[7];
  READER_CHECK(width == 64 * 6 && height == ((blocks.size() + 63) / 64 + 2) * 6,
               "picture of " + std::to_string(width) + "x" + std::to_string(height));
}

// extract and verify on the head of the area the TOC names.
void CheckExtractAndVerify(const NandImage& img, const InspectReport& rep) {
  BootArea area;
  TocInfo toc;
  std::string problem;
  const bool usable = ResolveArea(img, std::nullopt, &area, &toc, &problem);
  READER_CHECK(usable == (rep.area.present && rep.area.usable), "extract finds another boot area than inspect");
  if (!usable) {
    READER_CHECK(!problem.empty(), "no boot area and no reason why");
    const VerifyResult v = VerifyBootImage(img, "image", std::string(1000, 'x'), std::nullopt);
    READER_CHECK(!v.ok && v.line == "verify: FAILED: no usable boot area: " + problem, v.line);
    return;
  }
  READER_CHECK(area.firstBlock == rep.area.area.firstBlock && area.sectorCount == rep.area.area.sectorCount,
               "extract's area is not inspect's");
  const uint64_t sectors = std::min<uint64_t>(area.sectorCount, kMostSectors);
  std::string data;
  const ExtractResult r = ExtractBootArea(img, area, sectors * kSectorBytes, [&data](const uint8_t* d, size_t n) {
    data.append(reinterpret_cast<const char*>(d), n);
  });
  READER_CHECK(r.sectors == sectors && data.size() == sectors * kSectorBytes, "extracted bytes");
  uint64_t counts[5] = {};
  for (uint64_t i = 0; i < sectors; ++i) counts[int(ReportedState(rep.area, i))]++;
  // (Inspect lists the first kMaxListedSectors sectors that are not clean,
  // more than kMostSectors: every one of these is listed.)
  READER_CHECK(r.erased == counts[int(SectorState::kErased)] &&
                   r.uncorrectable == counts[int(SectorState::kUncorrectable)] &&
                   r.wrongSpare == counts[int(SectorState::kWrongSpare)] && r.unreadable.size() == r.uncorrectable,
               "extract counts its sectors otherwise than inspect");

  const VerifyResult v = VerifyBootImage(img, "extracted", data, std::nullopt);
  const bool allClean = counts[int(SectorState::kClean)] == sectors;
  READER_CHECK(v.ok == allClean,
               v.line + "\n(every sector of the extracted data clean: " + (allClean ? "yes" : "no") + ")");
  if (sectors > 0) {
    std::string changed = data;
    changed[kSectorBytes / 2] = char(changed[kSectorBytes / 2] ^ 0x10);
    const VerifyResult w = VerifyBootImage(img, "changed", changed, std::nullopt);
    READER_CHECK(!w.ok && w.line.find("verify: FAILED: ") == 0, "one bit changed and still " + w.line);
  }

  // The same area given by hand.
  const AreaChoice given = ParseAreaChoice(std::to_string(area.firstBlock) + ":" + std::to_string(area.sectorCount));
  BootArea byHand;
  TocInfo toc2;
  READER_CHECK(ResolveArea(img, given, &byHand, &toc2, &problem) && byHand.firstBlock == area.firstBlock &&
                   byHand.sectorCount == area.sectorCount,
               "--area " + given.text + ": " + problem);
}

// create --from-image, up to the files it would write.
void CheckCreate(const NandImage& img, const InspectReport& rep, const std::vector<BlockKind>& blocks) {
  const DevicePlan plan = PlanDeviceFromImage("fuzz-device", img, true);
  READER_CHECK(plan.dump.has_value(), "a plan from a dump without its facts");
  const TocInfo& t = plan.dump->toc;
  READER_CHECK(t.found == rep.toc.found && t.marked == rep.toc.marked && t.block == rep.toc.block &&
                   t.sectorCount == rep.toc.sectorCount && t.firstBlock == rep.toc.firstBlock,
               "create finds another TOC than inspect");
  READER_CHECK(!t.found || plan.dump->areaUsable == rep.area.usable, "create judges the area otherwise than inspect");
  const std::vector<uint32_t>& bad = plan.recipe.badBlocks;
  for (size_t i = 0; i < bad.size(); ++i) {
    READER_CHECK(bad[i] < img.Shape().blocks && (i == 0 || bad[i - 1] < bad[i]), "bad blocks out of order");
    READER_CHECK(!(t.marked && bad[i] == t.block), "the TOC block listed as bad");
    READER_CHECK(!(t.found && plan.dump->areaUsable && bad[i] >= t.firstBlock &&
                   uint64_t(bad[i]) - t.firstBlock < BootArea{t.firstBlock, t.sectorCount}.Blocks()),
                 "a block of the boot area listed as bad");
  }
  std::vector<uint32_t> mapped;
  for (uint32_t b = 0; b < blocks.size(); ++b)
    if (blocks[b] == BlockKind::kBad) mapped.push_back(b);
  READER_CHECK(mapped == bad, "the map's bad blocks are not create's");
  READER_CHECK(DescribeDevice(plan).find("from image: dump copied as it is") != std::string::npos,
               DescribeDevice(plan));

  const sim::NandConfig cfg = NewDeviceConfig(plan);
  const std::string written = sim::FormatNandConfig(cfg);
  sim::NandConfig back;
  std::string error;
  READER_CHECK(sim::ParseNandConfig(written, "nand.cfg", &back, &error) && back.badBlocks == bad &&
                   back.maker == img.Chip().maker && back.device == img.Chip().device,
               "the device's nand.cfg reads back otherwise: " + error + "\n" + written);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  g_chip = new Chip;
  // The chip a dump's head is taken for: the smallest small-page chip.
  g_chip->id = devsim::SmallestSmallPageChip();
  g_chip->image.assign(sim::ChipShapeFor(g_chip->id.maker, g_chip->id.device).ImageBytes(), 0xFF);
  const char* tmp = getenv("TMPDIR");
  g_chip->png = std::string(tmp && *tmp ? tmp : "/tmp") + "/dump_fuzz-" + std::to_string(getpid()) + ".png";
  atexit(RemovePng);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size > g_chip->image.size()) return 0;  // more than the chip's dump
  {
    // The input as a whole dump: refused with a message, unless it is a whole dump.
    NandImage whole;
    std::string error;
    if (!whole.OpenBareBytes("input", data, size, std::nullopt, &error))
      READER_CHECK(error.find("input has " + std::to_string(size) + " bytes") == 0, error);
    else
      READER_CHECK(size == g_chip->image.size(), "a dump of " + std::to_string(size) + " bytes opened");
  }
  Head head(data, size);
  NandImage img;
  std::string error;
  READER_CHECK(img.OpenBareBytes("dump", g_chip->image.data(), g_chip->image.size(), std::nullopt, &error), error);
  READER_CHECK(img.Chip().maker == g_chip->id.maker && img.Chip().device == g_chip->id.device && img.SmallPage(),
               "the chip of the dump's size is " + FormatChipId(img.Chip()));

  const InspectReport rep = InspectImage(img, std::nullopt);
  CheckReport(img, rep);
  const std::string json = InspectJson(img, rep);
  CheckJson(json, rep);
  READER_CHECK(InspectJson(img, InspectImage(img, std::nullopt)) == json, "inspect read twice differs");
  const std::string text = InspectText(img, rep);
  READER_CHECK(text.compare(0, 11, "image dump\n") == 0, text);

  const std::vector<BlockKind> blocks = MapBlocks(img, rep);
  CheckMap(img, rep, blocks);
  CheckExtractAndVerify(img, rep);
  CheckCreate(img, rep, blocks);
  return 0;
}
