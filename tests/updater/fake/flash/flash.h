// A recording flash driver for the updater's run tests, in the shape the
// updater and the boot area header see: FlashContext with FMD_Init and
// FMD_Deinit. With it (and the recording boot area operations of
// fake_driver.cpp) the dialog's run is observed call by call: what was asked
// of the driver, in which order, with which sector data, and what the user
// saw at that moment. Compiled in place of the real driver's header, for the
// test programs only.
#ifndef TESTS_UPDATER_FAKE_FLASH_FLASH_H
#define TESTS_UPDATER_FAKE_FLASH_FLASH_H

#include <windows.h>

struct SectorInfo {
  DWORD dwReserved1;
  BYTE bOEMReserved;
  BYTE bBadBlock;
  WORD wReserved2;
};

class FlashContext {
 public:
  FlashContext();
  ~FlashContext();

  BOOL FMD_Init();
  void FMD_Deinit();

  BOOL bUp;  // between a successful FMD_Init and FMD_Deinit
};

#endif
