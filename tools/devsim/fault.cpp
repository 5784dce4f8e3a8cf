// devsim fault: records faults in a device's nand.cfg; the chip model of
// every process on the device applies them.
#include <cstdio>

#include "sim/fault_kinds.h"
#include "sim/soc_state.h"
#include "tools/devsim/command.h"

namespace devsim {
namespace {

// The help is made from the fault kinds' rows (sim/fault_kinds.h): their
// options, value forms and help lines.
std::string MakeHelp() {
  const auto& kinds = sim::FaultKinds();
  std::string usage = "usage: devsim fault DIR";
  const std::string indent(24, ' ');
  auto word = [&](const std::string& w) {
    if (usage.size() - usage.rfind('\n') + w.size() > 100) usage += "\n" + indent;
    usage += " " + w;
  };
  for (const sim::FaultKind& k : kinds) word(std::string("[") + k.option + " " + k.syntax + "]" + (k.repeats ? "..." : ""));
  word("[--clear]");
  std::string options;
  for (const sim::FaultKind& k : kinds) {
    std::string head = std::string("  ") + k.option + " " + k.syntax;
    std::string help = k.help;
    size_t start = 0;
    for (bool first = true;; first = false) {
      size_t nl = help.find('\n', start);
      std::string part = help.substr(start, nl == std::string::npos ? std::string::npos : nl - start);
      std::string lead = first ? head : "";
      if (lead.size() >= 30) {
        options += lead + "\n";
        lead.clear();
      }
      options += lead + std::string(30 - lead.size(), ' ') + part + "\n";
      if (nl == std::string::npos) break;
      start = nl + 1;
    }
  }
  return usage +
         "\n\n"
         "Adds faults to DIR/nand.cfg for the chip model to apply; with no option it lists the\n"
         "faults in effect. BYTE counts within the raw page (0-511 data, 512-527 spare on the\n"
         "small-page chips), BIT is 0-7.\n"
         "\n" +
         options +
         "  --clear                     remove every fault first (then add those given)\n"
         "N counts from the next program start on the device: chip operations for --stuck-ready\n"
         "and --power-loss, its own kind of operation (DMA transfers, drains, FIFO transfers,\n"
         "operations with CMD) for a hang. The options without ... are one of a kind: a new one\n"
         "replaces the old. The device model holds at most " +
         std::to_string(sim::kMaxFaultsPerKind) + " faults of each kind;\nmore are refused (exit 2).\n";
}

const std::string& Help() {
  static const std::string help = MakeHelp();
  return help;
}

int RunFault(const std::vector<std::string>& argv) {
  const auto& kinds = sim::FaultKinds();
  std::vector<std::string> positional;
  std::vector<std::vector<std::string>> repeated(kinds.size());
  std::vector<std::optional<std::string>> single(kinds.size());
  bool clear = false;
  CommandLine cl;
  cl.Positionals({"DIR"}, &positional);
  for (size_t i = 0; i < kinds.size(); ++i) {
    if (kinds[i].repeats)
      cl.Repeated(kinds[i].option, &repeated[i]);
    else
      cl.Value(kinds[i].option, &single[i]);
  }
  cl.Flag("--clear", &clear);
  cl.Parse(argv);

  // The options as faults, in the fields nand.cfg keeps them in; where they
  // lie on the chip is checked when they are added.
  sim::NandConfig add;
  bool changes = clear;
  for (size_t i = 0; i < kinds.size(); ++i) {
    std::vector<std::string> values = repeated[i];
    if (single[i]) values.push_back(*single[i]);
    for (const std::string& v : values) {
      sim::FaultFields fields;
      std::string error;
      if (!sim::ParseFaultFields(kinds[i], v, kinds[i].option, &fields, &error)) throw UsageError(error);
      kinds[i].put(&add, fields);
      changes = true;
    }
  }
  const std::string& dir = positional[0];
  sim::NandConfig cfg = ReadDeviceConfig(dir);
  if (clear) cfg.ClearFaults();
  AddFaults(add, FaultNaming::kOptions, &cfg);
  if (changes) WriteDeviceConfig(dir, cfg);

  std::string listed;
  for (const std::string& line : FaultLines(cfg)) listed += "  " + line + "\n";
  std::printf("faults of %s%s\n%s", dir.c_str(), listed.empty() ? ": none" : ":", listed.c_str());
  return kExitOk;
}

}  // namespace

extern const Command kFaultCommand = {"fault", "record faults in a device's nand.cfg (or list them)", Help().c_str(),
                                     RunFault};

}  // namespace devsim
