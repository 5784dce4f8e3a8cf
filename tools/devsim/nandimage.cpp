// The raw image file: opening a device folder (nand.img shaped by the chip in
// its nand.cfg) or a bare dump (shaped by the chip given or by its size; a
// file, or bytes already in memory), refusing an image whose size is not the
// chip's, and whole-page reads and writes at the page's offset.
#include "tools/devsim/nandimage.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <utility>

namespace devsim {

namespace {

std::string Errno(const std::string& what) { return what + ": " + std::strerror(errno); }

bool IsDirectory(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool FileSize(int fd, const std::string& path, uint64_t* size, std::string* error) {
  struct stat st;
  if (fstat(fd, &st) != 0) {
    *error = Errno("cannot stat " + path);
    return false;
  }
  if (!S_ISREG(st.st_mode)) {
    *error = path + " is not a regular file";
    return false;
  }
  *size = uint64_t(st.st_size);
  return true;
}

}  // namespace

NandImage::NandImage(NandImage&& o) noexcept { *this = std::move(o); }

NandImage& NandImage::operator=(NandImage&& o) noexcept {
  if (this != &o) {
    Close();
    fd_ = o.fd_;
    o.fd_ = -1;
    bytes_ = o.bytes_;
    o.bytes_ = nullptr;
    isDevice_ = o.isDevice_;
    path_ = std::move(o.path_);
    imagePath_ = std::move(o.imagePath_);
    chip_ = o.chip_;
    shape_ = o.shape_;
    cfg_ = std::move(o.cfg_);
  }
  return *this;
}

NandImage::~NandImage() { Close(); }

void NandImage::Close() {
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
  bytes_ = nullptr;
}

bool NandImage::OpenFile(const std::string& path, bool writable, std::string* error) {
  Close();
  fd_ = ::open(path.c_str(), writable ? O_RDWR : O_RDONLY);
  if (fd_ < 0) {
    *error = Errno("cannot open " + path);
    return false;
  }
  imagePath_ = path;
  return true;
}

bool NandImage::OpenDevice(const std::string& dir, bool writable, std::string* error) {
  std::string cfgError;
  sim::NandConfig cfg;
  struct stat st;
  if (stat((dir + "/nand.cfg").c_str(), &st) != 0) {
    *error = dir + " is a folder but not a device: it has no nand.cfg";
    return false;
  }
  if (!sim::LoadNandConfig(dir + "/nand.cfg", &cfg, &cfgError)) {
    *error = cfgError.empty() ? "cannot read " + dir + "/nand.cfg" : cfgError;
    return false;
  }
  if (!OpenFile(dir + "/nand.img", writable, error)) return false;
  uint64_t size = 0;
  if (!FileSize(fd_, imagePath_, &size, error)) return false;
  ChipId chip{cfg.maker, cfg.device};
  sim::ChipShape shape = sim::ChipShapeFor(cfg.maker, cfg.device);
  if (size != shape.ImageBytes()) {
    *error = imagePath_ + " has " + std::to_string(size) + " bytes; chip " + FormatChipId(chip) + " of " + dir +
             "/nand.cfg needs " + std::to_string(shape.ImageBytes()) + " (" + std::to_string(shape.Pages()) +
             " pages of " + std::to_string(shape.RawPageBytes()) + ")";
    Close();
    return false;
  }
  isDevice_ = true;
  path_ = dir;
  chip_ = chip;
  shape_ = shape;
  cfg_ = cfg;
  return true;
}

bool NandImage::OpenBare(const std::string& path, std::optional<ChipId> chip, bool writable, std::string* error) {
  if (!OpenFile(path, writable, error)) return false;
  uint64_t size = 0;
  if (!FileSize(fd_, path, &size, error)) return false;
  return ShapeBare(path, size, chip, error);
}

bool NandImage::OpenBareBytes(const std::string& name, const uint8_t* bytes, uint64_t size, std::optional<ChipId> chip,
                              std::string* error) {
  Close();
  bytes_ = bytes;
  imagePath_ = name;
  return ShapeBare(name, size, chip, error);
}

bool NandImage::ShapeBare(const std::string& path, uint64_t size, std::optional<ChipId> chip, std::string* error) {
  ChipId id;
  if (chip) {
    id = *chip;
  } else if (!ChipForImageSize(size, &id)) {
    *error = path + " has " + std::to_string(size) +
             " bytes, the raw image (pages of 528 or 2112 bytes) of no chip in the chip table; give the chip with "
             "--chip MM:DD";
    Close();
    return false;
  }
  sim::ChipShape shape = sim::ChipShapeFor(id.maker, id.device);
  if (size != shape.ImageBytes()) {
    *error = path + " has " + std::to_string(size) + " bytes; chip " + FormatChipId(id) + " needs " +
             std::to_string(shape.ImageBytes()) + " (" + std::to_string(shape.Pages()) + " pages of " +
             std::to_string(shape.RawPageBytes()) + ")";
    Close();
    return false;
  }
  isDevice_ = false;
  path_ = path;
  chip_ = id;
  shape_ = shape;
  cfg_ = sim::NandConfig();
  return true;
}

bool NandImage::Open(const std::string& path, std::optional<ChipId> chip, bool writable, std::string* error) {
  if (IsDirectory(path)) {
    if (chip) {
      *error = "--chip is for bare images; the chip of device " + path + " is set in its nand.cfg";
      return false;
    }
    return OpenDevice(path, writable, error);
  }
  return OpenBare(path, chip, writable, error);
}

bool NandImage::ReadPage(uint64_t page, uint8_t* raw, std::string* error) const {
  const uint64_t n = shape_.RawPageBytes();
  if (page >= shape_.Pages()) {
    *error = "page " + std::to_string(page) + " is beyond the chip's " + std::to_string(shape_.Pages());
    return false;
  }
  if (bytes_) {
    std::memcpy(raw, bytes_ + page * n, n);
    return true;
  }
  ssize_t got = ::pread(fd_, raw, n, off_t(page * n));
  if (got != ssize_t(n)) {
    *error = got < 0 ? Errno("cannot read page " + std::to_string(page) + " of " + imagePath_)
                     : imagePath_ + ": short read at page " + std::to_string(page);
    return false;
  }
  return true;
}

const uint8_t* NandImage::ReadPages(uint64_t first, uint32_t count, std::vector<uint8_t>* buffer,
                                    std::string* error) const {
  const uint64_t n = shape_.RawPageBytes();
  if (first >= shape_.Pages() || count > shape_.Pages() - first) {
    *error = "pages " + std::to_string(first) + ".." + std::to_string(first + count - 1) + " are beyond the chip's " +
             std::to_string(shape_.Pages());
    return nullptr;
  }
  if (bytes_) return bytes_ + first * n;
  buffer->resize(size_t(n * count));
  for (size_t done = 0; done < buffer->size();) {
    ssize_t got = ::pread(fd_, buffer->data() + done, buffer->size() - done, off_t(first * n + done));
    if (got <= 0) {
      const uint64_t page = first + done / n;
      *error = got < 0 ? Errno("cannot read page " + std::to_string(page) + " of " + imagePath_)
                       : imagePath_ + ": short read at page " + std::to_string(page);
      return nullptr;
    }
    done += size_t(got);
  }
  return buffer->data();
}

bool NandImage::WritePage(uint64_t page, const uint8_t* raw, std::string* error) {
  const uint64_t n = shape_.RawPageBytes();
  if (page >= shape_.Pages()) {
    *error = "page " + std::to_string(page) + " is beyond the chip's " + std::to_string(shape_.Pages());
    return false;
  }
  if (bytes_) {
    *error = imagePath_ + " is an image in memory, opened to be read only";
    return false;
  }
  if (::pwrite(fd_, raw, n, off_t(page * n)) != ssize_t(n)) {
    *error = Errno("cannot write page " + std::to_string(page) + " of " + imagePath_);
    return false;
  }
  return true;
}

bool NandImage::ProgramSector(uint64_t sector, const uint8_t* data512, const SectorInfo* info, std::string* error) {
  if (!SmallPage()) {
    *error =
        "sector programs need 512-byte pages; chip " + FormatChipId(chip_) + " has " + std::to_string(shape_.pageData);
    return false;
  }
  uint8_t page[kRawPageBytes], wanted[kRawPageBytes];
  if (!ReadPage(sector, page, error)) return false;
  BuildSectorPage(data512, info, wanted);
  for (uint32_t i = 0; i < kRawPageBytes; ++i) page[i] &= wanted[i];
  return WritePage(sector, page, error);
}

bool NandImage::EraseBlock(uint32_t block, std::string* error) {
  if (block >= shape_.blocks) {
    *error = "block " + std::to_string(block) + " is beyond the chip's " + std::to_string(shape_.blocks);
    return false;
  }
  Bytes erased(shape_.RawPageBytes(), 0xFF);
  for (uint32_t p = 0; p < shape_.pagesPerBlock; ++p)
    if (!WritePage(uint64_t(block) * shape_.pagesPerBlock + p, erased.data(), error)) return false;
  return true;
}

}  // namespace devsim
