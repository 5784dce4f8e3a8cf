// The page ECC as it was before the instruction-count work (the quad-of-words method),
// kept only so that bench/ecc_bench.cpp can measure it beside the shipped one in the
// same run.  Same codes, same results; see bench/ecc_previous.cpp.
#ifndef BENCH_ECC_PREVIOUS_H
#define BENCH_ECC_PREVIOUS_H

namespace ecc_previous {

// As EccGenerate and EccCorrect of ecc/ecc.h (results: the ECC_* values declared there).
void Generate(const unsigned char* pBlock, unsigned char* pCode);
int Correct(unsigned char* pBlock, const unsigned char* pStored);

}  // namespace ecc_previous

#endif  // BENCH_ECC_PREVIOUS_H
