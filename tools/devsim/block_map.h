// The chip as a map of blocks, for a person who would rather look than read:
// which block holds the TOC, how the boot area's blocks stand (written,
// erased, corrected or uncorrectable sectors), where other data lies, which
// blocks are factory bad and which are erased. `devsim inspect --map` prints
// it as text or draws it as a PNG or an SVG; `devsim diff --map` draws it with
// the blocks that changed marked. The SVG explains itself: a title naming the
// chip and the area, the legend in words, the TOC, the area's ends and the bad
// blocks labelled with their numbers, a hover title on every block, and for a
// chip larger than the area's neighbourhood that neighbourhood again, page by
// page.
#ifndef TOOLS_DEVSIM_BLOCK_MAP_H
#define TOOLS_DEVSIM_BLOCK_MAP_H

#include <array>
#include <optional>
#include <string>
#include <vector>

#include "tools/devsim/device_ops.h"
#include "tools/devsim/nandimage.h"

namespace devsim {

enum class BlockKind {
  kErased,             // every page 0xFF
  kData,               // other data (the file system's, or anything outside the boot area)
  kBad,                // factory bad: the marker set in its first page
  kToc,                // the TOC block
  kAreaWritten,        // boot area: sectors written, every one reads clean
  kAreaErased,         // boot area: every sector erased
  kAreaCorrected,      // boot area: a sector needed its ECC
  kAreaUncorrectable,  // boot area: a sector cannot be read (or carries a wrong spare record)
};

// What a page of the zoomed strip holds: outside the area erased, other data
// or the TOC block's; inside it the page's sector state.
enum class PageKind {
  kErased,
  kData,
  kToc,
  kAreaClean,
  kAreaErased,
  kAreaCorrected,
  kAreaUncorrectable,
  kAreaWrongRecord,
};

// How a kind is shown: its character in the text map, its colour, and its
// words in every legend and hover title. Declared once, in block_map.cpp.
struct MapLook {
  char symbol;
  uint8_t rgb[3];
  const char* name;
};
const MapLook& LookOf(BlockKind k);
const MapLook& LookOf(PageKind k);
constexpr int kBlockKinds = 8, kPageKinds = 8;
// The frame of a marked block and its legend words.
extern const MapLook kMarkLook;

// Everything a map shows, from one reading of the flash and the inspect
// report (whose per-sector states give the area's blocks and pages).
struct ChipMap {
  ChipId chip;
  sim::ChipShape shape;
  std::vector<BlockKind> blocks;     // one per block of the chip
  std::optional<uint32_t> tocBlock;  // the TOC as the device finds it
  std::optional<BootArea> area;      // the area drawn (usable)
  std::vector<uint32_t> badBlocks;   // ascending
  // The area's blocks' sectors by SectorState, one entry per area block.
  std::vector<std::array<uint32_t, 5>> areaCounts;
  // The strip of blocks around the TOC and the area, page by page: blocks
  // zoomFirst on, pagesPerBlock pages each; empty when the whole chip is that
  // neighbourhood (or there is neither TOC nor area).
  uint32_t zoomFirst = 0;
  std::vector<PageKind> zoomPages;
  uint32_t ZoomBlocks() const { return shape.pagesPerBlock ? uint32_t(zoomPages.size() / shape.pagesPerBlock) : 0; }
};
// Blocks shown around the TOC and the area in the zoomed strip: from block 0
// (or this many before the first of them) to this many after the last.
constexpr uint32_t kZoomMargin = 4;

// The map of a small-page chip (blocks empty for others).
ChipMap MapChip(const NandImage& img, const InspectReport& rep);
// Its blocks alone.
std::vector<BlockKind> MapBlocks(const NandImage& img, const InspectReport& rep);

// One character per block, `perRow` blocks a row, each row led by its first
// block number; then the legend.
std::string TextMap(const std::vector<BlockKind>& blocks, unsigned perRow = 128);

// The map as a PNG: one square of cell x cell pixels per block, 64 blocks a
// row, coloured by kind, with a row of legend squares under it. Throws
// InputError when the file cannot be written.
void WriteMapPng(const std::string& path, const std::vector<BlockKind>& blocks, unsigned cell = 6);

// Blocks singled out on a map, one entry per block (devsim diff: the blocks
// with a changed page). A marked block keeps its kind's colour inside a frame
// of the mark's colour, and the legend gains a last square: the frame alone.
using BlockMarks = std::vector<bool>;
void WriteMapPng(const std::string& path, const std::vector<BlockKind>& blocks, const BlockMarks& marked,
                 unsigned cell = 6);

// The map as an SVG document (map_svg.cpp): the title, the grid of blocks
// (64 a row, each led by its first block number), the labels, the legend in
// words (with the frame when blocks are marked), the zoomed strip.
std::string SvgMap(const ChipMap& map, const BlockMarks& marked);

// The forms a map is drawn in, told by the file's name. Every form draws the
// same squares, colours, marks and legend; the SVG adds the words.
enum class MapFormat {
  kPng,  // FILE.png
  kSvg,  // FILE.svg
};
// The forms' names for help and messages ("FILE.png or FILE.svg").
std::string MapFormatNames();
// The form path's name asks for; UsageError for a name of no form.
MapFormat MapFormatOf(const std::string& path);
// The map drawn into path in the form its name asks for (MapFormatOf).
void WriteMap(const std::string& path, const ChipMap& map, const BlockMarks& marked);

}  // namespace devsim

#endif
