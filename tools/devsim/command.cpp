#include "tools/devsim/command.h"

#include <CLI/CLI.hpp>

namespace devsim {

const Command* FindCommand(const std::string& name) {
  for (const Command* c : Commands())
    if (name == c->name) return c;
  return nullptr;
}

struct CommandLine::Impl {
  CLI::App app;
  struct Value {
    CLI::Option* option;
    std::optional<std::string>* out;
  };
  struct Repeated {
    CLI::Option* option;
    std::vector<std::string>* out;
  };
  struct Flag {
    CLI::Option* option;
    bool* out;
  };
  std::vector<Value> values;
  std::vector<Value> optionalValues;  // the value may be left out
  std::vector<Repeated> repeated;
  std::vector<Flag> flags;
  std::vector<std::string> positional;
  std::vector<const char*> positionalNames;
  std::vector<std::string>* positionalOut = nullptr;

  void ReadOptions() const;
  void ReadPositionals() const;
  UsageError InToolWords(const CLI::ParseError& e) const;
};

CommandLine::CommandLine() : impl_(new Impl) {
  CLI::App& app = impl_->app;
  app.set_help_flag();  // devsim's own help texts answer --help (main.cpp)
  app.allow_extras();   // unknown options are reported below, in the tool's words
  app.add_option("positional", impl_->positional);
}

CommandLine::~CommandLine() = default;

// Each option takes one value an occurrence and keeps every occurrence, so
// that a second --chip is seen (and refused) rather than silently winning.
void CommandLine::Value(const std::string& name, std::optional<std::string>* value) {
  CLI::Option* o = impl_->app.add_option(name)->expected(1)->multi_option_policy(CLI::MultiOptionPolicy::TakeAll);
  impl_->values.push_back({o, value});
}

// Given bare, the option reads as "" (a value of nothing).
void CommandLine::OptionalValue(const std::string& name, std::optional<std::string>* value) {
  CLI::Option* o = impl_->app.add_option(name)->expected(0, 1)->multi_option_policy(CLI::MultiOptionPolicy::TakeAll);
  impl_->optionalValues.push_back({o, value});
}

void CommandLine::Repeated(const std::string& name, std::vector<std::string>* values) {
  CLI::Option* o = impl_->app.add_option(name)->expected(1)->multi_option_policy(CLI::MultiOptionPolicy::TakeAll);
  impl_->repeated.push_back({o, values});
}

void CommandLine::Flag(const std::string& name, bool* given) {
  impl_->flags.push_back({impl_->app.add_flag(name)->disable_flag_override(), given});
}

void CommandLine::Positionals(const std::vector<const char*>& names, std::vector<std::string>* values) {
  impl_->positionalNames = names;
  impl_->positionalOut = values;
}

void CommandLine::Impl::ReadOptions() const {
  for (const Value& v : values) {
    const std::vector<std::string>& got = v.option->results();
    if (got.size() > 1) throw UsageError(v.option->get_name() + " given twice");
    if (!got.empty()) *v.out = got.front();
  }
  for (const Value& v : optionalValues) {
    if (v.option->count() > 1) throw UsageError(v.option->get_name() + " given twice");
    if (v.option->count() == 1) *v.out = v.option->results().empty() ? std::string() : v.option->results().front();
  }
  for (const Repeated& r : repeated) *r.out = r.option->results();
  for (const Flag& f : flags) *f.out = f.option->count() > 0;
}

void CommandLine::Impl::ReadPositionals() const {
  const std::vector<const char*>& names = positionalNames;
  if (positional.size() < names.size()) throw UsageError(std::string("missing ") + names[positional.size()]);
  if (positional.size() > names.size()) throw UsageError("unexpected argument '" + positional[names.size()] + "'");
  if (positionalOut) *positionalOut = positional;
}

// CLI11 words a missing value as "--chip: 1 required TEXT missing" and a flag
// given a value as "json was given a disallowed flag override".
UsageError CommandLine::Impl::InToolWords(const CLI::ParseError& e) const {
  const std::string m = e.what();
  const size_t override = m.find(" was given a disallowed flag override");
  if (override != std::string::npos) {
    const std::string bare = m.substr(0, override);
    for (const Flag& f : flags)
      if (f.option->check_lname(bare) || f.option->check_sname(bare))
        return UsageError(f.option->get_name() + " takes no value");
    return UsageError(bare + " takes no value");
  }
  const size_t colon = m.find(": ");
  if (colon != std::string::npos && m.find(" required ", colon) != std::string::npos && m.size() > 8 &&
      m.compare(m.size() - 8, 8, " missing") == 0)
    return UsageError(m.substr(0, colon) + " needs a value");
  return UsageError(m);
}

void CommandLine::Parse(const std::vector<std::string>& args) {
  std::vector<std::string> reversed(args.rbegin(), args.rend());  // CLI11 takes them last first
  try {
    impl_->app.parse(reversed);
  } catch (const CLI::ParseError& e) {
    throw impl_->InToolWords(e);
  }
  for (const std::string& extra : impl_->app.remaining()) {
    if (extra == "--") continue;  // the end of the options, itself kept by CLI11
    throw UsageError("unknown option " + extra.substr(0, extra.find('=')));
  }
  impl_->ReadOptions();
  impl_->ReadPositionals();
}

}  // namespace devsim
