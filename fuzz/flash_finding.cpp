// Prints a finding with its evidence and aborts (flash_finding.h).
#include "fuzz/flash_finding.h"

#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>

namespace flashfuzz {
namespace {

void PrintCase(const FlashCase& c, const BuiltFlash& b, const TocView& v) {
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
  if (b.failPoint >= 0) fprintf(stderr, "  failure point %lld fails\n", (long long)b.failPoint);
  fprintf(stderr, "TOC on the flash: %s, found %d at block %u, signature %d, first block %u, %u sectors, valid %d\n",
          v.certain ? "certain" : "uncertain", v.found, v.tocBlock, v.signature, v.first, v.count, v.valid);
}

void PrintObserved(const Observed& s) {
  fprintf(stderr, "run: %zu message boxes%s\n", s.boxes.size(), s.failStruck ? ", its failure point came and failed" : "");
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

}  // namespace

std::string Hex(const uint8_t* p, size_t n) {
  std::string out;
  char buf[4];
  for (size_t i = 0; i < n; ++i) {
    snprintf(buf, sizeof(buf), "%02x", p[i]);
    out += (i ? " " : "") + std::string(buf);
  }
  return out;
}

void Finding(const Evidence& ev, const char* fmt, ...) {
  fprintf(stderr, "\n==== flash_fuzz finding: ");
  va_list ap;
  va_start(ap, fmt);
  vfprintf(stderr, fmt, ap);
  va_end(ap);
  fprintf(stderr, "\n");
  PrintCase(*ev.c, *ev.b, *ev.v);
  if (ev.s) PrintObserved(*ev.s);
  fflush(stderr);
  abort();
}

}  // namespace flashfuzz
