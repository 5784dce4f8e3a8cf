// The robot that answers message boxes the way a person at the device would:
// it finds each message box on screen, reads what it shows (caption, text,
// buttons, icon, owner, whether it is topmost and in the foreground), lets
// the caller look at the moment (onBox), and presses the answer asked for.
// One robot serves the run harness (devrun: boxes of the programs it runs)
// and the updater's in-process tests (boxes of one GUI thread).
//
// A message box is a top-level window of class "#32770" whose text is the
// static control 0xFFFF; a dialog of the same class without that control (the
// updater's own) is not one.
#ifndef TOOLS_RUN_BOX_ROBOT_H
#define TOOLS_RUN_BOX_ROBOT_H

#include <windows.h>

#include <atomic>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace runproto {

struct SeenBox {
  HWND box = NULL;
  DWORD pid = 0;
  HWND owner = NULL;
  std::string caption, text;         // UTF-8
  std::vector<std::string> buttons;  // visible buttons: "OK", "Cancel", "Abort", ...
  bool icon = false;                 // an icon is shown
  bool topmost = false;
  bool foreground = false;
};

enum class BoxAnswer { kOk, kCancel, kNone };

struct RobotOptions {
  // Boxes of this GUI thread; 0: boxes of every process but the robot's own.
  DWORD thread = 0;
  BoxAnswer answer = BoxAnswer::kOk;
  DWORD holdMs = 0;                           // how long each box stays up before the answer
  std::function<void(const SeenBox&)> onBox;  // on the robot's thread, before the answer
};

class BoxRobot {
 public:
  explicit BoxRobot(RobotOptions options);
  ~BoxRobot();  // stops the robot
  BoxRobot(const BoxRobot&) = delete;
  BoxRobot& operator=(const BoxRobot&) = delete;

  void Stop();
  std::vector<SeenBox> Boxes();  // every box seen so far, in order

 private:
  void Run();
  RobotOptions opt_;
  std::atomic<bool> stop_{false};
  std::mutex lock_;
  std::vector<SeenBox> boxes_;
  std::thread thread_;
};

}  // namespace runproto

#endif
