#include "tools/run/events.h"

#include <nlohmann/json.hpp>

namespace runproto {

NLOHMANN_DEFINE_TYPE_NON_INTRUSIVE_WITH_DEFAULT(DebugLine, pid, line)
NLOHMANN_DEFINE_TYPE_NON_INTRUSIVE_WITH_DEFAULT(MessageBoxCall, pid, owner, caption, text, type)
NLOHMANN_DEFINE_TYPE_NON_INTRUSIVE_WITH_DEFAULT(MessageBoxAnswer, pid, result)
NLOHMANN_DEFINE_TYPE_NON_INTRUSIVE_WITH_DEFAULT(BoxSeen, pid, owner, caption, text, buttons, topmost, foreground, icon,
                                                probeOpenError)
NLOHMANN_DEFINE_TYPE_NON_INTRUSIVE_WITH_DEFAULT(ProcessStart, pid, app, ok, error, child)
NLOHMANN_DEFINE_TYPE_NON_INTRUSIVE_WITH_DEFAULT(FileDelete, pid, path, ok, error)
NLOHMANN_DEFINE_TYPE_NON_INTRUSIVE_WITH_DEFAULT(ProcessClose, pid, process)
NLOHMANN_DEFINE_TYPE_NON_INTRUSIVE_WITH_DEFAULT(Progress, pid, pos)
NLOHMANN_DEFINE_TYPE_NON_INTRUSIVE_WITH_DEFAULT(ProgramExit, pid, exit, timedOut, probeOpenError)
NLOHMANN_DEFINE_TYPE_NON_INTRUSIVE_WITH_DEFAULT(SysdrvReport, pid, holds, writes, reads, erases, mismatches, failures,
                                                abandoned, pinAbandoned, firstBlock, blocks, stoppedAt)
NLOHMANN_DEFINE_TYPE_NON_INTRUSIVE_WITH_DEFAULT(CameraReport, pid, mode, takes, stoppedAt)
NLOHMANN_DEFINE_TYPE_NON_INTRUSIVE_WITH_DEFAULT(CheckerRecord, violations, lines)

namespace {

// The kind names, in the order of the variant's alternatives.
const char* const kKinds[] = {"debug",    "message", "answer", "box",    "process", "delete",
                              "close",    "progress", "exit",  "sysdrv", "camera",  "checker"};
static_assert(sizeof(kKinds) / sizeof(kKinds[0]) == std::variant_size_v<Event>, "a name for every kind");

template <size_t I = 0>
bool FromJson(const std::string& kind, const nlohmann::json& j, Event* e) {
  if constexpr (I < std::variant_size_v<Event>) {
    if (kind == kKinds[I]) {
      *e = j.get<std::variant_alternative_t<I, Event>>();
      return true;
    }
    return FromJson<I + 1>(kind, j, e);
  } else {
    return false;
  }
}

}  // namespace

const char* KindOf(const Event& e) { return kKinds[e.index()]; }

std::string FormatEvent(const Event& e) {
  nlohmann::json j;
  std::visit([&j](const auto& rec) { j = rec; }, e);
  j["kind"] = KindOf(e);
  // Invalid UTF-8 (a program's own text) is replaced rather than refused: a
  // log line is never lost.
  return j.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

bool ParseEvent(const std::string& line, Event* e, std::string* error) {
  nlohmann::json j = nlohmann::json::parse(line, nullptr, false);
  if (j.is_discarded() || !j.is_object()) {
    *error = "not a JSON object: " + line;
    return false;
  }
  auto kind = j.find("kind");
  if (kind == j.end() || !kind->is_string()) {
    *error = "no kind: " + line;
    return false;
  }
  // Every number of a record is a whole one (ids, counts, codes, positions):
  // one with a fraction, or too large for 64 bits, has no field to go to.
  for (const auto& member : j.items()) {
    if (member.value().is_number_float()) {
      *error = "bad " + kind->get<std::string>() + " event (" + member.key() + " is not a whole number): " + line;
      return false;
    }
  }
  try {
    if (FromJson(kind->get<std::string>(), j, e)) return true;
    *error = "unknown kind \"" + kind->get<std::string>() + "\": " + line;
  } catch (const nlohmann::json::exception& x) {
    *error = std::string("bad ") + kind->get<std::string>() + " event (" + x.what() + "): " + line;
  }
  return false;
}

bool ParseEventLog(const std::string& text, std::vector<Event>* events, std::string* error) {
  events->clear();
  size_t start = 0;
  while (start < text.size()) {
    size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    std::string line = text.substr(start, end - start);
    start = end + 1;
    if (line.empty()) continue;
    Event e;
    if (!ParseEvent(line, &e, error)) return false;
    events->push_back(e);
  }
  return true;
}

}  // namespace runproto
