// devsim verify: does the flash hold exactly this boot image, as the updater
// writes it? (device_check.cpp compares.)
#include <cstdio>

#include "tools/devsim/command.h"

namespace devsim {
namespace {

const char kProse[] =
    "Passes (exit 0) when the boot area's first ceil(size/512) sectors hold FILE as the\n"
    "updater writes it: chunk i of 512 bytes in sector i, the last one padded with 0xFF,\n"
    "each sector with the boot spare record 00 00 00 00 fc 00 00 00 in spare 0-7 and the\n"
    "ECC of its two halves in spare 8-10 and 12-14 (spare 11 and 15 are not compared).\n"
    "Any difference fails (exit 1), also one the ECC would correct on reading; the\n"
    "report names the first sector that differs and how (data byte offset and values,\n"
    "spare record bytes, code bytes) and how many sectors differ.";
const char kFooter[] =
    "The area is the one the TOC names, as the device finds it (no usable TOC fails), or\n"
    "the one given with --area. The last line is\n"
    "  verify: OK: N sectors of FILE match the boot area at block B\n"
    "or\n"
    "  verify: FAILED: ...\n"
    "Exit 2 on bad usage or unreadable input.";

struct VerifyArgs {
  std::string source, file;
  std::optional<std::string> chip, area;
};

int RunVerify(const VerifyArgs& a) {
  NandImage img = OpenSource(a.source, a.chip, false);
  const std::string data = ReadWholeFile(a.file);
  std::optional<AreaChoice> given;
  if (a.area) given = ParseAreaChoice(*a.area);
  VerifyResult r = VerifyBootImage(img, a.file, data, given);
  std::printf("%s\n", r.line.c_str());
  return r.ok ? kExitOk : kExitCheckFailed;
}

Runner Declare(CommandLine& cl) {
  auto a = std::make_shared<VerifyArgs>();
  cl.Describe("check that the boot area holds an image exactly", kProse);
  cl.Footer(kFooter);
  cl.Positional("DIR|IMAGE", "a device folder, or a chip's raw page+spare image", &a->source);
  cl.Positional("FILE", "the boot image", &a->file);
  cl.Value("--chip", "MM:DD", "the chip of a bare IMAGE (default: from its size)", &a->chip);
  cl.Value("--area", "BLOCK:SECTORS", "look at this run of sectors instead of the TOC's area", &a->area);
  return [a] { return RunVerify(*a); };
}

}  // namespace

extern const Command kVerifyCommand = {"verify", Declare};

}  // namespace devsim
