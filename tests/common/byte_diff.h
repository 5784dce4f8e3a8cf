// What differs between the bytes a test wanted and the bytes it got, for
// failure messages: " [i] want XX got YY" for each differing byte, at most
// `limit` of them (then " ..."), after " sizes W/G" when the lengths differ;
// "" when they are equal. Always the wanted bytes first.
#ifndef TESTS_COMMON_BYTE_DIFF_H
#define TESTS_COMMON_BYTE_DIFF_H

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <iterator>
#include <string>

namespace testutil {

inline std::string DiffBytes(const std::uint8_t* want, std::size_t wantSize, const std::uint8_t* got,
                             std::size_t gotSize, std::size_t limit = 16) {
  std::string out;
  char buf[64];
  if (wantSize != gotSize) {
    std::snprintf(buf, sizeof buf, " sizes %zu/%zu", wantSize, gotSize);
    out += buf;
  }
  std::size_t shown = 0;
  for (std::size_t i = 0; i < wantSize && i < gotSize; ++i) {
    if (want[i] == got[i]) continue;
    if (shown++ == limit) {
      out += " ...";
      break;
    }
    std::snprintf(buf, sizeof buf, " [%zu] want %02x got %02x", i, want[i], got[i]);
    out += buf;
  }
  return out;
}

inline std::string DiffBytes(const std::uint8_t* want, const std::uint8_t* got, std::size_t n, std::size_t limit = 16) {
  return DiffBytes(want, n, got, n, limit);
}

// Whole containers or arrays of bytes (std::vector, std::array, uint8_t[N]).
template <class Want, class Got>
auto DiffBytes(const Want& want, const Got& got, std::size_t limit = 16)
    -> decltype(std::data(want), std::data(got), std::string()) {
  return DiffBytes(std::data(want), std::size(want), std::data(got), std::size(got), limit);
}

}  // namespace testutil

#endif
