// Kestrel: rewrites the boot loader area of the NAND flash from the card.
#ifndef UPDATER_KESTREL_H
#define UPDATER_KESTREL_H

#include "updater/stdafx.h"

class CUpdaterApp : public CWinApp {
 public:
  CUpdaterApp();
  virtual ~CUpdaterApp();

  // Runs the updater dialog once; the program ends when it returns.
  virtual BOOL InitInstance();

  DECLARE_MESSAGE_MAP()
};

extern CUpdaterApp theApp;

#endif
