#include "fuzz/flash_case.h"

#include <string.h>

#include <algorithm>

namespace flashfuzz {
namespace {

// Reads the input front to back; past its end every byte is 0.
class Reader {
 public:
  Reader(const uint8_t* data, size_t size) : data_(data), size_(size) {}
  uint8_t U8() { return pos_ < size_ ? data_[pos_++] : 0; }
  uint16_t U16() {
    uint16_t lo = U8();
    return uint16_t(lo | (uint16_t(U8()) << 8));
  }
  uint32_t U32() {
    uint32_t lo = U16();
    return lo | (uint32_t(U16()) << 16);
  }
  std::vector<uint8_t> Rest() {
    std::vector<uint8_t> out;
    if (pos_ < size_) out.assign(data_ + pos_, data_ + size_);
    pos_ = size_;
    return out;
  }

 private:
  const uint8_t* data_;
  size_t size_;
  size_t pos_ = 0;
};

class Writer {
 public:
  void U8(uint32_t v) { out_.push_back(uint8_t(v)); }
  void U16(uint32_t v) {
    U8(v);
    U8(v >> 8);
  }
  void U32(uint32_t v) {
    U16(v);
    U16(v >> 16);
  }
  void Bytes(const uint8_t* p, size_t n) { out_.insert(out_.end(), p, p + n); }
  std::vector<uint8_t> Take() { return std::move(out_); }

 private:
  std::vector<uint8_t> out_;
};

}  // namespace

std::vector<uint8_t> FlashCase::Image() const {
  std::vector<uint8_t> image(imageSize);
  if (image.empty()) return image;
  if (imageSource.empty()) {
    // The pattern made once, for the longest image.
    static const std::vector<uint8_t> pattern = [] {
      std::vector<uint8_t> p(kMaxImageBytes);
      for (size_t i = 0; i < p.size(); ++i) p[i] = uint8_t(i * 31 + (i >> 9));
      return p;
    }();
    memcpy(image.data(), pattern.data(), image.size());
    return image;
  }
  // The source repeated: copies of what is already there, doubling each time.
  size_t have = std::min(image.size(), imageSource.size());
  memcpy(image.data(), imageSource.data(), have);
  while (have < image.size()) {
    size_t n = std::min(have, image.size() - have);
    memcpy(image.data() + have, image.data(), n);
    have += n;
  }
  return image;
}

FlashCase DecodeFlashCase(const uint8_t* data, size_t size) {
  Reader r(data, size);
  FlashCase c;
  c.tocBlock = r.U8();
  c.tocFlags = r.U8();
  c.fieldMode = r.U8();
  c.chip = r.U8() % 8;
  uint32_t first = r.U32();
  uint32_t count = r.U32();
  c.firstBlock = (c.fieldMode & kRawFirstBlock) ? first : first % 1040;
  c.sectorCount = (c.fieldMode & kRawSectorCount) ? count : count % 2048;
  c.imageSize = uint16_t(r.U16() % (kMaxImageBytes + 1));
  c.card = Card(r.U8() % 4);
  c.oldPages = uint8_t(r.U8() % (kMaxOldPages + 1));
  uint32_t records = r.U8() % (kMaxRecords + 1);
  uint32_t flips = r.U8() % (kMaxFlips + 1);
  uint32_t failures = r.U8() % (kMaxFailures + 1);
  if (c.tocFlags & kTocRaw)
    for (uint8_t& b : c.rawToc) b = r.U8();
  for (uint32_t i = 0; i < records; ++i) {
    RecordEntry e;
    e.block = uint16_t(r.U16() % 1024);
    e.kind = RecordKind(r.U8() % 3);
    for (uint8_t& b : e.bytes) b = r.U8();
    c.records.push_back(e);
  }
  for (uint32_t i = 0; i < flips; ++i) {
    FlipEntry f;
    f.target = FlipTarget(r.U8() % 4);
    f.page = r.U16();
    f.byte = uint16_t(r.U16() % 528);
    uint8_t bits = r.U8();
    f.bit = bits & 7;
    f.count = bits >> 3;
    c.flips.push_back(f);
  }
  for (uint32_t i = 0; i < failures; ++i) {
    FailureEntry f;
    f.kind = FailureKind(r.U8() % kFailureKinds);
    f.index = r.U16();
    c.failures.push_back(f);
  }
  c.imageSource = r.Rest();
  return c;
}

std::vector<uint8_t> EncodeFlashCase(const FlashCase& c) {
  Writer w;
  w.U8(c.tocBlock);
  w.U8(c.tocFlags);
  w.U8(c.fieldMode);
  w.U8(c.chip);
  w.U32(c.firstBlock);
  w.U32(c.sectorCount);
  w.U16(c.imageSize);
  w.U8(uint8_t(c.card));
  w.U8(c.oldPages);
  w.U8(uint8_t(c.records.size()));
  w.U8(uint8_t(c.flips.size()));
  w.U8(uint8_t(c.failures.size()));
  if (c.tocFlags & kTocRaw) w.Bytes(c.rawToc.data(), c.rawToc.size());
  for (const RecordEntry& e : c.records) {
    w.U16(e.block);
    w.U8(uint8_t(e.kind));
    w.Bytes(e.bytes.data(), e.bytes.size());
  }
  for (const FlipEntry& f : c.flips) {
    w.U8(uint8_t(f.target));
    w.U16(f.page);
    w.U16(f.byte);
    w.U8(uint32_t(f.bit) | (uint32_t(f.count) << 3));
  }
  for (const FailureEntry& f : c.failures) {
    w.U8(uint8_t(f.kind));
    w.U16(f.index);
  }
  w.Bytes(c.imageSource.data(), c.imageSource.size());
  return w.Take();
}

}  // namespace flashfuzz
