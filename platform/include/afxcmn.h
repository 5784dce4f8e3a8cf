// Common controls for programs of the framework: the progress bar's messages
// (PBM_SETPOS, ...) and the other control classes' definitions.
#ifndef PLATFORM_AFXCMN_H
#define PLATFORM_AFXCMN_H

#include "afxwin.h"

#include <commctrl.h>

#endif
