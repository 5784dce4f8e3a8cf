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

#include <cstdint>
#include <map>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "tools/devsim/nandimage.h"

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

// A mistake on the command line: exit 2, with a pointer to --help.
struct UsageError : std::runtime_error {
  using std::runtime_error::runtime_error;
};
// Input that cannot be read or does not make sense: exit 2.
struct InputError : std::runtime_error {
  using std::runtime_error::runtime_error;
};

enum class OptionKind { kFlag, kValue, kRepeated };
struct OptionSpec {
  const char* name;  // with its dashes: "--chip"
  OptionKind kind;
};

// A parsed command line: options by name, positional arguments in order.
// "--name value" and "--name=value" are the same; "--" ends the options.
class ParsedArgs {
 public:
  ParsedArgs(const std::vector<std::string>& args, const std::vector<OptionSpec>& specs);

  bool Has(const std::string& name) const { return values_.count(name) != 0; }
  std::optional<std::string> Get(const std::string& name) const;
  std::vector<std::string> All(const std::string& name) const;
  const std::vector<std::string>& Positional() const { return positional_; }
  // Exactly n positional arguments, named for the message when missing.
  void ExpectPositional(const std::vector<const char*>& names) const;

 private:
  std::map<std::string, std::vector<std::string>> values_;
  std::vector<std::string> positional_;
};

// Numbers on the command line: decimal or 0x-prefixed hexadecimal.
uint32_t ParseU32(const std::string& text, const std::string& what);
uint64_t ParseU64(const std::string& text, const std::string& what);
// "A:B:C" with between minFields and maxFields numbers.
std::vector<uint32_t> ParseFields(const std::string& text, size_t minFields, size_t maxFields,
                                  const std::string& what, const std::string& form);
std::vector<uint32_t> ParseList(const std::string& text, const std::string& what);  // "N,N,..."

// Opens the DIR|IMAGE argument of inspect, extract and verify; --chip applies
// to bare images.
NandImage OpenSource(const std::string& path, const ParsedArgs& args, bool writable);

// The boot area a subcommand works on: --area BLOCK:SECTORS when given,
// else the one the TOC names (with the device's checks). Throws nothing:
// *problem says why there is none.
bool ResolveArea(const NandImage& img, const ParsedArgs& args, BootArea* area, TocInfo* toc,
                 std::string* problem);

// JSON string literal of s (quoted, escaped).
std::string JsonString(const std::string& s);

std::string ReadWholeFile(const std::string& path);  // throws InputError

}  // namespace devsim

#endif
