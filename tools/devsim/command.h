// The pieces every devsim command is made of: its entry in the command table,
// its declaration on the tool's CLI11 subcommand, and the two kinds of
// failure it can end with.
//
// Exit codes, the same for every command:
//   0  done (and every check asked for passed)
//   1  a check asked for failed (verify differs, an extract met an
//      uncorrectable sector, the flash has no usable boot area)
//   2  bad usage, or input that cannot be read (missing files, an image of no
//      chip's size, a nand.cfg that does not parse)
#ifndef TOOLS_DEVSIM_COMMAND_H
#define TOOLS_DEVSIM_COMMAND_H

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "tools/devsim/device_ops.h"

namespace CLI {
class App;
class ParseError;
}  // namespace CLI

namespace devsim {

enum ExitCode { kExitOk = 0, kExitCheckFailed = 1, kExitUsage = 2 };

// What a command does once its command line is read; the values it works on
// are where its declaration bound them.
using Runner = std::function<int()>;

class CommandLine;

struct Command {
  const char* name;
  // Declares the command on `line` (its summary, prose, positionals and
  // options, each bound to where its value goes) and gives back its Runner.
  Runner (*declare)(CommandLine& line);
};

// The table of commands (command_table.cpp), in the order --help lists them.
const std::vector<const Command*>& Commands();

// A command's declaration, on its CLI11 subcommand: the help is made from it
// (help_format.h) and the tool's App reads the arguments into it.
//
// "--name value" and "--name=value" are the same, "--" ends the options, and
// values stay text: numbers are read afterwards by ParseU32/ParseU64,
// strictly, so "010" is ten and "12x" a mistake. Every mistake is a
// UsageError in the tool's words ("unknown option --x", "--chip needs a
// value", "--chip given twice", "--json takes no value", "missing DIR",
// "unexpected argument 'b'").
class CommandLine {
 public:
  explicit CommandLine(CLI::App* app);
  ~CommandLine();
  CommandLine(const CommandLine&) = delete;
  CommandLine& operator=(const CommandLine&) = delete;

  // The one line devsim --help lists the command with, and the prose its
  // help shows before the lists of arguments and options.
  void Describe(const std::string& summary, const std::string& prose);
  // Prose that follows those lists.
  void Footer(const std::string& prose);

  // Every positional is needed, in the order declared; `name` stands in the
  // usage line and in the message when one is missing.
  void Positional(const std::string& name, const std::string& description, std::string* value);

  // Options. `value` names the option's value in the help ("MM:DD").
  void Flag(const std::string& name, const std::string& description, bool* given);
  // At most once.
  void Value(const std::string& name, const std::string& value, const std::string& description,
             std::optional<std::string>* out);
  // Exactly once.
  void NeededValue(const std::string& name, const std::string& value, const std::string& description, std::string* out);
  // At most once, the value left out or not; "" when given bare.
  void OptionalValue(const std::string& name, const std::string& value, const std::string& description,
                     std::optional<std::string>* out);
  // Any number of times.
  void Repeated(const std::string& name, const std::string& value, const std::string& description,
                std::vector<std::string>* out);

  // Reads args (the command's name first) through the tool's App into the
  // places declared.
  void Parse(CLI::App& tool, const std::vector<std::string>& args);

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace devsim

#endif
