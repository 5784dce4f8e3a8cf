#include "tools/devsim/command.h"
#include "tools/run/device_runner.h"

#include <sys/stat.h>

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>

namespace devsim {

const Command* FindCommand(const std::string& name) {
  for (const Command* c : Commands())
    if (name == c->name) return c;
  return nullptr;
}

ParsedArgs::ParsedArgs(const std::vector<std::string>& args, const std::vector<OptionSpec>& specs) {
  bool optionsEnded = false;
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string& a = args[i];
    if (optionsEnded || a.size() < 2 || a[0] != '-') {
      positional_.push_back(a);
      continue;
    }
    if (a == "--") {
      optionsEnded = true;
      continue;
    }
    std::string name = a, value;
    bool inlineValue = false;
    size_t eq = a.find('=');
    if (eq != std::string::npos) {
      name = a.substr(0, eq);
      value = a.substr(eq + 1);
      inlineValue = true;
    }
    const OptionSpec* option = nullptr;
    for (const OptionSpec& s : specs)
      if (name == s.name) option = &s;
    if (!option) throw UsageError("unknown option " + name);
    if (option->kind == OptionKind::kFlag) {
      if (inlineValue) throw UsageError(name + " takes no value");
      values_[name].push_back("");
      continue;
    }
    if (!inlineValue) {
      if (i + 1 >= args.size()) throw UsageError(name + " needs a value");
      value = args[++i];
    }
    if (option->kind == OptionKind::kValue && values_.count(name))
      throw UsageError(name + " given twice");
    values_[name].push_back(value);
  }
}

std::optional<std::string> ParsedArgs::Get(const std::string& name) const {
  auto it = values_.find(name);
  if (it == values_.end()) return std::nullopt;
  return it->second.back();
}

std::vector<std::string> ParsedArgs::All(const std::string& name) const {
  auto it = values_.find(name);
  return it == values_.end() ? std::vector<std::string>() : it->second;
}

void ParsedArgs::ExpectPositional(const std::vector<const char*>& names) const {
  if (positional_.size() < names.size()) throw UsageError(std::string("missing ") + names[positional_.size()]);
  if (positional_.size() > names.size()) throw UsageError("unexpected argument '" + positional_[names.size()] + "'");
}

uint64_t ParseU64(const std::string& text, const std::string& what) {
  const char* s = text.c_str();
  bool hex = text.size() > 2 && s[0] == '0' && (s[1] == 'x' || s[1] == 'X');
  const char* digits = hex ? s + 2 : s;
  bool ok = *digits != 0;
  for (const char* p = digits; *p && ok; ++p)
    ok = hex ? std::isxdigit(static_cast<unsigned char>(*p)) != 0 : (*p >= '0' && *p <= '9');
  errno = 0;
  char* end = nullptr;
  unsigned long long v = ok ? std::strtoull(digits, &end, hex ? 16 : 10) : 0;
  if (!ok || errno == ERANGE || *end) throw UsageError("bad " + what + " '" + text + "': expected a number (decimal or 0x...)");
  return v;
}

uint32_t ParseU32(const std::string& text, const std::string& what) {
  uint64_t v = ParseU64(text, what);
  if (v > 0xFFFFFFFFull) throw UsageError("bad " + what + " '" + text + "': larger than 32 bits");
  return uint32_t(v);
}

std::vector<uint32_t> ParseFields(const std::string& text, size_t minFields, size_t maxFields,
                                  const std::string& what, const std::string& form) {
  std::vector<uint32_t> out;
  std::stringstream ss(text);
  std::string part;
  size_t count = 1;
  for (char c : text) count += c == ':';
  if (count < minFields || count > maxFields)
    throw UsageError("bad " + what + " '" + text + "': expected " + form);
  while (std::getline(ss, part, ':')) out.push_back(ParseU32(part, what + " field"));
  if (out.size() != count) throw UsageError("bad " + what + " '" + text + "': expected " + form);
  return out;
}

std::vector<uint32_t> ParseList(const std::string& text, const std::string& what) {
  std::vector<uint32_t> out;
  std::stringstream ss(text);
  std::string part;
  while (std::getline(ss, part, ',')) out.push_back(ParseU32(part, what));
  if (out.empty() || text.back() == ',') throw UsageError("bad " + what + " '" + text + "': expected N,N,...");
  return out;
}

NandImage OpenSource(const std::string& path, const ParsedArgs& args, bool writable) {
  std::optional<ChipId> chip;
  if (auto text = args.Get("--chip")) {
    ChipId id;
    std::string err;
    if (!ParseChipId(*text, &id, &err)) throw UsageError(err);
    chip = id;
  }
  NandImage img;
  std::string err;
  if (!img.Open(path, chip, writable, &err)) throw InputError(err);
  return img;
}

bool ResolveArea(const NandImage& img, const ParsedArgs& args, BootArea* area, TocInfo* toc,
                 std::string* problem) {
  std::string err;
  if (!LocateToc(img, toc, &err)) throw InputError(err);
  if (auto text = args.Get("--area")) {
    std::vector<uint32_t> f = ParseFields(*text, 2, 2, "--area", "BLOCK:SECTORS");
    area->firstBlock = f[0];
    area->sectorCount = f[1];
    const uint64_t total = img.Shape().Pages();
    if (!img.SmallPage()) {
      *problem = "chip " + FormatChipId(img.Chip()) + " has no 512-byte sectors";
      return false;
    }
    if (area->SectorsInside(total) != area->sectorCount) {
      *problem = "--area " + *text + " does not lie inside the device's " + std::to_string(total) + " sectors";
      return false;
    }
    return true;
  }
  return AreaFromToc(img, *toc, area, problem);
}

std::string JsonString(const std::string& s) { return JsonEscape(s); }

std::string ReadWholeFile(const std::string& path) {
  struct stat st;
  if (stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) throw InputError(path + " is a folder, not a file");
  std::ifstream f(path, std::ios::binary);
  if (!f) throw InputError("cannot open " + path + ": " + std::strerror(errno));
  std::ostringstream ss;
  ss << f.rdbuf();
  if (f.bad()) throw InputError("cannot read " + path);
  return ss.str();
}

}  // namespace devsim
