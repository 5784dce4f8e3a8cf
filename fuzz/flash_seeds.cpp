// The seed corpus of flash_fuzz (fuzz/corpus/flash): one small input per way
// an update can go, each run here through the same harness and checks as in
// the fuzzer, with the message it is meant to reach.
//
//   flash_fuzz_seeds --check DIR   runs every seed; each must reach its message
//                                  and DIR must hold exactly its encoding
//   flash_fuzz_seeds --write DIR   runs every seed and writes DIR/NAME
#include <stdio.h>
#include <string.h>

#include <fstream>
#include <functional>
#include <iterator>
#include <string>
#include <vector>

#include "fuzz/flash_case.h"
#include "fuzz/flash_harness.h"

namespace {

using flashfuzz::Card;
using flashfuzz::FailureEntry;
using flashfuzz::FailureKind;
using flashfuzz::FlashCase;
using flashfuzz::FlipEntry;
using flashfuzz::FlipTarget;
using flashfuzz::Message;
using flashfuzz::RecordEntry;
using flashfuzz::RecordKind;

struct Seed {
  const char* name;
  Message message;
  std::function<void(FlashCase*)> shape;  // changes to the good update below
};

// A good update: TOC in block 3, a two-block area at block 10, a 5000-byte image.
FlashCase GoodUpdate() {
  FlashCase c;
  c.tocBlock = 3;
  c.firstBlock = 10;
  c.sectorCount = 64;
  c.imageSize = 5000;
  const char* text = "EBOOT image ";
  c.imageSource.assign(text, text + strlen(text));
  return c;
}

RecordEntry Record(uint16_t block, RecordKind kind) {
  RecordEntry e;
  e.block = block;
  e.kind = kind;
  return e;
}

FlipEntry Flip(FlipTarget target, uint16_t page, uint16_t byte, uint8_t bit) {
  FlipEntry f;
  f.target = target;
  f.page = page;
  f.byte = byte;
  f.bit = bit;
  return f;
}

// One failure of the case: a program of the area's page `index`, an erase of
// its block `index` (the chip reports neither), or failure point `index`.
FailureEntry Failure(FailureKind kind, uint16_t index) {
  FailureEntry f;
  f.kind = kind;
  f.index = index;
  return f;
}

// Failure point `index` of the run fails.
FailureEntry Point(uint16_t index) { return Failure(FailureKind::kPoint, index); }

const std::vector<Seed>& Seeds() {
  static const std::vector<Seed> seeds = {
      {"update-ok", Message::kDone, [](FlashCase*) {}},
      {"update-ok-maker-ad", Message::kDone, [](FlashCase* c) { c->chip = 2; }},
      {"update-over-old-loader", Message::kDone,
       [](FlashCase* c) {
         c->oldPages = 48;
         c->imageSize = 3000;
       }},
      {"update-empty-image", Message::kDone, [](FlashCase* c) { c->imageSize = 0; }},
      {"bad-block-in-area", Message::kDone,
       [](FlashCase* c) { c->records.push_back(Record(11, RecordKind::kBadBlock)); }},
      {"toc-flip-corrected", Message::kDone,
       [](FlashCase* c) { c->flips.push_back(Flip(FlipTarget::kTocPage, 0, 60, 2)); }},
      {"no-toc", Message::kLocate, [](FlashCase* c) { c->tocBlock = 0; }},
      {"toc-bad-signature", Message::kLocate, [](FlashCase* c) { c->tocFlags = flashfuzz::kTocBadSignature | 2 << 1; }},
      {"decoy-before-toc", Message::kLocate,
       [](FlashCase* c) {
         c->tocBlock = 5;
         c->records.push_back(Record(2, RecordKind::kBootRecord));
       }},
      {"image-too-big", Message::kLocate,
       [](FlashCase* c) {
         c->sectorCount = 16;
         c->imageSize = 9000;
       }},
      {"area-beyond-chip", Message::kLocate,
       [](FlashCase* c) {
         c->firstBlock = 1020;
         c->sectorCount = 256;
       }},
      {"area-wraps-32-bits", Message::kLocate,
       [](FlashCase* c) {
         c->fieldMode = flashfuzz::kRawFirstBlock | flashfuzz::kRawSectorCount;
         c->firstBlock = 0xFFFFFFF0u;
         c->sectorCount = 1024;
       }},
      {"toc-two-flips", Message::kLocate,
       [](FlashCase* c) {
         c->flips.push_back(Flip(FlipTarget::kTocPage, 0, 60, 2));
         c->flips.push_back(Flip(FlipTarget::kTocPage, 0, 176, 5));
       }},
      {"toc-record-flip", Message::kLocate,
       [](FlashCase* c) { c->flips.push_back(Flip(FlipTarget::kProbeRecord, 2, 4, 0)); }},
      {"large-page-chip", Message::kLocate, [](FlashCase* c) { c->chip = 3; }},
      {"card-missing", Message::kOpen, [](FlashCase* c) { c->card = Card::kMissing; }},
      {"card-read-fails", Message::kRead, [](FlashCase* c) { c->card = Card::kReadFails; }},
      {"unknown-chip", Message::kInit, [](FlashCase* c) { c->chip = 4; }},
      {"program-fails", Message::kWrite,
       [](FlashCase* c) { c->failures.push_back(Failure(FailureKind::kProgram, 3)); }},
      {"erase-fails-over-old-loader", Message::kWrite,
       [](FlashCase* c) {
         c->oldPages = 8;
         c->failures.push_back(Failure(FailureKind::kErase, 0));
       }},
      // The same over an old page one bit away: the image's first sector
      // differs from the old loader's page under it (0xA5 ^ index) in one bit
      // of each half (bytes 125 and 503), so the sector the failed erase
      // leaves reads back equal to the image once the page code has repaired
      // it. Found by a long run, when such a read-back was taken as written.
      {"erase-fails-one-bit-corrected", Message::kWrite,
       [](FlashCase* c) {
         c->oldPages = 1;
         c->failures.push_back(Failure(FailureKind::kErase, 0));
         c->imageSource.assign(125, 0x00);
         c->imageSource.push_back(0x54);
       }},
      // Failure points of this update, numbered as they come: 0 opens the card
      // file, 2 maps the first register window, 19 waits for the bus to read
      // a probed block before the TOC's (the locator passes over it), 36 waits
      // for the bus to erase the first block, 38 is the driver's wait for that
      // erase (a hang: it fails only with FLASH_FUZZ_HANGS=1, and the update
      // otherwise finishes).
      {"card-open-fails", Message::kOpen, [](FlashCase* c) { c->failures.push_back(Point(0)); }},
      {"window-map-fails", Message::kInit, [](FlashCase* c) { c->failures.push_back(Point(2)); }},
      {"probe-bus-wait-fails", Message::kDone, [](FlashCase* c) { c->failures.push_back(Point(19)); }},
      {"erase-bus-wait-fails", Message::kErase, [](FlashCase* c) { c->failures.push_back(Point(36)); }},
      {"erase-wait-passes-without-hangs", Message::kDone, [](FlashCase* c) { c->failures.push_back(Point(38)); }},
  };
  return seeds;
}

bool ReadFile(const std::string& path, std::vector<uint8_t>* out) {
  std::ifstream f(path, std::ios::binary);
  if (!f) return false;
  out->assign(std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>());
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 3 || (strcmp(argv[1], "--check") != 0 && strcmp(argv[1], "--write") != 0)) {
    fprintf(stderr, "usage: %s --check|--write DIR\n", argv[0]);
    return 2;
  }
  bool write = strcmp(argv[1], "--write") == 0;
  std::string dir = argv[2];
  flashfuzz::SetUpHarness();
  int bad = 0;
  for (const Seed& seed : Seeds()) {
    FlashCase c = GoodUpdate();
    seed.shape(&c);
    std::vector<uint8_t> bytes = flashfuzz::EncodeFlashCase(c);
    // The seed as the fuzzer will see it: decoded from its bytes.
    flashfuzz::FlashCase decoded = flashfuzz::DecodeFlashCase(bytes.data(), bytes.size());
    flashfuzz::RunResult r = flashfuzz::RunFlashCase(decoded, true);
    bool ok = r.message == seed.message;
    printf("%-28s %4zu bytes  %-40s %5u pages changed%s\n", seed.name, bytes.size(), flashfuzz::MessageName(r.message),
           r.changedPages, ok ? "" : "  <-- meant to reach another message");
    if (!ok) ++bad;
    std::string path = dir + "/" + seed.name;
    if (write) {
      std::ofstream f(path, std::ios::binary | std::ios::trunc);
      f.write(reinterpret_cast<const char*>(bytes.data()), std::streamsize(bytes.size()));
      if (!f) {
        fprintf(stderr, "cannot write %s\n", path.c_str());
        ++bad;
      }
    } else {
      std::vector<uint8_t> onDisk;
      if (!ReadFile(path, &onDisk) || onDisk != bytes) {
        fprintf(stderr, "%s: missing or not this seed's encoding (run --write)\n", path.c_str());
        ++bad;
      }
    }
  }
  printf("%zu passed, %d failed\n", Seeds().size() - size_t(bad), bad);
  return bad ? 1 : 0;
}
