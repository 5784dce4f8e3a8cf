// Command targets, message map routing and windows.
#include <afxwin.h>

#include <map>

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

namespace {

// Windows known to the framework: permanent objects (attached by the
// program's classes) and temporary wrappers made by FromHandle. A
// temporary wrapper is kept while its window exists, so a CWnd* handed out
// by GetDlgItem stays valid for as long as the control does.
struct HandleMaps {
  std::map<HWND, CWnd*> permanent;
  std::map<HWND, CWnd*> temporary;
};

HandleMaps& Maps() {
  static HandleMaps maps;
  return maps;
}

void DropDeadTemporaries() {
  auto& temp = Maps().temporary;
  for (auto it = temp.begin(); it != temp.end();) {
    if (!IsWindow(it->first)) {
      it->second->m_hWnd = NULL;
      delete it->second;
      it = temp.erase(it);
    } else {
      ++it;
    }
  }
}

}  // namespace

BEGIN_MESSAGE_MAP(CWnd, CCmdTarget)
END_MESSAGE_MAP()

CWnd::CWnd() : m_hWnd(NULL) {}

CWnd::~CWnd() {
  if (m_hWnd != NULL) {
    auto& perm = Maps().permanent;
    auto it = perm.find(m_hWnd);
    if (it != perm.end() && it->second == this) perm.erase(it);
  }
  CWinApp* pApp = AfxGetApp();
  if (pApp != NULL && pApp->m_pMainWnd == this) pApp->m_pMainWnd = NULL;
}

HWND CWnd::GetSafeHwnd() const { return m_hWnd; }

CWnd* CWnd::FromHandle(HWND hWnd) {
  if (hWnd == NULL) return NULL;
  auto& maps = Maps();
  auto perm = maps.permanent.find(hWnd);
  if (perm != maps.permanent.end()) return perm->second;
  DropDeadTemporaries();
  auto temp = maps.temporary.find(hWnd);
  if (temp != maps.temporary.end()) return temp->second;
  CWnd* pWnd = new CWnd;
  pWnd->m_hWnd = hWnd;
  maps.temporary[hWnd] = pWnd;
  return pWnd;
}

BOOL CWnd::Attach(HWND hWnd) {
  if (hWnd == NULL || m_hWnd != NULL) return FALSE;
  m_hWnd = hWnd;
  Maps().permanent[hWnd] = this;
  return TRUE;
}

HWND CWnd::Detach() {
  HWND hWnd = m_hWnd;
  if (hWnd != NULL) {
    auto& perm = Maps().permanent;
    auto it = perm.find(hWnd);
    if (it != perm.end() && it->second == this) perm.erase(it);
  }
  m_hWnd = NULL;
  return hWnd;
}

BOOL CWnd::DestroyWindow() { return m_hWnd != NULL && ::DestroyWindow(m_hWnd); }

void CWnd::CenterWindow(CWnd* pAlternateOwner) {
  DWORD dwStyle = (DWORD)GetWindowLongW(m_hWnd, GWL_STYLE);
  HWND hWndCenter = pAlternateOwner != NULL ? pAlternateOwner->m_hWnd : NULL;
  if (hWndCenter == NULL) hWndCenter = (dwStyle & WS_CHILD) ? ::GetParent(m_hWnd) : ::GetWindow(m_hWnd, GW_OWNER);
  // An owner that is hidden or minimised is no place to centre on.
  if (hWndCenter != NULL && (!::IsWindowVisible(hWndCenter) || ::IsIconic(hWndCenter))) hWndCenter = NULL;

  RECT rcDlg, rcArea, rcCenter;
  ::GetWindowRect(m_hWnd, &rcDlg);
  if (dwStyle & WS_CHILD) {
    HWND hWndParent = ::GetParent(m_hWnd);
    ::GetClientRect(hWndParent, &rcArea);
    if (hWndCenter == NULL) hWndCenter = hWndParent;
    ::GetClientRect(hWndCenter, &rcCenter);
    ::MapWindowPoints(hWndCenter, hWndParent, (POINT*)&rcCenter, 2);
  } else {
    ::SystemParametersInfoW(SPI_GETWORKAREA, 0, &rcArea, 0);
    if (hWndCenter != NULL)
      ::GetWindowRect(hWndCenter, &rcCenter);
    else
      rcCenter = rcArea;
  }

  int cx = rcDlg.right - rcDlg.left;
  int cy = rcDlg.bottom - rcDlg.top;
  int x = (rcCenter.left + rcCenter.right) / 2 - cx / 2;
  int y = (rcCenter.top + rcCenter.bottom) / 2 - cy / 2;
  if (x + cx > rcArea.right) x = rcArea.right - cx;
  if (x < rcArea.left) x = rcArea.left;
  if (y + cy > rcArea.bottom) y = rcArea.bottom - cy;
  if (y < rcArea.top) y = rcArea.top;
  ::SetWindowPos(m_hWnd, NULL, x, y, 0, 0, SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);
}

int CWnd::MessageBox(LPCTSTR lpszText, LPCTSTR lpszCaption, UINT nType) {
  if (lpszCaption == NULL) lpszCaption = AfxGetAppName();
  return ::MessageBoxW(m_hWnd, lpszText, lpszCaption, nType);
}

CWnd* CWnd::GetDlgItem(int nID) const { return FromHandle(::GetDlgItem(m_hWnd, nID)); }

LRESULT CWnd::SendMessage(UINT message, WPARAM wParam, LPARAM lParam) {
  return ::SendMessageW(m_hWnd, message, wParam, lParam);
}

BOOL CWnd::ShowWindow(int nCmdShow) { return ::ShowWindow(m_hWnd, nCmdShow); }

BOOL CWnd::IsWindowVisible() const { return ::IsWindowVisible(m_hWnd); }

BOOL CWnd::OnCommand(WPARAM wParam, LPARAM lParam) {
  UINT nID = LOWORD(wParam);
  // Menus, accelerators and the dialog manager's Enter and Escape send no
  // control window: their code is a plain command.
  int nCode = lParam == 0 ? CN_COMMAND : HIWORD(wParam);
  return OnCmdMsg(nID, nCode, NULL, NULL);
}

void CWnd::PostNcDestroy() {}

void CWnd::OnNcDestroy() {
  CWinApp* pApp = AfxGetApp();
  if (pApp != NULL && pApp->m_pMainWnd == this) {
    PostQuitMessage(0);
    pApp->m_pMainWnd = NULL;
  }
  Detach();
  PostNcDestroy();
}
