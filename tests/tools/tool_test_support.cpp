#include "tests/tools/tool_test_support.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>
#include <stdexcept>

#include "tools/run/process.h"

namespace tooltest {

ToolRun Devsim(const std::vector<std::string>& args) {
  hostproc::Spec spec;
  spec.argv = {DEVSIM_EXE};
  spec.argv.insert(spec.argv.end(), args.begin(), args.end());
  spec.timeoutSeconds = 300;
  hostproc::Result run = hostproc::Run(spec);
  ToolRun r;
  r.exit = run.Ended() ? run.exitCode : -1;
  r.out = run.out;
  r.err = run.err + (r.exit < 0 ? "devsim: " + run.Describe() + "\n" : "");
  return r;
}

TempDir::TempDir() {
  char tmpl[] = "/tmp/devsim-test-XXXXXX";
  if (!mkdtemp(tmpl)) throw std::runtime_error("mkdtemp failed");
  path_ = tmpl;
}

TempDir::~TempDir() {
  std::error_code ec;
  std::filesystem::remove_all(path_, ec);
}

void ExpectCreateRefused(const TempDir& t, const std::vector<std::string>& options, const std::string& message) {
  SCOPED_TRACE(testing::PrintToString(options));
  std::vector<std::string> args = {"create", t / "dev"};
  args.insert(args.end(), options.begin(), options.end());
  ToolRun r = Devsim(args);
  EXPECT_EQ(2, r.exit) << r.All();
  EXPECT_NE(std::string::npos, r.err.find(message)) << r.All();
  EXPECT_FALSE(IsDir(t / "dev")) << "a refused create left a folder";
}

Bytes ReadBytes(const std::string& path) {
  const uint64_t size = FileSize(path);
  return size == ~0ull ? Bytes() : ReadRange(path, 0, size_t(size));
}

Bytes ReadRange(const std::string& path, uint64_t offset, size_t n) {
  Bytes b(n);
  int fd = open(path.c_str(), O_RDONLY);
  ssize_t got = fd < 0 ? -1 : pread(fd, b.data(), n, off_t(offset));
  if (fd >= 0) close(fd);
  b.resize(got < 0 ? 0 : size_t(got));
  return b;
}

void WriteBytes(const std::string& path, const Bytes& data) {
  std::ofstream f(path, std::ios::binary | std::ios::trunc);
  f.write(reinterpret_cast<const char*>(data.data()), std::streamsize(data.size()));
}

std::string ReadText(const std::string& path) {
  std::ifstream f(path, std::ios::binary);
  std::ostringstream ss;
  ss << f.rdbuf();
  return ss.str();
}

uint64_t FileSize(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0 ? uint64_t(st.st_size) : ~0ull;
}

bool IsDir(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

Bytes ReadPage(const std::string& image, uint64_t page) {
  Bytes raw(kPage, 0);
  int fd = open(image.c_str(), O_RDONLY);
  if (fd < 0 || pread(fd, raw.data(), kPage, off_t(page * kPage)) != ssize_t(kPage))
    throw std::runtime_error("cannot read page " + std::to_string(page) + " of " + image);
  close(fd);
  return raw;
}

void WritePage(const std::string& image, uint64_t page, const Bytes& raw) {
  int fd = open(image.c_str(), O_WRONLY);
  if (fd < 0 || raw.size() != kPage || pwrite(fd, raw.data(), kPage, off_t(page * kPage)) != ssize_t(kPage))
    throw std::runtime_error("cannot write page " + std::to_string(page) + " of " + image);
  close(fd);
}

void FlipBit(const std::string& image, uint64_t page, uint32_t byte, uint32_t bit) {
  Bytes raw = ReadPage(image, page);
  raw[byte] ^= uint8_t(1u << bit);
  WritePage(image, page, raw);
}

void SetByte(const std::string& image, uint64_t page, uint32_t byte, uint8_t value) {
  Bytes raw = ReadPage(image, page);
  raw[byte] = value;
  WritePage(image, page, raw);
}

Bytes PseudoRandom(size_t n, uint32_t seed) {
  std::mt19937 rng(seed);
  Bytes b(n);
  for (uint8_t& x : b) x = uint8_t(rng());
  return b;
}

uint32_t Le32(const uint8_t* p) { return p[0] | (p[1] << 8) | (p[2] << 16) | (uint32_t(p[3]) << 24); }

bool AllFF(const uint8_t* p, size_t n) {
  for (size_t i = 0; i < n; ++i)
    if (p[i] != 0xFF) return false;
  return true;
}

}  // namespace tooltest
