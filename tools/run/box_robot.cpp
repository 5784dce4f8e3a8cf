#include "tools/run/box_robot.h"

#include <set>

#include "platform/debug_sink.h"

namespace runproto {
namespace {

std::wstring WindowText(HWND h) {
  wchar_t buf[2048];
  int n = GetWindowTextW(h, buf, 2048);
  return std::wstring(buf, n > 0 ? size_t(n) : 0);
}

bool IsMessageBox(HWND h) {
  wchar_t cls[64];
  return GetClassNameW(h, cls, 64) && wcscmp(cls, L"#32770") == 0 && IsWindowVisible(h) &&
         GetDlgItem(h, 0xFFFF) != NULL;
}

struct Search {
  DWORD skipPid;  // the robot's own process, when it looks at other processes' boxes
  std::vector<HWND> boxes;
};

BOOL CALLBACK Collect(HWND h, LPARAM lp) {
  Search* s = reinterpret_cast<Search*>(lp);
  DWORD pid = 0;
  GetWindowThreadProcessId(h, &pid);
  if (pid != s->skipPid && IsMessageBox(h)) s->boxes.push_back(h);
  return TRUE;
}

BOOL CALLBACK FindIcon(HWND h, LPARAM lp) {
  LONG style = GetWindowLongW(h, GWL_STYLE);
  if ((style & SS_TYPEMASK) == SS_ICON && (style & WS_VISIBLE) && GetDlgCtrlID(h) != 0xFFFF &&
      SendMessageW(h, STM_GETICON, 0, 0) != 0)
    *reinterpret_cast<bool*>(lp) = true;
  return TRUE;
}

SeenBox Read(HWND box) {
  static const struct {
    int id;
    const char* name;
  } kButtons[] = {{IDOK, "OK"},         {IDCANCEL, "Cancel"}, {IDABORT, "Abort"}, {IDRETRY, "Retry"},
                  {IDIGNORE, "Ignore"}, {IDYES, "Yes"},       {IDNO, "No"}};
  SeenBox s;
  s.box = box;
  GetWindowThreadProcessId(box, &s.pid);
  s.owner = GetWindow(box, GW_OWNER);
  s.caption = PlatformUtf8(WindowText(box));
  s.text = PlatformUtf8(WindowText(GetDlgItem(box, 0xFFFF)));
  for (const auto& b : kButtons) {
    HWND button = GetDlgItem(box, b.id);
    if (button && IsWindowVisible(button)) s.buttons.push_back(b.name);
  }
  EnumChildWindows(box, FindIcon, reinterpret_cast<LPARAM>(&s.icon));
  s.topmost = (GetWindowLongW(box, GWL_EXSTYLE) & WS_EX_TOPMOST) != 0;
  s.foreground = GetForegroundWindow() == box;
  return s;
}

}  // namespace

BoxRobot::BoxRobot(RobotOptions options) : opt_(std::move(options)), thread_([this] { Run(); }) {}

BoxRobot::~BoxRobot() { Stop(); }

void BoxRobot::Stop() {
  stop_ = true;
  if (thread_.joinable()) thread_.join();
}

std::vector<SeenBox> BoxRobot::Boxes() {
  std::lock_guard<std::mutex> hold(lock_);
  return boxes_;
}

void BoxRobot::Run() {
  std::set<HWND> answered;
  while (!stop_) {
    Search search = {opt_.thread ? 0 : GetCurrentProcessId(), {}};
    if (opt_.thread)
      EnumThreadWindows(opt_.thread, Collect, reinterpret_cast<LPARAM>(&search));
    else
      EnumWindows(Collect, reinterpret_cast<LPARAM>(&search));
    for (HWND box : search.boxes) {
      if (answered.count(box)) continue;
      answered.insert(box);
      SeenBox seen = Read(box);
      if (opt_.onBox) opt_.onBox(seen);
      {
        std::lock_guard<std::mutex> hold(lock_);
        boxes_.push_back(seen);
      }
      if (opt_.answer == BoxAnswer::kNone) continue;
      if (opt_.holdMs) Sleep(opt_.holdMs);
      PostMessageW(box, WM_COMMAND, opt_.answer == BoxAnswer::kOk ? IDOK : IDCANCEL, 0);
    }
    // Forget boxes that are gone: a later box may get the same handle.
    for (auto it = answered.begin(); it != answered.end();) it = IsWindow(*it) ? std::next(it) : answered.erase(it);
    Sleep(2);
  }
}

}  // namespace runproto
