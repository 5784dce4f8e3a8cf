// Code generation: fixed vectors, the parity table, and agreement of the shipped
// generator with the reference methods for many blocks, every column byte value and
// every alignment.
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "ecc/ecc.h"
#include "ecc_reference.h"
#include "ecc_test_util.h"

namespace {

using namespace ecctest;

Code Shipped(const Block& b) {
  Code c;
  EccGenerate(b.data(), c.data());
  return c;
}
Code TwoPass(const Block& b) {
  Code c;
  eccref::Compute(b.data(), c.data());
  return c;
}
Code Literal(const Block& b) {
  Code c;
  eccref::ComputeByDefinition(b.data(), c.data());
  return c;
}

// Format vectors; the last two worked out by hand: a lone bit at index 0 makes every
// even parity 1, one at byte 255 / position 7 every odd one.
TEST(EccCode, FixedVectors) {
  Block abc = Filled(0x00), first = Filled(0x00), last = Filled(0x00);
  abc[0] = 0x61, abc[1] = 0x62, abc[2] = 0x63;
  first[0] = 0x01;
  last[255] = 0x80;
  const struct {
    const char* name;
    Block data;
    Code code;
  } cases[] = {
      {"erased (all FF)", Filled(0xFF), {0xFF, 0xFF, 0xFF}}, {"all zero", Filled(0x00), {0xFF, 0xFF, 0xFF}},
      {"abc + 253 zeros", abc, {0xFC, 0xFF, 0xC3}},          {"bit 0 of byte 0", first, {0xAA, 0xAA, 0xAB}},
      {"bit 7 of byte 255", last, {0x55, 0x55, 0x57}},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(Hex(Shipped(c.data)), Hex(c.code)) << c.name << " (shipped)";
    EXPECT_EQ(Hex(TwoPass(c.data)), Hex(c.code)) << c.name << " (two-pass reference)";
    EXPECT_EQ(Hex(Literal(c.data)), Hex(c.code)) << c.name << " (literal reference)";
  }
}

// First entries as published; every entry by the rule stated per bit position: a set
// bit at position p toggles CP(2m + bit m of p) for m = 0..2, and the parity in bit 7.
TEST(EccParityTable, FirstEntriesAndRuleForAll256) {
  const unsigned char first[8] = {0x00, 0x95, 0x96, 0x03, 0x99, 0x0C, 0x0F, 0x9A};
  EXPECT_EQ(Hex(EccParityTable, 8), Hex(first, 8));
  static const unsigned char kFeeds[8] = {0x15, 0x16, 0x19, 0x1A, 0x25, 0x26, 0x29, 0x2A};
  for (unsigned x = 0; x < 256; ++x) {
    unsigned want = 0;
    for (unsigned p = 0; p < 8; ++p)
      if ((x >> p) & 1u) want ^= kFeeds[p] | 0x80u;
    EXPECT_EQ(EccParityTable[x], want) << "entry 0x" << std::hex << x;
  }
}

// The oracle itself: the two-pass method equals the literal definition and leaves the
// parity of data byte 8j+k in bit k of scratch byte j.
TEST(EccReference, TwoPassAgreesWithLiteralAndFillsScratch) {
  std::mt19937 rng(11);
  for (int n = 0; n < 200; ++n) {
    const Block data = Random(rng);
    ASSERT_EQ(Hex(TwoPass(data)), Hex(Literal(data))) << "block " << n;
    for (unsigned i = 0; i < 256; ++i)
      ASSERT_EQ((eccref::g_scratch[i >> 3] >> (i & 7u)) & 1u, unsigned(__builtin_parity(data[i]))) << "byte " << i;
  }
}

// Dense and sparse random blocks, every single set bit in 00s and cleared bit in FFs
// (each byte index / bit position alone), and every uniform block.
TEST(EccCode, MatchesReferenceOnManyBlocks) {
  std::vector<Block> blocks;
  std::mt19937 rng(12345);
  for (int n = 0; n < 3000; ++n) {
    Block b = Random(rng);
    for (auto& x : b)
      if (n % 3 == 1)
        x &= static_cast<std::uint8_t>(rng() & rng() & rng());
      else if (n % 3 == 2)
        x |= static_cast<std::uint8_t>(rng() | rng() | rng());
    blocks.push_back(b);
  }
  for (unsigned pos = 0; pos < 2048; ++pos)
    for (std::uint8_t base : {0x00, 0xFF}) {
      blocks.push_back(Filled(base));
      FlipBit(blocks.back().data(), pos);
    }
  for (unsigned v = 0; v < 256; ++v) blocks.push_back(Filled(static_cast<std::uint8_t>(v)));

  for (const Block& b : blocks) ASSERT_EQ(Hex(Shipped(b)), Hex(TwoPass(b))) << "block " << Hex(b.data(), b.size());
}

// Every value of the column byte (the XOR of all 256 bytes), which alone selects the
// code's byte 2 and, through the block's parity, the pattern of the even line parities:
// for each value a block of zeros with one byte set and three random blocks, generated
// and checked clean.
TEST(EccCode, EveryColumnByteValue) {
  std::mt19937 rng(7);
  for (unsigned column = 0; column < 256; ++column)
    for (int n = 0; n < 4; ++n) {
      Block data = n == 0 ? Filled(0x00) : Random(rng);
      unsigned x = 0;
      for (std::uint8_t b : data) x ^= b;
      data[(n * 97) & 255] ^= static_cast<std::uint8_t>(x ^ column);  // the XOR of all bytes is now `column`
      const Code want = TwoPass(data);
      ASSERT_EQ(Hex(Shipped(data)), Hex(want)) << "column byte " << column << ", block " << n;
      Block copy = data;
      ASSERT_EQ(EccCorrect(copy.data(), want.data()), ECC_NO_ERROR) << "column byte " << column << ", block " << n;
      ASSERT_EQ(DiffBytes(data, copy), "");
    }
}

// A block one, two or three bytes off a word boundary goes through its own path, whose
// words are put together from bytes: every single set bit there, in each byte lane of
// each word, gives the reference code.
TEST(EccCode, EverySingleBitOffAWordBoundary) {
  alignas(16) std::uint8_t buffer[256 + 16];
  for (unsigned offset = 1; offset < 4; ++offset)
    for (unsigned pos = 0; pos < 2048; ++pos) {
      Block data = Filled(0x00);
      FlipBit(data.data(), pos);
      std::memset(buffer, 0xFF, sizeof buffer);
      std::memcpy(buffer + offset, data.data(), data.size());
      Code got;
      EccGenerate(buffer + offset, got.data());
      ASSERT_EQ(Hex(got), Hex(TwoPass(data))) << "offset " << offset << ", bit " << pos;
    }
}

// Blocks at every address offset 0..7 give the same code (the sanitizer build traps any
// misaligned word access), and both entry points write exactly the three code bytes.
TEST(EccCode, SameCodeAtEveryAlignmentAndOnlyThreeBytesWritten) {
  std::mt19937 rng(99);
  alignas(16) std::uint8_t buffer[256 + 16];
  for (int n = 0; n < 100; ++n) {
    const Block data = Random(rng);
    const Code want = TwoPass(data);
    for (unsigned offset = 0; offset < 8; ++offset) {
      std::memset(buffer, n & 1 ? 0xFF : 0x00, sizeof buffer);
      std::memcpy(buffer + offset, data.data(), data.size());
      for (auto fn : {EccCompute, EccGenerate}) {
        std::uint8_t out[5] = {0xA5, 0xA5, 0xA5, 0xA5, 0xA5};
        fn(buffer + offset, out + 1);
        ASSERT_EQ(Hex(out + 1, 3), Hex(want)) << "offset " << offset << ", block " << n;
        ASSERT_EQ(out[0], 0xA5);
        ASSERT_EQ(out[4], 0xA5);
      }
    }
  }
}

}  // namespace
