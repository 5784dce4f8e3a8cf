// Numbers, device folders, nand.cfg and faults: the parts of the device
// operations shared by the host tool's commands and the campaign.
#include "tools/devsim/device_ops.h"

#include "sim/fault_kinds.h"

#include <sys/stat.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>

#include "sim/keyval.h"
#include "sim/soc_state.h"

namespace devsim {

uint64_t ParseU64(const std::string& text, const std::string& what) {
  uint64_t v = 0;
  if (!sim::ParseNumber(text, &v))
    throw UsageError("bad " + what + " '" + text + "': expected a number (decimal or 0x...)");
  return v;
}

uint32_t ParseU32(const std::string& text, const std::string& what) {
  uint64_t v = ParseU64(text, what);
  if (v > 0xFFFFFFFFull) throw UsageError("bad " + what + " '" + text + "': larger than 32 bits");
  return uint32_t(v);
}

std::vector<uint32_t> ParseFields(const std::string& text, size_t minFields, size_t maxFields, const std::string& what,
                                  const std::string& form) {
  std::vector<uint32_t> out;
  std::stringstream ss(text);
  std::string part;
  size_t count = 1;
  for (char c : text) count += c == ':';
  if (count < minFields || count > maxFields) throw UsageError("bad " + what + " '" + text + "': expected " + form);
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

ChipId ParseChip(const std::string& text) {
  ChipId id;
  std::string err;
  if (!ParseChipId(text, &id, &err)) throw UsageError(err);
  return id;
}

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

// --- nand.cfg and faults ------------------------------------------------------

sim::NandConfig ReadDeviceConfig(const std::string& dir) {
  struct stat st;
  if (stat(dir.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) throw InputError(dir + " is not a device folder");
  const std::string path = dir + "/nand.cfg";
  if (stat(path.c_str(), &st) != 0) throw InputError(dir + " is not a device folder: it has no nand.cfg");
  sim::NandConfig cfg;
  std::string err;
  if (!sim::LoadNandConfig(path, &cfg, &err)) throw InputError(err.empty() ? "cannot read " + path : err);
  return cfg;
}

void WriteDeviceConfig(const std::string& dir, const sim::NandConfig& cfg) {
  const std::string path = dir + "/nand.cfg";
  std::string err;
  if (!sim::SaveNandConfig(path, cfg, &err)) throw InputError(err.empty() ? "cannot write " + path : err);
}

void AddFaults(const sim::NandConfig& faults, FaultNaming naming, sim::NandConfig* cfg) {
  const sim::ChipShape chip = sim::ChipShapeFor(cfg->maker, cfg->device);
  sim::NandConfig out = *cfg;
  for (const sim::FaultKind& k : sim::FaultKinds()) {
    const std::string name = naming == FaultNaming::kOptions ? k.option : k.key;
    const std::vector<sim::FaultFields> added = k.get(faults);
    std::string error;
    for (const sim::FaultFields& f : added)
      if (!sim::CheckFaultOnChip(k, f, chip, &error)) throw UsageError(name + ": " + error);
    // The device model keeps each kind of fault in a fixed table of the
    // shared record; one more than it holds would be written down and never
    // applied.
    const size_t already = k.repeats ? k.get(*cfg).size() : 0;
    if (already + added.size() > sim::kMaxFaultsPerKind)
      throw UsageError(name + ": " + std::to_string(already + added.size()) + " faults of this kind (" +
                       std::to_string(already) + " already in nand.cfg, " + std::to_string(added.size()) +
                       " added); the device model holds at most " + std::to_string(sim::kMaxFaultsPerKind));
    for (const sim::FaultFields& f : added) k.put(&out, f);
  }
  *cfg = out;
}

std::vector<std::string> FaultLines(const sim::NandConfig& cfg) {
  std::vector<std::string> out;
  std::istringstream in(sim::FormatNandConfig(cfg));
  std::string line;
  while (std::getline(in, line))
    if (line.rfind("fault.", 0) == 0) out.push_back(line);
  return out;
}

// --- opening images and finding the boot area -----------------------------------

NandImage OpenSource(const std::string& path, const std::optional<std::string>& chip, bool writable) {
  std::optional<ChipId> id;
  if (chip) id = ParseChip(*chip);
  NandImage img;
  std::string err;
  if (!img.Open(path, id, writable, &err)) throw InputError(err);
  return img;
}

AreaChoice ParseAreaChoice(const std::string& text) {
  std::vector<uint32_t> f = ParseFields(text, 2, 2, "--area", "BLOCK:SECTORS");
  AreaChoice c;
  c.area.firstBlock = f[0];
  c.area.sectorCount = f[1];
  c.text = text;
  return c;
}

bool ResolveArea(const NandImage& img, const std::optional<AreaChoice>& given, BootArea* area, TocInfo* toc,
                 std::string* problem) {
  std::string err;
  if (!LocateToc(img, toc, &err)) throw InputError(err);
  if (given) {
    *area = given->area;
    const uint64_t total = img.Shape().Pages();
    if (!img.SmallPage()) {
      *problem = "chip " + FormatChipId(img.Chip()) + " has no 512-byte sectors";
      return false;
    }
    if (area->SectorsInside(total) != area->sectorCount) {
      *problem = "--area " + given->text + " does not lie inside the device's " + std::to_string(total) + " sectors";
      return false;
    }
    return true;
  }
  return AreaFromToc(img, *toc, area, problem);
}

}  // namespace devsim
