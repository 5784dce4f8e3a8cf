// The pieces every devsim subcommand is made of: its entry in the command
// table, its command line, and the two kinds of failure it can end with.
//
// Exit codes, the same for every subcommand:
//   0  done (and every check asked for passed)
//   1  a check asked for failed (verify differs, an extract met an
//      uncorrectable sector, the flash has no usable boot area)
//   2  bad usage, or input that cannot be read (missing files, an image of no
//      chip's size, a nand.cfg that does not parse)
#ifndef TOOLS_DEVSIM_COMMAND_H
#define TOOLS_DEVSIM_COMMAND_H

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "tools/devsim/device_ops.h"

namespace devsim {

enum ExitCode { kExitOk = 0, kExitCheckFailed = 1, kExitUsage = 2 };

struct Command {
  const char* name;
  const char* summary;  // one line in the tool's own --help
  const char* help;     // the subcommand's --help: usage line first
  int (*run)(const std::vector<std::string>& args);
};

// The table of subcommands (command_table.cpp), in the order --help lists them.
const std::vector<const Command*>& Commands();
const Command* FindCommand(const std::string& name);

// A subcommand's command line, read by CLI11. Each option is declared with
// the place its value goes; Parse fills them in. "--name value" and
// "--name=value" are the same, "--" ends the options, and values stay text:
// numbers are read afterwards by ParseU32/ParseU64, strictly, so "010" is
// ten and "12x" a mistake. Every mistake is a UsageError in the tool's words
// ("unknown option --x", "--chip needs a value", "--chip given twice",
// "--json takes no value", "missing DIR", "unexpected argument 'b'").
class CommandLine {
 public:
  CommandLine();
  ~CommandLine();
  CommandLine(const CommandLine&) = delete;
  CommandLine& operator=(const CommandLine&) = delete;

  void Flag(const std::string& name, bool* given);
  void Value(const std::string& name, std::optional<std::string>* value);          // at most once
  void OptionalValue(const std::string& name, std::optional<std::string>* value);  // "" when given bare
  void Repeated(const std::string& name, std::vector<std::string>* values);        // any number of times
  // Exactly these positional arguments, named for the message when one is missing.
  void Positionals(const std::vector<const char*>& names, std::vector<std::string>* values);

  void Parse(const std::vector<std::string>& args);

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace devsim

#endif
