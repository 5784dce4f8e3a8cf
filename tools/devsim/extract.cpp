// devsim extract: the boot area's content as the device reads it back, with
// single-bit errors repaired by the page ECC (device_check.cpp reads it).
#include <cstdio>
#include <fstream>

#include "tools/devsim/command.h"

namespace devsim {
namespace {

const char kProse[] =
    "Writes the data of the boot area's first ceil(N/512) sectors, ECC-corrected, to FILE:\n"
    "N bytes (default: the whole area, its sector count times 512). The area is the one the\n"
    "TOC names (as the device finds it), or the one given with --area.";
const char kFooter[] =
    "A sector whose ECC cannot repair it is still written as read; each such sector is\n"
    "named on stderr and the exit code is 1. Exit 1 also when there is no usable boot area,\n"
    "2 on bad usage or unreadable input (N larger than the area is bad usage).";

struct ExtractArgs {
  std::string source, out;
  std::optional<std::string> bytesText, chip, areaText;
};

int RunExtract(const ExtractArgs& a) {
  NandImage img = OpenSource(a.source, a.chip, false);
  std::optional<AreaChoice> given;
  if (a.areaText) given = ParseAreaChoice(*a.areaText);

  BootArea area;
  TocInfo toc;
  std::string problem;
  if (!ResolveArea(img, given, &area, &toc, &problem)) {
    std::fprintf(stderr, "devsim extract: no usable boot area: %s\n", problem.c_str());
    return kExitCheckFailed;
  }
  const uint64_t areaBytes = uint64_t(area.sectorCount) * kSectorBytes;
  uint64_t bytes = areaBytes;
  if (a.bytesText) {
    bytes = ParseU64(*a.bytesText, "--bytes");
    if (bytes > areaBytes)
      throw UsageError("--bytes " + *a.bytesText + " is more than the boot area's " + std::to_string(area.sectorCount) +
                       " sectors (" + std::to_string(areaBytes) + " bytes)");
  }
  std::ofstream f(a.out, std::ios::binary | std::ios::trunc);
  if (!f) throw InputError("cannot create " + a.out);
  ExtractResult r = ExtractBootArea(img, area, bytes, [&f](const uint8_t* data, size_t n) {
    f.write(reinterpret_cast<const char*>(data), std::streamsize(n));
  });
  for (const ExtractResult::Unreadable& u : r.unreadable)
    std::fprintf(stderr, "devsim extract: sector %llu (area index %llu): %s; written as read\n",
                 static_cast<unsigned long long>(area.FirstSector() + u.index),
                 static_cast<unsigned long long>(u.index), u.detail.c_str());
  f.close();
  if (!f) throw InputError("cannot write " + a.out);
  std::printf(
      "extract: %llu bytes from %llu sectors of the boot area at block %u (sectors %llu..) to %s: "
      "%llu corrected, %llu uncorrectable, %llu erased, %llu with a wrong spare record\n",
      static_cast<unsigned long long>(bytes), static_cast<unsigned long long>(r.sectors), area.firstBlock,
      static_cast<unsigned long long>(area.FirstSector()), a.out.c_str(), static_cast<unsigned long long>(r.corrected),
      static_cast<unsigned long long>(r.uncorrectable), static_cast<unsigned long long>(r.erased),
      static_cast<unsigned long long>(r.wrongSpare));
  return r.uncorrectable ? kExitCheckFailed : kExitOk;
}

Runner Declare(CommandLine& cl) {
  auto a = std::make_shared<ExtractArgs>();
  cl.Describe("copy the boot area's content (ECC-corrected) to a file", kProse);
  cl.Footer(kFooter);
  cl.Positional("DIR|IMAGE", "a device folder, or a chip's raw page+spare image", &a->source);
  cl.NeededValue("-o", "FILE", "the file the data goes to", &a->out);
  cl.Value("--bytes", "N", "how many bytes (default: the whole area)", &a->bytesText);
  cl.Value("--chip", "MM:DD", "the chip of a bare IMAGE (default: from its size)", &a->chip);
  cl.Value("--area", "BLOCK:SECTORS", "take this run of sectors instead of the TOC's area", &a->areaText);
  return [a] { return RunExtract(*a); };
}

}  // namespace

extern const Command kExtractCommand = {"extract", Declare};

}  // namespace devsim
