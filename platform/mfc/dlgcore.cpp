// Modal dialogs from a resource template.
//
// DoModal hands the template to the dialog manager (DialogBoxParamW) with
// AfxDlgProc as the dialog procedure and the CDialog as its parameter. The
// object is attached to the window on WM_INITDIALOG, before OnInitDialog
// runs, so everything OnInitDialog does (GetDlgItem, MessageBox with the
// dialog as owner, EndDialog) already sees the window. A dialog that ends
// itself inside OnInitDialog makes DoModal return without a modal loop.
//
// A template with WS_VISIBLE is shown before OnInitDialog runs, not after
// it returns as the desktop's dialog manager does: a program of this
// framework may do its whole work inside OnInitDialog (the updater writes
// the flash there, moving its progress bar), and the user is meant to see
// the dialog while it does.
#include <afxwin.h>

#include <stdio.h>
#include <string.h>

#include "platform/mfc/afx_platform.h"

namespace {

// The templates may name the common control classes ("msctls_progress32");
// the dialog manager can only create them once they are registered.
void RegisterCommonControls() {
  static bool done = false;
  if (done) return;
  INITCOMMONCONTROLSEX icc;
  icc.dwSize = sizeof(icc);
  icc.dwICC = ICC_WIN95_CLASSES;
  done = InitCommonControlsEx(&icc) != FALSE;
}

// The style of dialog template nID (plain or extended form), 0 if none.
DWORD TemplateStyle(UINT nID) {
  HINSTANCE hInst = AfxGetResourceHandle();
  HRSRC hRes = FindResourceW(hInst, MAKEINTRESOURCEW(nID), (LPCWSTR)RT_DIALOG);
  if (hRes == NULL || SizeofResource(hInst, hRes) < 12) return 0;
  const BYTE* p = (const BYTE*)LockResource(LoadResource(hInst, hRes));
  if (p == NULL) return 0;
  WORD wVer, wSig;
  DWORD dwStyle;
  memcpy(&wVer, p, 2);
  memcpy(&wSig, p + 2, 2);
  // DLGTEMPLATEEX: version 1, signature 0xFFFF, help id, extended style, style.
  memcpy(&dwStyle, (wVer == 1 && wSig == 0xFFFF) ? p + 12 : p, 4);
  return dwStyle;
}

}  // namespace

void AfxRegisterCommonControls() { RegisterCommonControls(); }

CDialog::~CDialog() {
  if (m_hWnd != NULL) ::DestroyWindow(m_hWnd);
}

// Under load this machine's window system now and then fails to create a
// dialog at all (DialogBoxParamW returns -1 before WM_INITDIALOG is ever
// sent): nothing of the program has run then, so the dialog is asked for
// again. A dialog that was created is never created a second time, and a
// template that is not there fails at once.
INT_PTR CDialog::DoModal() {
  RegisterCommonControls();
  m_bTemplateVisible = (TemplateStyle(m_nIDHelp) & WS_VISIBLE) != 0;
  HWND hWndParent = m_pParentWnd != NULL ? m_pParentWnd->m_hWnd : NULL;
  for (int attempt = 1;; ++attempt) {
    m_bInitSeen = FALSE;
    SetLastError(0);
    INT_PTR result =
        ::DialogBoxParamW(AfxGetResourceHandle(), MAKEINTRESOURCEW(m_nIDHelp), hWndParent, AfxDlgProc, (LPARAM)this);
    if (result != -1 || m_bInitSeen || TemplateStyle(m_nIDHelp) == 0 || attempt == 5) return result;
    fwprintf(stderr, L"framework: dialog %u could not be created (error %lu), attempt %d; trying again\n", m_nIDHelp,
             GetLastError(), attempt);
    Sleep(200);
  }
}

void CDialog::EndDialog(int nResult) { ::EndDialog(m_hWnd, nResult); }

INT_PTR CALLBACK AfxDlgProc(HWND hWnd, UINT message, WPARAM wParam, LPARAM lParam) {
  if (message == WM_INITDIALOG) {
    CDialog* pDlg = (CDialog*)lParam;
    SetWindowLongPtrW(hWnd, DWLP_USER, (LONG_PTR)pDlg);
    pDlg->Attach(hWnd);
    pDlg->m_bInitSeen = TRUE;
    if (pDlg->m_bTemplateVisible) ::ShowWindow(hWnd, SW_SHOWNORMAL);
    return pDlg->OnInitDialog();
  }
  CDialog* pDlg = (CDialog*)GetWindowLongPtrW(hWnd, DWLP_USER);
  if (pDlg == NULL) return FALSE;
  switch (message) {
    case WM_COMMAND:
      return pDlg->OnCommand(wParam, lParam);
    case WM_NCDESTROY:
      SetWindowLongPtrW(hWnd, DWLP_USER, 0);
      pDlg->OnNcDestroy();
      return FALSE;
    default:
      return FALSE;
  }
}
