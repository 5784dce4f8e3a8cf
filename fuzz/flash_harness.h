// The updater run over a flash built from a FlashCase, with the checks a
// person with a NAND programmer would make afterwards:
//  - the run ends by itself with exactly one of the updater's message boxes,
//    and that message has a cause in the case (a read error needs a card that
//    fails, a write error a fault of the media, ...); a case without faults
//    and with a valid TOC must succeed, one whose TOC is missing or invalid
//    must end with "Can't locate bootloader area!";
//  - the protocol checker recorded nothing, and the bus mutexes are free;
//  - nothing outside the boot area changed (the area as the TOC on the flash
//    defines it; nothing at all when the run stopped before the erase);
//  - after "Bootloader update finished!" the area holds the image: each sector
//    its data with 0xFF padding, its page ECC and the boot spare record, the
//    rest of the area erased.
// A failed check prints the case, what the run recorded and what differs, and
// aborts (libFuzzer keeps the input as a crash).
#ifndef FUZZ_FLASH_HARNESS_H
#define FUZZ_FLASH_HARNESS_H

#include <cstdint>

#include "fuzz/flash_case.h"

namespace flashfuzz {

enum class Message { kNone, kOpen, kInit, kLocate, kRead, kErase, kWrite, kDone };
const char* MessageName(Message m);

struct RunResult {
  Message message = Message::kNone;
  uint32_t changedPages = 0;  // pages whose bytes differ from the flash before the run
};

// Once per process: the card folder, the system driver's mutexes, debug lines
// kept but not echoed (FLASH_FUZZ_ECHO=1 echoes them).
void SetUpHarness();

// Runs the case and checks it. paranoid: compare the whole chip with what was
// planted instead of only the pages the chip programmed (slower; the seed
// check and FLASH_FUZZ_PARANOID=1 use it).
RunResult RunFlashCase(const FlashCase& c, bool paranoid);

}  // namespace flashfuzz

#endif
