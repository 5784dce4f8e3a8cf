// Bytes that look like data: a xorshift stream from a seed, the same on every
// target, so that a test's page or image can be made again from its seed.
#ifndef TESTS_COMMON_PATTERN_H
#define TESTS_COMMON_PATTERN_H

#include <cstddef>
#include <cstdint>
#include <vector>

namespace testutil {

inline std::vector<std::uint8_t> Pattern(std::size_t n, std::uint32_t seed) {
  std::vector<std::uint8_t> b(n);
  std::uint32_t x = seed * 2654435761u + 12345u;
  for (std::size_t i = 0; i < n; ++i) {
    x ^= x << 13;
    x ^= x >> 17;
    x ^= x << 5;
    b[i] = std::uint8_t(x);
  }
  return b;
}

}  // namespace testutil

#endif
