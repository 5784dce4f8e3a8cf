// Every scenario of the campaign, one test each: made, run under Wine on a
// fresh simulated device, and checked row by row against its expectation.
// The rows of the whole run become the campaign's table.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>

#include "tools/campaign/campaign.h"

namespace devsim {
namespace {

std::vector<Scenario> AllScenarios() {
  std::vector<Scenario> all;
  std::string error;
  if (!LoadScenarioFolder(SCENARIO_DIR, &all, &error)) ADD_FAILURE() << error;
  return all;
}

// Rows of every scenario run by this program, written out as the table when
// the program ends.
std::vector<Row>& Rows() {
  static std::vector<Row> rows;
  return rows;
}

class TableWriter : public ::testing::Environment {
 public:
  void TearDown() override {
    if (Rows().empty()) return;
    std::string path = getenv("CAMPAIGN_TABLE") ? getenv("CAMPAIGN_TABLE") : TABLE_PATH;
    std::error_code ec;
    std::filesystem::create_directories(std::filesystem::path(path).parent_path(), ec);
    std::ofstream(path) << FormatMarkdown(Rows());
    printf("%s%s\ntable: %s\n", FormatTable(Rows()).c_str(), FormatSummary(Totals(Rows())).c_str(), path.c_str());
  }
};
const auto* const kTableWriter = ::testing::AddGlobalTestEnvironment(new TableWriter);

CampaignOptions Options() {
  CampaignOptions opt;
  static std::string work = [] {
    char tmpl[] = "/tmp/kestrel-campaign-test-XXXXXX";
    return std::string(mkdtemp(tmpl) ? tmpl : "/tmp");
  }();
  opt.workDir = work;
  opt.full = getenv("CAMPAIGN_FULL") != nullptr;
  return opt;
}

}  // namespace

// Test names carry the scenario; gtest need not dump the object.
void PrintTo(const Scenario& s, std::ostream* os) { *os << s.name << " (" << s.file << ":" << s.line << ")"; }

namespace {

class Campaign : public ::testing::TestWithParam<Scenario> {};

TEST_P(Campaign, EndsAsExpected) {
  const Scenario& s = GetParam();
  std::vector<Row> rows = RunScenario(s, Options());
  ASSERT_FALSE(rows.empty());
  for (const Row& r : rows) {
    SCOPED_TRACE(r.scenario + " (" + s.file + ":" + std::to_string(s.line) + ")");
    std::string why;
    for (const std::string& p : r.problems) why += "\n  " + p;
    EXPECT_TRUE(r.asExpected) << "outcome " << OutcomeName(r.outcome) << ", message \"" << r.message << "\"" << why
                              << "\n"
                              << r.detail;
    EXPECT_EQ(0u, r.bytesOutside) << "bytes lost outside the boot area";
    EXPECT_EQ(0u, r.violations);
    Rows().push_back(r);
  }
}

std::string TestName(const ::testing::TestParamInfo<Scenario>& info) {
  std::string n;
  for (char c : info.param.name) n += isalnum((unsigned char)c) ? c : '_';
  return n;
}

INSTANTIATE_TEST_SUITE_P(Scenarios, Campaign, ::testing::ValuesIn(AllScenarios()), TestName);

}  // namespace
}  // namespace devsim
