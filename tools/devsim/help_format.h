// devsim's help texts, made by CLI11 from the declarations of the tool's App
// and its commands (command.h).
//
// A command's help:
//   usage: devsim NAME POSITIONAL... -o FILE [--flag] [--opt VALUE] [--map [FILE]] [--rep VALUE]...
//
//   devsim NAME - its summary (the first line of its description)
//   the rest of its description
//
//   arguments:
//     POSITIONAL   its description
//
//   options:
//     --opt VALUE  its description
//
//   its footer
//
// The tool's help: "devsim - summary", the usage lines (the last one
// devsim --version), the rest of its
// description, "commands:" with one line a command (its name and summary),
// an empty line, its footer. Options and positionals without a group are not
// shown; descriptions are wrapped to the width of the help.
#ifndef TOOLS_DEVSIM_HELP_FORMAT_H
#define TOOLS_DEVSIM_HELP_FORMAT_H

#include <CLI/CLI.hpp>
#include <string>

namespace devsim {

class HelpFormatter : public CLI::Formatter {
 public:
  static constexpr size_t kWidth = 90;

  std::string make_help(const CLI::App* app, std::string name, CLI::AppFormatMode mode) const override;

 private:
  std::string ToolHelp(const CLI::App& tool) const;
  std::string CommandHelp(const CLI::App& command) const;
};

}  // namespace devsim

#endif
