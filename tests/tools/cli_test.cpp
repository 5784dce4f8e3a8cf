// The tool's command line as a user meets it: help texts, unknown commands,
// the exit code of bad usage.
#include <gtest/gtest.h>

#include "tests/tools/tool_test_support.h"

namespace tooltest {
namespace {

const char* const kSubcommands[] = {"create", "inspect", "extract", "verify", "fault"};

TEST(DevsimCli, ToolHelpListsEverySubcommand) {
  ToolRun r = Devsim({"--help"});
  ASSERT_EQ(0, r.exit) << r.All();
  EXPECT_EQ(0u, r.out.find("devsim - ")) << r.out;
  for (const char* name : kSubcommands) EXPECT_NE(std::string::npos, r.out.find(std::string("  ") + name + " ")) << name;
  EXPECT_NE(std::string::npos, r.out.find("exit codes: 0 done, 1 a check asked for failed, 2 bad usage"));
}

TEST(DevsimCli, EachSubcommandHasItsHelpWhereverTheOptionStands) {
  for (const char* name : kSubcommands) {
    SCOPED_TRACE(name);
    const std::string usage = std::string("usage: devsim ") + name + " ";
    for (const std::vector<std::string>& args : std::vector<std::vector<std::string>>{
             {name, "--help"}, {name, "/no/such/device", "-h"}, {"help", name}}) {
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
  };
  for (const Case& c : cases) {
    ToolRun r = Devsim(c.args);
    EXPECT_EQ(2, r.exit) << r.All();
    EXPECT_NE(std::string::npos, r.err.find(c.message)) << "expected \"" << c.message << "\" in\n" << r.All();
  }
}

}  // namespace
}  // namespace tooltest
