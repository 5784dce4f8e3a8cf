// libFuzzer target: nand.cfg as the device models and devsim read it (the
// input is the file's text), and what the writer makes of what was read.
//
//   - a refused file has a message naming the file and the line, and leaves
//     the configuration it was read into as it was;
//   - a file that reads is written back (FormatNandConfig) to text that reads
//     again, to the same configuration (the same text written, the same
//     faults of every kind of the fault kinds' table, the same reserved keys);
//   - every line written is a key this version knows or one reserved for later.
//
//   nand_cfg_fuzz CORPUS_DIR -dict=fuzz/nand_cfg_fuzz.dict    fuzz
//   nand_cfg_fuzz crash-FILE                                  run one input again
#include <stddef.h>
#include <stdint.h>

#include <algorithm>
#include <cstring>
#include <sstream>
#include <string>
#include <vector>

#include "fuzz/reader_check.h"
#include "sim/fault_kinds.h"
#include "sim/nand_cfg.h"

namespace {

// A configuration unlike the defaults, to see that a refused file leaves it alone.
sim::NandConfig Marked() {
  sim::NandConfig cfg;
  cfg.maker = 0x98;
  cfg.device = 0x75;
  cfg.badBlocks = {7};
  cfg.unknown.emplace_back("later.mark", "1");
  return cfg;
}

bool IsKnownKey(const std::string& key) {
  static const std::vector<std::string> keys = sim::NandConfigKeys();
  return std::find(keys.begin(), keys.end(), key) != keys.end() ||
         key.compare(0, strlen(sim::kReservedKeyPrefix), sim::kReservedKeyPrefix) == 0;
}

void CheckRefusal(const std::string& text, const std::string& error, const sim::NandConfig& cfg) {
  readerfuzz::CheckRefusalNamesALine("nand.cfg", text, error);
  READER_CHECK(sim::FormatNandConfig(cfg) == sim::FormatNandConfig(Marked()),
               "a refused file changed the configuration:\n" + sim::FormatNandConfig(cfg));
}

void CheckWrittenBack(const sim::NandConfig& cfg) {
  const std::string written = sim::FormatNandConfig(cfg);
  sim::NandConfig back = Marked();
  std::string error;
  READER_CHECK(sim::ParseNandConfig(written, "written", &back, &error),
               "what the writer wrote does not read: " + error + "\n" + written);
  const std::string again = sim::FormatNandConfig(back);
  READER_CHECK(again == written, "written:\n" + written + "read back and written again:\n" + again);
  for (const sim::FaultKind& k : sim::FaultKinds())
    READER_CHECK(k.get(back) == k.get(cfg), std::string("the faults of ") + k.key + " differ after the round trip");
  READER_CHECK(back.unknown == cfg.unknown, "the reserved keys differ after the round trip:\n" + written);
  READER_CHECK(back.HasFaults() == cfg.HasFaults(), written);

  std::istringstream lines(written);
  std::string line;
  while (std::getline(lines, line)) {
    const size_t eq = line.find(" = ");
    READER_CHECK(eq != std::string::npos && IsKnownKey(line.substr(0, eq)), "written line: " + line);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  sim::NandConfig cfg = Marked();
  std::string error;
  if (!sim::ParseNandConfig(text, "nand.cfg", &cfg, &error)) {
    CheckRefusal(text, error, cfg);
    return 0;
  }
  CheckWrittenBack(cfg);
  sim::NandConfig cleared = cfg;
  cleared.ClearFaults();
  READER_CHECK(!cleared.HasFaults(), sim::FormatNandConfig(cleared));
  return 0;
}
