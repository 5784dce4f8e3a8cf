// Reading a device's flash back: does the boot area hold an image exactly
// (verify), what it holds as the device reads it (extract), and what the
// flash holds sector by sector (inspect).
//
// Verify is strict: the image has to be there with its own codes and records.
// A sector the ECC would repair on reading still fails, because a flipped bit
// in a freshly written boot loader is a bad write, not wear.
#include <algorithm>
#include <cstdio>
#include <cstring>

#include "tools/devsim/device_ops.h"

namespace devsim {
namespace {

std::string Hex2(uint8_t v) {
  char buf[8];
  std::snprintf(buf, sizeof(buf), "0x%02x", v);
  return buf;
}

// How the sector on the flash differs from the one expected; "" when equal.
std::string Difference(const uint8_t* got, const uint8_t* want) {
  std::string out;
  auto add = [&out](const std::string& s) { out += (out.empty() ? "" : "; ") + s; };
  uint32_t firstData = kSectorBytes, dataDiffs = 0;
  for (uint32_t i = 0; i < kSectorBytes; ++i) {
    if (got[i] == want[i]) continue;
    if (!dataDiffs++) firstData = i;
  }
  if (dataDiffs)
    add("data byte " + std::to_string(firstData) + " is " + Hex2(got[firstData]) + ", FILE has " +
        Hex2(want[firstData]) + " (" + std::to_string(dataDiffs) +
        (dataDiffs == 1 ? " data byte differs)" : " data bytes differ)"));
  const uint8_t* gs = got + kSectorBytes;
  const uint8_t* ws = want + kSectorBytes;
  if (std::memcmp(gs, ws, 8) != 0)
    add("spare record (spare 0-7) is " + HexBytes(gs, 8) + ", expected " + HexBytes(ws, 8));
  for (int h = 0; h < 2; ++h) {
    const uint32_t at = h == 0 ? kSpareEcc0 : kSpareEcc1;
    if (std::memcmp(gs + at, ws + at, 3) != 0)
      add(std::string("ECC of data ") + (h == 0 ? "0-255" : "256-511") + " (spare " + std::to_string(at) + "-" +
          std::to_string(at + 2) + ") is " + HexBytes(gs + at, 3) + ", expected " + HexBytes(ws + at, 3));
  }
  if (out.empty()) return out;
  SectorCheck c = CheckSector(got);
  if (c.erased)
    out += " (the sector is erased)";
  else if (c.NeededEcc())
    out += " (on reading: " + c.Describe() + ")";
  return out;
}

VerifyResult Failed(const std::string& why) { return VerifyResult{false, "verify: FAILED: " + why}; }

void CheckArea(const NandImage& img, AreaReport* r) {
  r->checked = img.SmallPage() ? r->area.SectorsInside(img.Shape().Pages()) : 0;
  r->states.reserve(r->checked);
  std::string err;
  for (uint64_t i = 0; i < r->checked; ++i) {
    SectorCheck c;
    if (!CheckAreaSector(img, r->area, uint32_t(i), &c, &err)) throw InputError(err);
    SectorState s = c.AreaState();
    r->counts[int(s)]++;
    r->states.push_back(s);
    if (s == SectorState::kErased) {
      if (!r->erasedRanges.empty() && r->erasedRanges.back().second + 1 == i)
        r->erasedRanges.back().second = i;
      else
        r->erasedRanges.push_back({i, i});
    } else if (s != SectorState::kClean) {
      if (r->notClean.size() < kMaxListedSectors)
        r->notClean.push_back({i, s, c.Describe()});
      else
        r->truncated = true;
    }
  }
}

}  // namespace

VerifyResult VerifyBootImage(const NandImage& img, const std::string& fileName, const std::string& data,
                             const std::optional<AreaChoice>& given) {
  BootArea area;
  TocInfo toc;
  std::string problem;
  if (!ResolveArea(img, given, &area, &toc, &problem)) return Failed("no usable boot area: " + problem);
  const uint64_t sectors = (uint64_t(data.size()) + kSectorBytes - 1) / kSectorBytes;
  if (sectors > area.sectorCount)
    return Failed(fileName + " has " + std::to_string(data.size()) + " bytes, " + std::to_string(sectors) +
                  " sectors; the boot area at block " + std::to_string(area.firstBlock) + " has " +
                  std::to_string(area.sectorCount));

  const SectorInfo rec = BootSpareRecord();
  uint8_t got[kRawPageBytes], want[kRawPageBytes], chunk[kSectorBytes];
  std::string err, first;
  uint64_t firstIndex = 0, differing = 0;
  for (uint64_t i = 0; i < sectors; ++i) {
    std::memset(chunk, 0xFF, sizeof(chunk));
    const uint64_t off = i * kSectorBytes;
    std::memcpy(chunk, data.data() + off, data.size() - off < kSectorBytes ? data.size() - off : kSectorBytes);
    BuildSectorPage(chunk, &rec, want);
    if (!img.ReadPage(area.FirstSector() + i, got, &err)) throw InputError(err);
    std::string diff = Difference(got, want);
    if (diff.empty()) continue;
    if (!differing++) {
      first = diff;
      firstIndex = i;
    }
  }
  if (differing)
    return Failed("sector " + std::to_string(area.FirstSector() + firstIndex) + " (index " +
                  std::to_string(firstIndex) + " of the boot area at block " + std::to_string(area.firstBlock) +
                  ") differs: " + first + "; " + std::to_string(differing) + " of " + std::to_string(sectors) +
                  " sectors differ");
  return VerifyResult{true, "verify: OK: " + std::to_string(sectors) + " sectors of " + fileName +
                                " match the boot area at block " + std::to_string(area.firstBlock)};
}

ExtractResult ExtractBootArea(const NandImage& img, const BootArea& area, uint64_t bytes,
                              const std::function<void(const uint8_t* data, size_t n)>& out) {
  ExtractResult r;
  r.sectors = (bytes + kSectorBytes - 1) / kSectorBytes;
  std::string err;
  for (uint64_t i = 0; i < r.sectors; ++i) {
    SectorCheck c;
    if (!CheckAreaSector(img, area, uint32_t(i), &c, &err)) throw InputError(err);
    switch (c.AreaState()) {
      case SectorState::kUncorrectable:
        ++r.uncorrectable;
        r.unreadable.push_back({i, c.Describe()});
        break;
      case SectorState::kCorrected:
        ++r.corrected;
        break;
      case SectorState::kErased:
        ++r.erased;
        break;
      case SectorState::kWrongSpare:
        ++r.wrongSpare;
        if (c.NeededEcc()) ++r.corrected;
        break;
      case SectorState::kClean:
        break;
    }
    const uint64_t n = bytes - i * kSectorBytes < kSectorBytes ? bytes - i * kSectorBytes : kSectorBytes;
    out(c.data, size_t(n));
  }
  return r;
}

namespace {

// The keys of nand.cfg fault lines ("fault.read_flip = 32:0:0"), each once,
// in the order the file has them.
std::string FaultKeys(const std::vector<std::string>& lines) {
  std::vector<std::string> keys;
  for (const std::string& line : lines) {
    std::string key = line.substr(0, line.find(' '));
    if (std::find(keys.begin(), keys.end(), key) == keys.end()) keys.push_back(key);
  }
  std::string out;
  for (const std::string& k : keys) out += (out.empty() ? "" : ", ") + k;
  return out;
}

std::vector<Warning> WarningsOf(const NandImage& img, const InspectReport& rep) {
  std::vector<Warning> out;
  const AreaReport& a = rep.area;
  const uint64_t bad = a.counts[int(SectorState::kUncorrectable)], wrong = a.counts[int(SectorState::kWrongSpare)];
  if (a.present && (bad || wrong)) {
    std::string text = "the boot area holds " + std::to_string(bad) + " uncorrectable sector" + (bad == 1 ? "" : "s");
    if (wrong) text += " and " + std::to_string(wrong) + " with a wrong spare record";
    out.push_back({Warning::kUncorrectable, text + ": the boot loader would not read back whole"});
  }
  if (!img.IsDevice()) return out;
  // The power loss has a line of its own; the other faults are named by key.
  sim::NandConfig others = img.Config();
  others.powerLossAfter = -1;
  const std::vector<std::string> lines = FaultLines(others);
  if (!lines.empty())
    out.push_back({Warning::kFaults, "nand.cfg still sets " + std::to_string(lines.size()) + " fault" +
                                         (lines.size() == 1 ? "" : "s") + " (" + FaultKeys(lines) +
                                         "): the next run meets them"});
  if (img.Config().powerLossAfter >= 0)
    out.push_back({Warning::kPowerLoss, "nand.cfg has the power go after " +
                                            std::to_string(img.Config().powerLossAfter) +
                                            " chip operations of the next run"});
  if (rep.haveRecord && rep.record.poweredOff)
    out.push_back({Warning::kPoweredOff, "the device is off: a power loss struck in its last run"});
  if (rep.haveRecord && rep.record.killAfterOps >= 0)
    out.push_back({Warning::kKillArmed, "soc.state still ends the program under test after " +
                                            std::to_string(rep.record.killAfterOps) +
                                            " chip operations (devsim run sets this anew; a program started "
                                            "otherwise meets it)"});
  return out;
}

}  // namespace

InspectReport InspectImage(const NandImage& img, const std::optional<AreaChoice>& given) {
  InspectReport rep;
  std::string problem;
  rep.area.usable = ResolveArea(img, given, &rep.area.area, &rep.toc, &problem);
  rep.area.problem = problem;
  rep.area.fromOption = given.has_value();
  rep.area.present = rep.area.fromOption || rep.toc.found;
  if (rep.area.present) CheckArea(img, &rep.area);
  if (img.IsDevice()) {
    rep.faults = FaultLines(img.Config());
    rep.haveRecord = sim::ReadDeviceRecord(img.Path(), &rep.record, &rep.recordError);
    if (!rep.haveRecord && rep.recordError.empty()) rep.recordError = "cannot read " + img.Path() + "/soc.state";
  }
  rep.warnings = WarningsOf(img, rep);
  return rep;
}

}  // namespace devsim
