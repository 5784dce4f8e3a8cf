// Register access of the device driver kit: one 32-bit volatile access per call,
// in program order. On this machine the accesses reach the SoC's device models.
#ifndef PLATFORM_CEDDK_H
#define PLATFORM_CEDDK_H

#include <windows.h>

#ifdef __cplusplus
extern "C" {
#endif

ULONG READ_REGISTER_ULONG(volatile ULONG* Register);
void WRITE_REGISTER_ULONG(volatile ULONG* Register, ULONG Value);

#ifdef __cplusplus
}
#endif

#endif
