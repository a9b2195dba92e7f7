#include "mfc/CObject.h"

bool CRuntimeClass::IsDerivedFrom(const CRuntimeClass* base) const {
  for (const CRuntimeClass* c = this; c; c = c->m_pBaseClass)
    if (c == base) return true;
  return false;
}

const CRuntimeClass CObject::classCObject = {"CObject", nullptr};
const CRuntimeClass* CObject::GetRuntimeClass() const { return &classCObject; }

IMPLEMENT_DYNAMIC(CCmdTarget, CObject)

const AFX_MSGMAP* CCmdTarget::GetThisMessageMap() {
  static const AFX_MSGMAP_ENTRY entries[] = {{0, 0, 0, 0, nullptr}};
  static const AFX_MSGMAP map = {nullptr, entries};
  return &map;
}
const AFX_MSGMAP* CCmdTarget::GetMessageMap() const { return GetThisMessageMap(); }

static bool EntryMatches(const AFX_MSGMAP_ENTRY& e, UINT message, WPARAM wParam, LPARAM lParam) {
  if (e.message != message) return false;
  if (message == WM_COMMAND) {
    UINT id = LOWORD(wParam);
    return e.code == HIWORD(wParam) && id >= e.id && id <= e.lastId;
  }
  if (message == WM_NOTIFY) {
    const NMHDR* h = reinterpret_cast<const NMHDR*>(lParam);
    return h && e.code == h->code && h->idFrom >= e.id && h->idFrom <= e.lastId;
  }
  return true;
}

const AFX_MSGMAP_ENTRY* AfxFindMessageEntry(const AFX_MSGMAP* map, UINT message, WPARAM wParam,
                                            LPARAM lParam) {
  for (; map; map = map->pfnGetBaseMap ? map->pfnGetBaseMap() : nullptr)
    for (const AFX_MSGMAP_ENTRY* e = map->lpEntries; e->handler; ++e)
      if (EntryMatches(*e, message, wParam, lParam)) return e;
  return nullptr;
}

bool CCmdTarget::DispatchMessageMap(UINT message, WPARAM wParam, LPARAM lParam, LRESULT* result) {
  const AFX_MSGMAP_ENTRY* e = AfxFindMessageEntry(GetMessageMap(), message, wParam, lParam);
  if (!e) return false;
  LRESULT r = e->handler(this, wParam, lParam);
  if (result) *result = r;
  return true;
}
