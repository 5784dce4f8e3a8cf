// Two flashes of one chip compared page by page: which pages differ, and in
// which part of the page. After an update (on a device, or on a device made
// from a chip's dump) this is what tells whether only the boot area changed
// and how: new data under the same boot record, a record written where the
// area was erased, codes that no longer match, spare bytes the format leaves
// unused.
//
// The parts are those of the small-page sector (flash/nand_format.h): the
// 512 data bytes, the record in spare 0-7, the two halves' codes in spare
// 8-10 and 12-14, and the rest of the spare, which this format never writes.
// Large-page chips carry another layout and are not compared.
#ifndef TOOLS_DEVSIM_DIFF_REPORT_H
#define TOOLS_DEVSIM_DIFF_REPORT_H

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "tools/devsim/nandimage.h"

namespace devsim {

// Where in a raw page two pages differ; a page's kinds are a set of these.
enum DiffKind : uint8_t {
  kDiffData = 1 << 0,         // the sector's data
  kDiffSpareRecord = 1 << 1,  // the sector's record
  kDiffEcc = 1 << 2,          // the codes of the two halves
  kDiffOtherSpare = 1 << 3,   // spare bytes outside the record and the codes
};
constexpr int kDiffKinds = 4;
// The kind of index i (0..kDiffKinds-1, in the order above) as the text
// names it ("spare record") and as the JSON does ("spareRecord").
const char* DiffKindName(int i);
const char* DiffKindKey(int i);

// The kinds in which two raw small-page pages differ (0: none).
uint8_t PageDiffKinds(const uint8_t* a, const uint8_t* b);

// A run of consecutive pages, numbered across the chip, that differ in the
// same kinds; first and last included.
struct DiffRange {
  uint64_t first = 0, last = 0;
  uint8_t kinds = 0;
};
// A block with at least one differing page, its runs in page order. A run
// never crosses into the next block.
struct DiffBlock {
  uint32_t block = 0;
  std::vector<DiffRange> ranges;
};
struct DiffReport {
  uint64_t pages = 0;                   // pages that differ
  uint64_t kindPages[kDiffKinds] = {};  // of those, the pages that differ in each kind
  std::vector<DiffBlock> blocks;        // ascending
  bool Equal() const { return pages == 0; }
};

// A and B opened as devsim inspect opens a DIR|IMAGE, chip (when given) being
// the chip of whichever is a bare image, and checked to be comparable.
// InputError naming both and why when one cannot be opened or they are not
// comparable (CheckComparable); UsageError for a malformed chip.
struct DiffPair {
  NandImage a, b;
};
DiffPair OpenDiffPair(const std::string& a, const std::string& b, const std::optional<std::string>& chip);
// Two flashes are compared page by page when both are small-page chips of
// the same geometry; their IDs may differ (a dump's maker is a guess from its
// size). InputError naming both and why otherwise.
void CheckComparable(const NandImage& a, const NandImage& b);

// Every page of a against the same page of b (CheckComparable first).
// InputError when a page cannot be read.
DiffReport DiffImages(const NandImage& a, const NandImage& b);

// The blocks with a differing page, one entry per block of the chip, for a
// map's marks.
std::vector<bool> ChangedBlocks(const NandImage& img, const DiffReport& rep);

// The report as devsim diff prints it: a line per block then the count line
// (or one line saying that nothing differs), or one JSON object on a line,
// map being the picture drawn beside it when there is one (its keys are in
// diff's help).
std::string DiffText(const NandImage& a, const NandImage& b, const DiffReport& rep);
std::string DiffJson(const NandImage& a, const NandImage& b, const DiffReport& rep,
                     const std::optional<std::string>& map);

}  // namespace devsim

#endif
