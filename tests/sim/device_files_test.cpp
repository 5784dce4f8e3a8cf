// The files of a device as the host tool and the Wine processes share them:
// nand.cfg text, the erased image with its bad-block marks, and the record
// part of soc.state read and reset with plain file I/O.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "sim/device_files.h"
#include "sim/device_record.h"
#include "sim/faults.h"
#include "sim/nand_cfg.h"
#include "sim/soc_model.h"
#include "sim/soc_state.h"

namespace {

namespace fs = std::filesystem;

std::string TempDir() {
  char tmpl[] = "/tmp/sim-files-XXXXXX";
  const char* d = mkdtemp(tmpl);
  return d ? d : "";
}

struct TempTree {
  std::string dir = TempDir();
  ~TempTree() {
    std::error_code ec;
    fs::remove_all(dir, ec);
  }
};

std::string Slurp(const std::string& path) {
  std::ifstream f(path, std::ios::binary);
  std::stringstream ss;
  ss << f.rdbuf();
  return ss.str();
}

// A nand.cfg with every key, in the order the tool writes them back.
const char kEveryKey[] =
    "maker = 0xad\n"
    "device = 0x79\n"
    "timing.page_read_ns = 15000\n"
    "timing.program_ns = 250000\n"
    "timing.erase_ns = 3000000\n"
    "timing.byte_ns = 40\n"
    "partial.main = 2\n"
    "partial.spare = 4\n"
    "bad_blocks = 5,77\n"
    "fault.read_flip = 64:100:3:2\n"
    "fault.read_flip = 65:520:0:0\n"
    "fault.stuck_bit = 70:1:7:0\n"
    "fault.program_fail = 80\n"
    "fault.program_fail = 81:12:4\n"
    "fault.erase_fail = 9\n"
    "fault.partial_erase = 9:31:527:7\n"
    "fault.read_disturb = 66:3:1:2\n"
    "fault.stuck_ready_after = 1000\n"
    "fault.power_loss_after = 37\n"
    "fault.dma_hang = 4\n"
    "fault.drain_hang = 0\n"
    "fault.fifo_hang = 12\n"
    "fault.event_hang = 0xd0:1\n"
    "sysdrv.rate = 3\n"
    "sysdrv.region = 100:50\n"
    "camera.active = 1\n"
    "extboard.wp_user = 1\n"
    "later.key = some value\n";

// The chip's identity, timings, partial-program limits and bad blocks.
void ExpectChipRead(const sim::NandConfig& cfg) {
  EXPECT_EQ(0xADu, cfg.maker);
  EXPECT_EQ(0x79u, cfg.device);
  EXPECT_EQ(15000u, cfg.pageReadNs);
  EXPECT_EQ(40u, cfg.byteNs);
  EXPECT_EQ(4u, cfg.partialSpare);
  ASSERT_EQ(2u, cfg.badBlocks.size());
  EXPECT_EQ(77u, cfg.badBlocks[1]);
}

// The typed fault lists and the one-of-a-kind counts.
void ExpectFaultsRead(const sim::NandConfig& cfg) {
  ASSERT_EQ(2u, cfg.readFlips.size());
  EXPECT_EQ(520u, cfg.readFlips[1].byte);
  EXPECT_EQ(2u, cfg.readFlips[0].count);
  ASSERT_EQ(2u, cfg.programFails.size());
  EXPECT_TRUE(cfg.programFails[0].wholePage);
  EXPECT_FALSE(cfg.programFails[1].wholePage);
  EXPECT_EQ(4u, cfg.programFails[1].bit);
  EXPECT_EQ(1000, cfg.stuckReadyAfter);
  EXPECT_EQ(37, cfg.powerLossAfter);
  EXPECT_EQ(4, cfg.dmaHang);
  EXPECT_EQ(0, cfg.drainHang);
  EXPECT_EQ(12, cfg.fifoHang);
  EXPECT_EQ(0xD0u, cfg.eventHangCommand);
  EXPECT_EQ(1, cfg.eventHangNth);
}

// The kinds kept by key reach the record as their fields say.
void ExpectKeyedFaultsLoaded(const sim::NandConfig& cfg) {
  sim::FaultRec rec;
  ASSERT_TRUE(sim::LoadSettings(rec, cfg, 0));
  ASSERT_EQ(1u, rec.partialEraseCount);
  EXPECT_EQ(9u, rec.partialErases[0].block);
  EXPECT_EQ(31u, rec.partialErases[0].page);
  EXPECT_EQ(527u, rec.partialErases[0].byte);
  ASSERT_EQ(1u, rec.readDisturbCount);
  EXPECT_EQ(66u, rec.readDisturbs[0].sector);
  EXPECT_EQ(1u, rec.readDisturbs[0].bit);
  EXPECT_EQ(2u, rec.readDisturbs[0].reads);
}

// Clearing the faults leaves the chip's own bad blocks.
void ExpectFaultsCleared(sim::NandConfig* cfg) {
  cfg->ClearFaults();
  EXPECT_FALSE(cfg->HasFaults());
  EXPECT_EQ(-1, cfg->dmaHang);
  EXPECT_EQ(-1, cfg->eventHangNth);
  EXPECT_EQ(2u, cfg->badBlocks.size()) << "bad blocks are the chip's, not a fault";
}

// Each hang alone is a fault.
void ExpectEachHangAloneIsAFault() {
  std::string err;
  for (const char* hang :
       {"fault.dma_hang = 0\n", "fault.drain_hang = 0\n", "fault.fifo_hang = 0\n", "fault.event_hang = 0x00:0\n"}) {
    SCOPED_TRACE(hang);
    sim::NandConfig one;
    ASSERT_TRUE(sim::ParseNandConfig(hang, "nand.cfg", &one, &err)) << err;
    EXPECT_TRUE(one.HasFaults());
  }
}

TEST(NandCfg, EveryKeyRoundTrips) {
  const std::string text = kEveryKey;
  sim::NandConfig cfg;
  std::string err;
  ASSERT_TRUE(sim::ParseNandConfig(text, "nand.cfg", &cfg, &err)) << err;
  ASSERT_NO_FATAL_FAILURE(ExpectChipRead(cfg));
  ASSERT_NO_FATAL_FAILURE(ExpectFaultsRead(cfg));
  EXPECT_EQ(100, cfg.sysdrvFirstBlock);
  EXPECT_TRUE(cfg.cameraActive && cfg.extboardWpUser);
  ASSERT_NO_FATAL_FAILURE(ExpectKeyedFaultsLoaded(cfg));
  ASSERT_EQ(1u, cfg.unknown.size());
  EXPECT_EQ("some value", cfg.unknown[0].second);
  EXPECT_TRUE(cfg.HasFaults());
  EXPECT_EQ(text, sim::FormatNandConfig(cfg)) << "written back as read";
  ExpectFaultsCleared(&cfg);
  ExpectEachHangAloneIsAFault();
}

// Found by nand_cfg_fuzz: a reserved key's value was written as it stands, so
// a value with " #" in it read back cut at the comment (and one with blanks
// around it, quotes at both ends or a line feed read back otherwise too).
TEST(NandCfg, AReservedKeysValueIsWrittenSoThatItReadsBack) {
  sim::NandConfig cfg;
  std::string err;
  ASSERT_TRUE(sim::ParseNandConfig("later.x = \"a #b\"\n", "nand.cfg", &cfg, &err)) << err;
  ASSERT_EQ(1u, cfg.unknown.size());
  EXPECT_EQ("a #b", cfg.unknown[0].second);
  const std::string written = sim::FormatNandConfig(cfg);
  EXPECT_NE(std::string::npos, written.find("later.x = \"a #b\"\n")) << written;
  sim::NandConfig back;
  ASSERT_TRUE(sim::ParseNandConfig(written, "nand.cfg", &back, &err)) << err;
  EXPECT_EQ(cfg.unknown, back.unknown);
  EXPECT_EQ(written, sim::FormatNandConfig(back));
}

TEST(NandCfg, CommentsBlanksAndDefaults) {
  sim::NandConfig cfg;
  std::string err;
  ASSERT_TRUE(sim::ParseNandConfig("# a device\n\n  maker = 0x98   # maker code\ndevice=115\n", "x", &cfg, &err)) << err;
  EXPECT_EQ(0x98u, cfg.maker);
  EXPECT_EQ(0x73u, cfg.device);
  EXPECT_EQ(12000u, cfg.pageReadNs);
  EXPECT_EQ(1u, cfg.partialMain);
  EXPECT_EQ(2u, cfg.partialSpare);
  EXPECT_EQ(-1, cfg.powerLossAfter);
  EXPECT_FALSE(cfg.HasFaults());
}

TEST(NandCfg, BadLinesNameTheLineAndTheKey) {
  struct Case {
    const char* text;
    const char* error;
  } cases[] = {
      {"maker = 0xec\nfault.erase_fail = x\n", "nand.cfg:2: bad value for fault.erase_fail"},
      {"maker = 0x1ec\n", "nand.cfg:1: bad value for maker"},
      {"fault.read_flip = 1:2\n", "nand.cfg:1: bad value for fault.read_flip"},
      {"fault.read_flip = 1:2:8\n", "nand.cfg:1: bad value for fault.read_flip"},
      {"fault.stuck_bit = 1:2:3:2\n", "nand.cfg:1: bad value for fault.stuck_bit"},
      {"fault.program_fail = 1:2\n", "nand.cfg:1: bad value for fault.program_fail"},
      {"fault.power_loss_after = -1\n", "nand.cfg:1: bad value for fault.power_loss_after"},
      {"fault.dma_hang = x\n", "nand.cfg:1: bad value for fault.dma_hang"},
      {"fault.fifo_hang = 5:1\n", "nand.cfg:1: bad value for fault.fifo_hang"},
      {"fault.event_hang = 0x10\n", "nand.cfg:1: bad value for fault.event_hang"},
      {"fault.event_hang = 0x11:0\n", "nand.cfg:1: bad value for fault.event_hang"},
      {"fault.event_hang = 0x110:0\n", "nand.cfg:1: bad value for fault.event_hang"},
      {"camera.active = 2\n", "nand.cfg:1: bad value for camera.active"},
      {"fault.partial_erase = 1:2:3:8\n", "nand.cfg:1: bad value for fault.partial_erase"},
      {"fault.read_disturb = 1:2:3\n", "nand.cfg:1: bad value for fault.read_disturb"},
      // A typo'd key would be kept and never applied: it is a mistake, named
      // with the key that was meant. Only the reserved prefix is kept.
      {"maker = 0xec\nfault.read_flp = 32:0:0\n", "nand.cfg:2: unknown key \"fault.read_flp\" (nearest: fault.read_flip)"},
      {"timing.erase = 5\n", "nand.cfg:1: unknown key \"timing.erase\" (nearest: timing.erase_ns)"},
      {"future.key = 1\n", "nand.cfg:1: unknown key \"future.key\" (nearest: maker)"},
      {"\n\njust words\n", "nand.cfg:3: expected key = value"},
      {"= 5\n", "nand.cfg:1: expected key = value"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    sim::NandConfig cfg;
    cfg.maker = 0x11;
    std::string err;
    EXPECT_FALSE(sim::ParseNandConfig(c.text, "nand.cfg", &cfg, &err));
    EXPECT_EQ(c.error, err);
    EXPECT_EQ(0x11u, cfg.maker) << "a failed parse leaves the config alone";
  }
}

TEST(NandCfg, NumbersAreDecimalOrHexTheWholeText) {
  sim::NandConfig cfg;
  std::string err;
  ASSERT_TRUE(sim::ParseNandConfig("sysdrv.rate = 010\nfault.erase_fail = 0x1F\nfault.read_flip = 8 : 9 : 1\n", "x",
                                   &cfg, &err))
      << err;
  EXPECT_EQ(10u, cfg.sysdrvRate) << "no octal";
  EXPECT_EQ(std::vector<uint32_t>{31}, cfg.eraseFails);
  EXPECT_EQ(9u, cfg.readFlips.at(0).byte) << "blanks around the fields are the line's, not the number's";
  for (const char* bad : {"0x", "0x0x5", "5 5", "+5", "1e3", "0x1g", "18446744073709551616", "4294967296"}) {
    SCOPED_TRACE(bad);
    EXPECT_FALSE(sim::ParseNandConfig(std::string("sysdrv.rate = ") + bad + "\n", "x", &cfg, &err));
    EXPECT_EQ("x:1: bad value for sysdrv.rate", err);
  }
}

// The shared record has room for kMaxFaultsPerKind faults of each kind; a
// nand.cfg with more would have the model drop some without a word, so it is
// refused as it is read.
TEST(NandCfg, MoreFaultsOfAKindThanTheModelHoldsAreRefused) {
  std::string text;
  for (uint32_t i = 0; i < sim::kMaxFaultsPerKind; ++i) {
    text += "fault.read_flip = " + std::to_string(i) + ":0:0\n";
    text += "fault.program_fail = " + std::to_string(i) + "\n";
  }
  sim::NandConfig cfg;
  std::string err;
  ASSERT_TRUE(sim::ParseNandConfig(text, "nand.cfg", &cfg, &err)) << err;
  EXPECT_EQ(size_t(sim::kMaxFaultsPerKind), cfg.readFlips.size());
  EXPECT_EQ(size_t(sim::kMaxFaultsPerKind), cfg.programFails.size());

  const struct {
    const char* line;
    const char* key;
  } kinds[] = {{"fault.read_flip = 99:1:1", "fault.read_flip"}, {"fault.program_fail = 99", "fault.program_fail"}};
  for (const auto& k : kinds) {
    SCOPED_TRACE(k.line);
    sim::NandConfig over;
    EXPECT_FALSE(sim::ParseNandConfig(text + k.line + "\n", "nand.cfg", &over, &err));
    EXPECT_EQ(
        "nand.cfg:129: more than 64 " + std::string(k.key) + " faults: the device model holds at most 64 of each kind",
        err);
  }
  std::string stuck;
  for (uint32_t i = 0; i <= sim::kMaxFaultsPerKind; ++i) stuck += "fault.stuck_bit = " + std::to_string(i) + ":0:0:1\n";
  EXPECT_FALSE(sim::ParseNandConfig(stuck, "nand.cfg", &cfg, &err));
  EXPECT_EQ(0u, err.find("nand.cfg:65: more than 64 fault.stuck_bit faults")) << err;

  // Every fault that was read is one the model applies.
  sim::FaultRec rec;
  EXPECT_TRUE(sim::LoadSettings(rec, cfg, 0));
  EXPECT_EQ(sim::kMaxFaultsPerKind, rec.readFlipCount);
}

TEST(NandCfg, OneKeyAtATime) {
  sim::NandConfig cfg;
  EXPECT_EQ(sim::KeyStatus::kApplied, sim::ApplyNandConfigKey("camera.active", "1", &cfg));
  EXPECT_TRUE(cfg.cameraActive);
  EXPECT_EQ(sim::KeyStatus::kBadValue, sim::ApplyNandConfigKey("sysdrv.region", "5", &cfg));
  EXPECT_EQ(sim::KeyStatus::kUnknown, sim::ApplyNandConfigKey("later.key", "1", &cfg));
  EXPECT_TRUE(cfg.unknown.empty()) << "the caller decides what an unknown key means";
  EXPECT_EQ("unknown key \"camera.activ\" (nearest: camera.active)",
            sim::DescribeKeyStatus("camera.activ", sim::KeyStatus::kUnknown));
}

TEST(ChipShape, TableChipsLargePageAndUnknown) {
  struct Case {
    uint32_t maker, device;
    bool known, large;
    uint32_t blocks;
    uint64_t imageBytes;
  } cases[] = {
      {0x98, 0x73, true, false, 1024, 1024ull * 32 * 528},  {0xAD, 0x75, true, false, 2048, 2048ull * 32 * 528},
      {0xEC, 0x76, true, false, 4096, 4096ull * 32 * 528},  {0xEC, 0x79, true, false, 8192, 8192ull * 32 * 528},
      {0x98, 0xAA, true, true, 2048, 2048ull * 64 * 2112},  {0xAD, 0xDA, true, true, 2048, 2048ull * 64 * 2112},
      {0x2C, 0x76, false, false, 1024, 1024ull * 32 * 528}, {0xEC, 0x35, false, false, 1024, 1024ull * 32 * 528},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << std::hex << c.maker << "/" << c.device);
    sim::ChipShape s = sim::ChipShapeFor(c.maker, c.device);
    EXPECT_EQ(c.known, s.known);
    EXPECT_EQ(c.large, s.largePage);
    EXPECT_EQ(c.blocks, s.blocks);
    EXPECT_EQ(c.imageBytes, s.ImageBytes());
  }
}

TEST(DeviceFiles, ErasedImageWithBadBlockMarksAndConfig) {
  TempTree t;
  std::string dir = t.dir + "/dev";
  sim::NandConfig cfg;
  cfg.maker = 0x98;
  cfg.device = 0x73;
  cfg.badBlocks = {3, 1023, 5000};  // the last is beyond the chip and ignored
  { std::ofstream(t.dir + "/stale") << "x"; }
  fs::create_directories(dir);
  { std::ofstream(dir + "/soc.state") << "old"; }
  std::string err;
  ASSERT_TRUE(sim::CreateDeviceFiles(dir, cfg, &err)) << err;
  EXPECT_FALSE(fs::exists(dir + "/soc.state")) << "a new chip starts with a fresh state";
  std::string img = Slurp(dir + "/nand.img");
  ASSERT_EQ(1024u * 32 * 528, img.size());
  size_t marked = 0;
  for (size_t i = 0; i < img.size(); ++i) {
    if ((uint8_t)img[i] == 0xFF) continue;
    size_t page = i / 528, byte = i % 528;
    EXPECT_EQ(sim::kBadBlockMarkerByte, byte) << "page " << page;
    EXPECT_TRUE(page / 32 == 3 || page / 32 == 1023) << "page " << page;
    EXPECT_LT(page % 32, 2u) << "page " << page;
    ++marked;
  }
  EXPECT_EQ(4u, marked);
  sim::NandConfig back;
  ASSERT_TRUE(sim::LoadNandConfig(dir + "/nand.cfg", &back, &err)) << err;
  EXPECT_EQ(0x73u, back.device);
  EXPECT_EQ(3u, back.badBlocks.size());
}

// A soc.state as a Wine process leaves it: written from an in-memory state.
void WriteState(const std::string& dir, const sim::SocState& s) {
  std::ofstream f(dir + "/soc.state", std::ios::binary | std::ios::trunc);
  f.write(reinterpret_cast<const char*>(&s), sizeof(s));
}

TEST(DeviceRecord, ReadsWhatTheModelsLeftAndResetsARun) {
  TempTree t;
  sim::DeviceRecord rec;
  std::string err;
  ASSERT_TRUE(sim::ReadDeviceRecord(t.dir, &rec, &err)) << "a device that never ran: " << err;
  EXPECT_EQ(0u, rec.violationCount);
  EXPECT_TRUE(rec.violations.empty());
  // A run about to start on a device that never ran gets its state now, with
  // what the run is to do in it (here: end the program after 5 operations).
  EXPECT_TRUE(sim::ResetDeviceRun(t.dir, true, &err, 5)) << err;
  ASSERT_TRUE(fs::exists(t.dir + "/soc.state"));
  EXPECT_EQ(sim::kSocStateBytes, fs::file_size(t.dir + "/soc.state"));
  {
    std::unique_ptr<sim::SocState> fresh(new sim::SocState());
    std::ifstream f(t.dir + "/soc.state", std::ios::binary);
    f.read(reinterpret_cast<char*>(fresh.get()), sizeof(*fresh));
    EXPECT_EQ(sim::kSocStateMagic, fresh->h.magic);
    EXPECT_EQ(5, fresh->h.power.killAfterOps);
    EXPECT_EQ(1u, fresh->h.power.runStarts);
  }
  ASSERT_TRUE(sim::ReadDeviceRecord(t.dir, &rec, &err)) << err;
  EXPECT_EQ(0u, rec.chipOps);
  EXPECT_EQ(0u, rec.violationCount);

  sim::NandConfig cfg;
  cfg.powerLossAfter = 0;
  std::unique_ptr<sim::SocState> s(new sim::SocState());
  std::vector<uint8_t> image(cfg.device == 0x76 ? 4096u * 32 * 528 : 0, 0xFF);
  sim::InitializeSocState(*s, cfg, 0);
  sim::SocModel model(*s, image.data(), image.size());
  sim::Accessor stranger{77, false};
  model.Write32(sim::kRegNand, 0x08, 0xFFFFFFFEu, stranger);
  for (int i = 0; i < 70; ++i) model.Read32(sim::kRegNand, 0xF14, stranger);
  // Power loss at the first chip operation: an ID read.
  sim::Accessor driver{78, true};
  model.Write32(sim::kRegNand, 0xF00, 0x10, driver);
  model.Write32(sim::kRegNand, 0x0C, 0, driver);
  model.Write32(sim::kRegNand, 0x10, 0xFF, driver);
  ASSERT_TRUE(model.PoweredOff());
  s->h.lockOwner = 1234;  // a process died holding the model lock
  WriteState(t.dir, *s);

  ASSERT_TRUE(sim::ReadDeviceRecord(t.dir, &rec, &err)) << err;
  EXPECT_EQ(71u, rec.violationCount);
  ASSERT_EQ(sim::kRecordedViolations, rec.violations.size());
  EXPECT_NE(std::string::npos, rec.violations[0].find("pid=77 unlocked: NAND_CTRL write 0xfffffffe"))
      << rec.violations[0];
  EXPECT_TRUE(rec.poweredOff);
  EXPECT_EQ(1u, rec.chipOps);
  EXPECT_EQ(s->h.clock.nowNs, rec.clockNs);

  // The next run: power on, counter 0, faults from the current nand.cfg.
  sim::NandConfig next;
  next.readFlips.push_back({1, 2, 3, 0});
  std::string save;
  ASSERT_TRUE(sim::SaveNandConfig(t.dir + "/nand.cfg", next, &save)) << save;
  ASSERT_TRUE(sim::ResetDeviceRun(t.dir, false, &err)) << err;
  ASSERT_TRUE(sim::ReadDeviceRecord(t.dir, &rec, &err)) << err;
  EXPECT_FALSE(rec.poweredOff);
  EXPECT_EQ(0u, rec.chipOps);
  EXPECT_EQ(71u, rec.violationCount) << "record kept when asked";
  std::string raw = Slurp(t.dir + "/soc.state");
  ASSERT_EQ(sizeof(sim::SocState), raw.size());
  const sim::SocHeader* h = reinterpret_cast<const sim::SocHeader*>(raw.data());
  EXPECT_EQ(0u, h->lockOwner);
  EXPECT_EQ(-1, h->faults.powerLossAfter);
  EXPECT_EQ(1u, h->faults.readFlipCount);
  EXPECT_EQ(sim::ConfigHash(sim::FormatNandConfig(next)), h->faults.configHash);
  ASSERT_TRUE(sim::ResetDeviceRun(t.dir, true, &err)) << err;
  ASSERT_TRUE(sim::ReadDeviceRecord(t.dir, &rec, &err)) << err;
  EXPECT_EQ(0u, rec.violationCount);
  EXPECT_TRUE(rec.violations.empty());
}

TEST(DeviceRecord, ForeignFilesAreRefused) {
  TempTree t;
  { std::ofstream(t.dir + "/soc.state") << std::string(sizeof(sim::SocHeader), 'x'); }
  sim::DeviceRecord rec;
  std::string err;
  EXPECT_FALSE(sim::ReadDeviceRecord(t.dir, &rec, &err));
  EXPECT_NE(std::string::npos, err.find("not a device state")) << err;
  EXPECT_FALSE(sim::ResetDeviceRun(t.dir, true, &err));
  { std::ofstream(t.dir + "/soc.state") << "short"; }
  EXPECT_FALSE(sim::ReadDeviceRecord(t.dir, &rec, &err));
  EXPECT_NE(std::string::npos, err.find("shorter")) << err;
}

}  // namespace
