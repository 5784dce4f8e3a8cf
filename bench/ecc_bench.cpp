// Throughput of the block code on 256-byte blocks, in one run: the two-pass table method
// (the tests' reference), the previous shipped method (bench/ecc_previous.cpp) and the
// shipped one, each generating a code (aligned block and a block one byte off a word
// boundary) and checking a clean block and a block with one flipped data bit.  The
// previous and the shipped method are measured side by side, case by case.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <random>

#include "ecc/ecc.h"
#include "ecc_previous.h"
#include "ecc_reference.h"

namespace {

typedef void (*GenerateFn)(const unsigned char* pBlock, unsigned char* pCode);
typedef int (*CorrectFn)(unsigned char* pBlock, const unsigned char* pStored);

struct Block {
  alignas(8) std::uint8_t data[256];
  std::uint8_t code[3];

  Block() {
    std::mt19937 rng(20240611u);
    for (auto& b : data) b = static_cast<std::uint8_t>(rng());
    EccGenerate(data, code);
  }
};

void BM_EccReference(benchmark::State& state) {
  Block block;
  std::uint8_t code[3];
  for (auto _ : state) {
    benchmark::DoNotOptimize(block.data);
    eccref::Compute(block.data, code);
    benchmark::DoNotOptimize(code);
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * 256);
}
BENCHMARK(BM_EccReference);

template <GenerateFn Generate>
void BM_Generate(benchmark::State& state) {
  Block block;
  std::uint8_t code[3];
  for (auto _ : state) {
    benchmark::DoNotOptimize(block.data);
    Generate(block.data, code);
    benchmark::DoNotOptimize(code);
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * 256);
}
BENCHMARK_TEMPLATE(BM_Generate, ecc_previous::Generate);
BENCHMARK_TEMPLATE(BM_Generate, EccGenerate);

// The block sits one byte past a word boundary, as a block inside a packed buffer can.
template <GenerateFn Generate>
void BM_GenerateUnaligned(benchmark::State& state) {
  Block block;
  alignas(8) std::uint8_t buffer[256 + 1];
  for (int i = 0; i < 256; ++i) buffer[1 + i] = block.data[i];
  std::uint8_t code[3];
  for (auto _ : state) {
    benchmark::DoNotOptimize(buffer);
    Generate(buffer + 1, code);
    benchmark::DoNotOptimize(code);
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * 256);
}
BENCHMARK_TEMPLATE(BM_GenerateUnaligned, ecc_previous::Generate);
BENCHMARK_TEMPLATE(BM_GenerateUnaligned, EccGenerate);

template <CorrectFn Correct>
void BM_CorrectClean(benchmark::State& state) {
  Block block;
  for (auto _ : state) {
    benchmark::DoNotOptimize(block.data);
    int result = Correct(block.data, block.code);
    benchmark::DoNotOptimize(result);
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * 256);
}
BENCHMARK_TEMPLATE(BM_CorrectClean, ecc_previous::Correct);
BENCHMARK_TEMPLATE(BM_CorrectClean, EccCorrect);

template <CorrectFn Correct>
void BM_CorrectOneBit(benchmark::State& state) {
  Block block;
  unsigned position = 0;  // walks over the 2048 data bits
  for (auto _ : state) {
    // The checker flips the bit back, so each iteration starts from a block with exactly
    // one wrong bit.
    block.data[position >> 3] ^= static_cast<std::uint8_t>(1u << (position & 7u));
    int result = Correct(block.data, block.code);
    benchmark::DoNotOptimize(result);
    position = (position + 997u) & 2047u;
  }
  if (Correct(block.data, block.code) != ECC_NO_ERROR) state.SkipWithError("block left corrupted");
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * 256);
}
BENCHMARK_TEMPLATE(BM_CorrectOneBit, ecc_previous::Correct);
BENCHMARK_TEMPLATE(BM_CorrectOneBit, EccCorrect);

}  // namespace

BENCHMARK_MAIN();
