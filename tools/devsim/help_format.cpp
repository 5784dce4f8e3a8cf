#include "tools/devsim/help_format.h"

#include <algorithm>
#include <utility>
#include <vector>

namespace devsim {

namespace {

constexpr size_t kMaxColumn = 32;  // a longer head gets a line of its own

using Rows = std::vector<std::pair<std::string, std::string>>;

// Words laid out in lines of at most `width` characters, the first line
// starting with `first`, the others with `indent`.
std::string Wrap(const std::vector<std::string>& words, size_t width, const std::string& first,
                 const std::string& indent) {
  std::string out, line = first;
  bool fresh = true;  // no word on the line yet
  for (const std::string& w : words) {
    if (!fresh && line.size() + 1 + w.size() > width) {
      out += line + "\n";
      line = indent;
      fresh = true;
    }
    line += (fresh ? "" : " ") + w;
    fresh = false;
  }
  return out + line;
}

std::vector<std::string> Words(const std::string& text) {
  std::vector<std::string> words;
  size_t start = 0;
  while ((start = text.find_first_not_of(" \n", start)) != std::string::npos) {
    const size_t end = text.find_first_of(" \n", start);
    words.push_back(text.substr(start, end - start));
    start = end;
  }
  return words;
}

// "  HEAD   description" rows, the descriptions in one column.
std::string List(const std::string& heading, const Rows& rows) {
  size_t column = 0;
  for (const auto& row : rows) column = std::max(column, row.first.size() + 4);
  column = std::min(column, kMaxColumn);
  const std::string pad(column, ' ');
  std::string out = heading + ":\n";
  for (const auto& [head, description] : rows) {
    std::string line = "  " + head;
    if (line.size() + 2 > column) {
      out += line + "\n";
      line.clear();
    }
    line += std::string(column - line.size(), ' ');
    out += Wrap(Words(description), HelpFormatter::kWidth, line, pad) + "\n";
  }
  return out;
}

bool Shown(const CLI::Option* o) { return !o->get_group().empty(); }
bool IsPositional(const CLI::Option* o) { return o->get_positional() && !o->nonpositional(); }

// How an option is written in the usage line and the option list.
std::string Spelled(const CLI::Option& o) {
  if (IsPositional(&o)) return o.get_name(true, false);
  const std::string value = o.get_expected_max() == 0   ? ""
                            : o.get_expected_min() == 0 ? " [" + o.get_type_name() + "]"
                                                        : " " + o.get_type_name();
  return o.get_name() + value;
}

std::string InUsage(const CLI::Option& o) {
  if (IsPositional(&o) || o.get_required()) return Spelled(o);
  return "[" + Spelled(o) + "]" + (o.get_multi_option_policy() == CLI::MultiOptionPolicy::TakeAll ? "..." : "");
}

// The description's first line is the summary; the rest, prose.
std::pair<std::string, std::string> SummaryAndProse(const CLI::App& app) {
  const std::string& d = app.get_description();
  const size_t nl = d.find('\n');
  return nl == std::string::npos ? std::make_pair(d, std::string()) : std::make_pair(d.substr(0, nl), d.substr(nl + 1));
}

// Paragraphs with an empty line between them, the empty ones left out.
std::string Paragraphs(const std::vector<std::string>& parts) {
  std::string out;
  for (std::string p : parts) {
    if (p.empty()) continue;
    if (p.back() != '\n') p += '\n';
    out += (out.empty() ? "" : "\n") + p;
  }
  return out;
}

}  // namespace

std::string HelpFormatter::make_help(const CLI::App* app, std::string, CLI::AppFormatMode) const {
  return app->get_parent() ? CommandHelp(*app) : ToolHelp(*app);
}

std::string HelpFormatter::ToolHelp(const CLI::App& tool) const {
  const std::string& name = tool.get_name();
  const auto [summary, prose] = SummaryAndProse(tool);
  const std::string indent(7, ' ');  // under the command line after "usage: "
  const std::string usage = "usage: " + name + " COMMAND [ARGS...]\n" + indent + name + " COMMAND --help\n" + indent +
                            name + " help [COMMAND]\n" + indent + name + " --version";
  size_t width = 0;
  for (const CLI::App* c : tool.get_subcommands({})) width = std::max(width, c->get_name().size());
  std::string commands = "commands:\n";
  for (const CLI::App* c : tool.get_subcommands({})) {
    const std::string head = "  " + c->get_name() + std::string(width + 2 - c->get_name().size(), ' ');
    commands += head + SummaryAndProse(*c).first + "\n";
  }
  return Paragraphs({name + " - " + summary, usage, prose, commands, tool.get_footer()});
}

std::string HelpFormatter::CommandHelp(const CLI::App& command) const {
  const std::string name = command.get_parent()->get_name() + " " + command.get_name();
  std::vector<std::string> words, optionWords;  // the positionals first, as a command line is mostly written
  Rows arguments, options;
  for (const CLI::Option* o : command.get_options(Shown)) {
    (IsPositional(o) ? words : optionWords).push_back(InUsage(*o));
    (IsPositional(o) ? arguments : options).emplace_back(Spelled(*o), o->get_description());
  }
  words.insert(words.end(), optionWords.begin(), optionWords.end());
  const std::string usage = Wrap(words, kWidth, "usage: " + name + " ", std::string(name.size() + 8, ' '));
  const auto [summary, prose] = SummaryAndProse(command);
  return Paragraphs({usage, name + " - " + summary, prose, arguments.empty() ? "" : List("arguments", arguments),
                     options.empty() ? "" : List("options", options), command.get_footer()});
}

}  // namespace devsim
