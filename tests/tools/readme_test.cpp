// The README's tool table against the tool itself: every subcommand that
// devsim --help lists has one row, and a row names exactly the options that
// the subcommand's own help names, so neither can change without the other.
#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <regex>
#include <set>
#include <sstream>

#include "sim/fault_kinds.h"
#include "tests/tools/tool_test_support.h"

namespace tooltest {
namespace {

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> out;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) out.push_back(line);
  return out;
}

// Option names as they stand in a text: "--chip", "-o"; a dash inside a word
// ("read-fail", "0-7") is none.
std::set<std::string> Options(const std::string& text) {
  static const std::regex kOption(R"((?:^|[\s\[(`|])(--?[A-Za-z][A-Za-z0-9-]*))");
  std::set<std::string> out;
  for (std::sregex_iterator it(text.begin(), text.end(), kOption), end; it != end; ++it) out.insert((*it)[1]);
  return out;
}

std::string Join(const std::set<std::string>& names) {
  std::string out;
  for (const std::string& n : names) out += (out.empty() ? "" : " ") + n;
  return out.empty() ? "(none)" : out;
}

// The subcommands in the order devsim --help lists them.
std::vector<std::string> ToolCommands() {
  ToolRun r = Devsim({"--help"});
  EXPECT_EQ(0, r.exit) << r.All();
  std::vector<std::string> out;
  bool inList = false;
  for (const std::string& line : Lines(r.out)) {
    if (line == "commands:") {
      inList = true;
    } else if (inList && line.empty()) {
      break;
    } else if (inList) {
      std::istringstream words(line);
      std::string name;
      words >> name;
      out.push_back(name);
    }
  }
  EXPECT_FALSE(out.empty()) << "no command list in devsim --help\n" << r.out;
  return out;
}

// The rows of the tool table ("| `./devsim NAME ...` | ... |"), by NAME. The
// table must be one: its rows follow its header with no other line between.
std::multimap<std::string, std::string> ToolTableRows(const std::string& readme) {
  const std::vector<std::string> lines = Lines(readme);
  size_t header = 0;
  while (header < lines.size() && lines[header] != "| command | what it does |") ++header;
  EXPECT_LT(header + 1, lines.size()) << "README.md has no tool table (\"| command | what it does |\")";
  std::multimap<std::string, std::string> rows;
  static const std::regex kRow(R"(^\| `\./devsim ([a-z]+)[ `])");
  size_t end = header + 2;  // after the header and its rule
  while (end < lines.size() && !lines[end].empty() && lines[end][0] == '|') ++end;
  for (size_t i = 0; i < lines.size(); ++i) {
    std::smatch m;
    if (!std::regex_search(lines[i], m, kRow)) continue;
    EXPECT_TRUE(i > header + 1 && i < end)
        << "README.md line " << i + 1 << " is a tool row outside the table (a blank line splits it?): " << lines[i];
    rows.emplace(m[1], lines[i]);
  }
  return rows;
}

TEST(DevsimReadme, ToolTableHasOneRowPerCommandWithExactlyItsHelpsOptions) {
  const std::string readme = ReadText(KESTREL_README);
  ASSERT_FALSE(readme.empty()) << "cannot read " << KESTREL_README;
  const std::multimap<std::string, std::string> rows = ToolTableRows(readme);
  const std::vector<std::string> commands = ToolCommands();

  for (const std::string& name : commands) {
    SCOPED_TRACE(name);
    ASSERT_EQ(1u, rows.count(name)) << "README rows for devsim " << name;
    const std::string row = rows.find(name)->second;
    ToolRun help = Devsim({"help", name});
    ASSERT_EQ(0, help.exit) << help.All();
    const std::set<std::string> inHelp = Options(help.out), inRow = Options(row);
    EXPECT_FALSE(inHelp.empty()) << help.out;
    std::set<std::string> missing, extra;
    for (const std::string& o : inHelp)
      if (!inRow.count(o)) missing.insert(o);
    for (const std::string& o : inRow)
      if (!inHelp.count(o)) extra.insert(o);
    EXPECT_TRUE(missing.empty()) << "in devsim help " << name << " but not its README row: " << Join(missing) << "\n"
                                 << row;
    EXPECT_TRUE(extra.empty()) << "in the README row but not devsim help " << name << ": " << Join(extra) << "\n"
                               << row;
  }
  for (const auto& [name, row] : rows)
    EXPECT_NE(commands.end(), std::find(commands.begin(), commands.end(), name))
        << "README row for a command devsim does not have: " << row;
}

// The README's fault table against the fault kinds' declarations: one row
// per kind, in their order, with its key, value form and option.
TEST(DevsimReadme, FaultTableHasOneRowPerKindAsDeclared) {
  const std::string readme = ReadText(KESTREL_README);
  std::vector<std::string> rows;
  for (const std::string& line : Lines(readme))
    if (line.rfind("| `fault.", 0) == 0) rows.push_back(line);
  const std::vector<sim::FaultKind>& kinds = sim::FaultKinds();
  ASSERT_EQ(kinds.size(), rows.size()) << "README fault rows";
  for (size_t i = 0; i < kinds.size(); ++i) {
    const std::string want = std::string("| `") + kinds[i].key + " = " + kinds[i].syntax + "` | `" + kinds[i].option + "` |";
    EXPECT_EQ(0u, rows[i].find(want)) << "README fault row " << i << " is\n" << rows[i] << "\nexpected it to begin\n" << want;
  }
}

// The reading of options the test above relies on.
TEST(DevsimReadme, OptionNamesAreTakenWhereTheyStand) {
  EXPECT_EQ((std::set<std::string>{"--chip", "-o", "--no-toc", "--kill-after-ops", "--answer"}),
            Options("usage: x DIR [--chip MM:DD] -o FILE `--no-toc` (--kill-after-ops N) [--answer ok\\|cancel]\n"
                    "spare 0-7, read-fail|short-read, ECC-corrected, x11-prefix, -1 and 0x-prefixed"));
}

}  // namespace
}  // namespace tooltest
