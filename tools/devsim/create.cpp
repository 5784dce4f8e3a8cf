// devsim create: a new device folder (device_create.cpp makes it).
#include <cstdio>
#include <utility>

#include "tools/devsim/command.h"

namespace devsim {
namespace {

const char kProse[] =
    "Makes the device folder DIR: nand.img (every page erased to 0xFF, or a copy of DUMP),\n"
    "nand.cfg (the chip and its bad blocks), an empty card \"DIR/SDMMC Disk/\" and\n"
    "\"DIR/windows/\". Made from a chip's dump, only --chip and --force go with it:\n"
    "  devsim create DIR --from-image DUMP [--chip MM:DD] [--force]";
const char kFooter[] =
    "--chip: small-page chips 73 (16 MiB), 75 (32 MiB), 76 (64 MiB), 79 (128 MiB); large-page\n"
    "aa, da (256 MiB; they only answer their ID, so they get an erased image and no TOC).\n"
    "Other pairs make an unknown 16 MiB chip.\n"
    "\n"
    "The TOC block's first sector carries the boot spare record 00 00 00 00 fc 00 00 00 and\n"
    "the TOC: \"NTOC\" at offset 0, the area's sector count at 60, its first block at 176\n"
    "(little-endian), every other byte 0, with valid ECC codes. --boot-block and\n"
    "--boot-sectors are written as given, even when they do not fit the chip.\n"
    "\n"
    "--boot-image FILE goes into the area as the updater writes it: chunk i of 512 bytes\n"
    "into sector i (the last one padded with 0xFF), each with the boot spare record and\n"
    "the ECC of both halves (spare 11 and 15 stay 0xFF).\n"
    "\n"
    "--fill gives every good block that is neither the TOC block nor in the area\n"
    "recognisable pages (\"devsim fill: block B page P sector S\" repeated, valid ECC,\n"
    "SectorInfo {sector, ff, ff, ffff}), so a change shows.\n"
    "\n"
    "--bad-blocks marks bBadBlock (spare byte 5) = 00 in the block's first two pages\n"
    "(large-page chips: spare byte 0 of the first page).\n"
    "\n"
    "--from-image: DUMP is a raw page+spare dump read off a chip (528 bytes a page: 512\n"
    "data, 16 spare), and only read. Its chip is --chip, else the chip table's small-page\n"
    "chip of its size. Bad blocks go into nand.cfg: those whose first or second page has\n"
    "spare byte 5 other than ff without the whole boot spare record, leaving out the TOC\n"
    "block and the boot area the TOC names. A dump without a TOC is taken as it is (the\n"
    "updater will not find the area). The options that shape a new flash do not go with it.";

struct CreateArgs {
  std::string dir;
  std::optional<std::string> chip, tocBlock, bootBlock, bootSectors, bootImage, badBlocks, fromImage;
  bool fill = false, noToc = false, force = false;
};

// The options as a device recipe, numbers read in the order they are listed.
DeviceRecipe RecipeFrom(const CreateArgs& a) {
  DeviceRecipe recipe;
  if (a.chip) recipe.chip = ParseChip(*a.chip);
  recipe.toc = !a.noToc;
  if (a.tocBlock) recipe.tocBlock = ParseU32(*a.tocBlock, "--toc-block");
  if (a.bootBlock) recipe.area.firstBlock = ParseU32(*a.bootBlock, "--boot-block");
  if (a.bootSectors) recipe.area.sectorCount = ParseU32(*a.bootSectors, "--boot-sectors");
  recipe.fill = a.fill;
  if (a.badBlocks) recipe.badBlocks = ParseList(*a.badBlocks, "--bad-blocks");
  recipe.bootImagePath = a.bootImage;
  return recipe;
}

// A dump brings its own flash: nothing may shape a new one.
void CheckDumpOptions(const CreateArgs& a) {
  const std::pair<const char*, bool> shaping[] = {
      {"--toc-block", bool(a.tocBlock)},
      {"--boot-block", bool(a.bootBlock)},
      {"--boot-sectors", bool(a.bootSectors)},
      {"--boot-image", bool(a.bootImage)},
      {"--fill", a.fill},
      {"--bad-blocks", bool(a.badBlocks)},
      {"--no-toc", a.noToc},
  };
  for (const auto& [name, given] : shaping)
    if (given)
      throw UsageError(std::string(name) + " shapes a new flash; --from-image takes the dump's flash as it is");
}

int RunCreate(const CreateArgs& a) {
  if (a.fromImage) CheckDumpOptions(a);
  DevicePlan plan = a.fromImage ? PlanDeviceFromDump(a.dir, *a.fromImage, a.chip) : PlanDevice(a.dir, RecipeFrom(a));
  MakeDevice(plan, a.force);
  std::fputs(DescribeDevice(plan).c_str(), stdout);
  return kExitOk;
}

Runner Declare(CommandLine& cl) {
  auto a = std::make_shared<CreateArgs>();
  cl.Describe("make a device folder (a new flash, or a copy of a chip's dump)", kProse);
  cl.Footer(kFooter);
  cl.Positional("DIR", "the device folder to make", &a->dir);
  cl.Value("--chip", "MM:DD", "maker and device ID bytes in hexadecimal (default ec:76, 64 MiB; the chips below)",
           &a->chip);
  cl.Value("--toc-block", "N", "the TOC block (default 1)", &a->tocBlock);
  cl.Value("--boot-block", "N", "first block of the boot area written into the TOC (default 2)", &a->bootBlock);
  cl.Value("--boot-sectors", "N", "sector count of the boot area written into the TOC (default 512)", &a->bootSectors);
  cl.Value("--boot-image", "FILE", "writes FILE into the area as the updater does", &a->bootImage);
  cl.Flag("--fill", "recognisable pages in every good block outside the TOC block and the area", &a->fill);
  cl.Value("--bad-blocks", "N,N,...", "factory bad blocks, marked on the flash and listed in nand.cfg", &a->badBlocks);
  cl.Flag("--no-toc", "no TOC on the flash", &a->noToc);
  cl.Flag("--force", "replace a device already in DIR (its soc.state goes too)", &a->force);
  cl.Value("--from-image", "DUMP", "nand.img is a copy of DUMP, a chip's raw page+spare dump", &a->fromImage);
  return [a] { return RunCreate(*a); };
}

}  // namespace

extern const Command kCreateCommand = {"create", Declare};

}  // namespace devsim
