// What a fuzz target over a reader asserts beyond "no crash": a broken
// expectation prints what was expected, where and the detail given, then
// aborts, which libFuzzer reports as a finding (with the input that shows it).
#ifndef FUZZ_READER_CHECK_H
#define FUZZ_READER_CHECK_H

#include <stdio.h>
#include <stdlib.h>

#include <algorithm>
#include <exception>
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

namespace readerfuzz {

inline size_t LineCount(const std::string& text) { return size_t(std::count(text.begin(), text.end(), '\n')) + 1; }

// A reader's refusal of a file's text names the file and a line of it:
// "FILE:LINE: what".
inline void CheckRefusalNamesALine(const std::string& file, const std::string& text, const std::string& error) {
  const std::string prefix = file + ":";
  READER_CHECK(error.compare(0, prefix.size(), prefix) == 0, "error: " + error);
  size_t end = 0;
  unsigned long line = 0;
  try {
    line = std::stoul(error.substr(prefix.size()), &end);
  } catch (const std::exception&) {
    READER_CHECK(false, "no line number in the error: " + error);
  }
  READER_CHECK(line >= 1 && line <= LineCount(text), "error: " + error);
  READER_CHECK(error.size() > prefix.size() + end + 2 && error.compare(prefix.size() + end, 2, ": ") == 0,
               "error: " + error);
}

}  // namespace readerfuzz

#endif
