/* Common controls: the progress bar's messages, as the updater's dialog sends them. */
#ifndef PLATFORM_NATIVE_COMMCTRL_H
#define PLATFORM_NATIVE_COMMCTRL_H

#include <windows.h>

#define PROGRESS_CLASSW L"msctls_progress32"
#define PBM_SETRANGE (WM_USER + 1)
#define PBM_SETPOS (WM_USER + 2)
#define PBM_DELTAPOS (WM_USER + 3)
#define PBM_SETSTEP (WM_USER + 4)
#define PBM_STEPIT (WM_USER + 5)
#define PBM_SETRANGE32 (WM_USER + 6)
#define PBM_GETPOS (WM_USER + 8)

#endif
