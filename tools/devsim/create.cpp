// devsim create: a new device folder (device_create.cpp makes it).
#include <cstdio>
#include <utility>

#include "tools/devsim/command.h"

namespace devsim {
namespace {

const char kHelp[] =
    "usage: devsim create DIR [--chip MM:DD] [--toc-block N] [--boot-block N] [--boot-sectors N]\n"
    "                         [--boot-image FILE] [--fill] [--bad-blocks N,N,...] [--no-toc] [--force]\n"
    "       devsim create DIR --from-image DUMP [--chip MM:DD] [--force]\n"
    "\n"
    "Makes the device folder DIR: nand.img (every page erased to 0xFF, or a copy of DUMP),\n"
    "nand.cfg (the chip and its bad blocks), an empty card \"DIR/SDMMC Disk/\" and\n"
    "\"DIR/windows/\".\n"
    "\n"
    "  --from-image DUMP   nand.img is a copy of DUMP, a raw page+spare dump read off a chip\n"
    "                      (528 bytes a page: 512 data, 16 spare); DUMP itself is only read.\n"
    "                      Its chip is --chip, else the chip table's small-page chip of its\n"
    "                      size. Bad blocks go into nand.cfg: those whose first or second page\n"
    "                      has spare byte 5 other than ff without the whole boot spare record,\n"
    "                      leaving out the TOC block and the boot area the TOC names. A dump\n"
    "                      without a TOC is taken as it is (the updater will not find the\n"
    "                      area). The options that shape a new flash do not go with it.\n"
    "  --chip MM:DD        maker and device ID bytes in hexadecimal (default ec:76, 64 MiB).\n"
    "                      Small-page chips: 73 (16 MiB), 75 (32 MiB), 76 (64 MiB), 79 (128 MiB);\n"
    "                      large-page aa, da (256 MiB; they only answer their ID, so they get an\n"
    "                      erased image and no TOC). Other pairs make an unknown 16 MiB chip.\n"
    "  --toc-block N       the TOC block (default 1); its first sector carries the boot spare\n"
    "                      record 00 00 00 00 fc 00 00 00 and the TOC: \"NTOC\" at offset 0, the\n"
    "                      area's sector count at 60, its first block at 176 (little-endian),\n"
    "                      every other byte 0, with valid ECC codes.\n"
    "  --boot-block N      first block of the boot area written into the TOC (default 2)\n"
    "  --boot-sectors N    sector count of the boot area written into the TOC (default 512).\n"
    "                      Both are written as given, even when they do not fit the chip.\n"
    "  --boot-image FILE   writes FILE into the area as the updater does: chunk i of 512 bytes\n"
    "                      into sector i (the last one padded with 0xFF), each with the boot spare\n"
    "                      record and the ECC of both halves (spare 11 and 15 stay 0xFF).\n"
    "  --fill              every good block that is neither the TOC block nor in the area gets\n"
    "                      recognisable pages (\"devsim fill: block B page P sector S\" repeated,\n"
    "                      valid ECC, SectorInfo {sector, ff, ff, ffff}), so a change shows.\n"
    "  --bad-blocks LIST   factory bad blocks: bBadBlock (spare byte 5) = 00 in the block's\n"
    "                      first two pages (large-page chips: spare byte 0 of the first page);\n"
    "                      listed in nand.cfg.\n"
    "  --no-toc            no TOC on the flash.\n"
    "  --force             replace a device already in DIR (its soc.state goes too).\n";

struct CreateArgs {
  std::vector<std::string> positional;
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

int RunCreate(const std::vector<std::string>& argv) {
  CreateArgs a;
  CommandLine cl;
  cl.Positionals({"DIR"}, &a.positional);
  cl.Value("--chip", &a.chip);
  cl.Value("--toc-block", &a.tocBlock);
  cl.Value("--boot-block", &a.bootBlock);
  cl.Value("--boot-sectors", &a.bootSectors);
  cl.Value("--boot-image", &a.bootImage);
  cl.Flag("--fill", &a.fill);
  cl.Value("--bad-blocks", &a.badBlocks);
  cl.Flag("--no-toc", &a.noToc);
  cl.Flag("--force", &a.force);
  cl.Value("--from-image", &a.fromImage);
  cl.Parse(argv);
  if (a.fromImage) CheckDumpOptions(a);
  DevicePlan plan = a.fromImage ? PlanDeviceFromDump(a.positional[0], *a.fromImage, a.chip)
                                : PlanDevice(a.positional[0], RecipeFrom(a));
  MakeDevice(plan, a.force);
  std::fputs(DescribeDevice(plan).c_str(), stdout);
  return kExitOk;
}

}  // namespace

extern const Command kCreateCommand = {"create", "make a device folder (a new flash, or a copy of a chip's dump)",
                                       kHelp, RunCreate};

}  // namespace devsim
