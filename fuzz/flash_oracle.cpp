// The oracle's judgements (flash_oracle.h): the TOC read from the planted
// pages with the on-flash format of flash/nand_format.h, the messages a case
// allows, the area a run may change, and the flash after a successful update.
#include <windows.h>

#include "fuzz/flash_oracle.h"

#include <stdio.h>
#include <string.h>

#include <algorithm>

#include "flash/nand_format.h"
#include "fuzz/flash_finding.h"
#include "tests/ecc/ecc_reference.h"

namespace flashfuzz {
namespace {

struct KnownMessage {
  Message message;
  const char* caption;
  const char* text;
};
const KnownMessage kMessages[] = {
    {Message::kOpen, "Error", "Can't open binary file of bootloader!"},
    {Message::kInit, "Error", "Failed to initialize NANDFLASH driver!"},
    {Message::kLocate, "Error", "Can't locate bootloader area!"},
    {Message::kRead, "Error", "Can't read binary file of bootloader!"},
    {Message::kErase, "Error", "Can't erase bootloader area!"},
    {Message::kWrite, "Error", "Can't write bootloader area!"},
    {Message::kDone, "Information", "Bootloader update finished! "},
};

uint32_t Bit(Message m) { return 1u << int(m); }

// A flip on the spare record of a probed block's first page: no code covers
// it, so the locator may take or skip that block.
bool FlipOnProbedRecord(const sim::ReadFlipFault& f) {
  return f.byte >= kData && f.byte < kData + 8 && f.sector % kPagesPerBlock == 0 &&
         f.sector / kPagesPerBlock >= kProbeFirst && f.sector / kPagesPerBlock <= kProbeLast;
}

// The flips on the TOC page: whether any meets a half's data or code, and
// whether one half gets more of them than its code handles.
void CountTocPageFlips(const BuiltFlash& b, TocView* v) {
  int perHalf[2] = {0, 0};
  for (const sim::ReadFlipFault& f : b.flips) {
    if (f.sector != v->tocBlock * kPagesPerBlock) continue;
    for (int h = 0; h < 2; ++h) {
      bool inData = f.byte >= uint32_t(h) * 256 && f.byte < uint32_t(h + 1) * 256;
      bool inCode = f.byte >= kEccAt[h] && f.byte < kEccAt[h] + 3;
      if (inData || inCode) {
        ++perHalf[h];
        v->pageFlipped = true;
      }
    }
  }
  if (perHalf[0] > 2 || perHalf[1] > 2) v->certain = false;
}

// The messages the case allows, and the one it demands when it fixes the
// outcome (kNone: several are possible).
void ExpectedMessages(const FlashCase& c, const BuiltFlash& b, const TocView& v, bool failStruck, uint32_t* allowed,
                      Message* exact) {
  *exact = Message::kNone;
  if (failStruck) {
    *allowed = ~0u;
    return;
  }
  bool cardFails = (c.card == Card::kReadFails || c.card == Card::kShortRead) && c.imageSize > 0;
  bool mediaFaults = b.anyFlip || b.anyProgramFail || b.anyEraseFail;
  if (c.card == Card::kMissing) {
    *exact = Message::kOpen;
  } else if (b.chip.kind == ChipKind::kUnknown) {
    *exact = Message::kInit;
  } else if (b.chip.kind == ChipKind::kLargePage || (v.certain && !v.valid)) {
    *exact = Message::kLocate;
  } else if (v.certain && !v.pageFlipped && cardFails) {
    *exact = Message::kRead;
  } else if (v.certain && !mediaFaults && !cardFails) {
    *exact = Message::kDone;
  }
  if (*exact != Message::kNone) {
    *allowed = Bit(*exact);
    return;
  }
  *allowed = 0;
  if (!v.certain || v.pageFlipped) *allowed |= Bit(Message::kLocate);
  if (cardFails)
    *allowed |= Bit(Message::kRead);
  else
    *allowed |= Bit(Message::kDone);
  if (b.anyEraseFail) *allowed |= Bit(Message::kErase);
  if (mediaFaults) *allowed |= Bit(Message::kWrite);
}

void CheckAreaHoldsImage(const Evidence& ev, const uint8_t* flash, uint64_t firstPage, uint64_t pages) {
  const std::vector<uint8_t>& image = ev.b->image;
  uint32_t sectors = SectorsFor(image.size());
  if (sectors > pages) Finding(ev, "success, but the area has %llu sectors for %u", (unsigned long long)pages, sectors);
  for (uint32_t i = 0; i < pages; ++i) {
    uint64_t page = firstPage + i;
    const uint8_t* got = flash + page * kRaw;
    Page want;
    if (i < sectors) {
      uint8_t chunk[kData];
      memset(chunk, 0xFF, sizeof(chunk));
      size_t off = size_t(i) * kData;
      memcpy(chunk, image.data() + off, std::min<size_t>(kData, image.size() - off));
      want = WrittenPage(chunk);
    } else {
      // After the image the area stays as the erase left it, unless the erase
      // of that block was made to fail.
      uint32_t block = uint32_t(page / kPagesPerBlock);
      const std::vector<uint32_t>& ef = ev.b->cfg.eraseFails;
      if (std::find(ef.begin(), ef.end(), block) != ef.end()) continue;
      want.fill(0xFF);
    }
    if (!PageEquals(got, want)) {
      uint32_t at = 0;
      while (at < kRaw && got[at] == want[at]) ++at;
      Finding(ev, "success, but sector %llu (index %u of the area) differs from byte %u: got %s, want %s",
              (unsigned long long)page, i, at, Hex(got + at, std::min<uint32_t>(8, kRaw - at)).c_str(),
              Hex(want.data() + at, std::min<uint32_t>(8, kRaw - at)).c_str());
    }
  }
}

}  // namespace

const char* MessageName(Message m) {
  for (const KnownMessage& k : kMessages)
    if (k.message == m) return k.text;
  return "(no message)";
}

Message Classify(const runproto::MessageBoxCall& box) {
  for (const KnownMessage& k : kMessages)
    if (box.caption == k.caption && box.text == k.text && box.type == MB_OK) return k.message;
  return Message::kNone;
}

TocView ViewToc(const FlashCase& c, const BuiltFlash& b) {
  TocView v;
  for (const sim::ReadFlipFault& f : b.flips)
    if (FlipOnProbedRecord(f)) v.certain = false;
  for (uint32_t block = kProbeFirst; block <= kProbeLast && !v.found; ++block) {
    auto it = b.planted.find(block * kPagesPerBlock);
    if (it != b.planted.end() && memcmp(it->second.data() + kData, kBootRecord, sizeof(kBootRecord)) == 0) {
      v.found = true;
      v.tocBlock = block;
    }
  }
  if (!v.found) return v;
  const Page& toc = b.planted.at(v.tocBlock * kPagesPerBlock);
  CountTocPageFlips(b, &v);
  for (int h = 0; h < 2; ++h) {
    uint8_t code[3];
    eccref::Compute(toc.data() + h * 256, code);
    if (memcmp(code, toc.data() + kEccAt[h], 3) != 0) v.certain = false;
  }
  v.signature = memcmp(toc.data(), kSignature, 4) == 0;
  v.first = Le32(toc.data() + kTocFirstBlockAt);
  v.count = Le32(toc.data() + kTocSectorsAt);
  uint64_t blocks = (uint64_t(v.count) + kPagesPerBlock - 1) / kPagesPerBlock;
  bool onChip = uint64_t(v.first) + blocks <= kBlocks;
  v.valid = v.signature && onChip && v.tocBlock < v.first && v.count >= SectorsFor(c.imageSize);
  return v;
}

Message CheckMessage(const Evidence& ev) {
  const Observed& s = *ev.s;
  if (s.boxes.size() != 1) Finding(ev, "%zu message boxes, expected exactly one", s.boxes.size());
  Message got = Classify(s.boxes[0]);
  if (got == Message::kNone) Finding(ev, "a message box that is none of the updater's");
  uint32_t allowed = 0;
  Message exact = Message::kNone;
  ExpectedMessages(*ev.c, *ev.b, *ev.v, s.failStruck, &allowed, &exact);
  if (!(allowed & Bit(got))) {
    if (exact != Message::kNone) Finding(ev, "\"%s\", expected \"%s\"", MessageName(got), MessageName(exact));
    Finding(ev, "\"%s\" has no cause in this case", MessageName(got));
  }
  return got;
}

// The TOC's area on the flash; when the flash does not tell it for certain,
// the one the updater announced.
Area AreaTheRunMayChange(const Evidence& ev, Message got) {
  const TocView& v = *ev.v;
  const Observed& s = *ev.s;
  // A failed read while the locator probes may make it pass over the TOC's
  // block: after a failure point, the area is the one announced.
  const bool certain = v.certain && !s.failStruck;
  if (certain && s.announced && (!v.found || !v.signature || s.first != v.first || s.count != v.count))
    Finding(ev, "the updater announced area block %u, %u sectors; the flash holds a different TOC", s.first, s.count);
  Area area;
  bool pastLocate = got == Message::kErase || got == Message::kWrite || got == Message::kDone;
  if (!pastLocate) return area;
  if (!s.announced) Finding(ev, "the updater went past the locator without announcing an area");
  uint32_t first = certain ? v.first : s.first, count = certain ? v.count : s.count;
  uint64_t blocks = (uint64_t(count) + kPagesPerBlock - 1) / kPagesPerBlock;
  if (uint64_t(first) + blocks > kBlocks)
    Finding(ev, "the updater went past the locator with an area beyond the chip (block %u, %u sectors)", first, count);
  area.firstPage = uint64_t(first) * kPagesPerBlock;
  area.pages = blocks * kPagesPerBlock;
  return area;
}

void CheckChangedPage(const Evidence& ev, uint32_t p, const uint8_t* now, const Page& before, const Area& area) {
  bool inArea = p >= area.firstPage && p - area.firstPage < area.pages;
  if (inArea) return;
  uint32_t at = 0;
  while (at < kRaw && now[at] == before[at]) ++at;
  Finding(ev, "page %u (block %u) changed outside the boot area from byte %u: %s, was %s", p, p / kPagesPerBlock, at,
          Hex(now + at, std::min<uint32_t>(8, kRaw - at)).c_str(),
          Hex(before.data() + at, std::min<uint32_t>(8, kRaw - at)).c_str());
}

void CheckOutcome(const Evidence& ev, Message got, const uint8_t* flash, const Area& area) {
  if (got != Message::kDone) return;
  const Observed& s = *ev.s;
  CheckAreaHoldsImage(ev, flash, area.firstPage, area.pages);
  if (!ev.b->image.empty() && (s.progress.empty() || s.progress.back() != 100))
    Finding(ev, "success, but the progress bar did not end at 100");
  for (size_t i = 1; i < s.progress.size(); ++i)
    if (s.progress[i] < s.progress[i - 1]) Finding(ev, "the progress bar went back");
}

}  // namespace flashfuzz
