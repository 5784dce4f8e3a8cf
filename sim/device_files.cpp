#include "sim/device_files.h"

#include <cstdio>
#include <filesystem>
#include <vector>

namespace sim {

bool CreateDeviceFiles(const std::string& dir, const NandConfig& cfg, std::string* error) {
  namespace fs = std::filesystem;
  std::error_code ec;
  fs::create_directories(fs::path(dir), ec);
  if (ec) {
    if (error) *error = dir + ": " + ec.message();
    return false;
  }
  ChipShape shape = ChipShapeFor(cfg.maker, cfg.device);
  uint32_t raw = uint32_t(shape.RawPageBytes());
  std::vector<uint8_t> block(size_t(raw) * shape.pagesPerBlock, 0xFF);
  std::vector<uint8_t> bad = block;
  if (shape.largePage) {
    bad[shape.pageData] = 0x00;
  } else {
    bad[kBadBlockMarkerByte] = 0x00;
    bad[raw + kBadBlockMarkerByte] = 0x00;
  }
  std::vector<bool> isBad(shape.blocks, false);
  for (uint32_t b : cfg.badBlocks)
    if (b < shape.blocks) isBad[b] = true;

  std::string image = (fs::path(dir) / "nand.img").string();
  FILE* f = fopen(image.c_str(), "wb");
  bool ok = f != nullptr;
  for (uint32_t b = 0; ok && b < shape.blocks; ++b) {
    const std::vector<uint8_t>& data = isBad[b] ? bad : block;
    ok = fwrite(data.data(), 1, data.size(), f) == data.size();
  }
  if (f && fclose(f) != 0) ok = false;
  if (!ok) {
    if (error) *error = image + ": cannot write";
    return false;
  }
  if (!SaveNandConfig((fs::path(dir) / "nand.cfg").string(), cfg, error)) return false;
  fs::remove(fs::path(dir) / "soc.state", ec);
  return true;
}

}  // namespace sim
