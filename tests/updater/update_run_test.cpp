// The updater's dialog doing its one run, in this process: the real dialog,
// message boxes and progress bar under Wine, a card mapped as a drive, and a
// recording driver. Each run is read back as one journal: the messages sent
// to the dialog's windows, the driver calls, the boxes the user saw (and what
// held at that moment), in the order they happened.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>

#include "tests/updater/card_drive.h"
#include "tests/updater/card_read.h"
#include "tests/updater/fake_driver.h"
#include "platform/debug_sink.h"
#include "tests/updater/ui_observer.h"
#include "updater/kestrel.h"
#include "updater/kestrel_dlg.h"

namespace {

using Bytes = std::vector<uint8_t>;

const char kFinished[] = "Information|Bootloader update finished! ";
const char kCantOpen[] = "Error|Can't open binary file of bootloader!";
const char kInitFailed[] = "Error|Failed to initialize NANDFLASH driver!";
const char kCantLocate[] = "Error|Can't locate bootloader area!";
const char kCantErase[] = "Error|Can't erase bootloader area!";
const char kCantWrite[] = "Error|Can't write bootloader area!";
const char kCantRead[] = "Error|Can't read binary file of bootloader!";

Bytes Pattern(size_t n, uint32_t seed) {
  Bytes b(n);
  uint32_t x = seed * 2654435761u + 1;
  for (auto& v : b) {
    x ^= x << 13;
    x ^= x >> 17;
    x ^= x << 5;
    v = uint8_t(x);
  }
  return b;
}

// The dialog with its OnOK observed, to see that OnInitDialog ends the
// dialog through the virtual call.
class ObservedDlg : public CUpdaterDlg {
 protected:
  void OnOK() override {
    fake::Log("OnOK");
    CUpdaterDlg::OnOK();
  }
};

bool Centred(HWND h) {
  RECT rc, area;
  GetWindowRect(h, &rc);
  SystemParametersInfoW(SPI_GETWORKAREA, 0, &area, 0);
  int dx = (rc.left + rc.right) - (area.left + area.right);
  int dy = (rc.top + rc.bottom) - (area.top + area.bottom);
  return std::abs(dx) <= 2 && std::abs(dy) <= 2;
}

std::string Text(HWND h) {
  wchar_t t[128] = {0};
  GetWindowTextW(h, t, 128);
  return PlatformUtf8(t);
}

// What the user and the driver saw while a box was up.
void NoteTheMoment(const SeenBox& box) {
  std::string owner = box.owner ? Text(box.owner) : "none";
  if (box.owner && IsWindowVisible(box.owner)) owner += " visible";
  if (box.owner && Centred(box.owner)) owner += " centred";
  fake::Log(std::string("  owner ") + owner + (fake::ImageLocked() ? ", image locked" : ", image free") +
            ", drivers up " + std::to_string(fake::DriversUp()));
}

std::string Dump(const std::vector<std::string>& journal) {
  std::string out;
  for (const auto& e : journal) out += "    " + e + "\n";
  return out;
}

struct Outcome {
  INT_PTR result = 0;
  std::vector<std::string> journal;  // without the progress positions
  std::vector<unsigned> positions;
  std::vector<SeenBox> boxes;
  bool lockedAfter = true;
  int driversUpAfter = -1;
};

class UpdateRun : public ::testing::Test {
 protected:
  void SetUp() override {
    fake::Reset();
    SetCardRead(CardRead::Normal);
    ASSERT_TRUE(card_.Ok()) << card_.Error();
  }
  void TearDown() override { SetCardRead(CardRead::Normal); }

  Outcome RunDialog() {
    Outcome r;
    {
      MessageRecorder recorder;
      BoxAnswerer answerer(GetCurrentThreadId(), NoteTheMoment);
      ObservedDlg dlg;
      r.result = dlg.DoModal();
      r.boxes = answerer.Boxes();
    }
    SetCardRead(CardRead::Normal);
    r.lockedAfter = fake::ImageLocked();
    r.driversUpAfter = fake::DriversUp();
    HICON icon = LoadIconW(GetModuleHandleW(NULL), MAKEINTRESOURCEW(IDI_UPDATER));
    std::string iconId = std::to_string((unsigned long long)icon);
    for (std::string e : fake::Journal()) {
      if (e.compare(0, 4, "pos ") == 0) {
        r.positions.push_back((unsigned)std::stoul(e.substr(4)));
        if (r.positions.size() > 1) continue;  // the first one stays in the journal: its place matters
      }
      if (e.compare(0, 5, "icon ") == 0 && icon != NULL && e.size() > iconId.size() &&
          e.compare(e.size() - iconId.size(), iconId.size(), iconId) == 0)
        e = e.substr(0, e.size() - iconId.size()) + "IDI_UPDATER";
      r.journal.push_back(e);
    }
    return r;
  }

  CardDrive card_;
};

// The steps of OnInitDialog before the run.
std::vector<std::string> Opening() { return {"icon big IDI_UPDATER", "icon small IDI_UPDATER", "pos 0"}; }

std::vector<std::string> Closing(const std::string& box, bool imageOpen, bool driverUp) {
  std::vector<std::string> j = {"box " + box, std::string("  owner Kestrel visible centred, ") +
                                                  (imageOpen ? "image locked" : "image free") + ", drivers up " +
                                                  (driverUp ? "1" : "0")};
  if (driverUp) j.push_back("deinit image-locked");
  j.push_back("OnOK");
  return j;
}

std::vector<std::string> Cat(std::vector<std::string> a, const std::vector<std::string>& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

void ExpectEndedCleanly(const Outcome& r) {
  EXPECT_EQ(IDOK, r.result) << "the dialog ends with IDOK whatever the outcome";
  EXPECT_FALSE(r.lockedAfter) << "the image is closed after the run";
  EXPECT_EQ(0, r.driversUpAfter) << "the driver is down after the run";
  ASSERT_EQ(1u, r.boxes.size());
  EXPECT_EQ(std::vector<std::string>{"OK"}, r.boxes[0].buttons) << "MB_OK: one OK button";
  EXPECT_FALSE(r.boxes[0].icon) << "MB_OK: no icon";
}

// One run of the dialog: the card's image, the driver's script, how the card
// reads, and the journal and message it must give.
struct RunCase {
  const char* name;
  bool image;
  size_t size;
  fake::Script script;
  CardRead read;
  std::vector<std::string> run;  // the journal between the opening and the closing
  const char* box;
  bool driverUp;
};

// Runs that stop before the area is known: no image, no driver, no TOC.
std::vector<RunCase> OpeningFailureCases() {
  fake::Script healthy;
  fake::Script noInit = healthy, noToc = healthy;
  noInit.initOk = false;
  noToc.tocFound = false;
  return {
      {"no image on the card", false, 0, healthy, CardRead::Normal, {}, kCantOpen, false},
      {"driver does not come up", true, 1000, noInit, CardRead::Normal, {"init image-locked"}, kInitFailed, false},
      {"no TOC", true, 1000, noToc, CardRead::Normal, {"init image-locked", "locate 1000"}, kCantLocate, true},
  };
}

// An image one byte larger than the area, and one that fills it.
std::vector<RunCase> AreaSizeCases() {
  fake::Script small;
  small.areaSectors = 2;
  return {
      {"image larger than the area",
       true,
       1025,
       small,
       CardRead::Normal,
       {"init image-locked", "locate 1025"},
       kCantLocate,
       true},
      {"image filling the area",
       true,
       1024,
       small,
       CardRead::Normal,
       {"init image-locked", "locate 1024", "erase", "write 0", "write 1"},
       kFinished,
       true},
  };
}

// The card's read, the erase or a sector's write failing.
std::vector<RunCase> ReadEraseWriteFailureCases() {
  fake::Script healthy;
  fake::Script noErase = healthy, badWrite = healthy;
  noErase.eraseOk = false;
  badWrite.failWriteAt = 1;
  return {
      {"card read fails", true, 3000, healthy, CardRead::Fail, {"init image-locked", "locate 3000"}, kCantRead, true},
      {"card delivers half",
       true,
       3000,
       healthy,
       CardRead::Short,
       {"init image-locked", "locate 3000"},
       kCantRead,
       true},
      {"erase fails",
       true,
       1000,
       noErase,
       CardRead::Normal,
       {"init image-locked", "locate 1000", "erase"},
       kCantErase,
       true},
      {"second sector write fails",
       true,
       1536,
       badWrite,
       CardRead::Normal,
       {"init image-locked", "locate 1536", "erase", "write 0", "write 1"},
       kCantWrite,
       true},
  };
}

// Updates that complete.
std::vector<RunCase> CompletedCases() {
  fake::Script healthy;
  return {
      {"empty image", true, 0, healthy, CardRead::Normal, {"init image-locked", "locate 0", "erase"}, kFinished, true},
      {"1000 bytes",
       true,
       1000,
       healthy,
       CardRead::Normal,
       {"init image-locked", "locate 1000", "erase", "write 0", "write 1"},
       kFinished,
       true},
  };
}

TEST_F(UpdateRun, EveryOutcomeShowsItsMessageThenDeinitialisesThenCloses) {
  std::vector<RunCase> cases;
  for (const std::vector<RunCase>& group :
       {OpeningFailureCases(), AreaSizeCases(), ReadEraseWriteFailureCases(), CompletedCases()})
    cases.insert(cases.end(), group.begin(), group.end());
  for (const RunCase& c : cases) {
    SCOPED_TRACE(c.name);
    fake::Reset();
    fake::TheScript() = c.script;
    if (c.image)
      card_.PutImage(Pattern(c.size, 3));
    else
      card_.RemoveImage();
    SetCardRead(c.read);
    Outcome r = RunDialog();
    std::vector<std::string> expected = Cat(Cat(Opening(), c.run), Closing(c.box, c.image, c.driverUp));
    EXPECT_EQ(expected, r.journal) << "got:\n" << Dump(r.journal) << "expected:\n" << Dump(expected);
    ExpectEndedCleanly(r);
  }
}

TEST_F(UpdateRun, SectorsCarryTheImageAndAShortLastOneIsPaddedWithErasedBytes) {
  for (size_t size :
       {size_t(1), size_t(100), size_t(511), size_t(512), size_t(1000), size_t(512 * 5), size_t(512 * 5 + 17)}) {
    SCOPED_TRACE(size);
    fake::Reset();
    Bytes image = Pattern(size, (uint32_t)size);
    card_.PutImage(image);
    Outcome r = RunDialog();
    ExpectEndedCleanly(r);
    const auto& sectors = fake::WrittenSectors();
    size_t count = (size + 511) / 512;
    ASSERT_EQ(count, sectors.size());
    for (size_t i = 0; i < count; ++i) {
      ASSERT_EQ(1u, sectors.count((uint32_t)i)) << "sector " << i;
      const Bytes& s = sectors.at((uint32_t)i);
      size_t n = std::min<size_t>(512, size - i * 512);
      EXPECT_EQ(0, memcmp(s.data(), image.data() + i * 512, n)) << "sector " << i;
      for (size_t b = n; b < 512; ++b)
        if (s[b] != 0xFF) {
          ADD_FAILURE() << "sector " << i << " byte " << b << " is 0x" << std::hex << int(s[b]) << ", not 0xFF";
          break;
        }
    }
  }
}

TEST_F(UpdateRun, ProgressFollowsTheBytesWritten) {
  struct Case {
    size_t size;
    std::vector<unsigned> positions;
  } cases[] = {
      {0, {0}}, {1000, {0, 51, 100}}, {512, {0, 100}}, {512 * 3, {0, 33, 66, 100}}, {1537, {0, 33, 66, 99, 100}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.size);
    fake::Reset();
    card_.PutImage(Pattern(c.size, 9));
    Outcome r = RunDialog();
    EXPECT_EQ(c.positions, r.positions);
  }
}

// Above 42,949,672 bytes, done * 100 no longer fits 32 bits; the positions
// must still be the true percentages, rising to 100.
TEST_F(UpdateRun, ProgressOfAnImageTooLargeFor32BitPercentages) {
  const uint64_t size = 45000000;
  fake::TheScript().areaSectors = (uint32_t)((size + 511) / 512);
  card_.PutImageOfSize(size);
  Outcome r = RunDialog();
  ExpectEndedCleanly(r);
  std::vector<unsigned> expected = {0};
  for (uint64_t done = 512;; done += 512) {
    uint64_t d = std::min(done, size);
    expected.push_back(unsigned(d * 100 / size));
    if (d == size) break;
  }
  ASSERT_EQ(expected.size(), r.positions.size());
  for (size_t i = 0; i < expected.size(); ++i)
    if (expected[i] != r.positions[i]) {
      FAIL() << "after chunk " << i << ": position " << r.positions[i] << ", expected " << expected[i];
    }
}

TEST_F(UpdateRun, TheUpdateButtonStartsARunAndNothingElseDoes) {
  card_.RemoveImage();
  BoxAnswerer answerer(GetCurrentThreadId());
  CUpdaterDlg dlg;
  struct Case {
    UINT id;
    int code;
    BOOL handled;
  } cases[] = {
      {IDC_UPDATE, BN_CLICKED, TRUE},
      {IDC_UPDATE, BN_DOUBLECLICKED, FALSE},
      {IDC_PROGRESS, BN_CLICKED, FALSE},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << c.id << "/" << c.code);
    fake::ClearJournal();
    EXPECT_EQ(c.handled, dlg.OnCmdMsg(c.id, c.code, NULL, NULL));
    auto j = fake::Journal();
    bool ran = std::find(j.begin(), j.end(), std::string("box ") + kCantOpen) != j.end();
    EXPECT_EQ(c.handled != FALSE, ran) << Dump(j);
  }
}

TEST_F(UpdateRun, TheApplicationRunsTheDialogOnceAndDoesNotStayInTheLoop) {
  card_.PutImage(Pattern(700, 1));
  EXPECT_EQ(&theApp, AfxGetApp());
  BOOL stay;
  {
    BoxAnswerer answerer(GetCurrentThreadId());
    stay = theApp.InitInstance();
  }
  EXPECT_FALSE(stay) << "InitInstance returns FALSE so the program ends";
  EXPECT_EQ(nullptr, theApp.m_pMainWnd) << "the dialog, gone, is no longer the main window";
  auto j = fake::Journal();
  EXPECT_EQ(1, std::count(j.begin(), j.end(), std::string("box ") + kFinished)) << Dump(j);
  EXPECT_EQ(1, std::count(j.begin(), j.end(), std::string("init image-locked"))) << Dump(j);
  // The destroyed main window asked the loop that will not run to end.
  MSG msg;
  EXPECT_TRUE(PeekMessageW(&msg, NULL, WM_QUIT, WM_QUIT, PM_REMOVE));
}

}  // namespace
