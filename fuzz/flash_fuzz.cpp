// libFuzzer target: the updater's whole run over a flash and a card built from
// the input (fuzz/flash_case.h gives the layout, fuzz/flash_harness.h the
// checks). Each input is one run of the updater, as the device's program, on
// the 16 MiB small-page chip held in memory.
//
//   flash_fuzz CORPUS_DIR -max_total_time=60     fuzz (scripts/fuzz.sh does this)
//   flash_fuzz crash-FILE                          run one input again
// FLASH_FUZZ_ECHO=1 echoes the updater's debug lines; FLASH_FUZZ_PARANOID=1
// compares the whole chip after each run instead of the pages it programmed.
#include <stdlib.h>

#include "fuzz/flash_case.h"
#include "fuzz/flash_harness.h"

namespace {
bool g_paranoid = false;
}

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  const char* p = getenv("FLASH_FUZZ_PARANOID");
  g_paranoid = p && *p == '1';
  flashfuzz::SetUpHarness();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  flashfuzz::RunFlashCase(flashfuzz::DecodeFlashCase(data, size), g_paranoid);
  return 0;
}
