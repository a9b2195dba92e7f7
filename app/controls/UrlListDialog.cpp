#include "app/controls/UrlListDialog.h"

#include <cstdlib>
#include <cstring>
#include <cwchar>
#include <string>
#include <vector>

#include "app/res/UrlListIds.h"
#include "mfc/CDialog.h"

namespace {

// Each list line keeps its name and URL apart, so a name holding " - " survives the round trip.
struct UrlEntry {
  std::wstring name;
  std::wstring url;
};

constexpr int kLineMax = 2048;

std::wstring DisplayLine(const UrlEntry& e) {
  std::wstring line = e.name + L" - " + e.url;
  if (line.size() >= kLineMax) line.resize(kLineMax - 1);
  return line;
}

UrlEntry* EntryAt(HWND list, int index) {
  LRESULT data = SendMessageW(list, LB_GETITEMDATA, index, 0);
  return data == LB_ERR ? nullptr : reinterpret_cast<UrlEntry*>(data);
}

int InsertEntry(HWND list, int index, UrlEntry* entry) {
  std::wstring line = DisplayLine(*entry);
  int at =
      static_cast<int>(SendMessageW(list, LB_INSERTSTRING, index, reinterpret_cast<LPARAM>(line.c_str())));
  if (at < 0) {
    delete entry;
    return -1;
  }
  SendMessageW(list, LB_SETITEMDATA, at, reinterpret_cast<LPARAM>(entry));
  return at;
}

UrlEntry* RemoveEntry(HWND list, int index) {
  UrlEntry* entry = EntryAt(list, index);
  SendMessageW(list, LB_DELETESTRING, index, 0);
  return entry;
}

void ClearEntries(HWND list) {
  int n = static_cast<int>(SendMessageW(list, LB_GETCOUNT, 0, 0));
  for (int i = 0; i < n; ++i) delete EntryAt(list, i);
  SendMessageW(list, LB_RESETCONTENT, 0, 0);
}

std::wstring EditText(HWND dialog, int id) {
  HWND edit = GetDlgItem(dialog, id);
  int n = GetWindowTextLengthW(edit);
  std::vector<wchar_t> text(static_cast<size_t>(n) + 1);
  GetWindowTextW(edit, text.data(), n + 1);
  return std::wstring(text.data());
}

// Reads one line ending in CR LF (or CR); false when the text ends before a CR.
bool ReadLine(const wchar_t*& p, const wchar_t* end, std::wstring* line) {
  const wchar_t* q = p;
  while (q < end && *q && *q != L'\r') ++q;
  line->assign(p, q);
  if (q >= end || *q != L'\r') {
    p = q;
    return false;
  }
  ++q;
  if (q < end && *q == L'\n') ++q;
  p = q;
  return true;
}

void LoadList(HWND dialog, const UrlListBlock* block) {
  if (!block || !block->text) return;
  HWND list = GetDlgItem(dialog, IDC_URL_LIST);
  const wchar_t* p = block->text;
  const wchar_t* end = p + block->size / sizeof(wchar_t);
  for (;;) {
    UrlEntry entry;
    if (!ReadLine(p, end, &entry.name)) break;
    // A last URL line without its line end still belongs to its entry.
    bool more = ReadLine(p, end, &entry.url);
    InsertEntry(list, -1, new UrlEntry(entry));
    if (!more) break;
  }
}

void SaveList(HWND dialog, UrlListBlock* block) {
  HWND list = GetDlgItem(dialog, IDC_URL_LIST);
  std::wstring text;
  int n = static_cast<int>(SendMessageW(list, LB_GETCOUNT, 0, 0));
  for (int i = 0; i < n; ++i)
    if (UrlEntry* e = EntryAt(list, i)) text += e->name + L"\r\n" + e->url + L"\r\n";
  size_t size = (text.size() + 1) * sizeof(wchar_t);
  auto* copy = static_cast<wchar_t*>(malloc(size));
  if (!copy) return;  // out of memory: the caller keeps the old list
  memcpy(copy, text.c_str(), size);
  free(block->text);
  block->text = copy;
  block->size = size;
}

void MoveSelected(HWND list, int delta) {
  int sel = static_cast<int>(SendMessageW(list, LB_GETCURSEL, 0, 0));
  int n = static_cast<int>(SendMessageW(list, LB_GETCOUNT, 0, 0));
  if (sel < 0 || sel + delta < 0 || sel + delta >= n) return;
  UrlEntry* entry = RemoveEntry(list, sel);
  int at = InsertEntry(list, sel + delta, entry);
  SendMessageW(list, LB_SETCURSEL, at, 0);
}

void OnCommand(HWND dialog, UINT id, UINT code) {
  HWND list = GetDlgItem(dialog, IDC_URL_LIST);
  int sel = static_cast<int>(SendMessageW(list, LB_GETCURSEL, 0, 0));
  switch (id) {
    case IDC_URL_LIST:
      if (code == LBN_SELCHANGE && sel >= 0)
        if (UrlEntry* e = EntryAt(list, sel)) {
          SetDlgItemTextW(dialog, IDC_URL_NAME, e->name.c_str());
          SetDlgItemTextW(dialog, IDC_URL_ADDRESS, e->url.c_str());
        }
      break;
    case IDC_URL_ADD: {
      auto* entry = new UrlEntry{EditText(dialog, IDC_URL_NAME), EditText(dialog, IDC_URL_ADDRESS)};
      std::wstring line = DisplayLine(*entry);
      // A line that begins with the new one is only selected.
      if (SendMessageW(list, LB_SELECTSTRING, static_cast<WPARAM>(-1),
                       reinterpret_cast<LPARAM>(line.c_str())) != LB_ERR) {
        delete entry;
        break;
      }
      int at = InsertEntry(list, -1, entry);
      SendMessageW(list, LB_SETCURSEL, at, 0);
      break;
    }
    case IDC_URL_UPDATE:
      if (sel >= 0) {
        delete RemoveEntry(list, sel);
        int at = InsertEntry(list, sel,
                             new UrlEntry{EditText(dialog, IDC_URL_NAME), EditText(dialog, IDC_URL_ADDRESS)});
        SendMessageW(list, LB_SETCURSEL, at, 0);
      }
      break;
    case IDC_URL_REMOVE:
      if (sel >= 0) delete RemoveEntry(list, sel);
      break;
    case IDC_URL_CLEAR:
      ClearEntries(list);
      break;
    case IDC_URL_UP:
      MoveSelected(list, -1);
      break;
    case IDC_URL_DOWN:
      MoveSelected(list, +1);
      break;
    // IDCANCEL (Escape) does nothing: the dialog has no Cancel, and only its close box closes it,
    // always applying the list.
    default:
      break;
  }
}

const wchar_t kBlockProp[] = L"QmUrlListBlock";

}  // namespace

INT_PTR CALLBACK UrlListDlgProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam) {
  switch (message) {
    case WM_INITDIALOG: {
      SetPropW(dialog, kBlockProp, reinterpret_cast<HANDLE>(lParam));
      PlaceDialogItemsByWindowsUnits(dialog, GetModuleHandleW(nullptr), MAKEINTRESOURCEW(IDD_URL_LIST));
      LoadList(dialog, reinterpret_cast<const UrlListBlock*>(lParam));
      return TRUE;
    }
    case WM_COMMAND:
      OnCommand(dialog, LOWORD(wParam), HIWORD(wParam));
      return TRUE;
    case WM_CLOSE: {
      if (auto* block = static_cast<UrlListBlock*>(GetPropW(dialog, kBlockProp))) SaveList(dialog, block);
      EndDialog(dialog, 0);
      return TRUE;
    }
    case WM_DESTROY:
      ClearEntries(GetDlgItem(dialog, IDC_URL_LIST));
      RemovePropW(dialog, kBlockProp);
      return FALSE;
    default:
      return FALSE;
  }
}

INT_PTR RunUrlListDialog(HWND owner, IUrlListStore& store) {
  UrlListBlock block = store.TakeUrlList();
  INT_PTR result = DialogBoxParamW(GetModuleHandleW(nullptr), MAKEINTRESOURCEW(IDD_URL_LIST), owner,
                                   &UrlListDlgProc, reinterpret_cast<LPARAM>(&block));
  store.StoreUrlList(block);
  return result;
}

bool WriteUrlListFile(const wchar_t* path, const wchar_t* text, size_t length) {
  HANDLE file = CreateFileW(path, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_ALWAYS,
                            FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return false;
  const wchar_t bom = 0xFEFF;
  DWORD written = 0;
  bool ok = WriteFile(file, &bom, sizeof bom, &written, nullptr) && written == sizeof bom;
  DWORD bytes = static_cast<DWORD>(length * sizeof(wchar_t));
  if (ok && bytes) ok = WriteFile(file, text, bytes, &written, nullptr) && written == bytes;
  CloseHandle(file);
  return ok;
}

bool ReadUrlListFile(const wchar_t* path, UrlListBlock* out) {
  HANDLE file = CreateFileW(path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                            FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return false;
  DWORD size = GetFileSize(file, nullptr);
  std::vector<char> bytes(size);
  DWORD read = 0;
  bool ok = size == INVALID_FILE_SIZE ? false
                                      : (ReadFile(file, bytes.data(), size, &read, nullptr) && read == size);
  CloseHandle(file);
  if (!ok) return false;
  size_t skip = size >= 2 && static_cast<unsigned char>(bytes[0]) == 0xFF &&
                        static_cast<unsigned char>(bytes[1]) == 0xFE
                    ? 2
                    : 0;
  size_t units = (size - skip) / sizeof(wchar_t);
  auto* text = static_cast<wchar_t*>(malloc((units + 1) * sizeof(wchar_t)));
  if (!text) return false;
  memcpy(text, bytes.data() + skip, units * sizeof(wchar_t));
  text[units] = 0;
  free(out->text);
  out->text = text;
  out->size = (units + 1) * sizeof(wchar_t);
  return true;
}

CUrlListFile::CUrlListFile(const wchar_t* path) {
  wcsncpy(path_, path, MAX_PATH - 1);
  ReadUrlListFile(path_, &list_);
}

CUrlListFile::~CUrlListFile() { free(list_.text); }

UrlListBlock CUrlListFile::TakeUrlList() {
  UrlListBlock list = list_;
  list_ = {};
  return list;
}

void CUrlListFile::StoreUrlList(UrlListBlock list) {
  free(list_.text);
  list_ = list;
  // The block's size counts the NUL; the file holds the text's code units, as the program stores them.
  WriteUrlListFile(path_, list_.text, list_.size / sizeof(wchar_t));
}

CUrlListInFields::CUrlListInFields(wchar_t** text, uint32_t* length, const wchar_t* path)
    : text_(text), length_(length) {
  wcsncpy(path_, path, MAX_PATH - 1);
}

UrlListBlock CUrlListInFields::TakeUrlList() {
  UrlListBlock list = {*text_, size_t(*length_) * sizeof(wchar_t)};
  *text_ = nullptr;
  *length_ = 0;
  return list;
}

void CUrlListInFields::StoreUrlList(UrlListBlock list) {
  *text_ = list.text;
  *length_ = static_cast<uint32_t>(list.size / sizeof(wchar_t));
  WriteUrlListFile(path_, *text_, *length_);  // a file that cannot be written is skipped
}
