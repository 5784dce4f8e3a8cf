// Chip identities: parsing and printing the maker:device pair, and the chip
// of the chip table a dump of a given size belongs to.
#include "tools/devsim/chip_id.h"

#include <cstdio>

#include "sim/nand_cfg.h"

namespace devsim {

bool ParseChipId(const std::string& text, ChipId* id, std::string* error) {
  unsigned maker = 0, device = 0;
  char tail = 0;
  if (std::sscanf(text.c_str(), "%x:%x%c", &maker, &device, &tail) != 2 || maker > 0xFF || device > 0xFF ||
      text.find(':') == std::string::npos || text.find_first_not_of("0123456789abcdefABCDEF:xX") != std::string::npos) {
    *error = "bad chip '" + text + "': expected MM:DD, the maker and device ID bytes in hexadecimal (e.g. ec:76)";
    return false;
  }
  id->maker = maker;
  id->device = device;
  return true;
}

std::string FormatChipId(const ChipId& id) {
  char buf[16];
  std::snprintf(buf, sizeof(buf), "%02x:%02x", id.maker & 0xFF, id.device & 0xFF);
  return buf;
}

bool ChipForImageSize(uint64_t bytes, ChipId* id) {
  static const uint32_t kDevices[] = {0x73, 0x75, 0x76, 0x79, 0xDA};
  for (uint32_t device : kDevices) {
    if (sim::ChipShapeFor(0xEC, device).ImageBytes() == bytes) {
      id->maker = 0xEC;
      id->device = device;
      return true;
    }
  }
  return false;
}

ChipId SmallestSmallPageChip() {
  ChipId best;
  uint64_t bytes = UINT64_MAX;
  for (uint32_t device = 0; device <= 0xFF; ++device) {
    const sim::ChipShape s = sim::ChipShapeFor(0xEC, device);
    if (s.known && !s.largePage && s.ImageBytes() < bytes) {
      bytes = s.ImageBytes();
      best = ChipId{0xEC, device};
    }
  }
  return best;
}

}  // namespace devsim
