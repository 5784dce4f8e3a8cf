// Reporting a finding: a check of the harness or of the oracle that fails
// prints what it found, then the case, the faults as resolved to pages, the
// TOC as the flash holds it and (once the run is over) what the run was
// observed to do (its message boxes, its last 40 debug lines, the progress
// positions, the protocol checker's violations), and aborts: libFuzzer keeps
// the input as a crash, and the printout says why without running it again.
#ifndef FUZZ_FLASH_FINDING_H
#define FUZZ_FLASH_FINDING_H

#include <cstddef>
#include <cstdint>
#include <string>

#include "fuzz/flash_oracle.h"

namespace flashfuzz {

[[noreturn]] void Finding(const Evidence& ev, const char* fmt, ...) __attribute__((format(printf, 2, 3)));

// n bytes as two-digit hexadecimal, separated by spaces.
std::string Hex(const uint8_t* p, size_t n);

}  // namespace flashfuzz

#endif
