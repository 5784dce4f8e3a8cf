// The application framework without a screen: the same classes as the
// framework stand-in over Win32 dialogs, doing what a dialog-based program
// needs when nobody looks at it. DoModal makes the dialog's window and runs
// OnInitDialog (WM_INITDIALOG); a dialog that ends itself there returns its
// result, any other one is ended with IDCANCEL, as nobody can press its
// buttons. Controls are the dialog's windows by id (GetDlgItem); what is sent
// to them goes through SendMessageW, which records progress positions.
#include <afxwin.h>

#include <errno.h>
#include <string.h>

#include <atomic>
#include <map>
#include <mutex>

#include "platform/native/native.h"
#include "platform/native/ui_internal.h"

namespace {

CWinApp* g_pApp = NULL;

// Temporary wrappers made by FromHandle, kept while their window lives.
std::map<HWND, CWnd*>& Temporaries() {
  static std::map<HWND, CWnd*>* m = new std::map<HWND, CWnd*>;
  return *m;
}
std::mutex g_tempLock;

}  // namespace

// --- command targets ----------------------------------------------------------

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

// --- application ------------------------------------------------------------------

CWinApp* AfxGetApp() { return g_pApp; }
HINSTANCE AfxGetInstanceHandle() { return g_pApp != NULL ? g_pApp->m_hInstance : NULL; }
HINSTANCE AfxGetResourceHandle() { return AfxGetInstanceHandle(); }
LPCTSTR AfxGetAppName() { return g_pApp != NULL && g_pApp->m_pszAppName != NULL ? g_pApp->m_pszAppName : L""; }

CWinThread::CWinThread() : m_pMainWnd(NULL), m_nExitCode(0) {}
CWinThread::~CWinThread() {}
BOOL CWinThread::InitInstance() { return FALSE; }
// No messages without a screen: the loop ends at once. That it was entered
// is counted: a program that goes on to its loop with no window left would
// wait there for ever on the device.
namespace {
std::atomic<int> g_messageLoops{0};
}
int native::MessageLoopsRun() { return g_messageLoops.load(); }
int CWinThread::Run() {
  ++g_messageLoops;
  return ExitInstance();
}
int CWinThread::ExitInstance() { return m_nExitCode; }

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
  CWinApp* pApp = g_pApp;
  if (pApp == NULL) return TRUE;
  pApp->m_hInstance = hInstance;
  pApp->m_lpCmdLine = lpCmdLine;
  pApp->m_nCmdShow = nCmdShow;
  if (pApp->m_pszAppName == NULL) {
    // No name given: the program file's name without its extension.
    const char* name = program_invocation_short_name;
    size_t i = 0;
    for (; name[i] && name[i] != '.' && i + 1 < MAX_PATH; ++i) pApp->m_szModuleName[i] = wchar_t(name[i]);
    pApp->m_szModuleName[i] = 0;
    pApp->m_pszAppName = pApp->m_szModuleName;
  }
  return TRUE;
}

int AfxWinMain(HINSTANCE hInstance, HINSTANCE hPrevInstance, LPTSTR lpCmdLine, int nCmdShow) {
  CWinApp* pApp = AfxGetApp();
  if (pApp == NULL || !AfxWinInit(hInstance, hPrevInstance, lpCmdLine, nCmdShow)) return -1;
  if (!pApp->InitApplication()) return pApp->ExitInstance();
  if (!pApp->InitInstance()) {
    if (pApp->m_pMainWnd != NULL) pApp->m_pMainWnd->DestroyWindow();
    return pApp->ExitInstance();
  }
  return pApp->Run();
}

// --- windows ------------------------------------------------------------------------

BEGIN_MESSAGE_MAP(CWnd, CCmdTarget)
END_MESSAGE_MAP()

CWnd::CWnd() : m_hWnd(NULL) {}

CWnd::~CWnd() {
  if (m_hWnd != NULL) DestroyWindow();
}

// A call through a null pointer is undefined here (and reported by UBSan), as in
// the Win32 build's framework: the window's handle.
HWND CWnd::GetSafeHwnd() const { return m_hWnd; }

CWnd* CWnd::FromHandle(HWND hWnd) {
  native::Window* w = native::internal::FindWindowRec(hWnd);
  if (w == NULL) return NULL;
  if (w->object != NULL) return w->object;
  std::lock_guard<std::mutex> g(g_tempLock);
  CWnd*& temp = Temporaries()[hWnd];
  if (temp == NULL) {
    temp = new CWnd;
    temp->m_hWnd = hWnd;
  }
  return temp;
}

BOOL CWnd::Attach(HWND hWnd) {
  native::Window* w = native::internal::FindWindowRec(hWnd);
  if (w == NULL || m_hWnd != NULL) return FALSE;
  m_hWnd = hWnd;
  w->object = this;
  return TRUE;
}

HWND CWnd::Detach() {
  HWND h = m_hWnd;
  native::Window* w = native::internal::FindWindowRec(h);
  if (w != NULL && w->object == this) w->object = NULL;
  m_hWnd = NULL;
  return h;
}

BOOL CWnd::DestroyWindow() {
  if (m_hWnd == NULL || !::IsWindow(m_hWnd)) return FALSE;
  HWND h = m_hWnd;
  {
    // The controls' temporary wrappers go with their windows.
    std::lock_guard<std::mutex> g(g_tempLock);
    for (auto it = Temporaries().begin(); it != Temporaries().end();) {
      native::Window* w = native::internal::FindWindowRec(it->first);
      if (it->first == h || (w != NULL && w->parent == h)) {
        it->second->m_hWnd = NULL;
        delete it->second;
        it = Temporaries().erase(it);
      } else {
        ++it;
      }
    }
  }
  OnNcDestroy();
  native::internal::DestroyWindowTree(h);
  return TRUE;
}

void CWnd::CenterWindow(CWnd*) {}

int CWnd::MessageBox(LPCTSTR lpszText, LPCTSTR lpszCaption, UINT nType) {
  return ::MessageBoxW(m_hWnd, lpszText, lpszCaption != NULL ? lpszCaption : AfxGetAppName(), nType);
}

CWnd* CWnd::GetDlgItem(int nID) const {
  return m_hWnd != NULL ? FromHandle(native::internal::ChildWindow(m_hWnd, nID)) : NULL;
}

LRESULT CWnd::SendMessage(UINT message, WPARAM wParam, LPARAM lParam) {
  return ::SendMessageW(m_hWnd, message, wParam, lParam);
}

BOOL CWnd::ShowWindow(int nCmdShow) {
  native::Window* w = native::internal::FindWindowRec(m_hWnd);
  if (w == NULL) return FALSE;
  BOOL was = w->visible;
  w->visible = nCmdShow != SW_HIDE;
  return was;
}

BOOL CWnd::IsWindowVisible() const {
  native::Window* w = native::internal::FindWindowRec(m_hWnd);
  return w != NULL && w->visible;
}

BOOL CWnd::OnCommand(WPARAM wParam, LPARAM) { return OnCmdMsg(LOWORD(wParam), HIWORD(wParam), NULL, NULL); }

void CWnd::PostNcDestroy() {}

void CWnd::OnNcDestroy() {
  CWinApp* pApp = AfxGetApp();
  if (pApp != NULL && pApp->m_pMainWnd == this) pApp->m_pMainWnd = NULL;
  Detach();
  PostNcDestroy();
}

// --- dialogs ------------------------------------------------------------------------

CDataExchange::CDataExchange(CWnd* pDlgWnd, BOOL bSaveAndValidate)
    : m_bSaveAndValidate(bSaveAndValidate), m_pDlgWnd(pDlgWnd), m_bFailed(FALSE) {}

void CDataExchange::Fail() { m_bFailed = TRUE; }

BEGIN_MESSAGE_MAP(CDialog, CWnd)
ON_COMMAND(IDOK, &CDialog::OnOK)
ON_COMMAND(IDCANCEL, &CDialog::OnCancel)
END_MESSAGE_MAP()

namespace {
// Results of the dialogs that have ended, by window, until DoModal reads them.
std::map<HWND, int>& Results() {
  static std::map<HWND, int>* m = new std::map<HWND, int>;
  return *m;
}
}  // namespace

CDialog::CDialog(UINT nIDTemplate, CWnd* pParentWnd)
    : m_nIDHelp(nIDTemplate), m_pParentWnd(pParentWnd), m_bTemplateVisible(FALSE), m_bInitSeen(FALSE) {}

CDialog::~CDialog() {}

INT_PTR CDialog::DoModal() {
  HWND h = native::internal::NewWindow(m_pParentWnd != NULL ? m_pParentWnd->m_hWnd : NULL, 0);
  Attach(h);
  OnInitDialog();
  int result = IDCANCEL;
  std::map<HWND, int>::iterator it = Results().find(h);
  if (it != Results().end()) {
    result = it->second;
    Results().erase(it);
  }
  DestroyWindow();
  return result;
}

BOOL CDialog::OnInitDialog() {
  UpdateData(FALSE);
  return TRUE;
}

void CDialog::EndDialog(int nResult) {
  if (m_hWnd != NULL && Results().find(m_hWnd) == Results().end()) Results()[m_hWnd] = nResult;
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
