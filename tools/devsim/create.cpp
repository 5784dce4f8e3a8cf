// devsim create: a new device folder (device_create.cpp makes it).
#include <cstdio>

#include "tools/devsim/command.h"

namespace devsim {
namespace {

const char kHelp[] =
    "usage: devsim create DIR [--chip MM:DD] [--toc-block N] [--boot-block N] [--boot-sectors N]\n"
    "                         [--boot-image FILE] [--fill] [--bad-blocks N,N,...] [--no-toc] [--force]\n"
    "\n"
    "Makes the device folder DIR: nand.img (every page erased to 0xFF), nand.cfg (the chip\n"
    "and its factory bad blocks), an empty card \"DIR/SDMMC Disk/\" and \"DIR/windows/\".\n"
    "\n"
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
  std::optional<std::string> chip, tocBlock, bootBlock, bootSectors, bootImage, badBlocks;
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
  cl.Parse(argv);
  DevicePlan plan = PlanDevice(a.positional[0], RecipeFrom(a));
  MakeDevice(plan, a.force);
  std::fputs(DescribeDevice(plan).c_str(), stdout);
  return kExitOk;
}

}  // namespace

extern const Command kCreateCommand = {"create", "make a device folder (erased chip, TOC, boot image, fill)", kHelp,
                                       RunCreate};

}  // namespace devsim
