// devsim's command declarations against what is made of them: the help of
// each command names every option and positional its file declares, and
// nothing else; the fault options are the fault kinds' rows; a command line
// is read into the places declared, its mistakes named in the tool's words.
#include <gtest/gtest.h>

#include <CLI/CLI.hpp>
#include <regex>
#include <set>
#include <sstream>

#include "sim/fault_kinds.h"
#include "tools/devsim/help_format.h"
#include "tools/devsim/tool.h"

namespace tooltest {
namespace {

std::vector<const CLI::Option*> Declared(const CLI::App& command) {
  return command.get_options([](const CLI::Option* o) { return !o->get_group().empty(); });
}

bool IsPositional(const CLI::Option* o) { return !o->nonpositional(); }

// `word` in `text` as a whole: not part of a longer name or value.
bool HasWord(const std::string& text, const std::string& word) {
  for (size_t at = text.find(word); at != std::string::npos; at = text.find(word, at + 1)) {
    const bool startsWord = at == 0 || text[at - 1] == ' ' || text[at - 1] == '[';
    const size_t end = at + word.size();
    if (startsWord && (end == text.size() || text[end] == ' ' || text[end] == ']' || text[end] == '\n')) return true;
  }
  return false;
}

std::string Squeezed(const std::string& text) {
  std::istringstream in(text);
  std::string out;
  for (std::string w; in >> w;) out += (out.empty() ? "" : " ") + w;
  return out;
}

TEST(DevsimDeclarations, EveryDeclaredOptionAndPositionalIsInItsHelp) {
  devsim::Tool tool;
  ASSERT_FALSE(tool.App().get_subcommands({}).empty());
  for (const CLI::App* command : tool.App().get_subcommands({})) {
    SCOPED_TRACE(command->get_name());
    const std::string help = tool.CommandHelp(command->get_name());
    const std::string usage = help.substr(0, help.find("\n\n"));
    ASSERT_EQ(0u, usage.find("usage: devsim " + command->get_name() + " ")) << help;
    for (const CLI::Option* o : Declared(*command)) {
      const std::string name = IsPositional(o) ? o->get_name(true, false) : o->get_name();
      SCOPED_TRACE(name);
      if (IsPositional(o) || o->get_expected_max() == 0) {
        EXPECT_TRUE(HasWord(usage, name)) << usage;
      } else {
        const std::string value = o->get_type_name();
        EXPECT_TRUE(HasWord(usage, name + " " + value) || HasWord(usage, name + " [" + value + "]")) << usage;
      }
      EXPECT_NE(std::string::npos, help.find("\n  " + name + (o->get_expected_max() == 0 ? "" : " ")))
          << "no line of the list for it\n"
          << help;
      EXPECT_FALSE(o->get_description().empty());
      EXPECT_NE(std::string::npos, Squeezed(help).find(Squeezed(o->get_description()))) << help;
    }
  }
}

// Prose that names an option the command does not have (a renamed one, a
// typo) is caught here; the README's table is checked against the same names.
TEST(DevsimDeclarations, EveryOptionAHelpNamesIsDeclared) {
  static const std::regex kOption(R"((?:^|[\s\[(`|])(--?[A-Za-z][A-Za-z0-9-]*))");
  devsim::Tool tool;
  for (const CLI::App* command : tool.App().get_subcommands({})) {
    SCOPED_TRACE(command->get_name());
    std::set<std::string> declared;
    for (const CLI::Option* o : Declared(*command))
      if (!IsPositional(o)) declared.insert(o->get_name());
    const std::string help = tool.CommandHelp(command->get_name());
    for (std::sregex_iterator it(help.begin(), help.end(), kOption), end; it != end; ++it)
      EXPECT_EQ(1u, declared.count((*it)[1])) << (*it)[1] << " is named by the help but not declared\n" << help;
  }
}

TEST(DevsimDeclarations, FaultOptionsAreTheFaultKindsRows) {
  devsim::Tool tool;
  const CLI::App* fault = tool.App().get_subcommand("fault");
  std::vector<std::string> options;
  for (const CLI::Option* o : Declared(*fault))
    if (!IsPositional(o)) options.push_back(o->get_name());
  std::vector<std::string> want;
  for (const sim::FaultKind& k : sim::FaultKinds()) want.push_back(k.option);
  want.push_back("--clear");
  EXPECT_EQ(want, options);

  const std::string help = tool.CommandHelp("fault");
  const std::string usage = help.substr(0, help.find("\n\n"));
  for (const sim::FaultKind& k : sim::FaultKinds()) {
    SCOPED_TRACE(k.option);
    EXPECT_EQ(k.syntax, fault->get_option(k.option)->get_type_name());
    // "..." marks the kinds that repeat; the others are one of a kind.
    const std::string inUsage = std::string("[") + k.option + " " + k.syntax + "]";
    const size_t at = usage.find(inUsage);
    ASSERT_NE(std::string::npos, at) << usage;
    EXPECT_EQ(k.repeats, usage.compare(at + inUsage.size(), 3, "...") == 0) << usage;
  }
}

TEST(DevsimDeclarations, HelpLinesFitTheWidth) {
  devsim::Tool tool;
  std::vector<std::string> helps = {tool.Help()};
  for (const CLI::App* command : tool.App().get_subcommands({})) helps.push_back(tool.CommandHelp(command->get_name()));
  for (const std::string& help : helps) {
    std::istringstream in(help);
    for (std::string line; std::getline(in, line);)
      EXPECT_LE(line.size(), devsim::HelpFormatter::kWidth) << line << "\nin\n" << help;
  }
}

// The list devsim --help prints (and the README's test reads) is the command
// table, in its order, each with the first line of its description.
TEST(DevsimDeclarations, ToolHelpListsTheCommandTable) {
  devsim::Tool tool;
  const std::string help = tool.Help();
  const size_t start = help.find("\ncommands:\n");
  ASSERT_NE(std::string::npos, start) << help;
  const size_t end = help.find("\n\n", start);
  ASSERT_NE(std::string::npos, end) << "no empty line after the list\n" << help;
  std::istringstream list(help.substr(start + 11, end - start - 11));
  std::string line;
  for (const devsim::Command* c : devsim::Commands()) {
    ASSERT_TRUE(std::getline(list, line)) << "no line for " << c->name << "\n" << help;
    std::istringstream words(line);
    std::string name;
    words >> name;
    EXPECT_EQ(c->name, name) << line;
    const std::string& description = tool.App().get_subcommand(c->name)->get_description();
    EXPECT_EQ(description.substr(0, description.find('\n')), Squeezed(line.substr(line.find(name) + name.size())));
  }
  EXPECT_FALSE(std::getline(list, line)) << "a line for no command: " << line;
}

// A command of the test's own with one option of each kind, read by a Tool
// of just that command.
struct Given {
  std::string dir, out;
  bool fill = false;
  std::optional<std::string> chip, map;
  std::vector<std::string> removes;
};
Given given;  // where the probe's runner leaves what it was given

devsim::Runner DeclareProbe(devsim::CommandLine& cl) {
  auto a = std::make_shared<Given>();
  cl.Describe("takes one option of each kind", "");
  cl.Positional("DIR", "a folder", &a->dir);
  cl.NeededValue("-o", "FILE", "a file", &a->out);
  cl.Flag("--fill", "a flag", &a->fill);
  cl.Value("--chip", "MM:DD", "a value", &a->chip);
  cl.OptionalValue("--map", "FILE.png", "a value that may be left out", &a->map);
  cl.Repeated("--remove", "NAME", "a value a time", &a->removes);
  return [a] {
    given = *a;
    return 7;
  };
}
const devsim::Command kProbe = {"probe", DeclareProbe};

Given Read(std::vector<std::string> args) {
  args.insert(args.begin(), "probe");
  devsim::Tool tool({&kProbe});
  given = Given();
  EXPECT_EQ(7, tool.Parse(args)());
  return given;
}

// The message of the UsageError a command line (its command first) is refused with.
std::string MistakeOf(const std::vector<std::string>& line) {
  devsim::Tool tool({&kProbe});
  try {
    tool.Parse(line);
  } catch (const devsim::UsageError& e) {
    return e.what();
  }
  return "(no mistake)";
}

std::string Mistake(std::vector<std::string> args) {
  args.insert(args.begin(), "probe");
  return MistakeOf(args);
}

TEST(DevsimCommandLine, ReadsEachKindOfOptionIntoItsPlace) {
  Given g = Read({"d", "-o", "f", "--fill", "--chip=ec:73", "--map", "--remove", "a", "--remove=b"});
  EXPECT_EQ("d", g.dir);
  EXPECT_EQ("f", g.out);
  EXPECT_TRUE(g.fill);
  EXPECT_EQ("ec:73", g.chip.value_or("(none)"));
  EXPECT_EQ("", g.map.value_or("(none)"));
  EXPECT_EQ((std::vector<std::string>{"a", "b"}), g.removes);

  g = Read({"--map", "m.png", "-o", "f", "d"});
  EXPECT_EQ("d", g.dir);
  EXPECT_EQ("m.png", g.map.value_or("(none)"));
  EXPECT_FALSE(g.fill);
  EXPECT_FALSE(g.chip.has_value());
  EXPECT_TRUE(g.removes.empty());
}

// CLI11 gives "++" and "--" meanings of their own between subcommands; to
// devsim the first is a word like any other, the second ends the options.
TEST(DevsimCommandLine, PlusPlusIsAWordAndDoubleDashEndsTheOptions) {
  Given g = Read({"-o", "++", "--", "++"});
  EXPECT_EQ("++", g.out);
  EXPECT_EQ("++", g.dir);
  EXPECT_EQ("++\x1f", Read({"-o", "f", "++\x1f"}).dir);
  EXPECT_EQ("--fill", Read({"-o", "f", "--", "--fill"}).dir);
  EXPECT_EQ("unexpected argument '--fill'", Mistake({"d", "-o", "f", "--", "--fill"}));
  EXPECT_EQ("unexpected argument '++'", Mistake({"d", "-o", "f", "++", "--fill"}));
  EXPECT_EQ("unexpected argument 'e'", Mistake({"d", "-o", "f", "e", "--", "x"}));
}

TEST(DevsimCommandLine, NamesTheFirstMistakeInTheToolsWords) {
  EXPECT_EQ("missing DIR", Mistake({"-o", "f"}));
  EXPECT_EQ("missing -o FILE", Mistake({"d"}));
  // Mistakes of the words given come before one left out.
  EXPECT_EQ("unknown option --bogus", Mistake({"d", "--bogus=1"}));
  // A long option one or two letters off is named; a guess further off, or
  // at a short option, is not made.
  EXPECT_EQ("unknown option --chp (nearest: --chip)", Mistake({"d", "--chp", "a"}));
  EXPECT_EQ("unknown option --fil (nearest: --fill)", Mistake({"d", "--fil=1"}));
  EXPECT_EQ("unknown option --colour", Mistake({"d", "--colour", "a"}));
  EXPECT_EQ("unknown option --x", Mistake({"d", "--x"}));
  EXPECT_EQ("unexpected argument 'e'", Mistake({"d", "e"}));
  EXPECT_EQ("--chip given twice", Mistake({"d", "--chip", "a", "--chip=b"}));
  EXPECT_EQ("--map given twice", Mistake({"d", "-o", "f", "--map", "--map"}));
  EXPECT_EQ("--fill takes no value", Mistake({"d", "-o", "f", "--fill=yes"}));
  EXPECT_EQ("-o needs a value", Mistake({"d", "-o"}));
  // The command's own name, or another's, among its arguments is an argument.
  EXPECT_EQ("unexpected argument 'probe'", Mistake({"d", "-o", "f", "probe"}));
  EXPECT_EQ("no command 'prob'", MistakeOf({"prob", "d", "-o", "f"}));
}

// The usage line's forms, as help_format.h gives them: positionals first, a
// needed option bare, the others in brackets, a value that may be left out
// in brackets of its own, "..." after one that repeats.
TEST(DevsimCommandLine, UsageLineSpellsEachKindOfOption) {
  devsim::Tool tool({&kProbe});
  const std::string help = tool.CommandHelp("probe");
  EXPECT_EQ("usage: devsim probe DIR -o FILE [--fill] [--chip MM:DD] [--map [FILE.png]] [--remove NAME]...",
            Squeezed(help.substr(0, help.find("\n\n"))));
  EXPECT_EQ("", tool.CommandHelp("prob"));
}

}  // namespace
}  // namespace tooltest
