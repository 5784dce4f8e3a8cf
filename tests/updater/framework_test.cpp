// The framework stand-in as a program of the framework meets it: message
// maps routing real button clicks through the class chain, modal dialogs
// ending from inside WM_INITDIALOG or from their modal loop, control lookup,
// message boxes owned by the dialog, centring, and the application's start.
#include <afxwin.h>

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "tests/updater/fake_driver.h"
#include "tests/updater/ui_observer.h"

namespace {

const UINT IDD_TEST = 200;
const int IDC_GO = 300, IDC_OTHER = 301, IDC_BAR = 302;

class BaseDlg : public CDialog {
 public:
  explicit BaseDlg(UINT nIDTemplate = IDD_TEST) : CDialog(nIDTemplate) {}
  BOOL OnInitDialog() override {
    CDialog::OnInitDialog();
    if (init) init(*this);
    return TRUE;
  }
  // Public here so that the tests' init functions can call them.
  void OnOK() override {
    calls.push_back("OnOK");
    CDialog::OnOK();
  }
  void OnCancel() override {
    calls.push_back("OnCancel");
    CDialog::OnCancel();
  }

  std::function<void(BaseDlg&)> init;
  std::vector<std::string> calls;
  bool failSave = false;

 protected:
  void OnGo() { calls.push_back("Base::OnGo"); }
  void OnOther() { calls.push_back("Base::OnOther"); }
  void DoDataExchange(CDataExchange* pDX) override {
    calls.push_back(pDX->m_bSaveAndValidate ? "DDX save" : "DDX load");
    if (failSave && pDX->m_bSaveAndValidate) pDX->Fail();
  }

  DECLARE_MESSAGE_MAP()
};

BEGIN_MESSAGE_MAP(BaseDlg, CDialog)
ON_BN_CLICKED(IDC_GO, &BaseDlg::OnGo)
ON_BN_CLICKED(IDC_OTHER, &BaseDlg::OnOther)
END_MESSAGE_MAP()

// Its own handler for IDC_GO comes before the base's; IDC_OTHER falls
// through to the base's map.
class DerivedDlg : public BaseDlg {
 protected:
  void OnGoHere() { calls.push_back("Derived::OnGo"); }
  DECLARE_MESSAGE_MAP()
};

BEGIN_MESSAGE_MAP(DerivedDlg, BaseDlg)
ON_BN_CLICKED(IDC_GO, &DerivedDlg::OnGoHere)
END_MESSAGE_MAP()

std::string Join(const std::vector<std::string>& v) {
  std::string s;
  for (const auto& e : v) s += (s.empty() ? "" : ", ") + e;
  return s;
}

void Click(HWND dlg, int id) { SendMessageW(GetDlgItem(dlg, id), BM_CLICK, 0, 0); }

void Command(HWND dlg, int id, int code) {
  SendMessageW(dlg, WM_COMMAND, MAKEWPARAM(id, code), (LPARAM)GetDlgItem(dlg, id));
}

TEST(MessageMap, ClicksReachTheMostDerivedHandlerAndFallThroughToTheBase) {
  struct Case {
    const char* name;
    bool derived;
    std::function<void(HWND)> act;
    std::vector<std::string> calls;
  } cases[] = {
      {"click Go on the base", false, [](HWND h) { Click(h, IDC_GO); }, {"Base::OnGo"}},
      {"click Go on the derived", true, [](HWND h) { Click(h, IDC_GO); }, {"Derived::OnGo"}},
      {"click Other on the derived", true, [](HWND h) { Click(h, IDC_OTHER); }, {"Base::OnOther"}},
      {"double click is another notification", true, [](HWND h) { Command(h, IDC_GO, BN_DOUBLECLICKED); }, {}},
      {"a control without an entry", true, [](HWND h) { Command(h, IDC_BAR, BN_CLICKED); }, {}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    DerivedDlg derived;
    BaseDlg base;
    BaseDlg& d = c.derived ? derived : base;
    d.init = [&](BaseDlg& self) {
      self.calls.clear();
      c.act(self.m_hWnd);
      self.EndDialog(IDCANCEL);
    };
    EXPECT_EQ(IDCANCEL, d.DoModal());
    EXPECT_EQ(c.calls, d.calls) << Join(d.calls);
  }
}

TEST(ModalDialog, EndsWithTheResultOfWhatEndedIt) {
  struct Case {
    const char* name;
    bool failSave;
    std::function<void(BaseDlg&)> init;
    INT_PTR result;
    std::vector<std::string> calls;
  } cases[] = {
      {"OnOK inside WM_INITDIALOG", false, [](BaseDlg& d) { d.OnOK(); }, IDOK, {"DDX load", "OnOK", "DDX save"}},
      {"the caption's OK button",
       false,
       [](BaseDlg& d) { PostMessageW(d.m_hWnd, WM_COMMAND, IDOK, 0); },
       IDOK,
       {"DDX load", "OnOK", "DDX save"}},
      {"IDCANCEL",
       false,
       [](BaseDlg& d) { PostMessageW(d.m_hWnd, WM_COMMAND, IDCANCEL, 0); },
       IDCANCEL,
       {"DDX load", "OnCancel"}},
      {"OnOK whose data does not validate stays open",
       true,
       [](BaseDlg& d) {
         d.OnOK();
         PostMessageW(d.m_hWnd, WM_COMMAND, IDCANCEL, 0);
       },
       IDCANCEL,
       {"DDX load", "OnOK", "DDX save", "OnCancel"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    BaseDlg d;
    HWND seen = NULL;
    d.failSave = c.failSave;
    d.init = [&](BaseDlg& self) {
      seen = self.m_hWnd;
      c.init(self);
    };
    EXPECT_EQ(c.result, d.DoModal());
    EXPECT_EQ(c.calls, d.calls) << Join(d.calls);
    EXPECT_NE(nullptr, seen) << "attached before OnInitDialog";
    EXPECT_FALSE(IsWindow(seen)) << "the window is gone when DoModal returns";
    EXPECT_EQ(nullptr, d.m_hWnd);
  }
}

// The user sees a dialog while its OnInitDialog works, when its template
// asks for a visible window.
TEST(ModalDialog, VisibleTemplateIsShownBeforeOnInitDialogRuns) {
  struct Case {
    UINT id;
    bool visible;
  } cases[] = {{IDD_TEST, true}, {201, false}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.id);
    BaseDlg d(c.id);
    int seen = -1;
    d.init = [&](BaseDlg& self) {
      seen = IsWindowVisible(self.m_hWnd) ? 1 : 0;
      self.EndDialog(IDOK);
    };
    ASSERT_EQ(IDOK, d.DoModal());
    EXPECT_EQ(c.visible ? 1 : 0, seen);
  }
}

TEST(ModalDialog, MissingTemplateFails) {
  class NoTemplate : public CDialog {
   public:
    NoTemplate() : CDialog(4321) {}
  } d;
  EXPECT_EQ(-1, d.DoModal());
}

TEST(Window, ControlsAreFoundByIdAndTalkedTo) {
  BaseDlg d;
  struct {
    HWND bar = NULL;
    CWnd* first = NULL;
    CWnd* again = NULL;
    CWnd* self = NULL;
    CWnd* none = (CWnd*)1;
    LRESULT pos = -1;
  } got;
  d.init = [&](BaseDlg& self) {
    got.bar = ::GetDlgItem(self.m_hWnd, IDC_BAR);
    got.first = self.GetDlgItem(IDC_BAR);
    got.first->SendMessage(PBM_SETPOS, 40);
    got.pos = SendMessageW(got.bar, PBM_GETPOS, 0, 0);
    got.again = self.GetDlgItem(IDC_BAR);
    got.self = CWnd::FromHandle(self.m_hWnd);
    got.none = self.GetDlgItem(999);
    self.EndDialog(IDOK);
  };
  ASSERT_EQ(IDOK, d.DoModal());
  ASSERT_NE(nullptr, got.first);
  EXPECT_EQ(got.bar, got.first->m_hWnd);
  EXPECT_EQ(got.bar, got.first->GetSafeHwnd());
  EXPECT_EQ(40, got.pos) << "SendMessage reached the progress bar";
  EXPECT_EQ(got.first, got.again) << "one wrapper per live control";
  EXPECT_EQ(&d, got.self) << "the dialog's window maps to the dialog object";
  EXPECT_EQ(nullptr, got.none);
}

TEST(Window, MessageBoxIsOwnedByTheWindowAndCarriesTypeAndCaption) {
  fake::ClearJournal();
  CWinApp app(L"Framework App");
  AfxWinInit(GetModuleHandleW(NULL), NULL, NULL, SW_SHOWNORMAL);
  BaseDlg d;
  HWND dlg = NULL;
  std::vector<int> answers;
  BoxAnswerer answerer(GetCurrentThreadId());
  d.init = [&](BaseDlg& self) {
    dlg = self.m_hWnd;
    answers.push_back(self.MessageBox(L"Plain", L"Caption"));
    answers.push_back(self.MessageBox(L"Two buttons", L"Caption", MB_OKCANCEL));
    answers.push_back(self.MessageBox(L"No caption"));
    self.EndDialog(IDOK);
  };
  ASSERT_EQ(IDOK, d.DoModal());
  auto boxes = answerer.Boxes();
  ASSERT_EQ(3u, boxes.size());
  struct {
    const char* caption;
    const char* text;
    std::vector<std::string> buttons;
  } expected[] = {
      {"Caption", "Plain", {"OK"}},
      {"Caption", "Two buttons", {"OK", "Cancel"}},
      {"Framework App", "No caption", {"OK"}},
  };
  for (int i = 0; i < 3; ++i) {
    SCOPED_TRACE(i);
    EXPECT_EQ(dlg, boxes[i].owner);
    EXPECT_EQ(expected[i].caption, boxes[i].caption);
    EXPECT_EQ(expected[i].text, boxes[i].text);
    EXPECT_EQ(expected[i].buttons, boxes[i].buttons);
    EXPECT_EQ(IDOK, answers[i]);
  }
}

POINT Centre(const RECT& r) { return POINT{(r.left + r.right) / 2, (r.top + r.bottom) / 2}; }

TEST(Window, CentresInTheWorkAreaOrOnTheGivenOwner) {
  RECT area;
  SystemParametersInfoW(SPI_GETWORKAREA, 0, &area, 0);
  HWND owner = CreateWindowExW(0, L"Static", L"owner", WS_POPUP | WS_VISIBLE, area.left + 10, area.top + 10, 400, 300,
                               NULL, NULL, NULL, NULL);
  ASSERT_NE(nullptr, owner);
  RECT ownerRect;
  GetWindowRect(owner, &ownerRect);
  RECT onScreen = {}, onOwner = {};
  BaseDlg d;
  d.init = [&](BaseDlg& self) {
    self.CenterWindow();
    GetWindowRect(self.m_hWnd, &onScreen);
    self.CenterWindow(CWnd::FromHandle(owner));
    GetWindowRect(self.m_hWnd, &onOwner);
    self.EndDialog(IDOK);
  };
  ASSERT_EQ(IDOK, d.DoModal());
  DestroyWindow(owner);
  POINT a = Centre(area), s = Centre(onScreen), o = Centre(ownerRect), n = Centre(onOwner);
  EXPECT_LE(std::abs(a.x - s.x), 1) << s.x;
  EXPECT_LE(std::abs(a.y - s.y), 1) << s.y;
  EXPECT_LE(std::abs(o.x - n.x), 1) << n.x;
  EXPECT_LE(std::abs(o.y - n.y), 1) << n.y;
}

// --- the application's start ---------------------------------------------------

class TestApp : public CWinApp {
 public:
  TestApp(BOOL stay, LPCTSTR name) : CWinApp(name), stay_(stay) {}
  BOOL InitInstance() override {
    calls.push_back("InitInstance");
    if (withWindow) {
      mainWindow = CreateWindowExW(0, L"Static", L"main", WS_POPUP, 0, 0, 10, 10, NULL, NULL, NULL, NULL);
      main.Attach(mainWindow);
      m_pMainWnd = &main;
    }
    if (stay_) PostQuitMessage(7);
    return stay_;
  }
  int Run() override {
    calls.push_back("Run");
    return CWinApp::Run();
  }
  int ExitInstance() override {
    calls.push_back("ExitInstance");
    return CWinApp::ExitInstance();
  }
  std::vector<std::string> calls;
  bool withWindow = false;
  HWND mainWindow = NULL;
  CWnd main;

 private:
  BOOL stay_;
};

void DrainQuit() {
  MSG msg;
  while (PeekMessageW(&msg, NULL, WM_QUIT, WM_QUIT, PM_REMOVE)) {
  }
}

TEST(Application, InitInstanceDecidesWhetherTheMessageLoopRuns) {
  {
    TestApp app(FALSE, NULL);
    ASSERT_EQ(&app, AfxGetApp());
    EXPECT_EQ(0, AfxWinMain(GetModuleHandleW(NULL), NULL, NULL, SW_SHOWNORMAL));
    EXPECT_EQ((std::vector<std::string>{"InitInstance", "ExitInstance"}), app.calls) << "no message loop";
    ASSERT_NE(nullptr, app.m_pszAppName);
    EXPECT_EQ(std::wstring(L"framework_tests"), std::wstring(app.m_pszAppName)) << "unnamed: the program's name";
  }
  EXPECT_EQ(nullptr, AfxGetApp());
  {
    TestApp app(TRUE, L"Named");
    EXPECT_EQ(7, AfxWinMain(GetModuleHandleW(NULL), NULL, NULL, SW_SHOWNORMAL));
    EXPECT_EQ((std::vector<std::string>{"InitInstance", "Run", "ExitInstance"}), app.calls);
    EXPECT_EQ(std::wstring(L"Named"), std::wstring(app.m_pszAppName));
  }
  {
    TestApp app(FALSE, NULL);
    app.withWindow = true;
    EXPECT_EQ(0, AfxWinMain(GetModuleHandleW(NULL), NULL, NULL, SW_SHOWNORMAL));
    EXPECT_FALSE(IsWindow(app.mainWindow)) << "a main window left by a FALSE InitInstance is destroyed";
    app.main.Detach();
  }
  DrainQuit();
}

}  // namespace
