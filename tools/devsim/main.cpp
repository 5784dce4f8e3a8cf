// devsim: the host tool for simulated devices and raw NAND images.
#include <cstdio>
#include <cstring>
#include <exception>
#include <string>
#include <vector>

#include "tools/devsim/command.h"

namespace {

void PrintToolHelp(FILE* out) {
  std::fprintf(out,
               "devsim - make, inspect, check and fault simulated devices and raw NAND images\n"
               "\n"
               "usage: devsim COMMAND [ARGS...]\n"
               "       devsim COMMAND --help\n"
               "       devsim help [COMMAND]\n"
               "\n"
               "A device is a folder: nand.img (raw NAND, every page as its 512 data bytes then\n"
               "its 16 spare bytes), nand.cfg (chip identity, simulation settings, faults),\n"
               "\"SDMMC Disk/\" (the card) and \"windows/\". IMAGE is a bare raw page+spare dump\n"
               "(as a NAND programmer reads it off a chip); its chip is given with --chip MM:DD\n"
               "or known from its size.\n"
               "\n"
               "commands:\n");
  for (const devsim::Command* c : devsim::Commands()) std::fprintf(out, "  %-9s %s\n", c->name, c->summary);
  std::fprintf(out,
               "\n"
               "exit codes: 0 done, 1 a check asked for failed, 2 bad usage or unreadable input\n");
}

bool WantsHelp(const std::vector<std::string>& args) {
  for (const std::string& a : args) {
    if (a == "--") return false;
    if (a == "--help" || a == "-h") return true;
  }
  return false;
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<std::string> args(argv + 1, argv + argc);
  if (args.empty()) {
    PrintToolHelp(stderr);
    return devsim::kExitUsage;
  }
  if (args[0] == "--help" || args[0] == "-h") {
    PrintToolHelp(stdout);
    return devsim::kExitOk;
  }
  if (args[0] == "help") {
    if (args.size() == 1) {
      PrintToolHelp(stdout);
      return devsim::kExitOk;
    }
    const devsim::Command* c = devsim::FindCommand(args[1]);
    if (!c) {
      std::fprintf(stderr, "devsim: no command '%s' (see devsim --help)\n", args[1].c_str());
      return devsim::kExitUsage;
    }
    std::fputs(c->help, stdout);
    return devsim::kExitOk;
  }
  const devsim::Command* c = devsim::FindCommand(args[0]);
  if (!c) {
    std::fprintf(stderr, "devsim: no command '%s' (see devsim --help)\n", args[0].c_str());
    return devsim::kExitUsage;
  }
  std::vector<std::string> rest(args.begin() + 1, args.end());
  if (WantsHelp(rest)) {
    std::fputs(c->help, stdout);
    return devsim::kExitOk;
  }
  try {
    return c->run(rest);
  } catch (const devsim::UsageError& e) {
    std::fprintf(stderr, "devsim %s: %s (see devsim %s --help)\n", c->name, e.what(), c->name);
  } catch (const devsim::InputError& e) {
    std::fprintf(stderr, "devsim %s: %s\n", c->name, e.what());
  } catch (const std::exception& e) {
    std::fprintf(stderr, "devsim %s: %s\n", c->name, e.what());
  }
  return devsim::kExitUsage;
}
