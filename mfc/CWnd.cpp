#include "common/Locks.h"
#include "mfc/CWnd.h"

#include <memory>
#include <mutex>
#include <unordered_map>

#include "common/Prompt.h"
#include "mfc/CWinApp.h"

IMPLEMENT_DYNAMIC(CWnd, CCmdTarget)
IMPLEMENT_DYNAMIC(CScrollBar, CWnd)

BEGIN_MESSAGE_MAP(CWnd, CCmdTarget)
END_MESSAGE_MAP()

namespace {

Mutex g_mapLock;
std::unordered_map<HWND, CWnd*>& PermanentMap() {
  static auto* map = new std::unordered_map<HWND, CWnd*>();  // outlives every static CWnd
  return *map;
}

// Wrappers for windows that belong to no object, one set per thread.
thread_local std::unordered_map<HWND, std::unique_ptr<CWnd>> t_temporaryMap;

// The message being dispatched on this thread, for Default().
struct CurrentMessage {
  HWND hwnd;
  UINT message;
  WPARAM wParam;
  LPARAM lParam;
};
thread_local CurrentMessage t_current = {};

}  // namespace

CWnd::~CWnd() {
  if (m_hWnd) {
    if (m_pfnSuper)
      UnsubclassWindow();
    else
      Detach();
  }
}

CWnd* CWnd::FromHandlePermanent(HWND hwnd) {
  if (!hwnd) return nullptr;
  std::lock_guard<Mutex> lock(g_mapLock);
  auto it = PermanentMap().find(hwnd);
  return it == PermanentMap().end() ? nullptr : it->second;
}

CWnd* CWnd::FromHandle(HWND hwnd) {
  if (!hwnd) return nullptr;
  if (CWnd* w = FromHandlePermanent(hwnd)) return w;
  auto& slot = t_temporaryMap[hwnd];
  if (!slot) {
    slot = std::make_unique<CWnd>();
    slot->m_hWnd = hwnd;
  }
  return slot.get();
}

bool CWnd::Attach(HWND hwnd) {
  if (!hwnd || m_hWnd) return false;
  std::lock_guard<Mutex> lock(g_mapLock);
  auto& slot = PermanentMap()[hwnd];
  if (slot) return false;
  slot = this;
  m_hWnd = hwnd;
  return true;
}

HWND CWnd::Detach() {
  HWND hwnd = m_hWnd;
  if (hwnd) {
    std::lock_guard<Mutex> lock(g_mapLock);
    auto it = PermanentMap().find(hwnd);
    if (it != PermanentMap().end() && it->second == this) PermanentMap().erase(it);
  }
  m_hWnd = nullptr;
  return hwnd;
}

bool CWnd::SubclassWindow(HWND hwnd) {
  if (!Attach(hwnd)) return false;
  PreSubclassWindow();
  m_pfnSuper = reinterpret_cast<WNDPROC>(
      ::SetWindowLongPtrW(hwnd, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(&AfxWndProc)));
  if (m_pfnSuper == &AfxWndProc) m_pfnSuper = nullptr;  // cannot happen for a window we did not own
  return true;
}

bool CWnd::SubclassDlgItem(UINT id, CWnd* parent) {
  if (!parent || !parent->m_hWnd) return false;
  HWND child = ::GetDlgItem(parent->m_hWnd, static_cast<int>(id));
  return child && SubclassWindow(child);
}

HWND CWnd::UnsubclassWindow() {
  if (m_hWnd && m_pfnSuper) ::SetWindowLongPtrW(m_hWnd, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(m_pfnSuper));
  m_pfnSuper = nullptr;
  return Detach();
}

CWnd* CWnd::GetDlgItem(int id) const { return FromHandle(::GetDlgItem(m_hWnd, id)); }

void CWnd::ScreenToClient(LPRECT r) const {
  ::ScreenToClient(m_hWnd, reinterpret_cast<LPPOINT>(r));
  ::ScreenToClient(m_hWnd, reinterpret_cast<LPPOINT>(r) + 1);
}

void CWnd::ClientToScreen(LPRECT r) const {
  ::ClientToScreen(m_hWnd, reinterpret_cast<LPPOINT>(r));
  ::ClientToScreen(m_hWnd, reinterpret_cast<LPPOINT>(r) + 1);
}

BOOL CWnd::DestroyWindow() { return m_hWnd ? ::DestroyWindow(m_hWnd) : FALSE; }

int CWnd::MessageBox(LPCWSTR text, LPCWSTR caption, UINT type) {
  return ShowPrompt(m_hWnd, text, caption ? caption : AfxGetAppName(), type);
}

LRESULT CWnd::DefWindowProc(UINT message, WPARAM wParam, LPARAM lParam) {
  if (m_pfnSuper) return ::CallWindowProcW(m_pfnSuper, m_hWnd, message, wParam, lParam);
  return ::DefWindowProcW(m_hWnd, message, wParam, lParam);
}

LRESULT CWnd::Default() {
  const CurrentMessage& m = t_current;
  return DefWindowProc(m.message, m.wParam, m.lParam);
}

BOOL CWnd::OnCommand(WPARAM wParam, LPARAM lParam) {
  LRESULT r = 0;
  return DispatchMessageMap(WM_COMMAND, wParam, lParam, &r) ? TRUE : FALSE;
}

BOOL CWnd::OnNotify(WPARAM wParam, LPARAM lParam, LRESULT* result) {
  return DispatchMessageMap(WM_NOTIFY, wParam, lParam, result) ? TRUE : FALSE;
}

BOOL CWnd::OnChildNotify(UINT, WPARAM, LPARAM, LRESULT*) { return FALSE; }

bool CWnd::OnWndMsg(UINT message, WPARAM wParam, LPARAM lParam, LRESULT* result) {
  *result = 0;
  if (message == WM_COMMAND) return OnCommand(wParam, lParam) != FALSE;
  if (message == WM_NOTIFY) return OnNotify(wParam, lParam, result) != FALSE;
  if (DispatchMessageMap(message, wParam, lParam, result)) return true;
  if (message == WM_DRAWITEM && lParam) {
    // Owner-drawn controls draw themselves: hand the message back to the control's object.
    auto* item = reinterpret_cast<DRAWITEMSTRUCT*>(lParam);
    if (item->CtlType != ODT_MENU) {
      CWnd* child = FromHandlePermanent(item->hwndItem);
      if (child && child->OnChildNotify(message, wParam, lParam, result)) {
        *result = TRUE;
        return true;
      }
    }
  }
  return false;
}

LRESULT CWnd::WindowProc(UINT message, WPARAM wParam, LPARAM lParam) {
  LRESULT result = 0;
  if (!OnWndMsg(message, wParam, lParam, &result)) result = DefWindowProc(message, wParam, lParam);
  return result;
}

LRESULT CALLBACK AfxWndProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
  CWnd* wnd = CWnd::FromHandlePermanent(hwnd);
  if (!wnd) return ::DefWindowProcW(hwnd, message, wParam, lParam);
  CurrentMessage saved = t_current;
  t_current = {hwnd, message, wParam, lParam};
  LRESULT result = wnd->WindowProc(message, wParam, lParam);
  t_current = saved;
  if (message == WM_NCDESTROY) {
    // The window is gone: the object lives on without it.
    wnd->m_pfnSuper = nullptr;
    wnd->Detach();
    wnd->PostNcDestroy();
  }
  return result;
}
