// devsim fault: records faults in a device's nand.cfg; the chip model of
// every process on the device applies them.
#include <cstdio>
#include <sstream>
#include <sys/stat.h>

#include "tools/devsim/command.h"

namespace devsim {
namespace {

const char kHelp[] =
    "usage: devsim fault DIR [--read-flip SECTOR:BYTE:BIT[:COUNT]]... [--stuck-bit SECTOR:BYTE:BIT:VALUE]...\n"
    "                        [--program-fail SECTOR[:BYTE:BIT]]... [--erase-fail BLOCK]...\n"
    "                        [--stuck-ready AFTER_OPS] [--power-loss AFTER_OPS] [--clear]\n"
    "\n"
    "Adds faults to DIR/nand.cfg for the chip model to apply; with no option it lists the\n"
    "faults in effect. BYTE counts within the raw page (0-511 data, 512-527 spare on the\n"
    "small-page chips), BIT is 0-7.\n"
    "\n"
    "  --read-flip S:B:b[:COUNT]   reading sector S returns byte B with bit b flipped, the\n"
    "                              next COUNT reads (default 0: every read); the flash keeps\n"
    "                              its content\n"
    "  --stuck-bit S:B:b:VALUE     that cell always reads VALUE (0 or 1)\n"
    "  --program-fail S[:B:b]      programming sector S leaves that bit (default: the whole\n"
    "                              page) at 1\n"
    "  --erase-fail BLOCK          erasing BLOCK leaves it as it was\n"
    "  --stuck-ready N             after N chip operations nothing signals ready any more\n"
    "  --power-loss N              after N chip operations the power goes; the image keeps\n"
    "                              what was done\n"
    "  --clear                     remove every fault first (then add those given)\n"
    "AFTER_OPS counts chip operations from the next program start on the device.\n";

const std::vector<OptionSpec> kOptions = {
    {"--read-flip", OptionKind::kRepeated}, {"--stuck-bit", OptionKind::kRepeated},
    {"--program-fail", OptionKind::kRepeated}, {"--erase-fail", OptionKind::kRepeated},
    {"--stuck-ready", OptionKind::kValue},  {"--power-loss", OptionKind::kValue},
    {"--clear", OptionKind::kFlag},
};

struct Limits {
  uint64_t sectors;
  uint32_t pageBytes;
  uint32_t blocks;

  void Sector(uint32_t s, const std::string& opt) const {
    if (s >= sectors)
      throw UsageError(opt + ": sector " + std::to_string(s) + " is beyond the chip's " + std::to_string(sectors));
  }
  void Cell(uint32_t byte, uint32_t bit, const std::string& opt) const {
    if (byte >= pageBytes)
      throw UsageError(opt + ": byte " + std::to_string(byte) + " is beyond the " + std::to_string(pageBytes) +
                       "-byte raw page");
    if (bit > 7) throw UsageError(opt + ": bit " + std::to_string(bit) + " is not 0-7");
  }
};

void AddFaults(const ParsedArgs& args, const Limits& lim, sim::NandConfig* cfg) {
  for (const std::string& v : args.All("--read-flip")) {
    auto f = ParseFields(v, 3, 4, "--read-flip", "SECTOR:BYTE:BIT[:COUNT]");
    lim.Sector(f[0], "--read-flip");
    lim.Cell(f[1], f[2], "--read-flip");
    sim::ReadFlipFault fault;
    fault.sector = f[0];
    fault.byte = f[1];
    fault.bit = f[2];
    fault.count = f.size() > 3 ? f[3] : 0;
    cfg->readFlips.push_back(fault);
  }
  for (const std::string& v : args.All("--stuck-bit")) {
    auto f = ParseFields(v, 4, 4, "--stuck-bit", "SECTOR:BYTE:BIT:VALUE");
    lim.Sector(f[0], "--stuck-bit");
    lim.Cell(f[1], f[2], "--stuck-bit");
    if (f[3] > 1) throw UsageError("--stuck-bit: VALUE " + std::to_string(f[3]) + " is not 0 or 1");
    sim::StuckBitFault fault;
    fault.sector = f[0];
    fault.byte = f[1];
    fault.bit = f[2];
    fault.value = f[3];
    cfg->stuckBits.push_back(fault);
  }
  for (const std::string& v : args.All("--program-fail")) {
    auto f = ParseFields(v, 1, 3, "--program-fail", "SECTOR or SECTOR:BYTE:BIT");
    if (f.size() == 2) throw UsageError("bad --program-fail '" + v + "': expected SECTOR or SECTOR:BYTE:BIT");
    lim.Sector(f[0], "--program-fail");
    sim::ProgramFailFault fault;
    fault.sector = f[0];
    if (f.size() == 3) {
      lim.Cell(f[1], f[2], "--program-fail");
      fault.wholePage = false;
      fault.byte = f[1];
      fault.bit = f[2];
    }
    cfg->programFails.push_back(fault);
  }
  for (const std::string& v : args.All("--erase-fail")) {
    uint32_t block = ParseU32(v, "--erase-fail block");
    if (block >= lim.blocks)
      throw UsageError("--erase-fail: block " + std::to_string(block) + " is beyond the chip's " +
                       std::to_string(lim.blocks));
    cfg->eraseFails.push_back(block);
  }
  if (auto v = args.Get("--stuck-ready")) cfg->stuckReadyAfter = int64_t(ParseU32(*v, "--stuck-ready count"));
  if (auto v = args.Get("--power-loss")) cfg->powerLossAfter = int64_t(ParseU32(*v, "--power-loss count"));
}

int RunFault(const std::vector<std::string>& argv) {
  ParsedArgs args(argv, kOptions);
  args.ExpectPositional({"DIR"});
  const std::string dir = args.Positional()[0];
  struct stat st;
  if (stat(dir.c_str(), &st) != 0 || !S_ISDIR(st.st_mode))
    throw InputError(dir + " is not a device folder");
  const std::string path = dir + "/nand.cfg";
  if (stat(path.c_str(), &st) != 0) throw InputError(dir + " is not a device folder: it has no nand.cfg");
  sim::NandConfig cfg;
  std::string err;
  if (!sim::LoadNandConfig(path, &cfg, &err)) throw InputError(err.empty() ? "cannot read " + path : err);
  sim::ChipShape shape = sim::ChipShapeFor(cfg.maker, cfg.device);
  Limits lim{shape.Pages(), uint32_t(shape.RawPageBytes()), shape.blocks};

  const bool changes = argv.size() > 1;
  if (args.Has("--clear")) cfg.ClearFaults();
  AddFaults(args, lim, &cfg);
  if (changes && !sim::SaveNandConfig(path, cfg, &err)) throw InputError(err.empty() ? "cannot write " + path : err);

  std::istringstream in(sim::FormatNandConfig(cfg));
  std::string line, listed;
  while (std::getline(in, line))
    if (line.rfind("fault.", 0) == 0) listed += "  " + line + "\n";
  std::printf("faults of %s%s\n%s", dir.c_str(), listed.empty() ? ": none" : ":", listed.c_str());
  return kExitOk;
}

}  // namespace

extern const Command kFaultCommand = {"fault", "record faults in a device's nand.cfg (or list them)", kHelp, RunFault};

}  // namespace devsim
