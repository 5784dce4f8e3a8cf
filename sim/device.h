// The simulated device as tests and tools of the device build handle it, next
// to what the platform stand-ins use (soc.h): make a device, look at and set
// its chip directly, replace its faults, read its record.
//
// The functions that take no folder work on the device the process is attached
// to (SocAttach / SocAttachTo) and return false (or 0) when there is none.
// None of them is a bus access: the protocol checker does not see them.
#ifndef SIM_DEVICE_H
#define SIM_DEVICE_H

#include <windows.h>
#include <stdint.h>

#include <string>

#include "flash/nand_format.h"
#include "sim/device_record.h"
#include "sim/nand_cfg.h"

namespace sim {

// A fresh device in dir (a Windows path): erased image of the configured chip
// with its factory bad blocks marked, nand.cfg, no soc.state. Detaches first
// when the process is attached to that folder.
bool CreateDevice(const std::wstring& dir, const NandConfig& cfg, std::string* error);

// The folder of the attached device, as it was given, and a file in it.
std::wstring SocDeviceDir();
std::wstring SocDeviceFile(const wchar_t* name);

// A raw page (data, then spare) as the cells hold it.
bool SocReadRawPage(uint32_t sector, uint8_t raw[NAND_RAW_PAGE_BYTES]);
// Factory programming: the page's cells take these bytes as they are.
bool SocWriteRawPage(uint32_t sector, const uint8_t raw[NAND_RAW_PAGE_BYTES]);

// Replaces identity, timings, limits and faults as if nand.cfg said this (it
// is not written); read-flip counts start again. Stays in force until nand.cfg
// itself changes or a run is started.
bool SocLoadFaults(const NandConfig& cfg);

// As ResetDeviceRun does for a folder: chip operation counter to 0, power on,
// settings from nand.cfg, the record cleared when asked, a kill after
// killAfterOps chip operations armed (-1: none).
bool SocStartRun(bool clearRecord, int64_t killAfterOps = -1);

bool SocReadRecord(DeviceRecord* rec);
void SocClearRecord();
uint64_t SocClockNs();
uint64_t SocChipBusyNs();
// The power went (a power-loss fault): the next access of any process to the
// models ends it with exit code 0xDEAD.
bool SocPoweredOff();

// The register file as it stands, without a bus access (no side effect, not
// checked); and a register set as if its hardware had changed it.
uint32_t SocPeek32(int window, unsigned int offset);
void SocPoke32(int window, unsigned int offset, uint32_t value);

// For the stand-ins (system driver, camera), which must report however they
// are stopped: a wait of this process on hardware that does not answer looks
// at `stop` (a manual-reset event) and, once it is set, calls onStop, which
// writes the report and ends the process. A wait that does not answer is a
// run of more than kLongWaitPolls reads of one status register in a row (on
// working hardware the simulated clock lets a wait end at its first or second
// poll); the event is looked at after kLongWaitPolls polls of the run and
// again every kLongWaitPolls polls, so the stop is met at a counted poll.
// A null stop or onStop disarms it.
constexpr unsigned kLongWaitPolls = 1024;
void SocStopInLongWaits(HANDLE stop, void (*onStop)());

// The checker's own handles on the two bus mutexes are dropped. A handle keeps
// a named mutex alive; call this once the process is done with the bus (the
// driver has closed its handles) so that "_FLASH_MUTEX_" vanishes with the
// system driver, as it does on the device.
void SocDropBusHandles();

}  // namespace sim

#endif
