// nand.cfg reading and writing, and the chip shapes the simulator knows.
#include "sim/nand_cfg.h"

#include "sim/keyval.h"
#include "sim/soc_state.h"

#include <cstdint>
#include <cstdio>
#include <fstream>
#include <sstream>

namespace sim {

namespace {

bool ParseU64(const std::string& text, uint64_t* out) { return ParseNumber(TrimBlanks(text), out); }
bool ParseU32(const std::string& text, uint32_t* out) { return ParseNumber(TrimBlanks(text), out); }

bool ParseBool(const std::string& text, bool* out) {
  uint32_t v;
  if (!ParseU32(text, &v) || v > 1) return false;
  *out = v == 1;
  return true;
}

// "a:b:c" into numbers; between min and max fields.
bool ParseFields(const std::string& text, size_t min, size_t max, std::vector<uint32_t>* out) {
  out->clear();
  std::string rest = text;
  for (;;) {
    size_t colon = rest.find(':');
    uint32_t v;
    if (!ParseU32(rest.substr(0, colon), &v)) return false;
    out->push_back(v);
    if (colon == std::string::npos) break;
    rest = rest.substr(colon + 1);
  }
  return out->size() >= min && out->size() <= max;
}

bool ParseList(const std::string& text, std::vector<uint32_t>* out) {
  out->clear();
  if (TrimBlanks(text).empty()) return true;
  std::stringstream ss(text);
  std::string item;
  while (std::getline(ss, item, ',')) {
    uint32_t v;
    if (!ParseU32(item, &v)) return false;
    out->push_back(v);
  }
  return true;
}

bool ParseCount(const std::string& text, int64_t* out) {
  uint64_t v;
  if (!ParseU64(text, &v) || v > uint64_t(INT64_MAX)) return false;
  *out = int64_t(v);
  return true;
}

// Another fault of a kind the model already holds kMaxFaultsPerKind of has
// no room in the shared record: refused here, where it is added, so that no
// fault is ever written down and then silently not applied.
template <typename T>
KeyStatus AddFault(std::vector<T>* faults, const T& fault) {
  if (faults->size() >= kMaxFaultsPerKind) return KeyStatus::kTooMany;
  faults->push_back(fault);
  return KeyStatus::kApplied;
}

KeyStatus Status(bool ok) { return ok ? KeyStatus::kApplied : KeyStatus::kBadValue; }

// The commands whose operations end with an event of the controller.
bool IsEventCommand(uint32_t command) {
  switch (command) {
    case 0x00:
    case 0x10:
    case 0x50:
    case 0x80:
    case 0x90:
    case 0xD0:
    case 0xFF:
      return true;
    default:
      return false;
  }
}

KeyStatus ApplyFaultKey(const std::string& key, const std::string& value, NandConfig* cfg) {
  std::vector<uint32_t> f;
  if (key == "fault.read_flip") {
    if (!ParseFields(value, 3, 4, &f) || f[2] > 7) return KeyStatus::kBadValue;
    ReadFlipFault r;
    r.sector = f[0], r.byte = f[1], r.bit = f[2], r.count = f.size() > 3 ? f[3] : 0;
    return AddFault(&cfg->readFlips, r);
  }
  if (key == "fault.stuck_bit") {
    if (!ParseFields(value, 4, 4, &f) || f[2] > 7 || f[3] > 1) return KeyStatus::kBadValue;
    StuckBitFault s;
    s.sector = f[0], s.byte = f[1], s.bit = f[2], s.value = f[3];
    return AddFault(&cfg->stuckBits, s);
  }
  if (key == "fault.program_fail") {
    if (!ParseFields(value, 1, 3, &f) || f.size() == 2 || (f.size() == 3 && f[2] > 7)) return KeyStatus::kBadValue;
    ProgramFailFault p;
    p.sector = f[0];
    p.wholePage = f.size() == 1;
    if (!p.wholePage) p.byte = f[1], p.bit = f[2];
    return AddFault(&cfg->programFails, p);
  }
  if (key == "fault.erase_fail") {
    uint32_t b;
    if (!ParseU32(value, &b)) return KeyStatus::kBadValue;
    return AddFault(&cfg->eraseFails, b);
  }
  if (key == "fault.stuck_ready_after") return Status(ParseCount(value, &cfg->stuckReadyAfter));
  if (key == "fault.power_loss_after") return Status(ParseCount(value, &cfg->powerLossAfter));
  if (key == "fault.dma_hang") return Status(ParseCount(value, &cfg->dmaHang));
  if (key == "fault.drain_hang") return Status(ParseCount(value, &cfg->drainHang));
  if (key == "fault.fifo_hang") return Status(ParseCount(value, &cfg->fifoHang));
  if (key == "fault.event_hang") {
    if (!ParseFields(value, 2, 2, &f) || !IsEventCommand(f[0])) return KeyStatus::kBadValue;
    cfg->eventHangCommand = f[0];
    cfg->eventHangNth = f[1];
    return KeyStatus::kApplied;
  }
  return KeyStatus::kUnknown;
}

std::string Hex2(uint32_t v) {
  char buf[16];
  snprintf(buf, sizeof(buf), "0x%02x", v);
  return buf;
}

}  // namespace

bool NandConfig::HasFaults() const {
  return !readFlips.empty() || !stuckBits.empty() || !programFails.empty() || !eraseFails.empty() ||
         stuckReadyAfter >= 0 || powerLossAfter >= 0 || dmaHang >= 0 || drainHang >= 0 || fifoHang >= 0 ||
         eventHangNth >= 0;
}

void NandConfig::ClearFaults() {
  readFlips.clear();
  stuckBits.clear();
  programFails.clear();
  eraseFails.clear();
  stuckReadyAfter = -1;
  powerLossAfter = -1;
  dmaHang = drainHang = fifoHang = eventHangNth = -1;
  eventHangCommand = 0;
}

KeyStatus ApplyNandConfigKey(const std::string& key, const std::string& value, NandConfig* cfg) {
  std::vector<uint32_t> f;
  if (key == "maker") return Status(ParseU32(value, &cfg->maker) && cfg->maker <= 0xFF);
  if (key == "device") return Status(ParseU32(value, &cfg->device) && cfg->device <= 0xFF);
  if (key == "timing.page_read_ns") return Status(ParseU64(value, &cfg->pageReadNs));
  if (key == "timing.program_ns") return Status(ParseU64(value, &cfg->programNs));
  if (key == "timing.erase_ns") return Status(ParseU64(value, &cfg->eraseNs));
  if (key == "timing.byte_ns") return Status(ParseU64(value, &cfg->byteNs));
  if (key == "timing.polls_to_ready") return Status(ParseU32(value, &cfg->pollsToReady));
  if (key == "partial.main") return Status(ParseU32(value, &cfg->partialMain));
  if (key == "partial.spare") return Status(ParseU32(value, &cfg->partialSpare));
  if (key == "bad_blocks") return Status(ParseList(value, &cfg->badBlocks));
  if (key.compare(0, 6, "fault.") == 0) return ApplyFaultKey(key, value, cfg);
  if (key == "sysdrv.rate") return Status(ParseU32(value, &cfg->sysdrvRate));
  if (key == "sysdrv.region") {
    if (!ParseFields(value, 2, 2, &f)) return KeyStatus::kBadValue;
    cfg->sysdrvFirstBlock = f[0];
    cfg->sysdrvBlockCount = f[1];
    return KeyStatus::kApplied;
  }
  if (key == "camera.active") return Status(ParseBool(value, &cfg->cameraActive));
  if (key == "extboard.wp_user") return Status(ParseBool(value, &cfg->extboardWpUser));
  return KeyStatus::kUnknown;
}

std::string DescribeKeyStatus(const std::string& key, KeyStatus status) {
  switch (status) {
    case KeyStatus::kApplied:
      return "";
    case KeyStatus::kUnknown:
      return "unknown key \"" + key + "\"";
    case KeyStatus::kBadValue:
      return "bad value for " + key;
    case KeyStatus::kTooMany:
      return "more than " + std::to_string(kMaxFaultsPerKind) + " " + key + " faults: the device model holds at most " +
             std::to_string(kMaxFaultsPerKind) + " of each kind";
  }
  return "";
}

bool ParseNandConfig(const std::string& text, const std::string& name, NandConfig* cfg, std::string* error) {
  NandConfig parsed;
  for (const KeyValueLine& l : SplitKeyValueLines(text)) {
    const std::string where = name + ":" + std::to_string(l.number) + ": ";
    if (l.kind != KeyValueLine::kKeyValue) {
      if (error) *error = where + "expected key = value";
      return false;
    }
    // Keys of later versions are kept, so that a rewrite loses nothing.
    KeyStatus status = ApplyNandConfigKey(l.key, l.value, &parsed);
    if (status == KeyStatus::kUnknown)
      parsed.unknown.emplace_back(l.key, l.value);
    else if (status != KeyStatus::kApplied) {
      if (error) *error = where + DescribeKeyStatus(l.key, status);
      return false;
    }
  }
  *cfg = parsed;
  return true;
}

std::string FormatNandConfig(const NandConfig& cfg) {
  std::ostringstream os;
  os << "maker = " << Hex2(cfg.maker) << "\n";
  os << "device = " << Hex2(cfg.device) << "\n";
  os << "timing.page_read_ns = " << cfg.pageReadNs << "\n";
  os << "timing.program_ns = " << cfg.programNs << "\n";
  os << "timing.erase_ns = " << cfg.eraseNs << "\n";
  os << "timing.byte_ns = " << cfg.byteNs << "\n";
  if (cfg.pollsToReady != 0) os << "timing.polls_to_ready = " << cfg.pollsToReady << "\n";
  os << "partial.main = " << cfg.partialMain << "\n";
  os << "partial.spare = " << cfg.partialSpare << "\n";
  if (!cfg.badBlocks.empty()) {
    os << "bad_blocks = ";
    for (size_t i = 0; i < cfg.badBlocks.size(); ++i) os << (i ? "," : "") << cfg.badBlocks[i];
    os << "\n";
  }
  for (const ReadFlipFault& r : cfg.readFlips)
    os << "fault.read_flip = " << r.sector << ":" << r.byte << ":" << r.bit << ":" << r.count << "\n";
  for (const StuckBitFault& s : cfg.stuckBits)
    os << "fault.stuck_bit = " << s.sector << ":" << s.byte << ":" << s.bit << ":" << s.value << "\n";
  for (const ProgramFailFault& p : cfg.programFails) {
    os << "fault.program_fail = " << p.sector;
    if (!p.wholePage) os << ":" << p.byte << ":" << p.bit;
    os << "\n";
  }
  for (uint32_t b : cfg.eraseFails) os << "fault.erase_fail = " << b << "\n";
  if (cfg.stuckReadyAfter >= 0) os << "fault.stuck_ready_after = " << cfg.stuckReadyAfter << "\n";
  if (cfg.powerLossAfter >= 0) os << "fault.power_loss_after = " << cfg.powerLossAfter << "\n";
  if (cfg.dmaHang >= 0) os << "fault.dma_hang = " << cfg.dmaHang << "\n";
  if (cfg.drainHang >= 0) os << "fault.drain_hang = " << cfg.drainHang << "\n";
  if (cfg.fifoHang >= 0) os << "fault.fifo_hang = " << cfg.fifoHang << "\n";
  if (cfg.eventHangNth >= 0) os << "fault.event_hang = " << Hex2(cfg.eventHangCommand) << ":" << cfg.eventHangNth << "\n";
  os << "sysdrv.rate = " << cfg.sysdrvRate << "\n";
  if (cfg.sysdrvFirstBlock >= 0 && cfg.sysdrvBlockCount >= 0)
    os << "sysdrv.region = " << cfg.sysdrvFirstBlock << ":" << cfg.sysdrvBlockCount << "\n";
  os << "camera.active = " << (cfg.cameraActive ? 1 : 0) << "\n";
  os << "extboard.wp_user = " << (cfg.extboardWpUser ? 1 : 0) << "\n";
  for (const auto& kv : cfg.unknown) os << kv.first << " = " << kv.second << "\n";
  return os.str();
}

bool LoadNandConfig(const std::string& path, NandConfig* cfg, std::string* error) {
  std::ifstream f(path, std::ios::binary);
  if (!f) {
    if (error) *error = path + ": cannot open";
    return false;
  }
  std::stringstream ss;
  ss << f.rdbuf();
  return ParseNandConfig(ss.str(), path, cfg, error);
}

bool SaveNandConfig(const std::string& path, const NandConfig& cfg, std::string* error) {
  std::ofstream f(path, std::ios::binary | std::ios::trunc);
  f << FormatNandConfig(cfg);
  f.close();
  if (!f) {
    if (error) *error = path + ": cannot write";
    return false;
  }
  return true;
}

ChipShape ChipShapeFor(uint32_t maker, uint32_t device) {
  ChipShape s;
  bool maker_known = maker == 0x98 || maker == 0xAD || maker == 0xEC;
  uint32_t blocks = 0;
  switch (device) {
    case 0x73:
      blocks = 1024;
      break;
    case 0x75:
      blocks = 2048;
      break;
    case 0x76:
      blocks = 4096;
      break;
    case 0x79:
      blocks = 8192;
      break;
    default:
      break;
  }
  if (maker_known && blocks != 0) {
    s.known = true;
    s.blocks = blocks;
    return s;
  }
  if (maker_known && (device == 0xAA || device == 0xDA)) {
    s.known = true;
    s.largePage = true;
    s.pageData = 2048;
    s.pageSpare = 64;
    s.pagesPerBlock = 64;
    s.blocks = 2048;
    return s;
  }
  s.blocks = 1024;
  return s;
}

}  // namespace sim
