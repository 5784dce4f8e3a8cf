// Devices held in this process's memory, for harnesses that make thousands of
// them (every power-loss point of an update, the fuzzer): no folder, no files.
#ifndef PLATFORM_NATIVE_NATIVE_SOC_H
#define PLATFORM_NATIVE_NATIVE_SOC_H

#include <cstdint>

#include "sim/nand_cfg.h"
#include "sim/soc_state.h"

namespace native {

// Attaches the process to a device whose chip is `image` (raw pages, the
// caller's memory, kept as it is) and whose SoC is fresh for cfg (power-on
// state, settings and faults from cfg). Replaces any attached device.
bool AttachMemoryDevice(const sim::NandConfig& cfg, uint8_t* image, uint64_t imageBytes);
// The attached device's state (clock, record, faults), or null.
sim::SocState* AttachedState();

// A wait on the hardware that is a failure point (native.h): the model makes
// what the status register reports hang (sim::SocModel::HangWait). False for
// a register that reports nothing to wait for.
bool HangWait(int window, unsigned offset);
// Polls of a held wait answered without the model: their time passes on the
// simulated clock.
void ElapseHeldPolls(uint64_t polls);

// One register write of the device code changed, as a faulty driver would
// make it: left out, written with another value, held back until right after
// the next write to another register, or a write the driver does not make put
// in right after one it does. It applies once, to the next write to
// (window, offset) that any process makes through WRITE_REGISTER_ULONG.
struct RegisterTamper {
  enum Kind { kNone, kDrop, kValue, kAfter, kInsert };
  Kind kind = kNone;
  int window = -1;
  unsigned offset = 0;
  unsigned value = 0;  // kValue: written instead; kInsert: the write put in
  int afterWindow = -1;
  unsigned afterOffset = 0;  // kAfter, kInsert: right after this register's next write
};
// Arms t, replacing what was armed; kNone disarms (as PlatformResetHooks does).
void TamperNextWrite(const RegisterTamper& t);
// True while the armed change has not yet been made in full.
bool TamperPending();

}  // namespace native

#endif
