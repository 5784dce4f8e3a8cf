// devsim campaign: the scenario folder run end to end, the table printed and
// written as Markdown.
#include <stdlib.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>

#include "tools/campaign/campaign.h"
#include "tools/run/device_runner.h"

namespace devsim {
namespace {

std::string SourceDir() {
#ifdef KESTREL_SOURCE_DIR
  return KESTREL_SOURCE_DIR;
#else
  return ".";
#endif
}

}  // namespace

std::string DefaultScenarioDir() { return SourceDir() + "/tests/campaign/scenarios"; }
std::string DefaultTablePath() { return SourceDir() + "/build/campaign/table.md"; }

int RunCampaign(CampaignOptions opt, const std::string& scenarios, const std::string& table) {
  opt.progress = true;
  std::vector<Scenario> all;
  std::string error;
  if (!LoadScenarioFolder(scenarios, &all, &error)) {
    fprintf(stderr, "devsim campaign: %s\n", error.c_str());
    return 2;
  }
  bool temporary = opt.workDir.empty();
  if (temporary) {
    char tmpl[] = "/tmp/kestrel-campaign-XXXXXX";
    if (!mkdtemp(tmpl)) {
      perror("devsim campaign: mkdtemp");
      return 2;
    }
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
  if (temporary && !opt.keep && t.failed == 0)
    std::filesystem::remove_all(opt.workDir, ec);
  else
    printf("devices: %s\n", opt.workDir.c_str());
  return t.failed == 0 && !rows.empty() ? 0 : 1;
}

}  // namespace devsim
