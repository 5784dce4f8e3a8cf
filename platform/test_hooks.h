// Test-only levers on the platform stand-ins: faults that the real kernel can
// produce but a healthy simulated device never does.
#ifndef PLATFORM_TEST_HOOKS_H
#define PLATFORM_TEST_HOOKS_H

// The next VirtualCopy whose source lies in the window at this kernel address
// fails (once), as if the kernel refused the mapping.
void PlatformFailVirtualCopyAt(unsigned int kernelAddress);
// Windows currently mapped by VirtualCopy in this process.
int PlatformMappedWindowCount();
// Undo every armed hook.
void PlatformResetHooks();

#endif
