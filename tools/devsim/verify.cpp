// devsim verify: does the flash hold exactly this boot image, as the updater
// writes it? (device_check.cpp compares.)
#include <cstdio>

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

int RunVerify(const std::vector<std::string>& argv) {
  std::vector<std::string> positional;
  std::optional<std::string> chip, area;
  CommandLine cl;
  cl.Positionals({"DIR|IMAGE", "FILE"}, &positional);
  cl.Value("--chip", &chip);
  cl.Value("--area", &area);
  cl.Parse(argv);
  const std::string& file = positional[1];
  NandImage img = OpenSource(positional[0], chip, false);
  const std::string data = ReadWholeFile(file);
  std::optional<AreaChoice> given;
  if (area) given = ParseAreaChoice(*area);
  VerifyResult r = VerifyBootImage(img, file, data, given);
  std::printf("%s\n", r.line.c_str());
  return r.ok ? kExitOk : kExitCheckFailed;
}

}  // namespace

extern const Command kVerifyCommand = {"verify", "check that the boot area holds an image exactly", kHelp, RunVerify};

}  // namespace devsim
