// The kinds of fault the device model can be given, each declared once.
//
// One row per kind says everything the host side needs: its nand.cfg key and
// the host tool's option, the syntax of its value, what each colon-separated
// field is (and so its limits), its help line, whether it repeats (up to
// kMaxFaultsPerKind of it, as many as the shared record holds) or is one of a
// kind that a new one replaces, where nand.cfg's reading keeps it, and how it
// is copied into the record the models act on. The nand.cfg reader and writer,
// devsim fault's options, help, checks and listing, and the campaign's
// scenario keys are all made from these rows.
//
// A new kind is a row here (fault_kinds.cpp), its room in the shared record
// (soc_state.h) and its behaviour in the model that acts on it.
#ifndef SIM_FAULT_KINDS_H
#define SIM_FAULT_KINDS_H

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "sim/nand_cfg.h"

namespace sim {

struct FaultRec;

// What one field of a fault's value is; each role has its limits.
enum class FieldRole {
  kSector,   // a raw page of the chip
  kPage,     // a page within a block
  kByte,     // a byte of the raw page (data, then spare)
  kBit,      // 0-7
  kValue,    // 0 or 1
  kBlock,    // a block of the chip
  kCount,    // a count of operations or reads
  kCommand,  // a chip command whose operations end with a controller event
};

using FaultFields = std::vector<uint64_t>;

struct FaultKind {
  const char* key;     // nand.cfg key (with its "fault." prefix)
  const char* option;  // devsim fault's option
  const char* syntax;  // the value's form, as help shows it
  const char* help;    // what it does (lines of help; "\n" between lines)
  bool repeats;        // several of it (up to kMaxFaultsPerKind), else a new one replaces the old
  unsigned fieldCounts;  // bit n set: a value of n fields is allowed
  FieldRole roles[5];    // of the fields, in order
  // Where nand.cfg's reading keeps it.
  std::vector<FaultFields> (*get)(const NandConfig& cfg);
  void (*put)(NandConfig* cfg, const FaultFields& fields);  // appends (repeats) or replaces
  void (*clear)(NandConfig* cfg);
  // Copies cfg's faults of this kind into the record; false when they do
  // not fit.
  bool (*load)(FaultRec& rec, const NandConfig& cfg);
};

// Every kind, in the order nand.cfg writes them and help lists them.
const std::vector<FaultKind>& FaultKinds();
const FaultKind* FaultKindByKey(const std::string& key);
const FaultKind* FaultKindByOption(const std::string& option);

// The fields of `text` ("32:0:7") for `kind`; false with *error naming it
// as `name` (its key or its option: "bad --read-flip '1:2': expected
// SECTOR:BYTE:BIT[:COUNT]", "--read-flip: bit 9 is not 0-7") when the text is
// not one. The limits that hold on every chip are checked here; where the
// fault lies on a particular chip, by CheckFaultOnChip.
bool ParseFaultFields(const FaultKind& kind, const std::string& text, const std::string& name, FaultFields* fields,
                      std::string* error);
bool CheckFaultOnChip(const FaultKind& kind, const FaultFields& fields, const ChipShape& chip, std::string* error);
// The fields as nand.cfg writes them (commands in hexadecimal).
std::string FormatFaultFields(const FaultKind& kind, const FaultFields& fields);

// The commands whose operations end with an event of the controller.
bool IsEventCommand(uint64_t command);

}  // namespace sim

#endif
