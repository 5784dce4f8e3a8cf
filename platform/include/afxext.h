// Framework extensions. The updater uses none beyond the core classes; the
// header exists so a program of this framework includes what it always does.
#ifndef PLATFORM_AFXEXT_H
#define PLATFORM_AFXEXT_H

#include "afxwin.h"

#endif
