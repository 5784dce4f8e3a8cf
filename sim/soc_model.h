// The simulated SoC behind the four register windows: one bus access at a
// time, from whichever process makes it.
//
// Models:
//  - the NAND controller (nand_ctrl.h), its DMA channel (dma.h) and the NAND
//    chip (nand_chip.h), over soc.state (soc_state.h) and the chip image;
//  - the resource-sharing and extension-board windows as plain registers
//    (RS_PINMUX bit 14 gives the shared pins to the camera, EXT_BOARD_CTRL bit
//    7 asserts the chip's write protect; both act on the chip model);
//  - the simulated clock: every register access takes kRegisterAccessNs, bus
//    cycles and chip busy times come on top. A read of a status register
//    (NAND_EVENT, NAND_FIFO_STAT, DMA_STAT, DMA_DRAIN) while the hardware is
//    still working moves the clock on to the moment it has finished: the CPU
//    would have spent that time polling, so the next poll sees it done;
//    with timing.polls_to_ready = N only from the (N+1)th poll of one wait on,
//    as a CPU that polls faster than the hardware works, so a driver that
//    gives a wait too few polls times out.
//    Except a NAND_EVENT poll that finds set a bit the work under way will
//    raise again: that poll ends the CPU's wait at once (nand_ctrl.h).
// The protocol checker (checker.h) records, besides what each model checks,
// every NAND or DMA controller access by a process that does not hold both
// bus mutexes (the caller says whether it does) and every NAND controller
// access while the pins are on the camera.
// Not here: locking between processes, mapping, process ids (the Win32 layer,
// soc.h, provides them).
#ifndef SIM_SOC_MODEL_H
#define SIM_SOC_MODEL_H

#include <cstdint>

#include "sim/checker.h"
#include "sim/dma.h"
#include "sim/nand_cfg.h"
#include "sim/nand_chip.h"
#include "sim/nand_ctrl.h"
#include "sim/soc_state.h"

namespace sim {

constexpr uint64_t kRegisterAccessNs = 20;

// Who makes an access.
struct Accessor {
  uint32_t pid;
  bool holdsBus;  // holds "_FLASH_MUTEX_" and "PIN_MUX_CAM_NANDFLASH_MUTEX"
  bool target;    // a process of the program under test (not a stand-in)
};

class SocModel {
 public:
  SocModel(SocState& s, uint8_t* image, uint64_t imageBytes);

  uint32_t Read32(uint32_t window, uint32_t offset, const Accessor& who);
  void Write32(uint32_t window, uint32_t offset, uint32_t value, const Accessor& who);

  bool PoweredOff() const { return s_.h.power.poweredOff != 0; }
  // Whether the program under test is to be ended now, at this access (true
  // once): a kill after N chip operations strikes at the program's first NAND
  // or DMA controller access, holding the bus, once the chip has made N
  // operations. Counted by the chip like power loss, so the same N ends the
  // program at the same point of its work every time.
  bool KillDue(uint32_t window, const Accessor& who);
  Checker& GetChecker() { return checker_; }
  // The wait that a poll of this status register begins never ends: what the
  // register reports (the DMA transfer, the drain, the FIFO transfer, the
  // events of the operation under way) is made to hang, as the hang faults of
  // nand.cfg make one operation hang. False for any other register.
  bool HangWait(uint32_t window, uint32_t offset);

  // Reads of these registers are polls: they let the clock skip ahead.
  static bool IsStatusRegister(uint32_t window, uint32_t offset);
  static const char* RegisterName(uint32_t window, uint32_t offset);

 private:
  void Check(uint32_t window, uint32_t offset, bool write, uint32_t value, const Accessor& who);
  void WaitForHardware();

  SocState& s_;
  // The wait under way: consecutive reads of one status register by one
  // process (timing.polls_to_ready).
  uint32_t pollWindow_ = ~0u, pollOffset_ = 0, pollPid_ = 0, pollRun_ = 0;
  Checker checker_;
  NandChip chip_;
  NandController nand_;
  DmaChannel dma_;
};

// A state as a device has it when first switched on: registers, controllers
// and chip at power-on, clock 0, record empty, every page's partial-program
// counters 0, settings from cfg.
void InitializeSocState(SocState& s, const NandConfig& cfg, uint64_t configHash);
// The same for a state whose partial-program counters are 0 from page `pages`
// on (the chip's size: rows wrap there), which are left as they are.
void InitializeSocState(SocState& s, const NandConfig& cfg, uint64_t configHash, uint32_t pages);
// Registers, controllers and chip back to power-on (after a power loss); the
// clock, the record, the settings and the memory windows are kept.
void PowerOnSoc(SocHeader& h);
// A program is about to start on the device: chip operation and hang counters to 0,
// power on, a stuck-ready fault lifted, settings reloaded from cfg when given
// (read-flip counts start again), the record cleared when asked, and the
// program to be ended after killAfterOps chip operations (-1: not).
void StartDeviceRun(SocHeader& h, const NandConfig* cfg, uint64_t configHash, bool clearRecord,
                    int64_t killAfterOps = -1);

// FNV-1a of the nand.cfg text, to tell whether the loaded settings are current.
uint64_t ConfigHash(const std::string& text);

}  // namespace sim

#endif
