// Rows side by side on two Wine prefixes come out as the same rows, in the
// same order, as one at a time on one (a sweep's points follow their sweep's
// first row), and both prefixes take rows: two runs at once on one Wine
// server would share its named bus mutexes.
//
// CTest gives this program two of the "wine" resource's slots, two prefixes
// no other test uses while it runs.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <set>

#include "tools/campaign/campaign.h"
#include "tools/campaign/run_support.h"
#include "tools/run/device_runner.h"

namespace devsim {
namespace {

std::string WorkerPrefix(int group) {
  const std::string var = "CTEST_RESOURCE_GROUP_" + std::to_string(group) + "_WINE";
  const char* slot = getenv(var.c_str());
  std::string base = getenv("WINEPREFIX") ? getenv("WINEPREFIX") : std::string(getenv("HOME")) +
                                                                        "/.cache/kestrel/wineprefix";
  if (!slot) return "";
  std::string s = slot;  // "id:N,slots:1"
  size_t id = s.find("id:");
  return base + "-worker" + s.substr(id + 3, s.find(',', id) - id - 3);
}

const char kScenarios[] =
    "[cut-small-update]\n"
    "kind = power-loss\ncreate.chip = ec:73\ncreate.fill = yes\ncreate.boot_sectors = 64\nimage = area\n"
    "timeout = 60\nsweep = power-loss\nsweep.sample = 3\nexpect.outcome = power-lost\nexpect.message = none\n"
    "expect.flash = outside-area\nexpect.recovery = yes\n"
    "[no-toc]\n"
    "kind = bad-input\ncreate.chip = ec:73\ncreate.fill = yes\ncreate.no_toc = yes\nimage = 1000\ntimeout = 60\n"
    "expect.outcome = error\nexpect.message = \"Can't locate bootloader area!\"\nexpect.flash = unchanged\n"
    "[flip-read-back]\n"
    "kind = fault\ncreate.chip = ec:73\ncreate.fill = yes\ncreate.boot_sectors = 64\nimage = 4096\n"
    "fault.read_flip = 32:60:2\ntimeout = 60\nexpect.outcome = finished\n"
    "expect.message = \"Bootloader update finished! \"\nexpect.verified = yes\n";

TEST(SideBySide, RowsAreTheSameAndInTheSameOrderAsOneAtATime) {
  const std::string a = WorkerPrefix(0), b = WorkerPrefix(1);
  if (a.empty() || b.empty()) GTEST_SKIP() << "needs CTest's two wine slots (ctest --preset host)";
  std::vector<Scenario> all;
  std::string error;
  ASSERT_TRUE(ParseScenarios(kScenarios, "side-by-side.scn", &all, &error)) << error;
  std::vector<const Scenario*> chosen;
  for (const Scenario& s : all) chosen.push_back(&s);

  char tmpl[] = "/tmp/kestrel-side-by-side-XXXXXX";
  ASSERT_NE(nullptr, mkdtemp(tmpl));
  CampaignOptions opt;
  opt.workDir = std::string(tmpl) + "/one at a time";
  opt.winePrefix = a;
  std::vector<Row> one;
  for (const Scenario* s : chosen)
    for (Row& r : RunScenario(*s, opt)) one.push_back(r);
  opt.workDir = std::string(tmpl) + "/side by side";
  std::vector<Row> two = RunSideBySide(chosen, opt, {a, b});

  // Each prefix took rows.
  std::set<std::string> used;
  for (const Row& r : two) used.insert(r.winePrefix);
  EXPECT_EQ((std::set<std::string>{a, b}), used);
  // The sweep's no-loss row and its three points, then the other two.
  ASSERT_EQ(6u, one.size());
  ASSERT_EQ(one.size(), two.size());
  for (size_t i = 0; i < two.size(); ++i) {
    SCOPED_TRACE(one[i].scenario);
    EXPECT_EQ(one[i].scenario, two[i].scenario);
    EXPECT_EQ(one[i].outcome, two[i].outcome);
    EXPECT_EQ(one[i].message, two[i].message);
    EXPECT_EQ(one[i].verified, two[i].verified);
    EXPECT_EQ(one[i].recovery, two[i].recovery);
    EXPECT_TRUE(one[i].asExpected) << JoinList(one[i].problems) << "\n" << one[i].detail;
    EXPECT_TRUE(two[i].asExpected) << JoinList(two[i].problems) << "\n" << two[i].detail;
    EXPECT_EQ(0u, two[i].violations);
  }
  std::error_code ec;
  if (!HasFailure()) std::filesystem::remove_all(tmpl, ec);
}

}  // namespace
}  // namespace devsim
