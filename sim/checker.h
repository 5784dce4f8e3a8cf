// Protocol checker: what the real hardware would not accept, recorded.
//
// Models: a record of violations in soc.state (a total count and the first
// kRecordedViolations as text with simulated time, process id and kind). The
// device models report guest misuse here and carry on as the hardware would;
// nothing is ever thrown or refused. Tests and the host tool read the record
// (device_record.h) and expect it empty after a correct run.
#ifndef SIM_CHECKER_H
#define SIM_CHECKER_H

#include <cstdint>
#include <string>

#include "sim/soc_state.h"

namespace sim {

enum class ViolationKind : uint32_t {
  kUnlocked = 1,    // NAND or DMA controller access without both bus mutexes
  kTransfer,        // mode, count, DMA length, direction or set-up do not fit each other
  kCommand,         // a command the chip does not know or does not take
  kPinsOnCamera,    // NAND access while RS_PINMUX gives the shared pins to the camera
  kWriteProtect,    // program or erase while the extension board asserts write protect
  kPartialProgram,  // a page area programmed more often than the chip allows between erases
  kBusy,            // a command sent while the chip is busy
  kSequence,        // a register used out of its order (FIFO empty, DMA not prepared, ...)
  kAddress,         // address cycles that do not fit the chip
};

const char* ViolationKindName(ViolationKind kind);

// "t=12.345us pid=36 transfer: ..." as the record lists it.
std::string FormatViolation(const ViolationRec& v);

class Checker {
 public:
  explicit Checker(SocHeader& h) : h_(h) {}
  // The process making the current access; set by the SoC before each access.
  void SetAccessor(uint32_t pid) { pid_ = pid; }
  uint32_t Accessor() const { return pid_; }
  void Record(ViolationKind kind, const char* format, ...) __attribute__((format(printf, 3, 4)));
  void Clear();

 private:
  SocHeader& h_;
  uint32_t pid_ = 0;
};

}  // namespace sim

#endif
