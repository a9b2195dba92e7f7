// Windows: a CWnd wraps one HWND; a process-wide handle map finds the object of a window so that
// AfxWndProc can route its messages through the message map of the object's class.
#pragma once

#include <windows.h>
#include <shellapi.h>

#include "mfc/CDC.h"
#include "mfc/CObject.h"
#include "mfc/CRect.h"

class CScrollBar;

class CWnd : public CCmdTarget {
  DECLARE_DYNAMIC(CWnd)
 public:
  CWnd() = default;
  ~CWnd() override;

  HWND m_hWnd = nullptr;
  HWND GetSafeHwnd() const { return m_hWnd; }
  operator HWND() const { return GetSafeHwnd(); }

  // The object that owns the window; null for a window no CWnd is attached to.
  static CWnd* FromHandlePermanent(HWND hwnd);
  // The permanent object, else a wrapper kept for the calling thread (never null for a window).
  static CWnd* FromHandle(HWND hwnd);

  bool Attach(HWND hwnd);
  HWND Detach();
  // Attaches and routes the window's messages through this object; the old procedure becomes the
  // default processing.
  bool SubclassWindow(HWND hwnd);
  bool SubclassDlgItem(UINT id, CWnd* parent);
  HWND UnsubclassWindow();

  virtual LRESULT WindowProc(UINT message, WPARAM wParam, LPARAM lParam);
  virtual BOOL OnCommand(WPARAM wParam, LPARAM lParam);
  virtual BOOL OnNotify(WPARAM wParam, LPARAM lParam, LRESULT* result);
  // A message the parent reflects back to the control (WM_DRAWITEM); true when handled.
  virtual BOOL OnChildNotify(UINT message, WPARAM wParam, LPARAM lParam, LRESULT* result);
  // The skin backdrop a skinned child asks its parent for; windows without a skin give 0.
  virtual HDC QueryBackdropDC(UINT_PTR tag) { return nullptr; }
  virtual void PreSubclassWindow() {}
  virtual void PostNcDestroy() {}

  // Default processing of the message being handled on this thread.
  LRESULT Default();
  LRESULT DefWindowProc(UINT message, WPARAM wParam, LPARAM lParam);

  // Thin wrappers.
  CWnd* GetParent() const { return FromHandle(::GetParent(m_hWnd)); }
  CWnd* GetDlgItem(int id) const;
  int GetDlgCtrlID() const { return ::GetDlgCtrlID(m_hWnd); }
  void SetWindowText(LPCWSTR text) { ::SetWindowTextW(m_hWnd, text); }
  int GetWindowText(LPWSTR text, int max) const { return ::GetWindowTextW(m_hWnd, text, max); }
  int GetWindowTextLength() const { return ::GetWindowTextLengthW(m_hWnd); }
  BOOL ShowWindow(int cmd) { return ::ShowWindow(m_hWnd, cmd); }
  BOOL EnableWindow(BOOL enable = TRUE) { return ::EnableWindow(m_hWnd, enable); }
  BOOL IsWindowVisible() const { return ::IsWindowVisible(m_hWnd); }
  BOOL IsWindowEnabled() const { return ::IsWindowEnabled(m_hWnd); }
  BOOL IsIconic() const { return ::IsIconic(m_hWnd); }
  void Invalidate(BOOL erase = TRUE) { ::InvalidateRect(m_hWnd, nullptr, erase); }
  void InvalidateRect(LPCRECT rect, BOOL erase = TRUE) { ::InvalidateRect(m_hWnd, rect, erase); }
  void UpdateWindow() { ::UpdateWindow(m_hWnd); }
  void GetWindowRect(LPRECT rect) const { ::GetWindowRect(m_hWnd, rect); }
  void GetClientRect(LPRECT rect) const { ::GetClientRect(m_hWnd, rect); }
  void ScreenToClient(LPPOINT p) const { ::ScreenToClient(m_hWnd, p); }
  void ScreenToClient(LPRECT r) const;
  void ClientToScreen(LPPOINT p) const { ::ClientToScreen(m_hWnd, p); }
  void ClientToScreen(LPRECT r) const;
  void MoveWindow(int x, int y, int w, int h, BOOL repaint = TRUE) {
    ::MoveWindow(m_hWnd, x, y, w, h, repaint);
  }
  BOOL SetWindowPos(HWND after, int x, int y, int cx, int cy, UINT flags) {
    return ::SetWindowPos(m_hWnd, after, x, y, cx, cy, flags);
  }
  LRESULT SendMessage(UINT m, WPARAM w = 0, LPARAM l = 0) { return ::SendMessageW(m_hWnd, m, w, l); }
  BOOL PostMessage(UINT m, WPARAM w = 0, LPARAM l = 0) { return ::PostMessageW(m_hWnd, m, w, l); }
  CWnd* SetCapture() { return FromHandle(::SetCapture(m_hWnd)); }
  UINT_PTR SetTimer(UINT_PTR id, UINT elapse, TIMERPROC proc = nullptr) {
    return ::SetTimer(m_hWnd, id, elapse, proc);
  }
  BOOL KillTimer(UINT_PTR id) { return ::KillTimer(m_hWnd, id); }
  CWnd* SetFocus() { return FromHandle(::SetFocus(m_hWnd)); }
  BOOL SetForegroundWindow() { return ::SetForegroundWindow(m_hWnd); }
  BOOL BringWindowToTop() { return ::BringWindowToTop(m_hWnd); }
  void DragAcceptFiles(BOOL accept = TRUE) { ::DragAcceptFiles(m_hWnd, accept); }
  DWORD GetStyle() const { return static_cast<DWORD>(::GetWindowLongW(m_hWnd, GWL_STYLE)); }
  HICON SetIcon(HICON icon, BOOL big) {
    return reinterpret_cast<HICON>(
        SendMessage(WM_SETICON, big ? ICON_BIG : ICON_SMALL, reinterpret_cast<LPARAM>(icon)));
  }
  void SetFont(HFONT font, BOOL redraw = TRUE) {
    SendMessage(WM_SETFONT, reinterpret_cast<WPARAM>(font), redraw);
  }
  BOOL DestroyWindow();
  // A caption of null is the program's name.
  int MessageBox(LPCWSTR text, LPCWSTR caption = nullptr, UINT type = MB_OK);

 protected:
  bool OnWndMsg(UINT message, WPARAM wParam, LPARAM lParam, LRESULT* result);

  // Default handlers that the message-map macros name; each does the default processing.
  void OnPaint() { Default(); }
  void OnDestroy() { Default(); }
  BOOL OnEraseBkgnd(CDC*) { return static_cast<BOOL>(Default()); }
  void OnContextMenu(CWnd*, CPoint) { Default(); }
  void OnVScroll(UINT, UINT, CScrollBar*) { Default(); }
  void OnHScroll(UINT, UINT, CScrollBar*) { Default(); }
  void OnLButtonDown(UINT, CPoint) { Default(); }
  void OnLButtonUp(UINT, CPoint) { Default(); }
  void OnLButtonDblClk(UINT, CPoint) { Default(); }
  void OnRButtonDown(UINT, CPoint) { Default(); }
  void OnRButtonUp(UINT, CPoint) { Default(); }
  void OnMouseMove(UINT, CPoint) { Default(); }
  BOOL OnSetCursor(CWnd*, UINT, UINT) { return static_cast<BOOL>(Default()); }
  void OnTimer(UINT_PTR) { Default(); }
  void OnKeyDown(UINT, UINT, UINT) { Default(); }
  void OnMove(int, int) { Default(); }
  void OnSysCommand(UINT, LPARAM) { Default(); }
  void OnDropFiles(HDROP) { Default(); }
  BOOL OnCopyData(CWnd*, COPYDATASTRUCT*) { return static_cast<BOOL>(Default()); }
  HCURSOR OnQueryDragIcon() { return reinterpret_cast<HCURSOR>(Default()); }

  WNDPROC m_pfnSuper = nullptr;

  friend LRESULT CALLBACK AfxWndProc(HWND, UINT, WPARAM, LPARAM);
  DECLARE_MESSAGE_MAP()
};

class CScrollBar : public CWnd {
  DECLARE_DYNAMIC(CScrollBar)
};

LRESULT CALLBACK AfxWndProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam);

// Message-map entries. Each names the handler the class declares (MFC-style names for the
// window messages, the given member for commands, notifications and ON_MESSAGE).
#define AFX_ENTRY(msg, code, id, last, ...)                                      \
  {msg, static_cast<UINT>(code), static_cast<UINT>(id), static_cast<UINT>(last), \
   [](CCmdTarget* t_, WPARAM w_, LPARAM l_) -> LRESULT {                         \
     ThisClass* p_ = static_cast<ThisClass*>(t_);                                \
     (void)p_;                                                                   \
     (void)w_;                                                                   \
     (void)l_;                                                                   \
     __VA_ARGS__                                                                 \
   }},

#define ON_WM_PAINT() AFX_ENTRY(WM_PAINT, 0, 0, 0, p_->OnPaint(); return 0;)
#define ON_WM_DESTROY() AFX_ENTRY(WM_DESTROY, 0, 0, 0, p_->OnDestroy(); return 0;)
#define ON_WM_ERASEBKGND()                                                          \
  AFX_ENTRY(WM_ERASEBKGND, 0, 0, 0, CDC dc_; dc_.Attach(reinterpret_cast<HDC>(w_)); \
            LRESULT r_ = p_->OnEraseBkgnd(&dc_); dc_.Detach(); return r_;)
#define ON_WM_CONTEXTMENU()                                                              \
  AFX_ENTRY(WM_CONTEXTMENU, 0, 0, 0,                                                     \
            p_->OnContextMenu(CWnd::FromHandle(reinterpret_cast<HWND>(w_)), CPoint(l_)); \
            return 0;)
#define ON_WM_VSCROLL()                                                                            \
  AFX_ENTRY(WM_VSCROLL, 0, 0, 0,                                                                   \
            p_->OnVScroll(LOWORD(w_), HIWORD(w_),                                                  \
                          static_cast<CScrollBar*>(CWnd::FromHandle(reinterpret_cast<HWND>(l_)))); \
            return 0;)
#define ON_WM_HSCROLL()                                                                            \
  AFX_ENTRY(WM_HSCROLL, 0, 0, 0,                                                                   \
            p_->OnHScroll(LOWORD(w_), HIWORD(w_),                                                  \
                          static_cast<CScrollBar*>(CWnd::FromHandle(reinterpret_cast<HWND>(l_)))); \
            return 0;)
#define AFX_MOUSE_ENTRY(msg, fn) AFX_ENTRY(msg, 0, 0, 0, p_->fn(static_cast<UINT>(w_), CPoint(l_)); return 0;)
#define ON_WM_LBUTTONDOWN() AFX_MOUSE_ENTRY(WM_LBUTTONDOWN, OnLButtonDown)
#define ON_WM_LBUTTONUP() AFX_MOUSE_ENTRY(WM_LBUTTONUP, OnLButtonUp)
#define ON_WM_LBUTTONDBLCLK() AFX_MOUSE_ENTRY(WM_LBUTTONDBLCLK, OnLButtonDblClk)
#define ON_WM_RBUTTONDOWN() AFX_MOUSE_ENTRY(WM_RBUTTONDOWN, OnRButtonDown)
#define ON_WM_RBUTTONUP() AFX_MOUSE_ENTRY(WM_RBUTTONUP, OnRButtonUp)
#define ON_WM_MOUSEMOVE() AFX_MOUSE_ENTRY(WM_MOUSEMOVE, OnMouseMove)
#define ON_WM_SETCURSOR()          \
  AFX_ENTRY(WM_SETCURSOR, 0, 0, 0, \
            return p_->OnSetCursor(CWnd::FromHandle(reinterpret_cast<HWND>(w_)), LOWORD(l_), HIWORD(l_));)
#define ON_WM_TIMER() AFX_ENTRY(WM_TIMER, 0, 0, 0, p_->OnTimer(static_cast<UINT_PTR>(w_)); return 0;)
#define ON_WM_KEYDOWN() \
  AFX_ENTRY(WM_KEYDOWN, 0, 0, 0, p_->OnKeyDown(static_cast<UINT>(w_), LOWORD(l_), HIWORD(l_)); return 0;)
#define ON_WM_MOVE()                                                                                      \
  AFX_ENTRY(WM_MOVE, 0, 0, 0, p_->OnMove(static_cast<short>(LOWORD(l_)), static_cast<short>(HIWORD(l_))); \
            return 0;)
#define ON_WM_SYSCOMMAND() \
  AFX_ENTRY(WM_SYSCOMMAND, 0, 0, 0, p_->OnSysCommand(static_cast<UINT>(w_), l_); return 0;)
#define ON_WM_DROPFILES() \
  AFX_ENTRY(WM_DROPFILES, 0, 0, 0, p_->OnDropFiles(reinterpret_cast<HDROP>(w_)); return 0;)
#define ON_WM_COPYDATA()                                                        \
  AFX_ENTRY(WM_COPYDATA, 0, 0, 0,                                               \
            return p_->OnCopyData(CWnd::FromHandle(reinterpret_cast<HWND>(w_)), \
                                  reinterpret_cast<COPYDATASTRUCT*>(l_));)
#define ON_WM_QUERYDRAGICON() \
  AFX_ENTRY(WM_QUERYDRAGICON, 0, 0, 0, return reinterpret_cast<LRESULT>(p_->OnQueryDragIcon());)

// LRESULT fn(WPARAM, LPARAM)
#define ON_MESSAGE(msg, fn) AFX_ENTRY(msg, 0, 0, 0, return (p_->*(fn))(w_, l_);)
// void fn()
#define ON_COMMAND(id, fn) AFX_ENTRY(WM_COMMAND, 0, id, id, (p_->*(fn))(); return 0;)
// void fn(UINT id)
#define ON_COMMAND_RANGE(id, last, fn) AFX_ENTRY(WM_COMMAND, 0, id, last, (p_->*(fn))(LOWORD(w_)); return 0;)
// void fn(): a control notification carried by WM_COMMAND
#define ON_CONTROL(code, id, fn) AFX_ENTRY(WM_COMMAND, code, id, id, (p_->*(fn))(); return 0;)
#define ON_BN_CLICKED(id, fn) ON_CONTROL(BN_CLICKED, id, fn)
#define ON_STN_DBLCLK(id, fn) ON_CONTROL(STN_DBLCLK, id, fn)
#define ON_EN_CHANGE(id, fn) ON_CONTROL(EN_CHANGE, id, fn)
// void fn(UINT id, NMHDR*, LRESULT*)
#define ON_NOTIFY_RANGE(code, id, last, fn)                                                      \
  AFX_ENTRY(WM_NOTIFY, code, id, last, LRESULT r_ = 0; NMHDR* h_ = reinterpret_cast<NMHDR*>(l_); \
            (p_->*(fn))(static_cast<UINT>(h_->idFrom), h_, &r_); return r_;)
// void fn(NMHDR*, LRESULT*)
#define ON_NOTIFY(code, id, fn)                                                                      \
  AFX_ENTRY(WM_NOTIFY, code, id, id, LRESULT r_ = 0; (p_->*(fn))(reinterpret_cast<NMHDR*>(l_), &r_); \
            return r_;)
