#include "tools/campaign/run_support.h"

#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>

namespace devsim {

Bytes ReadBytes(const std::string& path) {
  std::ifstream f(path, std::ios::binary);
  return Bytes(std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>());
}

bool WriteBytes(const std::string& path, const Bytes& data) {
  std::ofstream f(path, std::ios::binary | std::ios::trunc);
  f.write(reinterpret_cast<const char*>(data.data()), std::streamsize(data.size()));
  return bool(f);
}

bool CopyFile(const std::string& from, const std::string& to) {
  std::ifstream in(from, std::ios::binary);
  if (!in) return false;
  return WriteBytes(to, Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()));
}

uint64_t CountChangedBytes(const Bytes& before, const Bytes& after, const std::vector<SectorRange>& excluded) {
  size_t common = std::min(before.size(), after.size());
  uint64_t changed = std::max(before.size(), after.size()) - common;
  for (size_t page = 0; page * kRawPageBytes < common; ++page) {
    bool skip = false;
    for (const SectorRange& r : excluded) skip = skip || r.Holds(page);
    if (skip) continue;
    size_t start = page * kRawPageBytes, end = std::min(common, start + kRawPageBytes);
    if (memcmp(&before[start], &after[start], end - start) == 0) continue;
    for (size_t i = start; i < end; ++i) changed += before[i] != after[i];
  }
  return changed;
}

namespace {

bool NumberField(const std::string& raw, const std::string& key, uint64_t* v) {
  size_t at = raw.find("\"" + key + "\":");
  if (at == std::string::npos) return false;
  *v = strtoull(raw.c_str() + at + key.size() + 3, nullptr, 10);
  return true;
}

}  // namespace

SysdrvReport FindSysdrvReport(const RunResult& run) {
  SysdrvReport r;
  for (const RunEvent* e : run.Of('S')) {
    r.present = NumberField(e->raw, "writes", &r.writes);
    NumberField(e->raw, "reads", &r.reads);
    NumberField(e->raw, "erases", &r.erases);
    NumberField(e->raw, "holds", &r.holds);
    NumberField(e->raw, "mismatches", &r.mismatches);
    NumberField(e->raw, "failures", &r.failures);
    NumberField(e->raw, "abandoned", &r.abandoned);
  }
  return r;
}

void AddRunnerOptions(const Scenario& s, RunOptions* ro) {
  if (s.killAfterOps >= 0) {
    ro->runnerArgs.push_back("--kill-after-ops");
    ro->runnerArgs.push_back(std::to_string(s.killAfterOps));
  }
  std::string camera = DeviceBuildDir() + "/sim/camera/camera.exe";
  if (access(camera.c_str(), X_OK) != 0 && access(camera.c_str(), R_OK) != 0) return;
  ro->runnerArgs.push_back("--camera");
  ro->runnerArgs.push_back(WinePathOf(camera));
  if (s.cameraDiesAfterOps >= 0) {
    ro->runnerArgs.push_back("--camera-dies-after-ops");
    ro->runnerArgs.push_back(std::to_string(s.cameraDiesAfterOps));
  }
}

std::string JoinList(const std::vector<std::string>& items) {
  std::string s = "[";
  for (size_t i = 0; i < items.size(); ++i) s += (i ? ", " : "") + items[i];
  return s + "]";
}

std::string FirstLine(const std::string& text) { return text.substr(0, text.find('\n')); }

std::string DescribeRun(const RunResult& run) {
  std::string s = "error=" + run.error + " exit=" + std::to_string(run.exitCode) + "\n";
  for (const RunEvent& e : run.events) s += e.raw + "\n";
  if (!run.runnerOutput.empty()) s += "runner: " + run.runnerOutput;
  return s;
}

}  // namespace devsim
