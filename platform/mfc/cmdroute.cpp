// Command routing and what the program's window and dialog classes see alike
// on every platform: the message map chain, a command's way from WM_COMMAND
// to the handler, OK and Cancel through the data exchange, the calls a
// window passes on to the window system. The windows themselves are the
// platform's (wincore.cpp and dlgcore.cpp over Win32 dialogs, or
// platform/native/mfc.cpp without a screen).
#include <afxwin.h>

// --- command targets ----------------------------------------------------------

// The root of every message map chain: no entries, no base.
const AFX_MSGMAP CCmdTarget::messageMap = {NULL, &CCmdTarget::_messageEntries[0]};
const AFX_MSGMAP_ENTRY CCmdTarget::_messageEntries[] = {{0, 0, 0, 0, AfxSig_end, (AFX_PMSG)0}};
const AFX_MSGMAP* CCmdTarget::GetMessageMap() const { return &CCmdTarget::messageMap; }

CCmdTarget::CCmdTarget() {}
CCmdTarget::~CCmdTarget() {}

BOOL CCmdTarget::OnCmdMsg(UINT nID, int nCode, void*, void*) {
  for (const AFX_MSGMAP* pMap = GetMessageMap(); pMap != NULL; pMap = pMap->pBaseMap) {
    for (const AFX_MSGMAP_ENTRY* e = pMap->lpEntries; e->nSig != AfxSig_end; ++e) {
      if (e->nMessage == WM_COMMAND && e->nCode == (UINT)nCode && nID >= e->nID && nID <= e->nLastID) {
        (this->*e->pfn)();
        return TRUE;
      }
    }
  }
  return FALSE;
}

// --- windows ------------------------------------------------------------------

BEGIN_MESSAGE_MAP(CWnd, CCmdTarget)
END_MESSAGE_MAP()

// A call through a null pointer is undefined (and reported by UBSan), as in
// the device's framework: the window's handle.
HWND CWnd::GetSafeHwnd() const { return m_hWnd; }

int CWnd::MessageBox(LPCTSTR lpszText, LPCTSTR lpszCaption, UINT nType) {
  if (lpszCaption == NULL) lpszCaption = AfxGetAppName();
  return ::MessageBoxW(m_hWnd, lpszText, lpszCaption, nType);
}

LRESULT CWnd::SendMessage(UINT message, WPARAM wParam, LPARAM lParam) {
  return ::SendMessageW(m_hWnd, message, wParam, lParam);
}

BOOL CWnd::OnCommand(WPARAM wParam, LPARAM lParam) {
  UINT nID = LOWORD(wParam);
  // Menus, accelerators and the dialog manager's Enter and Escape send no
  // control window: their code is a plain command.
  int nCode = lParam == 0 ? CN_COMMAND : HIWORD(wParam);
  return OnCmdMsg(nID, nCode, NULL, NULL);
}

void CWnd::PostNcDestroy() {}

// --- dialogs: OK, Cancel and the data exchange --------------------------------

CDataExchange::CDataExchange(CWnd* pDlgWnd, BOOL bSaveAndValidate)
    : m_bSaveAndValidate(bSaveAndValidate), m_pDlgWnd(pDlgWnd), m_bFailed(FALSE) {}

void CDataExchange::Fail() { m_bFailed = TRUE; }

BEGIN_MESSAGE_MAP(CDialog, CWnd)
ON_COMMAND(IDOK, &CDialog::OnOK)
ON_COMMAND(IDCANCEL, &CDialog::OnCancel)
END_MESSAGE_MAP()

CDialog::CDialog(UINT nIDTemplate, CWnd* pParentWnd)
    : m_nIDHelp(nIDTemplate), m_pParentWnd(pParentWnd), m_bTemplateVisible(FALSE), m_bInitSeen(FALSE) {}

BOOL CDialog::OnInitDialog() {
  UpdateData(FALSE);
  return TRUE;
}

void CDialog::OnOK() {
  if (!UpdateData(TRUE)) return;
  EndDialog(IDOK);
}

void CDialog::OnCancel() { EndDialog(IDCANCEL); }

void CDialog::DoDataExchange(CDataExchange*) {}

BOOL CDialog::UpdateData(BOOL bSaveAndValidate) {
  CDataExchange dx(this, bSaveAndValidate);
  DoDataExchange(&dx);
  return !dx.m_bFailed;
}
