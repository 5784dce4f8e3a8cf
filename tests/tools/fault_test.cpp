// devsim fault: the faults land in nand.cfg as the chip model reads them
// back, nothing else in the file is lost, and a bad fault changes nothing.
#include <gtest/gtest.h>

#include <algorithm>

#include "sim/nand_cfg.h"
#include "tests/tools/tool_test_support.h"

namespace tooltest {
namespace {

std::vector<std::string> Concat(std::vector<std::string> a, const std::vector<std::string>& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

struct FaultDevice {
  TempDir t;
  std::string dir = t / "dev";
  FaultDevice() {
    ToolRun r = Devsim({"create", dir, "--chip", "ec:73", "--bad-blocks", "12"});
    EXPECT_EQ(0, r.exit) << r.All();
  }
  ToolRun Fault(const std::vector<std::string>& options) const {
    std::vector<std::string> args = {"fault", dir};
    args.insert(args.end(), options.begin(), options.end());
    return Devsim(args);
  }
  sim::NandConfig Cfg() const {
    sim::NandConfig cfg;
    std::string err;
    EXPECT_TRUE(sim::ParseNandConfig(ReadText(dir + "/nand.cfg"), "nand.cfg", &cfg, &err)) << err;
    return cfg;
  }
};

TEST(DevsimFault, RecordsEachKindOfFaultForTheModel) {
  FaultDevice d;
  ToolRun r = d.Fault({"--read-flip", "64:17:3", "--read-flip=0x41:527:7:2", "--stuck-bit", "70:0:0:1",
                       "--program-fail", "65", "--program-fail", "66:512:5", "--erase-fail", "3", "--erase-fail",
                       "1023", "--stuck-ready", "40", "--power-loss", "0", "--partial-erase", "3:31:527:0",
                       "--read-disturb", "64:0:2:3"});
  ASSERT_EQ(0, r.exit) << r.All();
  sim::NandConfig cfg = d.Cfg();
  EXPECT_NE(std::string::npos, r.out.find("  fault.partial_erase = 3:31:527:0\n  fault.read_disturb = 64:0:2:3\n"))
      << r.out;
  EXPECT_EQ((std::vector<std::vector<uint64_t>>{{3, 31, 527, 0}}), cfg.moreFaults["fault.partial_erase"]);
  EXPECT_EQ((std::vector<std::vector<uint64_t>>{{64, 0, 2, 3}}), cfg.moreFaults["fault.read_disturb"]);

  ASSERT_EQ(2u, cfg.readFlips.size());
  EXPECT_EQ(64u, cfg.readFlips[0].sector);
  EXPECT_EQ(17u, cfg.readFlips[0].byte);
  EXPECT_EQ(3u, cfg.readFlips[0].bit);
  EXPECT_EQ(0u, cfg.readFlips[0].count) << "every read by default";
  EXPECT_EQ(65u, cfg.readFlips[1].sector);
  EXPECT_EQ(527u, cfg.readFlips[1].byte);
  EXPECT_EQ(7u, cfg.readFlips[1].bit);
  EXPECT_EQ(2u, cfg.readFlips[1].count);

  ASSERT_EQ(1u, cfg.stuckBits.size());
  EXPECT_EQ(70u, cfg.stuckBits[0].sector);
  EXPECT_EQ(1u, cfg.stuckBits[0].value);

  ASSERT_EQ(2u, cfg.programFails.size());
  EXPECT_EQ(65u, cfg.programFails[0].sector);
  EXPECT_TRUE(cfg.programFails[0].wholePage);
  EXPECT_EQ(66u, cfg.programFails[1].sector);
  EXPECT_FALSE(cfg.programFails[1].wholePage);
  EXPECT_EQ(512u, cfg.programFails[1].byte);
  EXPECT_EQ(5u, cfg.programFails[1].bit);

  EXPECT_EQ((std::vector<uint32_t>{3, 1023}), cfg.eraseFails);
  EXPECT_EQ(40, cfg.stuckReadyAfter);
  EXPECT_EQ(0, cfg.powerLossAfter);
  // The chip stays what it was.
  EXPECT_EQ(0xECu, cfg.maker);
  EXPECT_EQ(0x73u, cfg.device);
  EXPECT_EQ(std::vector<uint32_t>{12}, cfg.badBlocks);

  ToolRun list = d.Fault({});
  ASSERT_EQ(0, list.exit) << list.All();
  EXPECT_NE(std::string::npos, list.out.find("fault.erase_fail")) << list.out;
}

TEST(DevsimFault, AddsToEarlierFaultsUntilCleared) {
  FaultDevice d;
  ASSERT_EQ(0, d.Fault({"--read-flip", "64:1:1", "--power-loss", "9"}).exit);
  ASSERT_EQ(0, d.Fault({"--read-flip", "65:2:2"}).exit);
  EXPECT_EQ(2u, d.Cfg().readFlips.size());
  EXPECT_EQ(9, d.Cfg().powerLossAfter);

  ASSERT_EQ(0, d.Fault({"--clear", "--erase-fail", "5"}).exit);
  sim::NandConfig cfg = d.Cfg();
  EXPECT_TRUE(cfg.readFlips.empty());
  EXPECT_EQ(-1, cfg.powerLossAfter);
  EXPECT_EQ(std::vector<uint32_t>{5}, cfg.eraseFails);

  ToolRun cleared = d.Fault({"--clear"});
  ASSERT_EQ(0, cleared.exit);
  EXPECT_FALSE(d.Cfg().HasFaults());
  EXPECT_NE(std::string::npos, cleared.out.find(": none")) << cleared.out;
  EXPECT_EQ(std::vector<uint32_t>{12}, d.Cfg().badBlocks) << "--clear removes faults only";
}

// A hang of one operation is one of its kind: the option writes its nand.cfg
// key, fault and inspect list it, the next one given replaces it, --clear
// removes it.
TEST(DevsimFault, EachHangIsOneOfItsKindUntilCleared) {
  const struct {
    const char* option;
    const char* first;
    std::vector<int64_t> firstFields;
    const char* firstLine;
    const char* second;
    std::vector<int64_t> secondFields;
    const char* secondLine;
    std::vector<int64_t> (*fields)(const sim::NandConfig&);
  } kinds[] = {
      {"--dma-hang", "0", {0}, "fault.dma_hang = 0", "0x11", {17}, "fault.dma_hang = 17",
       [](const sim::NandConfig& c) { return std::vector<int64_t>{c.dmaHang}; }},
      {"--drain-hang", "5", {5}, "fault.drain_hang = 5", "4294967295", {4294967295}, "fault.drain_hang = 4294967295",
       [](const sim::NandConfig& c) { return std::vector<int64_t>{c.drainHang}; }},
      {"--fifo-hang", "3", {3}, "fault.fifo_hang = 3", "0", {0}, "fault.fifo_hang = 0",
       [](const sim::NandConfig& c) { return std::vector<int64_t>{c.fifoHang}; }},
      {"--event-hang", "0xD0:1", {0xD0, 1}, "fault.event_hang = 0xd0:1", "16:0x2f", {0x10, 47},
       "fault.event_hang = 0x10:47",
       [](const sim::NandConfig& c) { return std::vector<int64_t>{c.eventHangCommand, c.eventHangNth}; }},
  };
  for (const auto& k : kinds) {
    SCOPED_TRACE(k.option);
    FaultDevice d;
    const std::string header = "faults of " + d.dir + ":\n";
    auto listing = [&](const char* line) { return header + "  " + line + "\n"; };

    ToolRun set = d.Fault({k.option, k.first});
    ASSERT_EQ(0, set.exit) << set.All();
    EXPECT_EQ(listing(k.firstLine), set.out);
    EXPECT_EQ(k.firstFields, k.fields(d.Cfg()));
    ToolRun list = d.Fault({});
    EXPECT_EQ(listing(k.firstLine), list.out) << list.All();
    ToolRun inspect = Devsim({"inspect", d.dir});
    EXPECT_EQ(0, inspect.exit) << inspect.All();
    EXPECT_NE(std::string::npos, inspect.out.find("faults: \n  " + std::string(k.firstLine) + "\n")) << inspect.out;

    ToolRun replaced = d.Fault({k.option, k.second});
    ASSERT_EQ(0, replaced.exit) << replaced.All();
    EXPECT_EQ(listing(k.secondLine), replaced.out);
    EXPECT_EQ(k.secondFields, k.fields(d.Cfg()));

    ToolRun cleared = d.Fault({"--clear"});
    ASSERT_EQ(0, cleared.exit) << cleared.All();
    EXPECT_EQ("faults of " + d.dir + ": none\n", cleared.out);
    EXPECT_FALSE(d.Cfg().HasFaults());
  }
}

TEST(DevsimFault, KeepsSettingsItDoesNotTouch) {
  FaultDevice d;
  WriteBytes(d.dir + "/nand.cfg", Bytes());
  const std::string text = "maker = 0xec\ndevice = 0x73\nsysdrv.rate = 3\ncamera.active = 1\nlater.knob = 42\n";
  WriteBytes(d.dir + "/nand.cfg", Bytes(text.begin(), text.end()));
  ASSERT_EQ(0, d.Fault({"--erase-fail", "4"}).exit);
  sim::NandConfig cfg = d.Cfg();
  EXPECT_EQ(3u, cfg.sysdrvRate);
  EXPECT_TRUE(cfg.cameraActive);
  bool kept = false;
  for (const auto& kv : cfg.unknown) kept = kept || (kv.first == "later.knob" && kv.second == "42");
  EXPECT_TRUE(kept) << ReadText(d.dir + "/nand.cfg");
}

// A typo'd key in nand.cfg is never kept as a fault that is not applied:
// every command that reads the file says which line and which key was meant,
// exits 2 and leaves the file as it was.
TEST(DevsimFault, ATypoInNandCfgIsAnErrorNamingTheKeyMeant) {
  FaultDevice d;
  const std::string text = ReadText(d.dir + "/nand.cfg") + "fault.read_flp = 32:0:0\n";
  WriteBytes(d.dir + "/nand.cfg", Bytes(text.begin(), text.end()));
  const size_t line = size_t(std::count(text.begin(), text.end(), '\n'));
  for (const std::vector<std::string>& args :
       {std::vector<std::string>{"fault", d.dir, "--erase-fail", "3"}, std::vector<std::string>{"fault", d.dir},
        std::vector<std::string>{"inspect", d.dir}}) {
    SCOPED_TRACE(testing::PrintToString(args));
    ToolRun r = Devsim(args);
    EXPECT_EQ(2, r.exit) << r.All();
    EXPECT_NE(std::string::npos, r.err.find("nand.cfg:" + std::to_string(line) +
                                            ": unknown key \"fault.read_flp\" (nearest: fault.read_flip)"))
        << r.All();
    EXPECT_EQ(text, ReadText(d.dir + "/nand.cfg"));
  }
}

TEST(DevsimFault, BadFaultsChangeNothing) {
  FaultDevice d;
  ASSERT_EQ(0, d.Fault({"--erase-fail", "4", "--dma-hang", "2"}).exit);
  const std::string before = ReadText(d.dir + "/nand.cfg");
  struct Case {
    std::vector<std::string> options;
    const char* message;
  } cases[] = {
      {{"--read-flip", "32768:0:0"}, "sector 32768 is beyond the chip's 32768"},
      {{"--read-flip", "64:528:0"}, "byte 528 is beyond the 528-byte raw page"},
      {{"--read-flip", "64:0:8"}, "bit 8 is not 0-7"},
      {{"--read-flip", "64:0"}, "expected SECTOR:BYTE:BIT[:COUNT]"},
      {{"--read-flip", "64:x:1"}, "bad --read-flip field 'x'"},
      {{"--stuck-bit", "64:0:0:2"}, "--stuck-bit: value 2 is not 0 or 1"},
      {{"--program-fail", "64:3"}, "bad --program-fail '64:3': expected SECTOR[:BYTE:BIT]"},
      {{"--erase-fail", "1024"}, "block 1024 is beyond the chip's 1024"},
      {{"--power-loss", "-1"}, "bad --power-loss count '-1'"},
      {{"--dma-hang", "x"}, "bad --dma-hang count 'x'"},
      {{"--drain-hang", "-1"}, "bad --drain-hang count '-1'"},
      {{"--fifo-hang", "0x8000000000000000"}, "--fifo-hang: count 9223372036854775808 is too large"},
      {{"--partial-erase", "1024:0:0:0"}, "--partial-erase: block 1024 is beyond the chip's 1024"},
      {{"--partial-erase", "4:32:0:0"}, "--partial-erase: page 32 is beyond the block's 32 pages"},
      {{"--partial-erase", "4:0:0"}, "bad --partial-erase '4:0:0': expected BLOCK:PAGE:BYTE:BIT"},
      {{"--read-disturb", "64:0:8:1"}, "--read-disturb: bit 8 is not 0-7"},
      {{"--read-flp", "64:0:1"}, "unknown option --read-flp (nearest: --read-flip)"},
      {{"--event-hang", "0x10"}, "bad --event-hang '0x10': expected CMD:N"},
      {{"--event-hang", "0x10:1:2"}, "bad --event-hang '0x10:1:2': expected CMD:N"},
      {{"--event-hang", "0xd0:y"}, "bad --event-hang field 'y'"},
      {{"--event-hang", "0x11:0"},
       "--event-hang: command 0x11 ends its operations with no event; those that do: 0x00 0x10 0x50 0x80 0x90 0xd0 "
       "0xff"},
      {{"--event-hang", "0x1d0:0"}, "--event-hang: command 0x1d0 ends its operations with no event"},
      // One bad fault among good ones: none of them is recorded.
      {{"--erase-fail", "7", "--stuck-ready", "x"}, "bad --stuck-ready count 'x'"},
      {{"--dma-hang", "3", "--event-hang", "0x12:0"}, "command 0x12"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::PrintToString(c.options));
    ToolRun r = d.Fault(c.options);
    EXPECT_EQ(2, r.exit) << r.All();
    EXPECT_NE(std::string::npos, r.err.find(c.message)) << r.All();
    EXPECT_EQ(before, ReadText(d.dir + "/nand.cfg"));
  }
  ToolRun notDevice = Devsim({"fault", d.t.Path(), "--erase-fail", "1"});
  EXPECT_EQ(2, notDevice.exit);
  EXPECT_NE(std::string::npos, notDevice.err.find("it has no nand.cfg")) << notDevice.All();
}

// The device model keeps at most 64 faults of each kind; a fault beyond that
// would sit in nand.cfg and never be applied, so it is refused as it is added
// and the file stays as it was.
TEST(DevsimFault, RefusesMoreFaultsOfAKindThanTheModelHolds) {
  const struct {
    const char* option;
    std::string (*value)(uint32_t i);
    size_t (*count)(const sim::NandConfig&);
  } kinds[] = {
      {"--read-flip", [](uint32_t i) { return std::to_string(64 + i) + ":1:1"; },
       [](const sim::NandConfig& c) { return c.readFlips.size(); }},
      {"--stuck-bit", [](uint32_t i) { return std::to_string(64 + i) + ":1:1:0"; },
       [](const sim::NandConfig& c) { return c.stuckBits.size(); }},
      {"--program-fail", [](uint32_t i) { return std::to_string(64 + i); },
       [](const sim::NandConfig& c) { return c.programFails.size(); }},
      {"--erase-fail", [](uint32_t i) { return std::to_string(100 + i); },
       [](const sim::NandConfig& c) { return c.eraseFails.size(); }},
  };
  for (const auto& k : kinds) {
    SCOPED_TRACE(k.option);
    FaultDevice d;
    auto options = [&](uint32_t first, uint32_t n) {
      std::vector<std::string> o;
      for (uint32_t i = first; i < first + n; ++i) o.insert(o.end(), {k.option, k.value(i)});
      return o;
    };
    // 70 at once: none recorded.
    ToolRun many = d.Fault(options(0, 70));
    EXPECT_EQ(2, many.exit) << many.All();
    EXPECT_NE(std::string::npos,
              many.err.find(std::string(k.option) + ": 70 faults of this kind (0 already in nand.cfg, 70 added); "
                                                    "the device model holds at most 64"))
        << many.All();
    EXPECT_EQ(0u, k.count(d.Cfg()));

    // 64 fit, over two calls; the 65th is refused and changes nothing.
    ASSERT_EQ(0, d.Fault(options(0, 60)).exit);
    ASSERT_EQ(0, d.Fault(options(60, 4)).exit);
    EXPECT_EQ(64u, k.count(d.Cfg()));
    const std::string before = ReadText(d.dir + "/nand.cfg");
    ToolRun one = d.Fault(options(64, 1));
    EXPECT_EQ(2, one.exit) << one.All();
    EXPECT_NE(std::string::npos, one.err.find("(64 already in nand.cfg, 1 added)")) << one.All();
    EXPECT_EQ(before, ReadText(d.dir + "/nand.cfg"));
    // Room comes back with --clear.
    ToolRun cleared = d.Fault(Concat({"--clear"}, options(64, 64)));
    EXPECT_EQ(0, cleared.exit) << cleared.All();
    EXPECT_EQ(64u, k.count(d.Cfg()));
  }
}

}  // namespace
}  // namespace tooltest
