#include "tools/devsim/shell_docs.h"

#include <CLI/CLI.hpp>
#include <algorithm>
#include <stdexcept>
#include <vector>

#include "tools/devsim/tool.h"

namespace devsim {

namespace {

bool IsPositional(const CLI::Option* o) { return o->get_positional() && !o->nonpositional(); }
bool Shown(const CLI::Option* o) { return !o->get_group().empty() && !IsPositional(o); }

// The script quotes nothing: every word it lists is held to these characters.
const std::string& ShellWord(const std::string& word) {
  if (word.empty() || word.find_first_not_of("abcdefghijklmnopqrstuvwxyz0123456789-") != std::string::npos)
    throw std::logic_error("not a plain word for the completion script: " + word);
  return word;
}

std::string Joined(const std::vector<std::string>& words) {
  std::string out;
  for (const std::string& w : words) out += (out.empty() ? "" : " ") + ShellWord(w);
  return out;
}

// A value name of lower-case words between bars lists the values themselves.
std::vector<std::string> ValueWords(const std::string& typeName) {
  std::vector<std::string> words;
  if (typeName.find('|') == std::string::npos ||
      typeName.find_first_of("ABCDEFGHIJKLMNOPQRSTUVWXYZ.") != std::string::npos)
    return words;
  size_t start = 0;
  for (size_t bar; (bar = typeName.find('|', start)) != std::string::npos; start = bar + 1)
    words.push_back(typeName.substr(start, bar - start));
  words.push_back(typeName.substr(start));
  return words;
}

bool NamesAPath(const std::string& typeName) {
  for (const char* path : {"FILE", "DIR", "DUMP"})
    if (typeName.find(path) != std::string::npos) return true;
  return false;
}

// The branch of one command: what follows an option that needs its value, and
// the command's options.
std::string CommandCase(const CLI::App& command) {
  std::vector<std::string> options;
  std::string values;
  for (const CLI::Option* o : command.get_options(Shown)) {
    const std::string name = o->get_name();
    options.push_back(name);
    if (o->get_expected_min() == 0) continue;  // a flag, or a value that may be left out
    const std::vector<std::string> words = ValueWords(o->get_type_name());
    const std::string reply = !words.empty()                   ? "$(compgen -W '" + Joined(words) + "' -- \"$cur\")"
                              : NamesAPath(o->get_type_name()) ? "$(compgen -f -- \"$cur\")"
                                                               : "";
    values += "        " + ShellWord(name) + ") COMPREPLY=(" + reply + "); return ;;\n";
  }
  std::string out = "    " + ShellWord(command.get_name()) + ")\n";
  if (!values.empty()) out += "      case $prev in\n" + values + "      esac\n";
  return out + "      options='" + Joined(options) + "' ;;\n";
}

// Roff text shown as it stands: backslashes escaped, minus signs as the
// ASCII ones a reader types, no line taken for a request.
std::string Roff(const std::string& text) {
  std::string out;
  bool lineStart = true;
  for (char c : text) {
    if (lineStart && (c == '.' || c == '\'')) out += "\\&";
    if (c == '\\')
      out += "\\e";
    else if (c == '-')
      out += "\\-";
    else
      out += c;
    lineStart = c == '\n';
  }
  return out;
}

}  // namespace

std::string BashCompletion(const CLI::App& tool) {
  std::vector<std::string> commands;
  std::string cases;
  for (const CLI::App* c : tool.get_subcommands({})) {
    commands.push_back(c->get_name());
    cases += CommandCase(*c);
  }
  const std::string name = ShellWord(tool.get_name());
  return "# bash completion for " + name + ", made by '" + name +
         " --completion bash' from the declarations of its commands.\n"
         "_" +
         name +
         "() {\n"
         "  local cur=${COMP_WORDS[COMP_CWORD]} prev=${COMP_WORDS[COMP_CWORD-1]} options\n"
         "  COMPREPLY=()\n"
         "  if [ \"$COMP_CWORD\" -eq 1 ]; then\n"
         "    COMPREPLY=($(compgen -W '" +
         Joined(commands) +
         " help --help --version' -- \"$cur\"))\n"
         "    return\n"
         "  fi\n"
         "  case ${COMP_WORDS[1]} in\n"
         "    help)\n"
         "      [ \"$COMP_CWORD\" -eq 2 ] && COMPREPLY=($(compgen -W '" +
         Joined(commands) +
         "' -- \"$cur\"))\n"
         "      return ;;\n" +
         cases +
         "    *) return ;;\n"
         "  esac\n"
         "  if [[ $cur == -* ]]; then\n"
         "    COMPREPLY=($(compgen -W \"$options --help\" -- \"$cur\"))\n"
         "  else\n"
         "    COMPREPLY=($(compgen -f -- \"$cur\"))\n"
         "  fi\n"
         "}\n"
         "complete -o filenames -F _" +
         name + " " + name + "\n";
}

// The tool's help is paragraphs: "devsim - summary", the usage lines, the
// prose, the commands, the footer (help_format.h). The manual page takes each
// where its reader looks for it.
std::string ManPageSections(const Tool& tool) {
  const CLI::App& app = tool.App();
  std::vector<std::string> paragraphs;
  const std::string help = tool.Help();
  for (size_t start = 0, end; start < help.size(); start = end + 2) {
    end = help.find("\n\n", start);
    if (end == std::string::npos) end = help.size();
    paragraphs.push_back(help.substr(start, end - start));
  }
  if (paragraphs.size() < 3) throw std::logic_error("the tool's help has no usage lines");
  std::string out = "[NAME]\n" + Roff(paragraphs[0]) + "\n\n[SYNOPSIS]\n";
  std::string usage = paragraphs[1];
  usage.erase(0, usage.find(' ') + 1);  // "usage: "
  for (size_t start = 0, end; start < usage.size(); start = end + 1) {
    end = std::min(usage.find('\n', start), usage.size());
    const size_t first = usage.find_first_not_of(' ', start);
    out += Roff(usage.substr(first, end - first)) + "\n.br\n";
  }
  out += "\n[=DESCRIPTION]\n";
  for (size_t i = 2; i < paragraphs.size(); ++i) {
    if (paragraphs[i].compare(0, 9, "commands:") != 0) {
      out += Roff(paragraphs[i]) + "\n.PP\n";
      continue;
    }
    for (const CLI::App* c : app.get_subcommands({})) {
      const std::string& d = c->get_description();
      out += ".TP\n.B " + Roff(c->get_name()) + "\n" + Roff(d.substr(0, d.find('\n'))) + "\n";
    }
    out += ".PP\n";
  }
  out += "\n[COMMANDS]\n";
  for (const CLI::App* c : app.get_subcommands({})) {
    out += ".SS \"" + Roff(app.get_name() + " " + c->get_name()) + "\"\n";
    out += ".nf\n" + Roff(tool.CommandHelp(c->get_name())) + ".fi\n";
  }
  return out;
}

}  // namespace devsim
