// Checking and repair: what EccCorrect reports and changes for each kind of difference
// between the data, its stored code and the code the data has now.
//
// Data bit pos = 8 * byte index + bit position (0..2047) is also its 11-bit address.
// Code bit n (0..21): n < 16 is LPn, n >= 16 is CP(n-16) (bit n-14 of code byte 2).
// Pair p (0..10) is code bits 2p, 2p+1; pairs 0-7 split by byte-index bits 0-7 (address
// bits 3-10), pairs 8-10 by bit-position bits 0-2 (address bits 0-2).
#include <gtest/gtest.h>

#include <bitset>
#include <cstring>
#include <vector>

#include "ecc/ecc.h"
#include "ecc_reference.h"
#include "ecc_test_util.h"

namespace {

using namespace ecctest;

struct Protected {
  Block data;
  Code stored;
};

// Erased, zero and random blocks with their correct codes.
std::vector<Protected> SampleBlocks() {
  std::mt19937 rng(2024);
  std::vector<Block> data = {Filled(0xFF), Filled(0x00)};
  for (int i = 0; i < 4; ++i) data.push_back(Random(rng));
  std::vector<Protected> out;
  for (const Block& b : data) {
    out.push_back({b, {}});
    eccref::Compute(b.data(), out.back().stored.data());
  }
  return out;
}

unsigned AddressBit(unsigned pair) { return pair < 8 ? 3 + pair : pair - 8; }
// Code bit n within a 24-bit difference (byte 0 in bits 0-7, byte 1 in 8-15, byte 2 in 16-23).
unsigned CodeBit(unsigned n) { return n < 16 ? 1u << n : 1u << (n + 2); }
constexpr unsigned kSpareBits = 0x030000u;  // bits 0-1 of code byte 2

Code XorCode(const Code& c, unsigned d) {
  return {std::uint8_t(c[0] ^ d), std::uint8_t(c[1] ^ (d >> 8)), std::uint8_t(c[2] ^ (d >> 16))};
}

// The difference a lone flip of data bit pos leaves: the odd member of pair p where bit
// AddressBit(p) of pos is 1, the even member where it is 0.
unsigned SingleFlipPattern(unsigned pos) {
  unsigned d = 0;
  for (unsigned p = 0; p < 11; ++p) d |= CodeBit(2 * p + ((pos >> AddressBit(p)) & 1u));
  return d;
}

int Correct(Block& data, const Code& stored) { return EccCorrect(data.data(), stored.data()); }

TEST(EccCorrect, CleanBlockIsNoErrorAndEverySingleDataBitFlipIsRepaired) {
  for (const Protected& p : SampleBlocks()) {
    Block data = p.data;
    ASSERT_EQ(Correct(data, p.stored), ECC_NO_ERROR) << "code " << Hex(p.stored);
    ASSERT_EQ(DiffBytes(p.data, data), "");
    for (unsigned pos = 0; pos < 2048; ++pos) {
      FlipBit(data.data(), pos);
      ASSERT_EQ(Correct(data, p.stored), ECC_CORRECTED) << "bit " << pos << ", code " << Hex(p.stored);
      ASSERT_EQ(DiffBytes(p.data, data), "") << "bit " << pos;
    }
  }
}

// Repair of a block at each address offset; the bytes around it are never touched.
TEST(EccCorrect, RepairsAtEveryAlignmentWithoutTouchingNeighbours) {
  const Protected p = SampleBlocks()[3];
  alignas(16) std::uint8_t buffer[256 + 16], want[256 + 16];
  for (unsigned offset = 0; offset < 8; ++offset)
    for (unsigned pos = 0; pos < 2048; pos += 61) {
      std::memset(buffer, 0x5A, sizeof buffer);
      std::memcpy(buffer + offset, p.data.data(), 256);
      std::memcpy(want, buffer, sizeof buffer);
      FlipBit(buffer + offset, pos);
      ASSERT_EQ(EccCorrect(buffer + offset, p.stored.data()), ECC_CORRECTED) << "offset " << offset << ", bit " << pos;
      ASSERT_EQ(DiffBytes(want, buffer), "") << "offset " << offset << ", bit " << pos;
    }
}

// Good data against a damaged stored code: one wrong code bit is a code error; the two
// constant bits of byte 2 alone, and all-zero data against a zero code, fit no
// single-bit error.  The block is never touched.
TEST(EccCorrect, DamagedStoredCodeWithGoodData) {
  struct Case {
    unsigned diff;
    int want;
  };
  std::vector<Case> cases;
  for (unsigned n = 0; n < 22; ++n) cases.push_back({CodeBit(n), ECC_CODE_ERROR});
  for (unsigned spare : {0x010000u, 0x020000u, 0x030000u}) cases.push_back({spare, ECC_UNCORRECTABLE});
  for (const Protected& p : SampleBlocks())
    for (const Case& c : cases) {
      Block data = p.data;
      const Code stored = XorCode(p.stored, c.diff);
      EXPECT_EQ(Correct(data, stored), c.want) << "stored " << Hex(stored) << " for " << Hex(p.stored);
      EXPECT_EQ(DiffBytes(p.data, data), "");
    }
  Block zero = Filled(0x00);
  EXPECT_EQ(Correct(zero, Code{0x00, 0x00, 0x00}), ECC_UNCORRECTABLE);
  EXPECT_EQ(DiffBytes(Filled(0x00), zero), "");
}

// Every pair of distinct data bits (all 2,096,128 for one block, random pairs for the
// others) is reported and left alone.
TEST(EccCorrect, TwoDataBitFlipsAreDetectedAndLeftAlone) {
  const std::vector<Protected> blocks = SampleBlocks();
  Block data = blocks[2].data;
  for (unsigned a = 0; a < 2048; ++a) {
    FlipBit(data.data(), a);
    for (unsigned b = a + 1; b < 2048; ++b) {
      FlipBit(data.data(), b);
      const int result = Correct(data, blocks[2].stored);
      FlipBit(data.data(), b);
      if (result != ECC_UNCORRECTABLE) FAIL() << "bits " << a << " and " << b << ": result " << result;
    }
    FlipBit(data.data(), a);
    if (data != blocks[2].data) FAIL() << "changed while testing bit " << a << ":" << DiffBytes(blocks[2].data, data);
  }
  std::mt19937 rng(77);
  for (const Protected& p : blocks)
    for (int n = 0; n < 2000; ++n) {
      const unsigned a = rng() & 2047u, b = a ^ (1u + rng() % 2047u);
      Block bad = p.data;
      FlipBit(bad.data(), a);
      FlipBit(bad.data(), b);
      Block data = bad;
      ASSERT_EQ(Correct(data, p.stored), ECC_UNCORRECTABLE) << "bits " << a << " and " << b;
      ASSERT_EQ(DiffBytes(bad, data), "") << "bits " << a << " and " << b;
    }
}

// Three flips leave the pattern of one flip at address a^b^c, so the checker "repairs"
// that fourth bit: result 1, exactly that bit changed.
TEST(EccCorrect, ThreeDataBitFlipsLookLikeOne) {
  std::mt19937 rng(31337);
  for (const Protected& p : SampleBlocks())
    for (int n = 0; n < 1000; ++n) {
      const unsigned a = rng() & 2047u, b = rng() & 2047u, c = rng() & 2047u;
      if (a == b || b == c || a == c) continue;
      Block data = p.data;
      for (unsigned pos : {a, b, c}) FlipBit(data.data(), pos);
      Block want = data;
      FlipBit(want.data(), a ^ b ^ c);
      ASSERT_EQ(Correct(data, p.stored), ECC_CORRECTED) << "bits " << a << ", " << b << ", " << c;
      ASSERT_EQ(DiffBytes(want, data), "") << "bits " << a << ", " << b << ", " << c;
    }
}

// Two data flips whose addresses differ in 5 bits leave both members of 5 pairs; a wrong
// stored bit in a pair where they agree makes 11 differing bits.  That is no single-bit
// error and must not be "repaired".
TEST(EccCorrect, TwoDataBitsPlusOneCodeBitAreNotMistakenForOne) {
  std::mt19937 rng(4242);
  for (const Protected& p : SampleBlocks())
    for (int checked = 0; checked < 500;) {
      const unsigned a = rng() & 2047u, b = rng() & 2047u;
      if (std::bitset<11>(a ^ b).count() != 5) continue;
      std::vector<unsigned> agreeing;
      for (unsigned pair = 0; pair < 11; ++pair)
        if (((a ^ b) >> AddressBit(pair) & 1u) == 0) agreeing.insert(agreeing.end(), {2 * pair, 2 * pair + 1});
      const unsigned n = agreeing[rng() % agreeing.size()];
      const Code stored = XorCode(p.stored, CodeBit(n));
      Block bad = p.data;
      FlipBit(bad.data(), a);
      FlipBit(bad.data(), b);
      Code now;
      eccref::Compute(bad.data(), now.data());
      unsigned differing = 0;
      for (int i = 0; i < 3; ++i) differing += std::bitset<8>(now[i] ^ stored[i]).count();
      ASSERT_EQ(differing, 11u) << "test construction";

      Block data = bad;
      ASSERT_EQ(Correct(data, stored), ECC_UNCORRECTABLE) << "bits " << a << ", " << b << " + code bit " << n;
      ASSERT_EQ(DiffBytes(bad, data), "") << "bits " << a << ", " << b << " + code bit " << n;
      ++checked;
    }
}

// Synthetic differences with 11 bits set, but pair `both` has both members and pair
// `none` neither (the rest one member each, at random): every (both, none).
TEST(EccCorrect, ElevenBitsNotOnePerPairAreUncorrectable) {
  std::mt19937 rng(8);
  const std::vector<Protected> blocks = SampleBlocks();
  for (unsigned both = 0; both < 11; ++both)
    for (unsigned none = 0; none < 11; ++none)
      for (int rep = 0; both != none && rep < 8; ++rep) {
        unsigned d = rng() & kSpareBits;
        for (unsigned p = 0; p < 11; ++p)
          if (p == both)
            d |= CodeBit(2 * p) | CodeBit(2 * p + 1);
          else if (p != none)
            d |= CodeBit(2 * p + (rng() & 1u));
        const Protected& blk = blocks[rep % blocks.size()];
        Block data = blk.data;
        const Code stored = XorCode(blk.stored, d);
        ASSERT_EQ(Correct(data, stored), ECC_UNCORRECTABLE) << "stored " << Hex(stored) << " for " << Hex(blk.stored);
        ASSERT_EQ(DiffBytes(blk.data, data), "") << "stored " << Hex(stored);
      }
}

// Arbitrary differences (random weights, constant bits included) judged by the decision
// rule spelled out pair by pair: none -> 0; exactly one of the 22 code bits -> 2;
// exactly one member of every pair -> 1, repairing the bit whose address the odd
// members spell; anything else -> 3 with the block untouched.
TEST(EccCorrect, DecisionFollowsTheDifferencePattern) {
  std::mt19937 rng(123);
  const std::vector<Protected> blocks = SampleBlocks();
  for (int n = 0; n < 20000; ++n) {
    const Protected& blk = blocks[n % blocks.size()];
    unsigned d = rng() & kSpareBits;
    for (unsigned k = 0, weight = rng() % 23; k < weight; ++k) d |= CodeBit(rng() % 22);
    if (n % 4 == 0) d = (d & kSpareBits) | SingleFlipPattern(rng() & 2047u);

    unsigned counted = 0, pairsWithOne = 0, address = 0;
    for (unsigned p = 0; p < 11; ++p) {
      const bool even = d & CodeBit(2 * p), odd = d & CodeBit(2 * p + 1);
      counted += even + odd;
      pairsWithOne += even != odd;
      if (odd) address |= 1u << AddressBit(p);
    }
    const int want = d == 0               ? ECC_NO_ERROR
                     : counted == 1       ? ECC_CODE_ERROR
                     : pairsWithOne == 11 ? ECC_CORRECTED
                                          : ECC_UNCORRECTABLE;
    Block expected = blk.data;
    if (want == ECC_CORRECTED) FlipBit(expected.data(), address);

    Block data = blk.data;
    const Code stored = XorCode(blk.stored, d);
    ASSERT_EQ(Correct(data, stored), want) << "stored " << Hex(stored) << " for " << Hex(blk.stored);
    ASSERT_EQ(DiffBytes(expected, data), "") << "stored " << Hex(stored);
  }
}

}  // namespace
