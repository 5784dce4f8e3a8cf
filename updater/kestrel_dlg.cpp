// The update run.
//
// The whole image is read into memory before the boot area is erased, once
// the locator has said that it fits: a card that fails half-way through must
// leave the old boot loader in place, not half of a new one. The sectors are
// then written from memory; the first sector write that fails (the writer
// reads every sector back) ends the run with its own message, since a boot
// area written only in part must not be announced as done. A short last
// sector is filled up with 0xFF, the erased value, so the area holds nothing
// but the image.
#include "updater/kestrel_dlg.h"

#include <string.h>

#include "bootarea/bootarea.h"

namespace {

const DWORD kChunkBytes = BOOT_SECTOR_BYTES;

// Progress bar position (range 0..100) after dwDone of dwSize bytes. The
// product is formed in 64 bits: in 32 bits dwDone * 100 wraps for images
// above 42,949,672 bytes.
WPARAM ProgressPosition(DWORD dwDone, DWORD dwSize) { return (WPARAM)(((ULONGLONG)dwDone * 100) / dwSize); }

// Reads the whole image; NULL when the memory cannot be had or the card
// delivers less than the file's size.
BYTE* ReadImage(HANDLE hFile, DWORD dwSize) {
  BYTE* pImage = (BYTE*)LocalAlloc(LMEM_FIXED, dwSize);
  if (pImage == NULL) return NULL;
  DWORD dwRead = 0;
  if (!ReadFile(hFile, pImage, dwSize, &dwRead, NULL) || dwRead != dwSize) {
    LocalFree(pImage);
    return NULL;
  }
  return pImage;
}

}  // namespace

BEGIN_MESSAGE_MAP(CUpdaterDlg, CDialog)
ON_BN_CLICKED(IDC_UPDATE, &CUpdaterDlg::RunUpdate)
END_MESSAGE_MAP()

CUpdaterDlg::CUpdaterDlg(CWnd* pParent) : CDialog(CUpdaterDlg::IDD, pParent) {
  m_hIcon = LoadIconW(AfxGetResourceHandle(), MAKEINTRESOURCEW(IDI_UPDATER));
}

CUpdaterDlg::~CUpdaterDlg() {}

void CUpdaterDlg::DoDataExchange(CDataExchange* pDX) { CDialog::DoDataExchange(pDX); }

BOOL CUpdaterDlg::OnInitDialog() {
  CDialog::OnInitDialog();

  ::SendMessageW(m_hWnd, WM_SETICON, ICON_BIG, (LPARAM)m_hIcon);
  ::SendMessageW(m_hWnd, WM_SETICON, ICON_SMALL, (LPARAM)m_hIcon);

  CenterWindow();
  GetDlgItem(IDC_PROGRESS)->SendMessage(PBM_SETPOS, 0, 0);

  RunUpdate();
  OnOK();
  return TRUE;
}

void CUpdaterDlg::EndRun(HANDLE hFile, LPCTSTR lpszText, LPCTSTR lpszCaption) {
  MessageBox(lpszText, lpszCaption, MB_OK);
  m_flash.FMD_Deinit();
  CloseHandle(hFile);
}

void CUpdaterDlg::RunUpdate() {
  HANDLE hFile =
      CreateFileW(_T("\\SDMMC Disk\\EBOOT.NB0"), GENERIC_READ, 0, NULL, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, NULL);
  if (hFile == INVALID_HANDLE_VALUE) {
    MessageBox(_T("Can't open binary file of bootloader!"), _T("Error"), MB_OK);
    return;
  }

  if (!m_flash.FMD_Init()) {
    // A failed initialisation has released what it took: nothing to take down.
    MessageBox(_T("Failed to initialize NANDFLASH driver!"), _T("Error"), MB_OK);
    CloseHandle(hFile);
    return;
  }

  // A size the card could not tell is no size to fit into the area: the
  // file is reported unreadable, before the area is looked at.
  DWORD dwSize = GetFileSize(hFile, NULL);
  if (dwSize == INVALID_FILE_SIZE && GetLastError() != NO_ERROR) {
    EndRun(hFile, _T("Can't read binary file of bootloader!"), _T("Error"));
    return;
  }
  if (!NandLocateTocAndEBoot(&m_flash, dwSize)) {
    EndRun(hFile, _T("Can't locate bootloader area!"), _T("Error"));
    return;
  }

  BYTE* pImage = NULL;
  if (dwSize > 0) {
    pImage = ReadImage(hFile, dwSize);
    if (pImage == NULL) {
      EndRun(hFile, _T("Can't read binary file of bootloader!"), _T("Error"));
      return;
    }
  }

  if (!NandEraseEBoot(&m_flash)) {
    if (pImage != NULL) LocalFree(pImage);
    EndRun(hFile, _T("Can't erase bootloader area!"), _T("Error"));
    return;
  }

  BOOL bWritten = TRUE;
  DWORD dwTotal = 0;
  for (DWORD i = 0; dwTotal < dwSize; ++i) {
    DWORD dwChunk = dwSize - dwTotal;
    if (dwChunk > kChunkBytes) dwChunk = kChunkBytes;
    memcpy(m_abChunk, pImage + dwTotal, dwChunk);
    if (dwChunk < kChunkBytes) memset(m_abChunk + dwChunk, 0xFF, kChunkBytes - dwChunk);

    if (!NandWriteEBootSector(&m_flash, i, m_abChunk)) {
      bWritten = FALSE;
      break;
    }
    dwTotal += dwChunk;
    GetDlgItem(IDC_PROGRESS)->SendMessage(PBM_SETPOS, ProgressPosition(dwTotal, dwSize), 0);
  }
  if (pImage != NULL) LocalFree(pImage);

  if (bWritten)
    EndRun(hFile, _T("Bootloader update finished! "), _T("Information"));
  else
    EndRun(hFile, _T("Can't write bootloader area!"), _T("Error"));
}
