// What the framework's shared part (appcore.cpp, cmdroute.cpp) asks of the
// platform it runs on: plain Win32 dialogs under Wine (wincore.cpp,
// dlgcore.cpp) or a process without a screen (platform/native/mfc.cpp). The
// windows themselves, the modal loop and the message loop are the platform's
// own; everything a program's classes see alike is shared.
#ifndef PLATFORM_MFC_AFX_PLATFORM_H
#define PLATFORM_MFC_AFX_PLATFORM_H

#include <afxwin.h>

// The window classes a dialog template may name are registered (common
// controls), once.
void AfxRegisterCommonControls();

// The program file's name without its folder and extension, into name
// (MAX_PATH characters); false when it cannot be told.
BOOL AfxProgramName(HINSTANCE hInstance, wchar_t* name);

// The instance when the application has none yet.
HINSTANCE AfxDefaultInstance();

#endif
