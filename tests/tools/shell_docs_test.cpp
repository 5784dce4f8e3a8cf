// The manual page's sections and the completion script made from a tool's
// declarations, taken as their readers take them: the sections laid into a
// page and set by groff, the script sourced by bash with a command line to
// complete. A command of this test's own has prose that roff would read as
// requests and escapes, and options of each kind.
#include "tools/devsim/shell_docs.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <fstream>
#include <sstream>

#include "tools/devsim/tool.h"
#include "tools/run/process.h"

namespace {

using devsim::BashCompletion;
using devsim::CommandLine;
using devsim::ManPageSections;
using devsim::Runner;

devsim::Runner DeclareProbe(CommandLine& cl) {
  static std::string dir, out;
  static std::optional<std::string> chip, answer, map;
  static bool fill;
  static std::vector<std::string> removes;
  cl.Describe("look at a device",
              "Prose of the probe.\n.TH a line roff would take for a request\n"
              "'so another\na \\fBbackslash\\fR and -- dashes");
  cl.Positional("DIR", "the device folder", &dir);
  cl.NeededValue("-o", "FILE", "where it goes", &out);
  cl.Flag("--fill", "fill it", &fill);
  cl.Value("--chip", "MM:DD", "the chip", &chip);
  cl.Value("--answer", "ok|cancel|none", "how to answer", &answer);
  cl.OptionalValue("--map", "FILE.png", "a map", &map);
  cl.Repeated("--remove", "NAME", "take NAME off", &removes);
  return [] { return 0; };
}
const devsim::Command kProbe = {"probe", DeclareProbe};

devsim::Runner DeclarePlain(CommandLine& cl) {
  cl.Describe("nothing to it", "");
  return [] { return 0; };
}
const devsim::Command kPlain = {"plain", DeclarePlain};

class ShellDocs : public ::testing::Test {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/devsim-shell-docs-XXXXXX";
    ASSERT_NE(nullptr, mkdtemp(tmpl));
    dir_ = tmpl;
  }
  void TearDown() override {
    hostproc::Spec rm;
    rm.argv = {"rm", "-rf", dir_};
    hostproc::Run(rm);
  }
  std::string Write(const std::string& name, const std::string& text) {
    const std::string path = dir_ + "/" + name;
    std::ofstream(path) << text;
    return path;
  }
  // What a command prints, failing the test when it does not end well.
  std::string Output(const std::vector<std::string>& argv) {
    hostproc::Spec spec;
    spec.argv = argv;
    spec.workDir = dir_;
    const hostproc::Result r = hostproc::Run(spec);
    EXPECT_TRUE(r.Exited(0)) << argv[0] << ": " << r.Describe() << "\n" << r.err;
    return r.out;
  }
  // The words bash's completion offers after `words`, the last being typed.
  std::string Completed(const std::string& script, const std::vector<std::string>& words) {
    std::vector<std::string> argv = {"bash", "-c",
                                     "source \"$1\"; shift; COMP_WORDS=(\"$@\"); COMP_CWORD=$(($# - 1)); _devsim; "
                                     "printf '%s\\n' \"${COMPREPLY[@]}\" | sort | tr '\\n' ' '",
                                     "completion", Write("devsim.bash", script)};
    argv.insert(argv.end(), words.begin(), words.end());
    return Output(argv);
  }

  std::string dir_;
};

// help2man's include file made a page: its sections as .SH headings.
std::string AsPage(const std::string& sections) {
  std::istringstream lines(sections);
  std::string page = ".TH DEVSIM 1\n", line;
  while (std::getline(lines, line)) {
    if (line.size() > 2 && line.front() == '[' && line.back() == ']')
      page += ".SH " + line.substr(line[1] == '=' ? 2 : 1, line.size() - (line[1] == '=' ? 3 : 2)) + "\n";
    else
      page += line + "\n";
  }
  return page;
}

// Each line of a command's help comes out of groff as the help has it, lines
// that begin with a dot or a quote, backslashes and dashes included.
TEST_F(ShellDocs, EveryCommandsHelpIsSetAsItStands) {
  devsim::Tool tool({&kProbe, &kPlain});
  const std::string page =
      Output({"groff", "-man", "-Tascii", "-P-cbou", "-rLL=200n", Write("devsim.1", AsPage(ManPageSections(tool)))});
  for (const std::string name : {"probe", "plain"}) {
    std::istringstream help(tool.CommandHelp(name));
    std::string line;
    while (std::getline(help, line)) {
      line.erase(line.find_last_not_of(' ') + 1);  // as groff ends a line
      if (!line.empty()) EXPECT_NE(std::string::npos, page.find("       " + line + "\n")) << line << "\n" << page;
    }
  }
  // The tool's own help: its usage lines as the synopsis, each command with
  // its summary.
  EXPECT_NE(std::string::npos, page.find("devsim COMMAND --help\n")) << page;
  EXPECT_NE(std::string::npos, page.find("devsim --version\n")) << page;
  EXPECT_NE(std::string::npos, page.find("probe  look at a device")) << page;
  EXPECT_NE(std::string::npos, page.find("plain  nothing to it")) << page;
}

TEST_F(ShellDocs, TheCompletionOffersWhatEachPlaceTakes) {
  devsim::Tool tool({&kProbe, &kPlain});
  const std::string script = BashCompletion(tool.App());
  EXPECT_EQ("plain probe ", Completed(script, {"devsim", "p"}));
  EXPECT_EQ("plain probe ", Completed(script, {"devsim", "help", ""}));
  EXPECT_EQ("--answer --chip --fill --help --map --remove -o ", Completed(script, {"devsim", "probe", "d", "-"}));
  EXPECT_EQ("--help ", Completed(script, {"devsim", "plain", "-"}));
  EXPECT_EQ("cancel none ok ", Completed(script, {"devsim", "probe", "d", "--answer", ""}));
  // A FILE: the files there are; a chip's ID: nothing to offer.
  Write("image.bin", "");
  EXPECT_EQ("image.bin ", Completed(script, {"devsim", "probe", "d", "-o", "im"}));
  EXPECT_EQ(" ", Completed(script, {"devsim", "probe", "d", "--chip", "im"}));
  // After an option whose value may be left out, an option or a file.
  EXPECT_EQ("--fill ", Completed(script, {"devsim", "probe", "d", "--map", "--fi"}));
  EXPECT_EQ(" ", Completed(script, {"devsim", "nosuch", "-"}));
}

// The script quotes nothing, so a name it could not hold is refused when it
// is made, not left to break the shell that sources it.
TEST(ShellDocsWords, ANameTheScriptCannotHoldIsRefused) {
  const devsim::Command odd = {"probe'x", DeclarePlain};
  devsim::Tool tool({&odd});
  EXPECT_THROW(BashCompletion(tool.App()), std::logic_error);
}

}  // namespace
