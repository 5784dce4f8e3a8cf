// The tool's command line as a user meets it: help texts, unknown commands,
// the exit code of bad usage.
#include <gtest/gtest.h>

#include "tests/tools/tool_test_support.h"
#include "tools/devsim/command.h"

namespace tooltest {
namespace {

// The commands as the tool's command table declares them.
std::vector<std::string> Subcommands() {
  std::vector<std::string> names;
  for (const devsim::Command* c : devsim::Commands()) names.push_back(c->name);
  return names;
}

TEST(DevsimCli, ToolHelpListsEverySubcommand) {
  ToolRun r = Devsim({"--help"});
  ASSERT_EQ(0, r.exit) << r.All();
  EXPECT_EQ(0u, r.out.find("devsim - ")) << r.out;
  for (const std::string& name : Subcommands()) EXPECT_NE(std::string::npos, r.out.find("  " + name + " ")) << name;
  EXPECT_NE(std::string::npos, r.out.find("exit codes: 0 done, 1 a check asked for failed, 2 bad usage"));
}

TEST(DevsimCli, EachSubcommandHasItsHelpWhereverTheOptionStands) {
  for (const std::string& name : Subcommands()) {
    SCOPED_TRACE(name);
    const std::string usage = "usage: devsim " + name + " ";
    for (const std::vector<std::string>& args :
         std::vector<std::vector<std::string>>{{name, "--help"}, {name, "/no/such/device", "-h"}, {"help", name}}) {
      ToolRun r = Devsim(args);
      EXPECT_EQ(0, r.exit) << r.All();
      EXPECT_EQ(0u, r.out.find(usage)) << r.out;
      EXPECT_TRUE(r.err.empty()) << r.err;
    }
  }
}

TEST(DevsimCli, BadUsageExitsTwoAndSaysWhatIsWrong) {
  struct Case {
    std::vector<std::string> args;
    const char* message;
  } cases[] = {
      {{}, "usage: devsim COMMAND"},
      {{"frobnicate"}, "no command 'frobnicate'"},
      {{"help", "frobnicate"}, "no command 'frobnicate'"},
      {{"inspect"}, "devsim inspect: missing DIR|IMAGE (see devsim inspect --help)"},
      {{"inspect", "a", "b"}, "unexpected argument 'b'"},
      {{"inspect", "/x", "--color"}, "unknown option --color"},
      {{"inspect", "/x", "--chip"}, "--chip needs a value"},
      {{"inspect", "/x", "--json=yes"}, "--json takes no value"},
      {{"verify", "/x"}, "missing FILE"},
      {{"extract", "/x"}, "missing -o FILE"},
      {{"create", "/tmp/devsim-unused", "--chip", "ec:76", "--chip", "ec:73"}, "--chip given twice"},
      {{"inspect", "/x", "--chip=ec:73", "--chip=ec:76"}, "--chip given twice"},
      {{"fault", "/x", "--clear=yes"}, "--clear takes no value"},
      {{"extract", "/x", "-o"}, "-o needs a value"},
      {{"inspect", "/x", "-j"}, "unknown option -j"},
      {{"inspect", "/x", "--color=auto"}, "unknown option --color"},
      {{"run", "/x"}, "missing PROGRAM"},
      {{"run", "/x", "kestrel", "--kill-after-ops"}, "--kill-after-ops needs a value"},
      {{"run", "/x", "kestrel", "--kill-after-ops", "12x"}, "bad --kill-after-ops count '12x'"},
      {{"run", "/x", "kestrel", "--kill-after-ops", "-1"}, "bad --kill-after-ops count '-1'"},
      {{"run", "/x", "kestrel", "--timeout", "1.5"}, "--timeout: a number of seconds, not 1.5"},
      {{"run", "/x", "kestrel", "--timeout", "0"}, "--timeout: a number of seconds, not 0"},
      {{"run", "/x", "kestrel", "--answer", "maybe"}, "--answer: ok, cancel or none, not maybe"},
      {{"campaign", "--devsim", "/bin/true"}, "unknown option --devsim"},
      {{"campaign", "everything"}, "unexpected argument 'everything'"},
      {{"campaign", "--only"}, "--only needs a value"},
  };
  for (const Case& c : cases) {
    ToolRun r = Devsim(c.args);
    EXPECT_EQ(2, r.exit) << r.All();
    EXPECT_NE(std::string::npos, r.err.find(c.message)) << "expected \"" << c.message << "\" in\n" << r.All();
  }
}

// After "--" everything is an argument, even what looks like an option.
TEST(DevsimCli, DoubleDashEndsTheOptions) {
  ToolRun r = Devsim({"inspect", "--", "--json"});
  EXPECT_EQ(2, r.exit) << r.All();
  EXPECT_EQ(std::string::npos, r.err.find("unknown option")) << r.All();
  EXPECT_NE(std::string::npos, r.err.find("--json")) << "the path it could not open\n" << r.All();
  ToolRun two = Devsim({"inspect", "/x", "--", "--json"});
  EXPECT_NE(std::string::npos, two.err.find("unexpected argument '--json'")) << two.All();
}

TEST(DevsimCli, RunTakesAKillPointAsAStrictNumber) {
  ToolRun r = Devsim({"run", "--help"});
  ASSERT_EQ(0, r.exit) << r.All();
  EXPECT_NE(std::string::npos, r.out.find("[--kill-after-ops N]")) << r.out;
  EXPECT_NE(std::string::npos, r.out.find("0xDEAD0004")) << "the exit code of a killed program\n" << r.out;
  TempDir t;
  ASSERT_EQ(0, Devsim({"create", t / "dev"}).exit);
  for (const char* bad : {"abc", "12x", "-1", "", "99999999999999999999"}) {
    ToolRun bad_run = Devsim({"run", t / "dev", "--kill-after-ops", bad, "kestrel"});
    EXPECT_EQ(2, bad_run.exit) << "--kill-after-ops " << bad << "\n" << bad_run.All();
    EXPECT_NE(std::string::npos, bad_run.err.find("--kill-after-ops")) << bad_run.All();
  }
}

// However it is asked for, a command's help is one text: the same bytes for
// "help CMD", "CMD --help", "CMD -h" after an argument, and --help after an
// option that wants a value.
TEST(DevsimCli, EveryWayOfAskingGivesTheSameHelp) {
  for (const std::string& name : Subcommands()) {
    SCOPED_TRACE(name);
    const ToolRun first = Devsim({"help", name});
    ASSERT_EQ(0, first.exit) << first.All();
    for (const std::vector<std::string>& args : std::vector<std::vector<std::string>>{
             {name, "--help"}, {name, "/no/such/device", "-h"}, {name, "--chip", "--help"}}) {
      const ToolRun r = Devsim(args);
      EXPECT_EQ(0, r.exit) << r.All();
      EXPECT_EQ(first.out, r.out) << testing::PrintToString(args);
    }
  }
}

TEST(DevsimCli, OnlyADeclaredCommandRuns) {
  for (const std::vector<std::string>& args : std::vector<std::vector<std::string>>{
           {"VERIFY", "/x", "f"}, {"ver", "/x", "f"}, {"--chip", "ec:76"}, {"help", "INSPECT"}, {"help", "--json"}}) {
    const std::string name = args[0] == "help" ? args[1] : args[0];
    const ToolRun r = Devsim(args);
    EXPECT_EQ(2, r.exit) << r.All();
    EXPECT_EQ("devsim: no command '" + name + "' (see devsim --help)\n", r.err);
    EXPECT_EQ("", r.out);
  }
}

// A command's arguments are its own: the name of a command among them is an
// argument (a folder may be called "run"), and so is "++".
TEST(DevsimCli, ACommandsNameAmongItsArgumentsIsAnArgument) {
  ToolRun r = Devsim({"inspect", "/no/such", "run"});
  EXPECT_EQ(2, r.exit) << r.All();
  EXPECT_NE(std::string::npos, r.err.find("devsim inspect: unexpected argument 'run'")) << r.All();
  for (const char* word : {"inspect", "fault", "++"}) {
    r = Devsim({"fault", word});
    EXPECT_EQ(2, r.exit) << r.All();
    EXPECT_EQ(std::string("devsim fault: ") + word + " is not a device folder\n", r.err) << r.All();
  }
}

}  // namespace
}  // namespace tooltest

namespace tooltest {
namespace {

// The card is listed by the tool itself, so a device folder whose name holds
// a quote or a space is listed like any other.
TEST(DevsimCard, ListsTheCardOfAFolderWithAQuoteInItsName) {
  TempDir t;
  const std::string dir = t.Path() + "/Ann's dev";
  ToolRun made = Devsim({"create", dir, "--chip", "ec:73"});
  ASSERT_EQ(0, made.exit) << made.All();
  ToolRun empty = Devsim({"card", dir});
  ASSERT_EQ(0, empty.exit) << empty.All();
  EXPECT_EQ("card " + dir + "/SDMMC Disk: empty\n", empty.out);

  WriteBytes(t.Path() + "/boot.nb0", Bytes(1000, 0x5A));
  ASSERT_EQ(0, Devsim({"card", dir, "--image", t.Path() + "/boot.nb0"}).exit);
  ToolRun listed = Devsim({"card", dir});
  ASSERT_EQ(0, listed.exit) << listed.All();
  EXPECT_EQ("card " + dir + "/SDMMC Disk:\n  EBOOT.NB0      1000 bytes\n", listed.out);
}

}  // namespace
}  // namespace tooltest
