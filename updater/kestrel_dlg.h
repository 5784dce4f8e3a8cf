// The updater's dialog: a progress bar, and the update run that drives it.
#ifndef UPDATER_KESTREL_DLG_H
#define UPDATER_KESTREL_DLG_H

#include "updater/stdafx.h"

#include "flash/flash.h"
#include "flash/nand_format.h"
#include "updater/resource.h"

class CUpdaterDlg : public CDialog {
 public:
  explicit CUpdaterDlg(CWnd* pParent = NULL);
  virtual ~CUpdaterDlg();

  enum { IDD = IDD_UPDATER_DIALOG };

  virtual BOOL OnInitDialog();

 protected:
  virtual void DoDataExchange(CDataExchange* pDX);

  // One complete update of the boot loader area from the card's image.
  afx_msg void RunUpdate();

 private:
  // Shows the run's closing message, then takes the driver down, then
  // closes the image: the file stays locked while the message is up.
  void EndRun(HANDLE hFile, LPCTSTR lpszText, LPCTSTR lpszCaption);

  HICON m_hIcon;
  BYTE m_abChunk[BOOT_SECTOR_BYTES];
  FlashContext m_flash;

  DECLARE_MESSAGE_MAP()
};

#endif
