// nand.cfg reading and writing, and the chip shapes the simulator knows.
#include "sim/nand_cfg.h"

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>

namespace sim {

namespace {

std::string Trim(const std::string& s) {
  size_t b = s.find_first_not_of(" \t\r\n");
  if (b == std::string::npos) return std::string();
  size_t e = s.find_last_not_of(" \t\r\n");
  return s.substr(b, e - b + 1);
}

// Decimal or 0x-prefixed hexadecimal, the whole text, nothing else.
bool ParseU64(const std::string& text, uint64_t* out) {
  std::string t = Trim(text);
  if (t.empty() || t[0] == '-' || t[0] == '+') return false;
  int base = 10;
  size_t start = 0;
  if (t.size() > 2 && t[0] == '0' && (t[1] == 'x' || t[1] == 'X')) {
    base = 16;
    start = 2;
  }
  char* end = nullptr;
  errno = 0;
  unsigned long long v = strtoull(t.c_str() + start, &end, base);
  if (errno != 0 || end == t.c_str() + start || *end != '\0') return false;
  *out = v;
  return true;
}

bool ParseU32(const std::string& text, uint32_t* out) {
  uint64_t v;
  if (!ParseU64(text, &v) || v > 0xFFFFFFFFull) return false;
  *out = uint32_t(v);
  return true;
}

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
  if (Trim(text).empty()) return true;
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

bool ParseKey(const std::string& key, const std::string& value, NandConfig* cfg) {
  std::vector<uint32_t> f;
  if (key == "maker") return ParseU32(value, &cfg->maker) && cfg->maker <= 0xFF;
  if (key == "device") return ParseU32(value, &cfg->device) && cfg->device <= 0xFF;
  if (key == "timing.page_read_ns") return ParseU64(value, &cfg->pageReadNs);
  if (key == "timing.program_ns") return ParseU64(value, &cfg->programNs);
  if (key == "timing.erase_ns") return ParseU64(value, &cfg->eraseNs);
  if (key == "timing.byte_ns") return ParseU64(value, &cfg->byteNs);
  if (key == "partial.main") return ParseU32(value, &cfg->partialMain);
  if (key == "partial.spare") return ParseU32(value, &cfg->partialSpare);
  if (key == "bad_blocks") return ParseList(value, &cfg->badBlocks);
  if (key == "fault.read_flip") {
    if (!ParseFields(value, 3, 4, &f) || f[2] > 7) return false;
    ReadFlipFault r;
    r.sector = f[0], r.byte = f[1], r.bit = f[2], r.count = f.size() > 3 ? f[3] : 0;
    cfg->readFlips.push_back(r);
    return true;
  }
  if (key == "fault.stuck_bit") {
    if (!ParseFields(value, 4, 4, &f) || f[2] > 7 || f[3] > 1) return false;
    StuckBitFault s;
    s.sector = f[0], s.byte = f[1], s.bit = f[2], s.value = f[3];
    cfg->stuckBits.push_back(s);
    return true;
  }
  if (key == "fault.program_fail") {
    if (!ParseFields(value, 1, 3, &f) || f.size() == 2 || (f.size() == 3 && f[2] > 7)) return false;
    ProgramFailFault p;
    p.sector = f[0];
    p.wholePage = f.size() == 1;
    if (!p.wholePage) p.byte = f[1], p.bit = f[2];
    cfg->programFails.push_back(p);
    return true;
  }
  if (key == "fault.erase_fail") {
    uint32_t b;
    if (!ParseU32(value, &b)) return false;
    cfg->eraseFails.push_back(b);
    return true;
  }
  if (key == "fault.stuck_ready_after") return ParseCount(value, &cfg->stuckReadyAfter);
  if (key == "fault.power_loss_after") return ParseCount(value, &cfg->powerLossAfter);
  if (key == "sysdrv.rate") return ParseU32(value, &cfg->sysdrvRate);
  if (key == "sysdrv.region") {
    if (!ParseFields(value, 2, 2, &f)) return false;
    cfg->sysdrvFirstBlock = f[0];
    cfg->sysdrvBlockCount = f[1];
    return true;
  }
  if (key == "camera.active") return ParseBool(value, &cfg->cameraActive);
  if (key == "extboard.wp_user") return ParseBool(value, &cfg->extboardWpUser);
  cfg->unknown.emplace_back(key, value);
  return true;
}

std::string Hex2(uint32_t v) {
  char buf[16];
  snprintf(buf, sizeof(buf), "0x%02x", v);
  return buf;
}

}  // namespace

bool NandConfig::HasFaults() const {
  return !readFlips.empty() || !stuckBits.empty() || !programFails.empty() || !eraseFails.empty() ||
         stuckReadyAfter >= 0 || powerLossAfter >= 0;
}

void NandConfig::ClearFaults() {
  readFlips.clear();
  stuckBits.clear();
  programFails.clear();
  eraseFails.clear();
  stuckReadyAfter = -1;
  powerLossAfter = -1;
}

bool ParseNandConfig(const std::string& text, const std::string& name, NandConfig* cfg, std::string* error) {
  NandConfig parsed;
  std::stringstream ss(text);
  std::string line;
  for (int number = 1; std::getline(ss, line); ++number) {
    size_t hash = line.find('#');
    if (hash != std::string::npos) line.erase(hash);
    line = Trim(line);
    if (line.empty()) continue;
    size_t eq = line.find('=');
    std::string key = eq == std::string::npos ? std::string() : Trim(line.substr(0, eq));
    if (key.empty()) {
      if (error) *error = name + ":" + std::to_string(number) + ": expected key = value";
      return false;
    }
    if (!ParseKey(key, Trim(line.substr(eq + 1)), &parsed)) {
      if (error) *error = name + ":" + std::to_string(number) + ": bad value for " + key;
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
    case 0x73: blocks = 1024; break;
    case 0x75: blocks = 2048; break;
    case 0x76: blocks = 4096; break;
    case 0x79: blocks = 8192; break;
    default: break;
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
