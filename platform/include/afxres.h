// Resource-script side of the application framework: the ids and styles a
// program's .rc file uses, and the handheld's own window styles that the
// desktop headers do not know. Included by resource scripts and by afxwin.h.
#ifndef PLATFORM_AFXRES_H
#define PLATFORM_AFXRES_H

#ifdef RC_INVOKED
#include <winresrc.h>
#else
#include <windows.h>
#endif

// A dialog with this extended style shows an OK button in its caption bar;
// pressing it sends IDOK to the dialog. The handheld's window manager defines
// it; desktop window managers ignore the bit.
#ifndef WS_EX_CAPTIONOKBTN
#define WS_EX_CAPTIONOKBTN 0x80000000L
#endif

#ifndef IDC_STATIC
#define IDC_STATIC (-1)
#endif

#endif
