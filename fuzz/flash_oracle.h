// The oracle: what the updater must do with the chip a FlashCase builds,
// judged as a person with a NAND programmer would, from the pages planted
// before the run (flash_builder.h) and what the run was observed to do.
//  - The TOC as the flash holds it: the block the locator must find, the area
//    the TOC defines, whether it is valid, and whether the flash tells it for
//    certain (a flip on a probed spare record, more flips on one code's half
//    of the TOC page than the code handles, or codes that do not match the
//    TOC's data can each change what the locator reads).
//  - The message: exactly one of the updater's message boxes, and one that has
//    a cause in the case (a read error needs a card that fails, a write error
//    a fault of the media, ...); a case without faults and with a valid TOC
//    must succeed, one whose TOC is missing or invalid must end with "Can't
//    locate bootloader area!". A run whose failure point came and failed
//    may end with any of them: the locator passes over a block it cannot
//    read, and the failure sweep holds each point of the default update to
//    the message its step calls for.
//  - The area the run may change: the TOC's on the flash (the one the updater
//    announced when the flash does not tell it for certain or a failure point
//    failed), none when the run stopped before the erase; a page changed
//    outside it is a finding.
//  - After "Bootloader update finished!": the area holds the image (each
//    sector its data with 0xFF padding, its page ECC and the boot spare
//    record, the rest of the area erased) and the progress bar went up to 100.
// A check that fails reports a finding (flash_finding.h) and does not return.
#ifndef FUZZ_FLASH_ORACLE_H
#define FUZZ_FLASH_ORACLE_H

#include <cstdint>
#include <string>
#include <vector>

#include "fuzz/flash_builder.h"
#include "fuzz/flash_case.h"
#include "sim/device_record.h"
#include "tools/run/events.h"

namespace flashfuzz {

enum class Message { kNone, kOpen, kInit, kLocate, kRead, kErase, kWrite, kDone };
const char* MessageName(Message m);
// The message a box shows, kNone when it is none of the updater's.
Message Classify(const runproto::MessageBoxCall& box);

// What the locator must find, judged from the planted pages. certain: the bus
// delivers the TOC as stored, or a read of its page fails; not certain when a
// flip lands on a probed spare record (no code covers it), when more than two
// flips meet one code's half of the TOC page (the code corrects one and
// detects two), or when the stored codes do not match the TOC's data (a
// "correction" may change it).
struct TocView {
  bool certain = true;
  bool found = false;
  uint32_t tocBlock = 0;
  bool signature = false;
  uint32_t first = 0, count = 0;
  bool valid = false;
  bool pageFlipped = false;  // a flip on the TOC page may make its read fail
};

TocView ViewToc(const FlashCase& c, const BuiltFlash& b);

// What the run was observed to do: its message boxes, debug lines and
// progress positions, the area the locator announced, and the protocol
// checker's record.
struct Observed {
  std::vector<runproto::MessageBoxCall> boxes;
  std::vector<std::string> debug;
  std::vector<uint64_t> progress;
  bool announced = false;
  uint32_t first = 0, count = 0;
  bool failStruck = false;  // the case's failure point came and failed
  sim::DeviceRecord record;
};

// Everything a finding prints: the case, the flash built from it, the TOC as
// the flash holds it, and what the run was observed to do (null before the
// run).
struct Evidence {
  const FlashCase* c;
  const BuiltFlash* b;
  const TocView* v;
  const Observed* s;
};

// The run's one message, checked against the messages the case allows.
Message CheckMessage(const Evidence& ev);

// The pages the run may change, [firstPage, firstPage + pages); empty when
// the run ended before the erase.
struct Area {
  uint64_t firstPage = 0, pages = 0;
};
Area AreaTheRunMayChange(const Evidence& ev, Message got);

// Page p differs from the page before the run (now: its raw bytes after it):
// allowed only inside the area.
void CheckChangedPage(const Evidence& ev, uint32_t p, const uint8_t* now, const Page& before, const Area& area);

// What must hold of the flash (the whole chip's raw image after the run) and
// of the progress bar once the run ended with `got`.
void CheckOutcome(const Evidence& ev, Message got, const uint8_t* flash, const Area& area);

}  // namespace flashfuzz

#endif
