// The fault kinds' rows, and reading, checking and writing their values.
#include "sim/fault_kinds.h"

#include <cstdio>
#include <cstring>

#include "sim/keyval.h"
#include "sim/soc_state.h"

namespace sim {

namespace {

// Fields of the typed lists of NandConfig, and back.
FaultFields Of(const ReadFlipFault& f) { return {f.sector, f.byte, f.bit, f.count}; }
FaultFields Of(const StuckBitFault& f) { return {f.sector, f.byte, f.bit, f.value}; }
FaultFields Of(const ProgramFailFault& f) {
  return f.wholePage ? FaultFields{f.sector} : FaultFields{f.sector, f.byte, f.bit};
}
FaultFields Of(uint32_t block) { return {block}; }

template <typename T>
std::vector<FaultFields> AllOf(const std::vector<T>& list) {
  std::vector<FaultFields> out;
  for (const T& f : list) out.push_back(Of(f));
  return out;
}

// The one-of-a-kind counts (-1: not set).
std::vector<FaultFields> OneCount(int64_t n) {
  return n < 0 ? std::vector<FaultFields>{} : std::vector<FaultFields>{FaultFields{uint64_t(n)}};
}

// Kinds without a typed field of their own are kept by key.
std::vector<FaultFields> Listed(const NandConfig& cfg, const char* key) {
  auto it = cfg.moreFaults.find(key);
  return it == cfg.moreFaults.end() ? std::vector<FaultFields>{} : it->second;
}

// Copies a repeating kind into its table of the record.
template <typename Rec, size_t N>
bool LoadTable(Rec (&table)[N], uint32_t* count, const std::vector<FaultFields>& faults, Rec (*make)(const FaultFields&)) {
  *count = 0;
  for (const FaultFields& f : faults) {
    if (*count == N) return false;
    table[(*count)++] = make(f);
  }
  return true;
}

uint32_t U32(uint64_t v) { return uint32_t(v); }

#define COUNT_KIND(KEY, OPTION, HELP, FIELD)                                                 \
  {                                                                                          \
    KEY, OPTION, "N", HELP, false, 1u << 1, {FieldRole::kCount},                             \
        [](const NandConfig& c) { return OneCount(c.FIELD); },                               \
        [](NandConfig* c, const FaultFields& f) { c->FIELD = int64_t(f[0]); },               \
        [](NandConfig* c) { c->FIELD = -1; },                                                \
        [](FaultRec& r, const NandConfig& c) {                                               \
          r.FIELD = c.FIELD;                                                                 \
          return true;                                                                       \
        }                                                                                    \
  }

// The media faults with a typed list of their own in NandConfig.
std::vector<FaultKind> TypedMediaKinds() {
  return {
    {"fault.read_flip", "--read-flip", "SECTOR:BYTE:BIT[:COUNT]",
     "reading sector S returns byte B with bit b flipped, the\n"
     "next COUNT reads (default 0: every read); the flash keeps\n"
     "its content",
     true, (1u << 3) | (1u << 4), {FieldRole::kSector, FieldRole::kByte, FieldRole::kBit, FieldRole::kCount},
     [](const NandConfig& c) { return AllOf(c.readFlips); },
     [](NandConfig* c, const FaultFields& f) {
       c->readFlips.push_back(ReadFlipFault{U32(f[0]), U32(f[1]), U32(f[2]), f.size() > 3 ? U32(f[3]) : 0});
     },
     [](NandConfig* c) { c->readFlips.clear(); },
     [](FaultRec& r, const NandConfig& c) {
       return LoadTable(r.readFlips, &r.readFlipCount, AllOf(c.readFlips), +[](const FaultFields& f) {
         return ReadFlipRec{U32(f[0]), U32(f[1]), U32(f[2]), U32(f[3]), 0};
       });
     }},
    {"fault.stuck_bit", "--stuck-bit", "SECTOR:BYTE:BIT:VALUE", "that cell always reads VALUE (0 or 1)", true, 1u << 4,
     {FieldRole::kSector, FieldRole::kByte, FieldRole::kBit, FieldRole::kValue},
     [](const NandConfig& c) { return AllOf(c.stuckBits); },
     [](NandConfig* c, const FaultFields& f) {
       c->stuckBits.push_back(StuckBitFault{U32(f[0]), U32(f[1]), U32(f[2]), U32(f[3])});
     },
     [](NandConfig* c) { c->stuckBits.clear(); },
     [](FaultRec& r, const NandConfig& c) {
       return LoadTable(r.stuckBits, &r.stuckBitCount, AllOf(c.stuckBits), +[](const FaultFields& f) {
         return StuckBitRec{U32(f[0]), U32(f[1]), U32(f[2]), U32(f[3])};
       });
     }},
    {"fault.program_fail", "--program-fail", "SECTOR[:BYTE:BIT]",
     "programming sector S leaves that bit (default: the whole\n"
     "page) at 1",
     true, (1u << 1) | (1u << 3), {FieldRole::kSector, FieldRole::kByte, FieldRole::kBit},
     [](const NandConfig& c) { return AllOf(c.programFails); },
     [](NandConfig* c, const FaultFields& f) {
       ProgramFailFault p;
       p.sector = U32(f[0]);
       p.wholePage = f.size() == 1;
       if (!p.wholePage) p.byte = U32(f[1]), p.bit = U32(f[2]);
       c->programFails.push_back(p);
     },
     [](NandConfig* c) { c->programFails.clear(); },
     [](FaultRec& r, const NandConfig& c) {
       return LoadTable(r.programFails, &r.programFailCount, AllOf(c.programFails), +[](const FaultFields& f) {
         return f.size() == 1 ? ProgramFailRec{U32(f[0]), 1u, 0u, 0u} : ProgramFailRec{U32(f[0]), 0u, U32(f[1]), U32(f[2])};
       });
     }},
    {"fault.erase_fail", "--erase-fail", "BLOCK", "erasing BLOCK leaves it as it was", true, 1u << 1,
     {FieldRole::kBlock}, [](const NandConfig& c) { return AllOf(c.eraseFails); },
     [](NandConfig* c, const FaultFields& f) { c->eraseFails.push_back(U32(f[0])); },
     [](NandConfig* c) { c->eraseFails.clear(); },
     [](FaultRec& r, const NandConfig& c) {
       return LoadTable(r.eraseFails, &r.eraseFailCount, AllOf(c.eraseFails),
                        +[](const FaultFields& f) { return U32(f[0]); });
     }},
  };
}

// The media faults kept by key in NandConfig::moreFaults.
std::vector<FaultKind> KeyedMediaKinds() {
  return {
    {"fault.partial_erase", "--partial-erase", "BLOCK:PAGE:BYTE:BIT",
     "erasing BLOCK reports success but leaves that bit of page\n"
     "PAGE (0 = the block's first) at 0",
     true, 1u << 4, {FieldRole::kBlock, FieldRole::kPage, FieldRole::kByte, FieldRole::kBit},
     [](const NandConfig& c) { return Listed(c, "fault.partial_erase"); },
     [](NandConfig* c, const FaultFields& f) { c->moreFaults["fault.partial_erase"].push_back(f); },
     [](NandConfig* c) { c->moreFaults.erase("fault.partial_erase"); },
     [](FaultRec& r, const NandConfig& c) {
       return LoadTable(r.partialErases, &r.partialEraseCount, Listed(c, "fault.partial_erase"),
                        +[](const FaultFields& f) { return PartialEraseRec{U32(f[0]), U32(f[1]), U32(f[2]), U32(f[3])}; });
     }},
    {"fault.read_disturb", "--read-disturb", "SECTOR:BYTE:BIT:READS",
     "sector S reads back right READS times; then that bit,\n"
     "if it is 1, turns to 0 in the flash itself (until the\n"
     "block's next erase)",
     true, 1u << 4, {FieldRole::kSector, FieldRole::kByte, FieldRole::kBit, FieldRole::kCount},
     [](const NandConfig& c) { return Listed(c, "fault.read_disturb"); },
     [](NandConfig* c, const FaultFields& f) { c->moreFaults["fault.read_disturb"].push_back(f); },
     [](NandConfig* c) { c->moreFaults.erase("fault.read_disturb"); },
     [](FaultRec& r, const NandConfig& c) {
       return LoadTable(r.readDisturbs, &r.readDisturbCount, Listed(c, "fault.read_disturb"), +[](const FaultFields& f) {
         return ReadDisturbRec{U32(f[0]), U32(f[1]), U32(f[2]), U32(f[3]), 0};
       });
     }},
  };
}

// The chip that stops answering, the power that goes, and the controller's
// transfers and events that never end.
std::vector<FaultKind> InterruptionKinds() {
  return {
    COUNT_KIND("fault.stuck_ready_after", "--stuck-ready", "after N chip operations nothing signals ready any more",
               stuckReadyAfter),
    COUNT_KIND("fault.power_loss_after", "--power-loss",
               "after N chip operations the power goes; the image keeps\n"
               "what was done",
               powerLossAfter),
    COUNT_KIND("fault.dma_hang", "--dma-hang",
               "the DMA channel's Nth transfer never finishes (DMA_STAT\n"
               "stays busy, no EV_DMA_DONE)",
               dmaHang),
    COUNT_KIND("fault.drain_hang", "--drain-hang", "the Nth DMA drain never completes (DMA_DRAIN reads 1)", drainHang),
    COUNT_KIND("fault.fifo_hang", "--fifo-hang",
               "the Nth FIFO transfer never completes (a write never\n"
               "empties, a read never fills)",
               fifoHang),
    {"fault.event_hang", "--event-hang", "CMD:N",
     "the event of the Nth operation with command CMD never\n"
     "comes: 0x00, 0x80 EV_DMA_DONE; 0x50, 0x90 EV_FIFO_DONE;\n"
     "0x10, 0xD0, 0xFF EV_READY",
     false, 1u << 2, {FieldRole::kCommand, FieldRole::kCount},
     [](const NandConfig& c) {
       return c.eventHangNth < 0 ? std::vector<FaultFields>{}
                                 : std::vector<FaultFields>{FaultFields{c.eventHangCommand, uint64_t(c.eventHangNth)}};
     },
     [](NandConfig* c, const FaultFields& f) {
       c->eventHangCommand = U32(f[0]);
       c->eventHangNth = int64_t(f[1]);
     },
     [](NandConfig* c) {
       c->eventHangCommand = 0;
       c->eventHangNth = -1;
     },
     [](FaultRec& r, const NandConfig& c) {
       r.eventHangCommand = c.eventHangCommand;
       r.eventHangNth = c.eventHangNth;
       return true;
     }},
  };
}

// Built on first use, so that a static object of another file may ask for
// the rows while the program starts; the groups in the order of the table.
std::vector<FaultKind> MakeKinds() {
  std::vector<FaultKind> kinds;
  for (const std::vector<FaultKind>& group : {TypedMediaKinds(), KeyedMediaKinds(), InterruptionKinds()})
    kinds.insert(kinds.end(), group.begin(), group.end());
  return kinds;
}

const char* RoleName(FieldRole role) {
  switch (role) {
    case FieldRole::kSector:
      return "sector";
    case FieldRole::kPage:
      return "page";
    case FieldRole::kByte:
      return "byte";
    case FieldRole::kBit:
      return "bit";
    case FieldRole::kValue:
      return "value";
    case FieldRole::kBlock:
      return "block";
    case FieldRole::kCount:
      return "count";
    case FieldRole::kCommand:
      return "command";
  }
  return "";
}

std::string Hex2(uint64_t v) {
  char buf[24];
  snprintf(buf, sizeof(buf), "0x%02llx", (unsigned long long)v);
  return buf;
}

// Limits that hold on every chip.
bool CheckField(FieldRole role, uint64_t v, std::string* error) {
  std::string problem;
  if (role == FieldRole::kBit && v > 7) problem = "is not 0-7";
  if (role == FieldRole::kValue && v > 1) problem = "is not 0 or 1";
  if (role == FieldRole::kCount && v > uint64_t(INT64_MAX)) problem = "is too large";
  if (role != FieldRole::kCount && v > UINT32_MAX) problem = "is too large";
  if (role == FieldRole::kCommand && !IsEventCommand(v)) {
    problem = "ends its operations with no event; those that do:";
    for (uint64_t c = 0; c <= 0xFF; ++c)
      if (IsEventCommand(c)) problem += " " + Hex2(c);
  }
  if (problem.empty()) return true;
  *error = std::string(RoleName(role)) + " " + (role == FieldRole::kCommand ? Hex2(v) : std::to_string(v)) + " " +
           problem;
  return false;
}

}  // namespace

const std::vector<FaultKind>& FaultKinds() {
  static const std::vector<FaultKind> kinds = MakeKinds();
  return kinds;
}

const FaultKind* FaultKindByKey(const std::string& key) {
  for (const FaultKind& k : FaultKinds())
    if (key == k.key) return &k;
  return nullptr;
}

const FaultKind* FaultKindByOption(const std::string& option) {
  for (const FaultKind& k : FaultKinds())
    if (option == k.option) return &k;
  return nullptr;
}

bool IsEventCommand(uint64_t command) {
  switch (command) {
    case 0x00:
    case 0x10:
    case 0x50:
    case 0x80:
    case 0x90:
    case 0xD0:
    case 0xFF:
      return true;
    default:
      return false;
  }
}

bool ParseFaultFields(const FaultKind& kind, const std::string& text, const std::string& name, FaultFields* fields,
                      std::string* error) {
  fields->clear();
  std::string rest = text;
  for (;;) {
    size_t colon = rest.find(':');
    const std::string field = rest.substr(0, colon);
    uint64_t v;
    if (!ParseNumber(TrimBlanks(field), &v)) {
      *error = "bad " + name + (kind.fieldCounts == (1u << 1) && kind.roles[0] == FieldRole::kCount ? " count '" : " field '") +
               (kind.fieldCounts == (1u << 1) ? text : field) + "'";
      return false;
    }
    fields->push_back(v);
    if (colon == std::string::npos) break;
    rest = rest.substr(colon + 1);
  }
  if (fields->size() > 4 || (kind.fieldCounts & (1u << fields->size())) == 0) {
    *error = "bad " + name + " '" + text + "': expected " + kind.syntax;
    return false;
  }
  for (size_t i = 0; i < fields->size(); ++i)
    if (!CheckField(kind.roles[i], (*fields)[i], error)) {
      *error = name + ": " + *error;
      return false;
    }
  // A field left out of the shorter form reads as 0 (read_flip's COUNT).
  if (kind.fieldCounts & (1u << (fields->size() + 1))) fields->push_back(0);
  return true;
}

bool CheckFaultOnChip(const FaultKind& kind, const FaultFields& fields, const ChipShape& chip, std::string* error) {
  for (size_t i = 0; i < fields.size(); ++i) {
    const uint64_t v = fields[i];
    std::string where;
    switch (kind.roles[i]) {
      case FieldRole::kSector:
        if (v >= chip.Pages()) where = "is beyond the chip's " + std::to_string(chip.Pages());
        break;
      case FieldRole::kPage:
        if (v >= chip.pagesPerBlock) where = "is beyond the block's " + std::to_string(chip.pagesPerBlock) + " pages";
        break;
      case FieldRole::kByte:
        if (v >= chip.RawPageBytes()) where = "is beyond the " + std::to_string(chip.RawPageBytes()) + "-byte raw page";
        break;
      case FieldRole::kBlock:
        if (v >= chip.blocks) where = "is beyond the chip's " + std::to_string(chip.blocks);
        break;
      default:
        break;
    }
    if (!where.empty()) {
      *error = std::string(RoleName(kind.roles[i])) + " " + std::to_string(v) + " " + where;
      return false;
    }
  }
  return true;
}

std::string FormatFaultFields(const FaultKind& kind, const FaultFields& fields) {
  std::string out;
  for (size_t i = 0; i < fields.size(); ++i) {
    if (i) out += ":";
    out += kind.roles[i] == FieldRole::kCommand ? Hex2(fields[i]) : std::to_string(fields[i]);
  }
  return out;
}

}  // namespace sim
