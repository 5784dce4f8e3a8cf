#include "tests/e2e/e2e_support.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <cstdlib>
#include <fstream>
#include <random>
#include <sstream>

#include "sim/device_record.h"
#include "tools/run/process.h"

namespace e2e {

int Devsim(const Args& args, std::string* out) {
  hostproc::Spec spec;
  spec.argv = {DEVSIM_PATH};
  spec.argv.insert(spec.argv.end(), args.begin(), args.end());
  spec.mergeErr = true;
  spec.timeoutSeconds = 600;
  hostproc::Result r = hostproc::Run(spec);
  if (out) *out = r.out + (r.Ended() ? "" : "devsim: " + r.Describe() + "\n");
  return r.Ended() ? r.exitCode : -1;
}

Device::Device(const Args& createArgs) {
  char tmpl[] = "/tmp/kestrel-e2e-XXXXXX";
  if (mkdtemp(tmpl)) dir = std::string(tmpl) + "/dev";
  Args args = {"create", dir};
  args.insert(args.end(), createArgs.begin(), createArgs.end());
  // The smallest chip unless a test asks for another: creating and reading
  // back a device is most of a test's time.
  if (std::find(createArgs.begin(), createArgs.end(), "--chip") == createArgs.end()) {
    args.push_back("--chip");
    args.push_back("ec:73");
  }
  std::string out;
  if (Devsim(args, &out) != 0) {
    fprintf(stderr, "devsim create failed:\n%s\n", out.c_str());
    dir.clear();
  }
}

Device::~Device() {
  if (dir.empty() || getenv("KESTREL_KEEP_DEVICES")) return;
  std::error_code ec;
  std::filesystem::remove_all(dir.substr(0, dir.rfind('/')), ec);
  if (ec) fprintf(stderr, "could not remove %s: %s\n", dir.c_str(), ec.message().c_str());
}

Bytes Device::Flash() const { return ReadFile(dir + "/nand.img"); }

void Device::PutImage(const Bytes& image) const { WriteFile(Card() + "/EBOOT.NB0", image); }

void Device::PutUpdater() const { WriteFile(Card() + "/Kestrel.exe", ReadFile(devsim::ProgramPath("kestrel"))); }

bool Device::OnCard(const std::string& name) const {
  struct stat st;
  return stat((Card() + "/" + name).c_str(), &st) == 0;
}

devsim::RunResult Device::Run(const std::string& program, devsim::RunOptions opt) const {
  opt.deviceDir = dir;
  opt.program = program;
  devsim::RunResult r;
  devsim::RunOnDevice(opt, &r);
  return r;
}

uint64_t Device::Violations(std::vector<std::string>* texts) const {
  sim::DeviceRecord rec;
  std::string err;
  if (!sim::ReadDeviceRecord(dir, &rec, &err)) return ~0ull;
  if (texts) *texts = rec.violations;
  return rec.violationCount;
}

TempFile::TempFile(const Bytes& data) {
  char tmpl[] = "/tmp/kestrel-e2e-file-XXXXXX";
  int fd = mkstemp(tmpl);
  if (fd >= 0) close(fd);
  path = tmpl;
  WriteFile(path, data);
}

TempFile::~TempFile() { unlink(path.c_str()); }

Bytes ReadFile(const std::string& path) {
  std::ifstream f(path, std::ios::binary);
  return Bytes(std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>());
}

void WriteFile(const std::string& path, const Bytes& data) {
  std::ofstream f(path, std::ios::binary | std::ios::trunc);
  f.write(reinterpret_cast<const char*>(data.data()), (std::streamsize)data.size());
}

Bytes PseudoRandom(size_t size, uint32_t seed) {
  std::mt19937 rng(seed);
  Bytes b(size);
  for (uint8_t& x : b) x = (uint8_t)rng();
  return b;
}

std::vector<uint32_t> ChangedPagesOutside(const Bytes& before, const Bytes& after, uint32_t firstSector,
                                          uint32_t count) {
  std::vector<uint32_t> changed;
  size_t pages = std::min(before.size(), after.size()) / kPage;
  for (uint32_t p = 0; p < pages; ++p) {
    if (p >= firstSector && p < firstSector + count) continue;
    if (memcmp(Page(before, p), Page(after, p), kPage) != 0) changed.push_back(p);
  }
  if (before.size() != after.size()) changed.push_back(~0u);
  return changed;
}

const runproto::MessageBoxCall* LastMessage(const devsim::RunResult& r) { return r.Last<runproto::MessageBoxCall>(); }

std::string Describe(const devsim::RunResult& r) {
  std::string s = "error=" + r.error + " exit=" + std::to_string(r.exitCode) + "\n";
  s += devsim::DescribeEvents(r);
  if (!r.runnerOutput.empty()) s += "runner: " + r.runnerOutput;
  return s;
}

}  // namespace e2e
