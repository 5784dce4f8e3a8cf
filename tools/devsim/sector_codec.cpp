// The sector codec: the record's eight spare bytes, a sector's raw page as the
// driver programs it, and a sector read back through the ECC with what the
// code did to each half. The ECC itself is the device's (ecc/ecc.h), so a
// sector the tool builds or judges is exactly what the driver would.
#include "tools/devsim/sector_codec.h"

#include <cstdio>
#include <cstring>

#include "ecc/ecc.h"

namespace devsim {

void SectorInfo::Encode(uint8_t* out) const {
  PutLe32(out, dwReserved1);
  out[SPARE_OEM_RESERVED_OFFSET] = bOEMReserved;
  out[SPARE_BAD_BLOCK_OFFSET] = bBadBlock;
  out[6] = uint8_t(wReserved2);
  out[7] = uint8_t(wReserved2 >> 8);
}

SectorInfo SectorInfo::Decode(const uint8_t* in) {
  SectorInfo s;
  s.dwReserved1 = GetLe32(in);
  s.bOEMReserved = in[SPARE_OEM_RESERVED_OFFSET];
  s.bBadBlock = in[SPARE_BAD_BLOCK_OFFSET];
  s.wReserved2 = uint16_t(in[6] | (in[7] << 8));
  return s;
}

bool SectorInfo::operator==(const SectorInfo& o) const {
  return dwReserved1 == o.dwReserved1 && bOEMReserved == o.bOEMReserved && bBadBlock == o.bBadBlock &&
         wReserved2 == o.wReserved2;
}

SectorInfo BootSpareRecord() {
  SectorInfo s;
  s.dwReserved1 = BOOT_SPARE_RESERVED1;
  s.bOEMReserved = BOOT_SPARE_OEM_RESERVED;
  s.bBadBlock = BOOT_SPARE_BAD_BLOCK;
  s.wReserved2 = BOOT_SPARE_RESERVED2;
  return s;
}

bool IsBootSpareRecord(const uint8_t* spare8) { return SectorInfo::Decode(spare8) == BootSpareRecord(); }

uint32_t GetLe32(const uint8_t* p) {
  return uint32_t(p[0]) | (uint32_t(p[1]) << 8) | (uint32_t(p[2]) << 16) | (uint32_t(p[3]) << 24);
}

void PutLe32(uint8_t* p, uint32_t v) {
  p[0] = uint8_t(v);
  p[1] = uint8_t(v >> 8);
  p[2] = uint8_t(v >> 16);
  p[3] = uint8_t(v >> 24);
}

void BuildSectorPage(const uint8_t* data512, const SectorInfo* info, uint8_t* raw528) {
  std::memset(raw528, 0xFF, kRawPageBytes);
  std::memcpy(raw528, data512, kSectorBytes);
  EccGenerate(data512, raw528 + kSectorBytes + kSpareEcc0);
  EccGenerate(data512 + 256, raw528 + kSectorBytes + kSpareEcc1);
  if (info) info->Encode(raw528 + kSectorBytes);
}

const char* HalfResultName(HalfResult r) {
  switch (r) {
    case HalfResult::kNoError:
      return "ok";
    case HalfResult::kCorrected:
      return "corrected";
    case HalfResult::kCodeError:
      return "code error";
    case HalfResult::kUncorrectable:
      return "uncorrectable";
  }
  return "?";
}

const char* SectorStateName(SectorState s) {
  switch (s) {
    case SectorState::kErased:
      return "erased";
    case SectorState::kClean:
      return "clean";
    case SectorState::kCorrected:
      return "corrected";
    case SectorState::kUncorrectable:
      return "uncorrectable";
    case SectorState::kWrongSpare:
      return "wrong spare record";
  }
  return "?";
}

bool SectorCheck::Uncorrectable() const {
  return half[0] == HalfResult::kUncorrectable || half[1] == HalfResult::kUncorrectable;
}

bool SectorCheck::NeededEcc() const { return half[0] != HalfResult::kNoError || half[1] != HalfResult::kNoError; }

SectorState SectorCheck::AreaState() const {
  if (erased) return SectorState::kErased;
  if (Uncorrectable()) return SectorState::kUncorrectable;
  if (!bootRecord) return SectorState::kWrongSpare;
  if (NeededEcc()) return SectorState::kCorrected;
  return SectorState::kClean;
}

std::string SectorCheck::Describe() const {
  std::string out;
  auto add = [&out](const std::string& s) { out += (out.empty() ? "" : "; ") + s; };
  if (erased) return "erased";
  for (int h = 0; h < 2; ++h) {
    const char* range = h == 0 ? "data 0-255" : "data 256-511";
    char buf[160];
    switch (half[h]) {
      case HalfResult::kNoError:
        break;
      case HalfResult::kCorrected:
        std::snprintf(buf, sizeof(buf), "%s: ECC corrected data byte %d bit %d", range, flippedByte[h], flippedBit[h]);
        add(buf);
        break;
      case HalfResult::kCodeError:
        std::snprintf(buf, sizeof(buf), "%s: stored ECC (spare %d-%d) has a flipped bit, data taken as good", range,
                      h == 0 ? 8 : 12, h == 0 ? 10 : 14);
        add(buf);
        break;
      case HalfResult::kUncorrectable:
        std::snprintf(buf, sizeof(buf), "%s: uncorrectable (stored ECC %s)", range,
                      HexBytes(spare + (h == 0 ? kSpareEcc0 : kSpareEcc1), 3).c_str());
        add(buf);
        break;
    }
  }
  if (!bootRecord) add("spare record " + HexBytes(spare, 8) + ", not the boot record 00 00 00 00 fc 00 00 00");
  return out;
}

SectorCheck CheckSector(const uint8_t* raw528) {
  SectorCheck c;
  std::memcpy(c.data, raw528, kSectorBytes);
  std::memcpy(c.spare, raw528 + kSectorBytes, kSpareBytes);
  c.erased = true;
  for (uint32_t i = 0; i < kRawPageBytes; ++i) c.erased = c.erased && raw528[i] == 0xFF;
  c.bootRecord = IsBootSpareRecord(c.spare);
  for (int h = 0; h < 2; ++h) {
    uint8_t* block = c.data + 256 * h;
    uint8_t before[256];
    std::memcpy(before, block, 256);
    int r = EccCorrect(block, c.spare + (h == 0 ? kSpareEcc0 : kSpareEcc1));
    switch (r) {
      case ECC_NO_ERROR:
        c.half[h] = HalfResult::kNoError;
        break;
      case ECC_CORRECTED:
        c.half[h] = HalfResult::kCorrected;
        break;
      case ECC_CODE_ERROR:
        c.half[h] = HalfResult::kCodeError;
        break;
      default:
        c.half[h] = HalfResult::kUncorrectable;
        break;
    }
    for (int i = 0; i < 256; ++i) {
      uint8_t diff = uint8_t(before[i] ^ block[i]);
      if (!diff) continue;
      c.flippedByte[h] = 256 * h + i;
      for (int b = 0; b < 8; ++b)
        if (diff & (1u << b)) c.flippedBit[h] = b;
    }
  }
  return c;
}

std::string HexBytes(const uint8_t* p, size_t n) {
  std::string s;
  char buf[4];
  for (size_t i = 0; i < n; ++i) {
    std::snprintf(buf, sizeof(buf), "%s%02x", i ? " " : "", p[i]);
    s += buf;
  }
  return s;
}

}  // namespace devsim
