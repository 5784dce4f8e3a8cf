#include "tools/devsim/tool.h"

#include <CLI/CLI.hpp>
#include <cstdio>
#include <exception>

#include "tools/devsim/help_format.h"
#include "tools/devsim/shell_docs.h"

namespace devsim {

namespace {

const char kSummary[] = "make, inspect, check and fault simulated devices and raw NAND images";
const char kProse[] =
    "A device is a folder: nand.img (raw NAND, every page as its 512 data bytes then\n"
    "its 16 spare bytes), nand.cfg (chip identity, simulation settings, faults),\n"
    "\"SDMMC Disk/\" (the card) and \"windows/\". IMAGE is a bare raw page+spare dump\n"
    "(as a NAND programmer reads it off a chip); its chip is given with --chip MM:DD\n"
    "or known from its size.";
const char kFooter[] = "exit codes: 0 done, 1 a check asked for failed, 2 bad usage or unreadable input";

// Help wherever it is asked for among a command's options, even beside a
// mistake; after "--" it is an argument.
bool WantsHelp(const std::vector<std::string>& args) {
  for (size_t i = 1; i < args.size(); ++i) {
    if (args[i] == "--") return false;
    if (args[i] == "--help" || args[i] == "-h") return true;
  }
  return false;
}

}  // namespace

struct Tool::Entry {
  const Command* command;
  CLI::App* app;
  std::unique_ptr<CommandLine> line;
  Runner run;
};

Tool::Tool(const std::vector<const Command*>& commands, const std::string& version)
    : app_(new CLI::App(std::string(kSummary) + "\n" + kProse, "devsim")), version_(version) {
  // Help is the tool's to give (Main), so that it comes wherever --help
  // stands; the commands inherit these settings.
  app_->set_help_flag();
  app_->formatter(std::make_shared<HelpFormatter>());
  app_->footer(kFooter);
  // One command a command line: a command's name among its arguments is an
  // argument like any other.
  app_->require_subcommand(1);
  for (const Command* c : commands) {
    Entry e{c, app_->add_subcommand(c->name), nullptr, nullptr};
    e.line = std::make_unique<CommandLine>(e.app);
    e.run = c->declare(*e.line);
    entries_.push_back(std::move(e));
  }
}

Tool::~Tool() = default;

const CLI::App& Tool::App() const { return *app_; }

const Tool::Entry* Tool::Find(const std::string& name) const {
  for (const Entry& e : entries_)
    if (name == e.command->name) return &e;
  return nullptr;
}

std::string Tool::Help() const { return app_->help(); }

std::string Tool::CommandHelp(const std::string& name) const {
  const Entry* e = Find(name);
  return e ? e->app->help() : std::string();
}

Runner Tool::Parse(const std::vector<std::string>& args) {
  const Entry* e = args.empty() ? nullptr : Find(args[0]);
  if (!e) throw UsageError("no command '" + (args.empty() ? std::string() : args[0]) + "'");
  e->line->Parse(*app_, args);
  return e->run;
}

int Tool::Main(const std::vector<std::string>& args) {
  if (args.empty()) {
    std::fputs(Help().c_str(), stderr);
    return kExitUsage;
  }
  if (args[0] == "--help" || args[0] == "-h" || (args[0] == "help" && args.size() == 1)) {
    std::fputs(Help().c_str(), stdout);
    return kExitOk;
  }
  // What the build makes the installed tool's manual page and completion of
  // (shell_docs.h); the two generators are not in the help.
  const std::vector<std::string> completion = {"--completion", "bash"};
  if (args == std::vector<std::string>{"--version"} || args == completion ||
      args == std::vector<std::string>{"--man-sections"}) {
    const std::string text = args == completion       ? BashCompletion(*app_)
                             : args[0] == "--version" ? version_ + "\n"
                                                      : ManPageSections(*this);
    std::fputs(text.c_str(), stdout);
    return kExitOk;
  }
  const bool helpCommand = args[0] == "help";
  const std::string& name = helpCommand ? args[1] : args[0];
  if (!Find(name)) {
    std::fprintf(stderr, "devsim: no command '%s' (see devsim --help)\n", name.c_str());
    return kExitUsage;
  }
  if (helpCommand || WantsHelp(args)) {
    std::fputs(CommandHelp(name).c_str(), stdout);
    return kExitOk;
  }
  try {
    return Parse(args)();
  } catch (const UsageError& e) {
    std::fprintf(stderr, "devsim %s: %s (see devsim %s --help)\n", name.c_str(), e.what(), name.c_str());
  } catch (const std::exception& e) {
    std::fprintf(stderr, "devsim %s: %s\n", name.c_str(), e.what());
  }
  return kExitUsage;
}

}  // namespace devsim
