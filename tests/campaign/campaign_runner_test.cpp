// The campaign runner's own pieces: the scenario format, the byte count that
// the "nothing lost" claim rests on, the sweep's points, the system driver's
// report, and a runner that does notice a row that is not as expected.
#include <gtest/gtest.h>

#include "tools/campaign/campaign.h"
#include "tools/campaign/run_support.h"

namespace devsim {
namespace {

std::vector<Scenario> Parse(const std::string& text, std::string* error = nullptr) {
  std::vector<Scenario> out;
  std::string err;
  bool ok = ParseScenarios(text, "t.scn", &out, &err);
  if (error) *error = ok ? "" : err;
  else EXPECT_TRUE(ok) << err;
  return out;
}

TEST(ScenarioFormat, DefaultsApplyToTheSectionsAfterThemAndRowsOverride) {
  auto s = Parse(
      "[defaults]\nkind = bad-input\nimage = 1000\nexpect.message = Can't locate bootloader area!\n"
      "[a]\ncreate = --chip ec:73\n"
      "[b]\nimage = area+1\nexpect.message = \"Bootloader update finished! \"\n"
      "fault = --read-flip 32:0:0\nfault = --erase-fail 3\ncfg.sysdrv.rate = 4\n");
  ASSERT_EQ(2u, s.size());
  EXPECT_EQ("bad-input", s[0].kind);
  EXPECT_EQ(ImageSize::kBytes, s[0].image);
  EXPECT_EQ(1000u, s[0].imageBytes);
  EXPECT_EQ("Can't locate bootloader area!", *s[0].expect.message);
  EXPECT_EQ(ImageSize::kAreaPlusOne, s[1].image);
  EXPECT_EQ("Bootloader update finished! ", *s[1].expect.message) << "quotes keep the trailing blank";
  EXPECT_EQ((std::vector<std::string>{"--read-flip 32:0:0", "--erase-fail 3"}), s[1].faults);
  EXPECT_EQ(std::vector<std::string>{"sysdrv.rate = 4"}, s[1].cfgLines);
  EXPECT_EQ(7, s[1].line);
}

TEST(ScenarioFormat, QuotedValuesCarryLineFeedsAndEmptyListsMeanNothing) {
  auto ok = Parse("[t]\nexpect.message = \"one \\nline\\n\"\nexpect.card =\n");
  ASSERT_EQ(1u, ok.size());
  EXPECT_EQ("one \nline\n", *ok[0].expect.message);
  ASSERT_TRUE(ok[0].expect.card.has_value());
  EXPECT_TRUE(ok[0].expect.card->empty());
}

TEST(ScenarioFormat, MistakesNameTheFileAndLine) {
  const struct {
    const char* text;
    const char* error;
  } kCases[] = {
      {"[a]\nimage = lots\n", "t.scn:2: image wants"},
      {"[a]\nexpect.outcome = fine\n", "t.scn:2: unknown outcome \"fine\""},
      {"image = 3\n", "t.scn:1: a key before the first [scenario]"},
      {"[a]\n[a]\n", "t.scn:2: scenario \"a\" already defined at t.scn:1"},
      {"[a]\nno equals sign\n", "t.scn:2: expected KEY = VALUE"},
      {"[a]\nprogram = navorin\n", "t.scn:2: program wants kestrel or tollgate"},
      {"[defaults]\ncolour = red\n", "t.scn:2: unknown key \"colour\""},
      {"[a\n", "t.scn:1: a section name ends with ']'"},
  };
  for (const auto& c : kCases) {
    std::string error;
    Parse(c.text, &error);
    EXPECT_EQ(0u, error.find(c.error)) << c.text << " gave: " << error;
  }
}

TEST(ScenarioFormat, TheCampaignsOwnFolderParses) {
  std::vector<Scenario> all;
  std::string error;
  ASSERT_TRUE(LoadScenarioFolder(SCENARIO_DIR, &all, &error)) << error;
  size_t badInputs = 0, faults = 0, sweeps = 0;
  for (const Scenario& s : all) {
    badInputs += s.kind == "bad-input";
    faults += s.kind == "fault";
    sweeps += s.powerLossSweep;
  }
  EXPECT_GE(badInputs, 20u);
  EXPECT_GE(faults, 15u);
  EXPECT_GE(sweeps, 1u);
}

TEST(CardImage, AreaRelativeSizes) {
  Scenario s;
  s.image = ImageSize::kArea;
  EXPECT_EQ(32768u, *CardImageBytes(s, 64));
  s.image = ImageSize::kAreaPlusOne;
  EXPECT_EQ(32769u, *CardImageBytes(s, 64));
  EXPECT_EQ(uint64_t(0xFFFFFFFFu) * 512 + 1, *CardImageBytes(s, 0xFFFFFFFFu)) << "no 32-bit wrap";
  s.image = ImageSize::kAreaMinusOne;
  EXPECT_EQ(0u, *CardImageBytes(s, 0));
  s.image = ImageSize::kNone;
  EXPECT_FALSE(CardImageBytes(s, 64).has_value());
}

TEST(ChangedBytes, CountsEveryByteOutsideTheExcludedSectors) {
  Bytes before(kRawPageBytes * 8, 0xFF), after = before;
  after[2 * kRawPageBytes + 5] = 0;     // sector 2: excluded
  after[3 * kRawPageBytes + 527] = 0x7F; // sector 3, last spare byte
  after[6 * kRawPageBytes] = 0;          // sector 6: excluded by the second range
  after[6 * kRawPageBytes + 1] = 0;
  after[7 * kRawPageBytes + 9] = 1;
  std::vector<SectorRange> none;
  EXPECT_EQ(5u, CountChangedBytes(before, after, none));
  EXPECT_EQ(2u, CountChangedBytes(before, after, {SectorRange{2, 1}, SectorRange{6, 1}}));
  EXPECT_EQ(1u, CountChangedBytes(before, after, {SectorRange{2, 2}, SectorRange{6, 1}}));
  Bytes shorter(before.begin(), before.end() - 10);
  EXPECT_EQ(10u, CountChangedBytes(before, shorter, none)) << "a lost tail is lost bytes";
}

TEST(PowerLossSweep, SampleKeepsBothEndsAndFullTakesEveryPoint) {
  EXPECT_EQ((std::vector<uint64_t>{1, 2, 3, 4}), SweepPoints(5, 8, false));
  EXPECT_EQ((std::vector<uint64_t>{1, 25, 50, 74, 99}), SweepPoints(100, 5, false));
  std::vector<uint64_t> all = SweepPoints(100, 5, true);
  ASSERT_EQ(99u, all.size());
  EXPECT_EQ(1u, all.front());
  EXPECT_EQ(99u, all.back());
  EXPECT_TRUE(SweepPoints(1, 5, true).empty());
}

TEST(SystemDriverReport, ReadFromTheEventLog) {
  RunResult run;
  runproto::Event d, s;
  std::string error;
  ASSERT_TRUE(runproto::ParseEvent(R"({"kind":"debug","pid":7,"line":"\"writes\":9"})", &d, &error)) << error;
  ASSERT_TRUE(runproto::ParseEvent(
      R"({"kind":"sysdrv","pid":12,"writes":31,"reads":402,"erases":3,"mismatches":0,"abandoned":1})", &s, &error))
      << error;
  run.events = {d, s};
  SysdrvReport r = FindSysdrvReport(run);
  EXPECT_TRUE(r.present);
  EXPECT_EQ(31u, r.writes);
  EXPECT_EQ(402u, r.reads);
  EXPECT_EQ(3u, r.erases);
  EXPECT_EQ(0u, r.mismatches);
  EXPECT_EQ(1u, r.abandoned);
  run.events = {d};
  EXPECT_FALSE(FindSysdrvReport(run).present);
}

TEST(Table, SummaryCountsLostBytesAndRowsNotAsExpected) {
  Row good;
  good.scenario = "good";
  good.kind = "bad-input";
  good.asExpected = true;
  Row bad;
  bad.scenario = "bad|pipe";
  bad.kind = "fault";
  bad.bytesOutside = 528;
  bad.sysdrv.present = true;
  bad.sysdrv.mismatches = 2;
  bad.problems = {"528 bytes changed outside the boot area"};
  CampaignTotals t = Totals({good, bad});
  EXPECT_EQ(2u, t.scenarios);
  EXPECT_EQ(1u, t.badInputs);
  EXPECT_EQ(1u, t.faults);
  EXPECT_EQ(1u, t.failed);
  EXPECT_EQ(530u, t.bytesLost);
  std::string md = FormatMarkdown({good, bad});
  EXPECT_NE(std::string::npos, md.find("bytes lost: 530"));
  EXPECT_NE(std::string::npos, md.find("| bad\\|pipe |")) << md;
  EXPECT_NE(std::string::npos, md.find("## Rows not as expected"));
  EXPECT_NE(std::string::npos, md.find("- 528 bytes changed outside the boot area"));
}

// A scenario whose expectation is wrong must come out as not as expected,
// with the reason: the runner is what every other row relies on.
TEST(Runner, ReportsARowThatIsNotAsExpected) {
  std::vector<Scenario> s = Parse(
      "[no-toc-expected-to-succeed]\nkind = bad-input\ncreate = --chip ec:73 --fill --no-toc\nimage = 1000\n"
      "timeout = 60\nexpect.outcome = finished\nexpect.verified = yes\n");
  ASSERT_EQ(1u, s.size());
  CampaignOptions opt;
  opt.devsimPath = DEVSIM_PATH;
  char tmpl[] = "/tmp/kestrel-campaign-runner-XXXXXX";
  ASSERT_TRUE(mkdtemp(tmpl));
  opt.workDir = tmpl;
  std::vector<Row> rows = RunScenario(s[0], opt);
  ASSERT_EQ(1u, rows.size());
  const Row& r = rows[0];
  EXPECT_FALSE(r.asExpected);
  EXPECT_EQ(Outcome::kError, r.outcome);
  EXPECT_EQ("Can't locate bootloader area!", r.message);
  EXPECT_FALSE(r.verified);
  EXPECT_EQ(0u, r.bytesChanged);
  ASSERT_EQ(2u, r.problems.size()) << JoinList(r.problems);
  EXPECT_EQ("outcome error, expected finished", r.problems[0]);
  EXPECT_EQ("boot area does not verify, expected verified", r.problems[1]);
  std::string cmd = std::string("rm -rf '") + tmpl + "'";
  EXPECT_EQ(0, system(cmd.c_str()));
}

}  // namespace
}  // namespace devsim
