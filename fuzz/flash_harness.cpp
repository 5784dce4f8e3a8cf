// The runner (flash_harness.h): puts the chip the builder made
// (flash_builder.h) into the device in memory and the image on the card, runs
// the updater's own program in this thread, records what it did, asks the
// oracle (flash_oracle.h) whether that is what the case allows, compares the
// chip afterwards with what was planted, and erases it again for the next
// case.
//
// The chip's raw image is allocated once and kept for the life of the
// process; after each case only the pages the case planted or the chip
// programmed are compared and erased again (every page when paranoid, which
// is slower).
#include <windows.h>
#include <afxwin.h>

#include "fuzz/flash_harness.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <string>
#include <variant>
#include <vector>

#include "flash/nand_format.h"
#include "fuzz/flash_builder.h"
#include "fuzz/flash_finding.h"
#include "fuzz/flash_oracle.h"
#include "platform/debug_sink.h"
#include "platform/native/native.h"
#include "platform/native/native_soc.h"
#include "sim/device.h"
#include "sim/soc_state.h"
#include "updater/kestrel.h"

namespace flashfuzz {
namespace {

struct Harness {
  std::vector<uint8_t> image;  // all 0xFF between runs
  std::string root;            // the device folder: "SDMMC Disk" lives here
  std::string cardFile;
  // The card file as the last case wrote it: the next case with the same
  // image leaves it alone unless something changed it since.
  std::vector<uint8_t> cardBytes;
  struct stat cardStat = {};
  bool cardValid = false;
  HANDLE hFlashMutex = NULL;
  HANDLE hPinMutex = NULL;
  // The kinds of failure point a case may fail: the calls into the kernel;
  // the driver's waits on the hardware only with FLASH_FUZZ_HANGS=1, since a
  // wait that never ends runs the driver's whole bounded poll (a million
  // reads, some 16 ms, as long as thirty ordinary cases).
  uint32_t failKinds = 0;
};

Harness* g_h = nullptr;

void RemoveRoot() {
  if (!g_h || g_h->root.empty()) return;
  std::error_code ec;
  std::filesystem::remove_all(g_h->root, ec);
}

// Whether the card file holds `image` as the harness wrote it: the same
// bytes, and the file not written, replaced or resized since.
bool CardHolds(const Harness& h, const std::vector<uint8_t>& image) {
  struct stat now;
  return h.cardValid && h.cardBytes == image && stat(h.cardFile.c_str(), &now) == 0 &&
         now.st_ino == h.cardStat.st_ino && now.st_size == h.cardStat.st_size &&
         now.st_mtim.tv_sec == h.cardStat.st_mtim.tv_sec && now.st_mtim.tv_nsec == h.cardStat.st_mtim.tv_nsec;
}

// The planted pages into the chip, the chip with its faults into the device
// in memory, the image onto the card (or no card file), the card's fault.
void PrepareDevice(const Evidence& ev, Harness* h) {
  const FlashCase& c = *ev.c;
  const BuiltFlash& b = *ev.b;
  for (const auto& [page, raw] : b.planted) memcpy(h->image.data() + uint64_t(page) * kRaw, raw.data(), kRaw);
  if (!native::AttachMemoryDevice(b.cfg, h->image.data(), h->image.size()))
    Finding(ev, "harness: the device in memory was refused (faults: %zu flips)", b.cfg.readFlips.size());

  if (c.card == Card::kMissing) {
    unlink(h->cardFile.c_str());
    h->cardValid = false;
  } else if (!CardHolds(*h, b.image)) {
    FILE* f = fopen(h->cardFile.c_str(), "wb");
    if (!f || fwrite(b.image.data(), 1, b.image.size(), f) != b.image.size() || fclose(f) != 0)
      Finding(ev, "harness: cannot write %s", h->cardFile.c_str());
    h->cardBytes = b.image;
    h->cardValid = stat(h->cardFile.c_str(), &h->cardStat) == 0;
  }
  if (c.card == Card::kReadFails)
    setenv("DEVSIM_CARD_FAULT", "read-fail", 1);
  else if (c.card == Card::kShortRead)
    setenv("DEVSIM_CARD_FAULT", "short-read", 1);
  else
    unsetenv("DEVSIM_CARD_FAULT");
}

// What the run recorded in the platform's event log, and the protocol
// checker's record; the area the locator announced is read from its debug
// line.
Observed Observe() {
  Observed s;
  static const char kAnnounce[] = "NandLocateTocAndEBoot: Got EBOOT first block ";
  std::vector<runproto::Event> events = native::TakeEvents();
  s.debug.reserve(events.size());
  for (runproto::Event& e : events) {
    if (const auto* box = std::get_if<runproto::MessageBoxCall>(&e)) s.boxes.push_back(*box);
    if (const auto* p = std::get_if<runproto::Progress>(&e)) s.progress.push_back(p->pos);
    if (auto* d = std::get_if<runproto::DebugLine>(&e)) {
      if (d->line.compare(0, sizeof(kAnnounce) - 1, kAnnounce) == 0) {
        unsigned first = 0;
        int count = 0;
        if (sscanf(d->line.c_str() + sizeof(kAnnounce) - 1, "%x; Sector Size %d", &first, &count) == 2) {
          s.announced = true;
          s.first = first;
          s.count = uint32_t(count);
        }
      }
      s.debug.push_back(std::move(d->line));
    }
  }
  sim::SocReadRecord(&s.record);
  return s;
}

// What holds of every run whatever the case: the protocol checker recorded
// nothing, wide strings stayed within 16 bits, and the updater gave both bus
// mutexes back.
void CheckRunItself(const Evidence& ev) {
  if (ev.s->record.violationCount != 0) Finding(ev, "the protocol checker recorded violations");
  if (native::WideUnitsBeyond16Bits() != 0) Finding(ev, "a wide string held units beyond 16 bits");
  for (const wchar_t* name : {FLASH_MUTEX_NAME, PIN_MUTEX_NAME})
    if (native::CallingThreadOwns(name)) Finding(ev, "the updater ended holding a bus mutex");
}

// Pages that may differ from the flash before the run: those planted and
// those the chip programmed (an erase alone turns only planted pages into
// something else, since every other page is erased already).
constexpr uint32_t kScanPages = 256;
static_assert(kPages % kScanPages == 0, "the scan below takes whole groups of pages");

std::vector<uint32_t> TouchedPages(const BuiltFlash& b, const sim::SocState* st, bool paranoid) {
  std::vector<uint32_t> touched;
  if (paranoid) {
    for (uint32_t p = 0; p < kPages; ++p) touched.push_back(p);
  } else {
    for (const auto& kv : b.planted) touched.push_back(kv.first);
    // The counters of 256 pages at a time: most of the chip is never programmed.
    static const uint8_t kZero[kScanPages][2] = {};
    for (uint32_t p = 0; p < kPages; p += kScanPages) {
      if (memcmp(st->partial[p], kZero, sizeof(kZero)) == 0) continue;
      for (uint32_t q = p; q < p + kScanPages; ++q)
        if ((st->partial[q][0] || st->partial[q][1]) && !b.planted.count(q)) touched.push_back(q);
    }
  }
  return touched;
}

// Compares the touched pages with the flash before the run; the oracle judges
// each that changed. Returns how many changed.
uint32_t CompareWithBefore(const Evidence& ev, const Harness& h, const sim::SocState* st,
                           const std::vector<uint32_t>& touched, const Area& area) {
  const BuiltFlash& b = *ev.b;
  uint32_t changed = 0;
  for (uint32_t p : touched) {
    const uint8_t* now = h.image.data() + uint64_t(p) * kRaw;
    Page before = PageBefore(b, p);
    if (PageEquals(now, before)) continue;
    ++changed;
    // What the quick check rests on: a page that was erased before the run
    // can only change through a program, which the chip counts.
    if (!b.planted.count(p) && !st->partial[p][0] && !st->partial[p][1])
      Finding(ev, "harness: page %u changed without a counted program", p);
    CheckChangedPage(ev, p, now, before, area);
  }
  return changed;
}

// Back to an erased chip for the next case, and the record emptied now
// (memory held from one run to the next looks like a leak to libFuzzer).
void Restore(const Evidence& ev, Harness* h, const std::vector<uint32_t>& touched, bool paranoid) {
  native::ClearEvents();
  for (uint32_t p : touched) memset(h->image.data() + uint64_t(p) * kRaw, 0xFF, kRaw);
  if (paranoid) {
    for (uint64_t i = 0; i < h->image.size(); ++i)
      if (h->image[i] != 0xFF) Finding(ev, "harness: byte %llu not restored", (unsigned long long)i);
  }
}

}  // namespace

void SetUpHarness() {
  if (g_h) return;
  g_h = new Harness;
  g_h->image.assign(size_t(kImageBytes), 0xFF);
  // The device folder on a memory file system where there is one: the card is
  // written and opened once a run, which on a disk file system took a tenth of
  // the run (creating, truncating and releasing the file).
  const char* tmp = getenv("TMPDIR");
  std::string base = access("/dev/shm", W_OK) == 0 ? "/dev/shm" : tmp && *tmp ? tmp : "/tmp";
  std::string pattern = base + "/flash_fuzz.XXXXXX";
  std::vector<char> buf(pattern.begin(), pattern.end());
  buf.push_back('\0');
  if (!mkdtemp(buf.data())) {
    perror("flash_fuzz: mkdtemp");
    abort();
  }
  g_h->root = buf.data();
  std::filesystem::create_directories(g_h->root + "/SDMMC Disk");
  g_h->cardFile = g_h->root + "/SDMMC Disk/EBOOT.NB0";
  atexit(RemoveRoot);
  native::SetDeviceRoot(g_h->root);
  // The system's flash driver is running: its mutex exists before the
  // updater starts, and so does the camera side's pin mutex. The harness's
  // handles keep both for the life of the process.
  g_h->hFlashMutex = CreateMutexW(NULL, FALSE, FLASH_MUTEX_NAME);
  g_h->hPinMutex = CreateMutexW(NULL, FALSE, PIN_MUTEX_NAME);
  if (!g_h->hFlashMutex || !g_h->hPinMutex) {
    fprintf(stderr, "flash_fuzz: cannot create the bus mutexes\n");
    abort();
  }
  // The updater's calls into the kernel and its driver's waits on the hardware
  // are failure points of this thread: a case may fail one.
  native::CountFailurePointsHere(true);
  const char* hangs = getenv("FLASH_FUZZ_HANGS");
  for (int k = 0; k < native::kFailureKinds; ++k)
    if (k != int(native::FailureKind::kHardwareWait) || (hangs && *hangs == '1')) g_h->failKinds |= 1u << k;
  const char* echo = getenv("FLASH_FUZZ_ECHO");
  PlatformSetDebugEcho(echo && *echo == '1');
  // The application object lives in the updater's library; naming it links it.
  if (AfxGetApp() != &theApp) {
    fprintf(stderr, "flash_fuzz: the updater's application object is not the framework's\n");
    abort();
  }
}

RunResult RunFlashCase(const FlashCase& c, bool paranoid) {
  SetUpHarness();
  Harness& h = *g_h;
  BuiltFlash b = BuildFlash(c);
  TocView v = ViewToc(c, b);
  Evidence ev = {&c, &b, &v, nullptr};
  PrepareDevice(ev, &h);

  // The updater runs in this thread: nothing here ends a process (no power
  // loss, no kill), and a second thread would be woken at every bus release
  // (a third of the time went into those switches).
  native::ClearEvents();
  native::ArmFailurePointOf(b.failPoint, h.failKinds, false);
  AfxWinMain(NULL, NULL, const_cast<LPTSTR>(L""), SW_SHOW);
  Observed s = Observe();
  s.failStruck = native::FailurePointStruck();
  ev.s = &s;

  CheckRunItself(ev);
  RunResult result;
  result.message = CheckMessage(ev);
  Area area = AreaTheRunMayChange(ev, result.message);
  const sim::SocState* st = native::AttachedState();
  std::vector<uint32_t> touched = TouchedPages(b, st, paranoid);
  result.changedPages = CompareWithBefore(ev, h, st, touched, area);
  CheckOutcome(ev, result.message, h.image.data(), area);
  Restore(ev, &h, touched, paranoid);
  return result;
}

}  // namespace flashfuzz
