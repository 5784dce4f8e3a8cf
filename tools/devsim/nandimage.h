// Raw NAND images as the host sees them: a file of pages, each page its data
// bytes followed by its spare bytes, in page order. This is the layout of
// nand.img in a device folder and of a raw page+spare dump read off a real
// chip with a programmer, so both open the same way. The format of a
// small-page sector (its spare record, its codes) and of the boot area and
// its TOC is the device's own, flash/nand_format.h; the names below are that
// header's values in the tool's types.
#ifndef TOOLS_DEVSIM_NANDIMAGE_H
#define TOOLS_DEVSIM_NANDIMAGE_H

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "flash/nand_format.h"
#include "sim/nand_cfg.h"

namespace devsim {

constexpr uint32_t kSectorBytes = NAND_SECTOR_BYTES;
constexpr uint32_t kSpareBytes = NAND_SPARE_BYTES;
constexpr uint32_t kRawPageBytes = NAND_RAW_PAGE_BYTES;
constexpr uint32_t kBootSectorsPerBlock = BOOT_SECTORS_PER_BLOCK;
constexpr uint32_t kTocScanFirstBlock = TOC_SCAN_FIRST_BLOCK;
constexpr uint32_t kTocScanLastBlock = TOC_SCAN_LAST_BLOCK;
constexpr uint32_t kTocSectorCountOffset = TOC_EBOOT_SECTORS_OFFSET;
constexpr uint32_t kTocFirstBlockOffset = TOC_EBOOT_BLOCK_OFFSET;
constexpr uint8_t kTocSignature[4] = {TOC_SIGNATURE_0, TOC_SIGNATURE_1, TOC_SIGNATURE_2, TOC_SIGNATURE_3};

// Spare byte positions.
constexpr uint32_t kSpareBadBlock = SPARE_BAD_BLOCK_OFFSET;
constexpr uint32_t kSpareEcc0 = SPARE_ECC0_OFFSET;  // code of data 0-255
constexpr uint32_t kSpareEcc1 = SPARE_ECC1_OFFSET;  // code of data 256-511

using Bytes = std::vector<uint8_t>;

struct SectorInfo {
  uint32_t dwReserved1 = 0xFFFFFFFF;
  uint8_t bOEMReserved = 0xFF;
  uint8_t bBadBlock = 0xFF;
  uint16_t wReserved2 = 0xFFFF;

  void Encode(uint8_t* out) const;  // 8 bytes, little-endian
  static SectorInfo Decode(const uint8_t* in);
  bool operator==(const SectorInfo& o) const;
};

// The record the boot area writer puts on every sector of the area and that
// marks the TOC block's first sector: 00 00 00 00 FC 00 00 00.
SectorInfo BootSpareRecord();
bool IsBootSpareRecord(const uint8_t* spare8);

// Little-endian 32-bit field at any offset (the TOC is read byte by byte).
uint32_t GetLe32(const uint8_t* p);
void PutLe32(uint8_t* p, uint32_t v);

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

// The raw page of a small-page sector as the device's driver programs it into
// an erased page: data, its two codes, and the record when one is given
// (spare 0-7 stay erased without one; spare 11 and 15 stay 0xFF).
void BuildSectorPage(const uint8_t* data512, const SectorInfo* info, uint8_t* raw528);

// The ECC view of one sector, as the driver's page read would see it.
enum class HalfResult { kNoError, kCorrected, kCodeError, kUncorrectable };
const char* HalfResultName(HalfResult r);

enum class SectorState { kErased, kClean, kCorrected, kUncorrectable, kWrongSpare };
const char* SectorStateName(SectorState s);

struct SectorCheck {
  bool erased = false;  // all 528 bytes 0xFF
  HalfResult half[2] = {HalfResult::kNoError, HalfResult::kNoError};
  int32_t flippedByte[2] = {-1, -1};  // for kCorrected: the data byte (0-511) and bit repaired
  int32_t flippedBit[2] = {-1, -1};
  bool bootRecord = false;     // spare 0-7 is the boot spare record
  uint8_t data[kSectorBytes];  // corrected data (as read when uncorrectable)
  uint8_t spare[kSpareBytes];

  bool Uncorrectable() const;
  bool NeededEcc() const;  // any half other than kNoError
  // The sector's state as a member of the boot area: a readable sector must
  // carry the boot spare record.
  SectorState AreaState() const;
  std::string Describe() const;  // what is wrong, for listings ("" when clean)
};
SectorCheck CheckSector(const uint8_t* raw528);

// A raw image file, opened for page access.
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
  bool WritePage(uint64_t page, const uint8_t* raw, std::string* error);
  // Programs a sector the way the chip does: bits can only go from 1 to 0.
  // data, its codes and info (when given) as the device's driver writes them.
  bool ProgramSector(uint64_t sector, const uint8_t* data512, const SectorInfo* info, std::string* error);
  bool EraseBlock(uint32_t block, std::string* error);

 private:
  void Close();
  bool OpenFile(const std::string& path, bool writable, std::string* error);

  int fd_ = -1;
  bool isDevice_ = false;
  std::string path_;
  std::string imagePath_;
  ChipId chip_;
  sim::ChipShape shape_;
  sim::NandConfig cfg_;
};

// Where the device finds its TOC, and what it finds there.
struct TocInfo {
  bool found = false;   // a TOC block with a readable sector 0 and the signature
  bool marked = false;  // a block with the boot spare record was found
  uint32_t block = 0;
  SectorCheck sector;        // sector 0 of the TOC block (when marked)
  uint32_t sectorCount = 0;  // offset 60
  uint32_t firstBlock = 0;   // offset 176
  std::string problem;       // why no TOC was found
};
bool LocateToc(const NandImage& img, TocInfo* toc, std::string* error);

// The boot area as a run of sectors, from the TOC or given.
struct BootArea {
  uint32_t firstBlock = 0;
  uint32_t sectorCount = 0;
  uint64_t FirstSector() const { return uint64_t(firstBlock) * kBootSectorsPerBlock; }
  uint64_t Blocks() const { return (uint64_t(sectorCount) + kBootSectorsPerBlock - 1) / kBootSectorsPerBlock; }
  // Sectors of the area that exist on a device of totalSectors sectors.
  uint64_t SectorsInside(uint64_t totalSectors) const;
};

// The area the device would use: from a found TOC, with the checks the
// locate makes (after the TOC block, wholly inside the device).
// *problem says why the area cannot be used; the area is still filled in.
bool AreaFromToc(const NandImage& img, const TocInfo& toc, BootArea* area, std::string* problem);

// Reads the boot area's sectors as the device would: one check per sector.
bool CheckAreaSector(const NandImage& img, const BootArea& area, uint32_t index, SectorCheck* out, std::string* error);

std::string HexBytes(const uint8_t* p, size_t n);  // "00 00 fc ..."

}  // namespace devsim

#endif
