#include "tools/devsim/nandimage.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "ecc/ecc.h"

namespace devsim {

namespace {

std::string Errno(const std::string& what) { return what + ": " + std::strerror(errno); }

bool IsDirectory(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

}  // namespace

void SectorInfo::Encode(uint8_t* out) const {
  PutLe32(out, dwReserved1);
  out[SPARE_OEM_RESERVED_OFFSET] = bOEMReserved;
  out[SPARE_BAD_BLOCK_OFFSET] = bBadBlock;
  out[6] = uint8_t(wReserved2);
  out[7] = uint8_t(wReserved2 >> 8);
}

SectorInfo SectorInfo::Decode(const uint8_t* in) {
  SectorInfo s;
  s.dwReserved1 = GetLe32(in);
  s.bOEMReserved = in[SPARE_OEM_RESERVED_OFFSET];
  s.bBadBlock = in[SPARE_BAD_BLOCK_OFFSET];
  s.wReserved2 = uint16_t(in[6] | (in[7] << 8));
  return s;
}

bool SectorInfo::operator==(const SectorInfo& o) const {
  return dwReserved1 == o.dwReserved1 && bOEMReserved == o.bOEMReserved && bBadBlock == o.bBadBlock &&
         wReserved2 == o.wReserved2;
}

SectorInfo BootSpareRecord() {
  SectorInfo s;
  s.dwReserved1 = BOOT_SPARE_RESERVED1;
  s.bOEMReserved = BOOT_SPARE_OEM_RESERVED;
  s.bBadBlock = BOOT_SPARE_BAD_BLOCK;
  s.wReserved2 = BOOT_SPARE_RESERVED2;
  return s;
}

bool IsBootSpareRecord(const uint8_t* spare8) { return SectorInfo::Decode(spare8) == BootSpareRecord(); }

uint32_t GetLe32(const uint8_t* p) {
  return uint32_t(p[0]) | (uint32_t(p[1]) << 8) | (uint32_t(p[2]) << 16) | (uint32_t(p[3]) << 24);
}

void PutLe32(uint8_t* p, uint32_t v) {
  p[0] = uint8_t(v);
  p[1] = uint8_t(v >> 8);
  p[2] = uint8_t(v >> 16);
  p[3] = uint8_t(v >> 24);
}

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

void BuildSectorPage(const uint8_t* data512, const SectorInfo* info, uint8_t* raw528) {
  std::memset(raw528, 0xFF, kRawPageBytes);
  std::memcpy(raw528, data512, kSectorBytes);
  EccGenerate(data512, raw528 + kSectorBytes + kSpareEcc0);
  EccGenerate(data512 + 256, raw528 + kSectorBytes + kSpareEcc1);
  if (info) info->Encode(raw528 + kSectorBytes);
}

const char* HalfResultName(HalfResult r) {
  switch (r) {
    case HalfResult::kNoError:
      return "ok";
    case HalfResult::kCorrected:
      return "corrected";
    case HalfResult::kCodeError:
      return "code error";
    case HalfResult::kUncorrectable:
      return "uncorrectable";
  }
  return "?";
}

const char* SectorStateName(SectorState s) {
  switch (s) {
    case SectorState::kErased:
      return "erased";
    case SectorState::kClean:
      return "clean";
    case SectorState::kCorrected:
      return "corrected";
    case SectorState::kUncorrectable:
      return "uncorrectable";
    case SectorState::kWrongSpare:
      return "wrong spare record";
  }
  return "?";
}

bool SectorCheck::Uncorrectable() const {
  return half[0] == HalfResult::kUncorrectable || half[1] == HalfResult::kUncorrectable;
}

bool SectorCheck::NeededEcc() const { return half[0] != HalfResult::kNoError || half[1] != HalfResult::kNoError; }

SectorState SectorCheck::AreaState() const {
  if (erased) return SectorState::kErased;
  if (Uncorrectable()) return SectorState::kUncorrectable;
  if (!bootRecord) return SectorState::kWrongSpare;
  if (NeededEcc()) return SectorState::kCorrected;
  return SectorState::kClean;
}

std::string SectorCheck::Describe() const {
  std::string out;
  auto add = [&out](const std::string& s) { out += (out.empty() ? "" : "; ") + s; };
  if (erased) return "erased";
  for (int h = 0; h < 2; ++h) {
    const char* range = h == 0 ? "data 0-255" : "data 256-511";
    char buf[160];
    switch (half[h]) {
      case HalfResult::kNoError:
        break;
      case HalfResult::kCorrected:
        std::snprintf(buf, sizeof(buf), "%s: ECC corrected data byte %d bit %d", range, flippedByte[h], flippedBit[h]);
        add(buf);
        break;
      case HalfResult::kCodeError:
        std::snprintf(buf, sizeof(buf), "%s: stored ECC (spare %d-%d) has a flipped bit, data taken as good", range,
                      h == 0 ? 8 : 12, h == 0 ? 10 : 14);
        add(buf);
        break;
      case HalfResult::kUncorrectable:
        std::snprintf(buf, sizeof(buf), "%s: uncorrectable (stored ECC %s)", range,
                      HexBytes(spare + (h == 0 ? kSpareEcc0 : kSpareEcc1), 3).c_str());
        add(buf);
        break;
    }
  }
  if (!bootRecord) add("spare record " + HexBytes(spare, 8) + ", not the boot record 00 00 00 00 fc 00 00 00");
  return out;
}

SectorCheck CheckSector(const uint8_t* raw528) {
  SectorCheck c;
  std::memcpy(c.data, raw528, kSectorBytes);
  std::memcpy(c.spare, raw528 + kSectorBytes, kSpareBytes);
  c.erased = true;
  for (uint32_t i = 0; i < kRawPageBytes; ++i) c.erased = c.erased && raw528[i] == 0xFF;
  c.bootRecord = IsBootSpareRecord(c.spare);
  for (int h = 0; h < 2; ++h) {
    uint8_t* block = c.data + 256 * h;
    uint8_t before[256];
    std::memcpy(before, block, 256);
    int r = EccCorrect(block, c.spare + (h == 0 ? kSpareEcc0 : kSpareEcc1));
    switch (r) {
      case ECC_NO_ERROR:
        c.half[h] = HalfResult::kNoError;
        break;
      case ECC_CORRECTED:
        c.half[h] = HalfResult::kCorrected;
        break;
      case ECC_CODE_ERROR:
        c.half[h] = HalfResult::kCodeError;
        break;
      default:
        c.half[h] = HalfResult::kUncorrectable;
        break;
    }
    for (int i = 0; i < 256; ++i) {
      uint8_t diff = uint8_t(before[i] ^ block[i]);
      if (!diff) continue;
      c.flippedByte[h] = 256 * h + i;
      for (int b = 0; b < 8; ++b)
        if (diff & (1u << b)) c.flippedBit[h] = b;
    }
  }
  return c;
}

NandImage::NandImage(NandImage&& o) noexcept { *this = std::move(o); }

NandImage& NandImage::operator=(NandImage&& o) noexcept {
  if (this != &o) {
    Close();
    fd_ = o.fd_;
    o.fd_ = -1;
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

static bool FileSize(int fd, const std::string& path, uint64_t* size, std::string* error) {
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
  ssize_t got = ::pread(fd_, raw, n, off_t(page * n));
  if (got != ssize_t(n)) {
    *error = got < 0 ? Errno("cannot read page " + std::to_string(page) + " of " + imagePath_)
                     : imagePath_ + ": short read at page " + std::to_string(page);
    return false;
  }
  return true;
}

bool NandImage::WritePage(uint64_t page, const uint8_t* raw, std::string* error) {
  const uint64_t n = shape_.RawPageBytes();
  if (page >= shape_.Pages()) {
    *error = "page " + std::to_string(page) + " is beyond the chip's " + std::to_string(shape_.Pages());
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

bool LocateToc(const NandImage& img, TocInfo* toc, std::string* error) {
  *toc = TocInfo();
  if (!img.SmallPage()) {
    toc->problem = "chip " + FormatChipId(img.Chip()) + " has " + std::to_string(img.Shape().pageData) +
                   "-byte pages; the device looks for a TOC only on chips of 32 sectors of 512 bytes a block";
    return true;
  }
  uint8_t page[kRawPageBytes];
  uint32_t last = kTocScanLastBlock;
  if (uint64_t(last) * kBootSectorsPerBlock >= img.Shape().Pages())
    last = uint32_t(img.Shape().Pages() / kBootSectorsPerBlock) - 1;
  for (uint32_t b = kTocScanFirstBlock; b <= last; ++b) {
    if (!img.ReadPage(uint64_t(b) * kBootSectorsPerBlock, page, error)) return false;
    if (!IsBootSpareRecord(page + kSectorBytes)) continue;
    // The device stops at the first marked block: a bad TOC there is not
    // made good by another one further up.
    toc->marked = true;
    toc->block = b;
    toc->sector = CheckSector(page);
    const uint64_t sector = uint64_t(b) * kBootSectorsPerBlock;
    if (toc->sector.Uncorrectable()) {
      toc->problem = "TOC block " + std::to_string(b) + ": sector " + std::to_string(sector) + " cannot be read (" +
                     toc->sector.Describe() + ")";
      return true;
    }
    if (std::memcmp(toc->sector.data, kTocSignature, 4) != 0) {
      toc->problem = "TOC block " + std::to_string(b) + ": sector " + std::to_string(sector) + " begins " +
                     HexBytes(toc->sector.data, 4) + ", not the signature 4e 54 4f 43 (\"NTOC\")";
      return true;
    }
    toc->found = true;
    toc->sectorCount = GetLe32(toc->sector.data + kTocSectorCountOffset);
    toc->firstBlock = GetLe32(toc->sector.data + kTocFirstBlockOffset);
    return true;
  }
  toc->problem = "no block in " + std::to_string(kTocScanFirstBlock) + ".." + std::to_string(last) +
                 " has the boot spare record 00 00 00 00 fc 00 00 00 in its first sector";
  return true;
}

uint64_t BootArea::SectorsInside(uint64_t totalSectors) const {
  if (FirstSector() >= totalSectors) return 0;
  uint64_t room = totalSectors - FirstSector();
  return sectorCount < room ? sectorCount : room;
}

bool AreaFromToc(const NandImage& img, const TocInfo& toc, BootArea* area, std::string* problem) {
  problem->clear();
  if (!toc.found) {
    *problem = toc.problem;
    return false;
  }
  area->firstBlock = toc.firstBlock;
  area->sectorCount = toc.sectorCount;
  if (toc.firstBlock <= toc.block) {
    *problem = "the TOC puts the boot area at block " + std::to_string(toc.firstBlock) + ", not after the TOC block " +
               std::to_string(toc.block);
    return false;
  }
  const uint64_t blocks = img.Shape().Pages() / kBootSectorsPerBlock;
  if (uint64_t(toc.firstBlock) + area->Blocks() > blocks) {
    *problem = "the boot area (block " + std::to_string(toc.firstBlock) + ", " + std::to_string(toc.sectorCount) +
               " sectors) does not lie inside the device's " + std::to_string(blocks) + " blocks";
    return false;
  }
  return true;
}

bool CheckAreaSector(const NandImage& img, const BootArea& area, uint32_t index, SectorCheck* out, std::string* error) {
  uint8_t page[kRawPageBytes];
  if (!img.ReadPage(area.FirstSector() + index, page, error)) return false;
  *out = CheckSector(page);
  return true;
}

std::string HexBytes(const uint8_t* p, size_t n) {
  std::string s;
  char buf[4];
  for (size_t i = 0; i < n; ++i) {
    std::snprintf(buf, sizeof(buf), "%s%02x", i ? " " : "", p[i]);
    s += buf;
  }
  return s;
}

}  // namespace devsim
