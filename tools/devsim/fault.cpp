// devsim fault: records faults in a device's nand.cfg; the chip model of
// every process on the device applies them.
#include <cstdio>

#include "sim/fault_kinds.h"
#include "sim/soc_state.h"
#include "tools/devsim/command.h"

namespace devsim {
namespace {

const char kProse[] =
    "Adds faults to DIR/nand.cfg for the chip model to apply; with no option it lists the\n"
    "faults in effect. BYTE counts within the raw page (0-511 data, 512-527 spare on the\n"
    "small-page chips), BIT is 0-7.";

std::string Footer() {
  return "N counts from the next program start on the device: chip operations for --stuck-ready\n"
         "and --power-loss, its own kind of operation (DMA transfers, drains, FIFO transfers,\n"
         "operations with CMD) for a hang. The options without ... are one of a kind: a new one\n"
         "replaces the old. The device model holds at most " +
         std::to_string(sim::kMaxFaultsPerKind) + " faults of each kind;\nmore are refused (exit 2).";
}

// A kind's help lines as one description; the help wraps it.
std::string OneLine(std::string text) {
  for (char& c : text)
    if (c == '\n') c = ' ';
  return text;
}

// Each fault kind's values, in the order of sim::FaultKinds().
struct FaultArgs {
  std::string dir;
  std::vector<std::vector<std::string>> repeated;
  std::vector<std::optional<std::string>> single;
  bool clear = false;
};

int RunFault(const FaultArgs& a) {
  const auto& kinds = sim::FaultKinds();

  // The options as faults, in the fields nand.cfg keeps them in; where they
  // lie on the chip is checked when they are added.
  sim::NandConfig add;
  bool changes = a.clear;
  for (size_t i = 0; i < kinds.size(); ++i) {
    std::vector<std::string> values = a.repeated[i];
    if (a.single[i]) values.push_back(*a.single[i]);
    for (const std::string& v : values) {
      sim::FaultFields fields;
      std::string error;
      if (!sim::ParseFaultFields(kinds[i], v, kinds[i].option, &fields, &error)) throw UsageError(error);
      kinds[i].put(&add, fields);
      changes = true;
    }
  }
  const std::string& dir = a.dir;
  sim::NandConfig cfg = ReadDeviceConfig(dir);
  if (a.clear) cfg.ClearFaults();
  AddFaults(add, FaultNaming::kOptions, &cfg);
  if (changes) WriteDeviceConfig(dir, cfg);

  std::string listed;
  for (const std::string& line : FaultLines(cfg)) listed += "  " + line + "\n";
  std::printf("faults of %s%s\n%s", dir.c_str(), listed.empty() ? ": none" : ":", listed.c_str());
  return kExitOk;
}

// The options are the fault kinds' rows (sim/fault_kinds.h): their options,
// value forms and help lines.
Runner Declare(CommandLine& cl) {
  const auto& kinds = sim::FaultKinds();
  auto a = std::make_shared<FaultArgs>();
  a->repeated.resize(kinds.size());
  a->single.resize(kinds.size());
  cl.Describe("record faults in a device's nand.cfg (or list them)", kProse);
  cl.Footer(Footer());
  cl.Positional("DIR", "the device folder", &a->dir);
  for (size_t i = 0; i < kinds.size(); ++i) {
    if (kinds[i].repeats)
      cl.Repeated(kinds[i].option, kinds[i].syntax, OneLine(kinds[i].help), &a->repeated[i]);
    else
      cl.Value(kinds[i].option, kinds[i].syntax, OneLine(kinds[i].help), &a->single[i]);
  }
  cl.Flag("--clear", "remove every fault first (then add those given)", &a->clear);
  return [a] { return RunFault(*a); };
}

}  // namespace

extern const Command kFaultCommand = {"fault", Declare};

}  // namespace devsim
