// Watching the updater's window the way a user would, from inside the test
// program: the messages sent to its windows (icons, progress bar positions)
// and the message boxes it shows, which are read and answered as a person
// would answer them.
#ifndef TESTS_UPDATER_UI_OBSERVER_H
#define TESTS_UPDATER_UI_OBSERVER_H

#include <windows.h>

#include <functional>
#include <string>
#include <vector>

#include "tools/run/box_robot.h"

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

using runproto::SeenBox;

// The run harness's robot on the message boxes of one GUI thread: each box is
// recorded (and "box CAPTION|TEXT" written to the journal), onBox looks at the
// moment, then OK is pressed.
class BoxAnswerer : public runproto::BoxRobot {
 public:
  explicit BoxAnswerer(DWORD guiThread, std::function<void(const SeenBox&)> onBox = nullptr);
};

#endif
