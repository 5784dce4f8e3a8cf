// Small pieces of the campaign's runner: files, byte comparisons over sector
// ranges, the system driver's report.
#ifndef TOOLS_CAMPAIGN_RUN_SUPPORT_H
#define TOOLS_CAMPAIGN_RUN_SUPPORT_H

#include <cstdint>
#include <string>
#include <vector>

#include "tools/campaign/campaign.h"
#include "tools/devsim/nandimage.h"
#include "tools/run/device_runner.h"

namespace devsim {

struct SectorRange {
  uint64_t first = 0, count = 0;
  bool Holds(uint64_t sector) const { return sector >= first && sector - first < count; }
};

Bytes ReadBytes(const std::string& path);
bool WriteBytes(const std::string& path, const Bytes& data);
bool CopyFile(const std::string& from, const std::string& to);

// Bytes that differ between two raw images (528-byte pages), pages inside any
// of the excluded sector ranges not counted; a size change counts its bytes.
uint64_t CountChangedBytes(const Bytes& before, const Bytes& after, const std::vector<SectorRange>& excluded);

// The system flash driver stand-in's report in the run's event log.
SysdrvReport FindSysdrvReport(const RunResult& run);
// How often the camera stand-in of this mode ("camera", "wp") took the pin
// mutex, by its report; -1 when it did not run.
long StandInTakes(const RunResult& run, const std::string& mode);

// The interruptions a scenario asks for (the program killed after N chip
// operations, a camera stand-in that dies holding the pin mutex).
void AddRunnerOptions(const Scenario& s, RunOptions* ro);

// The power-loss points of a sweep over an update of ops chip operations.
std::vector<uint64_t> SweepPoints(uint64_t ops, unsigned sample, bool full);

std::string JoinList(const std::vector<std::string>& items);  // "[a, b]"
std::string FirstLine(const std::string& text);
std::string DescribeRun(const RunResult& run);  // events as logged

}  // namespace devsim

#endif
