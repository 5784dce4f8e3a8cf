// The "key = value" text of nand.cfg and the scenario files: which lines are
// keys, sections, comments or mistakes, and the numbers in them.
#include <gtest/gtest.h>

#include "sim/keyval.h"

namespace {

using sim::KeyValueLine;

TEST(KeyValueLines, KeysSectionsAndCommentsWithTheirLineNumbers) {
  const std::string text =
      "# a comment line\n"
      "\n"
      "  maker = 0x98   # the maker\n"
      "[first run]\n"
      "message = \"Done! # not a comment \" # a comment\n"
      "path = a#b\n"
      "empty =\n"
      "escaped = \"one\\nline \\\"quoted\\\" \\\\\"\n"
      "\tlast=  x y  \r\n";
  std::vector<KeyValueLine> lines = sim::SplitKeyValueLines(text);
  ASSERT_EQ(7u, lines.size());
  EXPECT_EQ(KeyValueLine::kKeyValue, lines[0].kind);
  EXPECT_EQ(3, lines[0].number);
  EXPECT_EQ("maker", lines[0].key);
  EXPECT_EQ("0x98", lines[0].value);
  EXPECT_EQ(KeyValueLine::kSection, lines[1].kind);
  EXPECT_EQ("first run", lines[1].key);
  EXPECT_EQ("Done! # not a comment ", lines[2].value) << "quotes keep blanks and '#'";
  EXPECT_EQ("a#b", lines[3].value) << "a '#' inside a word is no comment";
  EXPECT_EQ("", lines[4].value);
  EXPECT_EQ("empty", lines[4].key);
  EXPECT_EQ("one\nline \"quoted\" \\", lines[5].value);
  EXPECT_EQ("last", lines[6].key);
  EXPECT_EQ("x y", lines[6].value);
  EXPECT_EQ(9, lines[6].number);
}

TEST(KeyValueLines, MistakesSayWhatIsWrong) {
  const struct {
    const char* text;
    const char* problem;
  } cases[] = {
      {"just words\n", "expected key = value"},
      {"= 5\n", "expected key = value"},
      {"[open\n", "a section name ends with ']'"},
      {"[ ]\n", "empty section name"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    std::vector<KeyValueLine> lines = sim::SplitKeyValueLines(c.text);
    ASSERT_EQ(1u, lines.size());
    EXPECT_EQ(KeyValueLine::kMalformed, lines[0].kind);
    EXPECT_EQ(c.problem, lines[0].problem);
    EXPECT_EQ(1, lines[0].number);
  }
}

TEST(KeyValueLines, AValueIsWrittenSoThatItReadsBack) {
  const struct {
    const char* value;
    const char* line;
  } cases[] = {
      {"plain words", "k = plain words"},
      {"a#b", "k = a#b"},
      {"", "k = "},
      {"a #b", "k = \"a #b\""},
      {"#b", "k = \"#b\""},
      {" blanks ", "k = \" blanks \""},
      {"\"quoted\"", "k = \"\\\"quoted\\\"\""},
      {"two\nlines\r", "k = \"two\\nlines\\r\""},
      {"back\\ #", "k = \"back\\\\ #\""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.value);
    const std::string line = sim::FormatKeyValue("k", c.value);
    EXPECT_EQ(c.line, line);
    std::vector<KeyValueLine> lines = sim::SplitKeyValueLines(line);
    ASSERT_EQ(1u, lines.size());
    EXPECT_EQ(KeyValueLine::kKeyValue, lines[0].kind);
    EXPECT_EQ("k", lines[0].key);
    EXPECT_EQ(c.value, lines[0].value);
  }
}

TEST(Numbers, DecimalOrHexTheWholeTextNothingElse) {
  const struct {
    const char* text;
    bool ok;
    uint64_t value;
  } cases[] = {
      {"0", true, 0},
      {"010", true, 10},  // never octal
      {"0x10", true, 16},
      {"0XfF", true, 255},
      {"18446744073709551615", true, UINT64_MAX},
      {"0xFFFFFFFFFFFFFFFF", true, UINT64_MAX},
      {"18446744073709551616", false, 0},
      {"0x10000000000000000", false, 0},
      {"", false, 0},
      {"0x", false, 0},
      {"-1", false, 0},
      {"+1", false, 0},
      {" 1", false, 0},
      {"1 ", false, 0},
      {"12x", false, 0},
      {"0x0x5", false, 0},
      {"1e3", false, 0},
      {"1.5", false, 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    uint64_t v = 77;
    EXPECT_EQ(c.ok, sim::ParseNumber(c.text, &v));
    EXPECT_EQ(c.ok ? c.value : 77u, v) << "a refused number leaves the value alone";
  }
  uint32_t small = 0;
  EXPECT_TRUE(sim::ParseNumber("0xFFFFFFFF", &small));
  EXPECT_EQ(0xFFFFFFFFu, small);
  EXPECT_FALSE(sim::ParseNumber("4294967296", &small));
}

}  // namespace
