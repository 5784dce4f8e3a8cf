// The run's event log, as the programs and stand-ins on a simulated device
// write it: every process of a run appends one line per event to the file
// named by DEVSIM_EVENT_LOG, in the order they happen, so the host command can
// show them in that order afterwards. The records and their line form are in
// tools/run/events.h. Without DEVSIM_EVENT_LOG nothing is written.
#ifndef PLATFORM_EVENT_LOG_H
#define PLATFORM_EVENT_LOG_H

#include <windows.h>

#include "tools/run/events.h"

void PlatformLogEvent(const runproto::Event& event);

#endif
