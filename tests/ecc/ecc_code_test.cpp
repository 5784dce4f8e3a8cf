// Code generation: fixed vectors, the parity table, and agreement of the shipped
// generator with the two reference methods for many blocks and every alignment.
#include <gtest/gtest.h>

#include <cstring>
#include <random>

#include "ecc/ecc.h"
#include "ecc_reference.h"
#include "ecc_test_util.h"

namespace {

using ecctest::Block;
using ecctest::Code;
using ecctest::Hex;

Code Shipped(const std::uint8_t* data) {
  Code c;
  EccGenerate(data, c.data());
  return c;
}

Code TwoPass(const std::uint8_t* data) {
  Code c;
  eccref::Compute(data, c.data());
  return c;
}

Code Literal(const std::uint8_t* data) {
  Code c;
  eccref::ComputeByDefinition(data, c.data());
  return c;
}

// Vectors fixed by the on-flash format (the last two worked out by hand from the bit
// rules: a lone bit at index 0 sets every even parity, one at index 255 every odd one).
TEST(EccCode, FixedVectors) {
  struct Case {
    const char* name;
    Block data;
    Code code;
  };
  Block abc = ecctest::FilledBlock(0x00);
  abc[0] = 0x61;
  abc[1] = 0x62;
  abc[2] = 0x63;
  Block first = ecctest::FilledBlock(0x00);
  first[0] = 0x01;
  Block last = ecctest::FilledBlock(0x00);
  last[255] = 0x80;
  const Case cases[] = {
      {"erased (all FF)", ecctest::FilledBlock(0xFF), {0xFF, 0xFF, 0xFF}},
      {"all zero", ecctest::FilledBlock(0x00), {0xFF, 0xFF, 0xFF}},
      {"abc + 253 zeros", abc, {0xFC, 0xFF, 0xC3}},
      {"bit 0 of byte 0", first, {0xAA, 0xAA, 0xAB}},
      {"bit 7 of byte 255", last, {0x55, 0x55, 0x57}},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(Hex(Shipped(c.data.data())), Hex(c.code)) << c.name << " (shipped)";
    EXPECT_EQ(Hex(TwoPass(c.data.data())), Hex(c.code)) << c.name << " (two-pass reference)";
    EXPECT_EQ(Hex(Literal(c.data.data())), Hex(c.code)) << c.name << " (literal reference)";
  }
}

TEST(EccCode, ComputeAndGenerateWriteExactlyThreeBytes) {
  std::mt19937 rng(7);
  const Block data = ecctest::RandomBlock(rng);
  const Code want = TwoPass(data.data());
  for (int which = 0; which < 2; ++which) {
    std::uint8_t out[7];
    std::memset(out, 0xA5, sizeof out);
    if (which == 0)
      EccGenerate(data.data(), out + 2);
    else
      EccCompute(data.data(), out + 2);
    EXPECT_EQ(Hex(out + 2, 3), Hex(want)) << (which ? "EccCompute" : "EccGenerate");
    EXPECT_EQ(out[0], 0xA5);
    EXPECT_EQ(out[1], 0xA5);
    EXPECT_EQ(out[5], 0xA5);
    EXPECT_EQ(out[6], 0xA5);
  }
}

TEST(EccParityTable, FirstEntries) {
  const unsigned char want[8] = {0x00, 0x95, 0x96, 0x03, 0x99, 0x0C, 0x0F, 0x9A};
  EXPECT_EQ(Hex(EccParityTable, 8), Hex(want, 8));
}

// Every entry against the rule, stated per bit position: a set bit at position p
// toggles CP(2m + bit m of p) for m = 0..2 and the byte parity in bit 7.
TEST(EccParityTable, EveryEntryFollowsTheRule) {
  // Position p -> the CP bits it feeds (CP0/1 chosen by bit 0 of p, CP2/3 by bit 1,
  // CP4/5 by bit 2).
  static const unsigned char kCoveredBy[8] = {0x15, 0x16, 0x19, 0x1A, 0x25, 0x26, 0x29, 0x2A};
  for (unsigned x = 0; x < 256; ++x) {
    unsigned want = 0;
    for (unsigned p = 0; p < 8; ++p)
      if ((x >> p) & 1u) want ^= kCoveredBy[p] | 0x80u;
    EXPECT_EQ(EccParityTable[x], want) << "entry 0x" << std::hex << x;
    EXPECT_EQ(EccParityTable[x] & 0x40, 0) << "bit 6 of entry 0x" << std::hex << x;
  }
}

// The two-pass reference keeps the byte parities in its scratch area: bit k of scratch
// byte j is the parity of data byte 8j+k.  The literal reference checks its output.
TEST(EccReference, TwoPassAgreesWithLiteralAndFillsScratch) {
  std::mt19937 rng(11);
  for (int n = 0; n < 200; ++n) {
    const Block data = ecctest::RandomBlock(rng);
    ASSERT_EQ(Hex(TwoPass(data.data())), Hex(Literal(data.data()))) << "block " << n;
    for (unsigned i = 0; i < 256; ++i) {
      const unsigned parity = __builtin_parity(data[i]);
      ASSERT_EQ((eccref::g_scratch[i >> 3] >> (i & 7u)) & 1u, parity) << "byte " << i;
    }
  }
}

TEST(EccCode, MatchesReferenceOnRandomBlocks) {
  std::mt19937 rng(12345);
  for (int n = 0; n < 5000; ++n) {
    // Mix dense random blocks with sparse ones (few set bits, mostly 00 or FF) so that
    // the parities see both balanced and lopsided inputs.
    Block data = ecctest::RandomBlock(rng);
    if (n % 3 == 1)
      for (auto& x : data) x &= static_cast<std::uint8_t>(rng() & rng() & rng());
    if (n % 3 == 2)
      for (auto& x : data) x |= static_cast<std::uint8_t>(rng() | rng() | rng());
    ASSERT_EQ(Hex(Shipped(data.data())), Hex(TwoPass(data.data())))
        << "random block " << n << ":" << Hex(data.data(), data.size());
  }
}

// One set bit at each of the 2048 positions and one cleared bit in an erased block: each
// exercises one byte index / bit position on its own.
TEST(EccCode, MatchesReferenceForEverySingleBitPattern) {
  for (unsigned pos = 0; pos < 2048; ++pos) {
    for (std::uint8_t base : {0x00, 0xFF}) {
      Block data = ecctest::FilledBlock(base);
      ecctest::FlipBit(data.data(), pos);
      ASSERT_EQ(Hex(Shipped(data.data())), Hex(TwoPass(data.data())))
          << "base " << int(base) << ", bit " << pos;
    }
  }
}

TEST(EccCode, MatchesReferenceForEveryUniformBlock) {
  for (unsigned v = 0; v < 256; ++v) {
    const Block data = ecctest::FilledBlock(static_cast<std::uint8_t>(v));
    ASSERT_EQ(Hex(Shipped(data.data())), Hex(TwoPass(data.data()))) << "value " << v;
  }
}

// The block may start at any address: the code must not depend on it (and the sanitizer
// build catches any misaligned word access).
TEST(EccCode, SameCodeAtEveryAlignment) {
  std::mt19937 rng(99);
  alignas(16) std::uint8_t buffer[256 + 16];
  for (int n = 0; n < 100; ++n) {
    const Block data = ecctest::RandomBlock(rng);
    const Code want = TwoPass(data.data());
    for (unsigned offset = 0; offset < 8; ++offset) {
      std::memset(buffer, n & 1 ? 0xFF : 0x00, sizeof buffer);
      std::memcpy(buffer + offset, data.data(), data.size());
      Code got;
      EccCompute(buffer + offset, got.data());
      ASSERT_EQ(Hex(got), Hex(want)) << "offset " << offset << ", block " << n;
      EccGenerate(buffer + offset, got.data());
      ASSERT_EQ(Hex(got), Hex(want)) << "offset " << offset << ", block " << n;
    }
  }
}

}  // namespace
