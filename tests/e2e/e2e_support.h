// End-to-end support: simulated devices made by the host tool, the real
// programs run on them under Wine, and the raw flash read back.
#ifndef TESTS_E2E_E2E_SUPPORT_H
#define TESTS_E2E_E2E_SUPPORT_H

#include <cstdint>
#include <string>
#include <vector>

#include "tests/common/byte_diff.h"
#include "tests/common/on_flash.h"
#include "tools/run/device_runner.h"

namespace e2e {

using Bytes = std::vector<uint8_t>;

constexpr uint32_t kPage = onflash::kRawPage;
constexpr uint32_t kSectorsPerBlock = onflash::kSectorsPerBlock;

using Args = std::vector<std::string>;

// Runs the host tool; returns its exit code, its output and errors in *out.
int Devsim(const Args& args, std::string* out = nullptr);

struct Device {
  std::string dir;
  // createArgs: options of "devsim create" (chip, TOC, boot image, fill, ...).
  explicit Device(const Args& createArgs = {"--fill"});
  ~Device();
  Device(const Device&) = delete;
  Device& operator=(const Device&) = delete;

  std::string Card() const { return dir + "/SDMMC Disk"; }
  Bytes Flash() const;                      // nand.img
  void PutImage(const Bytes& image) const;  // card's EBOOT.NB0
  void PutUpdater() const;                  // card's Kestrel.exe
  bool OnCard(const std::string& name) const;
  devsim::RunResult Run(const std::string& program, devsim::RunOptions opt = devsim::RunOptions()) const;
  uint64_t Violations(std::vector<std::string>* texts = nullptr) const;
};

// A file with the given bytes, removed with the object.
struct TempFile {
  std::string path;
  explicit TempFile(const Bytes& data);
  ~TempFile();
};

Bytes ReadFile(const std::string& path);
void WriteFile(const std::string& path, const Bytes& data);
Bytes PseudoRandom(size_t size, uint32_t seed);

// Raw page access into an image.
inline const uint8_t* Page(const Bytes& flash, uint32_t sector) { return flash.data() + size_t(sector) * kPage; }
// Pages that differ between two images, excluding [firstSector, firstSector + count).
std::vector<uint32_t> ChangedPagesOutside(const Bytes& before, const Bytes& after, uint32_t firstSector,
                                          uint32_t count);
// What differs in one page of two images.
inline std::string DiffPage(const Bytes& before, const Bytes& after, uint32_t sector) {
  return "sector " + std::to_string(sector) + ":" +
         testutil::DiffBytes(Page(before, sector), Page(after, sector), kPage);
}

// The last message box call of a run, or nullptr.
const runproto::MessageBoxCall* LastMessage(const devsim::RunResult& r);
std::string Describe(const devsim::RunResult& r);  // for failure messages

}  // namespace e2e

#endif
