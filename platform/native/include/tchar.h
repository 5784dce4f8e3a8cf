/* Text macros of a Unicode-only program: TCHAR is WCHAR on the handheld. */
#ifndef PLATFORM_NATIVE_TCHAR_H
#define PLATFORM_NATIVE_TCHAR_H

#include <windows.h>

#define _T(x) L##x
#define _TEXT(x) L##x

#endif
