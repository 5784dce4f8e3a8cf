// The protocol of a run on a simulated device, between the host side (the
// device runner: drive mapping, starting Wine, reading the events) and the
// Wine side (devrun, the system driver and camera stand-ins, the program under
// test and the platform stand-ins inside it). Everything the two sides agree
// on is here; the events themselves are typed records in events.h.
//
// A run, in order:
//  1. The host resets the device's run state in soc.state (chip operation
//     counter 0, power on, settings from nand.cfg, the interruption asked
//     for), maps the device folder as a drive of the Wine prefix and starts
//     devrun with that drive as its current directory and the variables below.
//  2. devrun starts the system driver stand-in and waits for its ready event,
//     starts the camera stand-ins nand.cfg asks for, starts the program in a
//     job object of its own (named, see kEnvTargetJob), and runs the robot
//     that answers message boxes.
//  3. Every process appends events to the run's event log. The device model
//     ends the program at the interruption asked for (power loss: every
//     process on the device; kill after N operations: the program's job).
//  4. devrun waits for the program (bounded by --timeout), ends what is left
//     of its job, writes the exit event, stops the stand-ins through their
//     stop events (each writes its report event as it ends) and exits.
//  5. The host reads the event log back, in the order it was written.
#ifndef TOOLS_RUN_PROTOCOL_H
#define TOOLS_RUN_PROTOCOL_H

#include <stdint.h>

namespace runproto {

// --- environment variables ---------------------------------------------------
// The run's event log, a Windows path; without it nothing is logged.
constexpr const char kEnvEventLog[] = "DEVSIM_EVENT_LOG";
// The device folder a process attaches to; without it, the root of its current
// drive (how programs on the device find it).
constexpr const char kEnvDevice[] = "DEVSIM_DEVICE";
// The card's read faults: "read-fail" or "short-read".
constexpr const char kEnvCardFault[] = "DEVSIM_CARD_FAULT";
// Set by devrun in the program's environment only (its children inherit it):
// the name of the job object the program runs in. It marks the processes of
// the program under test for the device model, which ends that job when a
// kill after N chip operations strikes.
constexpr const char kEnvTargetJob[] = "DEVSIM_TARGET_JOB";

// --- exit codes --------------------------------------------------------------
// Of the program under test, as the exit event reports them.
constexpr uint32_t kExitPowerLost = 0xDEAD;      // the device lost its power (every process on it)
constexpr uint32_t kExitTimedOut = 0xDEAD0001u;  // still running at devrun's --timeout
constexpr uint32_t kExitJobEnded = 0xDEAD0002u;  // a child still running after the program ended
constexpr uint32_t kExitKilled = 0xDEAD0004u;    // killed by the device model after N chip operations
// Of devrun itself.
constexpr int kRunnerOk = 0;        // the program ran to its end (or was ended by the device)
constexpr int kRunnerUsage = 2;     // bad usage, or something could not be started
constexpr int kRunnerTimedOut = 3;  // the program ran into --timeout
// Of the stand-ins (sysflash, camera).
constexpr int kStandInOk = 0;        // stopped through the stop event
constexpr int kStandInUsage = 2;     // bad usage, or a mutex or window could not be made
constexpr int kStandInNoDevice = 3;  // no simulated device to attach to

// --- named objects -----------------------------------------------------------
// With a suffix that makes them unique (the starting process id, a serial):
// "DEVSIM_SYSFLASH_READY_1234_1".
constexpr const wchar_t kSysflashReadyPrefix[] = L"DEVSIM_SYSFLASH_READY_";
constexpr const wchar_t kSysflashStopPrefix[] = L"DEVSIM_SYSFLASH_STOP_";
constexpr const wchar_t kCameraStopPrefix[] = L"DEVSIM_CAMERA_STOP_";
constexpr const wchar_t kTargetJobPrefix[] = L"DEVSIM_TARGET_JOB_";
// Taken around each append to the event log: Wine's appends from two
// processes can land at the same offset and tear a line.
constexpr const wchar_t kEventLogMutex[] = L"DEVSIM_EVENT_LOG_MUTEX";

}  // namespace runproto

#endif
