// devsim fault: records faults in a device's nand.cfg; the chip model of
// every process on the device applies them.
#include <cstdio>

#include "tools/devsim/command.h"

namespace devsim {
namespace {

const char kHelp[] =
    "usage: devsim fault DIR [--read-flip SECTOR:BYTE:BIT[:COUNT]]... [--stuck-bit SECTOR:BYTE:BIT:VALUE]...\n"
    "                        [--program-fail SECTOR[:BYTE:BIT]]... [--erase-fail BLOCK]...\n"
    "                        [--stuck-ready AFTER_OPS] [--power-loss AFTER_OPS] [--dma-hang N]\n"
    "                        [--drain-hang N] [--fifo-hang N] [--event-hang CMD:N] [--clear]\n"
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
    "  --dma-hang N                the DMA channel's Nth transfer never finishes (DMA_STAT\n"
    "                              stays busy, no EV_DMA_DONE)\n"
    "  --drain-hang N              the Nth DMA drain never completes (DMA_DRAIN reads 1)\n"
    "  --fifo-hang N               the Nth FIFO transfer never completes (a write never\n"
    "                              empties, a read never fills)\n"
    "  --event-hang CMD:N          the event of the Nth operation with command CMD never\n"
    "                              comes: 0x00, 0x80 EV_DMA_DONE; 0x50, 0x90 EV_FIFO_DONE;\n"
    "                              0x10, 0xD0, 0xFF EV_READY\n"
    "  --clear                     remove every fault first (then add those given)\n"
    "AFTER_OPS counts chip operations from the next program start on the device; the N of a\n"
    "hang counts its own kind of operation (DMA transfers, drains, FIFO transfers, operations\n"
    "with CMD) from 0 there. --stuck-ready, --power-loss and each hang are one of a kind: a\n"
    "new one replaces the old. The device model holds at most 64 faults of each kind; more\n"
    "are refused (exit 2).\n";

struct FaultArgs {
  std::vector<std::string> positional;
  std::vector<std::string> readFlips, stuckBits, programFails, eraseFails;
  std::optional<std::string> stuckReady, powerLoss;
  std::optional<std::string> dmaHang, drainHang, fifoHang, eventHang;
  bool clear = false;
  bool Changes() const {
    return clear || !readFlips.empty() || !stuckBits.empty() || !programFails.empty() || !eraseFails.empty() ||
           stuckReady || powerLoss || dmaHang || drainHang || fifoHang || eventHang;
  }
};

// The options as faults, in the fields nand.cfg keeps them in; where they lie
// on the chip is checked when they are added.
sim::NandConfig FaultsFrom(const FaultArgs& a) {
  sim::NandConfig add;
  for (const std::string& v : a.readFlips) {
    auto f = ParseFields(v, 3, 4, "--read-flip", "SECTOR:BYTE:BIT[:COUNT]");
    sim::ReadFlipFault fault;
    fault.sector = f[0];
    fault.byte = f[1];
    fault.bit = f[2];
    fault.count = f.size() > 3 ? f[3] : 0;
    add.readFlips.push_back(fault);
  }
  for (const std::string& v : a.stuckBits) {
    auto f = ParseFields(v, 4, 4, "--stuck-bit", "SECTOR:BYTE:BIT:VALUE");
    sim::StuckBitFault fault;
    fault.sector = f[0];
    fault.byte = f[1];
    fault.bit = f[2];
    fault.value = f[3];
    add.stuckBits.push_back(fault);
  }
  for (const std::string& v : a.programFails) {
    auto f = ParseFields(v, 1, 3, "--program-fail", "SECTOR or SECTOR:BYTE:BIT");
    if (f.size() == 2) throw UsageError("bad --program-fail '" + v + "': expected SECTOR or SECTOR:BYTE:BIT");
    sim::ProgramFailFault fault;
    fault.sector = f[0];
    if (f.size() == 3) {
      fault.wholePage = false;
      fault.byte = f[1];
      fault.bit = f[2];
    }
    add.programFails.push_back(fault);
  }
  for (const std::string& v : a.eraseFails) add.eraseFails.push_back(ParseU32(v, "--erase-fail block"));
  if (a.stuckReady) add.stuckReadyAfter = int64_t(ParseU32(*a.stuckReady, "--stuck-ready count"));
  if (a.powerLoss) add.powerLossAfter = int64_t(ParseU32(*a.powerLoss, "--power-loss count"));
  if (a.dmaHang) add.dmaHang = int64_t(ParseU32(*a.dmaHang, "--dma-hang count"));
  if (a.drainHang) add.drainHang = int64_t(ParseU32(*a.drainHang, "--drain-hang count"));
  if (a.fifoHang) add.fifoHang = int64_t(ParseU32(*a.fifoHang, "--fifo-hang count"));
  if (a.eventHang) {
    auto f = ParseFields(*a.eventHang, 2, 2, "--event-hang", "CMD:N");
    add.eventHangCommand = f[0];
    add.eventHangNth = int64_t(f[1]);
  }
  return add;
}

int RunFault(const std::vector<std::string>& argv) {
  FaultArgs a;
  CommandLine cl;
  cl.Positionals({"DIR"}, &a.positional);
  cl.Repeated("--read-flip", &a.readFlips);
  cl.Repeated("--stuck-bit", &a.stuckBits);
  cl.Repeated("--program-fail", &a.programFails);
  cl.Repeated("--erase-fail", &a.eraseFails);
  cl.Value("--stuck-ready", &a.stuckReady);
  cl.Value("--power-loss", &a.powerLoss);
  cl.Value("--dma-hang", &a.dmaHang);
  cl.Value("--drain-hang", &a.drainHang);
  cl.Value("--fifo-hang", &a.fifoHang);
  cl.Value("--event-hang", &a.eventHang);
  cl.Flag("--clear", &a.clear);
  cl.Parse(argv);
  const std::string& dir = a.positional[0];
  sim::NandConfig cfg = ReadDeviceConfig(dir);
  if (a.clear) cfg.ClearFaults();
  AddFaults(FaultsFrom(a), kFaultOptionNames, &cfg);
  if (a.Changes()) WriteDeviceConfig(dir, cfg);

  std::string listed;
  for (const std::string& line : FaultLines(cfg)) listed += "  " + line + "\n";
  std::printf("faults of %s%s\n%s", dir.c_str(), listed.empty() ? ": none" : ":", listed.c_str());
  return kExitOk;
}

}  // namespace

extern const Command kFaultCommand = {"fault", "record faults in a device's nand.cfg (or list them)", kHelp, RunFault};

}  // namespace devsim
