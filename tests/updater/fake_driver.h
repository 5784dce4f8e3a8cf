// The recording driver behind tests/updater/fake/flash/flash.h and the boot
// area operations: what the updater's run asks for, in order, in one journal
// shared with the test's other observers (the message box answerer, the
// window message recorder), and a script of what each operation answers.
#ifndef TESTS_UPDATER_FAKE_DRIVER_H
#define TESTS_UPDATER_FAKE_DRIVER_H

#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace fake {

struct Script {
  bool initOk = true;
  bool tocFound = true;
  uint32_t areaSectors = 512;  // the locator accepts images of up to this many sectors
  bool eraseOk = true;
  int64_t failWriteAt = -1;  // index of the sector write that reports failure, -1: none
};

// Events in the order they happened, from any thread.
void Log(const std::string& event);
std::vector<std::string> Journal();
void ClearJournal();

Script& TheScript();
// Sector data passed to NandWriteEBootSector, by index (the last write of each).
const std::map<uint32_t, std::vector<uint8_t>>& WrittenSectors();
// Contexts between a successful FMD_Init and their FMD_Deinit.
int DriversUp();
// Whether the card's image is open unshared right now (another open is refused).
bool ImageLocked();
// Forget everything; the script goes back to a healthy device.
void Reset();

}  // namespace fake

#endif
