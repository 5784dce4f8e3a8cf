// libFuzzer target for the block code.  Input layout (missing bytes read as 0):
//   [0..255]  block data            [256]  address offset of the block (low 3 bits)
//   [257..259] XOR mask applied to the correct stored code
//   [260..]   up to 3 data bit flips, 2 bytes each (low 11 bits = bit address)
// Checks: the code equals the two-pass reference at any offset; EccCorrect returns a
// valid result, changes at most one bit and only when it reports a repair, touches
// nothing outside the block, and after a repair the block's code matches the stored
// one in all 22 parity bits; an undamaged block always checks clean.
#include <cstdint>
#include <cstring>

#include "ecc/ecc.h"
#include "ecc_reference.h"

namespace {
void Check(bool ok) {
  if (!ok) __builtin_trap();
}
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* in, std::size_t size) {
  std::uint8_t raw[270] = {};
  std::memcpy(raw, in, size < sizeof raw ? size : sizeof raw);

  alignas(8) std::uint8_t buffer[256 + 16];
  std::memset(buffer, 0xC3, sizeof buffer);
  const unsigned offset = raw[256] & 7u;
  std::uint8_t* block = buffer + offset;
  std::memcpy(block, raw, 256);

  std::uint8_t want[3], got[3];
  eccref::Compute(block, want);
  EccGenerate(block, got);
  Check(std::memcmp(want, got, 3) == 0);

  std::uint8_t stored[3];
  for (int i = 0; i < 3; ++i) stored[i] = static_cast<std::uint8_t>(want[i] ^ raw[257 + i]);
  bool damaged = raw[257] || raw[258] || raw[259];
  for (int f = 0; f < 3; ++f) {
    const unsigned pos = (raw[260 + 2 * f] | (raw[261 + 2 * f] << 8)) & 2047u;
    if (raw[261 + 2 * f] & 0x80) {  // flip only when the flag bit is set
      block[pos >> 3] ^= static_cast<std::uint8_t>(1u << (pos & 7u));
      damaged = true;
    }
  }

  std::uint8_t before[sizeof buffer];
  std::memcpy(before, buffer, sizeof buffer);
  const int result = EccCorrect(block, stored);
  Check(result >= ECC_NO_ERROR && result <= ECC_UNCORRECTABLE);
  if (!damaged) Check(result == ECC_NO_ERROR);

  unsigned changedBits = 0;
  for (std::size_t i = 0; i < sizeof buffer; ++i) {
    const unsigned diff = before[i] ^ buffer[i];
    Check(diff == 0 || (i >= offset && i < offset + 256));
    changedBits += static_cast<unsigned>(__builtin_popcount(diff));
  }
  Check(changedBits == (result == ECC_CORRECTED ? 1u : 0u));
  if (result == ECC_CORRECTED) {
    eccref::Compute(block, got);
    Check(got[0] == stored[0] && got[1] == stored[1] && ((got[2] ^ stored[2]) & 0xFCu) == 0);
  }
  return 0;
}
