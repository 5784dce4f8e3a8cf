#include "tools/devsim/block_map.h"

#include <png.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstring>

namespace devsim {
namespace {

struct KindLook {
  char symbol;
  uint8_t rgb[3];
  const char* name;
};

// In the order of BlockKind.
const KindLook kLooks[] = {
    {'.', {235, 235, 235}, "erased"},
    {'d', {150, 150, 150}, "other data"},
    {'X', {20, 20, 20}, "factory bad"},
    {'T', {40, 90, 220}, "TOC"},
    {'B', {40, 170, 70}, "boot area, written"},
    {'e', {170, 225, 180}, "boot area, erased"},
    {'c', {240, 180, 30}, "boot area, a sector corrected"},
    {'U', {220, 40, 40}, "boot area, a sector uncorrectable or with a wrong record"},
};

const KindLook& Look(BlockKind k) { return kLooks[int(k)]; }

// The frame of a marked block: a colour none of the kinds has.
const uint8_t kMarkRgb[3] = {200, 0, 200};

BlockKind AreaBlock(const NandImage& img, uint32_t block) {
  std::vector<uint8_t> raw(img.Shape().RawPageBytes());
  bool anyWritten = false, corrected = false, bad = false;
  std::string error;
  for (uint32_t p = 0; p < kBootSectorsPerBlock; ++p) {
    if (!img.ReadPage(uint64_t(block) * kBootSectorsPerBlock + p, raw.data(), &error)) throw InputError(error);
    switch (CheckSector(raw.data()).AreaState()) {
      case SectorState::kErased:
        break;
      case SectorState::kClean:
        anyWritten = true;
        break;
      case SectorState::kCorrected:
        anyWritten = corrected = true;
        break;
      case SectorState::kUncorrectable:
      case SectorState::kWrongSpare:
        anyWritten = bad = true;
        break;
    }
  }
  if (bad) return BlockKind::kAreaUncorrectable;
  if (corrected) return BlockKind::kAreaCorrected;
  return anyWritten ? BlockKind::kAreaWritten : BlockKind::kAreaErased;
}

BlockKind OtherBlock(const NandImage& img, uint32_t block) {
  const size_t pageBytes = size_t(img.Shape().RawPageBytes());
  std::vector<uint8_t> raw(pageBytes);
  const std::vector<uint8_t> erased(pageBytes, 0xFF);
  std::string error;
  for (uint32_t p = 0; p < img.Shape().pagesPerBlock; ++p) {
    if (!img.ReadPage(uint64_t(block) * img.Shape().pagesPerBlock + p, raw.data(), &error)) throw InputError(error);
    if (std::memcmp(raw.data(), erased.data(), pageBytes) != 0) return BlockKind::kData;
  }
  return BlockKind::kErased;
}

}  // namespace

std::vector<BlockKind> MapBlocks(const NandImage& img, const InspectReport& rep) {
  std::vector<BlockKind> out;
  if (!img.SmallPage()) return out;
  const uint32_t blocks = img.Shape().blocks;
  bool area = rep.area.present && rep.area.usable;
  for (uint32_t b = 0; b < blocks; ++b) {
    bool inArea = area && b >= rep.area.area.firstBlock &&
                  uint64_t(b) < uint64_t(rep.area.area.firstBlock) + rep.area.area.Blocks();
    if (rep.toc.found && b == rep.toc.block)
      out.push_back(BlockKind::kToc);
    else if (inArea)
      out.push_back(AreaBlock(img, b));
    else
      out.push_back(OtherBlock(img, b));
  }
  // Bad blocks by their marks, as a device made from a dump learns them (the
  // TOC block and the area are never taken for bad), and for a device those
  // its nand.cfg lists.
  for (uint32_t b : FindBadBlocks(img, rep.toc, area)) out[b] = BlockKind::kBad;
  if (img.IsDevice())
    for (uint32_t b : img.Config().badBlocks)
      if (b < out.size()) out[b] = BlockKind::kBad;
  return out;
}

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
  for (const KindLook& l : kLooks) out += std::string(" ") + l.symbol + " " + l.name + ";";
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
        memcpy(&pixels[(size_t(y) * width + x) * 3], framed && edge ? kMarkRgb : rgb, 3);
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
  throw UsageError("--map " + path + ": a map is drawn as FILE.png");
}

void WriteMap(const std::string& path, const std::vector<BlockKind>& blocks, const BlockMarks& marked) {
  switch (MapFormatOf(path)) {
    case MapFormat::kPng:
      WriteMapPng(path, blocks, marked);
      return;
  }
}

}  // namespace devsim
