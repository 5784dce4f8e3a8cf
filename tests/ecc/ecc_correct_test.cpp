// Checking and repair: what EccCorrect reports and changes for each kind of difference
// between the data, its stored code, and the code the data has now.
//
// Numbering used below: data bit `pos` = 8 * byte index + bit position (0..2047); its
// 11-bit "address" is pos itself (bits 0-2 = bit position, bits 3-10 = byte index).
// Code bit n (0..21): n < 16 is LPn (bit n%8 of code byte n/8), n >= 16 is CP(n-16) (bit
// n-14 of code byte 2).  Pair p (0..10) is code bits 2p and 2p+1: pairs 0-7 are split by
// byte-index bits 0-7, pairs 8-10 by bit-position bits 0-2.
#include <gtest/gtest.h>

#include <bitset>
#include <cstring>
#include <random>
#include <vector>

#include "ecc/ecc.h"
#include "ecc_reference.h"
#include "ecc_test_util.h"

namespace {

using ecctest::Block;
using ecctest::Code;
using ecctest::DiffBytes;
using ecctest::FlipBit;
using ecctest::Hex;

struct Protected {
  Block data;
  Code stored;
};

Protected Protect(const Block& data) {
  Protected p{data, {}};
  eccref::Compute(p.data.data(), p.stored.data());
  return p;
}

std::vector<Protected> SampleBlocks() {
  std::mt19937 rng(2024);
  std::vector<Protected> blocks = {Protect(ecctest::FilledBlock(0xFF)), Protect(ecctest::FilledBlock(0x00))};
  for (int i = 0; i < 4; ++i) blocks.push_back(Protect(ecctest::RandomBlock(rng)));
  return blocks;
}

// 24-bit difference <-> 3 code bytes (byte 0 in bits 0-7, byte 1 in 8-15, byte 2 in 16-23).
unsigned ToBits(const Code& c) { return c[0] | (c[1] << 8) | (c[2] << 16); }
Code FromBits(unsigned v) {
  return {static_cast<std::uint8_t>(v), static_cast<std::uint8_t>(v >> 8), static_cast<std::uint8_t>(v >> 16)};
}
// Position of code bit n (see the numbering above) in the 24-bit form.
unsigned CodeBitMask(unsigned n) { return n < 16 ? 1u << n : 1u << (n + 2); }

Code XorCode(const Code& a, unsigned d) { return FromBits(ToBits(a) ^ d); }

// Difference pattern a lone flip of data bit pos leaves: in pair p the odd member when
// bit p of the address is 1, the even one when it is 0.  Pairs 0-7 use address bits
// 3-10 (byte index), pairs 8-10 address bits 0-2 (bit position).
unsigned AddressBit(unsigned pair) { return pair < 8 ? 3 + pair : pair - 8; }

unsigned SingleFlipPattern(unsigned pos) {
  unsigned d = 0;
  for (unsigned p = 0; p < 11; ++p) d |= CodeBitMask(2 * p + ((pos >> AddressBit(p)) & 1u));
  return d;
}

int Correct(Block& data, const Code& stored) { return EccCorrect(data.data(), stored.data()); }

TEST(EccCorrect, CleanBlocksReportNoErrorAndStayUnchanged) {
  for (const Protected& p : SampleBlocks()) {
    Block data = p.data;
    EXPECT_EQ(Correct(data, p.stored), ECC_NO_ERROR) << "code " << Hex(p.stored);
    EXPECT_EQ(DiffBytes(data.data(), p.data.data(), 256), "");
  }
}

TEST(EccCorrect, EverySingleDataBitFlipIsRepairedInPlace) {
  for (const Protected& p : SampleBlocks()) {
    for (unsigned pos = 0; pos < 2048; ++pos) {
      Block data = p.data;
      FlipBit(data.data(), pos);
      ASSERT_EQ(Correct(data, p.stored), ECC_CORRECTED) << "bit " << pos << ", code " << Hex(p.stored);
      ASSERT_EQ(DiffBytes(data.data(), p.data.data(), 256), "") << "bit " << pos;
      ASSERT_EQ(Correct(data, p.stored), ECC_NO_ERROR) << "bit " << pos << " after repair";
    }
  }
}

// Repair of a block at each address offset; the bytes around it are never touched.
TEST(EccCorrect, RepairsAtEveryAlignmentWithoutTouchingNeighbours) {
  std::mt19937 rng(5);
  const Protected p = Protect(ecctest::RandomBlock(rng));
  alignas(16) std::uint8_t buffer[256 + 16];
  for (unsigned offset = 0; offset < 8; ++offset) {
    for (unsigned pos = 0; pos < 2048; pos += 61) {
      std::memset(buffer, 0x5A, sizeof buffer);
      std::memcpy(buffer + offset, p.data.data(), 256);
      std::uint8_t want[sizeof buffer];
      std::memcpy(want, buffer, sizeof buffer);
      FlipBit(buffer + offset, pos);
      ASSERT_EQ(EccCorrect(buffer + offset, p.stored.data()), ECC_CORRECTED) << "offset " << offset << ", bit " << pos;
      ASSERT_EQ(DiffBytes(buffer, want, sizeof buffer), "") << "offset " << offset << ", bit " << pos;
    }
  }
}

TEST(EccCorrect, EverySingleCodeBitFlipIsACodeError) {
  for (const Protected& p : SampleBlocks()) {
    for (unsigned n = 0; n < 22; ++n) {
      Block data = p.data;
      const Code stored = XorCode(p.stored, CodeBitMask(n));
      EXPECT_EQ(Correct(data, stored), ECC_CODE_ERROR) << "code bit " << n << ", stored " << Hex(stored);
      EXPECT_EQ(DiffBytes(data.data(), p.data.data(), 256), "") << "code bit " << n;
    }
  }
}

// Bits 0-1 of code byte 2 are always 1 in a valid code; a difference there alone fits no
// single-bit error.
TEST(EccCorrect, DifferenceOnlyInSpareBitsOfByteTwoIsUncorrectable) {
  for (const Protected& p : SampleBlocks()) {
    for (unsigned spare : {0x010000u, 0x020000u, 0x030000u}) {
      Block data = p.data;
      const Code stored = XorCode(p.stored, spare);
      EXPECT_EQ(Correct(data, stored), ECC_UNCORRECTABLE) << "stored " << Hex(stored);
      EXPECT_EQ(DiffBytes(data.data(), p.data.data(), 256), "");
    }
  }
}

TEST(EccCorrect, ZeroDataAgainstZeroCodeIsUncorrectable) {
  Block data = ecctest::FilledBlock(0x00);
  EXPECT_EQ(Correct(data, Code{0x00, 0x00, 0x00}), ECC_UNCORRECTABLE);
  EXPECT_EQ(DiffBytes(data.data(), ecctest::FilledBlock(0x00).data(), 256), "");
}

// Every pair of distinct data bits (all 2,096,128 of them for one block, random pairs for
// the others) is reported and left alone.
TEST(EccCorrect, TwoDataBitFlipsAreDetectedAndLeftAlone) {
  const std::vector<Protected> blocks = SampleBlocks();
  {
    const Protected& p = blocks[2];
    Block data = p.data;
    for (unsigned a = 0; a < 2048; ++a) {
      FlipBit(data.data(), a);
      for (unsigned b = a + 1; b < 2048; ++b) {
        FlipBit(data.data(), b);
        const int result = Correct(data, p.stored);
        FlipBit(data.data(), b);
        if (result != ECC_UNCORRECTABLE) FAIL() << "bits " << a << " and " << b << ": result " << result;
      }
      FlipBit(data.data(), a);
      if (std::memcmp(data.data(), p.data.data(), 256) != 0)
        FAIL() << "block changed while testing bit " << a << ":" << DiffBytes(data.data(), p.data.data(), 256);
    }
  }
  std::mt19937 rng(77);
  for (const Protected& p : blocks) {
    for (int n = 0; n < 2000; ++n) {
      const unsigned a = rng() & 2047u;
      unsigned b = rng() & 2047u;
      if (b == a) b ^= 1u << (rng() % 11);
      Block data = p.data;
      FlipBit(data.data(), a);
      FlipBit(data.data(), b);
      const Block corrupted = data;
      ASSERT_EQ(Correct(data, p.stored), ECC_UNCORRECTABLE) << "bits " << a << " and " << b;
      ASSERT_EQ(DiffBytes(data.data(), corrupted.data(), 256), "") << "bits " << a << " and " << b;
    }
  }
}

// Three flips leave the pattern of a single flip at address a^b^c, so the checker
// (rightly, for this code) "repairs" that fourth bit: result 1, exactly one bit changed.
TEST(EccCorrect, ThreeDataBitFlipsLookLikeOneAndFlipOneBit) {
  std::mt19937 rng(31337);
  for (const Protected& p : SampleBlocks()) {
    for (int n = 0; n < 1000; ++n) {
      const unsigned a = rng() & 2047u, b = rng() & 2047u, c = rng() & 2047u;
      if (a == b || b == c || a == c) continue;
      Block data = p.data;
      FlipBit(data.data(), a);
      FlipBit(data.data(), b);
      FlipBit(data.data(), c);
      Block want = data;
      FlipBit(want.data(), a ^ b ^ c);
      ASSERT_EQ(Correct(data, p.stored), ECC_CORRECTED) << "bits " << a << ", " << b << ", " << c;
      ASSERT_EQ(DiffBytes(data.data(), want.data(), 256), "") << "bits " << a << ", " << b << ", " << c;
    }
  }
}

// Two data flips whose addresses differ in 5 bits leave 10 differing code bits (both
// members of 5 pairs); one more wrong code bit in an untouched pair makes 11.  Such a
// block must not be "repaired": 11 differing bits alone do not mean a single-bit error.
TEST(EccCorrect, TwoDataBitsPlusOneCodeBitAreNotMistakenForOne) {
  std::mt19937 rng(4242);
  for (const Protected& p : SampleBlocks()) {
    for (int checked = 0; checked < 500;) {
      const unsigned a = rng() & 2047u, b = rng() & 2047u;
      if (std::bitset<11>(a ^ b).count() != 5) continue;
      // In a pair where the addresses agree both flips hit the same member and cancel;
      // a wrong stored bit there (either member) is the 11th difference.
      std::vector<unsigned> choices;
      for (unsigned pair = 0; pair < 11; ++pair)
        if (((a ^ b) >> AddressBit(pair) & 1u) == 0) {
          choices.push_back(2 * pair);
          choices.push_back(2 * pair + 1);
        }
      const unsigned n = choices[rng() % choices.size()];
      const Code stored = XorCode(p.stored, CodeBitMask(n));

      Block data = p.data;
      FlipBit(data.data(), a);
      FlipBit(data.data(), b);
      const Block corrupted = data;
      Code now;
      eccref::Compute(data.data(), now.data());
      ASSERT_EQ(std::bitset<24>(ToBits(now) ^ ToBits(stored)).count(), 11u) << "test construction";

      ASSERT_EQ(Correct(data, stored), ECC_UNCORRECTABLE) << "bits " << a << ", " << b << " + code bit " << n;
      ASSERT_EQ(DiffBytes(data.data(), corrupted.data(), 256), "") << "bits " << a << ", " << b << " + code bit " << n;
      ++checked;
    }
  }
}

// Synthetic stored codes: 11 differing bits, but pair `both` has both members and pair
// `none` neither; all other pairs one member, chosen at random.  Every (both, none).
TEST(EccCorrect, ElevenBitsNotOnePerPairAreUncorrectable) {
  std::mt19937 rng(8);
  const std::vector<Protected> blocks = SampleBlocks();
  for (unsigned both = 0; both < 11; ++both) {
    for (unsigned none = 0; none < 11; ++none) {
      if (both == none) continue;
      for (int rep = 0; rep < 8; ++rep) {
        unsigned d = (rng() & 3u) << 16;  // spare bits may differ too
        for (unsigned p = 0; p < 11; ++p) {
          if (p == both) d |= CodeBitMask(2 * p) | CodeBitMask(2 * p + 1);
          else if (p != none) d |= CodeBitMask(2 * p + (rng() & 1u));
        }
        const Protected& blk = blocks[rep % blocks.size()];
        Block data = blk.data;
        const Code stored = XorCode(blk.stored, d);
        ASSERT_EQ(Correct(data, stored), ECC_UNCORRECTABLE) << "difference " << Hex(FromBits(d));
        ASSERT_EQ(DiffBytes(data.data(), blk.data.data(), 256), "") << "difference " << Hex(FromBits(d));
      }
    }
  }
}

// Arbitrary differences between stored and actual code (random weights, spare bits
// included), judged by the decision rule written out pair by pair: nothing differs ->
// 0; exactly one of the 22 code bits -> 2; exactly one member of every pair -> 1 with
// the bit at the address spelled by the odd members repaired; anything else -> 3.
TEST(EccCorrect, DecisionFollowsTheDifferencePattern) {
  std::mt19937 rng(123);
  const std::vector<Protected> blocks = SampleBlocks();
  for (int n = 0; n < 20000; ++n) {
    const Protected& blk = blocks[n % blocks.size()];
    unsigned d = (rng() & 3u) << 16;
    const unsigned weight = rng() % 23;
    for (unsigned k = 0; k < weight; ++k) d |= CodeBitMask(rng() % 22);
    if (n % 4 == 0) d = (d & 0x030000u) | SingleFlipPattern(rng() & 2047u);  // one-per-pair often

    int want = ECC_UNCORRECTABLE;
    unsigned counted = 0, pairsWithOne = 0, address = 0;
    for (unsigned p = 0; p < 11; ++p) {
      const bool even = d & CodeBitMask(2 * p), odd = d & CodeBitMask(2 * p + 1);
      counted += even + odd;
      pairsWithOne += even != odd;
      if (odd) address |= 1u << AddressBit(p);
    }
    if (d == 0) want = ECC_NO_ERROR;
    else if (counted == 1) want = ECC_CODE_ERROR;
    else if (pairsWithOne == 11) want = ECC_CORRECTED;
    Block expected = blk.data;
    if (want == ECC_CORRECTED) FlipBit(expected.data(), address);

    Block data = blk.data;
    const Code stored = XorCode(blk.stored, d);
    ASSERT_EQ(Correct(data, stored), want) << "difference " << Hex(FromBits(d));
    ASSERT_EQ(DiffBytes(data.data(), expected.data(), 256), "") << "difference " << Hex(FromBits(d));
  }
}

}  // namespace
