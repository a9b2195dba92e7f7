// The file associations on scratch registry roots: the open-with list's cases, every row, a
// second start, and a user without write access to the machine's keys.
#include "app/main/FileAssociations.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "app/main/tests/AssociationRows.h"

namespace {

const wchar_t kProgram[] = L"C:\\Program Files\\Quillmeridian\\Quillmeridian.exe";
const std::wstring kOpenWith =
    L"Software\\Microsoft\\Windows\\CurrentVersion\\Explorer\\FileExts\\.qpk\\OpenWithList";

class ScratchRoots : public ::testing::Test {
 protected:
  void SetUp() override {
    base_ = L"Software\\QuillmeridianTests\\assoc" + std::to_wstring(GetCurrentProcessId()) + L"_" +
            std::to_wstring(GetTickCount());
    for (int i = 0; i < 3; ++i) {
      std::wstring path = base_ + L"\\root" + std::to_wstring(i);
      ASSERT_EQ(RegCreateKeyExW(HKEY_CURRENT_USER, path.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr,
                                &keys_[i], nullptr),
                ERROR_SUCCESS);
    }
    roots_ = {keys_[0], keys_[1], keys_[2]};
  }
  void TearDown() override {
    for (HKEY k : keys_)
      if (k) RegCloseKey(k);
    RegDeleteTreeW(HKEY_CURRENT_USER, base_.c_str());
  }
  HKEY Root(int i) const { return keys_[i]; }

  void SetValue(const std::wstring& path, const wchar_t* name, const void* data, DWORD bytes,
                DWORD type = REG_SZ) {
    HKEY key;
    ASSERT_EQ(RegCreateKeyExW(keys_[0], path.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr),
              ERROR_SUCCESS);
    ASSERT_EQ(RegSetValueExW(key, name, 0, type, static_cast<const BYTE*>(data), bytes), ERROR_SUCCESS);
    RegCloseKey(key);
  }
  void SetText(const wchar_t* name, const std::wstring& text) {
    SetValue(kOpenWith, name, text.c_str(), static_cast<DWORD>((text.size() + 1) * sizeof(wchar_t)));
  }
  std::wstring Listed(const wchar_t* name) const { return ReadRegistryString(keys_[0], kOpenWith, name); }
  // Every value name of the OpenWithList, in code-unit order.
  std::vector<std::wstring> Names() const {
    std::vector<std::wstring> names;
    HKEY key;
    if (RegOpenKeyExW(keys_[0], kOpenWith.c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS) return names;
    for (DWORD i = 0;; ++i) {
      wchar_t name[256];
      DWORD n = 256;
      if (RegEnumValueW(key, i, name, &n, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS) break;
      names.push_back(name);
    }
    RegCloseKey(key);
    std::sort(names.begin(), names.end());
    return names;
  }

  std::wstring base_;
  HKEY keys_[3] = {};
  AssociationRoots roots_;
};

TEST_F(ScratchRoots, ANewListGetsLetterA) {
  EXPECT_TRUE(AddToOpenWithList(Root(0), L".qpk"));
  EXPECT_EQ(Listed(L"a"), L"Quillmeridian.exe");
  EXPECT_EQ(Listed(L"MRUList"), L"a");
}

TEST_F(ScratchRoots, TheNextLetterGoesAtTheEndOfTheOrder) {
  SetText(L"a", L"notepad.exe");
  SetText(L"b", L"wordpad.exe");
  SetText(L"MRUList", L"BA");
  EXPECT_TRUE(AddToOpenWithList(Root(0), L".qpk"));
  EXPECT_EQ(Listed(L"c"), L"Quillmeridian.exe");
  EXPECT_EQ(Listed(L"MRUList"), L"bac");
  EXPECT_EQ(Listed(L"a"), L"notepad.exe");
}

TEST_F(ScratchRoots, AProgramListedInAnyCaseIsLeftAlone) {
  SetText(L"a", L"notepad.exe");
  SetText(L"b", L"QUILLMERIDIAN.EXE");
  SetText(L"MRUList", L"ab");
  EXPECT_TRUE(AddToOpenWithList(Root(0), L".qpk"));
  EXPECT_EQ(Names(), (std::vector<std::wstring>{L"MRUList", L"a", L"b"}));
  EXPECT_EQ(Listed(L"MRUList"), L"ab");
}

TEST_F(ScratchRoots, AShortValueDoesNotShrinkTheNextOnesBuffers) {
  SetText(L"a", L"x.exe");
  SetText(L"b", L"a-program-with-a-rather-long-executable-name.exe");
  SetText(L"MRUList", L"ab");
  EXPECT_TRUE(AddToOpenWithList(Root(0), L".qpk"));
  EXPECT_EQ(Listed(L"c"), L"Quillmeridian.exe");
  EXPECT_EQ(Listed(L"MRUList"), L"abc");
}

TEST_F(ScratchRoots, DataLongerThanTheBufferEndsTheStepWithoutWriting) {
  SetText(L"a", std::wstring(200, L'x'));  // 402 bytes
  EXPECT_FALSE(AddToOpenWithList(Root(0), L".qpk"));
  EXPECT_EQ(Names(), (std::vector<std::wstring>{L"a"}));
}

TEST_F(ScratchRoots, DataThatFillsTheBufferWithoutATerminatorIsCompared) {
  // 128 characters and no NUL (binary data, read whatever its type): the program's name followed
  // by blanks is still not the program.
  std::wstring full = L"Quillmeridian.exe" + std::wstring(128 - 17, L' ');
  SetValue(kOpenWith, L"a", full.data(), 256, REG_BINARY);
  EXPECT_TRUE(AddToOpenWithList(Root(0), L".qpk"));
  EXPECT_EQ(Listed(L"b"), L"Quillmeridian.exe");
  EXPECT_EQ(Listed(L"MRUList"), L"b");
}

TEST_F(ScratchRoots, OnlyTheFirstTwentyValuesAreRead) {
  // Listed sorted by name: a..t are the first twenty; z (the program) and the order are beyond.
  for (wchar_t c = L'a'; c <= L't'; ++c) {
    const wchar_t name[2] = {c, 0};
    SetText(name, std::wstring(L"prog") + c + L".exe");
  }
  SetText(L"z", L"Quillmeridian.exe");
  EXPECT_TRUE(AddToOpenWithList(Root(0), L".qpk"));
  EXPECT_EQ(Listed(L"u"), L"Quillmeridian.exe");  // not '{' after the unseen z
  EXPECT_EQ(Listed(L"MRUList"), L"u");            // the order string was beyond as well
}

TEST_F(ScratchRoots, TheOrderStringIsBoundedToThirtyOneLettersAndTheNewOne) {
  for (const std::wstring& order : {std::wstring(L"abcdefghijklmnopqrstuvwxyzabcde"),              // 31
                                    std::wstring(L"abcdefghijklmnopqrstuvwxyzabcdefghijklmn")}) {  // 40
    RegDeleteTreeW(Root(0), kOpenWith.c_str());
    SetText(L"a", L"notepad.exe");
    SetText(L"MRUList", order);
    EXPECT_TRUE(AddToOpenWithList(Root(0), L".qpk"));
    EXPECT_EQ(Listed(L"b"), L"Quillmeridian.exe");
    EXPECT_EQ(Listed(L"MRUList"), order.substr(0, 31) + L"b");
  }
}

TEST_F(ScratchRoots, EveryRowIsWrittenAndASecondStartChangesNothing) {
  ASSERT_TRUE(RegisterFileAssociations(roots_, kProgram, false));
  const auto rows = ExpectedAssociationRows(kProgram);
  for (const AssociationRow& row : rows)
    EXPECT_EQ(ReadRegistryString(Root(row.root), row.path, row.value), row.data)
        << row.root << " " << std::string(row.path.begin(), row.path.end());
  ASSERT_TRUE(RegisterFileAssociations(roots_, kProgram, false));
  for (const AssociationRow& row : rows)
    EXPECT_EQ(ReadRegistryString(Root(row.root), row.path, row.value), row.data);
  EXPECT_EQ(Names(), (std::vector<std::wstring>{L"MRUList", L"a"}));
}

TEST_F(ScratchRoots, AStandardUserGetsTheUsersRowsOnly) {
  // A root that cannot be written stands for the machine's keys of a user who is not an administrator.
  AssociationRoots user = {Root(0), nullptr, nullptr};
  ASSERT_TRUE(RegisterFileAssociations(user, kProgram, false));
  for (const AssociationRow& row : ExpectedAssociationRows(kProgram)) {
    if (row.root == 0)
      EXPECT_EQ(ReadRegistryString(Root(0), row.path, row.value), row.data);
    else
      EXPECT_EQ(ReadRegistryString(Root(row.root), row.path, row.value), L"<missing>");
  }
}

TEST(FileAssociationTexts, QuoteTheProgramAndRefuseWhatDoesNotFit) {
  wchar_t out[512];
  ASSERT_TRUE(BuildOpenCommand(L"C:\\a b\\Q.exe", out, 512));
  EXPECT_STREQ(out, L"\"C:\\a b\\Q.exe\" \"%1\"");
  ASSERT_TRUE(BuildIconText(L"C:\\a b\\Q.exe", out, 512));
  EXPECT_STREQ(out, L"\"C:\\a b\\Q.exe\", 0");
  const std::wstring huge(600, L'p');
  EXPECT_FALSE(BuildOpenCommand(huge.c_str(), out, 512));
  EXPECT_STREQ(out, L"");
}

}  // namespace
