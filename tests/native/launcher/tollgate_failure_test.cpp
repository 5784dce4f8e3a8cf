// The launcher on the native target: its own calls into the kernel (the look
// for the navigation program, the start of the updater, the polls of its exit
// code, the two deletions) failed one at a time, and what each leaves on the
// card and on the flash. The updater it starts is the real one, on a small
// device in memory; its own failure points are swept apart (failure_sweep).
#include <gtest/gtest.h>

#include <afxwin.h>
#include <sys/stat.h>

#include <cstdio>
#include <string>
#include <vector>

#include "launcher/tollgate_text.h"
#include "tests/launcher/refusal_text.h"
#include "platform/native/native.h"
#include "platform/native/native_soc.h"
#include "tests/native/power_loss/small_update_test.h"
#include "tests/native/power_loss/update_case.h"

int WINAPI WinMain(HINSTANCE hInstance, HINSTANCE hPrevInstance, LPTSTR lpCmdLine, int nCmdShow);

namespace powerloss {
namespace {

bool Exists(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0;
}

class TollgateFailureTest : public SmallUpdateTest {
 protected:
  void SetUp() override {
    SmallUpdateTest::SetUp();
    if (HasFatalFailure()) return;
    flash_ = before_;
    native::RegisterProgram(L"\\sdmmc disk\\Kestrel.exe",
                            [] { return AfxWinMain(NULL, NULL, (LPTSTR)L"", SW_SHOW); });
  }

  std::string Updater() const { return card_->root() + "/SDMMC Disk/Kestrel.exe"; }
  std::string Image() const { return card_->root() + "/SDMMC Disk/EBOOT.NB0"; }

  // The card as a delivery leaves it, the flash as before the update, a
  // device just switched on; then the launcher runs with point `fail` failed.
  std::vector<Box> Run(int64_t fail, bool updaterOnCard = true, int failEvery = -1) {
    remove(Updater().c_str());
    FILE* f = updaterOnCard ? fopen(Updater().c_str(), "wb") : nullptr;
    if (f) fclose(f);
    FILE* g = fopen(Image().c_str(), "wb");
    if (g) {
      fwrite(image_.data(), 1, image_.size(), g);
      fclose(g);
    }
    SwitchOn();
    native::ClearEvents();
    native::ArmFailurePoint(fail);
    if (failEvery >= 0) native::FailEveryPointOf(native::FailureKind(failEvery));
    slept_ = native::SleptMs();
    native::Leftovers left = native::LeftByReturnedPrograms();
    int code = -1;
    EXPECT_EQ(native::ProgramEnd::kReturned,
              native::RunProgram([&code] { code = WinMain(NULL, NULL, (LPTSTR)L"", 0); }));
    // 0 on every path, and every handle it was given closed (the updater's too).
    EXPECT_EQ(0, code);
    native::Leftovers now = native::LeftByReturnedPrograms();
    EXPECT_EQ(left.handles, now.handles) << "handles left open";
    EXPECT_EQ(left.regions, now.regions) << "memory left reserved";
    std::vector<Box> boxes;
    types_.clear();
    for (const runproto::Event& e : native::Events()) {
      if (const auto* b = std::get_if<runproto::MessageBoxCall>(&e)) {
        boxes.push_back({b->caption, b->text});
        types_.push_back(b->type);
      }
    }
    slept_ = native::SleptMs() - slept_;
    seen_ = native::FailurePointsSeen();
    struck_ = native::FailurePointStruck();
    native::ArmFailurePoint(-1);
    return boxes;
  }

  uint64_t slept_ = 0;  // of the last run
  std::vector<native::FailurePoint> seen_;
  std::vector<uint64_t> types_;  // of the last run's boxes
  bool struck_ = false;
};

TEST_F(TollgateFailureTest, EachOfItsCallsFailedInTurn) {
  std::vector<Box> normal = Run(-1);
  std::vector<native::FailurePoint> seen = seen_;
  EXPECT_EQ(0u, slept_) << "the updater was found ended at the first poll";
  ASSERT_EQ(1u, normal.size());
  EXPECT_TRUE(IsSuccessBox(normal[0])) << DescribeBoxes(normal);
  EXPECT_FALSE(Exists(Updater()));
  EXPECT_FALSE(Exists(Image()));
  EXPECT_EQ("", AreaDiff(plan_, flash_.data(), image_));

  // The look, the start, one poll that finds the updater ended, two deletions.
  using K = native::FailureKind;
  std::vector<K> kinds;
  for (const native::FailurePoint& p : seen) kinds.push_back(p.kind);
  ASSERT_EQ((std::vector<K>{K::kFindFirstFile, K::kCreateProcess, K::kGetExitCodeProcess, K::kDeleteFile,
                            K::kDeleteFile}),
            kinds);
  EXPECT_EQ("\\SDMMC Disk\\Kestrel.exe", seen[3].what);
  EXPECT_EQ("\\SDMMC Disk\\Eboot.nb0", seen[4].what);

  for (size_t n = 0; n < seen.size(); ++n) {
    SCOPED_TRACE(testing::Message() << "point " << n << ": " << native::FailureKindName(seen[n].kind) << " "
                                    << seen[n].what);
    std::vector<Box> boxes = Run(int64_t(n));
    EXPECT_TRUE(struck_);
    ASSERT_EQ(1u, boxes.size()) << DescribeBoxes(boxes);
    if (seen[n].kind == K::kFindFirstFile) {
      // A look that cannot tell refuses: no update, the card kept for later.
      EXPECT_EQ("Tollgate", boxes[0].caption);
      EXPECT_TRUE(Exists(Updater()));
      EXPECT_TRUE(Exists(Image()));
      EXPECT_TRUE(flash_ == before_) << "the flash changed although the launcher refused";
      continue;
    }
    // A failed start is tried again, a failed poll polls again: the update
    // runs to its end either way.
    EXPECT_TRUE(IsSuccessBox(boxes[0])) << DescribeBoxes(boxes);
    EXPECT_EQ("", AreaDiff(plan_, flash_.data(), image_));
    EXPECT_EQ("", OutsideAreaDiff(plan_, flash_.data(), before_.data()));
    // A deletion that fails leaves that file, and only that one.
    EXPECT_EQ(n == 3, Exists(Updater()));
    EXPECT_EQ(n == 4, Exists(Image()));
  }
}

// No updater to start: six attempts 200 ms apart, then the image goes (the
// card no longer offers the update) and the flash is left alone.
TEST_F(TollgateFailureTest, WithoutTheUpdaterSixStartsThenOnlyTheImageGoes) {
  std::vector<Box> boxes = Run(-1, /*updaterOnCard=*/false);
  EXPECT_TRUE(boxes.empty()) << DescribeBoxes(boxes);
  EXPECT_FALSE(Exists(Image()));
  EXPECT_TRUE(flash_ == before_);
  EXPECT_EQ(5u * 200u, slept_);
}

// An updater whose end is never seen (every read of its exit code fails) is
// waited for 99 polls of 500 ms; then only the image is deleted, the updater
// that may still run is left on the card.
TEST_F(TollgateFailureTest, AnUpdaterNeverSeenEndingKeepsItsFile) {
  std::vector<Box> boxes = Run(-1, true, int(native::FailureKind::kGetExitCodeProcess));
  ASSERT_EQ(1u, boxes.size());
  EXPECT_TRUE(IsSuccessBox(boxes[0])) << DescribeBoxes(boxes);
  EXPECT_TRUE(Exists(Updater()));
  EXPECT_FALSE(Exists(Image()));
  EXPECT_EQ(99u * 500u, slept_);
}

// A \windows folder without the navigation program: the look finds no such
// file, and the update goes ahead.
TEST_F(TollgateFailureTest, AWindowsFolderWithoutTheNavigationProgramLetsTheUpdateRun) {
  std::string windows = card_->root() + "/windows";
  mkdir(windows.c_str(), 0755);
  std::vector<Box> boxes = Run(-1);
  rmdir(windows.c_str());
  ASSERT_EQ(1u, boxes.size());
  EXPECT_TRUE(IsSuccessBox(boxes[0])) << DescribeBoxes(boxes);
  EXPECT_FALSE(Exists(Updater()));
  EXPECT_FALSE(Exists(Image()));
}

// With the navigation program installed the launcher refuses and the
// updater never runs.
TEST_F(TollgateFailureTest, TheNavigationProgramRefusesTheUpdate) {
  std::string windows = card_->root() + "/windows";
  mkdir(windows.c_str(), 0755);
  FILE* f = fopen((windows + "/navorin.exe").c_str(), "wb");
  ASSERT_TRUE(f);
  fclose(f);
  std::vector<Box> boxes = Run(-1);
  ASSERT_EQ(1u, boxes.size());
  EXPECT_EQ("Tollgate", boxes[0].caption);
  EXPECT_EQ(uint64_t(MB_OKCANCEL | MB_ICONEXCLAMATION | MB_SETFOREGROUND | MB_TOPMOST), types_[0]);
  EXPECT_EQ(kRefusalUtf8, boxes[0].text);
  EXPECT_EQ(50u, sizeof(g_szRefusalText) / sizeof(g_szRefusalText[0]) - 1) << "UTF-16 units of the refusal";
  EXPECT_TRUE(Exists(Updater()));
  EXPECT_TRUE(Exists(Image()));
  EXPECT_TRUE(flash_ == before_);
  remove((windows + "/navorin.exe").c_str());
  rmdir(windows.c_str());
}

}  // namespace
}  // namespace powerloss
