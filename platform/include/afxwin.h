// The application framework's core classes as the updater uses them: the
// application object (CWinApp), windows (CWnd), modal dialogs made from a
// template (CDialog, CDataExchange) and message maps.
//
// Message maps: every class that routes commands declares a static table of
// AFX_MSGMAP_ENTRY records and a static AFX_MSGMAP that points at the table
// and at its base class's map. A WM_COMMAND reaching a window is looked up in
// its class's table first, then in each base's table in turn; the first entry
// with the message, notification code and an id range containing the control
// id wins and its handler is called through a pointer to member (so virtual
// handlers dispatch virtually). CDialog's own table maps IDOK and IDCANCEL to
// OnOK and OnCancel, which is how the caption bar's OK button ends a dialog.
//
// The framework is Unicode only, as on the handheld: TCHAR is wchar_t.
#ifndef PLATFORM_AFXWIN_H
#define PLATFORM_AFXWIN_H

#ifndef UNICODE
#define UNICODE
#endif
#ifndef _UNICODE
#define _UNICODE
#endif

#include <windows.h>
#include <tchar.h>
#include <commctrl.h>

#include "afxres.h"

#define AFX_MSG_CALL
#define afx_msg

class CCmdTarget;
class CWnd;
class CDialog;
class CDataExchange;

typedef void (AFX_MSG_CALL CCmdTarget::*AFX_PMSG)(void);

// Handler signatures the framework can call. Only handlers without
// arguments or result exist in this framework.
enum AfxSig {
  AfxSig_end = 0,  // marks the end of a message map
  AfxSig_vv,       // void (void)
  AfxSigCmd_v = AfxSig_vv
};

// Notification code of a command from a menu, an accelerator or a keyboard
// shortcut of the dialog manager (IDOK on Enter, IDCANCEL on Escape).
#ifndef CN_COMMAND
#define CN_COMMAND 0
#endif

struct AFX_MSGMAP_ENTRY {
  UINT nMessage;  // window message (WM_COMMAND)
  UINT nCode;     // notification code (BN_CLICKED, CN_COMMAND)
  UINT nID;       // first control id
  UINT nLastID;   // last control id of the range
  UINT_PTR nSig;  // AfxSig of the handler, AfxSig_end for the last entry
  AFX_PMSG pfn;   // handler
};

struct AFX_MSGMAP {
  const AFX_MSGMAP* pBaseMap;         // the base class's map, NULL at the root
  const AFX_MSGMAP_ENTRY* lpEntries;  // this class's entries
};

#define DECLARE_MESSAGE_MAP()                      \
 private:                                          \
  static const AFX_MSGMAP_ENTRY _messageEntries[]; \
                                                   \
 protected:                                        \
  static const AFX_MSGMAP messageMap;              \
  virtual const AFX_MSGMAP* GetMessageMap() const;

#define BEGIN_MESSAGE_MAP(theClass, baseClass)                                                     \
  const AFX_MSGMAP* theClass::GetMessageMap() const { return &theClass::messageMap; }              \
  const AFX_MSGMAP theClass::messageMap = {&baseClass::messageMap, &theClass::_messageEntries[0]}; \
  const AFX_MSGMAP_ENTRY theClass::_messageEntries[] = {
#define END_MESSAGE_MAP()                 \
  { 0, 0, 0, 0, AfxSig_end, (AFX_PMSG)0 } \
  }                                       \
  ;

#define ON_COMMAND(id, memberFxn) \
  {WM_COMMAND, CN_COMMAND, (WORD)(id), (WORD)(id), AfxSigCmd_v, static_cast<AFX_PMSG>(memberFxn)},

#define ON_CONTROL(wNotifyCode, id, memberFxn) \
  {WM_COMMAND, (WORD)(wNotifyCode), (WORD)(id), (WORD)(id), AfxSigCmd_v, static_cast<AFX_PMSG>(memberFxn)},

#define ON_BN_CLICKED(id, memberFxn) ON_CONTROL(BN_CLICKED, id, memberFxn)

// ---------------------------------------------------------------------------

class CCmdTarget {
 public:
  CCmdTarget();
  virtual ~CCmdTarget();

  // Routes a command through the message map chain; TRUE when a handler ran.
  virtual BOOL OnCmdMsg(UINT nID, int nCode, void* pExtra, void* pHandlerInfo);

  DECLARE_MESSAGE_MAP()

 private:
  CCmdTarget(const CCmdTarget&);
  CCmdTarget& operator=(const CCmdTarget&);
};

class CWinThread : public CCmdTarget {
 public:
  CWinThread();
  virtual ~CWinThread();

  virtual BOOL InitInstance();
  // The message loop: runs until WM_QUIT, then ExitInstance.
  virtual int Run();
  virtual int ExitInstance();

  CWnd* m_pMainWnd;  // the application's main window, if any
  int m_nExitCode;   // wParam of the WM_QUIT that ended Run
};

class CWinApp : public CWinThread {
 public:
  // The one application object of the program registers itself here, so the
  // framework's entry finds it. lpszAppName may be NULL: the name is then
  // the program file's name.
  explicit CWinApp(LPCTSTR lpszAppName = NULL);
  virtual ~CWinApp();

  virtual BOOL InitApplication();
  virtual BOOL InitInstance();

  HICON LoadIcon(UINT nIDResource) const;

  LPCTSTR m_pszAppName;
  HINSTANCE m_hInstance;
  LPTSTR m_lpCmdLine;
  int m_nCmdShow;

  DECLARE_MESSAGE_MAP()

 private:
  TCHAR m_szModuleName[MAX_PATH];
  friend BOOL AfxWinInit(HINSTANCE, HINSTANCE, LPTSTR, int);
};

CWinApp* AfxGetApp();
HINSTANCE AfxGetInstanceHandle();
HINSTANCE AfxGetResourceHandle();
LPCTSTR AfxGetAppName();

// Framework start-up: records the instance and command line in the
// application object and registers the window classes the framework's
// dialogs may use (the common controls).
BOOL AfxWinInit(HINSTANCE hInstance, HINSTANCE hPrevInstance, LPTSTR lpCmdLine, int nCmdShow);
// The framework's entry, called from the program's WinMain: start-up, then
// InitInstance of the application object; FALSE ends the program at once,
// TRUE runs the message loop. Returns the program's exit code.
int AfxWinMain(HINSTANCE hInstance, HINSTANCE hPrevInstance, LPTSTR lpCmdLine, int nCmdShow);

// ---------------------------------------------------------------------------

class CWnd : public CCmdTarget {
 public:
  CWnd();
  virtual ~CWnd();

  HWND m_hWnd;

  HWND GetSafeHwnd() const;
  operator HWND() const { return m_hWnd; }

  // The CWnd of a window: the permanent object attached to it, or a
  // temporary wrapper that lives as long as the window does. NULL for NULL.
  static CWnd* FromHandle(HWND hWnd);

  BOOL Attach(HWND hWnd);
  HWND Detach();
  BOOL DestroyWindow();

  // Centres the window on pAlternateOwner, else on its parent (child
  // windows) or owner, else in the screen's work area; the result is kept
  // inside the work area.
  void CenterWindow(CWnd* pAlternateOwner = NULL);
  // MessageBoxW with this window as owner; a NULL caption gives the
  // application's name.
  int MessageBox(LPCTSTR lpszText, LPCTSTR lpszCaption = NULL, UINT nType = MB_OK);
  CWnd* GetDlgItem(int nID) const;
  LRESULT SendMessage(UINT message, WPARAM wParam = 0, LPARAM lParam = 0);
  BOOL ShowWindow(int nCmdShow);
  BOOL IsWindowVisible() const;

 protected:
  // WM_COMMAND: the message map, by control id and notification code.
  virtual BOOL OnCommand(WPARAM wParam, LPARAM lParam);
  // The window is gone; m_hWnd is already NULL.
  virtual void PostNcDestroy();
  // WM_NCDESTROY bookkeeping: detaches the object, and a destroyed main
  // window ends the application's message loop.
  void OnNcDestroy();

  DECLARE_MESSAGE_MAP()

  friend INT_PTR CALLBACK AfxDlgProc(HWND, UINT, WPARAM, LPARAM);
};

// ---------------------------------------------------------------------------

class CDataExchange {
 public:
  CDataExchange(CWnd* pDlgWnd, BOOL bSaveAndValidate);

  // Marks the exchange failed (a control's value did not validate).
  void Fail();

  BOOL m_bSaveAndValidate;  // TRUE: controls to members, and validate
  CWnd* m_pDlgWnd;
  BOOL m_bFailed;
};

class CDialog : public CWnd {
 public:
  explicit CDialog(UINT nIDTemplate, CWnd* pParentWnd = NULL);
  virtual ~CDialog();

  // Runs the dialog from its template until EndDialog; returns its result,
  // or -1 when the dialog could not be created.
  virtual INT_PTR DoModal();

  // WM_INITDIALOG: fills the controls from the members (UpdateData(FALSE)).
  // TRUE lets the dialog manager give the focus to the first control.
  virtual BOOL OnInitDialog();
  void EndDialog(int nResult);

 protected:
  // IDOK: members from the controls (UpdateData(TRUE)), then EndDialog(IDOK).
  virtual void OnOK();
  // IDCANCEL: EndDialog(IDCANCEL).
  virtual void OnCancel();
  virtual void DoDataExchange(CDataExchange* pDX);
  BOOL UpdateData(BOOL bSaveAndValidate = TRUE);

  UINT m_nIDHelp;  // the template's resource id
  CWnd* m_pParentWnd;

 private:
  BOOL m_bTemplateVisible;  // the template has WS_VISIBLE: shown before OnInitDialog
  BOOL m_bInitSeen;         // WM_INITDIALOG came: the dialog was created

 protected:
  DECLARE_MESSAGE_MAP()

  friend INT_PTR CALLBACK AfxDlgProc(HWND, UINT, WPARAM, LPARAM);
};

INT_PTR CALLBACK AfxDlgProc(HWND hWnd, UINT message, WPARAM wParam, LPARAM lParam);

#endif
