// devsim campaign: the reliability campaign (tools/campaign) as a subcommand.
#include <vector>

#include "tools/campaign/campaign.h"
#include "tools/devsim/command.h"

namespace devsim {
namespace {

const char kHelp[] =
    "usage: devsim campaign [--full] [--only SUBSTRING] [--scenarios DIR] [--table FILE]\n"
    "                       [--work DIR] [--keep]\n"
    "\n"
    "Runs every scenario of the scenario folder (default tests/campaign/scenarios of the\n"
    "source tree) on fresh simulated devices with the device build's programs under Wine\n"
    "(DEVSIM_DEVICE_BUILD, else build/device), checks each outcome against what the\n"
    "scenario expects and prints the table: scenario, outcome, message, whether the boot\n"
    "area verifies, bytes changed outside the boot area, protocol violations, the system\n"
    "driver's own check, recovery by a second run. The table also goes to --table as\n"
    "Markdown (default build/campaign/table.md of the source tree).\n"
    "\n"
    "  --full          every power-loss point of the sweeps, not a sample\n"
    "  --only TEXT     only the scenarios whose name holds TEXT\n"
    "  --work DIR      where the devices are made (default a temporary folder)\n"
    "  --keep          keep every device folder (those of failing rows are always kept)\n"
    "\n"
    "exit codes: 0 every row as expected, 1 a row is not, 2 bad usage or unreadable scenarios\n";

int Run(const std::vector<std::string>& argv) {
  CampaignOptions opt;
  std::vector<std::string> positional;
  std::optional<std::string> only, scenarios, table, work;
  CommandLine cl;
  cl.Positionals({}, &positional);
  cl.Flag("--full", &opt.full);
  cl.Flag("--keep", &opt.keep);
  cl.Value("--only", &only);
  cl.Value("--scenarios", &scenarios);
  cl.Value("--table", &table);
  cl.Value("--work", &work);
  cl.Parse(argv);
  opt.only = only.value_or("");
  opt.workDir = work.value_or("");
  return RunCampaign(opt, scenarios.value_or(DefaultScenarioDir()), table.value_or(DefaultTablePath()));
}

}  // namespace

extern const Command kCampaignCommand = {"campaign", "run the reliability scenarios and print their table", kHelp, Run};

}  // namespace devsim
