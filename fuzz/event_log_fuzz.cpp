// libFuzzer target: the event log of a run (tools/run/events.h) as the host
// side reads it (ParseEventLog; the input is the log's text).
//
//   - a refused log has a message;
//   - a log that reads has no more records than non-empty lines, and its
//     records written out again (FormatEvent, a line each) read back to the
//     same records: as many, of the same kinds, written the same.
//
//   event_log_fuzz CORPUS_DIR -dict=fuzz/event_log_fuzz.dict    fuzz
//   event_log_fuzz crash-FILE                                    run one input again
#include <stddef.h>
#include <stdint.h>

#include <algorithm>
#include <string>
#include <vector>

#include "fuzz/reader_check.h"
#include "tools/run/events.h"

namespace {

size_t NonEmptyLines(const std::string& text) {
  size_t n = 0, start = 0;
  while (start < text.size()) {
    size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    n += end > start;
    start = end + 1;
  }
  return n;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  std::vector<runproto::Event> events;
  std::string error;
  if (!runproto::ParseEventLog(text, &events, &error)) {
    READER_CHECK(!error.empty(), "a refused log without a message");
    return 0;
  }
  READER_CHECK(events.size() <= NonEmptyLines(text), "more records than lines");

  std::string written;
  for (const runproto::Event& e : events) written += runproto::FormatEvent(e) + "\n";
  std::vector<runproto::Event> back;
  READER_CHECK(runproto::ParseEventLog(written, &back, &error), "the records written out do not read: " + error);
  READER_CHECK(back.size() == events.size(), written);
  for (size_t i = 0; i < events.size(); ++i) {
    READER_CHECK(back[i].index() == events[i].index(), written);
    const std::string again = runproto::FormatEvent(back[i]);
    const std::string first = runproto::FormatEvent(events[i]);
    READER_CHECK(again == first, "written: " + first + "\nread back and written again: " + again);
  }
  return 0;
}
