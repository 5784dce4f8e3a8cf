// What a simulated device remembers between and after runs, as the host tool
// and tests read it: the simulated clock, the chip operation counter, the
// power state and the protocol checker's record. It lives in the device
// folder's soc.state (shared by every process on the device).
#ifndef SIM_DEVICE_RECORD_H
#define SIM_DEVICE_RECORD_H

#include <cstdint>
#include <string>
#include <vector>

namespace sim {

struct SocHeader;

struct DeviceRecord {
  uint64_t clockNs = 0;                 // simulated time since the device was created
  uint64_t chipBusyNs = 0;              // of which the chip was busy (read, program, erase)
  uint64_t chipOps = 0;                 // chip operations since the last program start
  bool poweredOff = false;              // a power-loss fault has struck
  int64_t killAfterOps = -1;            // armed: the program under test is ended after this many (-1: not)
  uint64_t violationCount = 0;          // protocol violations recorded (all of them)
  std::vector<std::string> violations;  // the first ones, as text
};

// The record as a state header holds it.
DeviceRecord RecordOf(const SocHeader& h);
// Reads DIR/soc.state; a device that never ran has an empty record (true).
bool ReadDeviceRecord(const std::string& dir, DeviceRecord* rec, std::string* error);
// Before a program starts on the device: chip operation counter to 0, power
// on, the checker record cleared (clearRecord) or kept, and the program under
// test to be ended after killAfterOps chip operations (-1: not). A device that
// never ran gets its soc.state now.
bool ResetDeviceRun(const std::string& dir, bool clearRecord, std::string* error, int64_t killAfterOps = -1);

}  // namespace sim

#endif
