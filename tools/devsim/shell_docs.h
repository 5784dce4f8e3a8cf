// What the tool's declarations (command.h) make for the system around it: the
// bash completion script and the manual page's sections beyond --help. The
// build writes both from the built tool (devsim --completion bash,
// devsim --man-sections), so neither is ever a list kept by hand.
#ifndef TOOLS_DEVSIM_SHELL_DOCS_H
#define TOOLS_DEVSIM_SHELL_DOCS_H

#include <string>

namespace CLI {
class App;
}

namespace devsim {

class Tool;

// A bash script defining the completion of devsim: the commands (and help,
// --help, --version) as the first word, then the command's options, an
// option's value among the words its value name lists ("ok|cancel|none"),
// file names where a FILE, DIR or DUMP is asked for, and file names as arguments.
std::string BashCompletion(const CLI::App& tool);

// help2man's include file: the tool's help laid out as a manual page (NAME,
// SYNOPSIS, DESCRIPTION with the commands listed), and a
// COMMANDS section with every command's help as devsim NAME --help gives it.
std::string ManPageSections(const Tool& tool);

}  // namespace devsim

#endif
