// The reliability campaign: every scenario of the scenario folder run on a
// fresh simulated device with the real programs under Wine, each outcome
// checked the way the device and its user would see it, and the table of it
// all.
//
//   devsim campaign [--full] [--only SUBSTRING] [--scenarios DIR] [--table FILE]
//                   [--work DIR] [--keep]
//
// Per scenario row: the outcome (the message box, or the power going, a kill,
// a hang), the message text, whether the boot area holds the image (the host
// tool's verify), the bytes that changed outside the boot area (and outside
// the system driver's own region while it works), the protocol checker's
// violations, the system driver's own check of its data, and whether a second
// run on the same device and card recovered. Exit 0 when every row is as its
// scenario expects, 1 when one is not, 2 on bad usage or unreadable scenarios.
#ifndef TOOLS_CAMPAIGN_CAMPAIGN_H
#define TOOLS_CAMPAIGN_CAMPAIGN_H

#include <cstdint>
#include <string>
#include <vector>

#include "tools/campaign/scenario.h"

namespace devsim {

struct CampaignOptions {
  std::string workDir;    // devices are made here (one folder per row)
  bool full = false;      // every power-loss point, not a sample
  bool keep = false;      // leave the device folders
  std::string only;       // run the scenarios whose name holds this
  bool progress = false;  // one line on stderr per row as it ends
  std::string winePrefix; // the Wine prefix the rows run in; "" the process's own
  unsigned jobs = 0;      // RunCampaign's rows side by side; 0: one per test worker's prefix
};

// What the system flash driver stand-in reported of its own work.
struct SysdrvReport {
  bool present = false;
  uint64_t holds = 0, writes = 0, reads = 0, erases = 0;
  uint64_t mismatches = 0;  // its data read back different
  uint64_t failures = 0;    // its operations the driver reported failed
  uint64_t abandoned = 0;   // takings of the flash mutex that came abandoned
};

struct Row {
  std::string scenario;
  std::string kind;
  Outcome outcome = Outcome::kNotRun;
  std::string message;  // text of the updater's (or launcher's) message; "" none
  bool verified = false;
  uint64_t bytesOutside = 0;  // changed outside the boot area (and the system driver's region)
  uint64_t bytesChanged = 0;  // changed anywhere
  uint64_t violations = 0;
  SysdrvReport sysdrv;
  long cameraTakes = -1;       // times the camera stand-in took the pins (-1: not running)
  long wpTakes = -1;           // ... and the write-protect user
  std::string recovery = "-";  // "-" not asked, "yes", or what failed
  bool asExpected = false;
  std::vector<std::string> problems;  // why not as expected
  std::string detail;                 // the run's events, for a failing row
  std::string winePrefix;             // the Wine prefix it ran in
};

// Runs one scenario (a power-loss sweep gives one row per point).
std::vector<Row> RunScenario(const Scenario& s, const CampaignOptions& opt);

// The same in pieces, for rows run side by side: a scenario's first row (a
// sweep's is the update uninterrupted, which gives the chip operations its
// points cut at), then a sweep's points once that row is as expected.
struct RowPlan {
  const Scenario* scenario = nullptr;
  std::string name;
  int64_t powerLossAfter = -1;  // a sweep's point
  bool baseline = false;        // a sweep's uninterrupted update
};
RowPlan FirstRow(const Scenario& s);
std::vector<RowPlan> SweepRows(const Scenario& s, const Row& first, uint64_t chipOps, bool full);
Row RunRow(const RowPlan& plan, const CampaignOptions& opt, uint64_t* chipOps = nullptr);

// Every row of the scenarios, side by side: one row under way on each Wine
// prefix (each with its own Wine server, so that two runs never share the bus
// mutexes), each row printed on stderr as it ends; the rows come back in the
// order RunScenario gives them, scenario after scenario.
std::vector<Row> RunSideBySide(const std::vector<const Scenario*>& scenarios, const CampaignOptions& opt,
                               const std::vector<std::string>& winePrefixes);

struct CampaignTotals {
  size_t scenarios = 0, faults = 0, badInputs = 0, failed = 0;
  uint64_t bytesLost = 0;
};
CampaignTotals Totals(const std::vector<Row>& rows);

std::string FormatTable(const std::vector<Row>& rows);     // fixed-width text
std::string FormatMarkdown(const std::vector<Row>& rows);  // with the summary line
std::string FormatSummary(const CampaignTotals& t);

// The host tool's "campaign" subcommand once its command line is read: every
// scenario of scenarioDir (opt.only narrowing them), the table printed and
// written to tablePath as Markdown. An empty opt.workDir is a temporary
// folder. The exit code: 0, 1 (a row not as expected), 2 (unreadable scenarios).
int RunCampaign(CampaignOptions opt, const std::string& scenarioDir, const std::string& tablePath);
std::string DefaultScenarioDir();  // tests/campaign/scenarios of the source tree
std::string DefaultTablePath();    // build/campaign/table.md of the source tree

}  // namespace devsim

#endif
