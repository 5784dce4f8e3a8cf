#include "sim/checker.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <string>

namespace sim {

const char* ViolationKindName(ViolationKind kind) {
  switch (kind) {
    case ViolationKind::kUnlocked:
      return "unlocked";
    case ViolationKind::kTransfer:
      return "transfer";
    case ViolationKind::kCommand:
      return "command";
    case ViolationKind::kPinsOnCamera:
      return "pins-on-camera";
    case ViolationKind::kWriteProtect:
      return "write-protect";
    case ViolationKind::kPartialProgram:
      return "partial-program";
    case ViolationKind::kBusy:
      return "busy";
    case ViolationKind::kSequence:
      return "sequence";
    case ViolationKind::kAddress:
      return "address";
  }
  return "unknown";
}

std::string FormatViolation(const ViolationRec& v) {
  char text[kViolationTextBytes + 1];
  memcpy(text, v.text, kViolationTextBytes);
  text[kViolationTextBytes] = '\0';
  char head[96];
  snprintf(head, sizeof(head), "t=%llu.%03uus pid=%u %s: ", (unsigned long long)(v.timeNs / 1000),
           unsigned(v.timeNs % 1000), v.pid, ViolationKindName(ViolationKind(v.kind)));
  return std::string(head) + text;
}

void Checker::Record(ViolationKind kind, const char* format, ...) {
  CheckerRec& c = h_.checker;
  ++c.count;
  if (c.stored >= kRecordedViolations) return;
  ViolationRec& v = c.first[c.stored++];
  v.timeNs = h_.clock.nowNs;
  v.pid = pid_;
  v.kind = uint32_t(kind);
  va_list ap;
  va_start(ap, format);
  vsnprintf(v.text, sizeof(v.text), format, ap);
  va_end(ap);
}

void Checker::Clear() { memset(&h_.checker, 0, sizeof(h_.checker)); }

}  // namespace sim
