// Raw NAND images as the host sees them: a file of pages, each page its data
// bytes followed by its spare bytes, in page order. This is the layout of
// nand.img in a device folder and of a raw page+spare dump read off a real
// chip with a programmer, so both open the same way and the rest of the tool
// reads and writes pages without caring which it has. What a page holds is
// the sector codec's business (sector_codec.h), where the boot area lies the
// boot area reader's (boot_area_reader.h).
#ifndef TOOLS_DEVSIM_NANDIMAGE_H
#define TOOLS_DEVSIM_NANDIMAGE_H

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "sim/nand_cfg.h"
#include "tools/devsim/chip_id.h"
#include "tools/devsim/sector_codec.h"

namespace devsim {

// A raw image (a file, or a dump in memory), opened for page access.
class NandImage {
 public:
  NandImage() = default;
  NandImage(const NandImage&) = delete;
  NandImage& operator=(const NandImage&) = delete;
  NandImage(NandImage&& o) noexcept;
  NandImage& operator=(NandImage&& o) noexcept;
  ~NandImage();

  // A device folder: nand.img shaped by the chip in nand.cfg.
  bool OpenDevice(const std::string& dir, bool writable, std::string* error);
  // A bare image: the chip given, else the chip its size belongs to.
  bool OpenBare(const std::string& path, std::optional<ChipId> chip, bool writable, std::string* error);
  // Either, by what the path is.
  bool Open(const std::string& path, std::optional<ChipId> chip, bool writable, std::string* error);
  // A bare image already in memory, read-only, checked and shaped as OpenBare
  // shapes a file of that size; name stands for its path in messages. The
  // bytes are not copied and must outlive the image.
  bool OpenBareBytes(const std::string& name, const uint8_t* bytes, uint64_t size, std::optional<ChipId> chip,
                     std::string* error);

  bool IsDevice() const { return isDevice_; }
  const std::string& Path() const { return path_; }  // as given
  const std::string& ImagePath() const { return imagePath_; }
  const ChipId& Chip() const { return chip_; }
  const sim::ChipShape& Shape() const { return shape_; }
  const sim::NandConfig& Config() const { return cfg_; }  // device only
  // The fixed 32 x 512 layout of the boot area fits this chip.
  bool SmallPage() const { return !shape_.largePage && shape_.pageData == kSectorBytes; }

  // Whole raw pages (Shape().RawPageBytes() bytes each).
  bool ReadPage(uint64_t page, uint8_t* raw, std::string* error) const;
  // `count` pages from `first`, one after the other: where they lie in memory
  // (an image in memory: no copy), else read into *buffer in one call; null,
  // with *error, when they cannot be read. A scan of a whole chip reads a
  // block at a time: a page at a time, it was a call of the system per page.
  const uint8_t* ReadPages(uint64_t first, uint32_t count, std::vector<uint8_t>* buffer, std::string* error) const;
  bool WritePage(uint64_t page, const uint8_t* raw, std::string* error);
  // Programs a sector the way the chip does: bits can only go from 1 to 0.
  // data, its codes and info (when given) as the device's driver writes them.
  bool ProgramSector(uint64_t sector, const uint8_t* data512, const SectorInfo* info, std::string* error);
  bool EraseBlock(uint32_t block, std::string* error);

 private:
  void Close();
  bool OpenFile(const std::string& path, bool writable, std::string* error);
  // The checks and the shape of a bare image of `size` bytes, named path in messages.
  bool ShapeBare(const std::string& path, uint64_t size, std::optional<ChipId> chip, std::string* error);

  int fd_ = -1;
  const uint8_t* bytes_ = nullptr;  // an image in memory (OpenBareBytes), else the file fd_
  bool isDevice_ = false;
  std::string path_;
  std::string imagePath_;
  ChipId chip_;
  sim::ChipShape shape_;
  sim::NandConfig cfg_;
};

}  // namespace devsim

#endif
