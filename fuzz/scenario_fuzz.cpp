// libFuzzer target: the campaign's scenario files (tools/campaign/scenario.h)
// as the campaign reads them (the input is one file's text), and the device
// configuration the campaign makes of each scenario before anything runs.
//
//   - a refused file has a message naming the file and the line;
//   - in a file that reads, every scenario has a name of its own, a line in
//     the file, a kind the campaign knows, and the positive numbers the
//     reader asks for (sweep.sample, timeout);
//   - reading the same text again gives the same scenarios;
//   - a scenario's device as the campaign makes it (devsim create's plan,
//     then its settings and faults onto the new nand.cfg): its settings apply
//     (they were checked when read), a plan or fault the chip refuses says
//     why, and the nand.cfg that comes of it reads back to itself.
//
//   scenario_fuzz CORPUS_DIR -dict=fuzz/scenario_fuzz.dict    fuzz
//   scenario_fuzz crash-FILE                                  run one input again
#include <stddef.h>
#include <stdint.h>

#include <algorithm>
#include <set>
#include <string>
#include <vector>

#include "fuzz/reader_check.h"
#include "sim/nand_cfg.h"
#include "tools/campaign/scenario.h"
#include "tools/devsim/device_ops.h"

namespace {

const char kFile[] = "fuzz.scn";

void CheckRefusal(const std::string& text, const std::string& error) {
  readerfuzz::CheckRefusalNamesALine(kFile, text, error);
}

void CheckScenario(const std::string& text, const devsim::Scenario& s) {
  static const std::vector<std::string> kinds = devsim::ScenarioKinds();
  READER_CHECK(!s.name.empty() && s.name != "defaults", "scenario \"" + s.name + "\"");
  READER_CHECK(s.file == kFile, s.name + ": file " + s.file);
  READER_CHECK(s.line >= 1 && size_t(s.line) <= readerfuzz::LineCount(text), s.name + ": line " + std::to_string(s.line));
  READER_CHECK(std::find(kinds.begin(), kinds.end(), s.kind) != kinds.end(), s.name + ": kind " + s.kind);
  READER_CHECK(s.sweepSample >= 1, s.name + ": sweep.sample " + std::to_string(s.sweepSample));
  READER_CHECK(s.timeoutSeconds > 0, s.name + ": timeout " + std::to_string(s.timeoutSeconds));
  READER_CHECK(s.killAfterOps >= -1 && s.cameraDiesAfterOps >= -1, s.name);
  for (uint32_t areaSectors : {0u, 1u, 512u, 0xFFFFFFFFu}) devsim::CardImageBytes(s, areaSectors);
}

// The scenario's device configuration, made as the campaign makes it but
// without writing the device (no old boot loader file: the plan's checks of
// the recipe are the same).
void CheckDevice(const devsim::Scenario& s) {
  devsim::DeviceRecipe recipe = s.create;
  recipe.bootImagePath.reset();
  sim::NandConfig cfg;
  try {
    cfg = devsim::NewDeviceConfig(devsim::PlanDevice("fuzz-device", recipe));
  } catch (const devsim::UsageError& e) {
    READER_CHECK(std::string(e.what()).size() > 0, s.name + ": a plan refused without a message");
    return;
  }
  for (const auto& kv : s.settings) {
    const sim::KeyStatus status = sim::ApplyNandConfigKey(kv.first, kv.second, &cfg);
    READER_CHECK(status == sim::KeyStatus::kApplied,
                 s.name + ": the setting " + kv.first + " = " + kv.second +
                     " was read but does not apply: " + sim::DescribeKeyStatus(kv.first, status));
  }
  try {
    devsim::AddFaults(s.faults, devsim::FaultNaming::kKeys, &cfg);
  } catch (const devsim::UsageError& e) {
    READER_CHECK(std::string(e.what()).size() > 0, s.name + ": faults refused without a message");
    return;
  }
  const std::string written = sim::FormatNandConfig(cfg);
  sim::NandConfig back;
  std::string error;
  READER_CHECK(sim::ParseNandConfig(written, "nand.cfg", &back, &error),
               s.name + ": its nand.cfg does not read: " + error + "\n" + written);
  READER_CHECK(sim::FormatNandConfig(back) == written, s.name + ": its nand.cfg reads back otherwise:\n" + written);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  std::vector<devsim::Scenario> scenarios;
  std::string error;
  if (!devsim::ParseScenarios(text, kFile, &scenarios, &error)) {
    CheckRefusal(text, error);
    return 0;
  }
  std::vector<devsim::Scenario> again;
  READER_CHECK(devsim::ParseScenarios(text, kFile, &again, &error), "read once, refused the second time: " + error);
  READER_CHECK(again.size() == scenarios.size(), "another number of scenarios the second time");
  std::set<std::string> names;
  for (size_t i = 0; i < scenarios.size(); ++i) {
    const devsim::Scenario& s = scenarios[i];
    READER_CHECK(again[i].name == s.name && again[i].line == s.line, s.name + " read otherwise the second time");
    READER_CHECK(names.insert(s.name).second, "two scenarios named " + s.name);
    CheckScenario(text, s);
    CheckDevice(s);
  }
  return 0;
}
