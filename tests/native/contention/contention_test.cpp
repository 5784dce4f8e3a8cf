// The updater on a device whose bus it shares: the system's flash driver
// working its own file-system region and the camera taking the shared pins,
// each between any two of the updater's operations, all in one process
// (stand_ins.h). What is checked is what the hardware and a user would see:
// the message, the boot area's pages as the cells hold them, the system
// driver's pages read back by that driver, and the protocol checker's record,
// which names the thread behind every controller access.
#include <ceddk.h>
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include "flash/flash.h"
#include "flash/soc_nand.h"
#include "flash/soc_ressh.h"
#include "platform/debug_sink.h"
#include "platform/native/native.h"
#include "platform/native/native_soc.h"
#include "sim/checker.h"
#include "sim/device.h"
#include "sim/soc_state.h"
#include "tests/flash/flash_test_device.h"
#include "tests/flash/flash_test_support.h"
#include "tests/native/contention/stand_ins.h"

int AfxWinMain(HINSTANCE hInstance, HINSTANCE hPrevInstance, LPTSTR lpCmdLine, int nCmdShow);

namespace contention {
namespace {

using flashtest::Bytes;
using flashtest::ExpectedPage;
using flashtest::kData;
using flashtest::kRawPage;

// A 16 MiB chip (1024 blocks): the TOC in block 1 names a 64-sector boot
// area at block 2; the system driver's file system lives in blocks 8-11.
constexpr uint32_t kSectorsPerBlock = 32;
constexpr uint32_t kTocBlock = 1;
constexpr uint32_t kAreaBlock = 2;
constexpr uint32_t kAreaSectors = 64;
constexpr uint32_t kAreaFirst = kAreaBlock * kSectorsPerBlock;
constexpr uint32_t kFsBlock = 8;
constexpr uint32_t kFsBlocks = 4;
const SectorInfo kBootRecord = {0, 0xFC, 0, 0};

const char kFinished[] = "Bootloader update finished! ";

sim::NandConfig DeviceConfig() {
  sim::NandConfig cfg = flashtest::Chip(0x98, 0x73);
  cfg.sysdrvFirstBlock = kFsBlock;
  cfg.sysdrvBlockCount = kFsBlocks;
  return cfg;
}

bool InArea(uint32_t sector) { return sector >= kAreaFirst && sector < kAreaFirst + kAreaSectors; }
bool InFileSystem(uint32_t sector) {
  return sector >= kFsBlock * kSectorsPerBlock && sector < (kFsBlock + kFsBlocks) * kSectorsPerBlock;
}

class ContentionTest : public ::testing::Test {
 protected:
  void SetUp() override {
    PlatformSetDebugEcho(false);
    native::SetMessageBoxAnswer(IDOK);
    ASSERT_NO_FATAL_FAILURE(MakeDevice());
  }

  void TearDown() override {
    dev_.reset();
    PlatformSetDebugEcho(true);
  }

  // A fresh device: the TOC, and an old boot loader filling the area, so that
  // an area left unerased shows.
  void MakeDevice() {
    dev_.reset();
    dev_.reset(new flashtest::TestDevice(DeviceConfig()));
    ASSERT_TRUE(dev_->ok()) << dev_->error();
    sim::SocStartRun(/*clearRecord=*/true);
    Bytes toc(kData, 0);
    memcpy(toc.data(), "NTOC", 4);
    toc[60] = uint8_t(kAreaSectors);
    toc[176] = uint8_t(kAreaBlock);
    ASSERT_TRUE(sim::SocWriteRawPage(kTocBlock * kSectorsPerBlock, ExpectedPage(toc.data(), &kBootRecord).data()));
    Bytes old = flashtest::PseudoRandom(kAreaSectors * kData, 99);
    for (uint32_t i = 0; i < kAreaSectors; ++i)
      ASSERT_TRUE(sim::SocWriteRawPage(kAreaFirst + i, ExpectedPage(&old[i * kData], &kBootRecord).data()));
    before_ = dev_->Image();
  }

  void PutImage(const Bytes& image) {
    std::string card = PlatformUtf8(sim::SocDeviceDir()) + "/SDMMC Disk";
    mkdir(card.c_str(), 0755);
    std::ofstream f(card + "/EBOOT.NB0", std::ios::binary | std::ios::trunc);
    f.write(reinterpret_cast<const char*>(image.data()), std::streamsize(image.size()));
  }

  // One start of the updater as the device starts a program; its messages.
  static native::ProgramEnd RunUpdater(std::vector<std::string>* messages) {
    native::ClearEvents();
    native::ProgramEnd end = native::RunProgram([] { AfxWinMain(nullptr, nullptr, const_cast<LPTSTR>(L""), SW_SHOW); });
    for (const runproto::Event& e : native::Events())
      if (const auto* m = std::get_if<runproto::MessageBoxCall>(&e)) messages->push_back(m->text);
    return end;
  }

  // The area holds the image sector by sector, the short last sector padded
  // with 0xFF, each page with its ECC and the boot record; the rest of the
  // area is erased.
  void ExpectAreaHolds(const Bytes& image) {
    for (uint32_t i = 0; i < kAreaSectors; ++i) {
      Bytes expected(kRawPage, 0xFF);
      if (i * kData < image.size()) {
        Bytes data(kData, 0xFF);
        size_t n = std::min<size_t>(kData, image.size() - i * kData);
        std::copy(image.begin() + i * kData, image.begin() + i * kData + n, data.begin());
        expected = ExpectedPage(data.data(), &kBootRecord);
      }
      Bytes got = dev_->RawPage(kAreaFirst + i);
      EXPECT_TRUE(expected == got) << "boot area sector " << i << ":" << flashtest::DiffBytes(expected, got);
    }
  }

  // Outside the boot area and the system driver's region nothing changed.
  void ExpectRestUnchanged() {
    Bytes after = dev_->Image();
    ASSERT_EQ(before_.size(), after.size());
    uint32_t changed = 0, first = 0;
    for (uint32_t s = 0; s < after.size() / kRawPage; ++s) {
      if (InArea(s) || InFileSystem(s)) continue;
      if (memcmp(&before_[size_t(s) * kRawPage], &after[size_t(s) * kRawPage], kRawPage) != 0 && changed++ == 0)
        first = s;
    }
    EXPECT_EQ(0u, changed) << "pages changed outside the boot area and the file system, first sector " << first;
  }

  void ExpectNoViolations() {
    sim::DeviceRecord rec = dev_->Record();
    std::string texts;
    for (const std::string& v : rec.violations) texts += v + "\n";
    EXPECT_EQ(0u, rec.violationCount) << texts;
  }

  // The system driver worked its region between the updater's operations
  // and every page it wrote and still holds read back as written.
  static void ExpectFileSystemIntact(const SystemDriverReport& sys) {
    EXPECT_TRUE(sys.started);
    EXPECT_GT(sys.works, 0u) << "the system driver never worked between the updater's operations";
    EXPECT_GT(sys.fs.writes, 0u);
    EXPECT_GT(sys.fs.reads, 0u);
    EXPECT_EQ(0u, sys.fs.mismatches) << "pages of the system driver read back different";
    EXPECT_EQ(0u, sys.fs.failures) << "operations of the system driver failed";
  }

  std::unique_ptr<flashtest::TestDevice> dev_;
  Bytes before_;
};

void Report(const std::string& what, const SystemDriverReport& s, const CameraReport& c) {
  printf(
      "%s: system driver %llu holds, %llu works, %llu chip ops (%llu writes, %llu reads, %llu erases), "
      "%llu pin takebacks; camera %llu takes, %llu switches\n",
      what.c_str(), (unsigned long long)s.holds, (unsigned long long)s.works, (unsigned long long)s.chipOps,
      (unsigned long long)s.fs.writes, (unsigned long long)s.fs.reads, (unsigned long long)s.fs.erases,
      (unsigned long long)s.pinsTakenBack, (unsigned long long)c.takes, (unsigned long long)c.switches);
}

// A full update while the system driver works its region between the
// updater's operations and the camera takes the pins, at two rhythms: a step
// of the driver after every operation of the others, and bursts of eight
// after every five (its region wraps, and it erases blocks it wrote before).
TEST_F(ContentionTest, UpdateSucceedsBesideTheSystemDriverAndTheCamera) {
  struct Case {
    const char* name;
    Pacing driver;
    uint32_t camera;
  } cases[] = {{"step after every operation", {1, 1}, 2}, {"bursts", {5, 8}, 1}};
  Bytes image = flashtest::PseudoRandom(40 * kData - 100, 5);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ASSERT_NO_FATAL_FAILURE(MakeDevice());
    PutImage(image);
    SystemDriver sys(DeviceConfig(), c.driver);
    sys.Start();
    Camera camera(c.camera);
    camera.Start();
    std::vector<std::string> messages;
    EXPECT_EQ(native::ProgramEnd::kReturned, RunUpdater(&messages));
    SystemDriverReport fs = sys.Stop();
    CameraReport cam = camera.Stop();
    Report(std::string("update, ") + c.name, fs, cam);

    EXPECT_EQ(std::vector<std::string>{kFinished}, messages);
    ExpectAreaHolds(image);
    ExpectRestUnchanged();
    ExpectFileSystemIntact(fs);
    EXPECT_TRUE(cam.started);
    EXPECT_GT(cam.switches, 0u) << "the camera never had the pins between the updater's operations";
    EXPECT_EQ(0u, fs.abandoned + fs.pinAbandoned + cam.abandoned) << "nobody died holding a mutex";
    ExpectNoViolations();
  }
}

// Killed after N chip operations, holding the bus: the program's thread
// stops where it stands and its mutexes are abandoned. The system driver takes
// "_FLASH_MUTEX_" over, resets the chip, and its file system is unharmed; the
// next start of the updater, beside the same drivers, writes the area whole.
// N is half of what the updater alone makes, so the kill comes in the middle
// of its work however the drivers' operations fall in between. Everyone is
// paced by counted operations, so the whole of it, drivers and kill point
// included, leaves the same flash every time.
TEST_F(ContentionTest, KilledHoldingTheBusTheSystemDriverTakesOverAndTheNextRunSucceeds) {
  struct Outcome {
    SystemDriverReport fs;
    CameraReport cam;
    Bytes flash;
  };
  Bytes image = flashtest::PseudoRandom(40 * kData - 300, 6);
  auto scenario = [&](Outcome* o) {
    PutImage(image);
    uint64_t alone = 0;
    {
      HANDLE flash = CreateMutexW(nullptr, FALSE, L"_FLASH_MUTEX_");  // the idle system driver's
      sim::SocStartRun(/*clearRecord=*/false);
      std::vector<std::string> messages;
      ASSERT_EQ(native::ProgramEnd::kReturned, RunUpdater(&messages));
      ASSERT_EQ(std::vector<std::string>{kFinished}, messages);
      alone = ChipOps();
      CloseHandle(flash);
    }
    SystemDriver sys(DeviceConfig(), Pacing{1, 2});
    sys.Start();
    Camera camera(3);
    camera.Start();

    sim::SocStartRun(/*clearRecord=*/false, int64_t(alone / 2));
    std::vector<std::string> killed;
    // Not killed, the run left no abandoned mutex to wait for (the drivers
    // stop as they go out of scope).
    ASSERT_EQ(native::ProgramEnd::kKilled, RunUpdater(&killed)) << ::testing::PrintToString(killed);
    EXPECT_TRUE(killed.empty()) << "a message before the kill: " << killed.front();
    sys.WaitForAbandoned(1);

    std::vector<std::string> again;
    EXPECT_EQ(native::ProgramEnd::kReturned, RunUpdater(&again));
    o->fs = sys.Stop();
    o->cam = camera.Stop();
    printf(
        "updater alone: %llu chip ops; killed after %lld; the chip had made %llu when the system driver took "
        "the flash mutex over\n",
        (unsigned long long)alone, (long long)(alone / 2), (unsigned long long)o->fs.opsAtAbandoned);
    Report("kill and rerun", o->fs, o->cam);

    EXPECT_EQ(1u, o->fs.abandoned) << "the system driver met the flash mutex abandoned once";
    EXPECT_EQ(1u, o->fs.pinAbandoned + o->cam.abandoned) << "the pin mutex was abandoned with it, met by one of them";
    EXPECT_EQ(std::vector<std::string>{kFinished}, again);
    ExpectAreaHolds(image);
    ExpectRestUnchanged();
    ExpectFileSystemIntact(o->fs);
    ExpectNoViolations();
    o->flash = dev_->Image();
  };
  Outcome first, second;
  ASSERT_NO_FATAL_FAILURE(scenario(&first));
  ASSERT_NO_FATAL_FAILURE(MakeDevice());
  ASSERT_NO_FATAL_FAILURE(scenario(&second));
  EXPECT_EQ(first.fs.opsAtAbandoned, second.fs.opsAtAbandoned) << "the kill came elsewhere";
  EXPECT_EQ(first.fs.chipOps, second.fs.chipOps);
  EXPECT_EQ(first.cam.switches, second.cam.switches);
  EXPECT_TRUE(first.flash == second.flash) << "the same settings left different flash";
}

// The system driver takes the bus over from an updater killed in the middle of
// each kind of operation: the kill comes at the updater's first controller
// access after the chip operation k (k = N .. N+7 of the sectors' four or
// seven), so the updater dies with a program, a reset or a read under way,
// its event not yet acknowledged, its transfer half set up. The takeover's
// reset and everything after it is clean, and the next run writes the area.
TEST_F(ContentionTest, TheSystemDriverTakesOverFromEveryKindOfOperation) {
  Bytes image = flashtest::PseudoRandom(6 * kData, 8);
  PutImage(image);
  uint64_t alone = 0;
  {
    HANDLE flash = CreateMutexW(nullptr, FALSE, L"_FLASH_MUTEX_");
    sim::SocStartRun(/*clearRecord=*/false);
    std::vector<std::string> messages;
    ASSERT_EQ(native::ProgramEnd::kReturned, RunUpdater(&messages));
    alone = ChipOps();
    CloseHandle(flash);
  }
  for (uint64_t k = alone - 16; k < alone - 8; ++k) {
    SCOPED_TRACE("killed after chip operation " + std::to_string(k));
    ASSERT_NO_FATAL_FAILURE(MakeDevice());
    PutImage(image);
    SystemDriver sys(DeviceConfig(), Pacing{1, 2});
    sys.Start();
    sim::SocStartRun(/*clearRecord=*/true, int64_t(k));
    std::vector<std::string> killed;
    ASSERT_EQ(native::ProgramEnd::kKilled, RunUpdater(&killed)) << ::testing::PrintToString(killed);
    sys.WaitForAbandoned(1);
    std::vector<std::string> again;
    EXPECT_EQ(native::ProgramEnd::kReturned, RunUpdater(&again));
    SystemDriverReport fs = sys.Stop();
    EXPECT_EQ(std::vector<std::string>{kFinished}, again);
    ExpectAreaHolds(image);
    ExpectFileSystemIntact(fs);
    ExpectNoViolations();
  }
}

// The checker names the thread behind every controller access, stand-ins
// included: a thread started as the drivers are, touching the NAND controller
// first without the bus mutexes and then holding them with the pins given to
// the camera, is recorded twice under its own id, while the system driver
// working beside it is recorded for nothing.
TEST_F(ContentionTest, ControllerAccessesAreCheckedUnderTheThreadThatMadeThem) {
  SystemDriver sys(DeviceConfig(), Pacing{1, 1});
  sys.Start();
  uint32_t rogue = 0;
  bool up = false;
  native::RunProgram(
      [&] {
        rogue = GetCurrentThreadId();
        FlashContext ctx;
        up = ctx.FMD_Init() == 1;
        if (!up) return;
        volatile ULONG* event = reinterpret_cast<volatile ULONG*>(ctx.pNandRegs + NAND_EVENT);
        volatile ULONG* pinmux = reinterpret_cast<volatile ULONG*>(ctx.pResShareRegs + RS_PINMUX);
        READ_REGISTER_ULONG(event);
        if (!ctx.AcquireFlashBus()) return;
        WRITE_REGISTER_ULONG(pinmux, READ_REGISTER_ULONG(pinmux) | RS_PINMUX_CAMERA);
        READ_REGISTER_ULONG(event);
        WRITE_REGISTER_ULONG(pinmux, READ_REGISTER_ULONG(pinmux) & ~ULONG(RS_PINMUX_CAMERA));
        ctx.ReleaseFlashBus();
        ctx.FMD_Deinit();
      },
      /*target=*/false);
  SystemDriverReport fs = sys.Stop();
  ASSERT_TRUE(up);
  ASSERT_NE(fs.thread, rogue);

  const sim::CheckerRec& rec = native::AttachedState()->h.checker;
  std::string texts;
  for (const std::string& v : dev_->Record().violations) texts += v + "\n";
  ASSERT_EQ(2u, rec.count) << texts;
  struct Expected {
    sim::ViolationKind kind;
    const char* text;
  } expected[] = {
      {sim::ViolationKind::kUnlocked, "NAND_EVENT read without holding _FLASH_MUTEX_ and PIN_MUX_CAM_NANDFLASH_MUTEX"},
      {sim::ViolationKind::kPinsOnCamera, "NAND_EVENT read while RS_PINMUX gives the pins to the camera"},
  };
  for (int i = 0; i < 2; ++i) {
    SCOPED_TRACE(i);
    EXPECT_EQ(uint32_t(expected[i].kind), rec.first[i].kind);
    EXPECT_EQ(rogue, rec.first[i].pid) << "attributed to the thread that made the access";
    EXPECT_STREQ(expected[i].text, rec.first[i].text);
  }
  EXPECT_TRUE(fs.started);
  EXPECT_GT(fs.holds, 0u);
  EXPECT_EQ(0u, fs.fs.mismatches);
  EXPECT_EQ(0u, fs.fs.failures);
}

}  // namespace
}  // namespace contention
