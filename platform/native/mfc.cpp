// The application framework without a screen: the windows, dialogs and
// message loop of the framework stand-in (its shared part, command routing
// and the application, is platform/mfc/cmdroute.cpp and appcore.cpp), doing
// what a dialog-based program needs when nobody looks at it. DoModal makes the dialog's window and runs
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

#include "platform/mfc/afx_platform.h"
#include "platform/native/native.h"
#include "platform/native/ui_internal.h"

namespace {

// Temporary wrappers made by FromHandle, kept while their window lives.
std::map<HWND, CWnd*>& Temporaries() {
  static std::map<HWND, CWnd*>* m = new std::map<HWND, CWnd*>;
  return *m;
}
std::mutex g_tempLock;

}  // namespace

// --- the application's platform -------------------------------------------------

// No window classes to register without a screen.
void AfxRegisterCommonControls() {}

HINSTANCE AfxDefaultInstance() { return NULL; }

BOOL AfxProgramName(HINSTANCE, wchar_t* name) {
  const char* program = program_invocation_short_name;
  size_t n = 0;
  for (; program[n] && n + 1 < MAX_PATH; ++n) name[n] = wchar_t(program[n]);
  name[n] = 0;
  wchar_t* pDot = wcsrchr(name, L'.');
  if (pDot != NULL) *pDot = 0;
  return TRUE;
}

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

// --- windows ------------------------------------------------------------------------

CWnd::CWnd() : m_hWnd(NULL) {}

CWnd::~CWnd() {
  if (m_hWnd != NULL) DestroyWindow();
}

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

CWnd* CWnd::GetDlgItem(int nID) const {
  return m_hWnd != NULL ? FromHandle(native::internal::ChildWindow(m_hWnd, nID)) : NULL;
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

void CWnd::OnNcDestroy() {
  CWinApp* pApp = AfxGetApp();
  if (pApp != NULL && pApp->m_pMainWnd == this) pApp->m_pMainWnd = NULL;
  Detach();
  PostNcDestroy();
}

// --- dialogs ------------------------------------------------------------------------

namespace {
// Results of the dialogs that have ended, by window, until DoModal reads them.
std::map<HWND, int>& Results() {
  static std::map<HWND, int>* m = new std::map<HWND, int>;
  return *m;
}
}  // namespace

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

void CDialog::EndDialog(int nResult) {
  if (m_hWnd != NULL && Results().find(m_hWnd) == Results().end()) Results()[m_hWnd] = nResult;
}

