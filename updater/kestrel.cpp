// The application object: one update per start, all of it inside the dialog.
#include "updater/kestrel.h"

#include "updater/kestrel_dlg.h"

BEGIN_MESSAGE_MAP(CUpdaterApp, CWinApp)
END_MESSAGE_MAP()

CUpdaterApp::CUpdaterApp() : CWinApp(NULL) {}

CUpdaterApp::~CUpdaterApp() {}

CUpdaterApp theApp;

BOOL CUpdaterApp::InitInstance() {
  CUpdaterDlg dlg;
  m_pMainWnd = &dlg;
  dlg.DoModal();
  // The dialog has done the update and ended itself: return FALSE so the
  // program ends instead of entering the message loop.
  return FALSE;
}
