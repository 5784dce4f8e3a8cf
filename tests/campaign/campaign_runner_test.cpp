// The campaign runner's own pieces: the scenario format, the byte count that
// the "nothing lost" claim rests on, the sweep's points, the system driver's
// report, and a runner that does notice a row that is not as expected.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>

#include "sim/soc_state.h"
#include "tools/campaign/campaign.h"
#include "tools/campaign/run_support.h"

namespace devsim {
namespace {

std::vector<Scenario> Parse(const std::string& text, std::string* error = nullptr) {
  std::vector<Scenario> out;
  std::string err;
  bool ok = ParseScenarios(text, "t.scn", &out, &err);
  if (error)
    *error = ok ? "" : err;
  else
    EXPECT_TRUE(ok) << err;
  return out;
}

TEST(ScenarioFormat, DefaultsApplyToTheSectionsAfterThemAndRowsOverride) {
  auto s = Parse(
      "[defaults]\nkind = bad-input\nimage = 1000\nexpect.message = Can't locate bootloader area!\n"
      "[a]\ncreate.chip = ec:73\n"
      "[b]\nimage = area+1\nexpect.message = \"Bootloader update finished! \"\n"
      "fault.read_flip = 32:0:0\nfault.erase_fail = 3\nsysdrv.rate = 4\n");
  ASSERT_EQ(2u, s.size());
  EXPECT_EQ("bad-input", s[0].kind);
  EXPECT_EQ(ImageSize::kBytes, s[0].image);
  EXPECT_EQ(1000u, s[0].imageBytes);
  EXPECT_EQ("Can't locate bootloader area!", *s[0].expect.message);
  EXPECT_EQ(ImageSize::kAreaPlusOne, s[1].image);
  EXPECT_EQ("Bootloader update finished! ", *s[1].expect.message) << "quotes keep the trailing blank";
  EXPECT_EQ(0x73u, s[0].create.chip.device);
  EXPECT_EQ(0x76u, s[1].create.chip.device) << "a row's create keys are its own";
  ASSERT_EQ(1u, s[1].faults.readFlips.size());
  EXPECT_EQ(32u, s[1].faults.readFlips[0].sector);
  EXPECT_EQ(std::vector<uint32_t>{3}, s[1].faults.eraseFails);
  EXPECT_EQ((std::vector<std::pair<std::string, std::string>>{{"sysdrv.rate", "4"}}), s[1].settings);
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
      {"[a]\nno equals sign\n", "t.scn:2: expected key = value"},
      {"[a]\nprogram = navorin\n", "t.scn:2: program wants kestrel or tollgate"},
      {"[defaults]\ncolour = red\n", "t.scn:2: unknown key \"colour\""},
      // A typo'd key is named with the key that was meant, a scenario's own
      // or one of nand.cfg.
      {"[a]\nexpect.mesage = x\n", "t.scn:2: unknown key \"expect.mesage\" (nearest: expect.message)"},
      {"[a]\nfault.read_flp = 32:0:0\n", "t.scn:2: unknown key \"fault.read_flp\" (nearest: fault.read_flip)"},
      {"[a\n", "t.scn:1: a section name ends with ']'"},
      {"[a]\ncreate.chip = ec\n", "t.scn:2: bad chip 'ec'"},
      {"[a]\ncreate.boot_block = 12x\n", "t.scn:2: bad create.boot_block '12x'"},
      {"[a]\ncreate.boot_sectors = 0x100000000\n",
       "t.scn:2: bad create.boot_sectors '0x100000000': larger than 32 bits"},
      {"[a]\ncreate.bad_blocks = 4,\n", "t.scn:2: bad create.bad_blocks '4,'"},
      {"[a]\ncreate.fill = maybe\n", "t.scn:2: create.fill wants yes or no"},
      {"[a]\ncreate.colour = red\n", "t.scn:2: unknown key \"create.colour\""},
      {"[a]\nfault.read_flip = 32:0:8\n", "t.scn:2: bad value for fault.read_flip"},
      {"[a]\nfault.power_loss_after = -1\n", "t.scn:2: bad value for fault.power_loss_after"},
      {"[a]\nsysdrv.rate = lots\n", "t.scn:2: bad value for sysdrv.rate"},
      {"[a]\nmaker = 0x98\n", "t.scn:2: maker is the chip's: give it with create.chip"},
      {"[a]\nbad_blocks = 5\n", "t.scn:2: bad_blocks are marked on the flash as it is made"},
      {"[a]\ntimeout = 010x\n", "t.scn:2: timeout wants a number of seconds"},
      {"[a]\nimage = -1\n", "t.scn:2: image wants"},
  };
  for (const auto& c : kCases) {
    std::string error;
    Parse(c.text, &error);
    EXPECT_EQ(0u, error.find(c.error)) << c.text << " gave: " << error;
  }
}

TEST(ScenarioFormat, NumbersAreDecimalOrHexNeverOctal) {
  auto s = Parse("[a]\nimage = 010\ncreate.boot_block = 010\ncreate.boot_sectors = 0x40\nkill_after_ops = 0x10\n");
  ASSERT_EQ(1u, s.size());
  EXPECT_EQ(10u, s[0].imageBytes);
  EXPECT_EQ(10u, s[0].create.area.firstBlock);
  EXPECT_EQ(64u, s[0].create.area.sectorCount);
  EXPECT_EQ(16, s[0].killAfterOps);
}

// Found by scenario_fuzz: a sample of 2^32 points was taken as 0 (the number
// cut to 32 bits), which the reader refuses as it stands.
TEST(ScenarioFormat, ASweepSampleBeyond32BitsIsRefusedNotCut) {
  std::string error;
  Parse("[a]\nsweep.sample = 4294967296\n", &error);
  EXPECT_EQ("t.scn:2: sweep.sample wants a positive number of 32 bits", error);
  auto s = Parse("[a]\nsweep.sample = 4294967295\n");
  ASSERT_EQ(1u, s.size());
  EXPECT_EQ(4294967295u, s[0].sweepSample);
}

TEST(ScenarioFormat, CreateKeysMirrorTheCreateOptions) {
  auto s = Parse(
      "[defaults]\ncreate.chip = ec:73\ncreate.fill = yes\ncreate.boot_sectors = 64\n"
      "[plain]\n"
      "[moved]\ncreate.toc_block = 5\ncreate.boot_block = 6\ncreate.bad_blocks = 7,0x20\n"
      "[bare]\ncreate.chip = 98:da\ncreate.fill = no\ncreate.no_toc = yes\n");
  ASSERT_EQ(3u, s.size());
  const DeviceRecipe& plain = s[0].create;
  EXPECT_EQ(0xECu, plain.chip.maker);
  EXPECT_EQ(0x73u, plain.chip.device);
  EXPECT_TRUE(plain.fill);
  EXPECT_TRUE(plain.toc);
  EXPECT_FALSE(plain.tocBlock.has_value()) << "block 1 unless given";
  EXPECT_EQ(2u, plain.area.firstBlock);
  EXPECT_EQ(64u, plain.area.sectorCount);
  const DeviceRecipe& moved = s[1].create;
  EXPECT_EQ(5u, moved.tocBlock.value_or(0));
  EXPECT_EQ(6u, moved.area.firstBlock);
  EXPECT_EQ(64u, moved.area.sectorCount) << "from [defaults]";
  EXPECT_EQ((std::vector<uint32_t>{7, 32}), moved.badBlocks);
  const DeviceRecipe& bare = s[2].create;
  EXPECT_EQ(0x98u, bare.chip.maker);
  EXPECT_EQ(0xDAu, bare.chip.device);
  EXPECT_FALSE(bare.fill);
  EXPECT_FALSE(bare.toc);
}

TEST(ScenarioFormat, FaultsAddUpFromTheDefaultsAndStopAtWhatTheModelHolds) {
  std::string defaults = "[defaults]\nfault.read_flip = 32:0:0\nfault.stuck_ready_after = 3\n";
  std::string rows = "[a]\n";
  for (uint32_t i = 1; i < sim::kMaxFaultsPerKind; ++i) rows += "fault.read_flip = 64:" + std::to_string(i) + ":1\n";
  auto full = Parse(defaults + rows + "fault.erase_fail = 2\n");
  ASSERT_EQ(1u, full.size());
  EXPECT_EQ(size_t(sim::kMaxFaultsPerKind), full[0].faults.readFlips.size()) << "the defaults' flip and the row's";
  EXPECT_EQ(3, full[0].faults.stuckReadyAfter);
  EXPECT_EQ(std::vector<uint32_t>{2}, full[0].faults.eraseFails);

  // One more of the same kind is refused at its line, whether it comes in
  // the row or in the defaults.
  std::string error;
  Parse(defaults + rows + "fault.read_flip = 65:0:0\n", &error);
  const int line = 3 + int(sim::kMaxFaultsPerKind) + 1;
  EXPECT_EQ(0u, error.find("t.scn:" + std::to_string(line) + ": more than 64 fault.read_flip faults")) << error;
  std::string manyDefaults = "[defaults]\n";
  for (uint32_t i = 0; i <= sim::kMaxFaultsPerKind; ++i)
    manyDefaults += "fault.erase_fail = " + std::to_string(i) + "\n";
  Parse(manyDefaults + "[a]\n", &error);
  EXPECT_EQ(0u, error.find("t.scn:66: more than 64 fault.erase_fail faults")) << error;
}

TEST(ScenarioFormat, CommentsNeedABlankBeforeThemAndQuotesKeepThem) {
  auto s = Parse(
      "[a] # the first\nexpect.message = \"#1 of 2 # not a comment\" # a comment\n"
      "expect.card = A#B, C # D\n");
  ASSERT_EQ(1u, s.size());
  EXPECT_EQ("a", s[0].name);
  EXPECT_EQ("#1 of 2 # not a comment", *s[0].expect.message);
  EXPECT_EQ((std::vector<std::string>{"A#B", "C"}), *s[0].expect.card);
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
  EXPECT_EQ(76u, all.size());
}

// Every scenario's device is one the host tool makes, with faults that lie on
// its chip and fit the model: a scenario cannot fail in its set-up.
TEST(ScenarioFormat, EveryScenarioDeviceCanBeMade) {
  std::vector<Scenario> all;
  std::string error;
  ASSERT_TRUE(LoadScenarioFolder(SCENARIO_DIR, &all, &error)) << error;
  for (const Scenario& s : all) {
    SCOPED_TRACE(s.name + " (" + s.file + ":" + std::to_string(s.line) + ")");
    try {
      PlanDevice("/nonexistent/dev", s.create);
      sim::NandConfig cfg;
      cfg.maker = s.create.chip.maker;
      cfg.device = s.create.chip.device;
      for (const auto& kv : s.settings)
        EXPECT_EQ(sim::KeyStatus::kApplied, sim::ApplyNandConfigKey(kv.first, kv.second, &cfg)) << kv.first;
      AddFaults(s.faults, FaultNaming::kKeys, &cfg);
    } catch (const std::exception& e) {
      ADD_FAILURE() << e.what();
    }
  }
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
  after[2 * kRawPageBytes + 5] = 0;       // sector 2: excluded
  after[3 * kRawPageBytes + 527] = 0x7F;  // sector 3, last spare byte
  after[6 * kRawPageBytes] = 0;           // sector 6: excluded by the second range
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

// Found by event_log_fuzz: a number with a fraction or beyond 64 bits was
// converted into a record's whole-number field (undefined behaviour for one
// out of the field's range). The records hold whole numbers only.
TEST(EventLog, ANumberThatIsNotAWholeOneIsRefused) {
  for (const char* line : {R"({"kind":"progress","pid":1,"pos":1e300})", R"({"kind":"progress","pid":1,"pos":2.5})",
                           R"({"kind":"progress","pid":18446744073709551616,"pos":2})"}) {
    SCOPED_TRACE(line);
    runproto::Event e;
    std::string error;
    EXPECT_FALSE(runproto::ParseEvent(line, &e, &error));
    EXPECT_EQ(0u, error.find("bad progress event (")) << error;
    EXPECT_NE(std::string::npos, error.find(" is not a whole number)")) << error;
    std::vector<runproto::Event> events;
    EXPECT_FALSE(runproto::ParseEventLog(std::string(line) + "\n", &events, &error));
  }
  runproto::Event e;
  std::string error;
  ASSERT_TRUE(runproto::ParseEvent(R"({"kind":"progress","pid":18446744073709551615,"pos":2})", &e, &error)) << error;
  EXPECT_EQ(UINT64_MAX, std::get<runproto::Progress>(e).pid);
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

// A work folder of its own for a test, removed after it.
class WorkDir {
 public:
  explicit WorkDir(const std::string& prefix) {
    std::string t = prefix + "XXXXXX";
    if (mkdtemp(&t[0])) path_ = t;
  }
  ~WorkDir() {
    std::error_code ec;
    if (!path_.empty()) std::filesystem::remove_all(path_, ec);
  }
  const std::string& Path() const { return path_; }

 private:
  std::string path_;
};

// A scenario whose expectation is wrong must come out as not as expected,
// with the reason: the runner is what every other row relies on.
TEST(Runner, ReportsARowThatIsNotAsExpected) {
  std::vector<Scenario> s = Parse(
      "[no-toc-expected-to-succeed]\nkind = bad-input\ncreate.chip = ec:73\ncreate.fill = yes\n"
      "create.no_toc = yes\nimage = 1000\ntimeout = 60\nexpect.outcome = finished\nexpect.verified = yes\n");
  ASSERT_EQ(1u, s.size());
  WorkDir work("/tmp/kestrel-campaign-runner-");
  ASSERT_FALSE(work.Path().empty());
  CampaignOptions opt;
  opt.workDir = work.Path();
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
}

// Devices are made, faulted, run and verified in a work folder whose path
// has blanks in it, as a user's folder may: every step takes its paths
// whole, none splits a command line at blanks.
TEST(Runner, RunsARowInAWorkFolderWithBlanksInItsPath) {
  std::vector<Scenario> s = Parse(
      "[flip-in-a-folder-with-blanks]\nkind = fault\ncreate.chip = ec:73\ncreate.fill = yes\n"
      "create.boot_sectors = 64\nold_image = 1024\nimage = 4096\nfault.read_flip = 32:60:2\n"
      "timeout = 60\nexpect.outcome = finished\nexpect.message = \"Bootloader update finished! \"\n"
      "expect.verified = yes\nexpect.flash = outside-area\nexpect.recovery = yes\n");
  ASSERT_EQ(1u, s.size());
  WorkDir work("/tmp/kestrel campaign blank ");
  ASSERT_FALSE(work.Path().empty());
  CampaignOptions opt;
  opt.workDir = work.Path() + "/my devices";
  opt.keep = true;
  std::vector<Row> rows = RunScenario(s[0], opt);
  ASSERT_EQ(1u, rows.size());
  const Row& r = rows[0];
  EXPECT_TRUE(r.asExpected) << JoinList(r.problems) << "\n" << r.detail;
  EXPECT_EQ(Outcome::kFinished, r.outcome);
  EXPECT_TRUE(r.verified);
  EXPECT_EQ("yes", r.recovery);
  // The device is where the row says, and carries the scenario's fault.
  const std::string dev = opt.workDir + "/flip-in-a-folder-with-blanks/dev";
  sim::NandConfig cfg;
  std::string err;
  ASSERT_TRUE(sim::LoadNandConfig(dev + "/nand.cfg", &cfg, &err)) << err;
  EXPECT_EQ(0x73u, cfg.device);
  EXPECT_TRUE(cfg.readFlips.empty()) << "the recovery run clears the faults";
  EXPECT_TRUE(std::filesystem::exists(dev + "/SDMMC Disk/EBOOT.NB0"));
}

}  // namespace
}  // namespace devsim
