// Running the built devsim as a user does, and looking at what it leaves:
// the bytes of nand.img, the lines of nand.cfg.
#ifndef TESTS_TOOLS_TOOL_TEST_SUPPORT_H
#define TESTS_TOOLS_TOOL_TEST_SUPPORT_H

#include <cstdint>
#include <string>
#include <vector>

#include "tests/common/byte_diff.h"

namespace tooltest {

using Bytes = std::vector<uint8_t>;

constexpr uint32_t kPage = 528;
constexpr uint8_t kBootRecord[8] = {0x00, 0x00, 0x00, 0x00, 0xFC, 0x00, 0x00, 0x00};

struct ToolRun {
  int exit = -1;
  std::string out;
  std::string err;
  std::string All() const { return "exit " + std::to_string(exit) + "\n--- stdout\n" + out + "--- stderr\n" + err; }
};
ToolRun Devsim(const std::vector<std::string>& args);

// A folder removed with everything in it at the end of the test.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  const std::string& Path() const { return path_; }
  std::string operator/(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

// `devsim create DIR OPTIONS...` into t/dev is refused: exit 2, an error that
// holds `message`, and no folder left behind.
void ExpectCreateRefused(const TempDir& t, const std::vector<std::string>& options, const std::string& message);

Bytes ReadBytes(const std::string& path);
Bytes ReadRange(const std::string& path, uint64_t offset, size_t n);
void WriteBytes(const std::string& path, const Bytes& data);
std::string ReadText(const std::string& path);
uint64_t FileSize(const std::string& path);
bool IsDir(const std::string& path);

// One raw page of an image file, and changes made to it in place.
Bytes ReadPage(const std::string& image, uint64_t page);
void WritePage(const std::string& image, uint64_t page, const Bytes& raw);
void FlipBit(const std::string& image, uint64_t page, uint32_t byte, uint32_t bit);
void SetByte(const std::string& image, uint64_t page, uint32_t byte, uint8_t value);

Bytes PseudoRandom(size_t n, uint32_t seed);
uint32_t Le32(const uint8_t* p);
bool AllFF(const uint8_t* p, size_t n);
// The bytes where two buffers differ, for failure messages: DiffBytes(want, got).
using testutil::DiffBytes;

}  // namespace tooltest

#endif
