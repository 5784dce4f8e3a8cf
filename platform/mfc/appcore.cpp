// The application object and the framework's start-up, alike on every
// platform; the message loop (CWinThread::Run) is the platform's.
#include <afxwin.h>

#include "platform/mfc/afx_platform.h"

namespace {

// The program's one CWinApp, registered by its constructor (the runtime
// constructs it before the entry runs).
CWinApp* g_pApp = NULL;

}  // namespace

CWinApp* AfxGetApp() { return g_pApp; }

HINSTANCE AfxGetInstanceHandle() {
  return g_pApp != NULL && g_pApp->m_hInstance != NULL ? g_pApp->m_hInstance : AfxDefaultInstance();
}

HINSTANCE AfxGetResourceHandle() { return AfxGetInstanceHandle(); }

LPCTSTR AfxGetAppName() { return g_pApp != NULL && g_pApp->m_pszAppName != NULL ? g_pApp->m_pszAppName : L""; }

// --- CWinThread ------------------------------------------------------------

CWinThread::CWinThread() : m_pMainWnd(NULL), m_nExitCode(0) {}
CWinThread::~CWinThread() {}

BOOL CWinThread::InitInstance() { return FALSE; }

int CWinThread::ExitInstance() { return m_nExitCode; }

// --- CWinApp ---------------------------------------------------------------

BEGIN_MESSAGE_MAP(CWinApp, CCmdTarget)
END_MESSAGE_MAP()

CWinApp::CWinApp(LPCTSTR lpszAppName)
    : m_pszAppName(lpszAppName), m_hInstance(NULL), m_lpCmdLine(NULL), m_nCmdShow(SW_SHOWNORMAL) {
  m_szModuleName[0] = 0;
  g_pApp = this;
}

CWinApp::~CWinApp() {
  if (g_pApp == this) g_pApp = NULL;
}

BOOL CWinApp::InitApplication() { return TRUE; }

BOOL CWinApp::InitInstance() { return TRUE; }

HICON CWinApp::LoadIcon(UINT nIDResource) const {
  return ::LoadIconW(AfxGetResourceHandle(), MAKEINTRESOURCEW(nIDResource));
}

BOOL AfxWinInit(HINSTANCE hInstance, HINSTANCE, LPTSTR lpCmdLine, int nCmdShow) {
  AfxRegisterCommonControls();
  CWinApp* pApp = g_pApp;
  if (pApp == NULL) return TRUE;
  pApp->m_hInstance = hInstance;
  pApp->m_lpCmdLine = lpCmdLine;
  pApp->m_nCmdShow = nCmdShow;
  // No name given: the program file's name without its folder and extension.
  if (pApp->m_pszAppName == NULL && AfxProgramName(hInstance, pApp->m_szModuleName))
    pApp->m_pszAppName = pApp->m_szModuleName;
  return TRUE;
}

int AfxWinMain(HINSTANCE hInstance, HINSTANCE hPrevInstance, LPTSTR lpCmdLine, int nCmdShow) {
  CWinApp* pApp = AfxGetApp();
  if (pApp == NULL || !AfxWinInit(hInstance, hPrevInstance, lpCmdLine, nCmdShow)) return -1;
  if (!pApp->InitApplication()) return pApp->ExitInstance();
  // An application that did all its work in InitInstance (a dialog-based
  // program) returns FALSE: no message loop is entered.
  if (!pApp->InitInstance()) {
    if (pApp->m_pMainWnd != NULL) pApp->m_pMainWnd->DestroyWindow();
    return pApp->ExitInstance();
  }
  return pApp->Run();
}
