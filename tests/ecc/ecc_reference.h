// Reference implementations of the 3-byte block code, used as oracles by the ECC tests and
// as the baseline by the ECC benchmark.  Deliberately independent of ecc/ecc.cpp: they
// build their own parity table from the bit rules and do not call the shipped code.
//
//  - Compute(): the classic two-pass method, one table look-up per data byte, collecting
//    byte parities in a 32-byte scratch area and then running the same table over it.
//  - ComputeByDefinition(): the parities written out literally from the bit rules;
//    slow and obvious, it checks the two-pass method itself.
#ifndef TESTS_ECC_ECC_REFERENCE_H
#define TESTS_ECC_ECC_REFERENCE_H

#include <cstddef>
#include <cstdint>

namespace eccref {

constexpr std::size_t kBlockSize = 256;
constexpr std::size_t kCodeSize = 3;

// Column parities CP0..CP5 of one byte value in bits 0-5, parity of the byte in bit 7.
// CP(2m) covers the bit positions whose bit m is 0, CP(2m+1) those whose bit m is 1.
constexpr std::uint8_t TableEntry(unsigned x) {
  unsigned entry = 0;
  unsigned parity = 0;
  for (unsigned pos = 0; pos < 8; ++pos) {
    const unsigned bit = (x >> pos) & 1u;
    parity ^= bit;
    for (unsigned m = 0; m < 3; ++m) {
      const unsigned cp = 2 * m + ((pos >> m) & 1u);
      entry ^= bit << cp;
    }
  }
  return static_cast<std::uint8_t>(entry | (parity << 7));
}

struct ParityTable {
  std::uint8_t v[256];
  constexpr ParityTable() : v() {
    for (unsigned x = 0; x < 256; ++x) v[x] = TableEntry(x);
  }
};

inline constexpr ParityTable kTable{};

// The two-pass method's scratch: bit k of byte j holds the parity of data byte 8j+k.
inline std::uint8_t g_scratch[32];

inline void Compute(const std::uint8_t* data, std::uint8_t* code) {
  const std::uint8_t* const T = kTable.v;

  // Pass 1: column parities accumulate in K; byte parities are shifted in from the top
  // of a group register and stored every eighth byte.
  unsigned K = 0;
  unsigned reg = 0;
  for (unsigned i = 0; i < 256; ++i) {
    const unsigned t = T[data[i]];
    K ^= t;
    reg = (reg >> 1) | (t & 0x80u);
    if ((i & 7u) == 7u) g_scratch[i >> 3] = static_cast<std::uint8_t>(reg);
  }

  // Pass 2: the table over the scratch bytes gives the line parities of index bits 0-2
  // (A), over each group of eight scratch parities those of bits 3-5 (B), and the four
  // quarter parities collect in H for bits 6-7.
  unsigned A = 0, B = 0, H = 0, reg2 = 0;
  for (unsigned j = 0; j < 32; ++j) {
    const unsigned u = T[g_scratch[j]];
    A ^= u;
    reg2 = (reg2 >> 1) | (u & 0x80u);
    if ((j & 7u) == 7u) {
      const unsigned v = T[reg2];
      B ^= v;
      H = (H >> 1) | (v & 0x80u);
    }
  }
  const unsigned w = T[H >> 4];

  code[0] = static_cast<std::uint8_t>(~((A & 0x3Fu) | ((B & 1u) << 6) | ((B & 2u) << 6)));
  code[1] = static_cast<std::uint8_t>(~(((B >> 2) & 0x0Fu) | ((w & 0x0Fu) << 4)));
  code[2] = static_cast<std::uint8_t>(~((K & 0x3Fu) << 2));
}

// Literal form: LP(2k) / LP(2k+1) are the parities of the bytes whose index bit k is 0 / 1;
// CP(2m) / CP(2m+1) the parities of all bits whose bit position has bit m 0 / 1.
inline void ComputeByDefinition(const std::uint8_t* data, std::uint8_t* code) {
  unsigned lp[16] = {};
  unsigned cp[6] = {};
  for (unsigned i = 0; i < 256; ++i) {
    for (unsigned pos = 0; pos < 8; ++pos) {
      const unsigned bit = (data[i] >> pos) & 1u;
      for (unsigned k = 0; k < 8; ++k) lp[2 * k + ((i >> k) & 1u)] ^= bit;
      for (unsigned m = 0; m < 3; ++m) cp[2 * m + ((pos >> m) & 1u)] ^= bit;
    }
  }
  unsigned b0 = 0, b1 = 0, b2 = 0x03;
  for (unsigned n = 0; n < 8; ++n) {
    b0 |= (lp[n] ^ 1u) << n;
    b1 |= (lp[8 + n] ^ 1u) << n;
  }
  for (unsigned n = 0; n < 6; ++n) b2 |= (cp[n] ^ 1u) << (n + 2);
  code[0] = static_cast<std::uint8_t>(b0);
  code[1] = static_cast<std::uint8_t>(b1);
  code[2] = static_cast<std::uint8_t>(b2);
}

}  // namespace eccref

#endif  // TESTS_ECC_ECC_REFERENCE_H
