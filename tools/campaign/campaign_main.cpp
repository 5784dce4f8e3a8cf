// devsim campaign: the scenario folder run end to end, the table printed and
// written as Markdown.
#include <stdlib.h>
#include <sys/stat.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <mutex>
#include <thread>

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

// An installed devsim has the scenarios among its data, and writes the table
// where it is run rather than into a checkout it may not have.
std::string DefaultScenarioDir() {
  const std::string data = DataFolder();
  return data.empty() ? SourceDir() + "/tests/campaign/scenarios" : data + "/scenarios";
}
std::string DefaultTablePath() {
  return DataFolder().empty() ? SourceDir() + "/build/campaign/table.md" : "campaign-table.md";
}

namespace {

// The Wine prefixes rows run in, one per row under way: the test workers'
// (each with its own Wine server, so that the bus mutexes of two runs are
// never the same), or with one job the process's own prefix.
bool RowPrefixes(unsigned jobs, std::vector<std::string>* prefixes, std::string* error) {
  std::string base = WinePrefix();
  if (jobs == 1) {
    prefixes->push_back(base);
    return true;
  }
  for (unsigned i = 0; jobs == 0 || i < jobs; ++i) {
    std::string worker = base + "-worker" + std::to_string(i);
    if (!WinePrefixReady(worker)) break;
    prefixes->push_back(worker);
  }
  if (prefixes->empty() && jobs == 0) prefixes->push_back(base);
  if (jobs && prefixes->size() < jobs) {
    *error = "--jobs " + std::to_string(jobs) + " needs as many test worker prefixes (" + base +
             "-worker0, ...), and " + std::to_string(prefixes->size()) + " are ready: scripts/setup.sh makes them";
    return false;
  }
  return true;
}

// Runs work(i, prefix) for every i below count, one thread per prefix, each
// taking the next i when it is done with one.
void ForEachSideBySide(size_t count, const std::vector<std::string>& prefixes,
                       const std::function<void(size_t, const std::string&)>& work) {
  std::atomic<size_t> next{0};
  std::vector<std::thread> threads;
  for (const std::string& prefix : prefixes)
    threads.emplace_back([&, prefix] {
      for (size_t i; (i = next++) < count;) work(i, prefix);
    });
  for (std::thread& t : threads) t.join();
}

void PrintRow(const Row& r) {
  static std::mutex printing;
  std::lock_guard<std::mutex> lock(printing);
  fprintf(stderr, "%-40s %s\n", r.scenario.c_str(), r.asExpected ? "as expected" : "NOT AS EXPECTED");
  for (const std::string& p : r.problems) fprintf(stderr, "    %s\n", p.c_str());
  if (!r.asExpected && getenv("CAMPAIGN_VERBOSE")) fprintf(stderr, "%s\n", r.detail.c_str());
}

}  // namespace

// Each scenario's first row, then the sweeps' points, which need their
// sweep's first row.
std::vector<Row> RunSideBySide(const std::vector<const Scenario*>& scenarios, const CampaignOptions& opt,
                               const std::vector<std::string>& prefixes) {
  auto run = [&opt](const RowPlan& plan, const std::string& prefix, uint64_t* ops) {
    CampaignOptions mine = opt;
    mine.winePrefix = prefix;
    Row r = RunRow(plan, mine, ops);
    PrintRow(r);
    return r;
  };
  std::vector<Row> first(scenarios.size());
  std::vector<uint64_t> ops(scenarios.size(), 0);
  ForEachSideBySide(scenarios.size(), prefixes, [&](size_t i, const std::string& prefix) {
    first[i] = run(FirstRow(*scenarios[i]), prefix, &ops[i]);
  });
  std::vector<RowPlan> points;
  std::vector<size_t> owner;
  for (size_t i = 0; i < scenarios.size(); ++i)
    for (const RowPlan& plan : SweepRows(*scenarios[i], first[i], ops[i], opt.full)) {
      points.push_back(plan);
      owner.push_back(i);
    }
  std::vector<Row> pointRows(points.size());
  ForEachSideBySide(points.size(), prefixes, [&](size_t k, const std::string& prefix) {
    pointRows[k] = run(points[k], prefix, nullptr);
  });
  std::vector<Row> rows;
  for (size_t i = 0; i < scenarios.size(); ++i) {
    rows.push_back(std::move(first[i]));
    for (size_t k = 0; k < points.size(); ++k)
      if (owner[k] == i) rows.push_back(std::move(pointRows[k]));
  }
  return rows;
}

int RunCampaign(CampaignOptions opt, const std::string& scenarios, const std::string& table) {
  std::vector<Scenario> all;
  std::vector<std::string> prefixes;
  std::string error;
  if (!LoadScenarioFolder(scenarios, &all, &error) || !RowPrefixes(opt.jobs, &prefixes, &error)) {
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
  std::vector<const Scenario*> chosen;
  for (const Scenario& s : all)
    if (opt.only.empty() || s.name.find(opt.only) != std::string::npos) chosen.push_back(&s);
  std::vector<Row> rows = RunSideBySide(chosen, opt, prefixes);
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
