// devsim diff: which pages of a chip changed between two of its flashes (a
// dump and the device made from it after an update, two devices), and in
// which part of the page (diff_report.cpp compares, block_map.cpp draws).
#include <cstdio>

#include "tools/devsim/block_map.h"
#include "tools/devsim/command.h"
#include "tools/devsim/diff_report.h"

namespace devsim {
namespace {

const char kProse[] =
    "Compares A and B page by page, each a device folder or a chip's raw page+spare\n"
    "image, of one chip: both small-page chips (512+16-byte pages) of the same geometry.\n"
    "A page differs in its data (bytes 0-511), its spare record (spare 0-7), its ECC\n"
    "(the codes in spare 8-10 and 12-14) or its other spare (spare 11 and 15, which the\n"
    "format leaves unused); a page can differ in several.\n"
    "\n"
    "The text is a line per block with a changed page,\n"
    "  block 2: pages 64..69 data, ECC; pages 70..95 data, spare record, ECC\n"
    "its pages numbered across the chip as inspect numbers sectors (block B holds pages\n"
    "B x 32 to B x 32 + 31; page P lies at byte P x 528 of the image), consecutive\n"
    "pages that differ in the same parts as one run; then the count line\n"
    "  40 pages differ in 2 blocks: data 40, spare record 34, ECC 40\n"
    "(other spare added when a page differs there). When no page differs, one line\n"
    "says so.";
const char kFooter[] =
    "The map is inspect's picture of B (64 blocks a row, the legend squares under it)\n"
    "with each block that has a changed page framed in magenta; the last legend square\n"
    "is that frame. FILE.png or FILE.svg; the SVG names the frame in its legend and in\n"
    "the hover titles of the framed blocks.\n"
    "\n"
    "The JSON object's keys:\n"
    "  a, b: path, kind (\"device\" | \"image\"), image (the raw file), chip (\"ec:76\")\n"
    "  chip: id (A's), pageData, pageSpare, pagesPerBlock, blocks, pages\n"
    "  equal\n"
    "  counts: pages, blocks, data, spareRecord, ecc, otherSpare (pages that differ\n"
    "          there)\n"
    "  blocks: [{block, ranges: [{first, last, kinds: [\"data\" | \"spareRecord\" |\n"
    "          \"ecc\" | \"otherSpare\"...]}...]}...] (pages numbered across the chip)\n"
    "  map: FILE (.png or .svg) or null\n"
    "\n"
    "Exit 0 when no page differs, 1 when a page does; 2 when A and B cannot be compared\n"
    "(one cannot be read, the chips' geometries differ, a chip with large pages) or on\n"
    "bad usage.";

struct DiffArgs {
  std::string a, b;
  std::optional<std::string> chip, map;
  bool json = false;
};

int RunDiff(const DiffArgs& args) {
  // A name of no picture form is a mistake of the command line: refused
  // before the chips are read.
  if (args.map) MapFormatOf(*args.map);
  DiffPair pair = OpenDiffPair(args.a, args.b, args.chip);
  const DiffReport rep = DiffImages(pair.a, pair.b);
  if (args.map) {
    const InspectReport inspected = InspectImage(pair.b, std::nullopt);
    WriteMap(*args.map, MapChip(pair.b, inspected), ChangedBlocks(pair.b, rep));
  }
  if (args.json) {
    std::fputs(DiffJson(pair.a, pair.b, rep, args.map).c_str(), stdout);
  } else {
    std::fputs(DiffText(pair.a, pair.b, rep).c_str(), stdout);
    if (args.map)
      std::printf("map: %s (%u blocks, %zu with a changed page framed)\n", args.map->c_str(), pair.b.Shape().blocks,
                  rep.blocks.size());
  }
  return rep.Equal() ? kExitOk : kExitCheckFailed;
}

Runner Declare(CommandLine& cl) {
  auto a = std::make_shared<DiffArgs>();
  cl.Describe("list the pages that differ between two flashes of one chip", kProse);
  cl.Footer(kFooter);
  cl.Positional("A", "a device folder, or a chip's raw page+spare image (before)", &a->a);
  cl.Positional("B", "another of the same chip (after)", &a->b);
  cl.Flag("--json", "one JSON object instead of text (its keys below)", &a->json);
  cl.Value("--chip", "MM:DD", "the chip of a bare A or B (default: from its size)", &a->chip);
  cl.Value("--map", "FILE",
           "also draw B's blocks to " + MapFormatNames() + ", those with a changed page marked (below)", &a->map);
  return [a] { return RunDiff(*a); };
}

}  // namespace

extern const Command kDiffCommand = {"diff", Declare};

}  // namespace devsim
