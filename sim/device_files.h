// The files of a simulated device as they are made for a new device: an erased
// chip image with its factory bad blocks marked, its nand.cfg, and no
// soc.state (the first process that attaches makes a fresh one). Portable:
// used by tests of both builds and available to the host tool.
#ifndef SIM_DEVICE_FILES_H
#define SIM_DEVICE_FILES_H

#include <cstdint>
#include <string>

#include "sim/nand_cfg.h"

namespace sim {

// Factory bad-block marker: spare byte 5 of the block's first two pages on a
// small-page chip (spare byte 0 of the first page on a large-page one) is not
// 0xFF.
constexpr uint32_t kBadBlockMarkerByte = 517;

// Makes dir (and its parents) if needed and writes dir/nand.img and
// dir/nand.cfg; removes a dir/soc.state left from before.
bool CreateDeviceFiles(const std::string& dir, const NandConfig& cfg, std::string* error);

}  // namespace sim

#endif
