// devsim campaign: the scenario folder run end to end, the table printed and
// written as Markdown.
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>

#include "tools/campaign/campaign.h"
#include "tools/run/device_runner.h"

namespace devsim {
namespace {

const char kUsage[] =
    "usage: devsim campaign [--full] [--only SUBSTRING] [--scenarios DIR] [--table FILE]\n"
    "                       [--work DIR] [--keep] [--devsim PATH]\n"
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
    "  --devsim PATH   the host tool to create, fault and verify with (default: this one)\n"
    "\n"
    "exit codes: 0 every row as expected, 1 a row is not, 2 bad usage or unreadable scenarios\n";

std::string SourceDir() {
#ifdef KESTREL_SOURCE_DIR
  return KESTREL_SOURCE_DIR;
#else
  return ".";
#endif
}

std::string SelfPath() {
  char buf[4096];
  ssize_t n = readlink("/proc/self/exe", buf, sizeof(buf) - 1);
  return n > 0 ? std::string(buf, size_t(n)) : "devsim";
}

}  // namespace

const char* CampaignUsage() { return kUsage; }

int CampaignMain(int argc, char** argv) {
  CampaignOptions opt;
  opt.progress = true;
  std::string scenarios = SourceDir() + "/tests/campaign/scenarios";
  std::string table = SourceDir() + "/build/campaign/table.md";
  const char* tool = getenv("DEVSIM_TOOL");
  opt.devsimPath = tool && *tool ? tool : SelfPath();
  for (int i = 1; i < argc; ++i) {
    std::string a = argv[i];
    auto value = [&](std::string* v) {
      if (i + 1 >= argc) return false;
      *v = argv[++i];
      return true;
    };
    bool ok = true;
    if (a == "--help" || a == "-h") { fputs(kUsage, stdout); return 0; }
    else if (a == "--full") opt.full = true;
    else if (a == "--keep") opt.keep = true;
    else if (a == "--only") ok = value(&opt.only);
    else if (a == "--scenarios") ok = value(&scenarios);
    else if (a == "--table") ok = value(&table);
    else if (a == "--work") ok = value(&opt.workDir);
    else if (a == "--devsim") ok = value(&opt.devsimPath);
    else ok = false;
    if (!ok) {
      fprintf(stderr, "devsim campaign: bad argument %s\n%s", a.c_str(), kUsage);
      return 2;
    }
  }
  std::vector<Scenario> all;
  std::string error;
  if (!LoadScenarioFolder(scenarios, &all, &error)) {
    fprintf(stderr, "devsim campaign: %s\n", error.c_str());
    return 2;
  }
  bool temporary = opt.workDir.empty();
  if (temporary) {
    char tmpl[] = "/tmp/kestrel-campaign-XXXXXX";
    if (!mkdtemp(tmpl)) { perror("devsim campaign: mkdtemp"); return 2; }
    opt.workDir = tmpl;
  }
  std::vector<Row> rows;
  for (const Scenario& s : all) {
    if (!opt.only.empty() && s.name.find(opt.only) == std::string::npos) continue;
    for (Row& r : RunScenario(s, opt)) {
      fprintf(stderr, "%-40s %s\n", r.scenario.c_str(), r.asExpected ? "as expected" : "NOT AS EXPECTED");
      for (const std::string& p : r.problems) fprintf(stderr, "    %s\n", p.c_str());
      if (!r.asExpected && getenv("CAMPAIGN_VERBOSE")) fprintf(stderr, "%s\n", r.detail.c_str());
      rows.push_back(std::move(r));
    }
  }
  fputs(FormatTable(rows).c_str(), stdout);
  CampaignTotals t = Totals(rows);
  printf("%s\n", FormatSummary(t).c_str());
  std::error_code ec;
  std::filesystem::create_directories(std::filesystem::path(table).parent_path(), ec);
  std::ofstream(table) << FormatMarkdown(rows);
  printf("table: %s\n", table.c_str());
  if (temporary && !opt.keep && t.failed == 0) std::filesystem::remove_all(opt.workDir, ec);
  else printf("devices: %s\n", opt.workDir.c_str());
  return t.failed == 0 && !rows.empty() ? 0 : 1;
}

}  // namespace devsim
