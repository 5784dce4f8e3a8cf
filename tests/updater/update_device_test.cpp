// The updater's whole run, its own code on the real flash driver and a
// simulated chip, in one process (native and armv4 targets): what the flash
// holds afterwards, the message that closes the run, the progress a person
// watches, and that every failure leaves the old boot loader in place.
#include <gtest/gtest.h>

#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include <afxwin.h>

#include "platform/debug_sink.h"
#include "platform/native/native.h"
#include "platform/test_hooks.h"
#include "sim/device.h"
#include "sim/nand_chip.h"
#include "tests/flash/flash_test_support.h"
#include "updater/kestrel.h"
#include "updater/kestrel_dlg.h"
#include "updater/resource.h"

namespace flashtest {
namespace {

constexpr uint32_t kSectorsPerBlock = 32;
const SectorInfo kBootRecord = {0, 0xFC, 0, 0};
constexpr uint32_t kAreaBlock = 2;
constexpr uint32_t kAreaSectors = 64;

struct Box {
  std::string caption, text;
  uint64_t type;
};

void PutLe32(uint8_t* p, uint32_t v) {
  for (int i = 0; i < 4; ++i) p[i] = uint8_t(v >> (8 * i));
}

class UpdateRunTest : public FlashDeviceTest {
 protected:
  void SetUp() override {
    native::ClearEvents();
    unsetenv("DEVSIM_CARD_FAULT");
  }
  void TearDown() override {
    unsetenv("DEVSIM_CARD_FAULT");
    FlashDeviceTest::TearDown();
  }

  // A 16 MiB chip with its TOC at block 1 naming the area, the system
  // driver's mutex, and old data in the area and around it.
  void MakeDevice(const sim::NandConfig& cfg = Chip(0xEC, 0x73)) {
    ASSERT_NO_FATAL_FAILURE(Start(cfg));
    ASSERT_NO_FATAL_FAILURE(StartSystemFlashDriver());
    Bytes toc(kData, 0);
    std::copy_n("NTOC", 4, toc.begin());
    PutLe32(&toc[60], kAreaSectors);
    PutLe32(&toc[176], kAreaBlock);
    dev_->PutRawPage(kSectorsPerBlock, ExpectedPage(toc.data(), &kBootRecord));
    for (uint32_t s = kAreaBlock * kSectorsPerBlock; s < (kAreaBlock + 3) * kSectorsPerBlock; ++s) {
      Bytes old = PseudoRandom(kData, s + 1000);
      SectorInfo rec = {s, 0xFF, 0xFF, 0xFFFF};
      dev_->PutRawPage(s, ExpectedPage(old.data(), &rec));
    }
  }

  std::string CardPath() const { return PlatformUtf8(sim::SocDeviceFile(L"SDMMC Disk/EBOOT.NB0")); }
  void PutCard(const Bytes& image) {
    std::filesystem::create_directories(std::filesystem::path(CardPath()).parent_path());
    std::ofstream(CardPath(), std::ios::binary).write(reinterpret_cast<const char*>(image.data()), image.size());
  }

  // The updater as the device starts it: the application object's run.
  void RunUpdater() {
    PlatformClearDebugLines();
    native::ClearEvents();
    native::ProgramEnd end = native::RunProgram([] { AfxWinMain(NULL, NULL, (LPTSTR)L"", SW_SHOW); });
    ASSERT_EQ(native::ProgramEnd::kReturned, end);
  }

  std::vector<Box> Boxes() const {
    std::vector<Box> boxes;
    for (const runproto::Event& e : native::Events())
      if (auto* b = std::get_if<runproto::MessageBoxCall>(&e)) boxes.push_back({b->caption, b->text, b->type});
    return boxes;
  }
  std::vector<uint64_t> Progress() const {
    std::vector<uint64_t> pos;
    for (const runproto::Event& e : native::Events())
      if (auto* p = std::get_if<runproto::Progress>(&e)) pos.push_back(p->pos);
    return pos;
  }
  void ExpectOneBox(const char* caption, const char* text) {
    std::vector<Box> boxes = Boxes();
    ASSERT_EQ(1u, boxes.size());
    EXPECT_EQ(caption, boxes[0].caption);
    EXPECT_EQ(text, boxes[0].text);
    EXPECT_EQ(MB_OK, boxes[0].type);
  }
  // The area holds the image: whole sectors, the last one filled up with
  // 0xFF, every page with its code and the boot record; the rest erased.
  void ExpectArea(const Bytes& image) {
    uint32_t first = kAreaBlock * kSectorsPerBlock;
    for (uint32_t i = 0; i < kAreaSectors; ++i) {
      SCOPED_TRACE(testing::Message() << "area sector " << i);
      if (i * kData < image.size()) {
        Bytes data(kData, 0xFF);
        std::copy(image.begin() + i * kData, image.begin() + std::min<size_t>(image.size(), (i + 1) * kData),
                  data.begin());
        ASSERT_EQ("", DiffBytes(ExpectedPage(data.data(), &kBootRecord), dev_->RawPage(first + i)));
      } else {
        ASSERT_EQ("", DiffBytes(Bytes(kRawPage, 0xFF), dev_->RawPage(first + i)));
      }
    }
  }
  // Every page outside the area's blocks as it was.
  void ExpectOutsideUnchanged(const Bytes& before) {
    Bytes after = dev_->Image();
    size_t a = size_t(kAreaBlock) * kSectorsPerBlock * kRawPage;
    size_t b = a + size_t(kAreaSectors) * kRawPage;
    EXPECT_TRUE(std::equal(before.begin(), before.begin() + a, after.begin()) &&
                std::equal(before.begin() + b, before.end(), after.begin() + b))
        << "a page outside the boot area changed";
  }
};

TEST_F(UpdateRunTest, AnImageIsWrittenAndAnnounced) {
  ASSERT_NO_FATAL_FAILURE(MakeDevice());
  Bytes image = PseudoRandom(20 * kData + 100, 5);  // a short last sector
  PutCard(image);
  Bytes before = dev_->Image();
  ASSERT_NO_FATAL_FAILURE(RunUpdater());
  ExpectOneBox("Information", "Bootloader update finished! ");
  ExpectArea(image);
  ExpectOutsideUnchanged(before);
  std::vector<uint64_t> progress = Progress();
  ASSERT_EQ(22u, progress.size()) << "the start, then one position per sector";
  EXPECT_EQ(0u, progress.front());
  EXPECT_EQ(100u, progress.back());
  EXPECT_TRUE(std::is_sorted(progress.begin(), progress.end()));
  std::vector<std::string> lines = PlatformDebugLinesUtf8();
  ASSERT_EQ(6u, lines.size());
  EXPECT_EQ("NandLocateTocAndEBoot: Got EBOOT first block 2; Sector Size 64\r\n", lines[3]);
  EXPECT_EQ("Erase block: 0x3, total 0x400\r\n", lines[5]);
  EXPECT_TRUE(BusIsFree());
  EXPECT_EQ(0, PlatformMappedWindowCount());
  EXPECT_EQ(0u, native::WideUnitsBeyond16Bits());
}

// Each failure ends the run with its own message, and none of them before
// the erase touches the flash.
TEST_F(UpdateRunTest, FailuresBeforeTheEraseLeaveTheFlashAlone) {
  struct Case {
    const char* what;
    std::function<void()> arrange;
    const char* text;
  } cases[] = {
      {"no image on the card", [] {}, "Can't open binary file of bootloader!"},
      {"no system flash driver", [this] { StopSystemFlashDriver(); }, "Failed to initialize NANDFLASH driver!"},
      {"no TOC", [this] { dev_->PutRawPage(kSectorsPerBlock, Bytes(kRawPage, 0xFF)); },
       "Can't locate bootloader area!"},
      {"an image larger than the area", [this] { PutCard(Bytes(kAreaSectors * kData + 1, 0x11)); },
       "Can't locate bootloader area!"},
      {"a card that fails its reads", [] { setenv("DEVSIM_CARD_FAULT", "read-fail", 1); },
       "Can't read binary file of bootloader!"},
      {"a card that delivers half", [] { setenv("DEVSIM_CARD_FAULT", "short-read", 1); },
       "Can't read binary file of bootloader!"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    ASSERT_NO_FATAL_FAILURE(MakeDevice());
    if (std::string(c.what) != "no image on the card") PutCard(PseudoRandom(10 * kData, 9));
    c.arrange();
    Bytes before = dev_->Image();
    ASSERT_NO_FATAL_FAILURE(RunUpdater());
    ExpectOneBox("Error", c.text);
    EXPECT_TRUE(before == dev_->Image());
    EXPECT_TRUE(BusIsFree());
    TearDown();
  }
}

// The updater opens the image for itself alone: while another program has
// it open, the updater cannot, and says so.
TEST_F(UpdateRunTest, AnImageOpenElsewhereIsNotRead) {
  ASSERT_NO_FATAL_FAILURE(MakeDevice());
  PutCard(PseudoRandom(10 * kData, 9));
  HANDLE other = CreateFileW(L"\\SDMMC Disk\\eboot.nb0", GENERIC_READ, FILE_SHARE_READ, NULL, OPEN_EXISTING,
                             FILE_ATTRIBUTE_NORMAL, NULL);
  ASSERT_NE(INVALID_HANDLE_VALUE, other);
  Bytes before = dev_->Image();
  ASSERT_NO_FATAL_FAILURE(RunUpdater());
  ExpectOneBox("Error", "Can't open binary file of bootloader!");
  EXPECT_TRUE(before == dev_->Image());
  CloseHandle(other);
}

// The chip's status is not read after an erase or a program: a block that did
// not erase or a page that did not program shows in the read-back of the
// sectors written into it, and the run ends as failed.
TEST_F(UpdateRunTest, ABlockOrPageThatDidNotTakeFailsTheWrite) {
  struct Case {
    const char* what;
    std::function<void(sim::NandConfig*)> fault;
  } cases[] = {
      {"a block that does not erase", [](sim::NandConfig* c) { c->eraseFails = {kAreaBlock}; }},
      {"a page that does not program",
       [](sim::NandConfig* c) {
         sim::ProgramFailFault f;
         f.sector = kAreaBlock * kSectorsPerBlock + 7;
         c->programFails = {f};
       }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    sim::NandConfig cfg = Chip(0xEC, 0x73);
    c.fault(&cfg);
    ASSERT_NO_FATAL_FAILURE(MakeDevice(cfg));
    PutCard(PseudoRandom(10 * kData, 9));
    Bytes before = dev_->Image();
    ASSERT_NO_FATAL_FAILURE(RunUpdater());
    ExpectOneBox("Error", "Can't write bootloader area!");
    ExpectOutsideUnchanged(before);
    EXPECT_TRUE(BusIsFree());
    TearDown();
  }
}

// A partial erase and a read disturb, as the update meets them. Its
// read-back compares the record exactly and must need no repair by the ECC:
// a bit the erase left at 0 fails the write, in a record or in the data
// (where the ECC would have hidden it, leaving the flash one bit off). A
// disturbance that comes with the read-back itself is seen by no one until
// the next read.
TEST_F(UpdateRunTest, APartialEraseOrAReadDisturbInTheArea) {
  const uint32_t sector4 = kAreaBlock * kSectorsPerBlock + 4;
  const uint32_t recordByte4 = kData + 4;  // 0xFC in the boot record
  struct Case {
    const char* what;
    const char* key;
    std::string value;
    const char* caption;
    const char* text;
    uint32_t byte;     // of sector 4 that ends one bit off
    uint8_t stored;  // as it is stored afterwards
  } cases[] = {
      {"a partial erase of a record bit", "fault.partial_erase", "2:4:516:2", "Error", "Can't write bootloader area!",
       recordByte4, 0xF8},
      {"a partial erase of a data bit", "fault.partial_erase", "2:4:100:3", "Error", "Can't write bootloader area!",
       100, 0xF7},
      {"a read disturb of a record bit with the read-back", "fault.read_disturb", std::to_string(sector4) + ":516:2:1",
       "Information", "Bootloader update finished! ", recordByte4, 0xF8},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    sim::NandConfig cfg = Chip(0xEC, 0x73);
    ASSERT_EQ(sim::KeyStatus::kApplied, sim::ApplyNandConfigKey(c.key, c.value, &cfg));
    ASSERT_NO_FATAL_FAILURE(MakeDevice(cfg));
    Bytes image = PseudoRandom(10 * kData, 9);
    image[4 * kData + 100] = 0xFF;  // the data bit is 1 in the image
    PutCard(image);
    Bytes before = dev_->Image();
    ASSERT_NO_FATAL_FAILURE(RunUpdater());
    ExpectOneBox(c.caption, c.text);
    ExpectOutsideUnchanged(before);
    EXPECT_EQ(c.stored, dev_->Image()[uint64_t(sector4) * kRawPage + c.byte]);
    EXPECT_TRUE(BusIsFree());
    TearDown();
  }
}

// Every wait on the hardware is bounded: a controller or DMA channel that
// never finishes one operation fails the run at that operation with the
// message of its step, the bus given back. A failure before the erase leaves
// the flash as it was; an erase that never completes stops the erase there,
// so the area's later block keeps the old boot loader and nothing is written.
TEST_F(UpdateRunTest, AnOperationThatNeverFinishesEndsTheRunAtItsStep) {
  struct Case {
    const char* what;
    std::function<void(sim::NandConfig*)> fault;
    const char* text;
    bool flashAsBefore;
    uint32_t maker = 0xEC;
    uint32_t imageSectors = 10;
  } cases[] = {
      {"the ID read's FIFO", [](sim::NandConfig* c) { c->fifoHang = 0; }, "Failed to initialize NANDFLASH driver!",
       true},
      {"the TOC page read's DMA", [](sim::NandConfig* c) { c->dmaHang = 0; }, "Can't locate bootloader area!", true},
      {"the TOC page read's event", [](sim::NandConfig* c) { c->eventHangCommand = 0x00, c->eventHangNth = 0; },
       "Can't locate bootloader area!", true},
      {"the first erase's ready event", [](sim::NandConfig* c) { c->eventHangCommand = 0xD0, c->eventHangNth = 0; },
       "Can't erase bootloader area!", false},
      {"the first page program's DMA", [](sim::NandConfig* c) { c->dmaHang = 1; }, "Can't write bootloader area!",
       false},
      {"the first read-back's drain", [](sim::NandConfig* c) { c->drainHang = 1; }, "Can't write bootloader area!",
       false},
      {"the first ECC program's FIFO", [](sim::NandConfig* c) { c->fifoHang = 2; }, "Can't write bootloader area!",
       false},
      {"the first program confirm's ready event",
       [](sim::NandConfig* c) { c->eventHangCommand = 0x10, c->eventHangNth = 0; }, "Can't write bootloader area!",
       false},
      // Maker 0xAD's parts are reset before each program: the data's, then the code's.
      {"the reset before the first data program",
       [](sim::NandConfig* c) { c->eventHangCommand = 0xFF, c->eventHangNth = 0; }, "Can't write bootloader area!",
       false, 0xAD},
      {"the reset before the first code program",
       [](sim::NandConfig* c) { c->eventHangCommand = 0xFF, c->eventHangNth = 1; }, "Can't write bootloader area!",
       false, 0xAD},
      {"the first erase of an empty image", [](sim::NandConfig* c) { c->eventHangCommand = 0xD0, c->eventHangNth = 0; },
       "Can't erase bootloader area!", false, 0xEC, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    sim::NandConfig cfg = Chip(c.maker, 0x73);
    c.fault(&cfg);
    ASSERT_NO_FATAL_FAILURE(MakeDevice(cfg));
    PutCard(PseudoRandom(c.imageSectors * kData, 9));
    Bytes before = dev_->Image();
    ASSERT_NO_FATAL_FAILURE(RunUpdater());
    ExpectOneBox("Error", c.text);
    ExpectOutsideUnchanged(before);
    EXPECT_TRUE(BusIsFree());
    if (c.flashAsBefore) EXPECT_TRUE(before == dev_->Image());
    if (std::string(c.text) == "Can't erase bootloader area!") {
      for (uint32_t s = (kAreaBlock + 1) * kSectorsPerBlock; s < (kAreaBlock + 2) * kSectorsPerBlock; ++s)
        ASSERT_EQ("", DiffBytes(Bytes(before.begin() + size_t(s) * kRawPage, before.begin() + size_t(s + 1) * kRawPage),
                                dev_->RawPage(s)))
            << "sector " << s << " of the area's second block";
      for (uint32_t s = kAreaBlock * kSectorsPerBlock; s < (kAreaBlock + 1) * kSectorsPerBlock; ++s)
        ASSERT_EQ("", DiffBytes(Bytes(kRawPage, 0xFF), dev_->RawPage(s))) << "sector " << s << " written";
    }
    TearDown();
  }
}

// A file of 4 GiB - 1 bytes has a size the card can tell (no error comes
// with it): it is measured against the area like any other, and refused.
TEST_F(UpdateRunTest, AnImageOf4GiBLess1IsMeasuredNotTakenAsUnreadable) {
  ASSERT_NO_FATAL_FAILURE(MakeDevice());
  PutCard(Bytes());
  std::filesystem::resize_file(CardPath(), 0xFFFFFFFFull);
  Bytes before = dev_->Image();
  ASSERT_NO_FATAL_FAILURE(RunUpdater());
  std::filesystem::resize_file(CardPath(), 0);
  ExpectOneBox("Error", "Can't locate bootloader area!");
  EXPECT_TRUE(before == dev_->Image());
}

// The Update button reaches the run through the dialog's message map; the
// application's map handles no command.
TEST_F(UpdateRunTest, TheUpdateButtonIsRoutedThroughTheDialogsMessageMap) {
  ASSERT_NO_FATAL_FAILURE(MakeDevice());
  CUpdaterDlg dlg;
  EXPECT_TRUE(dlg.OnCmdMsg(IDC_UPDATE, BN_CLICKED, NULL, NULL));
  ExpectOneBox("Error", "Can't open binary file of bootloader!");
  EXPECT_FALSE(theApp.OnCmdMsg(IDC_UPDATE, BN_CLICKED, NULL, NULL));
}

// A CPU that polls faster than the hardware works: each wait sees the
// hardware still busy for its first polls, and the update goes through all
// the same (the driver's waits are bounded in polls, not in one look).
TEST_F(UpdateRunTest, WaitsThatNeedSeveralPollsStillEnd) {
  sim::NandConfig cfg = Chip(0xAD, 0x73);
  cfg.pollsToReady = 3;
  ASSERT_NO_FATAL_FAILURE(MakeDevice(cfg));
  Bytes image = PseudoRandom(3 * kData, 17);
  PutCard(image);
  ASSERT_NO_FATAL_FAILURE(RunUpdater());
  ExpectOneBox("Information", "Bootloader update finished! ");
  ExpectArea(image);
}

// The update happens inside the dialog, and the program ends with it: it
// never goes on to a message loop, where with no window left it would wait
// for ever.
TEST_F(UpdateRunTest, TheProgramEndsWithTheDialogWithoutAMessageLoop) {
  ASSERT_NO_FATAL_FAILURE(MakeDevice());
  PutCard(PseudoRandom(2 * kData, 5));
  int loops = native::MessageLoopsRun();
  ASSERT_NO_FATAL_FAILURE(RunUpdater());
  ExpectOneBox("Information", "Bootloader update finished! ");
  EXPECT_EQ(loops, native::MessageLoopsRun());
}

// An empty image: the area is erased and the run is announced as done.
TEST_F(UpdateRunTest, AnEmptyImageLeavesAnErasedArea) {
  ASSERT_NO_FATAL_FAILURE(MakeDevice());
  PutCard(Bytes());
  ASSERT_NO_FATAL_FAILURE(RunUpdater());
  ExpectOneBox("Information", "Bootloader update finished! ");
  ExpectArea(Bytes());
}

// The bus lock over a whole update, as the kernel sees its mutexes change
// owner: each holding takes "_FLASH_MUTEX_" and then the pin mutex, and gives
// them back in the reverse order, so a system driver that holds the flash
// mutex and waits for the pins can never be kept waiting by us.
TEST_F(UpdateRunTest, EveryHoldingOfTheBusTakesFlashThenPinsAndGivesThemBackInReverse) {
  ASSERT_NO_FATAL_FAILURE(MakeDevice());
  PutCard(PseudoRandom(3 * kData, 23));
  native::TraceNamedMutexes(true);
  RunUpdater();
  std::vector<std::string> trace = native::NamedMutexTrace();
  native::TraceNamedMutexes(false);
  ExpectOneBox("Information", "Bootloader update finished! ");
  const std::vector<std::string> holding = {"take _FLASH_MUTEX_", "take PIN_MUX_CAM_NANDFLASH_MUTEX",
                                            "release PIN_MUX_CAM_NANDFLASH_MUTEX", "release _FLASH_MUTEX_"};
  // ID read, TOC probe and read, two erases, three sectors written and read back.
  ASSERT_GE(trace.size(), 8 * holding.size());
  ASSERT_EQ(0u, trace.size() % holding.size()) << ::testing::PrintToString(trace);
  for (size_t i = 0; i < trace.size(); ++i) EXPECT_EQ(holding[i % holding.size()], trace[i]) << "entry " << i;
}

// The chip operations of a small update, one by one: reads and the ID before
// the erase, then the area's erases, then per sector the data program, the
// ECC program at spare byte 8, the record program at spare byte 0 and the
// read-back, and nothing after. The order of the three programs is what a
// power loss shows: cut between them, a page with ECC and no record is a
// sector still to write, while a record without its ECC would read back as
// uncorrectable. Parts of maker 0xAD get a reset before each program.
std::string OpText(const sim::ChipOp& op) {
  char text[80];
  switch (op.command) {
    case sim::ChipCommand::kEraseConfirm:
      snprintf(text, sizeof(text), "erase block %u", op.row / kSectorsPerBlock);
      break;
    case sim::ChipCommand::kProgram:
      snprintf(text, sizeof(text), "program sector %u bytes %u-%u", op.row, op.column, op.column + op.bytes - 1);
      break;
    case sim::ChipCommand::kRead0:
    case sim::ChipCommand::kReadSpare:
      snprintf(text, sizeof(text), "read sector %u from byte %u", op.row, op.column);
      break;
    case sim::ChipCommand::kReset:
      snprintf(text, sizeof(text), "reset");
      break;
    default:
      snprintf(text, sizeof(text), "command 0x%02x", unsigned(op.command));
      break;
  }
  return text;
}

void Collect(const sim::ChipOp& op, void* context) { static_cast<std::vector<sim::ChipOp>*>(context)->push_back(op); }

TEST_F(UpdateRunTest, TheChipOperationsOfAnUpdateComeInTheirOrder) {
  for (uint32_t maker : {0xECu, 0xADu}) {
    SCOPED_TRACE(testing::Message() << "maker 0x" << std::hex << maker);
    ASSERT_NO_FATAL_FAILURE(MakeDevice(Chip(maker, 0x73)));
    PutCard(PseudoRandom(2 * kData + 100, 21));  // three sectors, the last one short
    std::vector<sim::ChipOp> ops;
    sim::SetChipOpObserver(Collect, &ops);
    RunUpdater();
    sim::SetChipOpObserver(nullptr, nullptr);
    ExpectOneBox("Information", "Bootloader update finished! ");

    std::vector<std::string> got;
    size_t firstErase = ops.size();
    for (size_t i = 0; i < ops.size(); ++i) {
      if (ops[i].command == sim::ChipCommand::kEraseConfirm && firstErase == ops.size()) firstErase = i;
      if (i < firstErase)
        EXPECT_TRUE(ops[i].command != sim::ChipCommand::kProgram) << "before the erase: " << OpText(ops[i]);
      else
        got.push_back(OpText(ops[i]));
      EXPECT_EQ(i + 1, ops[i].index) << "every operation is seen once, in order";
    }
    std::vector<std::string> want = {"erase block 2", "erase block 3"};
    uint32_t first = kAreaBlock * kSectorsPerBlock;
    for (uint32_t s = first; s < first + 3; ++s) {
      const char* programs[] = {"bytes 0-511", "bytes 520-527", "bytes 512-519"};
      for (const char* bytes : programs) {
        if (maker == 0xAD) want.push_back("reset");
        want.push_back("program sector " + std::to_string(s) + " " + bytes);
      }
      want.push_back("read sector " + std::to_string(s) + " from byte 0");
    }
    EXPECT_EQ(want, got);
    TearDown();
  }
}

}  // namespace
}  // namespace flashtest
