// devsim campaign: the reliability campaign (tools/campaign) as a subcommand.
#include <vector>

#include "tools/campaign/campaign.h"
#include "tools/devsim/command.h"
#include "tools/devsim/device_ops.h"

namespace devsim {
namespace {

const char kProse[] =
    "Runs every scenario of the scenario folder on fresh simulated devices with the device\n"
    "build's programs under Wine (DEVSIM_DEVICE_BUILD, else those installed with devsim, else\n"
    "build/device), checks each outcome against what the scenario expects and prints the\n"
    "table: scenario, outcome, message, whether the boot area verifies, bytes changed outside\n"
    "the boot area, protocol violations, the system driver's own check, recovery by a second\n"
    "run. Rows run side by side on the test workers' Wine prefixes; the table keeps the\n"
    "scenarios' order.";
const char kFooter[] = "exit codes: 0 every row as expected, 1 a row is not, 2 bad usage or unreadable scenarios";

struct CampaignArgs {
  CampaignOptions opt;
  std::optional<std::string> only, scenarios, table, work, jobs;
};

int Run(CampaignArgs a) {
  if (a.jobs) {
    const uint64_t n = ParseU64(*a.jobs, "--jobs count");
    if (n == 0 || n > 64) throw UsageError("--jobs: from 1 to 64, not " + *a.jobs);
    a.opt.jobs = unsigned(n);
  }
  a.opt.only = a.only.value_or("");
  a.opt.workDir = a.work.value_or("");
  return RunCampaign(a.opt, a.scenarios.value_or(DefaultScenarioDir()), a.table.value_or(DefaultTablePath()));
}

Runner Declare(CommandLine& cl) {
  auto a = std::make_shared<CampaignArgs>();
  cl.Describe("run the reliability scenarios and print their table", kProse);
  cl.Footer(kFooter);
  cl.Flag("--full", "every power-loss point of the sweeps, not a sample", &a->opt.full);
  cl.Value("--only", "TEXT", "only the scenarios whose name holds TEXT", &a->only);
  cl.Value("--scenarios", "DIR",
           "the scenario folder (default tests/campaign/scenarios of the source tree; installed, "
           "the scenarios installed with devsim)",
           &a->scenarios);
  cl.Value("--table", "FILE",
           "the table also goes here, as Markdown (default build/campaign/table.md of the source tree; installed, "
           "campaign-table.md here)",
           &a->table);
  cl.Value("--work", "DIR", "where the devices are made (default a temporary folder)", &a->work);
  cl.Flag("--keep", "keep every device folder (those of failing rows are always kept)", &a->opt.keep);
  cl.Value("--jobs", "N",
           "rows side by side, each on a test worker's Wine prefix (default: as many as scripts/setup.sh made; "
           "1: one at a time on the prefix of WINEPREFIX)",
           &a->jobs);
  return [a] { return Run(*a); };
}

}  // namespace

extern const Command kCampaignCommand = {"campaign", Declare};

}  // namespace devsim
