/*
 * ecc.cpp - the 3-byte Hamming code of a 256-byte flash block.
 *
 * THE CODE
 * Data bytes D[0..255], bit 0 = least significant.  P(i) is the parity (XOR of the 8
 * bits) of D[i].
 *   Line parities, k = 0..7:  LP(2k)   = XOR of P(i) over the i whose index bit k is 0,
 *                             LP(2k+1) = XOR of P(i) over the i whose index bit k is 1.
 *   Column parities, m = 0..2: CP(2m) / CP(2m+1) = XOR, over all 256 bytes, of the bits
 *   at the positions whose bit m is 0 / 1 (CP0: positions 0,2,4,6; CP1: 1,3,5,7;
 *   CP2: 0,1,4,5; CP3: 2,3,6,7; CP4: 0-3; CP5: 4-7).
 * Stored inverted:
 *   byte 0 = ~LP07 ~LP06 ... ~LP00   (bit 7 .. bit 0)
 *   byte 1 = ~LP15 ~LP14 ... ~LP08
 *   byte 2 = ~CP5 ~CP4 ~CP3 ~CP2 ~CP1 ~CP0 1 1
 * The 22 parities form 11 pairs (LP00/LP01 ... LP14/LP15, CP0/CP1, CP2/CP3, CP4/CP5).  A
 * single flipped data bit at byte i, position b toggles exactly one member of every
 * pair - the odd member where the 11-bit address (i << 3 | b) has a 1, the even member
 * where it has a 0 - so the odd members of the difference spell out the address.  A
 * flipped code bit shows up as one lone differing bit.
 *
 * ERASED PAGES
 * Erased flash reads all 1s, data and spare alike.  For 256 x FF every byte has even
 * parity and every bit position holds 256 ones, so all 22 parities are 0 and the stored
 * (inverted) form is FF FF FF: an erased block checks clean against its erased spare
 * bytes without ever having been written.  256 x 00 gives FF FF FF as well, and the two
 * constant bits of byte 2 are 1 so that they never need programming.
 *
 * HOW IT IS COMPUTED
 * The block is read in machine words, 64 words of 4 bytes on the handheld (word j =
 * bytes 4j..4j+3); step 5 says how 8-byte words differ.  Everything follows from XORs
 * of whole words, because every parity is linear:
 *  - t, the XOR of all 64 words, holds in byte lane L the XOR of the bytes whose index
 *    is L modulo 4.  Its four lanes folded together give the XOR of all 256 bytes (the
 *    column byte), which decides CP0..CP5 and the parity of the whole block; lanes 1^3
 *    and 2^3 give LP01 and LP03 (index bits 0 and 1 lie inside a word).
 *  - for index bits 2..7 (the word index), LP05, LP07, ..., LP15 are the parities of
 *    a2..a7, the XORs of the words whose byte index has that bit set.
 *  - every even line parity is the parity of the whole block XOR its odd partner.
 * The steps, measured in executed instructions per 256-byte block on the handheld's
 * instruction set (scripts/ecc-insn-count.sh: gcc 12.2 -O2 -march=armv4 -marm, counted
 * under qemu-arm; call, return and the counting loop's 10 or so included):
 *
 * 1. Groups and a tree, no branches.  Words 8g..8g+7 are group g (byte index bits
 *    5-7 = g).  Group takes it as two quads of four words (Quad: the quad's sum and the
 *    sums of its words with word index bit 0 and bit 1 set, 4 XORs) and adds to a2, a3,
 *    a4 the sums of its words with word index bit 0, 1, 2 set: 14 XORs a group; the
 *    eight group sums give t, a5, a6, a7 as a tree over pairs and quads of groups (11
 *    XORs).  120 XORs in all, every word loaded once, no branch.  The previous method folded quads
 *    of four words as four lanes (one SIMD operation each where the CPU has SIMD
 *    registers) and kept up to 32 partial sums in flight, far more than the 14 registers
 *    of the handheld's CPU; the scalar groups keep 7 sums and one group's words.
 * 2. Eight parities in one word.  LP01..LP15 are the parities of eight words (t's lane
 *    pairs and a2..a7).  Instead of a fold and a table look-up for each, the eight are
 *    folded together: pairs of words into the 16-bit halves of one (Pair16), pairs of
 *    those into four bytes (Merge8), two of those into eight nibbles; each nibble to its
 *    parity, and the nibbles moved beside each other so that LP01, LP03, ..., LP15 land
 *    on bits 17, 19, ..., 31, each copied into the even bit below it.
 * 3. One table for the column byte.  kCodeOfColumn gives, per column byte, code byte 2
 *    (the inverted CP bits) and the line bytes of a block whose odd line parities are
 *    all 0 (FFFF, or AAAA when the block's parity is odd: its even line parities are
 *    then 1); one XOR with the odd parities of step 2 is the code.
 * 4. Reads in address order.  The words are read through a volatile pointer, so that
 *    the compiler reads each exactly once and in the order written, group after group.
 *    Left to itself, gcc schedules the loads of later groups early (the chains of the
 *    sums look like the critical path), runs out of registers and reads words a second
 *    time; how often depends on the shape of the source, so without this step the
 *    savings of steps 1-3 come and go.
 *
 *   EccGenerate, words read ...                       plainly    in order (step 4)
 *   previous method (quads of words, 8 look-ups)        373
 *   groups of 8 words, 7 sums, 8 look-ups               274           274
 *   + the eight parities folded in one word (2)         275           259
 *   + one table for the column byte (3)                 269           253
 *   + the group sums as a tree (1), as shipped          284           248
 * Shipped: EccGenerate 248, EccCorrect of a clean block 241, of a block with one
 * flipped data bit 275 (previous method: 373, 367, 401).  What is left: 64 loads, 120
 * XORs, 43 instructions to fold and pack the parities and look the column up, 5 to
 * store the code, and the entry, the alignment test and the return.  Loading several
 * words at once (LDM) would cut the loads, but gcc forms an LDM only from adjacent
 * loads into ascending registers, which its scheduling and register allocation do not
 * give here.
 *
 * 5. Machine words.  The sums are taken in size_t, the CPU's own word: 4 bytes on the
 *    handheld, 8 on a 64-bit host (Linux or Windows).  In 8-byte words a group of 32
 *    bytes is 4 words, one quad (Quad: its sum and the sums of its words with word
 *    index bit 0 and 1 set, which are byte index bits 3 and 4); byte index bit 2 now
 *    lies inside a word, so a2 is the high half of t, and t's halves XORed are the t of
 *    4-byte words.  Each 8-byte sum folds to 32 bits with its parity kept (Fold32), and
 *    steps 2 and 3 go on unchanged.  Half the loads and XORs of 4-byte words.  The
 *    choice is made by the word's size, a constant, so each CPU compiles only its own
 *    form: on the handheld, EccGenerate and EccCorrect compile to the same
 *    instructions as before this step (248, 241, 275 as above).  Both forms are
 *    checked against the two-pass reference, the 4-byte one by the ARMv4 tests under
 *    qemu-arm, the 8-byte one by the host and native tests.
 *
 * On the x86-64 build host (gcc 12, bench/ecc_bench.cpp: the previous method, kept in
 * bench/ecc_previous.cpp, and this one side by side in one run; median of 7, CPU time
 * per block; the 4-byte column, steps 1-4 alone, is the same benchmark run before
 * step 5):
 *                            host build (ASan + UBSan)   plain -O2, no sanitizers
 *                              previous -> shipped        previous -> 4-byte -> shipped
 *   EccGenerate                  590 ns -> 58 ns           16.5 ns -> 25.9 -> 14.2 ns
 *   EccGenerate, block at +1     653 ns -> 331 ns          18.2 ns -> 22.6 -> 15.0 ns
 *   EccCorrect, clean block      589 ns -> 61 ns           17.4 ns -> 25.2 -> 14.7 ns
 *   EccCorrect, one bit flipped  594 ns -> 61 ns           33.2 ns -> 39.3 -> 36.0 ns
 * Without sanitizers gcc made the previous method's quads SSE operations, which
 * scalar groups read in order through a volatile pointer are not: 4-byte words lost
 * to them by half, and 8-byte words win that back and more, except in the benchmark
 * of a flipped bit.  That benchmark flips the bit just before each call, and the word
 * load that covers the byte just stored waits until the store has reached the cache
 * (a byte store cannot be forwarded to a wider load); the wait, not the code, is half
 * of those 33-36 ns, and how much of the code runs in its shadow decides the rest.
 * With a memory fence between the flip and the call, so that no load waits, the
 * previous method takes 41.0 ns and this one 39.4 (fence included).  Under the
 * sanitizers each byte of an unaligned block is checked on its own, so 8-byte words
 * assembled from 8 bytes cost more there than 4-byte ones did (197 ns before step 5).
 *
 * ALIGNMENT AND BYTE ORDER
 * The device CPU faults on misaligned word loads, and blocks inside packed buffers can
 * start anywhere.  A block on a word boundary (4 bytes on the handheld, 8 on a 64-bit
 * host) is read with word loads; any other block is read by CodeOfUnaligned, which
 * assembles each word from its bytes (a single load on CPUs that allow misaligned
 * access, byte loads elsewhere), never through a misaligned word pointer.  Lane L of a
 * word is the byte at address kWordBytes*k+L: word loads put the lowest address in bits
 * 0-7 on the handheld's CPU as its system runs it and on every host the tests run on,
 * and the assembled words follow the same order.
 *
 * STATE
 * Nothing is kept between calls and there is no global mutable state, so the functions
 * are reentrant.  (The 32-byte scratch of byte parities belongs to the two-pass method,
 * which survives as the reference in the tests.)
 */
#include "ecc/ecc.h"

#include <stddef.h> /* size_t, for the alignment test only */

/* The small helpers below must disappear into the function that uses them. */
#if defined(__GNUC__)
#define ECC_INLINE   inline __attribute__((__always_inline__))
#define ECC_NOINLINE __attribute__((__noinline__))
#else
#define ECC_INLINE inline
#define ECC_NOINLINE
#endif

// The per-byte table ecc.h declares, for its users; the code below needs only the code of
// the column byte, kCodeOfColumn.  Sixteen entries a row, as the table is read.
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

/* Per column byte (the XOR of all 256 data bytes): the code of a block with that column
 * byte whose odd line parities are all 0.  Bits 16-23: code byte 2 (~CP5..~CP0, 1, 1);
 * bits 0-15: FFFF when the block's parity (the parity of the column byte) is even, AAAA
 * when it is odd, as every even line parity is then 1.  Eight entries a row. */
// clang-format off
const unsigned int kCodeOfColumn[256] = {
    0xFFFFFF, 0xABAAAA, 0xA7AAAA, 0xF3FFFF, 0x9BAAAA, 0xCFFFFF, 0xC3FFFF, 0x97AAAA,
    0x97AAAA, 0xC3FFFF, 0xCFFFFF, 0x9BAAAA, 0xF3FFFF, 0xA7AAAA, 0xABAAAA, 0xFFFFFF,
    0x6BAAAA, 0x3FFFFF, 0x33FFFF, 0x67AAAA, 0x0FFFFF, 0x5BAAAA, 0x57AAAA, 0x03FFFF,
    0x03FFFF, 0x57AAAA, 0x5BAAAA, 0x0FFFFF, 0x67AAAA, 0x33FFFF, 0x3FFFFF, 0x6BAAAA,
    0x67AAAA, 0x33FFFF, 0x3FFFFF, 0x6BAAAA, 0x03FFFF, 0x57AAAA, 0x5BAAAA, 0x0FFFFF,
    0x0FFFFF, 0x5BAAAA, 0x57AAAA, 0x03FFFF, 0x6BAAAA, 0x3FFFFF, 0x33FFFF, 0x67AAAA,
    0xF3FFFF, 0xA7AAAA, 0xABAAAA, 0xFFFFFF, 0x97AAAA, 0xC3FFFF, 0xCFFFFF, 0x9BAAAA,
    0x9BAAAA, 0xCFFFFF, 0xC3FFFF, 0x97AAAA, 0xFFFFFF, 0xABAAAA, 0xA7AAAA, 0xF3FFFF,
    0x5BAAAA, 0x0FFFFF, 0x03FFFF, 0x57AAAA, 0x3FFFFF, 0x6BAAAA, 0x67AAAA, 0x33FFFF,
    0x33FFFF, 0x67AAAA, 0x6BAAAA, 0x3FFFFF, 0x57AAAA, 0x03FFFF, 0x0FFFFF, 0x5BAAAA,
    0xCFFFFF, 0x9BAAAA, 0x97AAAA, 0xC3FFFF, 0xABAAAA, 0xFFFFFF, 0xF3FFFF, 0xA7AAAA,
    0xA7AAAA, 0xF3FFFF, 0xFFFFFF, 0xABAAAA, 0xC3FFFF, 0x97AAAA, 0x9BAAAA, 0xCFFFFF,
    0xC3FFFF, 0x97AAAA, 0x9BAAAA, 0xCFFFFF, 0xA7AAAA, 0xF3FFFF, 0xFFFFFF, 0xABAAAA,
    0xABAAAA, 0xFFFFFF, 0xF3FFFF, 0xA7AAAA, 0xCFFFFF, 0x9BAAAA, 0x97AAAA, 0xC3FFFF,
    0x57AAAA, 0x03FFFF, 0x0FFFFF, 0x5BAAAA, 0x33FFFF, 0x67AAAA, 0x6BAAAA, 0x3FFFFF,
    0x3FFFFF, 0x6BAAAA, 0x67AAAA, 0x33FFFF, 0x5BAAAA, 0x0FFFFF, 0x03FFFF, 0x57AAAA,
    0x57AAAA, 0x03FFFF, 0x0FFFFF, 0x5BAAAA, 0x33FFFF, 0x67AAAA, 0x6BAAAA, 0x3FFFFF,
    0x3FFFFF, 0x6BAAAA, 0x67AAAA, 0x33FFFF, 0x5BAAAA, 0x0FFFFF, 0x03FFFF, 0x57AAAA,
    0xC3FFFF, 0x97AAAA, 0x9BAAAA, 0xCFFFFF, 0xA7AAAA, 0xF3FFFF, 0xFFFFFF, 0xABAAAA,
    0xABAAAA, 0xFFFFFF, 0xF3FFFF, 0xA7AAAA, 0xCFFFFF, 0x9BAAAA, 0x97AAAA, 0xC3FFFF,
    0xCFFFFF, 0x9BAAAA, 0x97AAAA, 0xC3FFFF, 0xABAAAA, 0xFFFFFF, 0xF3FFFF, 0xA7AAAA,
    0xA7AAAA, 0xF3FFFF, 0xFFFFFF, 0xABAAAA, 0xC3FFFF, 0x97AAAA, 0x9BAAAA, 0xCFFFFF,
    0x5BAAAA, 0x0FFFFF, 0x03FFFF, 0x57AAAA, 0x3FFFFF, 0x6BAAAA, 0x67AAAA, 0x33FFFF,
    0x33FFFF, 0x67AAAA, 0x6BAAAA, 0x3FFFFF, 0x57AAAA, 0x03FFFF, 0x0FFFFF, 0x5BAAAA,
    0xF3FFFF, 0xA7AAAA, 0xABAAAA, 0xFFFFFF, 0x97AAAA, 0xC3FFFF, 0xCFFFFF, 0x9BAAAA,
    0x9BAAAA, 0xCFFFFF, 0xC3FFFF, 0x97AAAA, 0xFFFFFF, 0xABAAAA, 0xA7AAAA, 0xF3FFFF,
    0x67AAAA, 0x33FFFF, 0x3FFFFF, 0x6BAAAA, 0x03FFFF, 0x57AAAA, 0x5BAAAA, 0x0FFFFF,
    0x0FFFFF, 0x5BAAAA, 0x57AAAA, 0x03FFFF, 0x6BAAAA, 0x3FFFFF, 0x33FFFF, 0x67AAAA,
    0x6BAAAA, 0x3FFFFF, 0x33FFFF, 0x67AAAA, 0x0FFFFF, 0x5BAAAA, 0x57AAAA, 0x03FFFF,
    0x03FFFF, 0x57AAAA, 0x5BAAAA, 0x0FFFFF, 0x67AAAA, 0x33FFFF, 0x3FFFFF, 0x6BAAAA,
    0xFFFFFF, 0xABAAAA, 0xA7AAAA, 0xF3FFFF, 0x9BAAAA, 0xCFFFFF, 0xC3FFFF, 0x97AAAA,
    0x97AAAA, 0xC3FFFF, 0xCFFFFF, 0x9BAAAA, 0xF3FFFF, 0xA7AAAA, 0xABAAAA, 0xFFFFFF,
};
// clang-format on

/* The word method needs a 32-bit unsigned int (true on the device and on both hosts). */
typedef char EccUnsignedIntIs32Bits[(sizeof(unsigned int) == 4 && (0xFFFFFFFFu + 1u) == 0u) ? 1 : -1];

/* The block is summed in machine words: 4 bytes on the handheld, 8 on a 64-bit host. */
typedef size_t EccWord;
enum { kWordBytes = sizeof(EccWord) };
typedef char EccWordIs4Or8Bytes[(kWordBytes == 4 || kWordBytes == 8) ? 1 : -1];

/* Word i of a block on a word boundary, read through a volatile pointer (step 4
 * above: each word read once, in the order the code names them). */
struct AlignedWords {
  const volatile EccWord* p;
  ECC_INLINE EccWord operator()(int i) const { return p[i]; }
};

/* Word i of a block at any address, assembled from its bytes in the order a word load
 * gives on the little-endian CPUs this code runs on, never by a misaligned word access
 * (compilers for CPUs that allow one turn the byte loads into a single load). */
struct UnalignedWords {
  const unsigned char* p;
  ECC_INLINE EccWord operator()(int i) const {
    const unsigned char* b = p + kWordBytes * i;
    EccWord w = static_cast<EccWord>(b[0]) | (static_cast<EccWord>(b[1]) << 8) |
                (static_cast<EccWord>(b[2]) << 16) | (static_cast<EccWord>(b[3]) << 24);
    if (kWordBytes == 8) {
      const EccWord h = static_cast<EccWord>(b[4]) | (static_cast<EccWord>(b[5]) << 8) |
                        (static_cast<EccWord>(b[6]) << 16) | (static_cast<EccWord>(b[7]) << 24);
      w |= (h << 16) << 16;
    }
    return w;
  }
};

/* Words j..j+3: their XOR s, and the XORs of those whose word index has bit 0 set (v1 v3:
 * odd) and bit 1 set (v2 v3: high).  4 XORs. */
template <class Words>
ECC_INLINE void Quad(const Words& w, int j, EccWord& s, EccWord& odd, EccWord& high) {
  const EccWord v0 = w(j);
  const EccWord v1 = w(j + 1);
  const EccWord v2 = w(j + 2);
  const EccWord v3 = w(j + 3);
  high = v2 ^ v3;
  odd = v1 ^ v3;
  s = (v0 ^ v1) ^ high;
}

/* Group g, the 32 bytes 32g..32g+31 (byte index bits 5-7 = g): returns their XOR, and
 * adds to a2, a3, a4 the XOR of the words whose byte index has bit 2, 3, 4 set.  In
 * 8-byte words the group is one quad, whose word index bits 0 and 1 are byte index
 * bits 3 and 4 (bit 2 lies inside a word and is left to the caller).  In 4-byte words
 * it is two quads: word index bits 0 and 1 are byte index bits 2 and 3, and the second
 * quad is bit 4.  14 XORs for a group of 4-byte words, 6 for one of 8-byte words. */
template <class Words>
ECC_INLINE EccWord Group(const Words& w, int g, EccWord& a2, EccWord& a3, EccWord& a4) {
  EccWord s, odd, high;
  Quad(w, (32 / kWordBytes) * g, s, odd, high);
  if (kWordBytes == 8) {
    a3 ^= odd;
    a4 ^= high;
    return s;
  }
  EccWord s2, odd2, high2;
  Quad(w, 8 * g + 4, s2, odd2, high2);
  a2 ^= odd ^ odd2;
  a3 ^= high ^ high2;
  a4 ^= s2;
  return s ^ s2;
}

/* The high half of an 8-byte word (0 for a 4-byte word), and a word folded to 32 bits
 * with the same parity (an 8-byte word's halves XORed; a 4-byte word as it is). */
ECC_INLINE unsigned int High32(EccWord x) { return static_cast<unsigned int>((x >> 16) >> 16); }
ECC_INLINE unsigned int Fold32(EccWord x) { return static_cast<unsigned int>(x) ^ High32(x); }

/* x folded to 16 bits in bits 16-31, y folded to 16 bits in bits 0-15: the two halves
 * have the parities of x and y. */
ECC_INLINE unsigned int Pair16(unsigned int x, unsigned int y) {
  return ((x ^ (x >> 16)) << 16) | ((y ^ (y << 16)) >> 16);
}

/* The 16-bit halves of c folded into bytes 0 (low half) and 2 (high half), those of d
 * into bytes 1 and 3: each byte has the parity of its half.  m = 0x00FF00FF. */
ECC_INLINE unsigned int Merge8(unsigned int c, unsigned int d, unsigned int m) {
  const unsigned int cf = c ^ (c >> 8);
  const unsigned int df = d ^ (d << 8);
  return ((cf ^ df) & m) ^ df;
}

/* The 3 code bytes of the block: byte 0 in bits 0-7, byte 1 in 8-15, byte 2 in 16-23,
 * bits 24-31 zero.  The steps are those of HOW IT IS COMPUTED above. */
template <class Words>
ECC_INLINE unsigned int Code(const Words& w) {
  /* Step 1: the group sums s0..s7 and a2..a4; then t (all groups) and a5, a6, a7 (the
   * groups whose number has bit 0, 1, 2 set) as a tree over the pairs and quads of
   * groups: 11 XORs. */
  EccWord a2 = 0, a3 = 0, a4 = 0;
  const EccWord s0 = Group(w, 0, a2, a3, a4);
  const EccWord s1 = Group(w, 1, a2, a3, a4);
  const EccWord x01 = s0 ^ s1;
  const EccWord s2 = Group(w, 2, a2, a3, a4);
  const EccWord s3 = Group(w, 3, a2, a3, a4);
  const EccWord x23 = s2 ^ s3;
  EccWord a5 = s1 ^ s3;
  const EccWord q0 = x01 ^ x23;
  const EccWord s4 = Group(w, 4, a2, a3, a4);
  const EccWord s5 = Group(w, 5, a2, a3, a4);
  const EccWord x45 = s4 ^ s5;
  const EccWord s6 = Group(w, 6, a2, a3, a4);
  const EccWord s7 = Group(w, 7, a2, a3, a4);
  const EccWord x67 = s6 ^ s7;
  a5 ^= s5 ^ s7;
  const EccWord a6 = x23 ^ x67;
  const EccWord a7 = x45 ^ x67;
  const EccWord t = q0 ^ a7;

  /* In 8-byte words, the high half of t holds the bytes whose index has bit 2 set (a2),
   * and t's two halves together the four lanes of a 4-byte word's t. */
  unsigned int t32 = static_cast<unsigned int>(t), b2 = static_cast<unsigned int>(a2);
  if (kWordBytes == 8) {
    b2 = High32(t);
    t32 ^= b2;
  }
  const unsigned int b3 = Fold32(a3), b4 = Fold32(a4), b5 = Fold32(a5), b6 = Fold32(a6), b7 = Fold32(a7);

  /* Step 2.  Byte lanes of t: L0..L3 in bits 0-7 .. 24-31.  t16 = L0^L2 | (L1^L3) << 8 |
   * L2 << 16 | L3 << 24; without its byte 0 its halves have the parities LP01 (low half)
   * and LP03 (high half). */
  const unsigned int t16 = t32 ^ (t32 >> 16);
  const unsigned int q01 = t16 & ~0xFFu;
  /* Eight values, one parity each, folded and merged: into 16-bit halves, then bytes,
   * then nibbles.  Nibbles 0-7 of g: LP01 LP05 LP09 LP13 LP03 LP07 LP11 LP15. */
  const unsigned int q23 = Pair16(b3, b2);
  const unsigned int q45 = Pair16(b5, b4);
  const unsigned int q67 = Pair16(b7, b6);
  const unsigned int m8 = 0x00FF00FFu;
  const unsigned int e = Merge8(q01, q45, m8);
  const unsigned int f = Merge8(q23, q67, m8);
  const unsigned int ef = e ^ (e >> 4);
  const unsigned int ff = f ^ (f << 4);
  unsigned int g = ((ef ^ ff) & 0x0F0F0F0Fu) ^ ff;
  /* Each nibble's parity into its bit 3; nibbles 0-3 moved up beside 4-7: LP01, LP03,
   * ..., LP15 at bits 17, 19, ..., 31, each copied into the even bit below it. */
  g ^= g << 2;
  g ^= g << 1;
  const unsigned int h = g & (0x11111111u << 3);
  unsigned int x = h | (h << 14);
  x |= x >> 1;
  /* Step 3: the column byte's code, and the odd line parities (each even one is the
   * block's parity XOR its odd partner: the table entry brings that in). */
  return kCodeOfColumn[(t16 ^ (t16 >> 8)) & 0xFFu] ^ (x >> 16);
}

/* A block off a word boundary: the same code from words assembled byte by byte (its own
 * function, so that the aligned path stays word loads only). */
ECC_NOINLINE unsigned int CodeOfUnaligned(const unsigned char* pBlock) {
  UnalignedWords w;
  w.p = pBlock;
  return Code(w);
}

ECC_INLINE unsigned int ComputeCode(const unsigned char* pBlock) {
  if ((static_cast<unsigned int>(reinterpret_cast<size_t>(pBlock)) & (kWordBytes - 1u)) == 0) {
    AlignedWords w;
    w.p = reinterpret_cast<const volatile EccWord*>(pBlock);
    return Code(w);
  }
  return CodeOfUnaligned(pBlock);
}

}  // namespace

void EccGenerate(const unsigned char* pBlock, unsigned char* pCode) {
  const unsigned int code = ComputeCode(pBlock);
  pCode[0] = static_cast<unsigned char>(code & 0xFFu);
  pCode[1] = static_cast<unsigned char>((code >> 8) & 0xFFu);
  pCode[2] = static_cast<unsigned char>((code >> 16) & 0xFFu);
}

void EccCompute(const unsigned char* pBlock, unsigned char* pCode) { EccGenerate(pBlock, pCode); }

int EccCorrect(unsigned char* pBlock, const unsigned char* pStored) {
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
