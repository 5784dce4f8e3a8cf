// What the parts of the native platform share among themselves: the one lock
// and condition of the kernel objects, handles, and wide-string checks.
#ifndef PLATFORM_NATIVE_KERNEL_INTERNAL_H
#define PLATFORM_NATIVE_KERNEL_INTERNAL_H

#include <windows.h>

#include <string>

#include "platform/native/native.h"

namespace native {
namespace internal {

// A shared-memory section (the SoC's memory windows) as a handle: MapViewOfFile
// maps it. The descriptor stays the caller's.
HANDLE NewSectionHandle(int fd);
// The descriptor behind a section handle, -1 if it is not one.
int SectionFd(HANDLE h);

// A wide string from the device code as UTF-8; every unit that would not fit
// the device's 16-bit WCHAR is counted (WideUnitsBeyond16Bits).
std::string DeviceUtf8(const wchar_t* s);
std::string DeviceUtf8(const wchar_t* s, size_t n);
// The same count for a string the call does not convert (a format, a name).
void CheckDeviceWide(const wchar_t* s);

// The folder of the attached device (Linux path), empty when none.
std::string AttachedDeviceDir();

// The process (program) the calling thread belongs to; 1 is the test's own.
int CallingProcess();

// Events recorded so far (native::Events).
size_t EventCount();

// Whether the calling thread's calls are failure points (native.h).
bool CallingThreadCountsPoints();
// Counts a failure point of the calling thread; true when it is the armed
// one, which is to fail.
bool FailHere(FailureKind kind, const char* what);
// The same for a point named by the device's wide string, converted only when
// the list of points is kept.
bool FailHere(FailureKind kind, const wchar_t* deviceName);

// A register write of the device code on its way to the models, changed as
// the armed RegisterTamper (native_soc.h) says.
void WriteRegister(int window, unsigned offset, unsigned value);

}  // namespace internal
}  // namespace native

#endif
