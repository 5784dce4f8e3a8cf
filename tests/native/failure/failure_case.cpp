#include "tests/native/failure/failure_case.h"

#include <variant>

namespace powerloss {
namespace {

const char* const kPhaseNames[] = {"open", "init", "locate", "read", "erase", "write"};
const char* const kPhaseMessages[] = {
    "Can't open binary file of bootloader!", "Failed to initialize NANDFLASH driver!",
    "Can't locate bootloader area!",         "Can't read binary file of bootloader!",
    "Can't erase bootloader area!",          "Can't write bootloader area!",
};
const wchar_t* const kBusMutexes[] = {L"_FLASH_MUTEX_", L"PIN_MUX_CAM_NANDFLASH_MUTEX"};

bool IsEraseLine(const runproto::Event& e) {
  const auto* d = std::get_if<runproto::DebugLine>(&e);
  return d && d->line.rfind("Erase block:", 0) == 0;
}
bool IsIdentificationLine(const runproto::Event& e) {
  const auto* d = std::get_if<runproto::DebugLine>(&e);
  return d && d->line.rfind("FMD: FMD_Init - Got flash infomation", 0) == 0;
}

}  // namespace

const char* PhaseName(Phase phase) { return kPhaseNames[int(phase)]; }
const char* PhaseMessage(Phase phase) { return kPhaseMessages[int(phase)]; }

// The phases of the points of an update without failure, from where they
// came among the run's debug lines: the file is opened first; the driver is
// up once it has printed the chip's identification; the file's size and the
// area come next, then the image is read (LocalAlloc, ReadFile); an erase
// line precedes each block's erase, which is its bus taking (two waits) and
// its ready wait; everything after the last block's erase writes.
std::vector<Phase> PhasesOf(const std::vector<native::FailurePoint>& seen, const std::vector<runproto::Event>& events) {
  size_t idLine = events.size(), lastErase = events.size(), firstErase = events.size();
  for (size_t i = 0; i < events.size(); ++i) {
    if (IsIdentificationLine(events[i]) && idLine == events.size()) idLine = i;
    if (IsEraseLine(events[i])) {
      if (firstErase == events.size()) firstErase = i;
      lastErase = i;
    }
  }
  std::vector<Phase> phases;
  int afterLastErase = 0;
  for (size_t i = 0; i < seen.size(); ++i) {
    using K = native::FailureKind;
    const native::FailurePoint& p = seen[i];
    bool file = p.kind == K::kGetFileSize || p.kind == K::kLocalAlloc || p.kind == K::kReadFile || p.kind == K::kShortRead;
    Phase phase = i == 0                                                    ? Phase::kOpen
                  : p.eventsBefore <= idLine                                ? Phase::kInit
                  : file                                                    ? Phase::kRead
                  : p.eventsBefore <= firstErase                            ? Phase::kLocate
                  : p.eventsBefore <= lastErase || afterLastErase++ < 3     ? Phase::kErase
                                                                            : Phase::kWrite;
    phases.push_back(phase);
  }
  return phases;
}


std::string FailedRunFault(const RunResult& cut, Phase phase, const native::Leftovers& before) {
  std::string fault;
  auto add = [&fault](const std::string& what) { fault += (fault.empty() ? "" : "; ") + what; };
  std::string want = PhaseMessage(phase);
  if (cut.end != native::ProgramEnd::kReturned) add(std::string("it ended: ") + native::ProgramEndName(cut.end));
  if (!native::FailurePointStruck()) add("the point never came");
  if (cut.boxes.size() != 1 || cut.boxes[0].caption != "Error" || cut.boxes[0].text != want)
    add("message boxes " + DescribeBoxes(cut.boxes) + ", wanted \"Error: " + want + "\"");
  for (const wchar_t* m : kBusMutexes)
    if (native::NamedMutexOwned(m)) add("a bus mutex is still held");
  native::Leftovers now = native::LeftByReturnedPrograms();
  if (now.handles != before.handles || now.regions != before.regions)
    add("the updater left " + std::to_string(now.handles - before.handles) + " handle(s) and " +
        std::to_string(now.regions - before.regions) + " memory region(s)");
  return fault;
}

}  // namespace powerloss
