// The failure points of a small update on every target that runs one
// process (native and armv4): each kind of call and of wait, at its first
// point in each step of the update, and every point of the first sector's
// write (its data, code and record programs and its read-back), failed
// alone. The whole set of points of the default update is the failure
// sweep's (native only); this keeps each failure path in the quick tests.
#include <gtest/gtest.h>

#include <set>
#include <string>
#include <tuple>
#include <variant>
#include <vector>

#include "platform/native/native.h"
#include "platform/native/native_soc.h"
#include "sim/device.h"
#include "tests/native/failure/failure_case.h"
#include "tests/native/power_loss/small_update_test.h"

namespace powerloss {
namespace {

class FailurePointsTest : public SmallUpdateTest {
 protected:
  void TearDown() override { native::ArmFailurePoint(-1); }

  RunResult Run(int64_t fail) {
    SwitchOn();
    native::ArmFailurePoint(fail);
    return RunUpdater();
  }
};

TEST_F(FailurePointsTest, EachKindInEachStepAndEveryPointOfTheFirstSector) {
  RunResult clean = Run(-1);
  ASSERT_EQ(1u, clean.boxes.size());
  ASSERT_TRUE(IsSuccessBox(clean.boxes[0]));
  std::vector<native::FailurePoint> seen = native::FailurePointsSeen();
  std::vector<runproto::Event> events = native::Events();
  std::vector<Phase> phases = PhasesOf(seen, events);
  size_t firstProgress = events.size();
  // The dialog sets the bar to 0 as it opens; the first sector written moves it on.
  for (size_t i = 0; i < events.size() && firstProgress == events.size(); ++i)
    if (const auto* p = std::get_if<runproto::Progress>(&events[i]); p && p->pos > 0) firstProgress = i;

  std::set<std::tuple<int, std::string, int>> tried;
  std::vector<size_t> points;
  for (size_t n = 0; n < seen.size(); ++n) {
    bool firstSector = phases[n] == Phase::kWrite && seen[n].eventsBefore <= firstProgress;
    if (tried.insert({int(seen[n].kind), seen[n].what, int(phases[n])}).second || firstSector) points.push_back(n);
  }
  // Every kind the updater calls, and the waits of each of its steps.
  std::set<native::FailureKind> kinds;
  size_t ofFirstSector = 0;
  for (size_t n : points) {
    kinds.insert(seen[n].kind);
    ofFirstSector += phases[n] == Phase::kWrite;
  }
  // Its bus taking and waits: the data, the code and the record programs, the read-back.
  EXPECT_GE(ofFirstSector, 12u);
  EXPECT_EQ(10u, kinds.size()) << "kinds of the update's points";
  uint64_t areaFrom = uint64_t(plan_.AreaFirstSector()) * kRawPage;
  uint64_t areaTo = uint64_t(plan_.AreaEndSector()) * kRawPage;

  for (size_t n : points) {
    SCOPED_TRACE(testing::Message() << "point " << n << " of " << seen.size() << ": "
                                    << native::FailureKindName(seen[n].kind) << " " << seen[n].what << " ("
                                    << PhaseName(phases[n]) << ")");
    native::Leftovers left = native::LeftByReturnedPrograms();
    RunResult cut = Run(int64_t(n));
    EXPECT_EQ("", FailedRunFault(cut, phases[n], left));
    EXPECT_EQ("", OutsideAreaDiff(plan_, flash_.data(), before_.data()));
    if (phases[n] < Phase::kErase) EXPECT_EQ("", RangeDiff(flash_.data(), before_.data(), areaFrom, areaTo));
    // The next start completes the update.
    native::ArmFailurePoint(-1);
    ASSERT_TRUE(sim::SocStartRun(true));
    RunResult again = RunUpdater();
    ASSERT_EQ(1u, again.boxes.size());
    EXPECT_TRUE(IsSuccessBox(again.boxes[0])) << DescribeBoxes(again.boxes);
    EXPECT_EQ(0u, again.record.violationCount) << DescribeViolations(again.record);
    EXPECT_EQ("", AreaDiff(plan_, flash_.data(), image_));
  }
}

}  // namespace
}  // namespace powerloss
