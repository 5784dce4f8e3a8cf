// devsim's command line: one CLI11 App, each command a subcommand of it
// declared by the command's own file (command.h), the help made from those
// declarations (help_format.h).
#ifndef TOOLS_DEVSIM_TOOL_H
#define TOOLS_DEVSIM_TOOL_H

#include <memory>
#include <string>
#include <vector>

#include "tools/devsim/command.h"

namespace devsim {

class Tool {
 public:
  // The tool with these commands (a test's own, or the command table's);
  // `version` is what devsim --version prints (the program's VersionLine(),
  // kept out of this library so that a new commit relinks the program only).
  explicit Tool(const std::vector<const Command*>& commands = Commands(), const std::string& version = "devsim");
  ~Tool();
  Tool(const Tool&) = delete;
  Tool& operator=(const Tool&) = delete;

  // The arguments after the program's name, run as devsim runs them: the
  // output and the messages printed, the exit code returned.
  int Main(const std::vector<std::string>& args);

  std::string Help() const;                                // devsim --help
  std::string CommandHelp(const std::string& name) const;  // devsim NAME --help; "" for no such command
  // Reads a command line, the command's name first, into the command's
  // declaration (UsageError for a mistake); what runs it. Once a Tool.
  Runner Parse(const std::vector<std::string>& args);

  // The declarations, for what checks them.
  const CLI::App& App() const;

 private:
  struct Entry;
  const Entry* Find(const std::string& name) const;

  std::unique_ptr<CLI::App> app_;
  std::vector<Entry> entries_;
  std::string version_;
};

}  // namespace devsim

#endif
