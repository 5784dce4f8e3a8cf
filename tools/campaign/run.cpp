// One scenario on fresh simulated devices: make the device with the host
// tool's own code, put the card together, run the program under Wine, and read what happened
// the way the device and its user would see it.
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>

#include "sim/device_record.h"
#include "sim/nand_cfg.h"
#include "tools/campaign/campaign.h"
#include "tools/campaign/run_support.h"
#include "tools/devsim/boot_area_reader.h"
#include "tools/devsim/device_ops.h"
#include "tools/devsim/nandimage.h"
#include "tools/run/device_runner.h"
#include "tools/run/protocol.h"

namespace devsim {
namespace fs = std::filesystem;
namespace {

const char kFinishedText[] = "Bootloader update finished! ";

std::string SafeName(const std::string& name) {
  std::string s;
  for (char c : name) s += (isalnum((unsigned char)c) || c == '-' || c == '.') ? c : '_';
  return s;
}

uint32_t Seed(const std::string& name) {
  uint32_t h = 2166136261u;
  for (unsigned char c : name) h = (h ^ c) * 16777619u;
  return h;
}

Bytes PseudoRandomBytes(uint64_t size, uint32_t seed) {
  std::mt19937 rng(seed);
  Bytes b(size);
  for (uint8_t& x : b) x = uint8_t(rng());
  return b;
}

// The boot area as the TOC on the fresh device names it, in whole blocks,
// clipped to the chip; empty when there is no TOC.
SectorRange AreaRange(const std::string& dir, uint32_t* areaSectors, std::string* error) {
  NandImage img;
  SectorRange r;
  *areaSectors = 0;
  if (!img.OpenDevice(dir, false, error)) return r;
  TocInfo toc;
  if (!LocateToc(img, &toc, error) || !toc.found) return r;
  *areaSectors = toc.sectorCount;
  uint64_t total = img.Shape().Pages();
  uint64_t first = uint64_t(toc.firstBlock) * kBootSectorsPerBlock;
  uint64_t blocks = (uint64_t(toc.sectorCount) + kBootSectorsPerBlock - 1) / kBootSectorsPerBlock;
  r.first = std::min(first, total);
  r.count = std::min(first + blocks * kBootSectorsPerBlock, total) - r.first;
  return r;
}

// The system driver's region while it works (nothing when it is idle).
SectorRange SysdrvRange(const sim::NandConfig& cfg, const SectorRange& area, uint64_t totalSectors) {
  SectorRange r;
  if (cfg.sysdrvRate == 0) return r;
  if (cfg.sysdrvFirstBlock >= 0) {
    r.first = uint64_t(cfg.sysdrvFirstBlock) * kBootSectorsPerBlock;
    r.count = uint64_t(std::max<int64_t>(cfg.sysdrvBlockCount, 0)) * kBootSectorsPerBlock;
  } else {
    r.first = area.first + area.count;
    r.count = totalSectors > r.first ? totalSectors - r.first : 0;
  }
  return r;
}

struct Prepared {
  std::string dir;        // the device
  std::string imagePath;  // host copy of the card's image ("" when none)
  sim::NandConfig cfg;    // its nand.cfg as made
  SectorRange area, sysdrv;
  uint64_t totalSectors = 0;
  Bytes before;
};

// The scenario's device, made and configured in-process by the host tool's
// own code; powerLossAfter (>= 0) is a sweep's point.
void MakeScenarioDevice(const Scenario& s, const std::string& base, int64_t powerLossAfter, Prepared* p) {
  DeviceRecipe recipe = s.create;
  if (s.oldImageBytes) {
    recipe.bootImagePath = base + "/old-EBOOT.NB0";
    if (!WriteBytes(*recipe.bootImagePath, PseudoRandomBytes(s.oldImageBytes, Seed(s.name + "/old"))))
      throw InputError("cannot write the old boot loader");
  }
  MakeDevice(PlanDevice(p->dir, recipe), true);
  sim::NandConfig cfg = ReadDeviceConfig(p->dir);
  for (const auto& kv : s.settings) {
    sim::KeyStatus status = sim::ApplyNandConfigKey(kv.first, kv.second, &cfg);
    if (status != sim::KeyStatus::kApplied) throw UsageError(sim::DescribeKeyStatus(kv.first, status));
  }
  sim::NandConfig faults = s.faults;
  if (powerLossAfter >= 0) faults.powerLossAfter = powerLossAfter;
  AddFaults(faults, FaultNaming::kKeys, &cfg);
  WriteDeviceConfig(p->dir, cfg);
  p->cfg = cfg;
}

bool Prepare(const Scenario& s, const CampaignOptions& opt, const std::string& rowName, int64_t powerLossAfter,
             Prepared* p, std::string* error) {
  std::string base = opt.workDir + "/" + SafeName(rowName);
  std::error_code ec;
  fs::remove_all(base, ec);
  fs::create_directories(base, ec);
  p->dir = base + "/dev";
  try {
    MakeScenarioDevice(s, base, powerLossAfter, p);
  } catch (const std::exception& e) {
    *error = std::string("making the device: ") + e.what();
    return false;
  }
  const sim::NandConfig& cfg = p->cfg;
  uint32_t areaSectors = 0;
  p->area = AreaRange(p->dir, &areaSectors, error);
  p->totalSectors = sim::ChipShapeFor(cfg.maker, cfg.device).Pages();
  p->sysdrv = SysdrvRange(cfg, p->area, p->totalSectors);

  std::string card = p->dir + "/SDMMC Disk";
  if (auto size = CardImageBytes(s, areaSectors)) {
    p->imagePath = base + "/EBOOT.NB0";
    Bytes image = PseudoRandomBytes(*size, Seed(s.name));
    if (!WriteBytes(p->imagePath, image) || !WriteBytes(card + "/EBOOT.NB0", image)) {
      *error = "cannot write the card's image";
      return false;
    }
  }
  if (s.updater && !CopyFile(ProgramPath("kestrel"), card + "/Kestrel.exe")) {
    *error = "cannot put " + ProgramPath("kestrel") + " on the card";
    return false;
  }
  if (s.navorin && !WriteBytes(p->dir + "/windows/navorin.exe", Bytes(64, 0x4D))) {
    *error = "cannot put navorin.exe in \\windows";
    return false;
  }
  p->before = ReadBytes(p->dir + "/nand.img");
  return true;
}

RunOptions RunOptionsFor(const Scenario& s, const CampaignOptions& opt, const std::string& dir,
                         const std::string& program) {
  RunOptions r;
  r.deviceDir = dir;
  r.program = program;
  r.answer = s.answer;
  r.timeoutSeconds = s.timeoutSeconds;
  r.winePrefix = opt.winePrefix;
  return r;
}

// What the run showed: the outcome, the message, the system driver's report.
void ReadRun(const Scenario& s, const RunResult& run, Row* row) {
  row->sysdrv = FindSysdrvReport(run);
  row->cameraTakes = StandInTakes(run, "camera");
  row->wpTakes = StandInTakes(run, "wp");
  std::vector<const runproto::MessageBoxCall*> msgs = run.All<runproto::MessageBoxCall>();
  if (!msgs.empty()) row->message = msgs.back()->text;
  if (msgs.size() > 1 && s.program == "kestrel")
    row->problems.push_back(std::to_string(msgs.size()) + " messages, one expected");
  if (!run.started || !run.error.empty()) {
    row->outcome = Outcome::kNotRun;
    row->problems.push_back("run failed: " + run.error);
  } else if (!run.ranToEnd) {
    row->outcome = Outcome::kHung;
  } else if (s.killAfterOps >= 0 && run.exitCode == runproto::kExitKilled) {
    row->outcome = Outcome::kKilled;
  } else if (run.exitCode == runproto::kExitPowerLost) {
    row->outcome = Outcome::kPowerLost;
  } else if (msgs.empty()) {
    row->outcome = Outcome::kSilent;
  } else if (msgs.back()->caption == "Information") {
    row->outcome = Outcome::kFinished;
  } else if (msgs.back()->caption == "Error") {
    row->outcome = Outcome::kError;
  } else {
    row->outcome = Outcome::kRefused;
  }
}

// The boot area holds the card's image, as devsim verify checks it.
bool Verify(const Prepared& p, std::string* out) {
  if (p.imagePath.empty()) return false;
  try {
    NandImage img = OpenSource(p.dir, std::nullopt, false);
    VerifyResult r = VerifyBootImage(img, p.imagePath, ReadWholeFile(p.imagePath), std::nullopt);
    *out = r.line;
    return r.ok;
  } catch (const std::exception& e) {
    *out = e.what();
    return false;
  }
}

// Why devsim inspect could not read the device ("" when it can).
std::string InspectProblem(const std::string& dir) {
  try {
    NandImage img = OpenSource(dir, std::nullopt, false);
    InspectReport rep = InspectImage(img, std::nullopt);
    return rep.haveRecord ? "" : rep.recordError;
  } catch (const std::exception& e) {
    return e.what();
  }
}

std::vector<std::string> CardFiles(const std::string& dir) {
  std::vector<std::string> names;
  std::error_code ec;
  for (const auto& e : fs::directory_iterator(dir + "/SDMMC Disk", ec)) names.push_back(e.path().filename().string());
  std::sort(names.begin(), names.end());
  return names;
}

void CheckExpectations(const Scenario& s, const Prepared& p, Row* row) {
  const Scenario::Expect& x = s.expect;
  auto problem = [row](const std::string& what) { row->problems.push_back(what); };
  if (row->outcome != x.outcome)
    problem(std::string("outcome ") + OutcomeName(row->outcome) + ", expected " + OutcomeName(x.outcome));
  if (x.message && row->message != *x.message)
    problem("message \"" + row->message + "\", expected \"" + *x.message + "\"");
  if (x.verified && row->verified != *x.verified)
    problem(std::string("boot area ") + (row->verified ? "verifies" : "does not verify") + ", expected " +
            (*x.verified ? "verified" : "not verified"));
  if (row->bytesOutside) problem(std::to_string(row->bytesOutside) + " bytes changed outside the boot area");
  if (x.flashUnchanged && row->bytesChanged)
    problem(std::to_string(row->bytesChanged) + " bytes of the flash changed, none expected");
  if (row->violations) problem(std::to_string(row->violations) + " protocol violations");
  if (x.card) {
    std::vector<std::string> want = *x.card, got = CardFiles(p.dir);
    std::sort(want.begin(), want.end());
    if (want != got) problem("card holds " + JoinList(got) + ", expected " + JoinList(want));
  }
  if (x.sysdrvReports && !row->sysdrv.present) problem("no report from the system driver (locked out, or not working)");
  if (row->sysdrv.present && row->sysdrv.mismatches)
    problem("the system driver found " + std::to_string(row->sysdrv.mismatches) + " mismatches in its data");
  if (x.sysdrvClean && row->sysdrv.failures)
    problem("the system driver had " + std::to_string(row->sysdrv.failures) + " failed operations");
  if (p.cfg.cameraActive && row->cameraTakes <= 0) problem("the camera never took the pins");
  if (p.cfg.extboardWpUser && row->wpTakes <= 0) problem("the write-protect user never set it");
  if (x.abandoned && row->sysdrv.abandoned == 0) problem("the system driver never met the flash mutex abandoned");
}

// The same update again on the same device and card, faults cleared.
std::string Recover(const Scenario& s, const CampaignOptions& opt, const Prepared& p, std::string* detail) {
  std::string out;
  try {
    sim::NandConfig cfg = ReadDeviceConfig(p.dir);
    cfg.ClearFaults();
    WriteDeviceConfig(p.dir, cfg);
  } catch (const std::exception& e) {
    return std::string("clearing the faults: ") + e.what();
  }
  std::string card = p.dir + "/SDMMC Disk";
  if (!p.imagePath.empty()) CopyFile(p.imagePath, card + "/EBOOT.NB0");
  RunResult run;
  RunOnDevice(RunOptionsFor(s, opt, p.dir, "kestrel"), &run);
  Row again;
  Scenario plain = s;
  plain.program = "kestrel";
  plain.killAfterOps = -1;
  ReadRun(plain, run, &again);
  *detail = "second run:\n" + DescribeRun(run);
  if (again.outcome != Outcome::kFinished)
    return std::string("second run: ") + OutcomeName(again.outcome) + " \"" + again.message + "\"";
  if (!Verify(p, &out)) return "second run does not verify: " + FirstLine(out);
  Bytes after = ReadBytes(p.dir + "/nand.img");
  uint64_t outside = CountChangedBytes(p.before, after, {p.area, p.sysdrv});
  if (outside) return "second run changed " + std::to_string(outside) + " bytes outside the boot area";
  sim::DeviceRecord rec;
  std::string err;
  if (sim::ReadDeviceRecord(p.dir, &rec, &err) && rec.violationCount)
    return "second run: " + std::to_string(rec.violationCount) + " protocol violations";
  return "yes";
}

Row RunOnce(const Scenario& s, const CampaignOptions& opt, const std::string& rowName, int64_t powerLossAfter,
            uint64_t* chipOps) {
  Row row;
  row.scenario = rowName;
  row.kind = s.kind;
  row.winePrefix = opt.winePrefix.empty() ? WinePrefix() : opt.winePrefix;
  Prepared p;
  std::string error;
  if (!Prepare(s, opt, rowName, powerLossAfter, &p, &error)) {
    row.problems.push_back("set-up: " + error);
    return row;
  }
  RunOptions ro = RunOptionsFor(s, opt, p.dir, s.program);
  AddRunnerOptions(s, &ro);
  RunResult run;
  RunOnDevice(ro, &run);
  ReadRun(s, run, &row);

  Bytes after = ReadBytes(p.dir + "/nand.img");
  row.bytesOutside = CountChangedBytes(p.before, after, {p.area, p.sysdrv});
  row.bytesChanged = CountChangedBytes(p.before, after, {p.sysdrv});
  std::string out;
  row.verified = Verify(p, &out);
  sim::DeviceRecord rec;
  if (sim::ReadDeviceRecord(p.dir, &rec, &error)) {
    row.violations = rec.violationCount;
    if (chipOps) *chipOps = rec.chipOps;
    for (size_t i = 0; i < rec.violations.size() && i < 3; ++i) row.problems.push_back("checker: " + rec.violations[i]);
  } else {
    row.problems.push_back("device record: " + error);
  }
  if (row.outcome == Outcome::kPowerLost || row.outcome == Outcome::kKilled) {
    std::string why = InspectProblem(p.dir);
    if (!why.empty()) row.problems.push_back("inspect fails after the interruption: " + FirstLine(why));
  }
  CheckExpectations(s, p, &row);
  std::string recoveryDetail;
  if (s.expect.recovery) {
    row.recovery = Recover(s, opt, p, &recoveryDetail);
    if (row.recovery != "yes") row.problems.push_back("no recovery: " + row.recovery);
  }
  row.asExpected = row.problems.empty();
  if (!row.asExpected) row.detail = DescribeRun(run) + recoveryDetail;
  if (row.asExpected && !opt.keep) {
    std::error_code ec;
    fs::remove_all(opt.workDir + "/" + SafeName(rowName), ec);
  }
  return row;
}


}  // namespace

// The points of a power-loss sweep over an update of ops chip operations:
// every one from the first to the last but one (after the last the update has
// done everything), or an even sample of them that keeps both ends.
std::vector<uint64_t> SweepPoints(uint64_t ops, unsigned sample, bool full) {
  std::vector<uint64_t> pts;
  if (ops < 2) return pts;
  uint64_t last = ops - 1;
  if (full || sample >= last) {
    for (uint64_t n = 1; n <= last; ++n) pts.push_back(n);
    return pts;
  }
  for (unsigned k = 0; k < sample; ++k) {
    uint64_t n = 1 + (last - 1) * k / (sample > 1 ? sample - 1 : 1);
    if (pts.empty() || pts.back() != n) pts.push_back(n);
  }
  return pts;
}

RowPlan FirstRow(const Scenario& s) {
  RowPlan plan;
  plan.scenario = &s;
  plan.name = s.name;
  if (!s.powerLossSweep) return plan;
  // A sweep starts with the update uninterrupted: it must finish, and its
  // chip operations are the points the sweep cuts at.
  plan.name = s.name + "/no-loss";
  plan.baseline = true;
  return plan;
}

std::vector<RowPlan> SweepRows(const Scenario& s, const Row& first, uint64_t chipOps, bool full) {
  std::vector<RowPlan> plans;
  if (!s.powerLossSweep || !first.asExpected) return plans;
  for (uint64_t n : SweepPoints(chipOps, s.sweepSample, full)) {
    RowPlan plan;
    plan.scenario = &s;
    plan.name = s.name + "/after-op-" + std::to_string(n);
    plan.powerLossAfter = int64_t(n);
    plans.push_back(plan);
  }
  return plans;
}

Row RunRow(const RowPlan& plan, const CampaignOptions& opt, uint64_t* chipOps) {
  if (!plan.baseline) return RunOnce(*plan.scenario, opt, plan.name, plan.powerLossAfter, chipOps);
  Scenario baseline = *plan.scenario;
  baseline.expect = Scenario::Expect();
  baseline.expect.outcome = Outcome::kFinished;
  baseline.expect.message = kFinishedText;
  baseline.expect.verified = true;
  Row row = RunOnce(baseline, opt, plan.name, -1, chipOps);
  row.kind = "power-loss";
  return row;
}

std::vector<Row> RunScenario(const Scenario& s, const CampaignOptions& opt) {
  uint64_t ops = 0;
  std::vector<Row> rows = {RunRow(FirstRow(s), opt, &ops)};
  for (const RowPlan& plan : SweepRows(s, rows[0], ops, opt.full)) {
    rows.push_back(RunRow(plan, opt));
    if (opt.progress)
      fprintf(stderr, "  %s: %s\n", rows.back().scenario.c_str(), rows.back().asExpected ? "ok" : "NOT AS EXPECTED");
  }
  return rows;
}

}  // namespace devsim
