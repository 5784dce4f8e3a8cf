// The updater run over a flash built from a FlashCase, with the checks a
// person with a NAND programmer would make afterwards. Three parts:
//  - flash_builder.h builds the chip from the case: the planted pages (old
//    boot loader, spare records, TOC block), the chip's identity and faults,
//    the card's image;
//  - flash_oracle.h says what the updater must do with such a chip: the TOC
//    the locator must find, the message the run may end with, the area it may
//    change, and the flash after a successful update;
//  - this runner puts the chip and the card in place, runs the updater's own
//    program, checks what holds of every run (the protocol checker recorded
//    nothing, the bus mutexes are free), compares the chip afterwards with
//    what was planted, asks the oracle about the message and each changed
//    page, and erases the chip again.
// A failed check prints the case, what the run recorded and what differs, and
// aborts (flash_finding.h; libFuzzer keeps the input as a crash).
#ifndef FUZZ_FLASH_HARNESS_H
#define FUZZ_FLASH_HARNESS_H

#include <cstdint>

#include "fuzz/flash_case.h"
#include "fuzz/flash_oracle.h"

namespace flashfuzz {

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
