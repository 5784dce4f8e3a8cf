// Numbers, device folders, nand.cfg and faults: the parts of the device
// operations shared by the host tool's commands and the campaign.
#include "tools/devsim/device_ops.h"

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

const FaultNames kFaultOptionNames = {"--read-flip", "--stuck-bit", "--program-fail", "--erase-fail",
                                      "--event-hang"};
const FaultNames kFaultKeyNames = {"fault.read_flip", "fault.stuck_bit", "fault.program_fail", "fault.erase_fail",
                                   "fault.event_hang"};

namespace {

// Where a fault may lie on the chip of a nand.cfg.
struct ChipLimits {
  uint64_t sectors;
  uint32_t pageBytes;
  uint32_t blocks;

  explicit ChipLimits(const sim::NandConfig& cfg) {
    const sim::ChipShape shape = sim::ChipShapeFor(cfg.maker, cfg.device);
    sectors = shape.Pages();
    pageBytes = uint32_t(shape.RawPageBytes());
    blocks = shape.blocks;
  }
  void Sector(uint32_t s, const std::string& name) const {
    if (s >= sectors)
      throw UsageError(name + ": sector " + std::to_string(s) + " is beyond the chip's " + std::to_string(sectors));
  }
  void Cell(uint32_t byte, uint32_t bit, const std::string& name) const {
    if (byte >= pageBytes)
      throw UsageError(name + ": byte " + std::to_string(byte) + " is beyond the " + std::to_string(pageBytes) +
                       "-byte raw page");
    if (bit > 7) throw UsageError(name + ": bit " + std::to_string(bit) + " is not 0-7");
  }
  void Block(uint32_t block, const std::string& name) const {
    if (block >= blocks)
      throw UsageError(name + ": block " + std::to_string(block) + " is beyond the chip's " + std::to_string(blocks));
  }
};

// The device model keeps each kind of fault in a fixed table of the shared
// record; one more than it holds would be written down and never applied.
void CheckRoom(size_t already, size_t added, const char* name) {
  if (already + added <= sim::kMaxFaultsPerKind) return;
  throw UsageError(name + std::string(": ") + std::to_string(already + added) + " faults of this kind (" +
                   std::to_string(already) + " already in nand.cfg, " + std::to_string(added) +
                   " added); the device model holds at most " + std::to_string(sim::kMaxFaultsPerKind));
}

std::string HexByte(uint32_t v) {
  char buf[16];
  std::snprintf(buf, sizeof(buf), "0x%02x", v);
  return buf;
}

// Which commands end their operations with an event is the nand.cfg reader's
// to say (it refuses fault.event_hang for any other): asked, not restated.
bool IsEventCommand(uint32_t command) {
  sim::NandConfig probe;
  return sim::ApplyNandConfigKey(kFaultKeyNames.eventHang, std::to_string(command) + ":0", &probe) ==
         sim::KeyStatus::kApplied;
}

void CheckEventHang(const sim::NandConfig& faults, const char* name) {
  if (faults.eventHangNth < 0 || IsEventCommand(faults.eventHangCommand)) return;
  std::string commands;
  for (uint32_t c = 0; c <= 0xFF; ++c)
    if (IsEventCommand(c)) commands += " " + HexByte(c);
  throw UsageError(name + std::string(": command ") + HexByte(faults.eventHangCommand) +
                   " ends its operations with no event; those that do:" + commands);
}

}  // namespace

void AddFaults(const sim::NandConfig& faults, const FaultNames& names, sim::NandConfig* cfg) {
  const ChipLimits lim(*cfg);
  for (const sim::ReadFlipFault& f : faults.readFlips) {
    lim.Sector(f.sector, names.readFlip);
    lim.Cell(f.byte, f.bit, names.readFlip);
  }
  for (const sim::StuckBitFault& f : faults.stuckBits) {
    lim.Sector(f.sector, names.stuckBit);
    lim.Cell(f.byte, f.bit, names.stuckBit);
    if (f.value > 1)
      throw UsageError(std::string(names.stuckBit) + ": VALUE " + std::to_string(f.value) + " is not 0 or 1");
  }
  for (const sim::ProgramFailFault& f : faults.programFails) {
    lim.Sector(f.sector, names.programFail);
    if (!f.wholePage) lim.Cell(f.byte, f.bit, names.programFail);
  }
  for (uint32_t block : faults.eraseFails) lim.Block(block, names.eraseFail);
  CheckEventHang(faults, names.eventHang);
  CheckRoom(cfg->readFlips.size(), faults.readFlips.size(), names.readFlip);
  CheckRoom(cfg->stuckBits.size(), faults.stuckBits.size(), names.stuckBit);
  CheckRoom(cfg->programFails.size(), faults.programFails.size(), names.programFail);
  CheckRoom(cfg->eraseFails.size(), faults.eraseFails.size(), names.eraseFail);

  auto append = [](auto* to, const auto& from) { to->insert(to->end(), from.begin(), from.end()); };
  append(&cfg->readFlips, faults.readFlips);
  append(&cfg->stuckBits, faults.stuckBits);
  append(&cfg->programFails, faults.programFails);
  append(&cfg->eraseFails, faults.eraseFails);
  if (faults.stuckReadyAfter >= 0) cfg->stuckReadyAfter = faults.stuckReadyAfter;
  if (faults.powerLossAfter >= 0) cfg->powerLossAfter = faults.powerLossAfter;
  if (faults.dmaHang >= 0) cfg->dmaHang = faults.dmaHang;
  if (faults.drainHang >= 0) cfg->drainHang = faults.drainHang;
  if (faults.fifoHang >= 0) cfg->fifoHang = faults.fifoHang;
  if (faults.eventHangNth >= 0) {
    cfg->eventHangCommand = faults.eventHangCommand;
    cfg->eventHangNth = faults.eventHangNth;
  }
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
