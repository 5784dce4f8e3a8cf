// The sector that the power interrupts: what its page holds when the power
// goes between the chip operations of one boot area sector, and that the next
// start of the updater rewrites the area whole.
//
// One boot area sector is written (NandWriteEBootSector: FMD_WriteSector,
// then FMD_ReadSector to check it) as these chip operations, in this order:
//   data program     0x00 pointer, 0x80, the 512 data bytes by DMA, 0x10
//   ECC program      0x50 pointer, 0x80 at spare column 8, 8 bytes, 0x10
//   record program   0x50 pointer, 0x80 at spare column 0, 8 bytes, 0x10
//   read back        0x00, the raw page through the ECC check
// and parts of maker 0xAD get a reset (0xFF) before each of the three
// programs. The cuts are aimed with the chip model's operation counter: the
// uninterrupted updates of two image sizes give the operations before the
// first sector and the operations per sector, so "after k operations of
// sector i" is an exact power_loss_after.
//
// A 16 MiB chip, a 64-sector area and a 3,000-byte image (6 sectors, the last
// one padded) keep each run short enough for qemu-arm.
#include <gtest/gtest.h>

#include <cstring>
#include <ostream>
#include <string>
#include <vector>

#include "platform/native/native_soc.h"
#include "sim/device.h"
#include "sim/soc.h"
#include "tests/common/byte_diff.h"
#include "tests/native/power_loss/update_case.h"

namespace powerloss {
namespace {

enum class PageState { kErased, kDataOnly, kDataAndEcc, kComplete };

const char* StateName(PageState s) {
  switch (s) {
    case PageState::kErased:
      return "erased";
    case PageState::kDataOnly:
      return "data, no ECC, no record";
    case PageState::kDataAndEcc:
      return "data and ECC, no record";
    case PageState::kComplete:
      return "data, ECC and record";
  }
  return "?";
}

struct Cut {
  uint32_t opsIntoSector;  // chip operations of the sector carried out before the power goes
  PageState page;          // what the sector's page then holds
};

struct MakerCase {
  const char* name;
  uint32_t maker;
  uint32_t opsPerSector;
  std::vector<Cut> cuts;
};

void PrintTo(const MakerCase& c, std::ostream* os) { *os << c.name; }

const MakerCase kMakers[] = {
    {"maker_0xEC",
     0xEC,
     4,
     {{0, PageState::kErased}, {1, PageState::kDataOnly}, {2, PageState::kDataAndEcc}, {3, PageState::kComplete}}},
    // A reset before each program: the cut after the data program and the one
    // after the reset that follows it leave the same page.
    {"maker_0xAD",
     0xAD,
     7,
     {{1, PageState::kErased},
      {2, PageState::kDataOnly},
      {3, PageState::kDataOnly},
      {4, PageState::kDataAndEcc},
      {6, PageState::kComplete}}},
};

constexpr uint32_t kShortImageBytes = 1500;  // 3 sectors
constexpr uint32_t kImageBytes = 3000;       // 6 sectors
constexpr uint32_t kCutSector = 4;           // the image's fifth sector

class InterruptedSectorTest : public ::testing::TestWithParam<MakerCase> {
 protected:
  void SetUp() override {
    plan_.maker = GetParam().maker;
    plan_.device = 0x73;
    plan_.areaSectors = 64;
    plan_.imageBytes = kImageBytes;
    plan_.seed = 7;
    before_.resize(size_t(plan_.FlashBytes()));
    BuildFlashBefore(plan_, before_.data());
    flash_ = before_;
  }

  void TearDown() override { sim::SocDetach(); }

  // The updater on the flash before the update, with the power going after
  // powerLossAfter chip operations (-1: not).
  RunResult FirstRun(const Card& card, int64_t powerLossAfter) {
    memcpy(flash_.data(), before_.data(), before_.size());
    PrepareDevice(card.root());
    FreeSystemFlashMutex();
    sim::NandConfig cfg = plan_.Config();
    cfg.powerLossAfter = powerLossAfter;
    EXPECT_TRUE(native::AttachMemoryDevice(cfg, flash_.data(), flash_.size()));
    return RunUpdater();
  }

  // The next start of the updater on the same flash, the power back on.
  RunResult NextRun() {
    EXPECT_TRUE(sim::SocLoadFaults(plan_.Config()));
    EXPECT_TRUE(sim::SocStartRun(true));
    return RunUpdater();
  }

  // The chip operations of an uninterrupted update of an image of `bytes`.
  uint64_t OperationsOfUpdate(uint32_t bytes) {
    UpdatePlan p = plan_;
    p.imageBytes = bytes;
    std::vector<uint8_t> image = CardImage(p);
    Card card(image);
    EXPECT_TRUE(card.ok());
    RunResult run = FirstRun(card, -1);
    EXPECT_EQ(native::ProgramEnd::kReturned, run.end);
    EXPECT_EQ(1u, run.boxes.size()) << DescribeBoxes(run.boxes);
    if (!run.boxes.empty()) EXPECT_TRUE(IsSuccessBox(run.boxes[0])) << DescribeBoxes(run.boxes);
    EXPECT_EQ(0u, run.record.violationCount) << DescribeViolations(run.record);
    EXPECT_EQ("", AreaDiff(p, flash_.data(), image));
    return run.record.chipOps;
  }

  const uint8_t* Page(uint32_t areaIndex) const {
    return flash_.data() + uint64_t(plan_.AreaFirstSector() + areaIndex) * kRawPage;
  }

  std::vector<uint8_t> Expected(const std::vector<uint8_t>& image, uint32_t areaIndex, PageState s) const {
    if (s == PageState::kErased) return ProgrammedPage(nullptr, false, false);
    std::vector<uint8_t> data = ImageSector(image, areaIndex);
    return ProgrammedPage(data.data(), s != PageState::kDataOnly, s == PageState::kComplete);
  }

  UpdatePlan plan_;
  std::vector<uint8_t> before_;
  std::vector<uint8_t> flash_;
};

TEST_P(InterruptedSectorTest, PageHoldsWhatWasProgrammedBeforeThePowerWent) {
  const MakerCase& mc = GetParam();
  uint32_t shortSectors = (kShortImageBytes + kSectorBytes - 1) / kSectorBytes;
  uint32_t sectors = plan_.ImageSectors();
  uint64_t shortOps = OperationsOfUpdate(kShortImageBytes);
  uint64_t ops = OperationsOfUpdate(kImageBytes);
  ASSERT_FALSE(HasFailure());
  ASSERT_EQ(0u, (ops - shortOps) % (sectors - shortSectors)) << shortOps << " and " << ops << " operations";
  uint64_t perSector = (ops - shortOps) / (sectors - shortSectors);
  ASSERT_EQ(mc.opsPerSector, perSector) << "chip operations per boot sector";
  uint64_t firstSector = shortOps - perSector * shortSectors;  // ID, TOC probe and read, area erase

  std::vector<uint8_t> image = CardImage(plan_);
  Card card(image);
  ASSERT_TRUE(card.ok());
  for (const Cut& cut : mc.cuts) {
    int64_t n = int64_t(firstSector + perSector * kCutSector + cut.opsIntoSector);
    SCOPED_TRACE("power lost after " + std::to_string(n) + " chip operations: " + std::to_string(cut.opsIntoSector) +
                 " into sector " + std::to_string(kCutSector) + ", expected " + StateName(cut.page));
    RunResult cutRun = FirstRun(card, n);
    EXPECT_EQ(native::ProgramEnd::kPowerLost, cutRun.end);
    EXPECT_TRUE(cutRun.record.poweredOff);
    EXPECT_EQ(uint64_t(n) + 1, cutRun.record.chipOps) << "the operation that found the power gone";
    EXPECT_TRUE(cutRun.boxes.empty()) << DescribeBoxes(cutRun.boxes);
    EXPECT_EQ(0u, cutRun.record.violationCount) << DescribeViolations(cutRun.record);

    for (uint32_t i = 0; plan_.AreaFirstSector() + i < plan_.AreaEndSector(); ++i) {
      PageState want = i < kCutSector ? PageState::kComplete : i == kCutSector ? cut.page : PageState::kErased;
      std::vector<uint8_t> expected = Expected(image, i, want);
      std::string diff = testutil::DiffBytes(expected.data(), Page(i), kRawPage, 12);
      EXPECT_EQ("", diff) << "area sector " << i << " should be " << StateName(want);
    }
    EXPECT_EQ("", OutsideAreaDiff(plan_, flash_.data(), before_.data()));

    RunResult next = NextRun();
    EXPECT_EQ(native::ProgramEnd::kReturned, next.end);
    ASSERT_EQ(1u, next.boxes.size()) << DescribeBoxes(next.boxes);
    EXPECT_TRUE(IsSuccessBox(next.boxes[0])) << DescribeBoxes(next.boxes);
    EXPECT_EQ(0u, next.record.violationCount) << DescribeViolations(next.record);
    EXPECT_EQ("", AreaDiff(plan_, flash_.data(), image));
    EXPECT_EQ("", OutsideAreaDiff(plan_, flash_.data(), before_.data()));
  }
}

INSTANTIATE_TEST_SUITE_P(Makers, InterruptedSectorTest, ::testing::ValuesIn(kMakers),
                         [](const ::testing::TestParamInfo<MakerCase>& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace powerloss
