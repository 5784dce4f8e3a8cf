// Kernel services of the handheld's OS that the desktop Win32 headers lack.
// On the device they come from the kernel; here platform/ stands in for them.
#ifndef PLATFORM_PKFUNCS_H
#define PLATFORM_PKFUNCS_H

#include <windows.h>

#ifdef __cplusplus
extern "C" {
#endif

/* Maps lpvSrc (a statically mapped kernel address) into the reservation at
   lpvDest.  Fails for any address the SoC does not decode. */
BOOL VirtualCopy(LPVOID lpvDest, LPVOID lpvSrc, DWORD cbSize, DWORD fdwProtect);

/* Formats one debug line (wide printf conventions: %s is a wide string) and
   writes it to the debug output. */
void NKDbgPrintfW(LPCWSTR lpszFmt, ...);

#ifdef __cplusplus
}
#endif

#endif
