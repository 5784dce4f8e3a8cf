// The text of the device's settings files: "key = value" lines, and the
// numbers in them. nand.cfg and the campaign's scenario files are both read
// through here, so a line means the same in either.
//
//   key = value        blanks around key and value are dropped
//   key = "a # b "     a value in double quotes keeps its blanks and '#';
//                      \n, \r, \" and \\ inside it stand for themselves
//   # comment          '#' at the start of a line or after a blank (outside
//                      quotes) starts a comment, so "fault = 3#4" keeps its '#'
//   [name]             a section (scenario files; nand.cfg has none)
//
// Numbers are decimal or 0x-prefixed hexadecimal, the whole text and nothing
// else: no sign, no blanks, no octal ("010" is ten), no overflow.
#ifndef SIM_KEYVAL_H
#define SIM_KEYVAL_H

#include <cstdint>
#include <string>
#include <vector>

namespace sim {

struct KeyValueLine {
  enum Kind { kKeyValue, kSection, kMalformed };
  Kind kind = kMalformed;
  int number = 0;       // line number, from 1
  std::string key;      // kKeyValue: the key; kSection: the section's name
  std::string value;    // kKeyValue: the value, unquoted
  std::string problem;  // kMalformed: what is wrong with the line
};

// Every line that is neither blank nor only a comment, in order.
std::vector<KeyValueLine> SplitKeyValueLines(const std::string& text);

std::string TrimBlanks(const std::string& s);

// The line "key = value" that reads back as this key and value: the value as
// it is where it does, else in double quotes with '\', '"', line feeds and
// carriage returns escaped (a value with blanks around it, a '#' after a
// blank, quotes at both ends or a line feed).
std::string FormatKeyValue(const std::string& key, const std::string& value);

bool ParseNumber(const std::string& text, uint64_t* out);
bool ParseNumber(const std::string& text, uint32_t* out);  // and no more than 32 bits

// The candidate nearest to `key` by edit distance (the first of equals), for
// a message about a typo'd key; the distance in *distance when asked.
std::string NearestKey(const std::string& key, const std::vector<std::string>& candidates,
                       size_t* distance = nullptr);

}  // namespace sim

#endif
