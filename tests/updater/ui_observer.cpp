#include "tests/updater/ui_observer.h"

#include <commctrl.h>

#include "tests/updater/fake_driver.h"

namespace {

std::wstring ClassOf(HWND h) {
  wchar_t name[64] = {0};
  GetClassNameW(h, name, 64);
  return name;
}

LRESULT CALLBACK RecordSent(int code, WPARAM wParam, LPARAM lParam) {
  if (code == HC_ACTION) {
    const CWPSTRUCT* m = (const CWPSTRUCT*)lParam;
    if (m->message == PBM_SETPOS && _wcsicmp(ClassOf(m->hwnd).c_str(), PROGRESS_CLASSW) == 0)
      fake::Log("pos " + std::to_string((unsigned)m->wParam));
    if (m->message == WM_SETICON)
      fake::Log(std::string("icon ") + (m->wParam == ICON_BIG ? "big " : "small ") +
                std::to_string((unsigned long long)m->lParam));
  }
  return CallNextHookEx(NULL, code, wParam, lParam);
}

}  // namespace

MessageRecorder::MessageRecorder() : hook_(SetWindowsHookExW(WH_CALLWNDPROC, RecordSent, NULL, GetCurrentThreadId())) {}

MessageRecorder::~MessageRecorder() {
  if (hook_) UnhookWindowsHookEx(hook_);
}

std::vector<unsigned> MessageRecorder::Positions(const std::vector<std::string>& journal) {
  std::vector<unsigned> out;
  for (const std::string& e : journal)
    if (e.compare(0, 4, "pos ") == 0) out.push_back((unsigned)std::stoul(e.substr(4)));
  return out;
}

namespace {

runproto::RobotOptions AnswererOptions(DWORD guiThread, std::function<void(const SeenBox&)> onBox) {
  runproto::RobotOptions o;
  o.thread = guiThread;
  o.onBox = [onBox](const SeenBox& box) {
    fake::Log("box " + box.caption + "|" + box.text);
    if (onBox) onBox(box);
  };
  return o;
}

}  // namespace

BoxAnswerer::BoxAnswerer(DWORD guiThread, std::function<void(const SeenBox&)> onBox)
    : BoxRobot(AnswererOptions(guiThread, std::move(onBox))) {}
