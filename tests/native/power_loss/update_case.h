// One update of the boot loader area, set up the way the power-loss sweep and
// the interrupted-sector tests need it: a chip with its TOC and boot area, the
// flash as it stood before the update, the card with the new image; the real
// updater run as the device's program on a device in memory; and the checks of
// what a run leaves in the cells.
//
// The flash before the update is a used chip: every page outside the boot
// area holds pseudo-random cells (data and spare), so a stray program or a
// stray erase anywhere shows; the TOC block's first sector is a valid TOC
// with its page ECC and the boot spare record; the area holds an older boot
// loader over all of its sectors (data, ECC, record), so a sector that the
// update should have erased or rewritten and did not shows as well.
#ifndef TESTS_NATIVE_POWER_LOSS_UPDATE_CASE_H
#define TESTS_NATIVE_POWER_LOSS_UPDATE_CASE_H

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "platform/native/native.h"
#include "sim/device_record.h"
#include "sim/nand_cfg.h"
#include "tests/common/on_flash.h"

namespace powerloss {

constexpr uint32_t kSectorsPerBlock = onflash::kSectorsPerBlock;
constexpr uint32_t kSectorBytes = onflash::kData;
constexpr uint32_t kRawPage = onflash::kRawPage;

// The boot spare record of the TOC sector and of every boot area sector.
using onflash::kBootRecord;

struct UpdatePlan {
  uint32_t maker = 0xEC;
  uint32_t device = 0x76;
  uint32_t tocBlock = 1;
  uint32_t areaFirstBlock = 2;
  uint32_t areaSectors = 512;  // the TOC's sector count
  uint32_t imageBytes = 256 * 1024;
  uint32_t seed = 1;  // of the card image and the flash before

  sim::NandConfig Config() const;
  uint64_t FlashBytes() const;  // the chip's raw image (pages with spare)
  uint32_t ImageSectors() const;
  uint32_t AreaFirstSector() const;
  uint32_t AreaEndSector() const;  // one past the last sector of the area's last block
  std::string Name() const;        // "0xec:0x76 64 MiB"
};

// The card's EBOOT.NB0 of the plan (pseudo-random bytes).
// The updates the power-loss sweep tries: "default" (the 64 MiB update),
// "small" (one on each of the twelve small-page chips) or "all".
std::vector<UpdatePlan> SweepPlans(const std::string& which);
std::vector<uint8_t> CardImage(const UpdatePlan& plan);

// The flash before the update, into raw (plan.FlashBytes() bytes).
void BuildFlashBefore(const UpdatePlan& plan, uint8_t* raw);

// A raw page as the driver's programs leave it over an erased page: the 512
// data bytes (0xFF without data), the page ECC of each 256-byte half in spare
// bytes 8-10 and 12-14 (raw 520 and 524) when `ecc`, the boot spare record in
// spare 0-7 when `record`; every other byte 0xFF.
std::vector<uint8_t> ProgrammedPage(const uint8_t* data, bool ecc, bool record);

// The 512 bytes area sector `index` takes from the image (the last one padded
// with 0xFF); index must be below plan.ImageSectors().
std::vector<uint8_t> ImageSector(const std::vector<uint8_t>& image, uint32_t index);

// "" when every page outside the boot area (data and spare) is as before;
// otherwise how many differ and the first difference.
std::string OutsideAreaDiff(const UpdatePlan& plan, const uint8_t* now, const uint8_t* before);
// The same for the raw bytes [from, to) of the flash only.
std::string RangeDiff(const uint8_t* now, const uint8_t* before, uint64_t from, uint64_t to);
// "" when the area holds the image as a complete update leaves it: each of
// the image's sectors its data, page ECC and boot record, every sector after
// them erased; otherwise how many sectors are wrong and the first of them.
std::string AreaDiff(const UpdatePlan& plan, const uint8_t* now, const std::vector<uint8_t>& image);

// The card folder (the device root): "<root>/SDMMC Disk/EBOOT.NB0".
class Card {
 public:
  explicit Card(const std::vector<uint8_t>& image);
  ~Card();
  Card(const Card&) = delete;
  Card& operator=(const Card&) = delete;
  bool ok() const { return ok_; }
  const std::string& root() const { return root_; }

 private:
  std::string root_;
  bool ok_ = false;
};

// What the system does before any program starts: the system flash driver's
// "_FLASH_MUTEX_" exists (made once, kept for the life of the process), and
// the debug lines are not echoed. Then the device root is `root`.
void PrepareDevice(const std::string& root);
// The system flash driver's mutex as a fresh start leaves it: free, and not
// abandoned by an updater that the power stopped while it held the bus.
void FreeSystemFlashMutex();

struct Box {
  std::string caption, text;
};

struct RunResult {
  native::ProgramEnd end = native::ProgramEnd::kReturned;
  std::vector<Box> boxes;
  sim::DeviceRecord record;  // after the run
};

// Runs the updater application (its AfxWinMain) as the device's program on
// the attached device and collects its message boxes and the device record.
RunResult RunUpdater();

bool IsSuccessBox(const Box& box);
// `"Caption: text"` for each box, comma separated; "none" when there is none.
std::string DescribeBoxes(const std::vector<Box>& boxes);
std::string DescribeViolations(const sim::DeviceRecord& record);

}  // namespace powerloss

#endif
