// Chip identities: the maker and device ID bytes a chip answers its ID command
// with, as the tool's options and listings spell them ("ec:76"), and the chip
// a bare dump is taken for when only its size is known. A chip's geometry for
// its ID is the simulator's chip table (sim/nand_cfg.h); the ID is kept apart
// from the image so that the commands can parse and print it without opening
// one.
#ifndef TOOLS_DEVSIM_CHIP_ID_H
#define TOOLS_DEVSIM_CHIP_ID_H

#include <cstdint>
#include <string>

namespace devsim {

// A maker:device pair, as "ec:76".
struct ChipId {
  uint32_t maker = 0xEC;
  uint32_t device = 0x76;
};
bool ParseChipId(const std::string& text, ChipId* id, std::string* error);
std::string FormatChipId(const ChipId& id);
// The chip table's entry whose image has this many bytes (the maker cannot be
// told from the size; 0xEC is taken).
bool ChipForImageSize(uint64_t bytes, ChipId* id);
// The small-page chip of the chip table with the smallest image (maker 0xEC).
ChipId SmallestSmallPageChip();

}  // namespace devsim

#endif
