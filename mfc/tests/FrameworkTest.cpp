// The framework over real windows: message maps (own and inherited entries, cracked arguments,
// results), reflection of WM_DRAWITEM, data exchange, modal results and a pending quit, the
// handle map, and control placement at Windows' dialog units.
#include <gtest/gtest.h>

#include <windows.h>
#include <commctrl.h>

#include <functional>
#include <string>
#include <vector>

#include "mfc/Framework.h"

namespace {

void Pump() {
  MSG msg;
  while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) DispatchMessageW(&msg);
}

class CCountingButton : public CButton {
 public:
  void DrawItem(LPDRAWITEMSTRUCT item) override {
    ++draws;
    lastItem = item->hwndItem;
  }
  int draws = 0;
  HWND lastItem = nullptr;
};

class CCountingStatic : public CStatic {
 public:
  void DrawItem(LPDRAWITEMSTRUCT) override { ++draws; }
  int draws = 0;
};

class CProbeDlg : public CDialog {
 public:
  CProbeDlg() : CDialog(300) {}
  std::function<void(CProbeDlg*)> onInit;
  std::vector<std::string> calls;
  CCountingButton drawn;
  CCountingStatic pad;
  CEdit edit;
  CPoint lastPoint;
  UINT lastRange = 0;
  BOOL setCursorResult = FALSE;

  void DoDataExchange(CDataExchange* dx) override {
    DDX_Control(dx, 10, drawn);
    DDX_Control(dx, 11, pad);
    DDX_Control(dx, 12, edit);
  }
  BOOL OnInitDialog() override {
    CDialog::OnInitDialog();
    if (onInit) onInit(this);
    return TRUE;
  }
  void OnCancel() override {
    calls.push_back("cancel");
    CDialog::OnCancel();
  }

 protected:
  void OnClicked() { calls.push_back("clicked"); }
  void OnPadDoubleClick() { calls.push_back("dblclk"); }
  void OnEditChange() { calls.push_back("change"); }
  void OnRange(UINT id) {
    lastRange = id;
    calls.push_back("range");
  }
  LRESULT OnCustom(WPARAM w, LPARAM l) {
    calls.push_back("custom");
    return static_cast<LRESULT>(w + l);
  }
  void OnRightClick(NMHDR* hdr, LRESULT* result) {
    calls.push_back("rclick");
    *result = 77;
  }
  void OnLButtonDown(UINT, CPoint p) {
    calls.push_back("lbutton");
    lastPoint = p;
  }
  void OnTimer(UINT_PTR id) { calls.push_back("timer" + std::to_string(id)); }
  BOOL OnCopyData(CWnd*, COPYDATASTRUCT* cds) {
    calls.push_back("copydata");
    return cds->dwData == 1;
  }
  BOOL OnSetCursor(CWnd* wnd, UINT hit, UINT message) {
    calls.push_back("setcursor");
    return setCursorResult ? TRUE : CDialog::OnSetCursor(wnd, hit, message);
  }
  DECLARE_MESSAGE_MAP()
};

BEGIN_MESSAGE_MAP(CProbeDlg, CDialog)
  ON_BN_CLICKED(10, &CProbeDlg::OnClicked)
  ON_STN_DBLCLK(11, &CProbeDlg::OnPadDoubleClick)
  ON_EN_CHANGE(12, &CProbeDlg::OnEditChange)
  ON_COMMAND_RANGE(13, 14, &CProbeDlg::OnRange)
  ON_MESSAGE(WM_APP + 1, &CProbeDlg::OnCustom)
  ON_NOTIFY(NM_RCLICK, 10, &CProbeDlg::OnRightClick)
  ON_WM_LBUTTONDOWN()
  ON_WM_TIMER()
  ON_WM_COPYDATA()
  ON_WM_SETCURSOR()
END_MESSAGE_MAP()

// Overrides one handler and inherits the rest.
class CDerivedDlg : public CProbeDlg {
 protected:
  void OnClickedHere() { calls.push_back("derived-clicked"); }
  DECLARE_MESSAGE_MAP()
};

BEGIN_MESSAGE_MAP(CDerivedDlg, CProbeDlg)
  ON_BN_CLICKED(10, &CDerivedDlg::OnClickedHere)
END_MESSAGE_MAP()

class Framework : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(dlg.Create()); }
  void TearDown() override {
    if (dlg.m_hWnd) dlg.DestroyWindow();
  }
  CProbeDlg dlg;
};

TEST_F(Framework, MessageMapRoutesEachKindOfEntry) {
  HWND h = dlg.m_hWnd;
  struct Case {
    std::function<LRESULT()> send;
    const char* call;
    LRESULT result;  // -1: not checked
  } cases[] = {
      {[&] { return SendDlgItemMessageW(h, 10, BM_CLICK, 0, 0); }, "clicked", -1},
      {[&] { return SendMessageW(h, WM_COMMAND, MAKEWPARAM(11, STN_DBLCLK), (LPARAM)GetDlgItem(h, 11)); },
       "dblclk", -1},
      {[&] { return (LRESULT)SetDlgItemTextW(h, 12, L"typed"); }, "change", -1},
      {[&] { return SendDlgItemMessageW(h, 14, BM_CLICK, 0, 0); }, "range", -1},
      {[&] { return SendMessageW(h, WM_APP + 1, 40, 2); }, "custom", 42},
      {[&] {
         NMHDR hdr = {GetDlgItem(h, 10), 10, (UINT)NM_RCLICK};
         return SendMessageW(h, WM_NOTIFY, 10, (LPARAM)&hdr);
       },
       "rclick", 77},
      {[&] { return SendMessageW(h, WM_LBUTTONDOWN, MK_LBUTTON, MAKELPARAM(-3, 25)); }, "lbutton", 0},
      {[&] { return SendMessageW(h, WM_TIMER, 5, 0); }, "timer5", 0},
      {[&] {
         COPYDATASTRUCT cds = {1, 0, nullptr};
         return SendMessageW(h, WM_COPYDATA, 0, (LPARAM)&cds);
       },
       "copydata", TRUE},
      {[&] {
         COPYDATASTRUCT cds = {2, 0, nullptr};
         return SendMessageW(h, WM_COPYDATA, 0, (LPARAM)&cds);
       },
       "copydata", FALSE},
  };
  for (const Case& c : cases) {
    dlg.calls.clear();
    LRESULT r = c.send();
    ASSERT_FALSE(dlg.calls.empty()) << c.call;
    EXPECT_EQ(dlg.calls.back(), c.call);
    if (c.result != -1) {
      EXPECT_EQ(r, c.result) << c.call;
    }
  }
  EXPECT_EQ(dlg.lastRange, 14u);
  EXPECT_EQ(dlg.lastPoint.x, -3) << "signed coordinates";
  EXPECT_EQ(dlg.lastPoint.y, 25);
}

TEST_F(Framework, HandlerResultOrDefaultProcessing) {
  dlg.setCursorResult = TRUE;
  EXPECT_EQ(dlg.SendMessage(WM_SETCURSOR, (WPARAM)dlg.m_hWnd, MAKELPARAM(HTCLIENT, WM_MOUSEMOVE)), TRUE);
  dlg.setCursorResult = FALSE;
  dlg.calls.clear();
  dlg.SendMessage(WM_SETCURSOR, (WPARAM)dlg.m_hWnd, MAKELPARAM(HTCLIENT, WM_MOUSEMOVE));
  EXPECT_EQ(dlg.calls, std::vector<std::string>{"setcursor"});
  // Unmapped messages reach the dialog's own procedure: Escape's IDCANCEL ends in OnCancel.
  dlg.SendMessage(WM_COMMAND, IDCANCEL, 0);
  EXPECT_EQ(dlg.calls.back(), "cancel");
}

TEST_F(Framework, DrawItemIsReflectedToTheOwnerDrawnControl) {
  dlg.ShowWindow(SW_SHOWNOACTIVATE);
  dlg.drawn.Invalidate(TRUE);
  dlg.pad.Invalidate(TRUE);
  dlg.drawn.UpdateWindow();
  dlg.pad.UpdateWindow();
  EXPECT_GT(dlg.drawn.draws, 0);
  EXPECT_EQ(dlg.drawn.lastItem, dlg.drawn.m_hWnd);
  EXPECT_GT(dlg.pad.draws, 0);
}

TEST_F(Framework, ControlsSitAtWindowsDialogUnits) {
  struct Case {
    int id;
    RECT want;  // dialog units
  } cases[] = {{10, {10, 20, 40, 16}}, {12, {100, 20, 80, 14}}, {14, {60, 90, 40, 14}}};
  for (const Case& c : cases) {
    RECT r;
    GetWindowRect(GetDlgItem(dlg.m_hWnd, c.id), &r);
    MapWindowPoints(nullptr, dlg.m_hWnd, reinterpret_cast<POINT*>(&r), 2);
    EXPECT_EQ(r.left, MulDiv(c.want.left, 6, 4)) << c.id;
    EXPECT_EQ(r.top, MulDiv(c.want.top, 13, 8)) << c.id;
    EXPECT_EQ(r.right - r.left, MulDiv(c.want.right, 6, 4)) << c.id;
    EXPECT_EQ(r.bottom - r.top, MulDiv(c.want.bottom, 13, 8)) << c.id;
  }
  // The unnamed group box is placed by its order in the template.
  HWND group = GetWindow(GetDlgItem(dlg.m_hWnd, 11), GW_HWNDNEXT);
  RECT r;
  GetWindowRect(group, &r);
  MapWindowPoints(nullptr, dlg.m_hWnd, reinterpret_cast<POINT*>(&r), 2);
  EXPECT_EQ(r.top, MulDiv(60, 13, 8));
  RECT client;
  dlg.GetClientRect(&client);
  EXPECT_EQ(client.right, 300);
  EXPECT_EQ(client.bottom, 195);
}

TEST_F(Framework, HandleMapFollowsTheWindowsLife) {
  EXPECT_EQ(CWnd::FromHandlePermanent(dlg.m_hWnd), &dlg);
  EXPECT_EQ(CWnd::FromHandlePermanent(GetDlgItem(dlg.m_hWnd, 10)), &dlg.drawn);
  HWND plain = GetDlgItem(dlg.m_hWnd, 13);
  EXPECT_EQ(CWnd::FromHandlePermanent(plain), nullptr);
  CWnd* wrapper = dlg.GetDlgItem(13);
  ASSERT_NE(wrapper, nullptr);
  EXPECT_EQ(wrapper->m_hWnd, plain);
  EXPECT_EQ(dlg.GetDlgItem(13), wrapper) << "one wrapper per window";
  EXPECT_EQ(dlg.drawn.GetParent(), &dlg);

  HWND button = dlg.drawn.m_hWnd;
  dlg.DestroyWindow();
  EXPECT_EQ(dlg.m_hWnd, nullptr);
  EXPECT_EQ(dlg.drawn.m_hWnd, nullptr) << "children are detached as they go";
  EXPECT_EQ(CWnd::FromHandlePermanent(button), nullptr);
}

TEST(FrameworkModal, ResultsOfEndDialogCancelAndAPendingQuit) {
  struct Case {
    const char* name;
    std::function<void(CProbeDlg*)> init;
    INT_PTR result;
    int quitCode;  // 1000: no quit pending
  } cases[] = {
      {"EndDialog",
       [](CProbeDlg* d) {
         d->PostMessage(WM_APP + 2);
         SetTimer(*d, 1, 10, nullptr);
         d->EndDialog(42);
       },
       42, 1000},
      {"Escape", [](CProbeDlg* d) { d->PostMessage(WM_COMMAND, IDCANCEL); }, IDCANCEL, 1000},
      {"quit", [](CProbeDlg*) { PostQuitMessage(-1); }, -2, -1},
  };
  for (const Case& c : cases) {
    CProbeDlg dlg;
    dlg.onInit = c.init;
    INT_PTR r = dlg.DoModal();
    if (c.result != -2) {
      EXPECT_EQ(r, c.result) << c.name;
    }
    EXPECT_EQ(AfxTakePendingQuitCode(1000), c.quitCode) << c.name;
    EXPECT_EQ(dlg.m_hWnd, nullptr) << c.name;
    Pump();
  }
}

TEST(FrameworkGdi, WrappersFreeWhatTheyOwn) {
  HDC screen = GetDC(nullptr);
  HDC attached = CreateCompatibleDC(screen);
  {
    CDC owned;
    ASSERT_TRUE(owned.CreateCompatibleDC(screen));
    CDC borrowed;
    borrowed.Attach(attached);
    CBitmap bitmap;
    ASSERT_TRUE(bitmap.CreateCompatibleBitmap(screen, 8, 8));
    EXPECT_EQ(bitmap.GetSize().cx, 8);
    CFont font;
    ASSERT_TRUE(font.CreateFont(12, 6, 0, 0, 400, 0, 0, 0, ANSI_CHARSET, 0, 0, 0, 0, L"Arial"));
    HGDIOBJ b = bitmap.m_hObject;
    EXPECT_EQ(GetObjectType(b), static_cast<DWORD>(OBJ_BITMAP));
  }
  EXPECT_EQ(GetObjectType(attached), static_cast<DWORD>(OBJ_MEMDC)) << "an attached DC is left alone";
  DeleteDC(attached);
  ReleaseDC(nullptr, screen);
}

TEST(FrameworkRuntimeClass, KindOf) {
  CBitmapButton b;
  EXPECT_TRUE(b.IsKindOf(RUNTIME_CLASS(CButton)));
  EXPECT_TRUE(b.IsKindOf(RUNTIME_CLASS(CWnd)));
  EXPECT_FALSE(b.IsKindOf(RUNTIME_CLASS(CDialog)));
  EXPECT_STREQ(b.GetRuntimeClass()->m_lpszClassName, "CBitmapButton");
}

TEST(FrameworkDerived, MostDerivedEntryWinsAndBaseEntriesStillRun) {
  CDerivedDlg dlg;
  ASSERT_TRUE(dlg.Create());
  SendDlgItemMessageW(dlg.m_hWnd, 10, BM_CLICK, 0, 0);
  dlg.SendMessage(WM_TIMER, 3, 0);
  EXPECT_EQ(dlg.calls, (std::vector<std::string>{"derived-clicked", "timer3"}));
  dlg.DestroyWindow();
}

// A message box found on the given thread: its caption, then it is answered with OK.
struct BoxCloser {
  DWORD thread = 0;
  std::wstring caption;
};

BOOL CALLBACK FindMessageBox(HWND w, LPARAM found) {
  wchar_t cls[16] = {};
  GetClassNameW(w, cls, 16);
  if (wcscmp(cls, L"#32770") != 0 || !IsWindowVisible(w)) return TRUE;
  *reinterpret_cast<HWND*>(found) = w;
  return FALSE;
}

DWORD WINAPI CloseMessageBox(LPVOID param) {
  auto* closer = static_cast<BoxCloser*>(param);
  for (int i = 0; i < 500; ++i) {
    HWND box = nullptr;
    EnumThreadWindows(closer->thread, &FindMessageBox, reinterpret_cast<LPARAM>(&box));
    if (box) {
      wchar_t caption[MAX_PATH] = {};
      GetWindowTextW(box, caption, MAX_PATH);
      closer->caption = caption;
      PostMessageW(box, WM_COMMAND, IDOK, 0);
      return 0;
    }
    Sleep(10);
  }
  return 0;
}

TEST(FrameworkMessageBox, DefaultCaptionIsTheProgramsName) {
  std::wstring name = AfxGetAppName();
  ASSERT_FALSE(name.empty());
  struct Case {
    const char* how;
    std::function<int()> show;
    std::wstring caption;
  } cases[] = {
      {"CWnd::MessageBox", [] { return CWnd().MessageBox(L"text"); }, name},
      {"AfxMessageBox", [] { return AfxMessageBox(L"text", MB_OK); }, name},
      {"given caption", [] { return CWnd().MessageBox(L"text", L"Recorder"); }, L"Recorder"},
  };
  for (const Case& c : cases) {
    BoxCloser closer;
    closer.thread = GetCurrentThreadId();
    HANDLE t = CreateThread(nullptr, 0, &CloseMessageBox, &closer, 0, nullptr);
    EXPECT_EQ(c.show(), IDOK) << c.how;
    WaitForSingleObject(t, INFINITE);
    CloseHandle(t);
    EXPECT_EQ(closer.caption, c.caption) << c.how;
  }
}

}  // namespace
