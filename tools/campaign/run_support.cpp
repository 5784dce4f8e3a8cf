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

SysdrvReport FindSysdrvReport(const RunResult& run) {
  SysdrvReport r;
  if (const runproto::SysdrvReport* e = run.Last<runproto::SysdrvReport>()) {
    r.present = true;
    r.holds = e->holds;
    r.writes = e->writes;
    r.reads = e->reads;
    r.erases = e->erases;
    r.mismatches = e->mismatches;
    r.failures = e->failures;
    r.abandoned = e->abandoned;
  }
  return r;
}

long StandInTakes(const RunResult& run, const std::string& mode) {
  long takes = -1;
  for (const runproto::CameraReport* c : run.All<runproto::CameraReport>())
    if (c->mode == mode) takes = long(c->takes);
  return takes;
}

void AddRunnerOptions(const Scenario& s, RunOptions* ro) {
  ro->killAfterOps = s.killAfterOps;
  ro->cameraDiesAfterOps = s.cameraDiesAfterOps;
}

std::string JoinList(const std::vector<std::string>& items) {
  std::string s = "[";
  for (size_t i = 0; i < items.size(); ++i) s += (i ? ", " : "") + items[i];
  return s + "]";
}

std::string FirstLine(const std::string& text) { return text.substr(0, text.find('\n')); }

std::string DescribeRun(const RunResult& run) {
  std::string s = "error=" + run.error + " exit=" + std::to_string(run.exitCode) + "\n";
  s += DescribeEvents(run);
  if (!run.runnerOutput.empty()) s += "runner: " + run.runnerOutput;
  return s;
}

}  // namespace devsim
