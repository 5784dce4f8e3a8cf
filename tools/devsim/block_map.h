// The chip as a map of blocks, for a person who would rather look than read:
// which block holds the TOC, how the boot area's blocks stand (written,
// erased, corrected or uncorrectable sectors), where other data lies, which
// blocks are factory bad and which are erased. `devsim inspect --map` prints
// it as text or draws it as a PNG; `devsim diff --map` draws it with the
// blocks that changed marked.
#ifndef TOOLS_DEVSIM_BLOCK_MAP_H
#define TOOLS_DEVSIM_BLOCK_MAP_H

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

// One entry per block of the chip (small-page chips; empty for others).
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

// The forms a map is drawn in, told by the file's name. Every form draws the
// same squares, colours, marks and legend.
enum class MapFormat {
  kPng,  // FILE.png
};
// The form path's name asks for; UsageError for a name of no form.
MapFormat MapFormatOf(const std::string& path);
// The map drawn into path in the form its name asks for (MapFormatOf).
void WriteMap(const std::string& path, const std::vector<BlockKind>& blocks, const BlockMarks& marked);

}  // namespace devsim

#endif
