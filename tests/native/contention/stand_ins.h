// The other users of the flash bus on the handheld, as processes of the
// device in this one Linux process (native.h): the system's flash driver and
// the camera driver. Under Wine they are the programs sim/sysflash and
// sim/camera; here each is a thread started as a stand-in process
// (native::Process with target false), so the protocol checker sees every
// controller access it makes under its own thread id, and a kill after N chip
// operations never strikes it.
//
// Both are paced by the chip's operation counter, never by the clock. From
// its start on, a stand-in holds its mutex (the system driver both bus
// mutexes, the camera the pin mutex) or waits for it: it gives it back and
// queues for it again in one step (native::SignalObjectAndWait), and a
// released mutex goes to the thread that has waited longest. So it has a
// look at the counter after every holding of the others', whatever the host's
// scheduler does, and acts on it: the system driver works once the others
// have made `every` chip operations since its last work, the camera gives
// itself the pins once they have made `every` since its last switch. The
// counter moves only under the bus, so what happens between two of the
// updater's operations is decided by counted work alone, and the same run
// gives the same flash every time. Looks that find the counter where it was
// (nobody else wants the bus) only let the CPU go; after many of them in a
// row the bus is idle and a look comes every millisecond.
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
// work; each work of the system driver is `burst` steps of its file system.
struct Pacing {
  uint32_t every = 1;
  uint32_t burst = 1;
};

// The chip operations made since the device's run started (sim/device.h),
// 0 without a device.
uint64_t ChipOps();

struct SystemDriverReport {
  uint32_t thread = 0;          // its thread id: the pid of its accesses in the checker's record
  bool started = false;         // the driver came up and found its region
  uint64_t holds = 0;           // takings of the bus
  uint64_t works = 0;           // holds in which it worked the chip
  uint64_t chipOps = 0;         // chip operations it made
  uint64_t abandoned = 0;       // takings of "_FLASH_MUTEX_" that came abandoned
  uint64_t opsAtAbandoned = 0;  // the chip's operation counter when it last met it so
  uint64_t pinAbandoned = 0;    // ... of "PIN_MUX_CAM_NANDFLASH_MUTEX"
  uint64_t pinsTakenBack = 0;   // takings that found the pins on the camera
  sim::FileSystemCounts fs;     // writes, reads, erases, read-back mismatches, failed operations
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

  // Returns once the flash mutex exists, the driver is up and it holds the
  // bus (or failed to come up: Stop() reports started false). From then on
  // it holds the bus or waits for it: a program started next meets it
  // between any two of its holdings, from the first on.
  void Start();
  // Returns once it has met "_FLASH_MUTEX_" abandoned `times` times in all.
  void WaitForAbandoned(uint32_t times);
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
  // It switches once the others have made `every` chip operations since its
  // last switch.
  explicit Camera(uint32_t every);
  ~Camera();
  Camera(const Camera&) = delete;
  Camera& operator=(const Camera&) = delete;

  // Returns once it holds the pin mutex; from then on it holds it or waits
  // for it.
  void Start();
  CameraReport Stop();

  struct State;

 private:
  std::unique_ptr<State> s_;
  std::unique_ptr<native::Process> process_;
};

}  // namespace contention

#endif
