#include "tests/e2e/e2e_support.h"

#include <sys/stat.h>
#include <unistd.h>

#include <sys/wait.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <cstdlib>
#include <fstream>
#include <random>
#include <sstream>

#include "sim/device_record.h"

namespace e2e {

int Devsim(const std::string& args, std::string* out) {
  std::string cmd = std::string(DEVSIM_PATH) + " " + args + " 2>&1";
  FILE* p = popen(cmd.c_str(), "r");
  if (!p) return -1;
  std::string text;
  char buf[4096];
  size_t n;
  while ((n = fread(buf, 1, sizeof(buf), p)) > 0) text.append(buf, n);
  int status = pclose(p);
  if (out) *out = text;
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

Device::Device(const std::string& createArgs) {
  char tmpl[] = "/tmp/kestrel-e2e-XXXXXX";
  if (mkdtemp(tmpl)) dir = std::string(tmpl) + "/dev";
  std::string out;
  // The smallest chip unless a test asks for another: creating and reading
  // back a device is most of a test's time.
  std::string chip = createArgs.find("--chip") == std::string::npos ? " --chip ec:73" : "";
  if (Devsim("create '" + dir + "' " + createArgs + chip, &out) != 0) {
    fprintf(stderr, "devsim create %s failed:\n%s\n", createArgs.c_str(), out.c_str());
    dir.clear();
  }
}

Device::~Device() {
  if (dir.empty() || getenv("KESTREL_KEEP_DEVICES")) return;
  std::string parent = dir.substr(0, dir.rfind('/'));
  std::string cmd = "rm -rf '" + parent + "'";
  if (system(cmd.c_str()) != 0) fprintf(stderr, "could not remove %s\n", parent.c_str());
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
