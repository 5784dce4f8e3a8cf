#include "tools/devsim/command.h"

#include <CLI/CLI.hpp>

#include "sim/keyval.h"

namespace devsim {

namespace {

// CLI11 ends a subcommand's arguments at a bare "++"; devsim has no such word
// and takes it as an argument like any other. Such a word goes to CLI11 with
// one more '\x1f' and comes back without it (every word of "++" and '\x1f's
// gains one, so none is mistaken for another).
bool IsPlusWord(const std::string& s, size_t marks) {
  if (s.size() < 2 + marks || s.compare(0, 2, "++") != 0) return false;
  return s.find_first_not_of('\x1f', 2) == std::string::npos;
}
std::string Hide(const std::string& s) { return IsPlusWord(s, 0) ? s + '\x1f' : s; }
std::string Unhide(const std::string& s) { return IsPlusWord(s, 1) ? s.substr(0, s.size() - 1) : s; }

// CLI11 hands "--" to the parent App once a subcommand's positionals are
// full, which would make what follows the tool's arguments rather than the
// command's. The hidden positional that takes the arguments beyond those
// declared is never full, so "--" stays with the command.
constexpr int kNeverFull = CLI::detail::expected_max_vector_size - 1;

}  // namespace

struct CommandLine::Impl {
  CLI::App* app;
  CLI::Option* rest = nullptr;  // the arguments beyond the declared positionals
  // An option or positional and the place its value goes.
  struct Bound {
    Bound(CLI::Option* o, std::string* out) : option(o), text(out) {}
    Bound(CLI::Option* o, std::optional<std::string>* out) : option(o), value(out) {}
    Bound(CLI::Option* o, std::vector<std::string>* out) : option(o), repeated(out) {}
    Bound(CLI::Option* o, bool* out) : option(o), flag(out) {}
    CLI::Option* option;
    std::string* text = nullptr;  // a positional, a needed value
    std::optional<std::string>* value = nullptr;
    std::vector<std::string>* repeated = nullptr;
    bool* flag = nullptr;
  };
  std::vector<Bound> positionals;
  std::vector<Bound> options;

  void ReadExtras() const;
  void ReadOptions() const;
  void ReadPositionals() const;
  void ReadNeeded() const;
  UsageError InToolWords(const CLI::ParseError& e) const;
};

CommandLine::CommandLine(CLI::App* app) : impl_(new Impl) {
  impl_->app = app;
  app->allow_extras();  // unknown options are reported in the tool's words (ReadExtras)
  app->footer("");      // not the tool's, which CLI11 hands down to its subcommands
}

CommandLine::~CommandLine() = default;

void CommandLine::Describe(const std::string& summary, const std::string& prose) {
  if (summary.find('\n') != std::string::npos) throw std::logic_error("a summary is one line: " + summary);
  // The summary is the description's first line (help_format.h).
  impl_->app->description(prose.empty() ? summary : summary + "\n" + prose);
}

void CommandLine::Footer(const std::string& prose) { impl_->app->footer(prose); }

void CommandLine::Positional(const std::string& name, const std::string& description, std::string* value) {
  impl_->positionals.emplace_back(impl_->app->add_option(name)->description(description)->expected(1), value);
}

// An option given twice is kept twice (TakeLast keeps every result, reading
// only the last), so that a second --chip is seen and refused rather than
// silently winning; TakeAll marks the options that may repeat.
void CommandLine::Value(const std::string& name, const std::string& value, const std::string& description,
                        std::optional<std::string>* out) {
  CLI::Option* o = impl_->app->add_option(name)->description(description)->type_name(value)->expected(1);
  impl_->options.emplace_back(o->multi_option_policy(CLI::MultiOptionPolicy::TakeLast), out);
}

// CLI11 would refuse a missing one while it reads, before the mistakes the
// tool names first; the option is marked required for the help, and its
// absence reported by ReadNeeded.
void CommandLine::NeededValue(const std::string& name, const std::string& value, const std::string& description,
                              std::string* out) {
  CLI::Option* o = impl_->app->add_option(name)->description(description)->type_name(value)->expected(1)->required();
  impl_->options.emplace_back(o->multi_option_policy(CLI::MultiOptionPolicy::TakeLast), out);
}

void CommandLine::OptionalValue(const std::string& name, const std::string& value, const std::string& description,
                                std::optional<std::string>* out) {
  CLI::Option* o = impl_->app->add_option(name)->description(description)->type_name(value)->expected(0, 1);
  impl_->options.emplace_back(o->multi_option_policy(CLI::MultiOptionPolicy::TakeLast), out);
}

void CommandLine::Repeated(const std::string& name, const std::string& value, const std::string& description,
                           std::vector<std::string>* out) {
  CLI::Option* o = impl_->app->add_option(name)->description(description)->type_name(value)->expected(1);
  impl_->options.emplace_back(o->multi_option_policy(CLI::MultiOptionPolicy::TakeAll), out);
}

void CommandLine::Flag(const std::string& name, const std::string& description, bool* given) {
  impl_->options.emplace_back(impl_->app->add_flag(name)->description(description)->disable_flag_override(), given);
}

// A long option typed one or two letters wrong ("--read-flp") is named with
// the one meant; a guess at anything further off, or at a short option, would
// mislead more often than help.
static std::string NearestOption(const CLI::App& app, const std::string& typed) {
  if (typed.compare(0, 2, "--") != 0 || typed.size() < 5) return "";
  std::vector<std::string> names;
  for (const CLI::Option* o : app.get_options())
    for (const std::string& n : o->get_lnames()) names.push_back("--" + n);
  size_t distance = 0;
  std::string nearest = sim::NearestKey(typed, names, &distance);
  return distance <= 2 && !nearest.empty() ? " (nearest: " + nearest + ")" : "";
}

void CommandLine::Impl::ReadExtras() const {
  for (const std::string& extra : app->remaining()) {
    if (extra == "--") continue;  // the end of the options, itself kept by CLI11
    const std::string typed = Unhide(extra.substr(0, extra.find('=')));
    throw UsageError("unknown option " + typed + NearestOption(*app, typed));
  }
}

void CommandLine::Impl::ReadOptions() const {
  for (const Bound& b : options) {
    const CLI::Option& o = *b.option;
    if (b.flag) {
      *b.flag = o.count() > 0;
    } else if (b.repeated) {
      b.repeated->clear();
      for (const std::string& v : o.results()) b.repeated->push_back(Unhide(v));
    } else if (o.count() > 1) {
      throw UsageError(o.get_name() + " given twice");
    } else if (o.count() == 1) {
      // Given bare, an optional value reads as "" (a value of nothing).
      const std::string v = o.results().empty() ? std::string() : Unhide(o.results().front());
      if (b.value) *b.value = v;
      if (b.text) *b.text = v;
    }
  }
}

void CommandLine::Impl::ReadPositionals() const {
  for (const Bound& b : positionals) {
    if (b.option->count() == 0) throw UsageError("missing " + b.option->get_name(true, false));
    *b.text = Unhide(b.option->results().front());
  }
  if (rest->count() > 0) throw UsageError("unexpected argument '" + Unhide(rest->results().front()) + "'");
}

void CommandLine::Impl::ReadNeeded() const {
  for (const Bound& b : options)
    if (b.option->get_required() && b.option->count() == 0)
      throw UsageError("missing " + b.option->get_name() + " " + b.option->get_type_name());
}

// CLI11 words a missing value as "--chip: 1 required MM:DD missing" and a
// flag given a value as "json was given a disallowed flag override".
UsageError CommandLine::Impl::InToolWords(const CLI::ParseError& e) const {
  const std::string m = e.what();
  const size_t override = m.find(" was given a disallowed flag override");
  if (override != std::string::npos) {
    const std::string bare = m.substr(0, override);
    for (const Bound& b : options)
      if (b.flag && (b.option->check_lname(bare) || b.option->check_sname(bare)))
        return UsageError(b.option->get_name() + " takes no value");
    return UsageError(bare + " takes no value");
  }
  const size_t colon = m.find(": ");
  if (colon != std::string::npos && m.find(" required ", colon) != std::string::npos && m.size() > 8 &&
      m.compare(m.size() - 8, 8, " missing") == 0)
    return UsageError(m.substr(0, colon) + " needs a value");
  return UsageError(m);
}

void CommandLine::Parse(CLI::App& tool, const std::vector<std::string>& args) {
  if (!impl_->rest) {
    impl_->rest = impl_->app->add_option("rest")->expected(kNeverFull)->group("");  // no group: not in the help
    impl_->rest->multi_option_policy(CLI::MultiOptionPolicy::TakeAll);
  }
  std::vector<std::string> reversed;  // CLI11 takes them last first
  for (auto a = args.rbegin(); a != args.rend(); ++a) reversed.push_back(Hide(*a));
  try {
    tool.parse(reversed);
  } catch (const CLI::RequiredError&) {
    // Reported by ReadNeeded, after the other mistakes.
  } catch (const CLI::ParseError& e) {
    throw impl_->InToolWords(e);
  }
  impl_->ReadExtras();
  impl_->ReadOptions();
  impl_->ReadPositionals();
  impl_->ReadNeeded();
}

}  // namespace devsim
