// devsim create: a new device folder with an erased chip, a TOC as the
// device's other software writes it, and optionally a boot loader in the area
// and file-system stand-in pages around it.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

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

const std::vector<OptionSpec> kOptions = {
    {"--chip", OptionKind::kValue},       {"--toc-block", OptionKind::kValue},
    {"--boot-block", OptionKind::kValue}, {"--boot-sectors", OptionKind::kValue},
    {"--boot-image", OptionKind::kValue}, {"--fill", OptionKind::kFlag},
    {"--bad-blocks", OptionKind::kValue}, {"--no-toc", OptionKind::kFlag},
    {"--force", OptionKind::kFlag},
};

struct Plan {
  std::string dir;
  ChipId chip;
  sim::ChipShape shape;
  bool toc = true;
  uint32_t tocBlock = 1;
  BootArea area{2, 512};
  std::string imagePath;
  Bytes image;
  bool fill = false;
  std::vector<uint32_t> badBlocks;

  uint64_t ImageSectors() const { return (uint64_t(image.size()) + kSectorBytes - 1) / kSectorBytes; }
  bool IsBad(uint32_t block) const {
    for (uint32_t b : badBlocks)
      if (b == block) return true;
    return false;
  }
  bool InArea(uint32_t block) const {
    return block >= area.firstBlock && uint64_t(block) < uint64_t(area.firstBlock) + area.Blocks();
  }
};

Plan MakePlan(const ParsedArgs& args) {
  Plan plan;
  args.ExpectPositional({"DIR"});
  plan.dir = args.Positional()[0];
  std::string err;
  if (auto v = args.Get("--chip"))
    if (!ParseChipId(*v, &plan.chip, &err)) throw UsageError(err);
  plan.shape = sim::ChipShapeFor(plan.chip.maker, plan.chip.device);
  const bool smallPage = !plan.shape.largePage && plan.shape.pageData == kSectorBytes;
  const std::string chipName = "chip " + FormatChipId(plan.chip);
  plan.toc = !args.Has("--no-toc");
  if (auto v = args.Get("--toc-block")) plan.tocBlock = ParseU32(*v, "--toc-block");
  if (auto v = args.Get("--boot-block")) plan.area.firstBlock = ParseU32(*v, "--boot-block");
  if (auto v = args.Get("--boot-sectors")) plan.area.sectorCount = ParseU32(*v, "--boot-sectors");
  plan.fill = args.Has("--fill");
  if (auto v = args.Get("--bad-blocks")) plan.badBlocks = ParseList(*v, "--bad-blocks");
  for (uint32_t b : plan.badBlocks)
    if (b >= plan.shape.blocks)
      throw UsageError("bad block " + std::to_string(b) + " is beyond the " + std::to_string(plan.shape.blocks) +
                       " blocks of " + chipName);

  if (!smallPage) {
    if (args.Has("--boot-image") || plan.fill || args.Has("--toc-block"))
      throw UsageError(chipName + " has " + std::to_string(plan.shape.pageData) +
                       "-byte pages; the TOC, the boot area and --fill need 512-byte sectors");
    plan.toc = false;
    return plan;
  }
  const uint64_t totalSectors = plan.shape.Pages();
  if (plan.toc) {
    if (uint64_t(plan.tocBlock) * kBootSectorsPerBlock >= totalSectors)
      throw UsageError("--toc-block " + std::to_string(plan.tocBlock) + " is beyond the " +
                       std::to_string(plan.shape.blocks) + " blocks of " + chipName);
    if (plan.IsBad(plan.tocBlock))
      throw UsageError("the TOC block " + std::to_string(plan.tocBlock) + " is also listed as a bad block");
  }
  if (auto v = args.Get("--boot-image")) {
    plan.imagePath = *v;
    const std::string data = ReadWholeFile(*v);
    plan.image.assign(data.begin(), data.end());
    const uint64_t needed = plan.ImageSectors();
    if (needed > plan.area.sectorCount)
      throw UsageError(*v + " has " + std::to_string(plan.image.size()) + " bytes, " + std::to_string(needed) +
                       " sectors; the boot area has " + std::to_string(plan.area.sectorCount));
    if (plan.area.FirstSector() + needed > totalSectors)
      throw UsageError("the boot image would end beyond the " + std::to_string(totalSectors) + " sectors of " +
                       chipName);
    if (plan.toc && plan.area.firstBlock <= plan.tocBlock &&
        plan.area.FirstSector() + needed > uint64_t(plan.tocBlock) * kBootSectorsPerBlock)
      throw UsageError("the boot image would overwrite the TOC block " + std::to_string(plan.tocBlock));
  }
  return plan;
}

// The TOC sector: only the three fields the device reads are set.
void BuildTocPage(const Plan& plan, uint8_t* raw) {
  uint8_t data[kSectorBytes] = {};
  std::memcpy(data, kTocSignature, sizeof(kTocSignature));
  PutLe32(data + kTocSectorCountOffset, plan.area.sectorCount);
  PutLe32(data + kTocFirstBlockOffset, plan.area.firstBlock);
  SectorInfo rec = BootSpareRecord();
  BuildSectorPage(data, &rec, raw);
}

void BuildAreaPage(const Plan& plan, uint64_t index, uint8_t* raw) {
  uint8_t data[kSectorBytes];
  std::memset(data, 0xFF, sizeof(data));
  const uint64_t offset = index * kSectorBytes;
  const uint64_t n = plan.image.size() - offset < kSectorBytes ? plan.image.size() - offset : kSectorBytes;
  std::memcpy(data, plan.image.data() + offset, n);
  SectorInfo rec = BootSpareRecord();
  BuildSectorPage(data, &rec, raw);
}

void BuildFillPage(uint32_t block, uint32_t page, uint64_t sector, uint8_t* raw) {
  uint8_t data[kSectorBytes];
  char line[64];
  int len = std::snprintf(line, sizeof(line), "devsim fill: block %u page %u sector %llu\n", block, page,
                          static_cast<unsigned long long>(sector));
  for (uint32_t i = 0; i < kSectorBytes; ++i) data[i] = uint8_t(line[i % uint32_t(len)]);
  SectorInfo rec;
  rec.dwReserved1 = uint32_t(sector);
  BuildSectorPage(data, &rec, raw);
}

// Page content is programmed onto what is there (the erased page, a factory
// bad-block mark), as the chip would: bits only go from 1 to 0.
void ProgramOnto(uint8_t* page, const uint8_t* raw) {
  for (uint32_t i = 0; i < kRawPageBytes; ++i) page[i] &= raw[i];
}

void WriteImage(const Plan& plan, const std::string& path) {
  int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  if (fd < 0) throw InputError("cannot create " + path + ": " + std::strerror(errno));
  const uint32_t ppb = plan.shape.pagesPerBlock;
  const uint64_t raw = plan.shape.RawPageBytes();
  const bool smallPage = !plan.shape.largePage && plan.shape.pageData == kSectorBytes;
  Bytes block(ppb * raw);
  uint8_t content[kRawPageBytes];
  for (uint32_t b = 0; b < plan.shape.blocks; ++b) {
    std::fill(block.begin(), block.end(), 0xFF);
    // The factory marks as the chip's maker leaves them: bBadBlock (spare
    // byte 5) of the first two pages on small-page chips, spare byte 0 of the
    // first page on large-page ones.
    if (plan.IsBad(b) && smallPage)
      for (uint32_t p = 0; p < 2; ++p) block[p * raw + kSectorBytes + kSpareBadBlock] = 0x00;
    else if (plan.IsBad(b))
      block[plan.shape.pageData] = 0x00;
    for (uint32_t p = 0; smallPage && p < ppb; ++p) {
      uint8_t* page = &block[p * raw];
      const uint64_t sector = uint64_t(b) * ppb + p;
      const bool tocBlock = plan.toc && b == plan.tocBlock;
      if (tocBlock && p == 0) {
        BuildTocPage(plan, content);
        ProgramOnto(page, content);
      } else if (!plan.image.empty() && sector >= plan.area.FirstSector() &&
                 sector < plan.area.FirstSector() + plan.ImageSectors()) {
        BuildAreaPage(plan, sector - plan.area.FirstSector(), content);
        ProgramOnto(page, content);
      } else if (plan.fill && !tocBlock && !plan.InArea(b) && !plan.IsBad(b)) {
        BuildFillPage(b, p, sector, content);
        ProgramOnto(page, content);
      }
    }
    if (::write(fd, block.data(), block.size()) != ssize_t(block.size())) {
      std::string why = std::strerror(errno);
      ::close(fd);
      throw InputError("cannot write " + path + ": " + why);
    }
  }
  if (::close(fd) != 0) throw InputError("cannot write " + path + ": " + std::strerror(errno));
}

void MakeDir(const std::string& path) {
  std::string partial;
  size_t pos = 0;
  while (pos != std::string::npos) {
    pos = path.find('/', pos + 1);
    partial = path.substr(0, pos);
    if (partial.empty()) continue;
    if (::mkdir(partial.c_str(), 0755) != 0 && errno != EEXIST)
      throw InputError("cannot make folder " + partial + ": " + std::strerror(errno));
  }
  struct stat st;
  if (stat(path.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) throw InputError(path + " is not a folder");
}

int RunCreate(const std::vector<std::string>& argv) {
  ParsedArgs args(argv, kOptions);
  Plan plan = MakePlan(args);
  struct stat st;
  const std::string img = plan.dir + "/nand.img";
  if (stat(img.c_str(), &st) == 0 && !args.Has("--force"))
    throw UsageError(plan.dir + " already holds a device (nand.img); add --force to replace it");
  MakeDir(plan.dir);
  ::unlink((plan.dir + "/soc.state").c_str());
  WriteImage(plan, img);

  sim::NandConfig cfg;
  cfg.maker = plan.chip.maker;
  cfg.device = plan.chip.device;
  cfg.badBlocks = plan.badBlocks;
  std::string err;
  if (!sim::SaveNandConfig(plan.dir + "/nand.cfg", cfg, &err)) throw InputError(err);
  MakeDir(plan.dir + "/SDMMC Disk");
  MakeDir(plan.dir + "/windows");

  const sim::ChipShape& s = plan.shape;
  std::printf("created %s: chip %s, %llu MiB: %u blocks of %u pages of %u+%u bytes; nand.img %llu bytes\n",
              plan.dir.c_str(), FormatChipId(plan.chip).c_str(),
              static_cast<unsigned long long>(uint64_t(s.blocks) * s.pagesPerBlock * s.pageData >> 20), s.blocks,
              s.pagesPerBlock, s.pageData, s.pageSpare, static_cast<unsigned long long>(s.ImageBytes()));
  if (!s.known) std::printf("note: %s is not in the chip table; the driver will refuse it\n", FormatChipId(plan.chip).c_str());
  if (plan.toc)
    std::printf("TOC: block %u (sector %llu): boot area at block %u, %u sectors\n", plan.tocBlock,
                static_cast<unsigned long long>(uint64_t(plan.tocBlock) * kBootSectorsPerBlock), plan.area.firstBlock,
                plan.area.sectorCount);
  else
    std::printf("TOC: none\n");
  if (!plan.imagePath.empty())
    std::printf("boot image: %s, %zu bytes in %llu sectors from sector %llu\n", plan.imagePath.c_str(),
                plan.image.size(), static_cast<unsigned long long>(plan.ImageSectors()),
                static_cast<unsigned long long>(plan.area.FirstSector()));
  if (plan.fill) std::printf("fill: every good block outside the TOC block and the boot area\n");
  if (!plan.badBlocks.empty()) {
    std::printf("bad blocks:");
    for (uint32_t b : plan.badBlocks) std::printf(" %u", b);
    std::printf("\n");
  }
  return kExitOk;
}

}  // namespace

extern const Command kCreateCommand = {"create", "make a device folder (erased chip, TOC, boot image, fill)", kHelp,
                                       RunCreate};

}  // namespace devsim
