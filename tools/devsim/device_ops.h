// The work of devsim's create, fault, verify and inspect as functions, for
// the command line and for the campaign, which makes and checks its devices
// in-process with the same code.
//
// Mistakes throw: UsageError for what the caller asked that cannot be (a bad
// number, a fault beyond the chip), InputError for what cannot be read or
// written. The host tool turns both into exit code 2.
#ifndef TOOLS_DEVSIM_DEVICE_OPS_H
#define TOOLS_DEVSIM_DEVICE_OPS_H

#include <cstdint>
#include <functional>
#include <optional>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "sim/device_record.h"
#include "sim/nand_cfg.h"
#include "tools/devsim/boot_area_reader.h"
#include "tools/devsim/chip_id.h"
#include "tools/devsim/nandimage.h"
#include "tools/devsim/sector_codec.h"

namespace devsim {

struct UsageError : std::runtime_error {
  using std::runtime_error::runtime_error;
};
struct InputError : std::runtime_error {
  using std::runtime_error::runtime_error;
};

// Numbers: decimal or 0x-prefixed hexadecimal, the whole text (sim::ParseNumber);
// what names the value in the message of a bad one.
uint32_t ParseU32(const std::string& text, const std::string& what);
uint64_t ParseU64(const std::string& text, const std::string& what);
// "A:B:C" with between minFields and maxFields numbers.
std::vector<uint32_t> ParseFields(const std::string& text, size_t minFields, size_t maxFields, const std::string& what,
                                  const std::string& form);
std::vector<uint32_t> ParseList(const std::string& text, const std::string& what);  // "N,N,..."
ChipId ParseChip(const std::string& text);                                          // "MM:DD"

std::string ReadWholeFile(const std::string& path);

// --- create ---------------------------------------------------------------

// What a new device is made of; the defaults are devsim create's.
struct DeviceRecipe {
  ChipId chip;  // ec:76
  bool toc = true;
  std::optional<uint32_t> tocBlock;          // block 1 when not given
  BootArea area{2, 512};                     // as written into the TOC
  std::optional<std::string> bootImagePath;  // a file put into the area as the updater writes it
  bool fill = false;                         // recognisable pages outside the TOC block and the area
  std::vector<uint32_t> badBlocks;           // factory bad blocks
};

// What a chip's raw dump holds, as a device made from it takes it over.
struct DumpFacts {
  std::string path;
  bool chipFromSize = false;  // no --chip: the chip its size belongs to
  TocInfo toc;                // as the device finds it
  bool areaUsable = false;    // the TOC names an area the device would use
  std::string areaProblem;    // why not (toc found)
};

// A recipe checked against its chip, with what it needs read in.
struct DevicePlan {
  std::string dir;
  DeviceRecipe recipe;
  sim::ChipShape shape;
  bool toc = true;  // false on chips without 512-byte sectors
  uint32_t tocBlock = 1;
  Bytes image;  // the boot image's bytes
  // Made from a dump: nand.img is a copy of it, and recipe.chip,
  // recipe.badBlocks, recipe.area, toc and tocBlock are what the dump holds.
  std::optional<DumpFacts> dump;

  uint64_t ImageSectors() const { return (uint64_t(image.size()) + kSectorBytes - 1) / kSectorBytes; }
};

// Checks recipe (UsageError: what does not fit the chip) and reads the boot image.
DevicePlan PlanDevice(const std::string& dir, const DeviceRecipe& recipe);
// A device whose chip is the raw dump at dumpPath: of chip when given, else
// of the chip its size belongs to (NandImage::OpenBare). Its TOC is read as
// the device reads it and its bad blocks from their marks (FindBadBlocks).
// InputError when the dump cannot be read, fits no chip, or is of a chip
// without 512-byte pages; nothing is made.
DevicePlan PlanDeviceFromDump(const std::string& dir, const std::string& dumpPath,
                              const std::optional<std::string>& chip);
// The same for a dump already opened as a bare image (its Path() is the dump
// the device copies); chipFromSize: its chip was taken from its size.
DevicePlan PlanDeviceFromImage(const std::string& dir, const NandImage& dump, bool chipFromSize);
// The blocks of a flash that carry a bad-block mark (the rule is at the
// definition, device_dump.cpp), ascending.
std::vector<uint32_t> FindBadBlocks(const NandImage& img, const TocInfo& toc, bool areaUsable);
// Makes the device folder: nand.img, nand.cfg, "SDMMC Disk/", "windows/". A
// device already there is replaced only with replace (UsageError otherwise);
// its soc.state goes too.
void MakeDevice(const DevicePlan& plan, bool replace);
// The nand.cfg MakeDevice writes: the plan's chip and bad blocks.
sim::NandConfig NewDeviceConfig(const DevicePlan& plan);
// What was made, in the lines devsim create prints.
std::string DescribeDevice(const DevicePlan& plan);

// --- faults and settings ----------------------------------------------------

// DIR/nand.cfg of a device folder (InputError when there is none or it does
// not parse), and writing it back.
sim::NandConfig ReadDeviceConfig(const std::string& dir);
void WriteDeviceConfig(const std::string& dir, const sim::NandConfig& cfg);

// How faults are named in messages: by the host tool's options or by their
// nand.cfg keys.
enum class FaultNaming { kOptions, kKeys };

// Adds the faults of `faults` to cfg (a fault of a one-of-a-kind kind, when
// set, replaces cfg's: the model keeps one of each). Every fault must lie on
// cfg's chip and no kind may come to more than the device model holds
// (sim::kMaxFaultsPerKind): UsageError otherwise, and cfg is left as it was.
void AddFaults(const sim::NandConfig& faults, FaultNaming naming, sim::NandConfig* cfg);

// The faults of cfg as nand.cfg lines ("fault.read_flip = 32:0:0:0").
std::vector<std::string> FaultLines(const sim::NandConfig& cfg);

// --- the boot area ----------------------------------------------------------

// A DIR|IMAGE argument: a device folder, or a bare image of chip (when given)
// or of the chip its size belongs to. InputError when it cannot be opened.
NandImage OpenSource(const std::string& path, const std::optional<std::string>& chip, bool writable);

// A boot area given by hand ("BLOCK:SECTORS"), kept with its text for messages.
struct AreaChoice {
  BootArea area;
  std::string text;
};
AreaChoice ParseAreaChoice(const std::string& text);

// The boot area to work on: the one given, else the one the TOC names (with
// the device's checks). False with *problem when there is none to use.
bool ResolveArea(const NandImage& img, const std::optional<AreaChoice>& given, BootArea* area, TocInfo* toc,
                 std::string* problem);

// Does the boot area hold data (named fileName) exactly as the updater writes
// it? line is the verdict as devsim verify prints it ("verify: OK: ..." or
// "verify: FAILED: ..."). InputError when the flash cannot be read.
struct VerifyResult {
  bool ok = false;
  std::string line;
};
VerifyResult VerifyBootImage(const NandImage& img, const std::string& fileName, const std::string& data,
                             const std::optional<AreaChoice>& given);

// What devsim extract takes from a boot area: the data of the first
// ceil(bytes/512) sectors of area, ECC-corrected (as read when it cannot be),
// handed to out in order, bytes in all; bytes is at most the area's. The
// counts are by sector; a sector with a wrong spare record that needed its
// ECC counts as corrected too. InputError when the flash cannot be read.
struct ExtractResult {
  uint64_t sectors = 0, corrected = 0, uncorrectable = 0, erased = 0, wrongSpare = 0;
  struct Unreadable {
    uint64_t index;      // in the area
    std::string detail;  // what the ECC met
  };
  std::vector<Unreadable> unreadable;  // the uncorrectable sectors, in order
};
ExtractResult ExtractBootArea(const NandImage& img, const BootArea& area, uint64_t bytes,
                              const std::function<void(const uint8_t* data, size_t n)>& out);

// What devsim inspect shows: the TOC, the state of every sector of the area,
// and for a device its faults and the record of its runs.
struct AreaReport {
  bool present = false;
  bool fromOption = false;
  BootArea area;
  bool usable = false;
  std::string problem;
  uint64_t checked = 0;
  uint64_t counts[5] = {};  // by SectorState
  std::vector<SectorState> states;  // every checked sector's, in order (the map's squares and strip)
  std::vector<std::pair<uint64_t, uint64_t>> erasedRanges;
  struct Entry {
    uint64_t index;
    SectorState state;
    std::string detail;
  };
  std::vector<Entry> notClean;  // at most kMaxListedSectors
  bool truncated = false;
};
constexpr size_t kMaxListedSectors = 1000;

// What a person should know before reading a report or starting a run: one
// line each.
struct Warning {
  enum Kind {
    kUncorrectable,  // the boot area holds sectors that do not read back
    kFaults,         // nand.cfg still sets faults
    kPowerLoss,      // nand.cfg has the power go after some chip operations
    kPoweredOff,     // a power loss has struck: the device is off
    kKillArmed,      // soc.state ends the next program after some chip operations
  };
  Kind kind;
  std::string text;
};

struct InspectReport {
  TocInfo toc;
  AreaReport area;
  bool haveRecord = false;  // device: soc.state could be read
  sim::DeviceRecord record;
  std::string recordError;
  std::vector<std::string> faults;
  std::vector<Warning> warnings;
};
// InputError when the flash cannot be read; an unreadable soc.state is
// reported in recordError.
InspectReport InspectImage(const NandImage& img, const std::optional<AreaChoice>& given);
// The report as devsim inspect prints it: lines of text, or one JSON object
// on a line (its keys are in inspect's help).
std::string InspectText(const NandImage& img, const InspectReport& rep);
std::string InspectJson(const NandImage& img, const InspectReport& rep);

}  // namespace devsim

#endif
