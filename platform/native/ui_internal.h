// Windows of the headless user interface, shared by ui.cpp and the framework.
#ifndef PLATFORM_NATIVE_UI_INTERNAL_H
#define PLATFORM_NATIVE_UI_INTERNAL_H

#include <windows.h>

class CWnd;

namespace native {

struct Window {
  HWND parent = nullptr;
  int id = 0;   // control id within the parent
  int pos = 0;  // a progress bar's position
  bool visible = false;
  CWnd* object = nullptr;  // the framework object attached to it
};

namespace internal {
HWND NewWindow(HWND parent, int id);
Window* FindWindowRec(HWND h);
// The control with this id in parent (made on first use).
HWND ChildWindow(HWND parent, int id);
// The window and its controls are gone.
void DestroyWindowTree(HWND h);
}  // namespace internal

}  // namespace native

#endif
