// What a run of the updater that met one failure point must show: the
// step of the update the point belongs to, and the message that step's
// failure calls for. Shared by the failure sweep and the failure tests.
#ifndef TESTS_NATIVE_FAILURE_FAILURE_CASE_H
#define TESTS_NATIVE_FAILURE_FAILURE_CASE_H

#include <string>
#include <vector>

#include "platform/native/native.h"
#include "tests/native/power_loss/update_case.h"

namespace powerloss {

// Where in the update a point comes.
enum class Phase { kOpen, kInit, kLocate, kRead, kErase, kWrite };
const char* PhaseName(Phase phase);
// The message a failure in the phase ends the run with ("Error" its caption).
const char* PhaseMessage(Phase phase);

// The phase of each point of an update run without failure, from the
// points and the events of that run.
std::vector<Phase> PhasesOf(const std::vector<native::FailurePoint>& seen, const std::vector<runproto::Event>& events);

// "" when the run that met its point returned with the phase's message
// alone, the bus mutexes free and nothing left by the updater beyond
// `before`; otherwise what was wrong.
std::string FailedRunFault(const RunResult& cut, Phase phase, const native::Leftovers& before);

}  // namespace powerloss

#endif
