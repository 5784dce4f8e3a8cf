/*
 * ecc.h - single-bit-correcting Hamming code for 256-byte flash blocks.
 *
 * Every 256-byte block of a flash page carries 3 code bytes in the page's spare area.
 * The code corrects any single flipped data bit, recognises a single flipped code bit,
 * and detects (without repairing) every double data-bit error.  The byte and bit layout
 * is shared with other software that reads the same flash, so it is fixed to the bit;
 * see ecc.cpp for the layout.
 *
 * The block may sit at any address (no alignment requirement).  The functions keep no
 * state between calls; they may be called from several contexts at once.
 *
 * Device code: C++98, no exceptions, no RTTI, no OS headers.
 */
#ifndef ECC_ECC_H
#define ECC_ECC_H

enum {
  ECC_BLOCK_SIZE = 256, /* data bytes protected by one code */
  ECC_CODE_SIZE = 3     /* code bytes per block */
};

/* Results of EccCorrect. */
enum {
  ECC_NO_ERROR = 0,     /* stored and computed codes agree */
  ECC_CORRECTED = 1,    /* one data bit was wrong and has been flipped back */
  ECC_CODE_ERROR = 2,   /* one bit of the stored code is wrong; the data is good */
  ECC_UNCORRECTABLE = 3 /* more than one bit is wrong; the block was left unchanged */
};

/*
 * Per-byte-value table: bits 0-5 are the six column parities CP0..CP5 of the byte value
 * alone (CP0: bits 0,2,4,6; CP1: 1,3,5,7; CP2: 0,1,4,5; CP3: 2,3,6,7; CP4: 0-3; CP5: 4-7),
 * bit 6 is 0 and bit 7 is the parity of the whole byte.
 */
extern const unsigned char EccParityTable[256];

/* Computes the 3 code bytes of the 256-byte block pBlock into pCode[0..2]. */
void EccCompute(const unsigned char* pBlock, unsigned char* pCode);

/* Produces the code to be stored with pBlock: writes exactly pCode[0], pCode[1], pCode[2]. */
void EccGenerate(const unsigned char* pBlock, unsigned char* pCode);

/*
 * Checks the 256-byte block pBlock against its stored code pStored[0..2] and repairs a
 * single flipped data bit in place.  Returns one of the ECC_* results above; at most one
 * bit of the block is changed, and only when ECC_CORRECTED is returned.
 */
int EccCorrect(unsigned char* pBlock, const unsigned char* pStored);

#endif /* ECC_ECC_H */
