// Windows over Win32, the program's module and its message loop (command
// routing and what every platform shares: cmdroute.cpp, appcore.cpp).
#include <afxwin.h>

#include <string.h>

#include <map>

#include "platform/mfc/afx_platform.h"

HINSTANCE AfxDefaultInstance() { return GetModuleHandleW(NULL); }

BOOL AfxProgramName(HINSTANCE hInstance, wchar_t* name) {
  wchar_t szPath[MAX_PATH];
  DWORD n = GetModuleFileNameW(hInstance, szPath, MAX_PATH);
  if (n == 0 || n >= MAX_PATH) return FALSE;
  const wchar_t* pName = wcsrchr(szPath, L'\\');
  pName = pName != NULL ? pName + 1 : szPath;
  wcsncpy(name, pName, MAX_PATH - 1);
  name[MAX_PATH - 1] = 0;
  wchar_t* pDot = wcsrchr(name, L'.');
  if (pDot != NULL) *pDot = 0;
  return TRUE;
}

int CWinThread::Run() {
  MSG msg;
  for (;;) {
    BOOL got = GetMessageW(&msg, NULL, 0, 0);
    if (got == 0 || got == -1) break;
    TranslateMessage(&msg);
    DispatchMessageW(&msg);
  }
  if (msg.message == WM_QUIT) m_nExitCode = (int)msg.wParam;
  return ExitInstance();
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

CWnd* CWnd::GetDlgItem(int nID) const { return FromHandle(::GetDlgItem(m_hWnd, nID)); }

BOOL CWnd::ShowWindow(int nCmdShow) { return ::ShowWindow(m_hWnd, nCmdShow); }

BOOL CWnd::IsWindowVisible() const { return ::IsWindowVisible(m_hWnd); }

void CWnd::OnNcDestroy() {
  CWinApp* pApp = AfxGetApp();
  if (pApp != NULL && pApp->m_pMainWnd == this) {
    PostQuitMessage(0);
    pApp->m_pMainWnd = NULL;
  }
  Detach();
  PostNcDestroy();
}
