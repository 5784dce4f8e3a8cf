/* PROSE-PLACEHOLDER */
#include "ecc/ecc.h"

#include <stddef.h> /* size_t, for the alignment test only */

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

namespace {

/* The word method needs a 32-bit unsigned int (true on the device and on both hosts). */
typedef char EccUnsignedIntIs32Bits[(sizeof(unsigned int) == 4 && (0xFFFFFFFFu + 1u) == 0u) ? 1 : -1];

/* A word read from a byte buffer; may_alias keeps the optimiser from assuming that a
 * buffer of bytes and a word read from it cannot overlap. */
#if defined(__GNUC__)
typedef unsigned int __attribute__((__may_alias__)) EccWord;
#else
typedef unsigned int EccWord;
#endif

/* Word i of a 4-byte-aligned block: a plain word load. */
struct AlignedWords
{
    const EccWord* p;
    unsigned int operator()(int i) const { return p[i]; }
};

/* Word i of a block at any address, in the same (native) byte order as a word load
 * would give, but never by a misaligned word access. */
struct UnalignedWords
{
    const unsigned char* p;
    unsigned int operator()(int i) const
    {
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

/* Folds eight words w[0..7] into their XOR (all) and the XORs of the words whose
 * index (0..7) has bit 0 (b0), bit 1 (b1) or bit 2 (b2) set; 12 XORs instead of 19. */
inline void Fold8(unsigned int w0, unsigned int w1, unsigned int w2, unsigned int w3,
                  unsigned int w4, unsigned int w5, unsigned int w6, unsigned int w7,
                  unsigned int& all, unsigned int& b0, unsigned int& b1, unsigned int& b2)
{
    const unsigned int x13 = w1 ^ w3;
    const unsigned int x57 = w5 ^ w7;
    const unsigned int x23 = w2 ^ w3;
    const unsigned int x67 = w6 ^ w7;
    const unsigned int x45 = w4 ^ w5;
    b0 = x13 ^ x57;
    b1 = x23 ^ x67;
    b2 = x45 ^ x67;
    all = (w0 ^ w1) ^ x23 ^ (x45 ^ x67);
}

template <class Words>
inline void Group(const Words& w, int g, unsigned int& s, unsigned int& a0, unsigned int& a1,
                  unsigned int& a2)
{
    unsigned int b0, b1, b2;
    const int i = 8 * g;
    Fold8(w(i), w(i + 1), w(i + 2), w(i + 3), w(i + 4), w(i + 5), w(i + 6), w(i + 7), s, b0, b1, b2);
    a0 ^= b0;
    a1 ^= b1;
    a2 ^= b2;
}

inline unsigned int Parity8(unsigned int x) { return EccParityTable[x & 0xFFu] >> 7; }

inline unsigned int Parity32(unsigned int x)
{
    x ^= x >> 16;
    x ^= x >> 8;
    return Parity8(x);
}

/* True when a word load puts the byte at the lowest address into bits 0-7.  A constant
 * to the compiler; reading a word's bytes through unsigned char is always allowed. */
inline bool LittleEndian()
{
    const unsigned int one = 1u;
    return *reinterpret_cast<const unsigned char*>(&one) == 1u;
}

template <class Words>
inline void Compute(const Words& w, unsigned char* pCode)
{
    /* a[k] = XOR of the words whose word index has bit k set (byte index bit k+2). */
    unsigned int a0 = 0, a1 = 0, a2 = 0;
    unsigned int s0, s1, s2, s3, s4, s5, s6, s7;
    Group(w, 0, s0, a0, a1, a2);
    Group(w, 1, s1, a0, a1, a2);
    Group(w, 2, s2, a0, a1, a2);
    Group(w, 3, s3, a0, a1, a2);
    Group(w, 4, s4, a0, a1, a2);
    Group(w, 5, s5, a0, a1, a2);
    Group(w, 6, s6, a0, a1, a2);
    Group(w, 7, s7, a0, a1, a2);
    unsigned int t, a3, a4, a5;
    Fold8(s0, s1, s2, s3, s4, s5, s6, s7, t, a3, a4, a5);

    /* t = XOR of all 64 words: byte lane L of t is the XOR of the data bytes whose
     * index is L modulo 4 (lane = address order after the endianness fix below). */
    const unsigned int t16 = t ^ (t >> 16);             /* lanes 0^2 | (1^3) << 8 */
    const unsigned int column = (t16 ^ (t16 >> 8)) & 0xFFu; /* XOR of all 256 bytes */
    const unsigned int c = EccParityTable[column];
    const unsigned int total = c >> 7;                 /* parity of the whole block */
    unsigned int odd0 = Parity8(t16 >> 8);             /* lanes 1,3: index bit 0 set */
    unsigned int odd1 = Parity8((t >> 16) ^ (t >> 24)); /* lanes 2,3: index bit 1 set */
    if (!LittleEndian())
    {
        /* Lanes are reversed (lane L holds address 3-L): the "odd" sets computed above
         * are the complementary halves, whose parity differs by the total parity. */
        odd0 ^= total;
        odd1 ^= total;
    }

    /* Odd line parities LP01, LP03, ..., LP15 at bits 1, 3, ..., 15; each even partner
     * is the total parity XOR its odd one. */
    const unsigned int odd = (odd0 << 1) | (odd1 << 3) | (Parity32(a0) << 5) | (Parity32(a1) << 7) |
                             (Parity32(a2) << 9) | (Parity32(a3) << 11) | (Parity32(a4) << 13) |
                             (Parity32(a5) << 15);
    const unsigned int lines = odd | ((odd >> 1) ^ (0x5555u & (0u - total)));

    pCode[0] = static_cast<unsigned char>(~lines & 0xFFu);
    pCode[1] = static_cast<unsigned char>((~lines >> 8) & 0xFFu);
    pCode[2] = static_cast<unsigned char>(~((c & 0x3Fu) << 2) & 0xFFu);
}

} // namespace

void EccCompute(const unsigned char* pBlock, unsigned char* pCode)
{
    if ((static_cast<unsigned int>(reinterpret_cast<size_t>(pBlock)) & 3u) == 0)
    {
        AlignedWords w;
        w.p = reinterpret_cast<const EccWord*>(pBlock);
        Compute(w, pCode);
    }
    else
    {
        UnalignedWords w;
        w.p = pBlock;
        Compute(w, pCode);
    }
}

void EccGenerate(const unsigned char* pBlock, unsigned char* pCode) { EccCompute(pBlock, pCode); }

int EccCorrect(unsigned char* pBlock, const unsigned char* pStored)
{
    unsigned char calc[3];
    EccCompute(pBlock, calc);
    const unsigned int d0 = static_cast<unsigned int>(pStored[0] ^ calc[0]);
    const unsigned int d1 = static_cast<unsigned int>(pStored[1] ^ calc[1]);
    const unsigned int d2 = static_cast<unsigned int>(pStored[2] ^ calc[2]);
    if ((d0 | d1 | d2) == 0)
        return ECC_NO_ERROR;

    /* The 22 meaningful syndrome bits: LP00..LP15 at bits 0-15, CP0..CP5 at 16-21.
     * Bits 0-1 of code byte 2 are constant 1s and carry no information. */
    const unsigned int syn = d0 | (d1 << 8) | ((d2 & 0xFCu) << 14);
    if (syn != 0 && (syn & (syn - 1u)) == 0)
        return ECC_CODE_ERROR; /* one code bit flipped: the data is good */

    /* One flipped data bit changes exactly one parity of each of the 11 pairs (the odd
     * one where the bit's byte/bit index has a 1, the even one where it has a 0).  Only
     * that pattern is repaired.  Counting 11 differing bits is not enough: two data bits
     * plus one code bit can also leave 11, and flipping the bit such a count points at
     * would corrupt good data silently. */
    const unsigned int kPairs = 0x155555u; /* low bit of each of the 11 pairs */
    if (((syn ^ (syn >> 1)) & kPairs) != kPairs)
        return ECC_UNCORRECTABLE;

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
