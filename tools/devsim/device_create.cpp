// Making a device folder: an erased chip, a TOC as the device's other
// software writes it, and optionally a boot loader in the area and
// file-system stand-in pages around it.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "tools/devsim/device_ops.h"

namespace devsim {
namespace {

bool IsBad(const DevicePlan& plan, uint32_t block) {
  const std::vector<uint32_t>& bad = plan.recipe.badBlocks;
  return std::find(bad.begin(), bad.end(), block) != bad.end();
}

bool InArea(const DevicePlan& plan, uint32_t block) {
  const BootArea& area = plan.recipe.area;
  return block >= area.firstBlock && uint64_t(block) < uint64_t(area.firstBlock) + area.Blocks();
}

// The TOC sector: only the three fields the device reads are set.
void BuildTocPage(const DevicePlan& plan, uint8_t* raw) {
  uint8_t data[kSectorBytes] = {};
  std::memcpy(data, kTocSignature, sizeof(kTocSignature));
  PutLe32(data + kTocSectorCountOffset, plan.recipe.area.sectorCount);
  PutLe32(data + kTocFirstBlockOffset, plan.recipe.area.firstBlock);
  SectorInfo rec = BootSpareRecord();
  BuildSectorPage(data, &rec, raw);
}

void BuildAreaPage(const DevicePlan& plan, uint64_t index, uint8_t* raw) {
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

// One block's pages as they leave the factory and the device's other software.
void BuildBlock(const DevicePlan& plan, uint32_t b, Bytes* block) {
  const uint32_t ppb = plan.shape.pagesPerBlock;
  const uint64_t raw = plan.shape.RawPageBytes();
  const bool smallPage = !plan.shape.largePage && plan.shape.pageData == kSectorBytes;
  const BootArea& area = plan.recipe.area;
  std::fill(block->begin(), block->end(), 0xFF);
  // The factory marks as the chip's maker leaves them: bBadBlock (spare
  // byte 5) of the first two pages on small-page chips, spare byte 0 of the
  // first page on large-page ones.
  if (IsBad(plan, b) && smallPage)
    for (uint32_t p = 0; p < 2; ++p) (*block)[p * raw + kSectorBytes + kSpareBadBlock] = 0x00;
  else if (IsBad(plan, b))
    (*block)[plan.shape.pageData] = 0x00;
  uint8_t content[kRawPageBytes];
  for (uint32_t p = 0; smallPage && p < ppb; ++p) {
    uint8_t* page = &(*block)[p * raw];
    const uint64_t sector = uint64_t(b) * ppb + p;
    const bool tocBlock = plan.toc && b == plan.tocBlock;
    if (tocBlock && p == 0) {
      BuildTocPage(plan, content);
      ProgramOnto(page, content);
    } else if (!plan.image.empty() && sector >= area.FirstSector() &&
               sector < area.FirstSector() + plan.ImageSectors()) {
      BuildAreaPage(plan, sector - area.FirstSector(), content);
      ProgramOnto(page, content);
    } else if (plan.recipe.fill && !tocBlock && !InArea(plan, b) && !IsBad(plan, b)) {
      BuildFillPage(b, p, sector, content);
      ProgramOnto(page, content);
    }
  }
}

void WriteImage(const DevicePlan& plan, const std::string& path) {
  int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  if (fd < 0) throw InputError("cannot create " + path + ": " + std::strerror(errno));
  Bytes block(plan.shape.pagesPerBlock * plan.shape.RawPageBytes());
  for (uint32_t b = 0; b < plan.shape.blocks; ++b) {
    BuildBlock(plan, b, &block);
    if (::write(fd, block.data(), block.size()) != ssize_t(block.size())) {
      std::string why = std::strerror(errno);
      ::close(fd);
      throw InputError("cannot write " + path + ": " + why);
    }
  }
  if (::close(fd) != 0) throw InputError("cannot write " + path + ": " + std::strerror(errno));
}

// nand.img as a byte-for-byte copy of the dump; the dump is only read.
void CopyDump(const DevicePlan& plan, const std::string& path) {
  const std::string& from = plan.dump->path;
  int in = ::open(from.c_str(), O_RDONLY);
  if (in < 0) throw InputError("cannot open " + from + ": " + std::strerror(errno));
  int out = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  if (out < 0) {
    std::string why = std::strerror(errno);
    ::close(in);
    throw InputError("cannot create " + path + ": " + why);
  }
  Bytes buf(1 << 16);
  uint64_t copied = 0;
  std::string problem;
  for (;;) {
    ssize_t got = ::read(in, buf.data(), buf.size());
    if (got < 0) problem = "cannot read " + from + ": " + std::strerror(errno);
    if (got <= 0) break;
    if (::write(out, buf.data(), size_t(got)) != got) {
      problem = "cannot write " + path + ": " + std::strerror(errno);
      break;
    }
    copied += uint64_t(got);
  }
  ::close(in);
  if (::close(out) != 0 && problem.empty()) problem = "cannot write " + path + ": " + std::strerror(errno);
  if (problem.empty() && copied != plan.shape.ImageBytes())
    problem = from + " changed while it was copied: " + std::to_string(copied) + " bytes, not " +
              std::to_string(plan.shape.ImageBytes());
  if (!problem.empty()) throw InputError(problem);
}

// The dump must survive the making: it cannot be one of the files that are
// replaced (copying it onto itself would truncate it before it is read).
void CheckNotTheDump(const DevicePlan& plan) {
  struct stat a, b;
  if (stat(plan.dump->path.c_str(), &a) != 0) return;
  for (const char* name : {"nand.img", "nand.cfg", "soc.state"}) {
    const std::string file = plan.dir + "/" + name;
    if (stat(file.c_str(), &b) == 0 && a.st_dev == b.st_dev && a.st_ino == b.st_ino)
      throw UsageError(plan.dump->path + " is " + file + " itself; copy the dump elsewhere first");
  }
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

void CheckSmallPagePlan(DevicePlan* plan, const std::string& chipName) {
  const DeviceRecipe& recipe = plan->recipe;
  const uint64_t totalSectors = plan->shape.Pages();
  const BootArea& area = recipe.area;
  if (plan->toc) {
    if (uint64_t(plan->tocBlock) * kBootSectorsPerBlock >= totalSectors)
      throw UsageError("--toc-block " + std::to_string(plan->tocBlock) + " is beyond the " +
                       std::to_string(plan->shape.blocks) + " blocks of " + chipName);
    if (IsBad(*plan, plan->tocBlock))
      throw UsageError("the TOC block " + std::to_string(plan->tocBlock) + " is also listed as a bad block");
  }
  if (!recipe.bootImagePath) return;
  const std::string& path = *recipe.bootImagePath;
  const std::string data = ReadWholeFile(path);
  plan->image.assign(data.begin(), data.end());
  const uint64_t needed = plan->ImageSectors();
  if (needed > area.sectorCount)
    throw UsageError(path + " has " + std::to_string(plan->image.size()) + " bytes, " + std::to_string(needed) +
                     " sectors; the boot area has " + std::to_string(area.sectorCount));
  if (area.FirstSector() + needed > totalSectors)
    throw UsageError("the boot image would end beyond the " + std::to_string(totalSectors) + " sectors of " + chipName);
  if (plan->toc && area.firstBlock <= plan->tocBlock &&
      area.FirstSector() + needed > uint64_t(plan->tocBlock) * kBootSectorsPerBlock)
    throw UsageError("the boot image would overwrite the TOC block " + std::to_string(plan->tocBlock));
}

std::string DescribeDump(const DevicePlan& plan) {
  const DumpFacts& d = *plan.dump;
  const TocInfo& t = d.toc;
  std::string out = "from image: " + d.path + " copied as it is (the dump itself is left alone); chip " +
                    FormatChipId(plan.recipe.chip) + (d.chipFromSize ? " by its size" : " as given") + "\n";
  if (!t.found) {
    out += "TOC: none: " + t.problem + "; taken as it is, the updater will not find the boot area\n";
  } else {
    out += "TOC: block " + std::to_string(t.block) + " (sector " +
           std::to_string(uint64_t(t.block) * kBootSectorsPerBlock) + "): boot area at block " +
           std::to_string(t.firstBlock) + ", " + std::to_string(t.sectorCount) + " sectors\n";
    if (!d.areaUsable) out += "  the device would not use it: " + d.areaProblem + "\n";
  }
  out += "bad blocks (from their marks):";
  for (uint32_t b : plan.recipe.badBlocks) out += " " + std::to_string(b);
  if (plan.recipe.badBlocks.empty()) out += " none";
  return out + "\n";
}

}  // namespace

DevicePlan PlanDevice(const std::string& dir, const DeviceRecipe& recipe) {
  DevicePlan plan;
  plan.dir = dir;
  plan.recipe = recipe;
  plan.shape = sim::ChipShapeFor(recipe.chip.maker, recipe.chip.device);
  plan.toc = recipe.toc;
  plan.tocBlock = recipe.tocBlock.value_or(1);
  const std::string chipName = "chip " + FormatChipId(recipe.chip);
  for (uint32_t b : recipe.badBlocks)
    if (b >= plan.shape.blocks)
      throw UsageError("bad block " + std::to_string(b) + " is beyond the " + std::to_string(plan.shape.blocks) +
                       " blocks of " + chipName);
  const bool smallPage = !plan.shape.largePage && plan.shape.pageData == kSectorBytes;
  if (!smallPage) {
    if (recipe.bootImagePath || recipe.fill || recipe.tocBlock)
      throw UsageError(chipName + " has " + std::to_string(plan.shape.pageData) +
                       "-byte pages; the TOC, the boot area and --fill need 512-byte sectors");
    plan.toc = false;
    return plan;
  }
  CheckSmallPagePlan(&plan, chipName);
  return plan;
}

void MakeDevice(const DevicePlan& plan, bool replace) {
  struct stat st;
  const std::string img = plan.dir + "/nand.img";
  if (stat(img.c_str(), &st) == 0 && !replace)
    throw UsageError(plan.dir + " already holds a device (nand.img); add --force to replace it");
  if (plan.dump) CheckNotTheDump(plan);
  MakeDir(plan.dir);
  ::unlink((plan.dir + "/soc.state").c_str());
  if (plan.dump)
    CopyDump(plan, img);
  else
    WriteImage(plan, img);

  WriteDeviceConfig(plan.dir, NewDeviceConfig(plan));
  MakeDir(plan.dir + "/SDMMC Disk");
  MakeDir(plan.dir + "/windows");
}

sim::NandConfig NewDeviceConfig(const DevicePlan& plan) {
  sim::NandConfig cfg;
  cfg.maker = plan.recipe.chip.maker;
  cfg.device = plan.recipe.chip.device;
  cfg.badBlocks = plan.recipe.badBlocks;
  return cfg;
}

std::string DescribeDevice(const DevicePlan& plan) {
  const sim::ChipShape& s = plan.shape;
  const DeviceRecipe& recipe = plan.recipe;
  char line[512];
  std::string out;
  std::snprintf(line, sizeof(line),
                "created %s: chip %s, %llu MiB: %u blocks of %u pages of %u+%u bytes; nand.img %llu bytes\n",
                plan.dir.c_str(), FormatChipId(recipe.chip).c_str(),
                static_cast<unsigned long long>(uint64_t(s.blocks) * s.pagesPerBlock * s.pageData >> 20), s.blocks,
                s.pagesPerBlock, s.pageData, s.pageSpare, static_cast<unsigned long long>(s.ImageBytes()));
  out += line;
  if (!s.known) out += "note: " + FormatChipId(recipe.chip) + " is not in the chip table; the driver will refuse it\n";
  if (plan.dump) return out + DescribeDump(plan);
  if (plan.toc) {
    std::snprintf(line, sizeof(line), "TOC: block %u (sector %llu): boot area at block %u, %u sectors\n", plan.tocBlock,
                  static_cast<unsigned long long>(uint64_t(plan.tocBlock) * kBootSectorsPerBlock),
                  recipe.area.firstBlock, recipe.area.sectorCount);
    out += line;
  } else {
    out += "TOC: none\n";
  }
  if (recipe.bootImagePath)
    out += "boot image: " + *recipe.bootImagePath + ", " + std::to_string(plan.image.size()) + " bytes in " +
           std::to_string(plan.ImageSectors()) + " sectors from sector " + std::to_string(recipe.area.FirstSector()) +
           "\n";
  if (recipe.fill) out += "fill: every good block outside the TOC block and the boot area\n";
  if (!recipe.badBlocks.empty()) {
    out += "bad blocks:";
    for (uint32_t b : recipe.badBlocks) out += " " + std::to_string(b);
    out += "\n";
  }
  return out;
}

}  // namespace devsim
