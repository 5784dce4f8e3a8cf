// Builds the chip of a FlashCase (flash_builder.h): the pages planted before
// the run, in the order that decides which wins where two land on one page
// (old boot loader, then the spare records, then the TOC), and the faults,
// each resolved to the page or block the case aims it at.
#include "fuzz/flash_builder.h"

#include <string.h>

#include <vector>

#include "flash/nand_format.h"
#include "sim/device_files.h"
#include "tests/ecc/ecc_reference.h"

namespace flashfuzz {
namespace {

Chip ChipFor(uint8_t v) {
  switch (v % 8) {
    case 1:
      return {0x98, 0x73, ChipKind::kSmall};
    case 2:
      return {0xAD, 0x73, ChipKind::kSmall};
    case 3:
      return {0xEC, 0xDA, ChipKind::kLargePage};
    case 4:
      return {0xEC, 0x11, ChipKind::kUnknown};
    case 5:
      return {0x01, 0x73, ChipKind::kUnknown};
    default:
      return {0xEC, 0x73, ChipKind::kSmall};
  }
}

void PutLe32(uint8_t* p, uint32_t v) {
  for (int i = 0; i < 4; ++i) p[i] = uint8_t(v >> (8 * i));
}

Page ErasedPage() {
  Page erased;
  erased.fill(0xFF);
  return erased;
}

Page& PlantedPage(BuiltFlash* b, uint32_t page) {
  auto it = b->planted.find(page);
  if (it == b->planted.end()) it = b->planted.emplace(page, ErasedPage()).first;
  return it->second;
}

uint32_t AreaPage(const FlashCase& c, uint32_t index) {
  return uint32_t((uint64_t(c.firstBlock) * kPagesPerBlock + index) % kPages);
}

// An old boot loader at the start of the area, written as the updater writes
// one; only where the area lies on the chip.
// Its pages depend on their index alone: each is made once (its codes were a
// twentieth of a run).
const Page& OldLoaderPage(uint32_t i) {
  static std::vector<Page> made;
  while (made.size() <= i) {
    uint8_t data[kData];
    for (uint32_t k = 0; k < kData; ++k) data[k] = uint8_t(0xA5 ^ k ^ (made.size() * 17));
    made.push_back(WrittenPage(data));
  }
  return made[i];
}

void PlantOldLoader(const FlashCase& c, BuiltFlash* b) {
  for (uint32_t i = 0; i < c.oldPages; ++i) {
    uint64_t page = uint64_t(c.firstBlock) * kPagesPerBlock + i;
    if (page >= kPages) break;
    b->planted[uint32_t(page)] = OldLoaderPage(i);
  }
}

// The spare records of other blocks: decoys that look like a TOC block,
// factory bad-block marks, or any eight bytes.
void PlantRecords(const FlashCase& c, BuiltFlash* b) {
  for (const RecordEntry& e : c.records) {
    uint32_t first = uint32_t(e.block) * kPagesPerBlock;
    switch (e.kind) {
      case RecordKind::kBootRecord:
        memcpy(PlantedPage(b, first).data() + kData, kBootRecord, sizeof(kBootRecord));
        break;
      case RecordKind::kBadBlock:
        PlantedPage(b, first)[sim::kBadBlockMarkerByte] = 0x00;
        PlantedPage(b, first + 1)[sim::kBadBlockMarkerByte] = 0x00;
        break;
      case RecordKind::kRaw:
        memcpy(PlantedPage(b, first).data() + kData, e.bytes.data(), 8);
        break;
    }
  }
}

// The TOC block's first page: the TOC sector built from the case's fields (or
// taken raw), written with the boot spare record and its codes.
void PlantToc(const FlashCase& c, BuiltFlash* b) {
  if (!c.HasTocBlock()) return;
  uint8_t toc[kData];
  if (c.tocFlags & kTocRaw) {
    memcpy(toc, c.rawToc.data(), kData);
  } else {
    memset(toc, 0xFF, sizeof(toc));
    memcpy(toc, kSignature, 4);
    if (c.tocFlags & kTocBadSignature) toc[(c.tocFlags >> 1) & 3] ^= 0x20;
    PutLe32(toc + kTocSectorsAt, c.sectorCount);
    PutLe32(toc + kTocFirstBlockAt, c.firstBlock);
  }
  Page p = WrittenPage(toc);
  if (c.tocFlags & kTocEccErased)
    for (uint32_t at : kEccAt) memset(p.data() + at, 0xFF, 3);
  b->planted[uint32_t(c.tocBlock) * kPagesPerBlock] = p;
}

// Read flips, each resolved to the page its target names.
void AddFlips(const FlashCase& c, BuiltFlash* b) {
  for (const FlipEntry& f : c.flips) {
    sim::ReadFlipFault r;
    r.byte = f.byte;
    r.bit = f.bit;
    r.count = f.count;
    switch (f.target) {
      case FlipTarget::kTocPage:
        r.sector = (c.HasTocBlock() ? c.tocBlock : 1) * kPagesPerBlock + f.page % kPagesPerBlock;
        break;
      case FlipTarget::kAreaPage:
        r.sector = AreaPage(c, f.page % 64);
        break;
      case FlipTarget::kProbeRecord:
        r.sector = (f.page % kProbeLast + 1) * kPagesPerBlock;
        r.byte = kData + f.byte % 8;
        break;
      case FlipTarget::kAnyPage:
        r.sector = f.page % kPages;
        break;
    }
    b->flips.push_back(r);
    b->cfg.readFlips.push_back(r);
    b->anyFlip = true;
  }
}

// Program failures on pages of the area, erase failures on its blocks, the
// failure point of the run.
void AddFailures(const FlashCase& c, BuiltFlash* b) {
  for (const FailureEntry& f : c.failures) {
    if (f.kind == FailureKind::kPoint) {
      if (b->failPoint < 0) b->failPoint = f.index;
    } else if (f.kind == FailureKind::kProgram) {
      sim::ProgramFailFault p;
      p.sector = AreaPage(c, f.index % 64);
      b->cfg.programFails.push_back(p);
      b->anyProgramFail = true;
    } else {
      b->cfg.eraseFails.push_back(uint32_t((uint64_t(c.firstBlock) + f.index % 4) % kBlocks));
      b->anyEraseFail = true;
    }
  }
}

}  // namespace

Page WrittenPage(const uint8_t* data) {
  Page p = ErasedPage();
  memcpy(p.data(), data, kData);
  memcpy(p.data() + kData, kBootRecord, sizeof(kBootRecord));
  for (int h = 0; h < 2; ++h) eccref::Compute(data + h * 256, p.data() + kEccAt[h]);
  return p;
}

Page PageBefore(const BuiltFlash& b, uint32_t page) {
  auto it = b.planted.find(page);
  return it != b.planted.end() ? it->second : ErasedPage();
}

uint32_t SectorsFor(uint64_t bytes) { return uint32_t((bytes + kData - 1) / kData); }

uint32_t Le32(const uint8_t* p) {
  return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}

BuiltFlash BuildFlash(const FlashCase& c) {
  BuiltFlash b;
  b.chip = ChipFor(c.chip);
  b.image = c.Image();
  PlantOldLoader(c, &b);
  PlantRecords(c, &b);
  PlantToc(c, &b);
  b.cfg.maker = b.chip.maker;
  b.cfg.device = b.chip.device;
  AddFlips(c, &b);
  AddFailures(c, &b);
  return b;
}

}  // namespace flashfuzz
