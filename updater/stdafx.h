// The framework headers every source of the updater includes first.
#ifndef UPDATER_STDAFX_H
#define UPDATER_STDAFX_H

#include <afxwin.h>  // core classes: CWinApp, CDialog, CWnd
#include <afxext.h>  // framework extensions
#include <afxcmn.h>  // common controls: the progress bar

#endif
