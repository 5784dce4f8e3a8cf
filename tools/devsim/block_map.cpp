#include "tools/devsim/block_map.h"

#include <png.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstring>

namespace devsim {
namespace {

// In the order of BlockKind.
const MapLook kLooks[kBlockKinds] = {
    {'.', {235, 235, 235}, "erased"},
    {'d', {150, 150, 150}, "other data"},
    {'X', {20, 20, 20}, "factory bad"},
    {'T', {40, 90, 220}, "TOC"},
    {'B', {40, 170, 70}, "boot area, written"},
    {'e', {170, 225, 180}, "boot area, erased"},
    {'c', {240, 180, 30}, "boot area, a sector corrected"},
    {'U', {220, 40, 40}, "boot area, a sector uncorrectable or with a wrong record"},
};

const MapLook& Look(BlockKind k) { return kLooks[int(k)]; }

// A page takes the colour of the block kind it would make alone; a wrong
// record, which a block shares with an uncorrectable sector, has its own.
// In the order of PageKind.
const MapLook kPageLooks[kPageKinds] = {
    {'.', {235, 235, 235}, "erased"},
    {'d', {150, 150, 150}, "data outside the boot area"},
    {'T', {40, 90, 220}, "TOC block, written"},
    {'B', {40, 170, 70}, "boot area, clean"},
    {'e', {170, 225, 180}, "boot area, erased"},
    {'c', {240, 180, 30}, "boot area, corrected"},
    {'U', {220, 40, 40}, "boot area, uncorrectable"},
    {'W', {120, 20, 110}, "boot area, wrong spare record"},
};

// The page kind of an area sector's state.
PageKind PageOfSector(SectorState s) {
  switch (s) {
    case SectorState::kErased:
      return PageKind::kAreaErased;
    case SectorState::kClean:
      return PageKind::kAreaClean;
    case SectorState::kCorrected:
      return PageKind::kAreaCorrected;
    case SectorState::kUncorrectable:
      return PageKind::kAreaUncorrectable;
    case SectorState::kWrongSpare:
      break;
  }
  return PageKind::kAreaWrongRecord;
}

// An area block from its sectors' counts by SectorState.
BlockKind AreaBlock(const std::array<uint32_t, 5>& n) {
  if (n[int(SectorState::kUncorrectable)] || n[int(SectorState::kWrongSpare)]) return BlockKind::kAreaUncorrectable;
  if (n[int(SectorState::kCorrected)]) return BlockKind::kAreaCorrected;
  return n[int(SectorState::kClean)] ? BlockKind::kAreaWritten : BlockKind::kAreaErased;
}

// A block outside the area: erased or data. With pages, every page's kind
// (toc: the TOC block's); without, the reading stops at the first written page.
BlockKind OtherBlock(const NandImage& img, uint32_t block, bool toc, std::vector<PageKind>* pages) {
  const size_t pageBytes = size_t(img.Shape().RawPageBytes());
  const uint32_t ppb = img.Shape().pagesPerBlock;
  thread_local std::vector<uint8_t> buffer;
  const std::vector<uint8_t> erased(pageBytes, 0xFF);
  std::string error;
  const uint8_t* raw = img.ReadPages(uint64_t(block) * ppb, ppb, &buffer, &error);
  if (!raw) throw InputError(error);
  BlockKind kind = BlockKind::kErased;
  for (uint32_t p = 0; p < ppb; ++p) {
    const bool written = std::memcmp(raw + size_t(p) * pageBytes, erased.data(), pageBytes) != 0;
    if (written) kind = BlockKind::kData;
    if (pages)
      pages->push_back(!written ? PageKind::kErased : toc ? PageKind::kToc : PageKind::kData);
    else if (written)
      break;
  }
  return kind;
}

}  // namespace

const MapLook kMarkLook = {'*', {200, 0, 200}, "framed: a page changed"};

const MapLook& LookOf(BlockKind k) { return kLooks[int(k)]; }
const MapLook& LookOf(PageKind k) { return kPageLooks[int(k)]; }

ChipMap MapChip(const NandImage& img, const InspectReport& rep) {
  ChipMap map;
  map.chip = img.Chip();
  map.shape = img.Shape();
  if (!img.SmallPage()) return map;
  const uint32_t blocks = img.Shape().blocks, ppb = img.Shape().pagesPerBlock;
  if (rep.toc.found) map.tocBlock = rep.toc.block;
  const AreaReport& a = rep.area;
  if (a.present && a.usable) map.area = a.area;
  const uint64_t areaFirst = map.area ? map.area->firstBlock : 0;
  const uint64_t areaEnd = map.area ? areaFirst + map.area->Blocks() : 0;

  // The area's blocks from the report's sector states (the sectors past the
  // area's end in its last block are not the area's, and not counted).
  if (map.area) {
    map.areaCounts.resize(size_t(areaEnd - areaFirst));
    for (size_t i = 0; i < a.states.size(); ++i) map.areaCounts[i / kBootSectorsPerBlock][int(a.states[i])]++;
  }

  // The neighbourhood the strip shows, when the chip is larger than it.
  uint64_t lo = UINT64_MAX, hi = 0;
  if (map.tocBlock) lo = hi = *map.tocBlock;
  if (map.area) lo = std::min(lo, areaFirst), hi = std::max(hi, areaEnd - 1);
  const bool zoom = lo != UINT64_MAX && hi + kZoomMargin + 1 < blocks;
  const uint64_t zoomFirst = zoom && lo > kZoomMargin ? lo - kZoomMargin : 0, zoomEnd = hi + kZoomMargin + 1;
  if (zoom) map.zoomFirst = uint32_t(zoomFirst);

  for (uint32_t b = 0; b < blocks; ++b) {
    const bool inZoom = zoom && b >= zoomFirst && b < zoomEnd;
    const bool isToc = map.tocBlock && b == *map.tocBlock;
    if (!isToc && map.area && b >= areaFirst && b < areaEnd) {
      map.blocks.push_back(AreaBlock(map.areaCounts[b - areaFirst]));
      if (!inZoom) continue;
      for (uint32_t p = 0; p < ppb; ++p) {
        const uint64_t i = uint64_t(b - areaFirst) * ppb + p;
        // A page of the area's last block past its sectors reads as other pages do.
        if (i < a.states.size()) {
          map.zoomPages.push_back(PageOfSector(a.states[i]));
        } else {
          std::vector<PageKind> rest;
          OtherBlock(img, b, false, &rest);
          map.zoomPages.insert(map.zoomPages.end(), rest.begin() + p, rest.end());
          break;
        }
      }
      continue;
    }
    const BlockKind k = OtherBlock(img, b, isToc, inZoom ? &map.zoomPages : nullptr);
    map.blocks.push_back(isToc ? BlockKind::kToc : k);
  }
  // Bad blocks by their marks, as a device made from a dump learns them (the
  // TOC block and the area are never taken for bad), and for a device those
  // its nand.cfg lists.
  for (uint32_t b : FindBadBlocks(img, rep.toc, a.present && a.usable)) map.blocks[b] = BlockKind::kBad;
  if (img.IsDevice())
    for (uint32_t b : img.Config().badBlocks)
      if (b < map.blocks.size()) map.blocks[b] = BlockKind::kBad;
  for (uint32_t b = 0; b < blocks; ++b)
    if (map.blocks[b] == BlockKind::kBad) map.badBlocks.push_back(b);
  return map;
}

std::vector<BlockKind> MapBlocks(const NandImage& img, const InspectReport& rep) { return MapChip(img, rep).blocks; }

std::string TextMap(const std::vector<BlockKind>& blocks, unsigned perRow) {
  std::string out;
  char head[32];
  for (size_t i = 0; i < blocks.size(); i += perRow) {
    snprintf(head, sizeof(head), "%6zu ", i);
    out += head;
    for (size_t j = i; j < blocks.size() && j < i + perRow; ++j) out += Look(blocks[j]).symbol;
    out += "\n";
  }
  out += "legend:";
  for (const MapLook& l : kLooks) out += std::string(" ") + l.symbol + " " + l.name + ";";
  out.back() = '\n';
  return out;
}

void WriteMapPng(const std::string& path, const std::vector<BlockKind>& blocks, unsigned cell) {
  WriteMapPng(path, blocks, BlockMarks(), cell);
}

void WriteMapPng(const std::string& path, const std::vector<BlockKind>& blocks, const BlockMarks& marked,
                 unsigned cell) {
  const unsigned perRow = 64;
  const unsigned rows = unsigned((blocks.size() + perRow - 1) / perRow);
  const unsigned legendCells = sizeof(kLooks) / sizeof(kLooks[0]);
  const unsigned width = perRow * cell;
  // The map, a blank row, then one square of each kind in BlockKind's order
  // (and the mark's frame on a map with marks).
  const unsigned height = (rows + 2) * cell;
  std::vector<uint8_t> pixels(size_t(width) * height * 3, 255);
  // A square of cell - 1 pixels, the last row and column left as the gap to
  // the next; framed, its outermost pixels are the mark's.
  auto square = [&](unsigned col, unsigned row, const uint8_t* rgb, bool framed) {
    const unsigned x0 = col * cell, y0 = row * cell, x1 = x0 + cell - 2, y1 = y0 + cell - 2;
    for (unsigned y = y0; y <= y1; ++y)
      for (unsigned x = x0; x <= x1; ++x) {
        const bool edge = x == x0 || x == x1 || y == y0 || y == y1;
        memcpy(&pixels[(size_t(y) * width + x) * 3], framed && edge ? kMarkLook.rgb : rgb, 3);
      }
  };
  for (size_t i = 0; i < blocks.size(); ++i)
    square(unsigned(i % perRow), unsigned(i / perRow), Look(blocks[i]).rgb, i < marked.size() && marked[i]);
  for (unsigned k = 0; k < legendCells; ++k) square(k * 2, rows + 1, kLooks[k].rgb, false);
  const uint8_t blank[3] = {255, 255, 255};
  if (!marked.empty()) square(legendCells * 2, rows + 1, blank, true);

  FILE* f = fopen(path.c_str(), "wb");
  if (!f) throw InputError(path + ": cannot write");
  png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
  png_infop info = png ? png_create_info_struct(png) : nullptr;
  if (!png || !info || setjmp(png_jmpbuf(png))) {
    png_destroy_write_struct(&png, &info);
    fclose(f);
    throw InputError(path + ": cannot write the PNG");
  }
  png_init_io(png, f);
  png_set_IHDR(png, info, width, height, 8, PNG_COLOR_TYPE_RGB, PNG_INTERLACE_NONE, PNG_COMPRESSION_TYPE_DEFAULT,
               PNG_FILTER_TYPE_DEFAULT);
  png_write_info(png, info);
  for (unsigned y = 0; y < height; ++y) png_write_row(png, &pixels[size_t(y) * width * 3]);
  png_write_end(png, nullptr);
  png_destroy_write_struct(&png, &info);
  if (fclose(f) != 0) throw InputError(path + ": cannot write");
}

MapFormat MapFormatOf(const std::string& path) {
  std::string name = path;
  std::transform(name.begin(), name.end(), name.begin(), [](unsigned char c) { return char(std::tolower(c)); });
  auto endsWith = [&](const char* ext) {
    const size_t n = strlen(ext);
    return name.size() > n && name.compare(name.size() - n, n, ext) == 0;
  };
  if (endsWith(".png")) return MapFormat::kPng;
  if (endsWith(".svg")) return MapFormat::kSvg;
  throw UsageError("--map " + path + ": a map is drawn as " + MapFormatNames());
}

std::string MapFormatNames() { return "FILE.png or FILE.svg"; }

void WriteMap(const std::string& path, const ChipMap& map, const BlockMarks& marked) {
  switch (MapFormatOf(path)) {
    case MapFormat::kPng:
      WriteMapPng(path, map.blocks, marked);
      return;
    case MapFormat::kSvg: {
      const std::string svg = SvgMap(map, marked);
      FILE* f = fopen(path.c_str(), "wb");
      const bool ok = f && fwrite(svg.data(), 1, svg.size(), f) == svg.size();
      if ((f && fclose(f) != 0) || !ok) throw InputError(path + ": cannot write");
      return;
    }
  }
}

}  // namespace devsim
