// The campaign's table: one row per run, as text for a terminal and as
// Markdown for the README's link.
#include <algorithm>
#include <cstdio>

#include "tools/campaign/campaign.h"

namespace devsim {
namespace {

struct Column {
  const char* title;
  std::string (*cell)(const Row&);
};

// Line feeds shown as \n, so that a row stays one line in either form.
std::string Quoted(const std::string& s) {
  if (s.empty()) return "(none)";
  std::string out = "\"";
  for (char c : s) out += c == '\n' ? std::string("\\n") : std::string(1, c);
  return out + "\"";
}

std::string SysdrvCell(const Row& r) {
  if (!r.sysdrv.present) return "no report";
  std::string s;
  if (r.sysdrv.writes + r.sysdrv.reads + r.sysdrv.erases == 0) {
    s = "idle";
  } else {
    s = r.sysdrv.mismatches ? std::to_string(r.sysdrv.mismatches) + " mismatches" : "clean";
    s += " (w" + std::to_string(r.sysdrv.writes) + " r" + std::to_string(r.sysdrv.reads) + " e" +
         std::to_string(r.sysdrv.erases);
    if (r.sysdrv.failures) s += " failed " + std::to_string(r.sysdrv.failures);
    s += ")";
  }
  if (r.sysdrv.abandoned) s += ", abandoned " + std::to_string(r.sysdrv.abandoned);
  return s;
}

std::string OthersCell(const Row& r) {
  std::string s;
  if (r.cameraTakes >= 0) s += "camera " + std::to_string(r.cameraTakes);
  if (r.wpTakes >= 0) s += std::string(s.empty() ? "" : ", ") + "wp " + std::to_string(r.wpTakes);
  return s.empty() ? "-" : s;
}

const Column kColumns[] = {
    {"scenario", [](const Row& r) { return r.scenario; }},
    {"outcome", [](const Row& r) { return std::string(OutcomeName(r.outcome)); }},
    {"message", [](const Row& r) { return Quoted(r.message); }},
    {"boot area", [](const Row& r) { return std::string(r.verified ? "verified" : "not verified"); }},
    {"bytes changed outside", [](const Row& r) { return std::to_string(r.bytesOutside); }},
    {"violations", [](const Row& r) { return std::to_string(r.violations); }},
    {"system driver", SysdrvCell},
    {"pins / write protect taken", OthersCell},
    {"recovery", [](const Row& r) { return r.recovery; }},
    {"as expected", [](const Row& r) { return std::string(r.asExpected ? "yes" : "NO"); }},
};

std::string MarkdownCell(std::string s) {
  std::string out;
  for (char c : s) out += c == '|' ? std::string("\\|") : std::string(1, c);
  return out;
}

}  // namespace

CampaignTotals Totals(const std::vector<Row>& rows) {
  CampaignTotals t;
  for (const Row& r : rows) {
    ++t.scenarios;
    if (r.kind == "fault" || r.kind == "power-loss" || r.kind == "kill") ++t.faults;
    if (r.kind == "bad-input") ++t.badInputs;
    if (!r.asExpected) ++t.failed;
    t.bytesLost += r.bytesOutside + r.sysdrv.mismatches;
  }
  return t;
}

std::string FormatSummary(const CampaignTotals& t) {
  char buf[256];
  snprintf(buf, sizeof(buf),
           "%zu scenarios run (%zu with faults or interruptions, %zu bad inputs): %zu as expected, %zu not; "
           "bytes lost: %llu",
           t.scenarios, t.faults, t.badInputs, t.scenarios - t.failed, t.failed, (unsigned long long)t.bytesLost);
  return buf;
}

std::string FormatTable(const std::vector<Row>& rows) {
  const size_t n = sizeof(kColumns) / sizeof(kColumns[0]);
  std::vector<size_t> width(n);
  for (size_t c = 0; c < n; ++c) {
    width[c] = std::string(kColumns[c].title).size();
    for (const Row& r : rows) width[c] = std::max(width[c], kColumns[c].cell(r).size());
  }
  auto line = [&](auto cell) {
    std::string s;
    for (size_t c = 0; c < n; ++c) {
      std::string v = cell(c);
      s += v + std::string(c + 1 < n ? width[c] - v.size() + 2 : 0, ' ');
    }
    return s + "\n";
  };
  std::string out = line([&](size_t c) { return std::string(kColumns[c].title); });
  for (const Row& r : rows) out += line([&](size_t c) { return kColumns[c].cell(r); });
  return out;
}

std::string FormatMarkdown(const std::vector<Row>& rows) {
  std::string out = "# Reliability campaign\n\n";
  out += FormatSummary(Totals(rows)) + "\n\n|";
  for (const Column& c : kColumns) out += std::string(" ") + c.title + " |";
  out += "\n|";
  for (size_t c = 0; c < sizeof(kColumns) / sizeof(kColumns[0]); ++c) out += "---|";
  out += "\n";
  for (const Row& r : rows) {
    out += "|";
    for (const Column& c : kColumns) out += " " + MarkdownCell(c.cell(r)) + " |";
    out += "\n";
  }
  bool any = false;
  for (const Row& r : rows) {
    if (r.asExpected) continue;
    if (!any) out += "\n## Rows not as expected\n";
    any = true;
    out += "\n### " + r.scenario + "\n\n";
    for (const std::string& p : r.problems) out += "- " + MarkdownCell(p) + "\n";
  }
  return out;
}

}  // namespace devsim
