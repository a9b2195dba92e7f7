#include "mfc/CDialog.h"

#include <cstring>
#include <vector>

#include "mfc/CWinApp.h"

IMPLEMENT_DYNAMIC(CDialog, CWnd)

BEGIN_MESSAGE_MAP(CDialog, CWnd)
  ON_COMMAND(IDOK, &CDialog::OnOK)
  ON_COMMAND(IDCANCEL, &CDialog::OnCancel)
END_MESSAGE_MAP()

void DDX_Control(CDataExchange* dx, int id, CWnd& control) {
  if (!control.m_hWnd) control.SubclassDlgItem(static_cast<UINT>(id), dx->m_pDlgWnd);
}

namespace {

struct TemplateItem {
  DWORD style;
  int x, y, cx, cy;
  UINT id;
};

struct TemplateLayout {
  DWORD style = 0, exStyle = 0;
  int cx = 0, cy = 0;
  std::vector<TemplateItem> items;
};

// Reads template text fields: 0 none, 0xFFFF an ordinal, else a NUL-ended string.
const WORD* SkipSzOrOrd(const WORD* p, const WORD* end) {
  if (p >= end) return end;
  if (*p == 0) return p + 1;
  if (*p == 0xFFFF) return p + 2;
  while (p < end && *p) ++p;
  return p < end ? p + 1 : end;
}

const WORD* AlignDword(const WORD* p, const BYTE* base) {
  size_t off = reinterpret_cast<const BYTE*>(p) - base;
  return reinterpret_cast<const WORD*>(base + ((off + 3) & ~size_t(3)));
}

bool ReadTemplate(const BYTE* data, size_t size, TemplateLayout* out) {
  const WORD* p = reinterpret_cast<const WORD*>(data);
  const WORD* end = reinterpret_cast<const WORD*>(data + size);
  auto need = [&](const WORD* q, size_t words) { return q + words <= end; };
  bool ex = need(p, 2) && p[0] == 1 && p[1] == 0xFFFF;
  WORD count;
  if (ex) {
    if (!need(p, 13)) return false;
    DWORD v[3];
    memcpy(v, p + 4, sizeof v);  // help id skipped: exStyle, style
    out->exStyle = v[0];
    out->style = v[1];
    count = p[8];
    out->cx = static_cast<short>(p[11]);
    out->cy = static_cast<short>(p[12]);
    p += 13;
  } else {
    if (!need(p, 9)) return false;
    memcpy(&out->style, p, 4);
    memcpy(&out->exStyle, p + 2, 4);
    count = p[4];
    out->cx = static_cast<short>(p[7]);
    out->cy = static_cast<short>(p[8]);
    p += 9;
  }
  p = SkipSzOrOrd(p, end);  // menu
  p = SkipSzOrOrd(p, end);  // class
  p = SkipSzOrOrd(p, end);  // title
  if (out->style & (DS_SETFONT | DS_SHELLFONT)) {
    p += ex ? 3 : 1;  // point size (, weight, italic and charset)
    p = SkipSzOrOrd(p, end);
  }
  for (WORD i = 0; i < count; ++i) {
    p = AlignDword(p, data);
    TemplateItem item = {};
    if (ex) {
      if (!need(p, 12)) return false;
      memcpy(&item.style, p + 4, 4);
      item.x = static_cast<short>(p[6]);
      item.y = static_cast<short>(p[7]);
      item.cx = static_cast<short>(p[8]);
      item.cy = static_cast<short>(p[9]);
      DWORD id;
      memcpy(&id, p + 10, 4);
      item.id = id;
      p += 12;
    } else {
      if (!need(p, 9)) return false;
      memcpy(&item.style, p, 4);
      item.x = static_cast<short>(p[4]);
      item.y = static_cast<short>(p[5]);
      item.cx = static_cast<short>(p[6]);
      item.cy = static_cast<short>(p[7]);
      item.id = p[8];
      p += 9;
    }
    p = SkipSzOrOrd(p, end);  // class
    p = SkipSzOrOrd(p, end);  // text
    if (p >= end) return false;
    p = reinterpret_cast<const WORD*>(reinterpret_cast<const BYTE*>(p + 1) + *p);  // creation data
    out->items.push_back(item);
  }
  return true;
}

}  // namespace

bool PlaceDialogItemsByWindowsUnits(HWND dialog, HINSTANCE module, LPCWSTR templateName) {
  HRSRC res = FindResourceW(module, templateName, reinterpret_cast<LPCWSTR>(RT_DIALOG));
  HGLOBAL mem = res ? LoadResource(module, res) : nullptr;
  const BYTE* data = mem ? static_cast<const BYTE*>(LockResource(mem)) : nullptr;
  if (!data) return false;
  TemplateLayout layout;
  if (!ReadTemplate(data, SizeofResource(module, res), &layout)) return false;

  // Controls are created in template order, so the children come in that order too.
  HWND child = GetWindow(dialog, GW_CHILD);
  for (const TemplateItem& item : layout.items) {
    HWND target = child;
    UINT id = item.id & 0xFFFF;
    if (id != 0xFFFF && (!target || (static_cast<UINT>(GetDlgCtrlID(target)) & 0xFFFF) != id))
      target = GetDlgItem(dialog, static_cast<int>(id));
    if (target)
      MoveWindow(target, DialogUnitsToPixelsX(item.x), DialogUnitsToPixelsY(item.y),
                 DialogUnitsToPixelsX(item.cx), DialogUnitsToPixelsY(item.cy), FALSE);
    if (child) child = GetWindow(child, GW_HWNDNEXT);
  }
  RECT r = {0, 0, DialogUnitsToPixelsX(layout.cx), DialogUnitsToPixelsY(layout.cy)};
  AdjustWindowRectEx(&r, static_cast<DWORD>(GetWindowLongW(dialog, GWL_STYLE)), FALSE,
                     static_cast<DWORD>(GetWindowLongW(dialog, GWL_EXSTYLE)));
  SetWindowPos(dialog, nullptr, 0, 0, r.right - r.left, r.bottom - r.top,
               SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE);
  return true;
}

CDialog::CDialog(UINT templateId, CWnd* parent)
    : m_nIDHelp(templateId), m_lpszTemplateName(MAKEINTRESOURCEW(templateId)), m_pParentWnd(parent) {}

INT_PTR CDialog::DoModal() {
  HWND parent = m_pParentWnd ? m_pParentWnd->GetSafeHwnd() : nullptr;
  return DialogBoxParamW(AfxGetInstanceHandle(), m_lpszTemplateName, parent, &AfxDlgProc,
                         reinterpret_cast<LPARAM>(this));
}

bool CDialog::Create(CWnd* parent) {
  if (parent) m_pParentWnd = parent;
  HWND owner = m_pParentWnd ? m_pParentWnd->GetSafeHwnd() : nullptr;
  return CreateDialogParamW(AfxGetInstanceHandle(), m_lpszTemplateName, owner, &AfxDlgProc,
                            reinterpret_cast<LPARAM>(this)) != nullptr;
}

BOOL CDialog::OnInitDialog() {
  PlaceDialogItemsByWindowsUnits(m_hWnd, AfxGetInstanceHandle(), m_lpszTemplateName);
  UpdateData(FALSE);
  return TRUE;
}

void CDialog::OnOK() {
  if (UpdateData(TRUE)) EndDialog(IDOK);
}

void CDialog::OnCancel() { EndDialog(IDCANCEL); }

BOOL CDialog::UpdateData(BOOL save) {
  CDataExchange dx(this, save);
  DoDataExchange(&dx);
  return TRUE;
}

void CDialog::EndDialog(int result) { ::EndDialog(m_hWnd, result); }

INT_PTR CALLBACK AfxDlgProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
  if (message != WM_INITDIALOG) return FALSE;
  auto* dialog = reinterpret_cast<CDialog*>(lParam);
  if (!dialog || !dialog->SubclassWindow(hwnd)) return TRUE;
  return dialog->OnInitDialog();
}
