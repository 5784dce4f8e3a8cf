// Instruction-count harness for the block code on the handheld's instruction set.
//
// Built for ARMv4 and run under qemu-arm by scripts/ecc-insn-count.sh, which counts the
// executed instructions.  One run performs ONE operation N times:
//
//   ecc_insn_count OP N
//
//   generate        EccGenerate over a clean block
//   correct-clean   EccCorrect of a clean block against its stored code
//   correct-onebit  EccCorrect of a block with one flipped data bit (repaired each time)
//   reference       the two-pass table method of the tests (eccref::Compute)
//   none            the loop alone: same copy, same call through the same pointer, to a
//                   function that does nothing
//
// Every operation runs in the same loop: each iteration copies a prepared 256-byte block
// into the work buffer (the block with one flipped bit for correct-onebit, since the
// repair undoes the flip; the clean block for the others), then calls the operation
// through a function pointer picked at start-up and adds its result to an accumulator.
// The set-up before the loop is the same for every operation, and the check after it
// takes the same path for N = 0 and N = K of one operation, so the count of OP at K minus
// its count at 0, per iteration, minus the same figure of `none`, is the cost of one call
// of the operation on one 256-byte block: the function itself, its call and return, and
// the few instructions of the wrapper below that fold its result (net 10 for generate
// with gcc 12 -O2, a similar handful for reference, which is inlined into its wrapper;
// the correct wrapper is a single branch, one instruction less than the empty function
// of `none`).
//
// The work cannot be optimised away: the operation is called through a pointer the
// compiler cannot see through, the copy is followed by a compiler barrier, and the
// accumulated results end in a volatile sink.  The results are also checked: the
// program fails (exit status 1) if the shipped code and the reference disagree on the
// prepared blocks or a repair does not give back the clean block.
#include <cstdint>
#include <cstdio>
#include <cstring>

#include "ecc/ecc.h"
#include "ecc_reference.h"

namespace {

constexpr unsigned kBlocks = 16;  // prepared blocks, used in turn (power of two)
constexpr unsigned kBlockSize = 256;

struct Prepared {
  alignas(8) std::uint8_t clean[kBlocks][kBlockSize];
  alignas(8) std::uint8_t flipped[kBlocks][kBlockSize];  // one data bit flipped
  std::uint8_t code[kBlocks][4];                         // stored code of the clean block
};

Prepared g_prepared;
alignas(8) std::uint8_t g_work[kBlockSize];  // the block an operation works on
volatile std::uint32_t g_sink;

// Fixed pseudo-random data (xorshift32): the same blocks in every run.
void Prepare() {
  std::uint32_t x = 20240611u;
  for (unsigned b = 0; b < kBlocks; ++b) {
    for (unsigned i = 0; i < kBlockSize; ++i) {
      x ^= x << 13;
      x ^= x >> 17;
      x ^= x << 5;
      g_prepared.clean[b][i] = static_cast<std::uint8_t>(x >> 24);
    }
    EccGenerate(g_prepared.clean[b], g_prepared.code[b]);
    g_prepared.code[b][3] = 0;
    std::memcpy(g_prepared.flipped[b], g_prepared.clean[b], kBlockSize);
    const unsigned position = (b * 997u + 5u) & 2047u;  // spread over the 2048 data bits
    g_prepared.flipped[b][position >> 3] ^= static_cast<std::uint8_t>(1u << (position & 7u));
  }
}

// The shipped code against the reference, and one repair per prepared block.
bool SelfCheck() {
  for (unsigned b = 0; b < kBlocks; ++b) {
    std::uint8_t ref[3];
    eccref::Compute(g_prepared.clean[b], ref);
    if (std::memcmp(ref, g_prepared.code[b], 3) != 0) {
      std::fprintf(stderr, "block %u: generated code differs from the reference\n", b);
      return false;
    }
    std::memcpy(g_work, g_prepared.flipped[b], kBlockSize);
    if (EccCorrect(g_work, g_prepared.code[b]) != ECC_CORRECTED ||
        std::memcmp(g_work, g_prepared.clean[b], kBlockSize) != 0) {
      std::fprintf(stderr, "block %u: one flipped bit not repaired\n", b);
      return false;
    }
    if (EccCorrect(g_prepared.clean[b], g_prepared.code[b]) != ECC_NO_ERROR) {
      std::fprintf(stderr, "block %u: clean block not recognised\n", b);
      return false;
    }
  }
  return true;
}

// Keeps the copy into g_work: after it, the compiler must assume the buffer is read.
inline void Barrier(const void* p) {
#if defined(__GNUC__)
  __asm__ __volatile__("" : : "r"(p) : "memory");
#else
  (void)p;
#endif
}

// The compiler forgets what it knows about the value of v.
inline void Opaque(std::uint32_t& v) {
#if defined(__GNUC__)
  __asm__ __volatile__("" : "+r"(v));
#else
  (void)v;
#endif
}

#if defined(__GNUC__)
#define INSN_NOINLINE __attribute__((noinline))
#else
#define INSN_NOINLINE
#endif

typedef std::uint32_t (*Op)(std::uint8_t* block, const std::uint8_t* stored);

INSN_NOINLINE std::uint32_t OpNone(std::uint8_t*, const std::uint8_t*) { return 0; }

INSN_NOINLINE std::uint32_t OpGenerate(std::uint8_t* block, const std::uint8_t*) {
  std::uint8_t code[3];
  EccGenerate(block, code);
  return code[0] | (code[1] << 8) | (code[2] << 16);
}

INSN_NOINLINE std::uint32_t OpCorrect(std::uint8_t* block, const std::uint8_t* stored) {
  return static_cast<std::uint32_t>(EccCorrect(block, stored));
}

INSN_NOINLINE std::uint32_t OpReference(std::uint8_t* block, const std::uint8_t*) {
  std::uint8_t code[3];
  eccref::Compute(block, code);
  return code[0] | (code[1] << 8) | (code[2] << 16);
}

struct OpEntry {
  const char* name;
  Op op;
  bool flipped;  // works on the block with one flipped bit
};

const OpEntry kOps[] = {
    {"none", OpNone, false},
    {"generate", OpGenerate, false},
    {"correct-clean", OpCorrect, false},
    {"correct-onebit", OpCorrect, true},
    {"reference", OpReference, false},
};

// Decimal digits only.  The cost depends on the number of digits alone, not on their
// values, so "000" and "256" take the same instructions: the script passes N = 0
// zero-padded to the width of K, and the parsing cancels in the difference.
bool ParseCount(const char* text, unsigned long& n) {
  if (*text == '\0') return false;
  unsigned long value = 0;
  for (const char* p = text; *p != '\0'; ++p) {
    const unsigned digit = static_cast<unsigned>(*p - '0');
    if (digit > 9) return false;
    value = value * 10 + digit;
  }
  n = value;
  return true;
}

void Usage() {
  std::fprintf(stderr, "usage: ecc_insn_count OP N\n  OP: ");
  for (const OpEntry& e : kOps) std::fprintf(stderr, "%s ", e.name);
  std::fprintf(stderr, "\n  N: number of calls (0 measures the set-up alone)\n");
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 3) {
    Usage();
    return 2;
  }
  const OpEntry* entry = nullptr;
  for (const OpEntry& e : kOps) {
    if (std::strcmp(argv[1], e.name) == 0) entry = &e;
  }
  unsigned long n = 0;
  if (!ParseCount(argv[2], n) || entry == nullptr) {
    Usage();
    return 2;
  }

  // Set-up: identical for every operation.
  Prepare();
  if (!SelfCheck()) return 1;
  const Op op = entry->op;
  const std::uint8_t(*const source)[kBlockSize] = entry->flipped ? g_prepared.flipped : g_prepared.clean;

  // The measured loop.
  std::uint32_t acc = 0;
  for (unsigned long i = 0; i < n; ++i) {
    const unsigned b = static_cast<unsigned>(i) & (kBlocks - 1);
    std::memcpy(g_work, source[b], kBlockSize);
    Barrier(g_work);
    acc += op(g_work, g_prepared.code[b]);
  }
  // Hides from the compiler that acc is 0 when the loop did not run, so that it does
  // not give N = 0 a shorter path of its own through the check below.
  Opaque(acc);

  // After the loop: correct-onebit must have repaired every block (ECC_CORRECTED = 1
  // each), correct-clean found nothing.  The same instructions for N = 0 and N = K of one
  // operation, so they cancel in the count.
  g_sink = acc;
  const std::uint32_t expect = entry->op != OpCorrect ? acc : entry->flipped ? static_cast<std::uint32_t>(n) : 0u;
  if (acc != expect) {
    std::fprintf(stderr, "%s: unexpected results (sum %lu, expected %lu)\n", entry->name,
                 static_cast<unsigned long>(acc), static_cast<unsigned long>(expect));
    return 1;
  }
  return 0;
}
