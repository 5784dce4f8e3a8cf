// The other users of the flash bus on the handheld, as processes of the
// device in this one Linux process (native.h): the system's flash driver and
// the camera driver. Under Wine they are the programs sim/sysflash and
// sim/camera; here each is a thread started as a stand-in process
// (native::Process with target false), so the protocol checker sees every
// controller access it makes under its own thread id, and a kill after N chip
// operations never strikes it.
//
// Both are paced by the chip's operation counter, never by the clock: each
// takes the bus (or the pins) at every chance it gets, and works only once the
// others have made a given number of chip operations since its last work. The
// counter moves only while someone holds the bus, so what a stand-in does
// between two of the updater's operations is decided by counted work. When
// the counter has not moved since its last look (nobody else is using the
// chip) it waits a millisecond on its stop event before the next look: an
// idle poll, which changes nothing of what happens while the bus is in use.
#ifndef TESTS_NATIVE_CONTENTION_STAND_INS_H
#define TESTS_NATIVE_CONTENTION_STAND_INS_H

#include <windows.h>

#include <cstdint>
#include <memory>
#include <string>

#include "platform/native/native.h"
#include "sim/nand_cfg.h"
#include "sim/sysflash/fs_load.h"

namespace contention {

// Work once the others have made `every` chip operations since the last
// work; each work is `burst` steps of the stand-in.
struct Pacing {
  uint32_t every = 1;
  uint32_t burst = 1;
};

// The chip operations made since the device's run started (sim/device.h),
// 0 without a device.
uint64_t ChipOps();

struct SystemDriverReport {
  uint32_t thread = 0;       // its thread id: the pid of its accesses in the checker's record
  bool started = false;      // the driver came up and found its region
  uint64_t holds = 0;        // takings of the bus
  uint64_t works = 0;        // holds in which it worked the chip
  uint64_t chipOps = 0;      // chip operations it made
  uint64_t abandoned = 0;    // takings of "_FLASH_MUTEX_" that came abandoned
  uint64_t pinAbandoned = 0; // ... of "PIN_MUX_CAM_NANDFLASH_MUTEX"
  uint64_t pinsTakenBack = 0;  // takings that found the pins on the camera
  sim::FileSystemCounts fs;    // writes, reads, erases, read-back mismatches, failed operations
};

// The system's flash driver: creates "_FLASH_MUTEX_" (before anything else
// runs on the device), then takes the bus again and again, both mutexes in
// order, and works its file-system region through a driver context of its own
// (sim/sysflash/fs_load.h). It takes the shared pins back from the camera when
// it takes the bus. An abandoned flash mutex (a program killed while it held
// the bus) is taken over: the chip is reset and the work goes on. Its last
// holding reads back every page it wrote and still holds.
class SystemDriver {
 public:
  // cfg: the chip and sysdrv.region (FIRST:COUNT) of the device.
  SystemDriver(const sim::NandConfig& cfg, Pacing pacing);
  ~SystemDriver();
  SystemDriver(const SystemDriver&) = delete;
  SystemDriver& operator=(const SystemDriver&) = delete;

  // Returns once the flash mutex exists and the driver is up (or failed to
  // come up: Stop() reports started false).
  void Start();
  // Returns once it has met "_FLASH_MUTEX_" abandoned `times` times in all.
  void WaitForAbandoned(uint64_t times);
  SystemDriverReport Stop();

  struct State;

 private:
  std::unique_ptr<State> s_;
  std::unique_ptr<native::Process> process_;
};

struct CameraReport {
  uint32_t thread = 0;
  bool started = false;    // its window and mutex could be had
  uint64_t takes = 0;      // takings of the pin mutex
  uint64_t switches = 0;   // of which it gave the pins to the camera
  uint64_t abandoned = 0;  // takings that came abandoned
};

// The camera driver (sim/camera, mode camera): takes
// "PIN_MUX_CAM_NANDFLASH_MUTEX", switches the shared pins to the camera
// (RS_PINMUX bit 14) and lets go of the mutex with the pins still on the
// camera; whoever takes the mutex next switches them back if it needs them.
// It reaches the register through a resource-sharing window of its own.
class Camera {
 public:
  explicit Camera(Pacing pacing);
  ~Camera();
  Camera(const Camera&) = delete;
  Camera& operator=(const Camera&) = delete;

  void Start();
  CameraReport Stop();

  struct State;

 private:
  std::unique_ptr<State> s_;
  std::unique_ptr<native::Process> process_;
};

}  // namespace contention

#endif
