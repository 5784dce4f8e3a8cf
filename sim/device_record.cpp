// The record part of soc.state, read and reset with plain file I/O: the host
// tool runs on Linux, while the Wine processes of a run map the same file.
// Both happen between runs; a reset during a run would race the models.
#include "sim/device_record.h"

#include <cstdio>
#include <cstring>
#include <memory>

#include "sim/checker.h"
#include "sim/nand_cfg.h"
#include "sim/soc_model.h"
#include "sim/soc_state.h"

namespace sim {

namespace {

std::string StatePath(const std::string& dir) {
  char last = dir.empty() ? '/' : dir.back();
  bool windows = dir.find('\\') != std::string::npos;
  std::string sep = last == '/' || last == '\\' ? "" : (windows ? "\\" : "/");
  return dir + sep + "soc.state";
}

std::string ConfigPath(const std::string& dir) {
  std::string state = StatePath(dir);
  return state.substr(0, state.size() - strlen("soc.state")) + "nand.cfg";
}

struct File {
  FILE* f = nullptr;
  ~File() {
    if (f) fclose(f);
  }
};

// 0: read, 1: no such file, -1: error.
int ReadHeader(const std::string& path, SocHeader* h, std::string* error) {
  File file;
  file.f = fopen(path.c_str(), "rb");
  if (!file.f) return 1;
  if (fread(h, sizeof(*h), 1, file.f) != 1) {
    if (error) *error = path + ": shorter than a device state";
    return -1;
  }
  if (h->magic != kSocStateMagic || h->version != kSocStateVersion) {
    if (error) *error = path + ": not a device state of this version";
    return -1;
  }
  return 0;
}

}  // namespace

bool ReadDeviceRecord(const std::string& dir, DeviceRecord* rec, std::string* error) {
  *rec = DeviceRecord();
  std::unique_ptr<SocHeader> h(new SocHeader);
  int r = ReadHeader(StatePath(dir), h.get(), error);
  if (r == 1) return true;
  if (r < 0) return false;
  *rec = RecordOf(*h);
  return true;
}

DeviceRecord RecordOf(const SocHeader& h) {
  DeviceRecord rec;
  rec.clockNs = h.clock.nowNs;
  rec.chipBusyNs = h.clock.chipBusyNs;
  rec.chipOps = h.chip.ops;
  rec.poweredOff = h.power.poweredOff != 0;
  rec.killAfterOps = h.power.killed != 0 ? -1 : h.power.killAfterOps;
  rec.violationCount = h.checker.count;
  for (uint32_t i = 0; i < h.checker.stored && i < kRecordedViolations; ++i)
    rec.violations.push_back(FormatViolation(h.checker.first[i]));
  return rec;
}

bool ResetDeviceRun(const std::string& dir, bool clearRecord, std::string* error, int64_t killAfterOps) {
  std::string path = StatePath(dir);
  std::unique_ptr<SocHeader> h(new SocHeader);
  int r = ReadHeader(path, h.get(), error);
  if (r < 0) return false;

  NandConfig cfg;
  std::string text, cfgError;
  bool haveCfg = false;
  File in;
  in.f = fopen(ConfigPath(dir).c_str(), "rb");
  if (in.f) {
    char buf[4096];
    size_t n;
    while ((n = fread(buf, 1, sizeof(buf), in.f)) > 0) text.append(buf, n);
    if (!ParseNandConfig(text, ConfigPath(dir), &cfg, &cfgError)) {
      if (error) *error = cfgError;
      return false;
    }
    haveCfg = true;
  }
  uint64_t hash = haveCfg ? ConfigHash(text) : 0;
  if (r == 1) {
    // A device that never ran: its state as at the first switch-on, written
    // whole, so that what this run is to do is in it before anything attaches.
    std::unique_ptr<SocState> s(new SocState());
    InitializeSocState(*s, cfg, hash);
    StartDeviceRun(s->h, nullptr, hash, clearRecord, killAfterOps);
    File created;
    created.f = fopen(path.c_str(), "wb");
    if (!created.f || fwrite(s.get(), sizeof(*s), 1, created.f) != 1 || fflush(created.f) != 0) {
      if (error) *error = path + ": cannot write";
      return false;
    }
    return true;
  }
  // Nobody runs on the device now: a lock left by a killed process goes.
  h->lockOwner = 0;
  StartDeviceRun(*h, haveCfg ? &cfg : nullptr, hash, clearRecord, killAfterOps);

  File out;
  out.f = fopen(path.c_str(), "r+b");
  if (!out.f || fwrite(h.get(), sizeof(*h), 1, out.f) != 1 || fflush(out.f) != 0) {
    if (error) *error = path + ": cannot write";
    return false;
  }
  return true;
}

}  // namespace sim
