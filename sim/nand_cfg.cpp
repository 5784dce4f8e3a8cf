// nand.cfg reading and writing, and the chip shapes the simulator knows.
#include "sim/nand_cfg.h"

#include "sim/fault_kinds.h"
#include "sim/keyval.h"
#include "sim/soc_state.h"

#include <algorithm>
#include <cstdint>
#include <cstring>
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

// "FIRST:COUNT".
bool ParsePair(const std::string& text, uint32_t* first, uint32_t* second) {
  size_t colon = text.find(':');
  return colon != std::string::npos && ParseU32(text.substr(0, colon), first) && ParseU32(text.substr(colon + 1), second);
}

KeyStatus Status(bool ok) { return ok ? KeyStatus::kApplied : KeyStatus::kBadValue; }

// A fault key: its kind's row says how to read the value. Another fault of a
// kind the model already holds kMaxFaultsPerKind of has no room in the shared
// record: refused here, where it is added, so that no fault is ever written
// down and then silently not applied.
KeyStatus ApplyFaultKey(const FaultKind& kind, const std::string& value, NandConfig* cfg) {
  FaultFields fields;
  std::string error;
  if (!ParseFaultFields(kind, value, kind.key, &fields, &error)) return KeyStatus::kBadValue;
  if (kind.repeats && kind.get(*cfg).size() >= kMaxFaultsPerKind) return KeyStatus::kTooMany;
  kind.put(cfg, fields);
  return KeyStatus::kApplied;
}

// The keys that are settings, not faults.
const char* const kSettingKeys[] = {"maker",          "device",           "timing.page_read_ns", "timing.program_ns",
                                    "timing.erase_ns", "timing.byte_ns",  "timing.polls_to_ready", "partial.main",
                                    "partial.spare",  "bad_blocks",       "sysdrv.rate",         "sysdrv.region",
                                    "camera.active",  "extboard.wp_user"};

std::string Hex2(uint32_t v) {
  char buf[16];
  snprintf(buf, sizeof(buf), "0x%02x", v);
  return buf;
}

}  // namespace

bool NandConfig::HasFaults() const {
  for (const FaultKind& k : FaultKinds())
    if (!k.get(*this).empty()) return true;
  return false;
}

void NandConfig::ClearFaults() {
  for (const FaultKind& k : FaultKinds()) k.clear(this);
}

std::vector<std::string> NandConfigKeys() {
  std::vector<std::string> keys(std::begin(kSettingKeys), std::end(kSettingKeys));
  for (const FaultKind& k : FaultKinds()) keys.push_back(k.key);
  return keys;
}

std::string NearestNandConfigKey(const std::string& key) { return NearestKey(key, NandConfigKeys()); }

KeyStatus ApplyNandConfigKey(const std::string& key, const std::string& value, NandConfig* cfg) {
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
  if (const FaultKind* kind = FaultKindByKey(key)) return ApplyFaultKey(*kind, value, cfg);
  if (key == "sysdrv.rate") return Status(ParseU32(value, &cfg->sysdrvRate));
  if (key == "sysdrv.region") {
    uint32_t first, count;
    if (!ParsePair(value, &first, &count)) return KeyStatus::kBadValue;
    cfg->sysdrvFirstBlock = first;
    cfg->sysdrvBlockCount = count;
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
      return "unknown key \"" + key + "\" (nearest: " + NearestNandConfigKey(key) + ")";
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
    // Keys reserved for later versions are kept, so that a rewrite loses
    // nothing; any other unknown key is a typo that would otherwise be kept
    // and never applied.
    KeyStatus status = ApplyNandConfigKey(l.key, l.value, &parsed);
    if (status == KeyStatus::kUnknown && l.key.compare(0, strlen(kReservedKeyPrefix), kReservedKeyPrefix) == 0)
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
  for (const FaultKind& k : FaultKinds())
    for (const FaultFields& f : k.get(cfg)) os << k.key << " = " << FormatFaultFields(k, f) << "\n";
  os << "sysdrv.rate = " << cfg.sysdrvRate << "\n";
  if (cfg.sysdrvFirstBlock >= 0 && cfg.sysdrvBlockCount >= 0)
    os << "sysdrv.region = " << cfg.sysdrvFirstBlock << ":" << cfg.sysdrvBlockCount << "\n";
  os << "camera.active = " << (cfg.cameraActive ? 1 : 0) << "\n";
  os << "extboard.wp_user = " << (cfg.extboardWpUser ? 1 : 0) << "\n";
  for (const auto& kv : cfg.unknown) os << FormatKeyValue(kv.first, kv.second) << "\n";
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
