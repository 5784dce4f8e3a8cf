// The chip's map as an SVG document: the same squares and colours as the
// PNG, with what a picture without words cannot say. Written as text: the
// title line, the grid of blocks with the first block number of each row,
// the TOC block, the area's first and last block and the first factory bad
// blocks outlined and named at the end of their row, the legend in words,
// and a hover title (<title>) on every block and every page of the strip.
//
// The strip under the grid shows the blocks around the TOC and the area a
// column a page, so a corrected or uncorrectable sector, the image's last
// written page and the area's end can be seen where the grid has one square
// for 32 pages.
#include <algorithm>
#include <cstdio>
#include <map>

#include "tools/devsim/block_map.h"

namespace devsim {
namespace {

// The grid: squares of kSquare pixels kCell apart, 64 a row, row numbers to
// their left, labels to their right.
constexpr unsigned kPerRow = 64, kCell = 11, kSquare = 10;
constexpr unsigned kMargin = 12, kRowNumbers = 44, kLabelsWidth = 400;
constexpr unsigned kGridX = kMargin + kRowNumbers, kGridY = 52;
constexpr unsigned kWidth = kGridX + kPerRow * kCell + 14 + kLabelsWidth + kMargin;
// The strip: a column of kPageWidth pixels a page, blocks kBlockGap apart,
// kStripBlocks blocks a row with their numbers under them.
constexpr unsigned kPageWidth = 3, kPageHeight = 20, kBlockGap = 8, kStripBlocks = 8, kStripRow = kPageHeight + 30;
// The bar over the strip's pages that belong to the boot area: where it ends
// is plain even when its last block is partly its.
const uint8_t kAreaBarRgb[3] = {20, 90, 40};
constexpr unsigned kAreaBarHeight = 3;
// At most this many factory bad blocks are named; the others are counted.
constexpr size_t kNamedBadBlocks = 6;

std::string Escaped(const std::string& text) {
  std::string out;
  for (char c : text) {
    switch (c) {
      case '&':
        out += "&amp;";
        break;
      case '<':
        out += "&lt;";
        break;
      case '>':
        out += "&gt;";
        break;
      case '"':
        out += "&quot;";
        break;
      default:
        out += c;
    }
  }
  return out;
}

std::string Colour(const uint8_t* rgb) {
  char buf[8];
  std::snprintf(buf, sizeof(buf), "#%02x%02x%02x", rgb[0], rgb[1], rgb[2]);
  return buf;
}

std::string Num(uint64_t n) { return std::to_string(n); }

std::string Text(unsigned x, unsigned y, const std::string& cls, const std::string& text,
                 const char* anchor = "start") {
  return "<text class=\"" + cls + "\" x=\"" + Num(x) + "\" y=\"" + Num(y) + "\" text-anchor=\"" + anchor + "\">" +
         Escaped(text) + "</text>\n";
}

std::string Rect(const std::string& cls, unsigned x, unsigned y, unsigned w, unsigned h, const std::string& fill,
                 const std::string& extra = "") {
  return "<rect class=\"" + cls + "\" x=\"" + Num(x) + "\" y=\"" + Num(y) + "\" width=\"" + Num(w) + "\" height=\"" +
         Num(h) + "\" fill=\"" + fill + "\"" + extra;
}

std::string WithTitle(const std::string& open, const std::string& title) {
  return open + "><title>" + Escaped(title) + "</title></rect>\n";
}

// The size of a chip as a person says it.
std::string ChipSize(const sim::ChipShape& s) {
  const uint64_t bytes = s.Pages() * s.pageData;
  return bytes % (1u << 20) == 0 ? Num(bytes >> 20) + " MiB" : Num(bytes >> 10) + " KiB";
}

std::string AreaWords(const ChipMap& map) {
  if (!map.area) return "no boot area";
  const BootArea& a = *map.area;
  return "boot area at block " + Num(a.firstBlock) + ", " + Num(a.sectorCount) + " sectors (blocks " +
         Num(a.firstBlock) + "-" + Num(a.firstBlock + a.Blocks() - 1) + ")";
}

std::string TitleLine(const ChipMap& map) {
  return "Chip " + FormatChipId(map.chip) + ", " + ChipSize(map.shape) + " (" + Num(map.blocks.size()) + " blocks of " +
         Num(map.shape.pagesPerBlock) + " pages); " + AreaWords(map) + "; " +
         (map.tocBlock ? "TOC at block " + Num(*map.tocBlock) : std::string("no TOC"));
}

// What a block's hover title says: its number and kind, an area block's
// sectors, and its mark.
std::string BlockTitle(const ChipMap& map, uint32_t b, bool marked) {
  std::string t = "block " + Num(b) + ": " + LookOf(map.blocks[b]).name;
  if (map.area && b >= map.area->firstBlock && b - map.area->firstBlock < map.areaCounts.size() &&
      map.blocks[b] != BlockKind::kToc && map.blocks[b] != BlockKind::kBad) {
    const std::array<uint32_t, 5>& n = map.areaCounts[b - map.area->firstBlock];
    const uint32_t erased = n[int(SectorState::kErased)], wrong = n[int(SectorState::kWrongSpare)];
    uint32_t all = 0;
    for (uint32_t c : n) all += c;
    t += "; sectors: " + Num(all - erased) + " written, " + Num(erased) + " erased, " +
         Num(n[int(SectorState::kCorrected)]) + " corrected, " + Num(n[int(SectorState::kUncorrectable)]) +
         " uncorrectable";
    if (wrong) t += ", " + Num(wrong) + " with a wrong spare record";
  }
  if (marked) t += "; " + std::string(kMarkLook.name);
  return t;
}

// The blocks named beside the grid, each with what it is, by block.
std::map<uint32_t, std::string> Labels(const ChipMap& map) {
  std::map<uint32_t, std::string> labels;
  auto add = [&labels](uint32_t b, const std::string& what) {
    std::string& l = labels[b];
    l += (l.empty() ? "" : ", ") + what;
  };
  if (map.tocBlock) add(*map.tocBlock, "TOC");
  if (map.area) {
    const uint32_t last = uint32_t(map.area->firstBlock + map.area->Blocks() - 1);
    add(map.area->firstBlock, last == map.area->firstBlock ? "boot area" : "boot area, first block");
    if (last != map.area->firstBlock) add(last, "boot area, last block");
  }
  for (size_t i = 0; i < map.badBlocks.size() && i < kNamedBadBlocks; ++i) add(map.badBlocks[i], "factory bad");
  return labels;
}

// A legend: a square and the words of each look, three to a row, from y on;
// returns the y under it.
unsigned Legend(std::string* out, unsigned y, const std::string& heading, const std::vector<const MapLook*>& looks,
                const std::vector<bool>& framed) {
  *out += Text(kMargin, y, "legend-heading", heading);
  y += 8;
  const unsigned column = (kWidth - 2 * kMargin) / 3;
  for (size_t i = 0; i < looks.size(); ++i) {
    const unsigned x = kMargin + unsigned(i % 3) * column, top = y + unsigned(i / 3) * 20;
    const std::string fill = framed[i] ? "#ffffff" : Colour(looks[i]->rgb);
    const std::string stroke = framed[i] ? " stroke=\"" + Colour(kMarkLook.rgb) + "\" stroke-width=\"2\"" : "";
    *out += Rect("legend-square", x, top, 12, 12, fill, stroke) + "/>\n";
    *out += Text(x + 18, top + 11, "legend", looks[i]->name);
  }
  return y + unsigned((looks.size() + 2) / 3) * 20 + 10;
}

// The strip of blocks around the TOC and the area, from y on; returns the y
// under it.
unsigned Strip(std::string* out, unsigned y, const ChipMap& map) {
  const uint32_t ppb = map.shape.pagesPerBlock, n = map.ZoomBlocks(), last = map.zoomFirst + n - 1;
  *out += Text(kMargin, y, "strip-heading",
               "Blocks " + Num(map.zoomFirst) + " to " + Num(last) + " page by page (a column a page, " + Num(ppb) +
                   " pages a block; the bar over them: the boot area's sectors)");
  y += 14;
  const unsigned blockWidth = ppb * kPageWidth;
  for (uint32_t i = 0; i < n; ++i) {
    const uint32_t b = map.zoomFirst + i;
    const unsigned x0 = kMargin + (i % kStripBlocks) * (blockWidth + kBlockGap),
                   y0 = y + (i / kStripBlocks) * kStripRow;
    *out += "<g class=\"strip-block\">\n";
    if (map.area) {
      // The block's pages that are sectors of the area.
      const uint64_t first = std::max<uint64_t>(map.area->FirstSector(), uint64_t(b) * ppb);
      const uint64_t end = std::min<uint64_t>(map.area->FirstSector() + map.area->sectorCount, uint64_t(b + 1) * ppb);
      if (first < end)
        *out +=
            WithTitle(Rect("area-bar", x0 + unsigned(first - uint64_t(b) * ppb) * kPageWidth, y0 - kAreaBarHeight - 2,
                           unsigned(end - first) * kPageWidth, kAreaBarHeight, Colour(kAreaBarRgb)),
                      "boot area: sectors " + Num(first) + "-" + Num(end - 1));
    }
    for (uint32_t p = 0; p < ppb; ++p) {
      const PageKind k = map.zoomPages[size_t(i) * ppb + p];
      *out += WithTitle(
          Rect("page", x0 + p * kPageWidth, y0, kPageWidth, kPageHeight, Colour(LookOf(k).rgb)),
          "block " + Num(b) + " page " + Num(p) + " (sector " + Num(uint64_t(b) * ppb + p) + "): " + LookOf(k).name);
    }
    *out += Text(x0 + blockWidth / 2, y0 + kPageHeight + 14, "strip-block-number", Num(b), "middle");
    *out += "</g>\n";
  }
  y += ((n + kStripBlocks - 1) / kStripBlocks) * kStripRow + 14;
  std::vector<const MapLook*> looks;
  for (int k = 0; k < kPageKinds; ++k) looks.push_back(&LookOf(PageKind(k)));
  return Legend(out, y, "Pages:", looks, std::vector<bool>(looks.size(), false));
}

}  // namespace

std::string SvgMap(const ChipMap& map, const BlockMarks& marked) {
  std::string body;
  const std::string title = TitleLine(map);
  body += Text(kMargin, 22, "title", title);
  body += Text(kMargin, 40, "subtitle",
               "One square a block, " + Num(kPerRow) +
                   " a row, each row led by its first block number; hover a square for its block");

  const unsigned rows = unsigned((map.blocks.size() + kPerRow - 1) / kPerRow);
  for (unsigned r = 0; r < rows; ++r)
    body += Text(kGridX - 6, kGridY + r * kCell + kSquare - 1, "row-number", Num(uint64_t(r) * kPerRow), "end");
  const std::string frame = " stroke=\"" + Colour(kMarkLook.rgb) + "\" stroke-width=\"2\"";
  for (uint32_t b = 0; b < map.blocks.size(); ++b) {
    const bool isMarked = b < marked.size() && marked[b];
    const unsigned x = kGridX + (b % kPerRow) * kCell, y = kGridY + (b / kPerRow) * kCell;
    // A framed square's stroke lies inside its cell: drawn one pixel in.
    const std::string open =
        isMarked ? Rect("block", x + 1, y + 1, kSquare - 2, kSquare - 2, Colour(LookOf(map.blocks[b]).rgb), frame)
                 : Rect("block", x, y, kSquare, kSquare, Colour(LookOf(map.blocks[b]).rgb));
    body += WithTitle(open + " data-block=\"" + Num(b) + "\"", BlockTitle(map, b, isMarked));
  }

  // The named blocks: outlined, and named at the end of their row.
  std::map<unsigned, std::string> byRow;
  for (const auto& [b, what] : Labels(map)) {
    const unsigned x = kGridX + (b % kPerRow) * kCell, y = kGridY + (b / kPerRow) * kCell;
    body += Rect("label-outline", x - 1, y - 1, kSquare + 2, kSquare + 2, "none",
                 " stroke=\"#000000\" stroke-width=\"1\"/>\n");
    std::string& line = byRow[b / kPerRow];
    line += (line.empty() ? "" : "; ") + Num(b) + " " + what;
  }
  for (const auto& [row, line] : byRow)
    body += Text(kGridX + kPerRow * kCell + 14, kGridY + row * kCell + kSquare - 1, "label", "\u25c0 " + line);

  unsigned y = kGridY + rows * kCell + 8;
  if (map.badBlocks.size() > kNamedBadBlocks) {
    y += 12;
    body += Text(kGridX, y, "label",
                 "factory bad blocks: " + Num(map.badBlocks.size()) + " (the first " + Num(kNamedBadBlocks) +
                     " named) and " + Num(map.badBlocks.size() - kNamedBadBlocks) + " more");
  }
  y += 22;
  std::vector<const MapLook*> looks;
  for (int k = 0; k < kBlockKinds; ++k) looks.push_back(&LookOf(BlockKind(k)));
  std::vector<bool> framed(looks.size(), false);
  if (!marked.empty()) {
    looks.push_back(&kMarkLook);
    framed.push_back(true);
  }
  y = Legend(&body, y, "Blocks:", looks, framed);
  if (!map.zoomPages.empty()) y = Strip(&body, y + 10, map);

  const std::string height = Num(y + kMargin), width = Num(kWidth);
  return "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
         "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"" +
         width + "\" height=\"" + height + "\" viewBox=\"0 0 " + width + " " + height +
         "\" font-family=\"sans-serif\" font-size=\"12\">\n<title>" + Escaped(title) +
         "</title>\n<style>.title{font-size:15px;font-weight:bold}.subtitle,.row-number,.strip-block-number{fill:#555}"
         ".legend-heading,.strip-heading{font-weight:bold}</style>\n"
         "<rect width=\"100%\" height=\"100%\" fill=\"#ffffff\"/>\n" +
         body + "</svg>\n";
}

}  // namespace devsim
