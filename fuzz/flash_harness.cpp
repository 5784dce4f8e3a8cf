#include <windows.h>
#include <afxwin.h>

#include "fuzz/flash_harness.h"

#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <filesystem>
#include <map>
#include <string>
#include <variant>
#include <vector>

#include "flash/nand_format.h"
#include "platform/debug_sink.h"
#include "platform/native/native.h"
#include "platform/native/native_soc.h"
#include "sim/device.h"
#include "sim/device_files.h"
#include "sim/soc_state.h"
#include "tests/ecc/ecc_reference.h"
#include "updater/kestrel.h"

namespace flashfuzz {
namespace {

// The 16 MiB small-page chip: 1024 blocks of 32 pages of 528 bytes.
constexpr uint32_t kBlocks = 1024;
constexpr uint32_t kPagesPerBlock = 32;
constexpr uint32_t kPages = kBlocks * kPagesPerBlock;
constexpr uint32_t kRaw = sim::kRawPageBytes;
constexpr uint32_t kData = sim::kPageDataBytes;
constexpr uint64_t kImageBytes = uint64_t(kPages) * kRaw;
constexpr uint32_t kProbeFirst = TOC_SCAN_FIRST_BLOCK, kProbeLast = TOC_SCAN_LAST_BLOCK;
constexpr uint32_t kTocSectorsAt = TOC_EBOOT_SECTORS_OFFSET, kTocFirstBlockAt = TOC_EBOOT_BLOCK_OFFSET;
// The boot spare record as its little-endian bytes.
const uint8_t kBootRecord[SPARE_RECORD_BYTES] = {
    uint8_t(BOOT_SPARE_RESERVED1),       uint8_t(BOOT_SPARE_RESERVED1 >> 8), uint8_t(BOOT_SPARE_RESERVED1 >> 16),
    uint8_t(BOOT_SPARE_RESERVED1 >> 24), BOOT_SPARE_OEM_RESERVED,            BOOT_SPARE_BAD_BLOCK,
    uint8_t(BOOT_SPARE_RESERVED2),       uint8_t(BOOT_SPARE_RESERVED2 >> 8)};
const uint8_t kSignature[4] = {TOC_SIGNATURE_0, TOC_SIGNATURE_1, TOC_SIGNATURE_2, TOC_SIGNATURE_3};
// The codes of the two data halves, as raw page offsets.
constexpr uint32_t kEccAt[2] = {kData + SPARE_ECC0_OFFSET, kData + SPARE_ECC1_OFFSET};

using Page = std::array<uint8_t, kRaw>;

enum class ChipKind { kSmall, kLargePage, kUnknown };
struct Chip {
  uint32_t maker, device;
  ChipKind kind;
};

Chip ChipFor(uint8_t v) {
  switch (v % 8) {
    case 1:
      return {0x98, 0x73, ChipKind::kSmall};
    case 2:
      return {0xAD, 0x73, ChipKind::kSmall};
    case 3:
      return {0xEC, 0xDA, ChipKind::kLargePage};
    case 4:
      return {0xEC, 0x11, ChipKind::kUnknown};
    case 5:
      return {0x01, 0x73, ChipKind::kUnknown};
    default:
      return {0xEC, 0x73, ChipKind::kSmall};
  }
}

struct Harness {
  std::vector<uint8_t> image;  // all 0xFF between runs
  std::string root;            // the device folder: "SDMMC Disk" lives here
  std::string cardFile;
  HANDLE hFlashMutex = NULL;
  HANDLE hPinMutex = NULL;
};

Harness* g_h = nullptr;

void RemoveRoot() {
  if (!g_h || g_h->root.empty()) return;
  std::error_code ec;
  std::filesystem::remove_all(g_h->root, ec);
}

uint32_t Le32(const uint8_t* p) {
  return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}
void PutLe32(uint8_t* p, uint32_t v) {
  for (int i = 0; i < 4; ++i) p[i] = uint8_t(v >> (8 * i));
}

// A page as the updater writes it: data, boot spare record, both codes, the
// two unused spare bytes erased.
Page WrittenPage(const uint8_t* data) {
  Page p;
  p.fill(0xFF);
  memcpy(p.data(), data, kData);
  memcpy(p.data() + kData, kBootRecord, sizeof(kBootRecord));
  for (int h = 0; h < 2; ++h) eccref::Compute(data + h * 256, p.data() + kEccAt[h]);
  return p;
}

uint32_t SectorsFor(uint64_t bytes) { return uint32_t((bytes + kData - 1) / kData); }

// --- what the case plants and configures ---------------------------------------------------

struct Built {
  Chip chip;
  std::map<uint32_t, Page> planted;  // pages that are not erased before the run
  sim::NandConfig cfg;
  std::vector<uint8_t> image;
  bool anyFlip = false, anyProgramFail = false, anyEraseFail = false;
  std::vector<sim::ReadFlipFault> flips;  // as resolved to pages
};

Page& PlantedPage(Built* b, uint32_t page) {
  auto it = b->planted.find(page);
  if (it == b->planted.end()) {
    Page erased;
    erased.fill(0xFF);
    it = b->planted.emplace(page, erased).first;
  }
  return it->second;
}

uint32_t AreaPage(const FlashCase& c, uint32_t index) {
  return uint32_t((uint64_t(c.firstBlock) * kPagesPerBlock + index) % kPages);
}

Built Build(const FlashCase& c) {
  Built b;
  b.chip = ChipFor(c.chip);
  b.image = c.Image();

  // An old boot loader at the start of the area, written as the updater
  // writes one; only where the area lies on the chip.
  for (uint32_t i = 0; i < c.oldPages; ++i) {
    uint64_t page = uint64_t(c.firstBlock) * kPagesPerBlock + i;
    if (page >= kPages) break;
    uint8_t data[kData];
    for (uint32_t k = 0; k < kData; ++k) data[k] = uint8_t(0xA5 ^ k ^ (i * 17));
    b.planted[uint32_t(page)] = WrittenPage(data);
  }
  for (const RecordEntry& e : c.records) {
    uint32_t first = uint32_t(e.block) * kPagesPerBlock;
    switch (e.kind) {
      case RecordKind::kBootRecord:
        memcpy(PlantedPage(&b, first).data() + kData, kBootRecord, sizeof(kBootRecord));
        break;
      case RecordKind::kBadBlock:
        PlantedPage(&b, first)[sim::kBadBlockMarkerByte] = 0x00;
        PlantedPage(&b, first + 1)[sim::kBadBlockMarkerByte] = 0x00;
        break;
      case RecordKind::kRaw:
        memcpy(PlantedPage(&b, first).data() + kData, e.bytes.data(), 8);
        break;
    }
  }
  if (c.HasTocBlock()) {
    uint8_t toc[kData];
    if (c.tocFlags & kTocRaw) {
      memcpy(toc, c.rawToc.data(), kData);
    } else {
      memset(toc, 0xFF, sizeof(toc));
      memcpy(toc, kSignature, 4);
      if (c.tocFlags & kTocBadSignature) toc[(c.tocFlags >> 1) & 3] ^= 0x20;
      PutLe32(toc + kTocSectorsAt, c.sectorCount);
      PutLe32(toc + kTocFirstBlockAt, c.firstBlock);
    }
    Page p = WrittenPage(toc);
    if (c.tocFlags & kTocEccErased)
      for (uint32_t at : kEccAt) memset(p.data() + at, 0xFF, 3);
    b.planted[uint32_t(c.tocBlock) * kPagesPerBlock] = p;
  }

  b.cfg.maker = b.chip.maker;
  b.cfg.device = b.chip.device;
  for (const FlipEntry& f : c.flips) {
    sim::ReadFlipFault r;
    r.byte = f.byte;
    r.bit = f.bit;
    r.count = f.count;
    switch (f.target) {
      case FlipTarget::kTocPage:
        r.sector = (c.HasTocBlock() ? c.tocBlock : 1) * kPagesPerBlock + f.page % kPagesPerBlock;
        break;
      case FlipTarget::kAreaPage:
        r.sector = AreaPage(c, f.page % 64);
        break;
      case FlipTarget::kProbeRecord:
        r.sector = (f.page % kProbeLast + 1) * kPagesPerBlock;
        r.byte = kData + f.byte % 8;
        break;
      case FlipTarget::kAnyPage:
        r.sector = f.page % kPages;
        break;
    }
    b.flips.push_back(r);
    b.cfg.readFlips.push_back(r);
    b.anyFlip = true;
  }
  for (const FailureEntry& f : c.failures) {
    if (f.kind == FailureKind::kProgram) {
      sim::ProgramFailFault p;
      p.sector = AreaPage(c, f.index % 64);
      b.cfg.programFails.push_back(p);
      b.anyProgramFail = true;
    } else {
      b.cfg.eraseFails.push_back(uint32_t((uint64_t(c.firstBlock) + f.index % 4) % kBlocks));
      b.anyEraseFail = true;
    }
  }
  return b;
}

// --- the TOC as the flash holds it -------------------------------------------------------------

// What the locator must find, judged from the planted pages. certain: the bus
// delivers the TOC as stored, or a read of its page fails; not certain when a
// flip lands on a probed spare record (no code covers it), when more than two
// flips meet one code's half of the TOC page (the code corrects one and
// detects two), or when the stored codes do not match the TOC's data (a
// "correction" may change it).
struct TocView {
  bool certain = true;
  bool found = false;
  uint32_t tocBlock = 0;
  bool signature = false;
  uint32_t first = 0, count = 0;
  bool valid = false;
  bool pageFlipped = false;  // a flip on the TOC page may make its read fail
};

TocView ViewToc(const FlashCase& c, const Built& b) {
  TocView v;
  for (const sim::ReadFlipFault& f : b.flips)
    if (f.byte >= kData && f.byte < kData + 8 && f.sector % kPagesPerBlock == 0 &&
        f.sector / kPagesPerBlock >= kProbeFirst && f.sector / kPagesPerBlock <= kProbeLast)
      v.certain = false;
  for (uint32_t block = kProbeFirst; block <= kProbeLast && !v.found; ++block) {
    auto it = b.planted.find(block * kPagesPerBlock);
    if (it != b.planted.end() && memcmp(it->second.data() + kData, kBootRecord, sizeof(kBootRecord)) == 0) {
      v.found = true;
      v.tocBlock = block;
    }
  }
  if (!v.found) return v;
  const Page& toc = b.planted.at(v.tocBlock * kPagesPerBlock);
  int perHalf[2] = {0, 0};
  for (const sim::ReadFlipFault& f : b.flips) {
    if (f.sector != v.tocBlock * kPagesPerBlock) continue;
    for (int h = 0; h < 2; ++h) {
      bool inData = f.byte >= uint32_t(h) * 256 && f.byte < uint32_t(h + 1) * 256;
      bool inCode = f.byte >= kEccAt[h] && f.byte < kEccAt[h] + 3;
      if (inData || inCode) {
        ++perHalf[h];
        v.pageFlipped = true;
      }
    }
  }
  if (perHalf[0] > 2 || perHalf[1] > 2) v.certain = false;
  for (int h = 0; h < 2; ++h) {
    uint8_t code[3];
    eccref::Compute(toc.data() + h * 256, code);
    if (memcmp(code, toc.data() + kEccAt[h], 3) != 0) v.certain = false;
  }
  v.signature = memcmp(toc.data(), kSignature, 4) == 0;
  v.first = Le32(toc.data() + kTocFirstBlockAt);
  v.count = Le32(toc.data() + kTocSectorsAt);
  uint64_t blocks = (uint64_t(v.count) + kPagesPerBlock - 1) / kPagesPerBlock;
  bool onChip = uint64_t(v.first) + blocks <= kBlocks;
  v.valid = v.signature && onChip && v.tocBlock < v.first && v.count >= SectorsFor(c.imageSize);
  return v;
}

// --- what the run recorded ---------------------------------------------------------------------

struct Seen {
  std::vector<runproto::MessageBoxCall> boxes;
  std::vector<std::string> debug;
  std::vector<uint64_t> progress;
  bool announced = false;
  uint32_t first = 0, count = 0;
  sim::DeviceRecord record;
};

struct KnownMessage {
  Message message;
  const char* caption;
  const char* text;
};
const KnownMessage kMessages[] = {
    {Message::kOpen, "Error", "Can't open binary file of bootloader!"},
    {Message::kInit, "Error", "Failed to initialize NANDFLASH driver!"},
    {Message::kLocate, "Error", "Can't locate bootloader area!"},
    {Message::kRead, "Error", "Can't read binary file of bootloader!"},
    {Message::kErase, "Error", "Can't erase bootloader area!"},
    {Message::kWrite, "Error", "Can't write bootloader area!"},
    {Message::kDone, "Information", "Bootloader update finished! "},
};

Message Classify(const runproto::MessageBoxCall& box) {
  for (const KnownMessage& k : kMessages)
    if (box.caption == k.caption && box.text == k.text && box.type == MB_OK) return k.message;
  return Message::kNone;
}

Seen Collect() {
  Seen s;
  static const char kAnnounce[] = "NandLocateTocAndEBoot: Got EBOOT first block ";
  for (const runproto::Event& e : native::Events()) {
    if (const auto* box = std::get_if<runproto::MessageBoxCall>(&e)) s.boxes.push_back(*box);
    if (const auto* p = std::get_if<runproto::Progress>(&e)) s.progress.push_back(p->pos);
    if (const auto* d = std::get_if<runproto::DebugLine>(&e)) {
      s.debug.push_back(d->line);
      if (d->line.compare(0, sizeof(kAnnounce) - 1, kAnnounce) == 0) {
        unsigned first = 0;
        int count = 0;
        if (sscanf(d->line.c_str() + sizeof(kAnnounce) - 1, "%x; Sector Size %d", &first, &count) == 2) {
          s.announced = true;
          s.first = first;
          s.count = uint32_t(count);
        }
      }
    }
  }
  sim::SocReadRecord(&s.record);
  return s;
}

// --- reporting a finding -----------------------------------------------------------------------

std::string Hex(const uint8_t* p, size_t n) {
  std::string out;
  char buf[4];
  for (size_t i = 0; i < n; ++i) {
    snprintf(buf, sizeof(buf), "%02x", p[i]);
    out += (i ? " " : "") + std::string(buf);
  }
  return out;
}

void PrintCase(const FlashCase& c, const Built& b, const TocView& v) {
  fprintf(stderr,
          "case: chip %02x:%02x, TOC block %u (flags 0x%02x), area block %u, %u sectors, image %u bytes, card %d,"
          " %u old pages\n",
          b.chip.maker, b.chip.device, c.tocBlock, c.tocFlags, c.firstBlock, c.sectorCount, c.imageSize, int(c.card),
          c.oldPages);
  for (const RecordEntry& e : c.records)
    fprintf(stderr, "  record: block %u kind %d bytes %s\n", e.block, int(e.kind), Hex(e.bytes.data(), 8).c_str());
  for (const sim::ReadFlipFault& f : b.flips)
    fprintf(stderr, "  read flip: sector %u byte %u bit %u count %u\n", f.sector, f.byte, f.bit, f.count);
  for (const sim::ProgramFailFault& f : b.cfg.programFails) fprintf(stderr, "  program fails: sector %u\n", f.sector);
  for (uint32_t blk : b.cfg.eraseFails) fprintf(stderr, "  erase fails: block %u\n", blk);
  fprintf(stderr, "TOC on the flash: %s, found %d at block %u, signature %d, first block %u, %u sectors, valid %d\n",
          v.certain ? "certain" : "uncertain", v.found, v.tocBlock, v.signature, v.first, v.count, v.valid);
}

void PrintSeen(const Seen& s) {
  fprintf(stderr, "run: %zu message boxes\n", s.boxes.size());
  for (const runproto::MessageBoxCall& m : s.boxes)
    fprintf(stderr, "  box: caption \"%s\" text \"%s\" type %llu\n", m.caption.c_str(), m.text.c_str(),
            (unsigned long long)m.type);
  size_t from = s.debug.size() > 40 ? s.debug.size() - 40 : 0;
  if (from) fprintf(stderr, "  (%zu debug lines before these)\n", from);
  for (size_t i = from; i < s.debug.size(); ++i) fprintf(stderr, "  debug: %s", s.debug[i].c_str());
  fprintf(stderr, "  progress:");
  for (uint64_t p : s.progress) fprintf(stderr, " %llu", (unsigned long long)p);
  fprintf(stderr, "\nprotocol checker: %llu violations\n", (unsigned long long)s.record.violationCount);
  for (const std::string& v : s.record.violations) fprintf(stderr, "  %s\n", v.c_str());
}

struct Context {
  const FlashCase* c;
  const Built* b;
  const TocView* v;
  const Seen* s;
};

[[noreturn]] void Finding(const Context& ctx, const char* fmt, ...) {
  fprintf(stderr, "\n==== flash_fuzz finding: ");
  va_list ap;
  va_start(ap, fmt);
  vfprintf(stderr, fmt, ap);
  va_end(ap);
  fprintf(stderr, "\n");
  PrintCase(*ctx.c, *ctx.b, *ctx.v);
  if (ctx.s) PrintSeen(*ctx.s);
  fflush(stderr);
  abort();
}

// --- the checks --------------------------------------------------------------------------------

uint32_t Bit(Message m) { return 1u << int(m); }

// The messages the case allows, and the one it demands when it fixes the
// outcome (kNone: several are possible).
void ExpectedMessages(const FlashCase& c, const Built& b, const TocView& v, uint32_t* allowed, Message* exact) {
  *exact = Message::kNone;
  bool cardFails = (c.card == Card::kReadFails || c.card == Card::kShortRead) && c.imageSize > 0;
  bool mediaFaults = b.anyFlip || b.anyProgramFail || b.anyEraseFail;
  if (c.card == Card::kMissing) {
    *exact = Message::kOpen;
  } else if (b.chip.kind == ChipKind::kUnknown) {
    *exact = Message::kInit;
  } else if (b.chip.kind == ChipKind::kLargePage || (v.certain && !v.valid)) {
    *exact = Message::kLocate;
  } else if (v.certain && !v.pageFlipped && cardFails) {
    *exact = Message::kRead;
  } else if (v.certain && !mediaFaults && !cardFails) {
    *exact = Message::kDone;
  }
  if (*exact != Message::kNone) {
    *allowed = Bit(*exact);
    return;
  }
  *allowed = 0;
  if (!v.certain || v.pageFlipped) *allowed |= Bit(Message::kLocate);
  if (cardFails)
    *allowed |= Bit(Message::kRead);
  else
    *allowed |= Bit(Message::kDone);
  if (b.anyEraseFail) *allowed |= Bit(Message::kErase);
  if (mediaFaults) *allowed |= Bit(Message::kWrite);
}

bool PageEquals(const uint8_t* got, const Page& want) { return memcmp(got, want.data(), kRaw) == 0; }

Page ExpectedBefore(const Built& b, uint32_t page) {
  auto it = b.planted.find(page);
  if (it != b.planted.end()) return it->second;
  Page erased;
  erased.fill(0xFF);
  return erased;
}

void CheckAreaHoldsImage(const Context& ctx, uint64_t firstPage, uint64_t pages) {
  const std::vector<uint8_t>& image = ctx.b->image;
  uint32_t sectors = SectorsFor(image.size());
  if (sectors > pages)
    Finding(ctx, "success, but the area has %llu sectors for %u", (unsigned long long)pages, sectors);
  for (uint32_t i = 0; i < pages; ++i) {
    uint64_t page = firstPage + i;
    const uint8_t* got = g_h->image.data() + page * kRaw;
    Page want;
    if (i < sectors) {
      uint8_t chunk[kData];
      memset(chunk, 0xFF, sizeof(chunk));
      size_t off = size_t(i) * kData;
      memcpy(chunk, image.data() + off, std::min<size_t>(kData, image.size() - off));
      want = WrittenPage(chunk);
    } else {
      // After the image the area stays as the erase left it, unless the erase
      // of that block was made to fail.
      uint32_t block = uint32_t(page / kPagesPerBlock);
      const std::vector<uint32_t>& ef = ctx.b->cfg.eraseFails;
      if (std::find(ef.begin(), ef.end(), block) != ef.end()) continue;
      want.fill(0xFF);
    }
    if (!PageEquals(got, want)) {
      uint32_t at = 0;
      while (at < kRaw && got[at] == want[at]) ++at;
      Finding(ctx, "success, but sector %llu (index %u of the area) differs from byte %u: got %s, want %s",
              (unsigned long long)page, i, at, Hex(got + at, std::min<uint32_t>(8, kRaw - at)).c_str(),
              Hex(want.data() + at, std::min<uint32_t>(8, kRaw - at)).c_str());
    }
  }
}

}  // namespace

const char* MessageName(Message m) {
  for (const KnownMessage& k : kMessages)
    if (k.message == m) return k.text;
  return "(no message)";
}

void SetUpHarness() {
  if (g_h) return;
  g_h = new Harness;
  g_h->image.assign(size_t(kImageBytes), 0xFF);
  const char* tmp = getenv("TMPDIR");
  std::string pattern = std::string(tmp && *tmp ? tmp : "/tmp") + "/flash_fuzz.XXXXXX";
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
  Built b = Build(c);
  TocView v = ViewToc(c, b);
  Context ctx = {&c, &b, &v, nullptr};

  for (const auto& [page, raw] : b.planted) memcpy(h.image.data() + uint64_t(page) * kRaw, raw.data(), kRaw);
  if (!native::AttachMemoryDevice(b.cfg, h.image.data(), h.image.size()))
    Finding(ctx, "harness: the device in memory was refused (faults: %zu flips)", b.cfg.readFlips.size());

  if (c.card == Card::kMissing) {
    unlink(h.cardFile.c_str());
  } else {
    FILE* f = fopen(h.cardFile.c_str(), "wb");
    if (!f || fwrite(b.image.data(), 1, b.image.size(), f) != b.image.size() || fclose(f) != 0)
      Finding(ctx, "harness: cannot write %s", h.cardFile.c_str());
  }
  if (c.card == Card::kReadFails)
    setenv("DEVSIM_CARD_FAULT", "read-fail", 1);
  else if (c.card == Card::kShortRead)
    setenv("DEVSIM_CARD_FAULT", "short-read", 1);
  else
    unsetenv("DEVSIM_CARD_FAULT");

  // The updater runs in this thread: nothing here ends a process (no power
  // loss, no kill), and a second thread would be woken at every bus release
  // (a third of the time went into those switches).
  native::ClearEvents();
  AfxWinMain(NULL, NULL, const_cast<LPTSTR>(L""), SW_SHOW);
  Seen s = Collect();
  ctx.s = &s;

  // The run itself.
  if (s.record.violationCount != 0) Finding(ctx, "the protocol checker recorded violations");
  if (native::WideUnitsBeyond16Bits() != 0) Finding(ctx, "a wide string held units beyond 16 bits");
  for (const wchar_t* name : {FLASH_MUTEX_NAME, PIN_MUTEX_NAME})
    if (native::CallingThreadOwns(name)) Finding(ctx, "the updater ended holding a bus mutex");

  // The message.
  if (s.boxes.size() != 1) Finding(ctx, "%zu message boxes, expected exactly one", s.boxes.size());
  Message got = Classify(s.boxes[0]);
  if (got == Message::kNone) Finding(ctx, "a message box that is none of the updater's");
  uint32_t allowed = 0;
  Message exact = Message::kNone;
  ExpectedMessages(c, b, v, &allowed, &exact);
  if (!(allowed & Bit(got))) {
    if (exact != Message::kNone) Finding(ctx, "\"%s\", expected \"%s\"", MessageName(got), MessageName(exact));
    Finding(ctx, "\"%s\" has no cause in this case", MessageName(got));
  }

  // The area the run may change: the TOC's on the flash; when the flash does
  // not tell it for certain, the one the updater announced.
  if (v.certain && s.announced && (!v.found || !v.signature || s.first != v.first || s.count != v.count))
    Finding(ctx, "the updater announced area block %u, %u sectors; the flash holds a different TOC", s.first, s.count);
  bool pastLocate = got == Message::kErase || got == Message::kWrite || got == Message::kDone;
  uint64_t areaFirstPage = 0, areaPages = 0;
  if (pastLocate) {
    if (!s.announced) Finding(ctx, "the updater went past the locator without announcing an area");
    uint32_t first = v.certain ? v.first : s.first, count = v.certain ? v.count : s.count;
    uint64_t blocks = (uint64_t(count) + kPagesPerBlock - 1) / kPagesPerBlock;
    if (uint64_t(first) + blocks > kBlocks)
      Finding(ctx, "the updater went past the locator with an area beyond the chip (block %u, %u sectors)", first,
              count);
    areaFirstPage = uint64_t(first) * kPagesPerBlock;
    areaPages = blocks * kPagesPerBlock;
  }

  // Pages that may differ from the flash before the run: those planted and
  // those the chip programmed (an erase alone turns only planted pages into
  // something else, since every other page is erased already).
  const sim::SocState* st = native::AttachedState();
  std::vector<uint32_t> touched;
  if (paranoid) {
    for (uint32_t p = 0; p < kPages; ++p) touched.push_back(p);
  } else {
    for (const auto& kv : b.planted) touched.push_back(kv.first);
    for (uint32_t p = 0; p < kPages; ++p)
      if ((st->partial[p][0] || st->partial[p][1]) && !b.planted.count(p)) touched.push_back(p);
  }
  RunResult result;
  result.message = got;
  for (uint32_t p : touched) {
    const uint8_t* now = h.image.data() + uint64_t(p) * kRaw;
    Page before = ExpectedBefore(b, p);
    if (PageEquals(now, before)) continue;
    ++result.changedPages;
    // What the quick check rests on: a page that was erased before the run
    // can only change through a program, which the chip counts.
    if (!b.planted.count(p) && !st->partial[p][0] && !st->partial[p][1])
      Finding(ctx, "harness: page %u changed without a counted program", p);
    bool inArea = p >= areaFirstPage && p - areaFirstPage < areaPages;
    if (!inArea) {
      uint32_t at = 0;
      while (at < kRaw && now[at] == before[at]) ++at;
      Finding(ctx, "page %u (block %u) changed outside the boot area from byte %u: %s, was %s", p, p / kPagesPerBlock,
              at, Hex(now + at, std::min<uint32_t>(8, kRaw - at)).c_str(),
              Hex(before.data() + at, std::min<uint32_t>(8, kRaw - at)).c_str());
    }
  }

  if (got == Message::kDone) {
    CheckAreaHoldsImage(ctx, areaFirstPage, areaPages);
    if (!b.image.empty() && (s.progress.empty() || s.progress.back() != 100))
      Finding(ctx, "success, but the progress bar did not end at 100");
    for (size_t i = 1; i < s.progress.size(); ++i)
      if (s.progress[i] < s.progress[i - 1]) Finding(ctx, "the progress bar went back");
  }

  // Back to an erased chip for the next case, and the record emptied now
  // (memory held from one run to the next looks like a leak to libFuzzer).
  native::ClearEvents();
  for (uint32_t p : touched) memset(h.image.data() + uint64_t(p) * kRaw, 0xFF, kRaw);
  if (paranoid) {
    for (uint64_t i = 0; i < h.image.size(); ++i)
      if (h.image[i] != 0xFF) Finding(ctx, "harness: byte %llu not restored", (unsigned long long)i);
  }
  return result;
}

}  // namespace flashfuzz
