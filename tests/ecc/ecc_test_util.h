// Helpers shared by the ECC tests: seeded blocks, bit flips, hex dumps of differences.
#ifndef TESTS_ECC_ECC_TEST_UTIL_H
#define TESTS_ECC_ECC_TEST_UTIL_H

#include <array>
#include <cstdint>
#include <cstdio>
#include <random>
#include <string>

#include "tests/common/byte_diff.h"

namespace ecctest {

using Block = std::array<std::uint8_t, 256>;
using Code = std::array<std::uint8_t, 3>;

inline Block Filled(std::uint8_t value) {
  Block b;
  b.fill(value);
  return b;
}

inline Block Random(std::mt19937& rng) {
  Block b;
  for (auto& x : b) x = static_cast<std::uint8_t>(rng());
  return b;
}

// Data bit `pos` = 8 * byte index + bit position.
inline void FlipBit(std::uint8_t* data, unsigned pos) { data[pos >> 3] ^= static_cast<std::uint8_t>(1u << (pos & 7u)); }

inline std::string Hex(const std::uint8_t* p, std::size_t n) {
  std::string out;
  char byte[4];
  for (std::size_t i = 0; i < n; ++i) {
    std::snprintf(byte, sizeof byte, i ? " %02X" : "%02X", p[i]);
    out += byte;
  }
  return out;
}
inline std::string Hex(const Code& c) { return Hex(c.data(), c.size()); }

using testutil::DiffBytes;

}  // namespace ecctest

#endif  // TESTS_ECC_ECC_TEST_UTIL_H
