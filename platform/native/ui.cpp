// The user interface of the handheld without a screen: windows are records,
// message boxes are written to the run's record and answered at once (the
// default button, or what the test asked for), progress positions are
// recorded. Headless framework classes (mfc.cpp) build on these.
#include <commctrl.h>
#include <windows.h>

#include <errno.h>

#include <mutex>
#include <set>

#include "platform/event_log.h"
#include "platform/native/kernel_internal.h"
#include "platform/native/native.h"
#include "platform/native/ui_internal.h"

namespace native {
namespace {

struct Ui {
  std::mutex lock;
  std::set<Window*> windows;
  int answer = 0;
};

Ui& U() {
  static Ui* u = new Ui;
  return *u;
}

struct HICON__ g_icon;

}  // namespace

void SetMessageBoxAnswer(int answer) {
  std::lock_guard<std::mutex> g(U().lock);
  U().answer = answer;
}

namespace internal {

HWND NewWindow(HWND parent, int id) {
  Window* w = new Window;
  w->parent = parent;
  w->id = id;
  std::lock_guard<std::mutex> g(U().lock);
  U().windows.insert(w);
  return reinterpret_cast<HWND>(w);
}

Window* FindWindowRec(HWND h) {
  std::lock_guard<std::mutex> g(U().lock);
  auto it = U().windows.find(reinterpret_cast<Window*>(h));
  return it == U().windows.end() ? nullptr : *it;
}

HWND ChildWindow(HWND parent, int id) {
  {
    std::lock_guard<std::mutex> g(U().lock);
    for (Window* w : U().windows)
      if (w->parent == parent && w->id == id) return reinterpret_cast<HWND>(w);
  }
  return NewWindow(parent, id);
}

void DestroyWindowTree(HWND h) {
  std::lock_guard<std::mutex> g(U().lock);
  for (auto it = U().windows.begin(); it != U().windows.end();) {
    Window* w = *it;
    if (reinterpret_cast<HWND>(w) == h || w->parent == h) {
      delete w;
      it = U().windows.erase(it);
    } else {
      ++it;
    }
  }
}

}  // namespace internal
}  // namespace native

extern "C" int MessageBoxW(HWND owner, LPCWSTR text, LPCWSTR caption, UINT type) {
  runproto::MessageBoxCall call;
  call.pid = GetCurrentProcessId();
  call.owner = reinterpret_cast<uintptr_t>(owner);
  call.caption = native::internal::DeviceUtf8(caption ? caption : L"Error");
  call.text = native::internal::DeviceUtf8(text ? text : L"");
  call.type = type;
  PlatformLogEvent(call);
  int answer;
  {
    std::lock_guard<std::mutex> g(native::U().lock);
    answer = native::U().answer;
  }
  if (answer == 0) {
    // The default button of the box's kind.
    UINT kind = type & 0xF;
    answer = kind == MB_YESNO ? IDYES : IDOK;
  }
  runproto::MessageBoxAnswer ev;
  ev.pid = GetCurrentProcessId();
  ev.result = answer;
  PlatformLogEvent(ev);
  return answer;
}

extern "C" LRESULT SendMessageW(HWND h, UINT msg, WPARAM wParam, LPARAM) {
  native::Window* w = native::internal::FindWindowRec(h);
  if (!w) return 0;
  if (msg == PBM_SETPOS) {
    runproto::Progress ev;
    ev.pid = GetCurrentProcessId();
    ev.pos = wParam;
    PlatformLogEvent(ev);
    LRESULT previous = w->pos;
    w->pos = int(wParam);
    return previous;
  }
  if (msg == PBM_GETPOS) return w->pos;
  return 0;
}

extern "C" HICON LoadIconW(HINSTANCE, LPCWSTR) { return &native::g_icon; }

extern "C" BOOL IsWindow(HWND h) { return native::internal::FindWindowRec(h) != nullptr; }
