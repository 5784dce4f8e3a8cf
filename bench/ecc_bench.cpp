// Throughput of the block code on 256-byte blocks: the two-pass table method the shipped
// code replaces (baseline), the shipped generator, and the checker on a clean block and
// on a block with one flipped data bit.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <random>

#include "ecc/ecc.h"
#include "ecc_reference.h"

namespace {

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

void BM_EccGenerate(benchmark::State& state) {
  Block block;
  std::uint8_t code[3];
  for (auto _ : state) {
    benchmark::DoNotOptimize(block.data);
    EccGenerate(block.data, code);
    benchmark::DoNotOptimize(code);
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * 256);
}
BENCHMARK(BM_EccGenerate);

// The block sits one byte past a word boundary, as a block inside a packed buffer can.
void BM_EccGenerateUnaligned(benchmark::State& state) {
  Block block;
  alignas(8) std::uint8_t buffer[256 + 1];
  for (int i = 0; i < 256; ++i) buffer[1 + i] = block.data[i];
  std::uint8_t code[3];
  for (auto _ : state) {
    benchmark::DoNotOptimize(buffer);
    EccGenerate(buffer + 1, code);
    benchmark::DoNotOptimize(code);
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * 256);
}
BENCHMARK(BM_EccGenerateUnaligned);

void BM_EccCorrectClean(benchmark::State& state) {
  Block block;
  for (auto _ : state) {
    benchmark::DoNotOptimize(block.data);
    int result = EccCorrect(block.data, block.code);
    benchmark::DoNotOptimize(result);
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * 256);
}
BENCHMARK(BM_EccCorrectClean);

void BM_EccCorrectOneBit(benchmark::State& state) {
  Block block;
  unsigned position = 0;  // walks over the 2048 data bits
  for (auto _ : state) {
    // EccCorrect flips the bit back, so each iteration starts from a block with exactly
    // one wrong bit.
    block.data[position >> 3] ^= static_cast<std::uint8_t>(1u << (position & 7u));
    int result = EccCorrect(block.data, block.code);
    benchmark::DoNotOptimize(result);
    position = (position + 997u) & 2047u;
  }
  if (EccCorrect(block.data, block.code) != ECC_NO_ERROR) state.SkipWithError("block left corrupted");
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * 256);
}
BENCHMARK(BM_EccCorrectOneBit);

}  // namespace

BENCHMARK_MAIN();
