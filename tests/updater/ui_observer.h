// Watching the updater's window the way a user would, from inside the test
// program: the messages sent to its windows (icons, progress bar positions)
// and the message boxes it shows, which are read and answered as a person
// would answer them.
#ifndef TESTS_UPDATER_UI_OBSERVER_H
#define TESTS_UPDATER_UI_OBSERVER_H

#include <windows.h>

#include <atomic>
#include <functional>
#include <string>
#include <thread>
#include <vector>

// Records, for windows of the calling thread, every PBM_SETPOS sent to a
// progress bar ("pos N") and every WM_SETICON ("icon big|small H") into the
// fake driver's journal, so they fall in order with the driver calls.
class MessageRecorder {
 public:
  MessageRecorder();
  ~MessageRecorder();
  static std::vector<unsigned> Positions(const std::vector<std::string>& journal);

 private:
  HHOOK hook_;
};

struct SeenBox {
  std::string caption, text;
  HWND owner = NULL;
  std::vector<std::string> buttons;  // texts of the box's buttons
  bool hasIcon = false;
};

// A thread that finds each message box of the given GUI thread, records it
// (and "box CAPTION|TEXT" in the journal), lets onBox look at the moment,
// then presses OK.
class BoxAnswerer {
 public:
  explicit BoxAnswerer(DWORD guiThread, std::function<void(const SeenBox&)> onBox = nullptr);
  ~BoxAnswerer();
  std::vector<SeenBox> Boxes();

 private:
  void Run();
  DWORD guiThread_;
  std::function<void(const SeenBox&)> onBox_;
  std::atomic<bool> stop_{false};
  std::vector<SeenBox> boxes_;
  std::thread thread_;
};

std::string Utf8(const std::wstring& w);

#endif
