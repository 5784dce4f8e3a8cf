// The page ECC as shipped before the instruction-count work: 64 words folded in quads
// (four lanes, vectorised by the compiler where the CPU has SIMD registers), the odd
// line parities by a table look-up each.  A copy used only by bench/ecc_bench.cpp to
// measure the previous and the shipped method side by side; nothing else links it.
// Its parity table is its own copy, so that it stays as it was whatever ecc/ecc.cpp
// becomes.
#include "ecc_previous.h"

#include "ecc/ecc.h"

#include <stddef.h> /* size_t, for the alignment test only */

/* The small helpers below must disappear into the one function that uses them, or the
 * quads go through memory. */
#if defined(__GNUC__)
#define ECC_INLINE inline __attribute__((__always_inline__))
#else
#define ECC_INLINE inline
#endif

namespace ecc_previous {

// Sixteen entries a row, as the table is read.
// clang-format off
const unsigned char EccParityTable[256] = {
    0x00, 0x95, 0x96, 0x03, 0x99, 0x0C, 0x0F, 0x9A, 0x9A, 0x0F, 0x0C, 0x99, 0x03, 0x96, 0x95, 0x00,
    0xA5, 0x30, 0x33, 0xA6, 0x3C, 0xA9, 0xAA, 0x3F, 0x3F, 0xAA, 0xA9, 0x3C, 0xA6, 0x33, 0x30, 0xA5,
    0xA6, 0x33, 0x30, 0xA5, 0x3F, 0xAA, 0xA9, 0x3C, 0x3C, 0xA9, 0xAA, 0x3F, 0xA5, 0x30, 0x33, 0xA6,
    0x03, 0x96, 0x95, 0x00, 0x9A, 0x0F, 0x0C, 0x99, 0x99, 0x0C, 0x0F, 0x9A, 0x00, 0x95, 0x96, 0x03,
    0xA9, 0x3C, 0x3F, 0xAA, 0x30, 0xA5, 0xA6, 0x33, 0x33, 0xA6, 0xA5, 0x30, 0xAA, 0x3F, 0x3C, 0xA9,
    0x0C, 0x99, 0x9A, 0x0F, 0x95, 0x00, 0x03, 0x96, 0x96, 0x03, 0x00, 0x95, 0x0F, 0x9A, 0x99, 0x0C,
    0x0F, 0x9A, 0x99, 0x0C, 0x96, 0x03, 0x00, 0x95, 0x95, 0x00, 0x03, 0x96, 0x0C, 0x99, 0x9A, 0x0F,
    0xAA, 0x3F, 0x3C, 0xA9, 0x33, 0xA6, 0xA5, 0x30, 0x30, 0xA5, 0xA6, 0x33, 0xA9, 0x3C, 0x3F, 0xAA,
    0xAA, 0x3F, 0x3C, 0xA9, 0x33, 0xA6, 0xA5, 0x30, 0x30, 0xA5, 0xA6, 0x33, 0xA9, 0x3C, 0x3F, 0xAA,
    0x0F, 0x9A, 0x99, 0x0C, 0x96, 0x03, 0x00, 0x95, 0x95, 0x00, 0x03, 0x96, 0x0C, 0x99, 0x9A, 0x0F,
    0x0C, 0x99, 0x9A, 0x0F, 0x95, 0x00, 0x03, 0x96, 0x96, 0x03, 0x00, 0x95, 0x0F, 0x9A, 0x99, 0x0C,
    0xA9, 0x3C, 0x3F, 0xAA, 0x30, 0xA5, 0xA6, 0x33, 0x33, 0xA6, 0xA5, 0x30, 0xAA, 0x3F, 0x3C, 0xA9,
    0x03, 0x96, 0x95, 0x00, 0x9A, 0x0F, 0x0C, 0x99, 0x99, 0x0C, 0x0F, 0x9A, 0x00, 0x95, 0x96, 0x03,
    0xA6, 0x33, 0x30, 0xA5, 0x3F, 0xAA, 0xA9, 0x3C, 0x3C, 0xA9, 0xAA, 0x3F, 0xA5, 0x30, 0x33, 0xA6,
    0xA5, 0x30, 0x33, 0xA6, 0x3C, 0xA9, 0xAA, 0x3F, 0x3F, 0xAA, 0xA9, 0x3C, 0xA6, 0x33, 0x30, 0xA5,
    0x00, 0x95, 0x96, 0x03, 0x99, 0x0C, 0x0F, 0x9A, 0x9A, 0x0F, 0x0C, 0x99, 0x03, 0x96, 0x95, 0x00,
};
// clang-format on

namespace {

/* The word method needs a 32-bit unsigned int (true on the device and on both hosts). */
typedef char EccUnsignedIntIs32Bits[(sizeof(unsigned int) == 4 && (0xFFFFFFFFu + 1u) == 0u) ? 1 : -1];

/* A word read from a byte buffer; may_alias tells the optimiser that such a read may
 * see bytes stored through unsigned char. */
#if defined(__GNUC__)
typedef unsigned int __attribute__((__may_alias__)) EccWord;
#else
typedef unsigned int EccWord;
#endif

/* Word i (0..63) of a 4-byte-aligned block: a plain word load. */
struct AlignedWords {
  const EccWord* p;
  ECC_INLINE unsigned int operator()(int i) const { return p[i]; }
};

/* Word i of a block at any address, in the byte order a word load would give, but
 * never by a misaligned word access: the compiler emits byte loads where the CPU needs
 * them and a single load where misaligned loads are allowed. */
struct UnalignedWords {
  const unsigned char* p;
  ECC_INLINE unsigned int operator()(int i) const {
    unsigned int v;
#if defined(__GNUC__)
    __builtin_memcpy(&v, p + 4 * i, 4);
#else
    unsigned char* d = reinterpret_cast<unsigned char*>(&v);
    d[0] = p[4 * i];
    d[1] = p[4 * i + 1];
    d[2] = p[4 * i + 2];
    d[3] = p[4 * i + 3];
#endif
    return v;
  }
};

/* Four consecutive words 4q..4q+3 as four independent lanes.  All the XOR work is done
 * on quads: the same operation on four words.  Written as short loops on purpose: a
 * vectorising compiler turns each into one SIMD instruction (it does not for the four
 * statements spelled out), a scalar target unrolls it into four plain XORs. */
struct Quad {
  unsigned int l[4];
};

ECC_INLINE Quad operator^(const Quad& a, const Quad& b) {
  Quad r;
  for (int i = 0; i < 4; ++i) r.l[i] = a.l[i] ^ b.l[i];
  return r;
}

template <class Words>
ECC_INLINE Quad LoadQuad(const Words& w, int q) {
  Quad r;
  for (int i = 0; i < 4; ++i) r.l[i] = w(4 * q + i);
  return r;
}

/* Folds eight quads v0..v7 into their XOR (all) and the XORs of those whose number
 * (0..7) has bit 0 (b0), bit 1 (b1) or bit 2 (b2) set: 12 XORs where one accumulator
 * per output would take 16. */
ECC_INLINE void Fold8(const Quad& v0, const Quad& v1, const Quad& v2, const Quad& v3, const Quad& v4, const Quad& v5,
                      const Quad& v6, const Quad& v7, Quad& all, Quad& b0, Quad& b1, Quad& b2) {
  const Quad x13 = v1 ^ v3;
  const Quad x57 = v5 ^ v7;
  const Quad x23 = v2 ^ v3;
  const Quad x67 = v6 ^ v7;
  const Quad x45 = v4 ^ v5;
  b0 = x13 ^ x57;
  b1 = x23 ^ x67;
  b2 = x45 ^ x67;
  all = (v0 ^ v1) ^ x23 ^ (x45 ^ x67);
}

/* Fold8 over quads q..q+7 of the block. */
template <class Words>
ECC_INLINE void Fold8At(const Words& w, int q, Quad& all, Quad& b0, Quad& b1, Quad& b2) {
  Fold8(LoadQuad(w, q), LoadQuad(w, q + 1), LoadQuad(w, q + 2), LoadQuad(w, q + 3), LoadQuad(w, q + 4),
        LoadQuad(w, q + 5), LoadQuad(w, q + 6), LoadQuad(w, q + 7), all, b0, b1, b2);
}

ECC_INLINE unsigned int Xor4(const Quad& q) { return (q.l[0] ^ q.l[1]) ^ (q.l[2] ^ q.l[3]); }

ECC_INLINE unsigned int Parity8(unsigned int x) { return EccParityTable[x & 0xFFu] >> 7; }

ECC_INLINE unsigned int Parity32(unsigned int x) {
  x ^= x >> 16;
  x ^= x >> 8;
  return Parity8(x);
}

/* The 3 code bytes of the block, byte 0 in bits 0-7, byte 1 in 8-15, byte 2 in 16-23. */
template <class Words>
ECC_INLINE unsigned int Compute(const Words& w) {
  /* Quad q holds words 4q..4q+3, so quad-number bits 0-3 are byte-index bits 4-7 and
   * the lane number gives byte-index bits 2-3.  First the 16 quads fold into their
   * XOR and the XORs selected by each quad-number bit. */
  Quad lo, lo0, lo1, lo2, hi, hi0, hi1, hi2;
  Fold8At(w, 0, lo, lo0, lo1, lo2);
  Fold8At(w, 8, hi, hi0, hi1, hi2);
  const Quad all = lo ^ hi;

  /* t = XOR of all 64 words; ak = XOR of the words whose byte index has bit k set,
   * for k = 2..7. */
  const unsigned int t = Xor4(all);
  const unsigned int a2 = all.l[1] ^ all.l[3];
  const unsigned int a3 = all.l[2] ^ all.l[3];
  const unsigned int a4 = Xor4(lo0 ^ hi0);
  const unsigned int a5 = Xor4(lo1 ^ hi1);
  const unsigned int a6 = Xor4(lo2 ^ hi2);
  const unsigned int a7 = Xor4(hi);

  /* Byte lane L of t is the XOR of the data bytes whose index is L modulo 4 (lane =
   * address order, the CPU being little-endian: see below). */
  const unsigned int t16 = t ^ (t >> 16);                 /* lanes 0^2 | (1^3) << 8 */
  const unsigned int column = (t16 ^ (t16 >> 8)) & 0xFFu; /* XOR of all 256 bytes */
  const unsigned int c = EccParityTable[column];
  const unsigned int total = c >> 7; /* parity of the whole block */
  /* Lane L holds the byte at address 4k+L: word loads put the lowest address in bits
   * 0-7 on the handheld's CPU as its system runs it, and on every host the tests run
   * on. */
  const unsigned int odd0 = Parity8(t16 >> 8);              /* lanes 1,3: index bit 0 set */
  const unsigned int odd1 = Parity8((t >> 16) ^ (t >> 24)); /* lanes 2,3: index bit 1 set */

  /* Odd line parities LP01, LP03, ..., LP15 at bits 1, 3, ..., 15; each even partner
   * is the total parity XOR its odd one. */
  const unsigned int odd = (odd0 << 1) | (odd1 << 3) | (Parity32(a2) << 5) | (Parity32(a3) << 7) | (Parity32(a4) << 9) |
                           (Parity32(a5) << 11) | (Parity32(a6) << 13) | (Parity32(a7) << 15);
  const unsigned int lines = odd | ((odd >> 1) ^ (0x5555u & (0u - total)));
  return ~(lines | ((c & 0x3Fu) << 18)) & 0xFFFFFFu;
}

inline unsigned int ComputeCode(const unsigned char* pBlock) {
  if ((static_cast<unsigned int>(reinterpret_cast<size_t>(pBlock)) & 3u) == 0) {
    AlignedWords w;
    w.p = reinterpret_cast<const EccWord*>(pBlock);
    return Compute(w);
  }
  UnalignedWords w;
  w.p = pBlock;
  return Compute(w);
}

}  // namespace

void Generate(const unsigned char* pBlock, unsigned char* pCode) {
  const unsigned int code = ComputeCode(pBlock);
  pCode[0] = static_cast<unsigned char>(code & 0xFFu);
  pCode[1] = static_cast<unsigned char>((code >> 8) & 0xFFu);
  pCode[2] = static_cast<unsigned char>((code >> 16) & 0xFFu);
}

int Correct(unsigned char* pBlock, const unsigned char* pStored) {
  const unsigned int stored = static_cast<unsigned int>(pStored[0]) | (static_cast<unsigned int>(pStored[1]) << 8) |
                              (static_cast<unsigned int>(pStored[2]) << 16);
  const unsigned int diff = stored ^ ComputeCode(pBlock);
  if (diff == 0) return ECC_NO_ERROR;

  /* The 22 meaningful syndrome bits: LP00..LP15 at bits 0-15, CP0..CP5 at 16-21.
   * Bits 0-1 of code byte 2 are constant 1s and carry no information. */
  const unsigned int syn = (diff & 0xFFFFu) | ((diff >> 2) & 0x3F0000u);
  if (syn != 0 && (syn & (syn - 1u)) == 0) return ECC_CODE_ERROR; /* one code bit flipped: the data is good */

  /* One flipped data bit changes exactly one parity of each of the 11 pairs (the odd
   * one where the bit's byte/bit index has a 1, the even one where it has a 0).  Only
   * that pattern is repaired.  Counting 11 differing bits is not enough: two data bits
   * plus one code bit can also leave 11, and flipping the bit such a count points at
   * would corrupt good data silently. */
  const unsigned int kPairs = 0x155555u; /* low bit of each of the 11 pairs */
  if (((syn ^ (syn >> 1)) & kPairs) != kPairs) return ECC_UNCORRECTABLE;

  /* The odd member of each pair is the index bit: LP01..LP15 give the byte index,
   * CP1, CP3, CP5 the bit index. */
  unsigned int byteIndex = (syn >> 1) & 0x5555u;
  byteIndex = (byteIndex | (byteIndex >> 1)) & 0x3333u;
  byteIndex = (byteIndex | (byteIndex >> 2)) & 0x0F0Fu;
  byteIndex = (byteIndex | (byteIndex >> 4)) & 0x00FFu;
  const unsigned int bitIndex = ((syn >> 17) & 1u) | ((syn >> 18) & 2u) | ((syn >> 19) & 4u);
  pBlock[byteIndex] = static_cast<unsigned char>(pBlock[byteIndex] ^ (1u << bitIndex));
  return ECC_CORRECTED;
}

}  // namespace ecc_previous
