// devsim verify: does the flash hold exactly this boot image, as the updater
// writes it? Strict: the image has to be there with its own codes and
// records. A sector the ECC would repair on reading still fails, because a
// flipped bit in a freshly written boot loader is a bad write, not wear.
#include <cstdio>
#include <cstring>

#include "tools/devsim/command.h"

namespace devsim {
namespace {

const char kHelp[] =
    "usage: devsim verify DIR|IMAGE FILE [--chip MM:DD] [--area BLOCK:SECTORS]\n"
    "\n"
    "Passes (exit 0) when the boot area's first ceil(size/512) sectors hold FILE as the\n"
    "updater writes it: chunk i of 512 bytes in sector i, the last one padded with 0xFF,\n"
    "each sector with the boot spare record 00 00 00 00 fc 00 00 00 in spare 0-7 and the\n"
    "ECC of its two halves in spare 8-10 and 12-14 (spare 11 and 15 are not compared).\n"
    "Any difference fails (exit 1), also one the ECC would correct on reading; the\n"
    "report names the first sector that differs and how (data byte offset and values,\n"
    "spare record bytes, code bytes) and how many sectors differ.\n"
    "\n"
    "The area is the one the TOC names, as the device finds it (no usable TOC fails), or\n"
    "the one given with --area. The last line is\n"
    "  verify: OK: N sectors of FILE match the boot area at block B\n"
    "or\n"
    "  verify: FAILED: ...\n"
    "Exit 2 on bad usage or unreadable input.\n";

const std::vector<OptionSpec> kOptions = {
    {"--chip", OptionKind::kValue},
    {"--area", OptionKind::kValue},
};

std::string Hex2(uint8_t v) {
  char buf[8];
  std::snprintf(buf, sizeof(buf), "0x%02x", v);
  return buf;
}

// How the sector on the flash differs from the one expected; "" when equal.
std::string Difference(const uint8_t* got, const uint8_t* want) {
  std::string out;
  auto add = [&out](const std::string& s) { out += (out.empty() ? "" : "; ") + s; };
  uint32_t firstData = kSectorBytes, dataDiffs = 0;
  for (uint32_t i = 0; i < kSectorBytes; ++i) {
    if (got[i] == want[i]) continue;
    if (!dataDiffs++) firstData = i;
  }
  if (dataDiffs)
    add("data byte " + std::to_string(firstData) + " is " + Hex2(got[firstData]) + ", FILE has " +
        Hex2(want[firstData]) + " (" + std::to_string(dataDiffs) + (dataDiffs == 1 ? " data byte differs)" : " data bytes differ)"));
  const uint8_t* gs = got + kSectorBytes;
  const uint8_t* ws = want + kSectorBytes;
  if (std::memcmp(gs, ws, 8) != 0) add("spare record (spare 0-7) is " + HexBytes(gs, 8) + ", expected " + HexBytes(ws, 8));
  for (int h = 0; h < 2; ++h) {
    const uint32_t at = h == 0 ? kSpareEcc0 : kSpareEcc1;
    if (std::memcmp(gs + at, ws + at, 3) != 0)
      add(std::string("ECC of data ") + (h == 0 ? "0-255" : "256-511") + " (spare " + std::to_string(at) + "-" +
          std::to_string(at + 2) + ") is " + HexBytes(gs + at, 3) + ", expected " + HexBytes(ws + at, 3));
  }
  if (out.empty()) return out;
  SectorCheck c = CheckSector(got);
  if (c.erased)
    out += " (the sector is erased)";
  else if (c.NeededEcc())
    out += " (on reading: " + c.Describe() + ")";
  return out;
}

int Failed(const std::string& why) {
  std::printf("verify: FAILED: %s\n", why.c_str());
  return kExitCheckFailed;
}

int RunVerify(const std::vector<std::string>& argv) {
  ParsedArgs args(argv, kOptions);
  args.ExpectPositional({"DIR|IMAGE", "FILE"});
  const std::string file = args.Positional()[1];
  NandImage img = OpenSource(args.Positional()[0], args, false);
  const std::string data = ReadWholeFile(file);

  BootArea area;
  TocInfo toc;
  std::string problem;
  if (!ResolveArea(img, args, &area, &toc, &problem)) return Failed("no usable boot area: " + problem);
  const uint64_t sectors = (uint64_t(data.size()) + kSectorBytes - 1) / kSectorBytes;
  if (sectors > area.sectorCount)
    return Failed(file + " has " + std::to_string(data.size()) + " bytes, " + std::to_string(sectors) +
                  " sectors; the boot area at block " + std::to_string(area.firstBlock) + " has " +
                  std::to_string(area.sectorCount));

  const SectorInfo rec = BootSpareRecord();
  uint8_t got[kRawPageBytes], want[kRawPageBytes], chunk[kSectorBytes];
  std::string err, first;
  uint64_t firstIndex = 0, differing = 0;
  for (uint64_t i = 0; i < sectors; ++i) {
    std::memset(chunk, 0xFF, sizeof(chunk));
    const uint64_t off = i * kSectorBytes;
    std::memcpy(chunk, data.data() + off, data.size() - off < kSectorBytes ? data.size() - off : kSectorBytes);
    BuildSectorPage(chunk, &rec, want);
    if (!img.ReadPage(area.FirstSector() + i, got, &err)) throw InputError(err);
    std::string diff = Difference(got, want);
    if (diff.empty()) continue;
    if (!differing++) {
      first = diff;
      firstIndex = i;
    }
  }
  if (differing)
    return Failed("sector " + std::to_string(area.FirstSector() + firstIndex) + " (index " +
                  std::to_string(firstIndex) + " of the boot area at block " + std::to_string(area.firstBlock) +
                  ") differs: " + first + "; " + std::to_string(differing) + " of " + std::to_string(sectors) +
                  " sectors differ");
  std::printf("verify: OK: %llu sectors of %s match the boot area at block %u\n",
              static_cast<unsigned long long>(sectors), file.c_str(), area.firstBlock);
  return kExitOk;
}

}  // namespace

extern const Command kVerifyCommand = {"verify", "check that the boot area holds an image exactly", kHelp, RunVerify};

}  // namespace devsim
