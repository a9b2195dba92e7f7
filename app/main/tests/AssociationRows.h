// The registry rows the program writes at every start, for the tests that read them back.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

struct AssociationRow {
  int root;  // 0 current user, 1 classes root, 2 local machine
  std::wstring path;
  std::wstring value;  // empty: the default value
  std::wstring data;
};

inline std::vector<AssociationRow> ExpectedAssociationRows(const std::wstring& programPath) {
  const std::wstring command = L"\"" + programPath + L"\" \"%1\"";
  const std::wstring icon = L"\"" + programPath + L"\", 0";
  const std::wstring fileExts = L"Software\\Microsoft\\Windows\\CurrentVersion\\Explorer\\FileExts\\";
  const std::wstring caps = L"Software\\Marrowby\\Quillmeridian\\Capabilities";
  std::vector<AssociationRow> rows;
  for (const wchar_t* ext : {L".qpk", L".mp3", L".wav"}) {
    rows.push_back({0, fileExts + ext + L"\\OpenWithList", L"a", L"Quillmeridian.exe"});
    rows.push_back({0, fileExts + ext + L"\\OpenWithList", L"MRUList", L"a"});
    rows.push_back({1, ext, L"", L"Quillmeridian.Document"});
  }
  rows.push_back(
      {0, L"Software\\Classes\\Applications\\Quillmeridian.exe\\shell\\open\\command", L"", command});
  rows.push_back({1, L"Quillmeridian.Document\\shell\\open\\command", L"", command});
  rows.push_back({1, L"Quillmeridian.Document\\DefaultIcon", L"", icon});
  rows.push_back({2, L"Software\\Classes\\Quillmeridian.Document\\Shell\\open\\command", L"", command});
  rows.push_back({2, L"Software\\Classes\\Quillmeridian.Document\\DefaultIcon", L"", icon});
  rows.push_back({2, caps, L"ApplicationDescription", L"Quillmeridian language training tool"});
  rows.push_back({2, caps, L"ApplicationName", L"Quillmeridian"});
  for (const wchar_t* ext : {L".mp3", L".wav", L".qpk"})
    rows.push_back({2, caps + L"\\FileAssociations", ext, L"Quillmeridian.Document"});
  rows.push_back({2, L"Software\\RegisteredApplications", L"Quillmeridian", caps});
  return rows;
}

// The REG_SZ data of a value; "<missing>" when the key or value cannot be read, "<type N>" for
// another type, "<size>" when the byte count is not (characters + 1) x 2.
inline std::wstring ReadRegistryString(HKEY root, const std::wstring& path, const std::wstring& value) {
  HKEY key = nullptr;
  if (RegOpenKeyExW(root, path.c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS) return L"<missing>";
  wchar_t data[1024] = {};
  DWORD bytes = sizeof data - sizeof(wchar_t);
  DWORD type = 0;
  LONG rc = RegQueryValueExW(key, value.empty() ? nullptr : value.c_str(), nullptr, &type,
                             reinterpret_cast<BYTE*>(data), &bytes);
  RegCloseKey(key);
  if (rc != ERROR_SUCCESS) return L"<missing>";
  if (type != REG_SZ) return L"<type " + std::to_wstring(type) + L">";
  std::wstring text(data);
  if (bytes != (text.size() + 1) * sizeof(wchar_t)) return L"<size>";
  return text;
}
