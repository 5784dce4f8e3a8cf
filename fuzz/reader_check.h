// What a fuzz target over a reader asserts beyond "no crash": a broken
// expectation prints what was expected, where and the detail given, then
// aborts, which libFuzzer reports as a finding (with the input that shows it).
#ifndef FUZZ_READER_CHECK_H
#define FUZZ_READER_CHECK_H

#include <stdio.h>
#include <stdlib.h>

#include <string>

#define READER_CHECK(cond, detail)                                                                \
  do {                                                                                            \
    if (!(cond)) {                                                                                \
      const std::string readerCheckDetail = (detail);                                             \
      fprintf(stderr, "==== reader finding: %s:%d: expected %s\n%s\n", __FILE__, __LINE__, #cond, \
              readerCheckDetail.c_str());                                                         \
      abort();                                                                                    \
    }                                                                                             \
  } while (0)

#endif
