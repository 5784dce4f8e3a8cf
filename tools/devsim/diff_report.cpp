// devsim diff's comparison: the parts of a raw page, two flashes read page by
// page against each other, and the report written out as text and as JSON.
#include "tools/devsim/diff_report.h"

#include <array>
#include <cstring>
#include <filesystem>

#include <nlohmann/json.hpp>

#include "ecc/ecc.h"
#include "tools/devsim/device_ops.h"

namespace devsim {
namespace {

struct KindNames {
  const char* text;
  const char* key;
};
// In the order of DiffKind's bits.
const KindNames kKindNames[kDiffKinds] = {
    {"data", "data"},
    {"spare record", "spareRecord"},
    {"ECC", "ecc"},
    {"other spare", "otherSpare"},
};

// The part of the page each raw byte belongs to, from the sector's layout.
const std::array<uint8_t, kRawPageBytes>& ByteKinds() {
  static const std::array<uint8_t, kRawPageBytes> table = [] {
    std::array<uint8_t, kRawPageBytes> t;
    t.fill(kDiffOtherSpare);
    for (uint32_t i = 0; i < kSectorBytes; ++i) t[i] = kDiffData;
    for (uint32_t i = 0; i < kSpareRecordBytes; ++i) t[kSectorBytes + kSpareRecord + i] = kDiffSpareRecord;
    for (uint32_t code : {kSpareEcc0, kSpareEcc1})
      for (uint32_t i = 0; i < ECC_CODE_SIZE; ++i) t[kSectorBytes + code + i] = kDiffEcc;
    return t;
  }();
  return table;
}

std::string U(uint64_t v) { return std::to_string(v); }

std::string Geometry(const NandImage& img) {
  const sim::ChipShape& s = img.Shape();
  return "chip " + FormatChipId(img.Chip()) + " (" + U(s.blocks) + " blocks of " + U(s.pagesPerBlock) + " pages of " +
         U(s.pageData) + "+" + U(s.pageSpare) + " bytes)";
}

std::string CannotCompare(const std::string& a, const std::string& b, const std::string& why) {
  return "cannot compare " + a + " and " + b + ": " + why;
}

// "data, spare record, ECC"
std::string KindList(uint8_t kinds) {
  std::string out;
  for (int i = 0; i < kDiffKinds; ++i)
    if (kinds & (1 << i)) out += (out.empty() ? "" : ", ") + std::string(kKindNames[i].text);
  return out;
}

}  // namespace

const char* DiffKindName(int i) { return kKindNames[i].text; }
const char* DiffKindKey(int i) { return kKindNames[i].key; }

uint8_t PageDiffKinds(const uint8_t* a, const uint8_t* b) {
  if (std::memcmp(a, b, kRawPageBytes) == 0) return 0;
  const std::array<uint8_t, kRawPageBytes>& kinds = ByteKinds();
  uint8_t out = 0;
  for (uint32_t i = 0; i < kRawPageBytes; ++i)
    if (a[i] != b[i]) out |= kinds[i];
  return out;
}

DiffPair OpenDiffPair(const std::string& a, const std::string& b, const std::optional<std::string>& chip) {
  // --chip shapes a bare image; a device's chip is in its nand.cfg.
  auto open = [&](const std::string& path) {
    std::error_code ec;
    const bool device = std::filesystem::is_directory(path, ec);
    try {
      return OpenSource(path, device ? std::nullopt : chip, false);
    } catch (const InputError& e) {
      throw InputError(CannotCompare(a, b, e.what()));
    }
  };
  DiffPair pair{open(a), open(b)};
  CheckComparable(pair.a, pair.b);
  return pair;
}

void CheckComparable(const NandImage& a, const NandImage& b) {
  for (const NandImage* img : {&a, &b})
    if (!img->SmallPage())
      throw InputError(CannotCompare(a.Path(), b.Path(),
                                     img->Path() + " is " + Geometry(*img) + ", whose pages are not " +
                                         U(kSectorBytes) + "-byte sectors with their spare; only those are compared"));
  const sim::ChipShape &x = a.Shape(), &y = b.Shape();
  if (x.blocks != y.blocks || x.pagesPerBlock != y.pagesPerBlock || x.pageData != y.pageData ||
      x.pageSpare != y.pageSpare)
    throw InputError(
        CannotCompare(a.Path(), b.Path(), a.Path() + " is " + Geometry(a) + ", " + b.Path() + " is " + Geometry(b)));
}

DiffReport DiffImages(const NandImage& a, const NandImage& b) {
  CheckComparable(a, b);
  DiffReport rep;
  const uint32_t perBlock = a.Shape().pagesPerBlock;
  uint8_t pa[kRawPageBytes], pb[kRawPageBytes];
  std::string error;
  for (uint64_t page = 0; page < a.Shape().Pages(); ++page) {
    if (!a.ReadPage(page, pa, &error) || !b.ReadPage(page, pb, &error)) throw InputError(error);
    const uint8_t kinds = PageDiffKinds(pa, pb);
    if (!kinds) continue;
    ++rep.pages;
    for (int i = 0; i < kDiffKinds; ++i) rep.kindPages[i] += (kinds >> i) & 1;
    const uint32_t block = uint32_t(page / perBlock);
    if (rep.blocks.empty() || rep.blocks.back().block != block) rep.blocks.push_back(DiffBlock{block, {}});
    std::vector<DiffRange>& ranges = rep.blocks.back().ranges;
    if (!ranges.empty() && ranges.back().last + 1 == page && ranges.back().kinds == kinds)
      ranges.back().last = page;
    else
      ranges.push_back(DiffRange{page, page, kinds});
  }
  return rep;
}

std::vector<bool> ChangedBlocks(const NandImage& img, const DiffReport& rep) {
  std::vector<bool> out(img.Shape().blocks, false);
  for (const DiffBlock& b : rep.blocks) out[b.block] = true;
  return out;
}

std::string DiffText(const NandImage& a, const NandImage& b, const DiffReport& rep) {
  if (rep.Equal())
    return "no page differs: " + a.Path() + " and " + b.Path() + " hold the same " + U(a.Shape().Pages()) +
           " pages (chip " + FormatChipId(a.Chip()) + ")\n";
  std::string out;
  for (const DiffBlock& blk : rep.blocks) {
    out += "block " + U(blk.block) + ":";
    const char* sep = " ";
    for (const DiffRange& r : blk.ranges) {
      out += sep;
      out += r.first == r.last ? "page " + U(r.first) : "pages " + U(r.first) + ".." + U(r.last);
      out += " " + KindList(r.kinds);
      sep = "; ";
    }
    out += "\n";
  }
  out += U(rep.pages) + (rep.pages == 1 ? " page differs in " : " pages differ in ") + U(rep.blocks.size()) +
         (rep.blocks.size() == 1 ? " block: " : " blocks: ");
  // The three parts the device writes always; the bytes it leaves alone only
  // when something changed them.
  for (int i = 0; i < kDiffKinds; ++i)
    if ((1 << i) != kDiffOtherSpare || rep.kindPages[i])
      out += (i ? ", " : "") + std::string(kKindNames[i].text) + " " + U(rep.kindPages[i]);
  return out + "\n";
}

std::string DiffJson(const NandImage& a, const NandImage& b, const DiffReport& rep,
                     const std::optional<std::string>& map) {
  using Json = nlohmann::ordered_json;
  const sim::ChipShape& s = a.Shape();
  auto side = [](const NandImage& img) {
    return Json{{"path", img.Path()},
                {"kind", img.IsDevice() ? "device" : "image"},
                {"image", img.ImagePath()},
                {"chip", FormatChipId(img.Chip())}};
  };
  Json o;
  o["a"] = side(a);
  o["b"] = side(b);
  o["chip"] = {{"id", FormatChipId(a.Chip())},     {"pageData", s.pageData}, {"pageSpare", s.pageSpare},
               {"pagesPerBlock", s.pagesPerBlock}, {"blocks", s.blocks},     {"pages", s.Pages()}};
  o["equal"] = rep.Equal();
  Json counts = {{"pages", rep.pages}, {"blocks", rep.blocks.size()}};
  for (int i = 0; i < kDiffKinds; ++i) counts[kKindNames[i].key] = rep.kindPages[i];
  o["counts"] = std::move(counts);
  Json blocks = Json::array();
  for (const DiffBlock& blk : rep.blocks) {
    Json ranges = Json::array();
    for (const DiffRange& r : blk.ranges) {
      Json kinds = Json::array();
      for (int i = 0; i < kDiffKinds; ++i)
        if (r.kinds & (1 << i)) kinds.push_back(kKindNames[i].key);
      ranges.push_back({{"first", r.first}, {"last", r.last}, {"kinds", std::move(kinds)}});
    }
    blocks.push_back({{"block", blk.block}, {"ranges", std::move(ranges)}});
  }
  o["blocks"] = std::move(blocks);
  o["map"] = map ? Json(*map) : Json();
  // Paths need not be UTF-8: such bytes come out as U+FFFD.
  return o.dump(-1, ' ', false, Json::error_handler_t::replace) + "\n";
}

}  // namespace devsim
