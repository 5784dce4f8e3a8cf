// The real kestrel program under Wine on simulated devices, its message boxes
// answered by the robot. Outcomes are read as a user and the hardware see
// them: the message, the bytes in nand.img, the card, the checker's record.
#include <gtest/gtest.h>

#include <cstring>

#include "ecc/ecc.h"
#include "sim/device_record.h"
#include "tests/e2e/e2e_support.h"
#include "tools/run/protocol.h"

namespace e2e {
namespace {

constexpr uint32_t kAreaFirstSector = 2 * kSectorsPerBlock;  // default boot area: block 2
constexpr uint32_t kAreaSectors = 512;

const char kFinished[] = "Bootloader update finished! ";
const char kCantOpen[] = "Can't open binary file of bootloader!";
const char kInitFailed[] = "Failed to initialize NANDFLASH driver!";
const char kCantLocate[] = "Can't locate bootloader area!";
const char kCantErase[] = "Can't erase bootloader area!";
const char kCantWrite[] = "Can't write bootloader area!";
const char kCantRead[] = "Can't read binary file of bootloader!";

struct Outcome {
  devsim::RunResult run;
  Bytes before, after;
};

Outcome Update(const Device& dev, devsim::RunOptions opt = devsim::RunOptions()) {
  Outcome o;
  o.before = dev.Flash();
  o.run = dev.Run("kestrel", opt);
  o.after = dev.Flash();
  return o;
}

// One message, with the dialog as owner, MB_OK, then the program's end.
void ExpectOneMessage(const Outcome& o, const std::string& text, const std::string& caption) {
  ASSERT_TRUE(o.run.ranToEnd) << Describe(o.run);
  auto msgs = o.run.All<runproto::MessageBoxCall>();
  ASSERT_EQ(1u, msgs.size()) << Describe(o.run);
  EXPECT_EQ(text, msgs[0]->text);
  EXPECT_EQ(caption, msgs[0]->caption);
  EXPECT_EQ(0u, msgs[0]->type) << "MB_OK";
  EXPECT_NE(0u, msgs[0]->owner) << "the dialog owns the message";
  auto seen = o.run.All<runproto::BoxSeen>();
  ASSERT_EQ(1u, seen.size()) << "the robot saw the box on screen\n" << Describe(o.run);
  EXPECT_EQ(msgs[0]->owner, seen[0]->owner);
  EXPECT_EQ(std::vector<std::string>{"OK"}, seen[0]->buttons);
}

void ExpectAreaHolds(const Device& dev, const Bytes& image) {
  TempFile expected(image);
  std::string out;
  EXPECT_EQ(0, Devsim({"verify", dev.dir, expected.path}, &out)) << out;
}

void ExpectNothingOutsideArea(const Outcome& o) {
  auto changed = ChangedPagesOutside(o.before, o.after, kAreaFirstSector, kAreaSectors);
  EXPECT_TRUE(changed.empty()) << changed.size() << " pages changed outside the boot area, first "
                               << (changed.empty() ? std::string() : DiffPage(o.before, o.after, changed[0]));
}

void ExpectFlashUnchanged(const Outcome& o) {
  auto changed = ChangedPagesOutside(o.before, o.after, 0, 0);
  EXPECT_TRUE(changed.empty()) << changed.size() << " pages changed, first "
                               << (changed.empty() ? std::string() : DiffPage(o.before, o.after, changed[0]));
}

void ExpectNoViolations(const Device& dev) {
  std::vector<std::string> v;
  EXPECT_EQ(0u, dev.Violations(&v)) << (v.empty() ? std::string() : v[0]);
}

TEST(KestrelUpdate, ThousandByteImageFillsTwoSectorsPaddingTheSecond) {
  Device dev({"--fill"});
  ASSERT_FALSE(dev.dir.empty());
  Bytes image = PseudoRandom(1000, 7);
  dev.PutImage(image);
  Outcome o = Update(dev);
  ExpectOneMessage(o, kFinished, "Information");
  EXPECT_EQ(0u, o.run.exitCode);
  std::vector<uint64_t> progress;
  for (const runproto::Progress* g : o.run.All<runproto::Progress>()) progress.push_back(g->pos);
  EXPECT_EQ((std::vector<uint64_t>{0, 51, 100}), progress) << "reset, then after each of the two sectors";
  const uint8_t* s0 = Page(o.after, kAreaFirstSector);
  const uint8_t* s1 = Page(o.after, kAreaFirstSector + 1);
  EXPECT_EQ(0, memcmp(s0, image.data(), 512));
  EXPECT_EQ(0, memcmp(s1, image.data() + 512, 488));
  for (int i = 488; i < 512; ++i) EXPECT_EQ(0xFF, s1[i]) << "padding byte " << i;
  const uint8_t bootRecord[8] = {0, 0, 0, 0, 0xFC, 0, 0, 0};
  EXPECT_EQ(0, memcmp(s0 + 512, bootRecord, 8));
  EXPECT_EQ(0, memcmp(s1 + 512, bootRecord, 8));
  // The rest of the area is erased.
  for (uint32_t s = kAreaFirstSector + 2; s < kAreaFirstSector + kAreaSectors; ++s)
    for (uint32_t i = 0; i < kPage; ++i)
      if (Page(o.after, s)[i] != 0xFF) FAIL() << "sector " << s << " not erased at " << i;
  ExpectAreaHolds(dev, image);
  ExpectNothingOutsideArea(o);
  ExpectNoViolations(dev);
}

TEST(KestrelUpdate, WholeSectorImagesAndTheFullArea) {
  for (size_t size : {size_t(512), size_t(512 * 7), size_t(512 * kAreaSectors)}) {
    SCOPED_TRACE(size);
    Device dev({"--fill"});
    Bytes image = PseudoRandom(size, (uint32_t)size);
    dev.PutImage(image);
    Outcome o = Update(dev);
    ExpectOneMessage(o, kFinished, "Information");
    ExpectAreaHolds(dev, image);
    ExpectNothingOutsideArea(o);
    ExpectNoViolations(dev);
  }
}

TEST(KestrelUpdate, EmptyImageErasesTheAreaAndWritesNothing) {
  TempFile old(PseudoRandom(4096, 3));
  Device withOld({"--fill", "--boot-image", old.path});
  withOld.PutImage(Bytes());
  Outcome o = Update(withOld);
  ExpectOneMessage(o, kFinished, "Information");
  for (uint32_t s = kAreaFirstSector; s < kAreaFirstSector + kAreaSectors; ++s)
    for (uint32_t i = 0; i < kPage; ++i)
      if (Page(o.after, s)[i] != 0xFF) FAIL() << "sector " << s << " not erased at " << i;
  ExpectNothingOutsideArea(o);
  ExpectNoViolations(withOld);
}

// `devsim run --events`, as the main job reads it: every line a record of
// the run, in order, the updater's message and end among them and the
// checker's record last; and the update done.
TEST(KestrelUpdate, DevsimRunEventsAreOneRecordALineEndingWithTheCheckers) {
  Device dev({"--fill"});
  ASSERT_FALSE(dev.dir.empty());
  Bytes image = PseudoRandom(1000, 11);
  dev.PutImage(image);
  std::string out;
  ASSERT_EQ(0, Devsim({"run", dev.dir, "--events", "kestrel"}, &out)) << out;
  std::vector<runproto::Event> events;
  std::string error;
  ASSERT_TRUE(runproto::ParseEventLog(out, &events, &error)) << error << "\n" << out;
  ASSERT_FALSE(events.empty());
  auto checker = std::get_if<runproto::CheckerRecord>(&events.back());
  ASSERT_NE(nullptr, checker) << "the last record is the checker's\n" << out;
  EXPECT_EQ(0u, checker->violations);
  std::vector<std::string> messages, debugLines;
  std::vector<uint64_t> progress, exits;
  size_t checkers = 0;
  for (const runproto::Event& e : events) {
    checkers += std::holds_alternative<runproto::CheckerRecord>(e);
    if (auto m = std::get_if<runproto::MessageBoxCall>(&e)) messages.push_back(m->text);
    if (auto d = std::get_if<runproto::DebugLine>(&e)) debugLines.push_back(d->line);
    if (auto p = std::get_if<runproto::Progress>(&e)) progress.push_back(p->pos);
    if (auto x = std::get_if<runproto::ProgramExit>(&e)) exits.push_back(x->exit);
  }
  EXPECT_EQ(std::vector<std::string>{kFinished}, messages) << out;
  EXPECT_EQ((std::vector<uint64_t>{0, 51, 100}), progress) << out;
  EXPECT_EQ(std::vector<uint64_t>{0}, exits) << out;
  EXPECT_FALSE(debugLines.empty()) << out;
  EXPECT_EQ(1u, checkers) << out;
  ExpectAreaHolds(dev, image);
}

// devsim run names what the run is about to meet before its first line: a
// fault still set (here one that never comes) and an area that does not read
// back whole; a clean device gets no such line.
TEST(KestrelUpdate, DevsimRunWarnsFirstOfFaultsStillSet) {
  Device dev;
  dev.PutImage(PseudoRandom(1000, 11));
  std::string out;
  ASSERT_EQ(0, Devsim({"run", dev.dir, "kestrel"}, &out)) << out;
  EXPECT_EQ(std::string::npos, out.find("warning")) << out;
  ASSERT_EQ(0, Devsim({"fault", dev.dir, "--stuck-ready", "100000"}, &out)) << out;
  ASSERT_EQ(0, Devsim({"run", dev.dir, "kestrel"}, &out)) << out;
  EXPECT_EQ(0u, out.find("devsim run: warning: nand.cfg still sets 1 fault (fault.stuck_ready_after): the next run "
                         "meets them\n"))
      << out;
  EXPECT_NE(std::string::npos, out.find("Bootloader update finished!")) << out;
  EXPECT_EQ(std::string::npos, out.find("uncorrectable")) << "the area read back before the run\n" << out;
}

TEST(KestrelUpdate, FailuresBeforeTheEraseLeaveTheFlashUnchanged) {
  struct Case {
    const char* name;
    Args create;
    size_t imageSize;  // 0: no image on the card when putImage is false
    bool putImage;
    bool systemDriver;
    const char* message;
  } cases[] = {
      {"no image on the card", {"--fill"}, 0, false, true, kCantOpen},
      {"no system flash driver", {"--fill"}, 1000, true, false, kInitFailed},
      {"no TOC on the flash", {"--fill", "--no-toc"}, 1000, true, true, kCantLocate},
      {"image larger than the area", {"--fill", "--boot-sectors", "8"}, 8 * 512 + 1, true, true, kCantLocate},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Device dev(c.create);
    if (c.putImage) dev.PutImage(PseudoRandom(c.imageSize, 11));
    devsim::RunOptions opt;
    opt.systemDriver = c.systemDriver;
    Outcome o = Update(dev, opt);
    ExpectOneMessage(o, c.message, "Error");
    ExpectFlashUnchanged(o);
    ExpectNoViolations(dev);
    if (std::string(c.message) == kCantOpen) {
      EXPECT_TRUE(o.run.DebugLines().empty()) << "the driver was never started\n" << Describe(o.run);
    }
    if (std::string(c.message) == kInitFailed) {
      auto lines = o.run.DebugLines();
      EXPECT_NE(lines.end(), std::find(lines.begin(), lines.end(), "FMD: FMD_Init - Unable to create flash mutex\r\n"))
          << Describe(o.run);
    }
  }
}

TEST(KestrelUpdate, MediaFaultsEndWithTheirMessage) {
  const uint32_t areaBlock = 2;
  struct Case {
    const char* name;
    Args fault;
    const char* message;
  } cases[] = {
      // Operations 1-4: the ID, the TOC probe, the TOC read, the first erase;
      // the second erase never completes, and the driver's bounded wait fails it.
      {"erase that never completes", {"--stuck-ready", "4"}, kCantErase},
      // The chip reports no failure; the read-back of the first sector
      // written on the block that kept its old content fails.
      {"erase that leaves the block", {"--erase-fail", std::to_string(areaBlock + 1)}, kCantWrite},
      {"program failure", {"--program-fail", std::to_string(kAreaFirstSector + 1)}, kCantWrite},
  };
  // An old boot loader fills the area's first two blocks, so a block that
  // keeps its content shows.
  TempFile old(PseudoRandom(64 * 512, 6));
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Device dev({"--fill", "--boot-image", old.path});
    dev.PutImage(PseudoRandom(40 * 512, 5));
    std::string out;
    Args fault = {"fault", dev.dir};
    fault.insert(fault.end(), c.fault.begin(), c.fault.end());
    ASSERT_EQ(0, Devsim(fault, &out)) << out;
    Outcome o = Update(dev);
    ExpectOneMessage(o, c.message, "Error");
    ExpectNothingOutsideArea(o);
    ExpectNoViolations(dev);
  }
}

TEST(KestrelUpdate, CardReadFailureStopsBeforeTheErase) {
  for (const char* fault : {"read-fail", "short-read"}) {
    SCOPED_TRACE(fault);
    TempFile old(PseudoRandom(1500, 4));
    Device dev({"--fill", "--boot-image", old.path});
    dev.PutImage(PseudoRandom(3000, 9));
    devsim::RunOptions opt;
    opt.cardFault = fault;
    Outcome o = Update(dev, opt);
    ExpectOneMessage(o, kCantRead, "Error");
    ExpectFlashUnchanged(o);
    ExpectNoViolations(dev);
  }
}

TEST(KestrelUpdate, ImageStaysLockedUntilTheMessageIsDismissed) {
  Device dev({"--fill"});
  dev.PutImage(PseudoRandom(2000, 13));
  devsim::RunOptions opt;
  opt.probeFile = "\\SDMMC Disk\\EBOOT.NB0";
  opt.holdMs = 200;
  Outcome o = Update(dev, opt);
  ExpectOneMessage(o, kFinished, "Information");
  auto seen = o.run.All<runproto::BoxSeen>();
  ASSERT_EQ(1u, seen.size());
  EXPECT_EQ(32, seen[0]->probeOpenError) << "ERROR_SHARING_VIOLATION while the message is up";
  auto end = o.run.All<runproto::ProgramExit>();
  ASSERT_EQ(1u, end.size());
  EXPECT_EQ(0, end[0]->probeOpenError) << "free once the program has ended";
}

// Killed after N chip operations, decided by the device model at the Nth:
// the updater dies at the same point of its work every time, holding the bus
// (the system driver, idle, meets the flash mutex abandoned), and with no
// other user of the chip the flash it leaves is the same byte for byte.
TEST(KestrelInterrupted, TheSameKillPointLeavesTheSameFlashEveryTime) {
  const int64_t kOps = 77;  // the 16 erases, then the middle of the 16th sector's programs
  std::vector<Bytes> flashes;
  for (int i = 0; i < 3; ++i) {
    SCOPED_TRACE(i);
    Device dev({"--fill"});
    dev.PutImage(PseudoRandom(20000, 5));
    devsim::RunOptions opt;
    opt.killAfterOps = kOps;
    Outcome o = Update(dev, opt);
    ASSERT_TRUE(o.run.ranToEnd) << Describe(o.run);
    EXPECT_EQ(runproto::kExitKilled, o.run.exitCode) << Describe(o.run);
    EXPECT_TRUE(o.run.All<runproto::MessageBoxCall>().empty()) << "killed before any message";
    const runproto::SysdrvReport* sysdrv = o.run.Last<runproto::SysdrvReport>();
    ASSERT_NE(nullptr, sysdrv) << Describe(o.run);
    EXPECT_EQ(1u, sysdrv->abandoned) << "it died holding the bus";
    sim::DeviceRecord rec;
    std::string error;
    ASSERT_TRUE(sim::ReadDeviceRecord(dev.dir, &rec, &error)) << error;
    EXPECT_EQ(uint64_t(kOps), rec.chipOps) << "nothing ran on after the kill";
    ExpectNothingOutsideArea(o);
    EXPECT_NE(o.before, o.after) << "the update had begun";
    flashes.push_back(o.after);
  }
  ASSERT_EQ(3u, flashes.size());
  EXPECT_EQ(flashes[0], flashes[1]);
  EXPECT_EQ(flashes[0], flashes[2]);
}

TEST(KestrelInterrupted, AMalformedNumberForTheRunnerIsAUsageError) {
  Device dev({"--fill"});
  dev.PutImage(PseudoRandom(1000, 6));
  for (const char* bad : {"abc", "12x", "-5"}) {
    SCOPED_TRACE(bad);
    devsim::RunOptions opt;
    opt.runnerArgs = {"--hold", bad};
    devsim::RunResult r = dev.Run("kestrel", opt);
    EXPECT_FALSE(r.ranToEnd);
    EXPECT_NE(std::string::npos, r.error.find("the runner failed")) << Describe(r);
    EXPECT_TRUE(r.events.empty()) << "nothing was started\n" << Describe(r);
  }
}

// A chip's dump as a programmer reads it off a handheld, written here byte by
// byte: a loader in block 0, the TOC at block 1 naming a 64-sector area at
// block 2 with an old boot loader in it, file-system pages in blocks 5-9, and
// block 20 marked bad by its maker. The updater runs on the device made from
// it; the dump to write back differs from the one read only inside the area.
TEST(KestrelOnADump, UpdatesTheAreaAndLeavesTheBadBlockAndEverythingElse) {
  Bytes dump(size_t(1024) * 32 * kPage, 0xFF);
  auto program = [&](uint32_t sector, const Bytes& data, const uint8_t record[8]) {
    uint8_t* page = &dump[size_t(sector) * kPage];
    memcpy(page, data.data(), 512);
    EccGenerate(data.data(), page + 520);
    EccGenerate(data.data() + 256, page + 524);
    memcpy(page + 512, record, 8);
  };
  const uint8_t noRecord[8] = {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};
  const uint8_t bootRecord[8] = {0, 0, 0, 0, 0xFC, 0, 0, 0};
  for (uint32_t s = 0; s < 4; ++s) program(s, PseudoRandom(512, 100 + s), noRecord);
  Bytes toc(512, 0);
  memcpy(toc.data(), "NTOC", 4);
  toc[60] = 64;
  toc[176] = 2;
  program(32, toc, bootRecord);
  for (uint32_t s = 0; s < 10; ++s) program(64 + s, PseudoRandom(512, 200 + s), bootRecord);
  for (uint32_t s = 5 * 32; s < 10 * 32; s += 3) program(s, PseudoRandom(512, s), noRecord);
  for (uint32_t p = 0; p < 2; ++p) dump[size_t(20 * 32 + p) * kPage + 512 + 5] = 0x00;
  TempFile dumpFile(dump);

  Device dev({"--from-image", dumpFile.path});
  ASSERT_FALSE(dev.dir.empty());
  EXPECT_EQ(dump, dev.Flash()) << "the device's chip is the dump";
  std::string cfg;
  for (uint8_t c : ReadFile(dev.dir + "/nand.cfg")) cfg += char(c);
  EXPECT_NE(std::string::npos, cfg.find("bad_blocks = 20\n")) << cfg;

  Bytes image = PseudoRandom(20 * 512 - 7, 300);
  dev.PutImage(image);
  Outcome o = Update(dev);
  ExpectOneMessage(o, kFinished, "Information");
  TempFile expected(image);
  std::string out;
  EXPECT_EQ(0, Devsim({"verify", dev.dir, expected.path}, &out)) << out;
  auto changed = ChangedPagesOutside(dump, o.after, 64, 64);
  EXPECT_TRUE(changed.empty()) << changed.size() << " pages changed outside the boot area, first "
                               << (changed.empty() ? std::string() : DiffPage(dump, o.after, changed[0]));
  EXPECT_EQ(dump, ReadFile(dumpFile.path)) << "the dump itself is untouched";
  ExpectNoViolations(dev);
}

}  // namespace
}  // namespace e2e
