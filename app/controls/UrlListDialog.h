// The URL-list dialog (template 209, "Manage URL List Dialog"): edits the named web addresses of
// the open menu. The list text is a sequence of entries of two lines each, a name line and a URL
// line, every line ended by CR LF.
#pragma once

#include <windows.h>

#include <cstddef>
#include <cstdint>

// A list text as the dialog takes and gives it: malloc'd UTF-16, `size` in bytes with the NUL.
struct UrlListBlock {
  wchar_t* text = nullptr;
  size_t size = 0;
};

// Where the list lives (the application data object): the dialog takes the text, edits it and
// gives the new text back.
class IUrlListStore {
 public:
  virtual ~IUrlListStore() = default;
  // Ownership of the text passes to the caller.
  virtual UrlListBlock TakeUrlList() = 0;
  // Ownership of the text passes to the store, which keeps it and writes it out.
  virtual void StoreUrlList(UrlListBlock list) = 0;
};

// The dialog procedure: lParam of WM_INITDIALOG points to the block, which it replaces on close.
INT_PTR CALLBACK UrlListDlgProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam);

// Runs the dialog modally over the store's list; the result of DialogBoxParamW.
INT_PTR RunUrlListDialog(HWND owner, IUrlListStore& store);

// URLList.txt: the byte-order mark 0xFEFF, then `length` code units of the text. The file is
// created or replaced; false when it cannot be written.
bool WriteUrlListFile(const wchar_t* path, const wchar_t* text, size_t length);
// Reads the text after the byte-order mark (a file without one is taken whole) into a malloc'd
// block with a NUL; false when the file cannot be read.
bool ReadUrlListFile(const wchar_t* path, UrlListBlock* out);

// The list as the application data object keeps it: a malloc'd text and its length in code
// units. After the dialog the length is the new block's size / 2 (its NUL counted, as the file
// then holds it), and the file at `path` is rewritten.
class CUrlListInFields : public IUrlListStore {
 public:
  CUrlListInFields(wchar_t** text, uint32_t* length, const wchar_t* path);
  UrlListBlock TakeUrlList() override;
  void StoreUrlList(UrlListBlock list) override;

 private:
  wchar_t** text_;
  uint32_t* length_;
  wchar_t path_[MAX_PATH] = {};
};

// A store kept in one URLList.txt file.
class CUrlListFile : public IUrlListStore {
 public:
  explicit CUrlListFile(const wchar_t* path);
  ~CUrlListFile() override;
  UrlListBlock TakeUrlList() override;
  void StoreUrlList(UrlListBlock list) override;
  const wchar_t* Text() const { return list_.text; }

 private:
  wchar_t path_[MAX_PATH] = {};
  UrlListBlock list_;
};
