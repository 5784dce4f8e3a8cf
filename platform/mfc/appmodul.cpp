// The program's entry: the framework takes over at once. It is kept in an
// object of its own so that programs bring their own entry (test programs)
// can link the framework without it.
#include <afxwin.h>

extern "C" int WINAPI wWinMain(HINSTANCE hInstance, HINSTANCE hPrevInstance, LPWSTR lpCmdLine, int nCmdShow) {
  return AfxWinMain(hInstance, hPrevInstance, lpCmdLine, nCmdShow);
}
