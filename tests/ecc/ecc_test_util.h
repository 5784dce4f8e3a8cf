// Shared helpers of the ECC tests: seeded blocks and readable dumps of differences.
#ifndef TESTS_ECC_ECC_TEST_UTIL_H
#define TESTS_ECC_ECC_TEST_UTIL_H

#include <array>
#include <cstdint>
#include <cstdio>
#include <random>
#include <string>

namespace ecctest {

using Block = std::array<std::uint8_t, 256>;
using Code = std::array<std::uint8_t, 3>;

inline Block RandomBlock(std::mt19937& rng) {
  Block b;
  for (auto& x : b) x = static_cast<std::uint8_t>(rng());
  return b;
}

inline Block FilledBlock(std::uint8_t value) {
  Block b;
  b.fill(value);
  return b;
}

inline void FlipBit(std::uint8_t* data, unsigned position) {
  data[position >> 3] = static_cast<std::uint8_t>(data[position >> 3] ^ (1u << (position & 7u)));
}

// "[index] got != want" for every byte that differs, in hex; empty when equal.
inline std::string DiffBytes(const std::uint8_t* got, const std::uint8_t* want, std::size_t n) {
  std::string out;
  for (std::size_t i = 0; i < n; ++i) {
    if (got[i] != want[i]) {
      char line[48];
      std::snprintf(line, sizeof line, " [%u] %02X != %02X", static_cast<unsigned>(i), got[i], want[i]);
      out += line;
    }
  }
  return out;
}

inline std::string Hex(const std::uint8_t* p, std::size_t n) {
  std::string out;
  for (std::size_t i = 0; i < n; ++i) {
    char byte[4];
    std::snprintf(byte, sizeof byte, "%s%02X", i ? " " : "", p[i]);
    out += byte;
  }
  return out;
}

inline std::string Hex(const Code& c) { return Hex(c.data(), c.size()); }

}  // namespace ecctest

#endif  // TESTS_ECC_ECC_TEST_UTIL_H
