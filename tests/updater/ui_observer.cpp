#include "tests/updater/ui_observer.h"

#include <commctrl.h>

#include <mutex>

#include "tests/updater/fake_driver.h"

namespace {

std::mutex g_boxLock;

std::wstring ClassOf(HWND h) {
  wchar_t name[64] = {0};
  GetClassNameW(h, name, 64);
  return name;
}

std::wstring TextOf(HWND h) {
  wchar_t text[512] = {0};
  GetWindowTextW(h, text, 512);
  return text;
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

struct Found {
  HWND box = NULL;
};

BOOL CALLBACK FindBox(HWND h, LPARAM lParam) {
  // A message box is a dialog whose text is the static control 0xFFFF.
  if (ClassOf(h) == L"#32770" && IsWindowVisible(h) && GetDlgItem(h, 0xFFFF) != NULL) {
    ((Found*)lParam)->box = h;
    return FALSE;
  }
  return TRUE;
}

BOOL CALLBACK ReadChild(HWND h, LPARAM lParam) {
  SeenBox* box = (SeenBox*)lParam;
  std::wstring cls = ClassOf(h);
  LONG style = GetWindowLongW(h, GWL_STYLE);
  if (_wcsicmp(cls.c_str(), L"Button") == 0 && (style & WS_VISIBLE)) box->buttons.push_back(Utf8(TextOf(h)));
  if (_wcsicmp(cls.c_str(), L"Static") == 0 && (style & SS_TYPEMASK) == SS_ICON && (style & WS_VISIBLE) &&
      SendMessageW(h, STM_GETICON, 0, 0) != 0)
    box->hasIcon = true;
  return TRUE;
}

}  // namespace

std::string Utf8(const std::wstring& w) {
  if (w.empty()) return std::string();
  int n = WideCharToMultiByte(CP_UTF8, 0, w.data(), (int)w.size(), NULL, 0, NULL, NULL);
  std::string s(n, '\0');
  WideCharToMultiByte(CP_UTF8, 0, w.data(), (int)w.size(), &s[0], n, NULL, NULL);
  return s;
}

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

BoxAnswerer::BoxAnswerer(DWORD guiThread, std::function<void(const SeenBox&)> onBox)
    : guiThread_(guiThread), onBox_(std::move(onBox)), thread_([this] { Run(); }) {}

BoxAnswerer::~BoxAnswerer() {
  stop_ = true;
  thread_.join();
}

std::vector<SeenBox> BoxAnswerer::Boxes() {
  std::lock_guard<std::mutex> hold(g_boxLock);
  return boxes_;
}

void BoxAnswerer::Run() {
  while (!stop_) {
    Found found;
    EnumThreadWindows(guiThread_, FindBox, (LPARAM)&found);
    if (found.box == NULL) {
      Sleep(2);
      continue;
    }
    SeenBox box;
    box.caption = Utf8(TextOf(found.box));
    box.text = Utf8(TextOf(GetDlgItem(found.box, 0xFFFF)));
    box.owner = GetWindow(found.box, GW_OWNER);
    EnumChildWindows(found.box, ReadChild, (LPARAM)&box);
    fake::Log("box " + box.caption + "|" + box.text);
    if (onBox_) onBox_(box);
    {
      std::lock_guard<std::mutex> hold(g_boxLock);
      boxes_.push_back(box);
    }
    PostMessageW(found.box, WM_COMMAND, IDOK, 0);
    // One answer per box: wait for it to go before looking for the next.
    while (!stop_ && IsWindow(found.box)) Sleep(1);
  }
}
