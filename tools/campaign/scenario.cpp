#include "tools/campaign/scenario.h"

#include <dirent.h>

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <map>
#include <sstream>

namespace devsim {
namespace {

struct OutcomeNameEntry {
  Outcome outcome;
  const char* name;
};
const OutcomeNameEntry kOutcomeNames[] = {
    {Outcome::kFinished, "finished"},   {Outcome::kError, "error"},   {Outcome::kRefused, "refused"},
    {Outcome::kSilent, "silent"},       {Outcome::kPowerLost, "power-lost"},
    {Outcome::kKilled, "killed"},       {Outcome::kHung, "hung"},     {Outcome::kNotRun, "not-run"}};

std::string Trim(const std::string& s) {
  size_t b = s.find_first_not_of(" \t\r");
  if (b == std::string::npos) return "";
  size_t e = s.find_last_not_of(" \t\r");
  return s.substr(b, e - b + 1);
}

// A value in double quotes keeps its blanks and may hold \n, \r, \" and \\.
std::string Unquote(const std::string& v) {
  if (v.size() < 2 || v.front() != '"' || v.back() != '"') return v;
  std::string out;
  for (size_t i = 1; i + 1 < v.size(); ++i) {
    char c = v[i];
    if (c == '\\' && i + 2 < v.size()) {
      char e = v[++i];
      out += e == 'n' ? '\n' : e == 'r' ? '\r' : e;
    } else {
      out += c;
    }
  }
  return out;
}

bool ParseBool(const std::string& v, bool* out) {
  if (v == "yes" || v == "1" || v == "true") { *out = true; return true; }
  if (v == "no" || v == "0" || v == "false") { *out = false; return true; }
  return false;
}

bool ParseNumber(const std::string& v, uint64_t* out) {
  if (v.empty()) return false;
  char* end = nullptr;
  unsigned long long n = strtoull(v.c_str(), &end, 0);
  if (*end) return false;
  *out = n;
  return true;
}

std::vector<std::string> SplitList(const std::string& v) {
  std::vector<std::string> out;
  std::stringstream ss(v);
  std::string item;
  while (std::getline(ss, item, ',')) {
    item = Trim(item);
    if (!item.empty()) out.push_back(item);
  }
  return out;
}

// One key of a scenario. Empty string: done; else what is wrong.
std::string ApplyKey(Scenario* s, const std::string& key, const std::string& v) {
  bool b = false;
  uint64_t n = 0;
  if (key == "kind") {
    static const char* kKinds[] = {"load", "power-loss", "kill", "fault", "bad-input", "delivery"};
    if (std::find(std::begin(kKinds), std::end(kKinds), v) == std::end(kKinds)) return "unknown kind \"" + v + "\"";
    s->kind = v;
  } else if (key == "create") {
    s->create = v;
  } else if (key.compare(0, 4, "cfg.") == 0) {
    s->cfgLines.push_back(key.substr(4) + " = " + v);
  } else if (key == "fault") {
    s->faults.push_back(v);
  } else if (key == "image") {
    if (v == "none") s->image = ImageSize::kNone;
    else if (v == "area") s->image = ImageSize::kArea;
    else if (v == "area+1") s->image = ImageSize::kAreaPlusOne;
    else if (v == "area-1") s->image = ImageSize::kAreaMinusOne;
    else if (ParseNumber(v, &n)) { s->image = ImageSize::kBytes; s->imageBytes = n; }
    else return "image wants none, a byte count, area, area+1 or area-1";
  } else if (key == "updater" || key == "navorin" || key == "expect.verified" ||
             key == "expect.recovery" || key == "expect.abandoned") {
    if (!ParseBool(v, &b)) return key + " wants yes or no";
    if (key == "updater") s->updater = b;
    else if (key == "navorin") s->navorin = b;
    else if (key == "expect.verified") s->expect.verified = b;
    else if (key == "expect.recovery") s->expect.recovery = b;
    else s->expect.abandoned = b;
  } else if (key == "program") {
    if (v != "kestrel" && v != "tollgate") return "program wants kestrel or tollgate";
    s->program = v;
  } else if (key == "answer") {
    if (v != "ok" && v != "cancel" && v != "none") return "answer wants ok, cancel or none";
    s->answer = v;
  } else if (key == "timeout") {
    if (!ParseNumber(v, &n) || n == 0) return "timeout wants a number of seconds";
    s->timeoutSeconds = double(n);
  } else if (key == "old_image") {
    if (!ParseNumber(v, &n)) return "old_image wants a byte count";
    s->oldImageBytes = n;
  } else if (key == "camera_dies_after_ops") {
    if (!ParseNumber(v, &n)) return "camera_dies_after_ops wants a number";
    s->cameraDiesAfterOps = int64_t(n);
  } else if (key == "kill_after_ops") {
    if (!ParseNumber(v, &n)) return "kill_after_ops wants a number";
    s->killAfterOps = int64_t(n);
  } else if (key == "sweep") {
    if (v != "power-loss") return "sweep wants power-loss";
    s->powerLossSweep = true;
  } else if (key == "sweep.sample") {
    if (!ParseNumber(v, &n) || n == 0) return "sweep.sample wants a positive number";
    s->sweepSample = unsigned(n);
  } else if (key == "expect.outcome") {
    if (!ParseOutcome(v, &s->expect.outcome)) return "unknown outcome \"" + v + "\"";
  } else if (key == "expect.message") {
    s->expect.message = v == "none" ? std::string() : v;
  } else if (key == "expect.flash") {
    if (v != "unchanged" && v != "outside-area") return "expect.flash wants unchanged or outside-area";
    s->expect.flashUnchanged = v == "unchanged";
  } else if (key == "expect.card") {
    s->expect.card = SplitList(v);
  } else if (key == "expect.sysdrv") {
    if (v != "clean" && v != "continues") return "expect.sysdrv wants clean or continues";
    s->expect.sysdrvReports = true;
    s->expect.sysdrvClean = v == "clean";
  } else {
    return "unknown key \"" + key + "\"";
  }
  return "";
}

}  // namespace

const char* OutcomeName(Outcome o) {
  for (const auto& e : kOutcomeNames)
    if (e.outcome == o) return e.name;
  return "?";
}

bool ParseOutcome(const std::string& s, Outcome* o) {
  for (const auto& e : kOutcomeNames) {
    if (s == e.name) {
      *o = e.outcome;
      return true;
    }
  }
  return false;
}

bool ParseScenarios(const std::string& text, const std::string& file, std::vector<Scenario>* out,
                    std::string* error) {
  std::vector<std::pair<std::string, std::string>> defaults;
  Scenario* current = nullptr;
  bool inDefaults = false;
  std::istringstream lines(text);
  std::string line;
  int number = 0;
  auto fail = [&](const std::string& why) {
    *error = file + ":" + std::to_string(number) + ": " + why;
    return false;
  };
  while (std::getline(lines, line)) {
    ++number;
    // A '#' starts a comment only at the start of a line or after a blank, so
    // that messages and options may hold one.
    size_t hash = line.find('#');
    while (hash != std::string::npos && hash > 0 && line[hash - 1] != ' ' && line[hash - 1] != '\t')
      hash = line.find('#', hash + 1);
    if (hash != std::string::npos) line = line.substr(0, hash);
    line = Trim(line);
    if (line.empty()) continue;
    if (line.front() == '[') {
      if (line.back() != ']') return fail("a section name ends with ']'");
      std::string name = Trim(line.substr(1, line.size() - 2));
      if (name.empty()) return fail("empty section name");
      if (name == "defaults") {
        inDefaults = true;
        defaults.clear();
        current = nullptr;
        continue;
      }
      for (const Scenario& s : *out)
        if (s.name == name) return fail("scenario \"" + name + "\" already defined at " + s.file + ":" + std::to_string(s.line));
      inDefaults = false;
      out->emplace_back();
      current = &out->back();
      current->name = name;
      current->file = file;
      current->line = number;
      for (const auto& kv : defaults) ApplyKey(current, kv.first, kv.second);
      continue;
    }
    size_t eq = line.find('=');
    if (eq == std::string::npos) return fail("expected KEY = VALUE");
    std::string key = Trim(line.substr(0, eq)), value = Unquote(Trim(line.substr(eq + 1)));
    if (inDefaults) {
      Scenario probe;
      std::string why = ApplyKey(&probe, key, value);
      if (!why.empty()) return fail(why);
      defaults.emplace_back(key, value);
      continue;
    }
    if (!current) return fail("a key before the first [scenario]");
    std::string why = ApplyKey(current, key, value);
    if (!why.empty()) return fail(why);
  }
  return true;
}

bool LoadScenarioFolder(const std::string& dir, std::vector<Scenario>* out, std::string* error) {
  DIR* d = opendir(dir.c_str());
  if (!d) {
    *error = dir + ": cannot open the scenario folder";
    return false;
  }
  std::vector<std::string> names;
  while (dirent* e = readdir(d)) {
    std::string n = e->d_name;
    if (n.size() > 4 && n.compare(n.size() - 4, 4, ".scn") == 0) names.push_back(n);
  }
  closedir(d);
  std::sort(names.begin(), names.end());
  if (names.empty()) {
    *error = dir + ": no .scn files";
    return false;
  }
  for (const std::string& n : names) {
    std::ifstream f(dir + "/" + n);
    std::stringstream ss;
    ss << f.rdbuf();
    if (!f && !f.eof()) {
      *error = dir + "/" + n + ": cannot read";
      return false;
    }
    if (!ParseScenarios(ss.str(), n, out, error)) return false;
  }
  return true;
}

std::optional<uint64_t> CardImageBytes(const Scenario& s, uint32_t areaSectors) {
  uint64_t area = uint64_t(areaSectors) * 512;
  switch (s.image) {
    case ImageSize::kNone: return std::nullopt;
    case ImageSize::kBytes: return s.imageBytes;
    case ImageSize::kArea: return area;
    case ImageSize::kAreaPlusOne: return area + 1;
    case ImageSize::kAreaMinusOne: return area ? area - 1 : 0;
  }
  return std::nullopt;
}

}  // namespace devsim
