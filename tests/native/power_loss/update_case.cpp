#include "tests/native/power_loss/update_case.h"

#include <afxwin.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <variant>

#include "bootarea/bootarea.h"
#include "ecc/ecc.h"
#include "platform/debug_sink.h"
#include "sim/device.h"
#include "tests/common/byte_diff.h"
#include "updater/kestrel.h"

namespace powerloss {

namespace {

// xorshift64*: fast, and the same bytes for a seed on every target.
class Random {
 public:
  explicit Random(uint64_t seed) : x_(seed * 0x9E3779B97F4A7C15ull | 1) {}
  uint64_t Next() {
    x_ ^= x_ >> 12;
    x_ ^= x_ << 25;
    x_ ^= x_ >> 27;
    return x_ * 0x2545F4914F6CDD1Dull;
  }
  void Fill(uint8_t* p, size_t n) {
    size_t i = 0;
    for (; i + 8 <= n; i += 8) {
      uint64_t v = Next();
      memcpy(p + i, &v, 8);
    }
    uint64_t v = Next();
    for (; i < n; ++i, v >>= 8) p[i] = uint8_t(v);
  }

 private:
  uint64_t x_;
};

void PutLe32(uint8_t* p, uint32_t v) {
  for (int i = 0; i < 4; ++i) p[i] = uint8_t(v >> (8 * i));
}

// Compares without the sanitizers' per-access checks: the ranges are most of
// a chip (up to 138 MB), plain memory the harness owns, so nothing is lost by
// not checking every byte of them, and the comparison takes a tenth of the
// time.
__attribute__((no_sanitize("address", "undefined"))) bool SameBytes(const uint8_t* a, const uint8_t* b, size_t n) {
  uint8_t diff = 0;
  size_t i = 0;
  for (; i + 64 <= n; i += 64) {
    for (size_t k = 0; k < 64; ++k) diff |= uint8_t(a[i + k] ^ b[i + k]);
    if (diff) return false;
  }
  for (; i < n; ++i) diff |= uint8_t(a[i] ^ b[i]);
  return diff == 0;
}

std::string SectorName(uint32_t sector) {
  char buf[64];
  snprintf(buf, sizeof(buf), "sector %u (block %u page %u)", sector, sector / kSectorsPerBlock,
           sector % kSectorsPerBlock);
  return buf;
}

HANDLE g_systemFlashMutex = NULL;

}  // namespace

sim::NandConfig UpdatePlan::Config() const {
  sim::NandConfig cfg;
  cfg.maker = maker;
  cfg.device = device;
  return cfg;
}

uint64_t UpdatePlan::FlashBytes() const { return sim::ChipShapeFor(maker, device).ImageBytes(); }

uint32_t UpdatePlan::ImageSectors() const { return (imageBytes + kSectorBytes - 1) / kSectorBytes; }

uint32_t UpdatePlan::AreaFirstSector() const { return areaFirstBlock * kSectorsPerBlock; }

uint32_t UpdatePlan::AreaEndSector() const {
  uint32_t blocks = (areaSectors + kSectorsPerBlock - 1) / kSectorsPerBlock;
  return (areaFirstBlock + blocks) * kSectorsPerBlock;
}

std::string UpdatePlan::Name() const {
  char buf[64];
  snprintf(buf, sizeof(buf), "0x%02x:0x%02x %3llu MiB", maker, device,
           (unsigned long long)(sim::ChipShapeFor(maker, device).Pages() * kSectorBytes >> 20));
  return buf;
}

std::vector<UpdatePlan> SweepPlans(const std::string& which) {
  std::vector<UpdatePlan> plans;
  if (which == "all" || which == "default") plans.push_back(UpdatePlan());
  if (which == "all" || which == "small") {
    uint32_t seed = 100;
    for (uint32_t maker : {0x98u, 0xADu, 0xECu}) {
      for (uint32_t device : {0x73u, 0x75u, 0x76u, 0x79u}) {
        UpdatePlan p;
        p.maker = maker;
        p.device = device;
        p.areaSectors = 96;
        p.imageBytes = 32000;
        p.seed = ++seed;
        plans.push_back(p);
      }
    }
  }
  return plans;
}

std::vector<uint8_t> CardImage(const UpdatePlan& plan) {
  std::vector<uint8_t> image(plan.imageBytes);
  Random(plan.seed * 2 + 1).Fill(image.data(), image.size());
  return image;
}

std::vector<uint8_t> ProgrammedPage(const uint8_t* data, bool ecc, bool record) {
  std::vector<uint8_t> raw(kRawPage, 0xFF);
  if (data) memcpy(raw.data(), data, kSectorBytes);
  if (data && ecc) {
    EccGenerate(data, &raw[520]);
    EccGenerate(data + ECC_BLOCK_SIZE, &raw[524]);
  }
  if (record) memcpy(&raw[kSectorBytes], kBootRecord, sizeof(kBootRecord));
  return raw;
}

std::vector<uint8_t> ImageSector(const std::vector<uint8_t>& image, uint32_t index) {
  std::vector<uint8_t> sector(kSectorBytes, 0xFF);
  size_t first = size_t(index) * kSectorBytes;
  size_t n = std::min<size_t>(kSectorBytes, image.size() - first);
  memcpy(sector.data(), image.data() + first, n);
  return sector;
}

void BuildFlashBefore(const UpdatePlan& plan, uint8_t* raw) {
  Random(plan.seed * 2).Fill(raw, size_t(plan.FlashBytes()));

  uint8_t toc[kSectorBytes] = {};
  memcpy(toc, onflash::kTocSignature, 4);
  PutLe32(toc + onflash::kTocSectorCountAt, plan.areaSectors);
  PutLe32(toc + onflash::kTocFirstBlockAt, plan.areaFirstBlock);
  std::vector<uint8_t> page = ProgrammedPage(toc, true, true);
  memcpy(raw + uint64_t(plan.tocBlock) * kSectorsPerBlock * kRawPage, page.data(), kRawPage);

  // The boot loader of an earlier update in every sector of the area.
  Random old(plan.seed * 2 + 7);
  uint8_t data[kSectorBytes];
  for (uint32_t s = plan.AreaFirstSector(); s < plan.AreaEndSector(); ++s) {
    old.Fill(data, sizeof(data));
    page = ProgrammedPage(data, true, true);
    memcpy(raw + uint64_t(s) * kRawPage, page.data(), kRawPage);
  }
}

std::string RangeDiff(const uint8_t* now, const uint8_t* before, uint64_t from, uint64_t to) {
  if (to <= from || SameBytes(now + from, before + from, size_t(to - from))) return "";
  uint32_t pages = 0;
  std::string first;
  for (uint64_t s = from / kRawPage; s * kRawPage < to; ++s) {
    uint64_t lo = std::max(from, s * kRawPage), hi = std::min(to, (s + 1) * kRawPage);
    if (memcmp(now + lo, before + lo, size_t(hi - lo)) == 0) continue;
    if (pages++ == 0) {
      uint64_t p = s * kRawPage;
      first = SectorName(uint32_t(s)) + ":" + testutil::DiffBytes(before + p, now + p, kRawPage, 8);
    }
  }
  return std::to_string(pages) + " page(s) outside the area changed; first " + first;
}

std::string OutsideAreaDiff(const UpdatePlan& plan, const uint8_t* now, const uint8_t* before) {
  std::string low = RangeDiff(now, before, 0, uint64_t(plan.AreaFirstSector()) * kRawPage);
  std::string high = RangeDiff(now, before, uint64_t(plan.AreaEndSector()) * kRawPage, plan.FlashBytes());
  return low.empty() ? high : high.empty() ? low : low + "; " + high;
}

std::string AreaDiff(const UpdatePlan& plan, const uint8_t* now, const std::vector<uint8_t>& image) {
  uint32_t wrong = 0;
  std::string first;
  std::vector<uint8_t> erased(kRawPage, 0xFF);
  for (uint32_t i = 0; plan.AreaFirstSector() + i < plan.AreaEndSector(); ++i) {
    uint32_t sector = plan.AreaFirstSector() + i;
    const uint8_t* got = now + uint64_t(sector) * kRawPage;
    std::vector<uint8_t> want = erased;
    if (i < plan.ImageSectors()) want = ProgrammedPage(ImageSector(image, i).data(), true, true);
    if (memcmp(want.data(), got, kRawPage) == 0) continue;
    if (wrong++ == 0) {
      first = "area sector " + std::to_string(i) + ", " + SectorName(sector) +
              (i < plan.ImageSectors() ? " (image data)" : " (erased)") + ":" +
              testutil::DiffBytes(want.data(), got, kRawPage, 8);
    }
  }
  if (wrong == 0) return "";
  return std::to_string(wrong) + " area sector(s) wrong; first " + first;
}

Card::Card(const std::vector<uint8_t>& image) {
  const char* tmp = getenv("TMPDIR");
  std::string pattern = std::string(tmp && *tmp ? tmp : "/tmp") + "/kestrel_power_XXXXXX";
  std::vector<char> buf(pattern.begin(), pattern.end());
  buf.push_back('\0');
  if (!mkdtemp(buf.data())) return;
  root_ = buf.data();
  std::string card = root_ + "/SDMMC Disk";
  if (mkdir(card.c_str(), 0755) != 0) return;
  FILE* f = fopen((card + "/EBOOT.NB0").c_str(), "wb");
  if (!f) return;
  bool written = fwrite(image.data(), 1, image.size(), f) == image.size();
  ok_ = fclose(f) == 0 && written;
}

Card::~Card() {
  if (root_.empty()) return;
  std::error_code ec;
  std::filesystem::remove_all(root_, ec);
}

void PrepareDevice(const std::string& root) {
  PlatformSetDebugEcho(false);
  if (!g_systemFlashMutex) g_systemFlashMutex = CreateMutexW(NULL, FALSE, L"_FLASH_MUTEX_");
  native::SetDeviceRoot(root);
}

void FreeSystemFlashMutex() {
  DWORD wait = WaitForSingleObject(g_systemFlashMutex, 0);
  if (wait == WAIT_OBJECT_0 || wait == WAIT_ABANDONED) ReleaseMutex(g_systemFlashMutex);
}

RunResult RunUpdater() {
  // The framework runs the one application object of the program: it must be
  // the updater's (naming it here also links it in).
  if (AfxGetApp() != &theApp) {
    fprintf(stderr, "power_loss: the framework's application object is not the updater's\n");
    abort();
  }
  native::ClearEvents();
  RunResult r;
  r.end = native::RunProgram([] { AfxWinMain(NULL, NULL, (LPTSTR)L"", SW_SHOW); });
  for (const runproto::Event& e : native::Events()) {
    if (const auto* box = std::get_if<runproto::MessageBoxCall>(&e)) r.boxes.push_back({box->caption, box->text});
  }
  sim::SocReadRecord(&r.record);
  return r;
}

bool IsSuccessBox(const Box& box) { return box.caption == "Information" && box.text == "Bootloader update finished! "; }

std::string DescribeBoxes(const std::vector<Box>& boxes) {
  if (boxes.empty()) return "none";
  std::string out;
  for (const Box& b : boxes) out += (out.empty() ? "\"" : ", \"") + b.caption + ": " + b.text + "\"";
  return out;
}

std::string DescribeViolations(const sim::DeviceRecord& record) {
  std::string out = std::to_string(record.violationCount) + " protocol violation(s)";
  for (size_t i = 0; i < record.violations.size() && i < 3; ++i) out += (i ? "; " : ": ") + record.violations[i];
  return out;
}

}  // namespace powerloss
