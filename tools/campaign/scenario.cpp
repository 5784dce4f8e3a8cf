#include "tools/campaign/scenario.h"

#include "sim/keyval.h"

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
    {Outcome::kFinished, "finished"}, {Outcome::kError, "error"},          {Outcome::kRefused, "refused"},
    {Outcome::kSilent, "silent"},     {Outcome::kPowerLost, "power-lost"}, {Outcome::kKilled, "killed"},
    {Outcome::kHung, "hung"},         {Outcome::kNotRun, "not-run"}};

// The kinds of scenario, and the keys a scenario has besides those of nand.cfg.
const char* const kKinds[] = {"load", "power-loss", "kill", "fault", "bad-input", "delivery"};
const char* const kScenarioKeys[] = {
    "kind", "image", "updater", "navorin", "program", "answer", "timeout", "old_image",
    "camera_dies_after_ops", "kill_after_ops", "sweep", "sweep.sample", "expect.outcome", "expect.message",
    "expect.flash", "expect.card", "expect.sysdrv", "expect.verified", "expect.recovery", "expect.abandoned",
    "create.chip", "create.toc_block", "create.boot_block", "create.boot_sectors", "create.bad_blocks",
    "create.fill", "create.no_toc"};

bool ParseBool(const std::string& v, bool* out) {
  if (v == "yes" || v == "1" || v == "true") {
    *out = true;
    return true;
  }
  if (v == "no" || v == "0" || v == "false") {
    *out = false;
    return true;
  }
  return false;
}

std::vector<std::string> SplitList(const std::string& v) {
  std::vector<std::string> out;
  std::stringstream ss(v);
  std::string item;
  while (std::getline(ss, item, ',')) {
    item = sim::TrimBlanks(item);
    if (!item.empty()) out.push_back(item);
  }
  return out;
}

// create.KEY: the options of "devsim create" as keys.
std::string ApplyCreateKey(DeviceRecipe* recipe, const std::string& key, const std::string& v) {
  bool b = false;
  try {
    if (key == "create.chip")
      recipe->chip = ParseChip(v);
    else if (key == "create.toc_block")
      recipe->tocBlock = ParseU32(v, key);
    else if (key == "create.boot_block")
      recipe->area.firstBlock = ParseU32(v, key);
    else if (key == "create.boot_sectors")
      recipe->area.sectorCount = ParseU32(v, key);
    else if (key == "create.bad_blocks")
      recipe->badBlocks = ParseList(v, key);
    else if (key == "create.fill" || key == "create.no_toc") {
      if (!ParseBool(v, &b)) return key + " wants yes or no";
      if (key == "create.fill")
        recipe->fill = b;
      else
        recipe->toc = !b;
    } else {
      return "unknown key \"" + key + "\"";
    }
  } catch (const UsageError& e) {
    return e.what();
  }
  return "";
}

// A nand.cfg key: a setting of the device, or one of its faults.
std::string ApplyDeviceKey(Scenario* s, const std::string& key, const std::string& v) {
  // The chip and its factory bad blocks are made with the flash, not set after.
  if (key == "maker" || key == "device") return key + " is the chip's: give it with create.chip";
  if (key == "bad_blocks") return "bad_blocks are marked on the flash as it is made: give them with create.bad_blocks";
  const bool fault = key.compare(0, 6, "fault.") == 0;
  sim::NandConfig scratch;
  sim::KeyStatus status = sim::ApplyNandConfigKey(key, v, fault ? &s->faults : &scratch);
  if (status == sim::KeyStatus::kUnknown) {
    // The keys of a scenario are its own and those of nand.cfg.
    std::vector<std::string> known = sim::NandConfigKeys();
    known.insert(known.end(), std::begin(kScenarioKeys), std::end(kScenarioKeys));
    return "unknown key \"" + key + "\" (nearest: " + sim::NearestKey(key, known) + ")";
  }
  if (status != sim::KeyStatus::kApplied) return sim::DescribeKeyStatus(key, status);
  if (!fault) s->settings.emplace_back(key, v);
  return "";
}

// One key of a scenario. Empty string: done; else what is wrong.
std::string ApplyKey(Scenario* s, const std::string& key, const std::string& v) {
  bool b = false;
  uint64_t n = 0;
  if (key == "kind") {
    if (std::find(std::begin(kKinds), std::end(kKinds), v) == std::end(kKinds)) return "unknown kind \"" + v + "\"";
    s->kind = v;
  } else if (key.compare(0, 7, "create.") == 0) {
    return ApplyCreateKey(&s->create, key, v);
  } else if (key == "image") {
    if (v == "none")
      s->image = ImageSize::kNone;
    else if (v == "area")
      s->image = ImageSize::kArea;
    else if (v == "area+1")
      s->image = ImageSize::kAreaPlusOne;
    else if (v == "area-1")
      s->image = ImageSize::kAreaMinusOne;
    else if (sim::ParseNumber(v, &n)) {
      s->image = ImageSize::kBytes;
      s->imageBytes = n;
    } else
      return "image wants none, a byte count, area, area+1 or area-1";
  } else if (key == "updater" || key == "navorin" || key == "expect.verified" || key == "expect.recovery" ||
             key == "expect.abandoned") {
    if (!ParseBool(v, &b)) return key + " wants yes or no";
    if (key == "updater")
      s->updater = b;
    else if (key == "navorin")
      s->navorin = b;
    else if (key == "expect.verified")
      s->expect.verified = b;
    else if (key == "expect.recovery")
      s->expect.recovery = b;
    else
      s->expect.abandoned = b;
  } else if (key == "program") {
    if (v != "kestrel" && v != "tollgate") return "program wants kestrel or tollgate";
    s->program = v;
  } else if (key == "answer") {
    if (v != "ok" && v != "cancel" && v != "none") return "answer wants ok, cancel or none";
    s->answer = v;
  } else if (key == "timeout") {
    if (!sim::ParseNumber(v, &n) || n == 0) return "timeout wants a number of seconds";
    s->timeoutSeconds = double(n);
  } else if (key == "old_image") {
    if (!sim::ParseNumber(v, &n)) return "old_image wants a byte count";
    s->oldImageBytes = n;
  } else if (key == "camera_dies_after_ops") {
    if (!sim::ParseNumber(v, &n) || n > uint64_t(INT64_MAX)) return "camera_dies_after_ops wants a number";
    s->cameraDiesAfterOps = int64_t(n);
  } else if (key == "kill_after_ops") {
    if (!sim::ParseNumber(v, &n) || n > uint64_t(INT64_MAX)) return "kill_after_ops wants a number";
    s->killAfterOps = int64_t(n);
  } else if (key == "sweep") {
    if (v != "power-loss") return "sweep wants power-loss";
    s->powerLossSweep = true;
  } else if (key == "sweep.sample") {
    uint32_t points = 0;
    if (!sim::ParseNumber(v, &points) || points == 0) return "sweep.sample wants a positive number of 32 bits";
    s->sweepSample = points;
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
    return ApplyDeviceKey(s, key, v);
  }
  return "";
}

}  // namespace

std::vector<std::string> ScenarioKeys() {
  return std::vector<std::string>(std::begin(kScenarioKeys), std::end(kScenarioKeys));
}
std::vector<std::string> ScenarioKinds() { return std::vector<std::string>(std::begin(kKinds), std::end(kKinds)); }

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

bool ParseScenarios(const std::string& text, const std::string& file, std::vector<Scenario>* out, std::string* error) {
  // The keys of [defaults], and a scenario they have been applied to: a key
  // is checked there with those before it (so that faults count together).
  std::vector<std::pair<std::string, std::string>> defaults;
  Scenario defaultsProbe;
  Scenario* current = nullptr;
  bool inDefaults = false;
  for (const sim::KeyValueLine& l : sim::SplitKeyValueLines(text)) {
    auto fail = [&](const std::string& why) {
      *error = file + ":" + std::to_string(l.number) + ": " + why;
      return false;
    };
    if (l.kind == sim::KeyValueLine::kMalformed) return fail(l.problem);
    if (l.kind == sim::KeyValueLine::kSection) {
      const std::string& name = l.key;
      if (name == "defaults") {
        inDefaults = true;
        defaults.clear();
        defaultsProbe = Scenario();
        current = nullptr;
        continue;
      }
      for (const Scenario& s : *out)
        if (s.name == name)
          return fail("scenario \"" + name + "\" already defined at " + s.file + ":" + std::to_string(s.line));
      inDefaults = false;
      out->emplace_back();
      current = &out->back();
      for (const auto& kv : defaults) ApplyKey(current, kv.first, kv.second);
      current->name = name;
      current->file = file;
      current->line = l.number;
      continue;
    }
    if (inDefaults) {
      std::string why = ApplyKey(&defaultsProbe, l.key, l.value);
      if (!why.empty()) return fail(why);
      defaults.emplace_back(l.key, l.value);
      continue;
    }
    if (!current) return fail("a key before the first [scenario]");
    std::string why = ApplyKey(current, l.key, l.value);
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
    case ImageSize::kNone:
      return std::nullopt;
    case ImageSize::kBytes:
      return s.imageBytes;
    case ImageSize::kArea:
      return area;
    case ImageSize::kAreaPlusOne:
      return area + 1;
    case ImageSize::kAreaMinusOne:
      return area ? area - 1 : 0;
  }
  return std::nullopt;
}

}  // namespace devsim
