// The tests' journal of events (tests/updater/fake_driver.h).
#include <mutex>

#include "tests/updater/fake_driver.h"

namespace fake {
namespace {
std::mutex g_lock;
std::vector<std::string> g_journal;
}  // namespace

void Log(const std::string& event) {
  std::lock_guard<std::mutex> hold(g_lock);
  g_journal.push_back(event);
}

std::vector<std::string> Journal() {
  std::lock_guard<std::mutex> hold(g_lock);
  return g_journal;
}

void ClearJournal() {
  std::lock_guard<std::mutex> hold(g_lock);
  g_journal.clear();
}

}  // namespace fake
