// The command lines of the programs on the Wine side of a run (devrun and the
// stand-ins): parsed by CLI11, as the host tools' are, from their wide argv.
// Numbers are whole texts (CLI11 converts all of it or refuses it), so a
// malformed number is a usage error, never 0.
#ifndef TOOLS_RUN_CLI_H
#define TOOLS_RUN_CLI_H

#include <windows.h>

#include <stdio.h>

#include <CLI/CLI.hpp>
#include <string>
#include <vector>

#include "platform/debug_sink.h"

namespace runproto {

// False, with the error and the usage line on stderr, for a command line app
// does not take.
inline bool ParseCommandLine(CLI::App& app, int argc, wchar_t** argv, const char* usage) {
  std::vector<std::string> args;
  for (int i = argc - 1; i >= 1; --i) args.push_back(PlatformUtf8(argv[i]));  // CLI11 takes them last first
  try {
    app.parse(args);
  } catch (const CLI::ParseError& e) {
    fprintf(stderr, "%s: %s\nusage: %s\n", app.get_name().c_str(), e.what(), usage);
    return false;
  }
  return true;
}

}  // namespace runproto

#endif
