#include "appdata/SettingsFile.h"

#include <shlobj.h>

#include <cstdlib>
#include <iomanip>
#include <sstream>

#include "common/SharedHelpers.h"

namespace {

// Reads a whole file; false when it cannot be opened or read. Sharing everything keeps a reader
// from blocking the other station's write or replace.
bool ReadWholeFile(const wchar_t* path, std::string* out) {
  HANDLE file = CreateFileW(path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                            nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return false;
  LARGE_INTEGER size = {};
  bool ok = GetFileSizeEx(file, &size) && size.QuadPart < (64ll << 20);
  if (ok) {
    out->resize(size_t(size.QuadPart));
    DWORD got = 0;
    ok = out->empty() || ReadFile(file, out->data(), DWORD(out->size()), &got, nullptr);
    out->resize(ok ? got : 0);
  }
  CloseHandle(file);
  return ok;
}

// Deepest nesting of arrays and objects, strings skipped.
size_t JsonNestingDepth(const std::string& text) {
  size_t depth = 0, deepest = 0;
  bool inString = false, escaped = false;
  for (char c : text) {
    if (inString) {
      if (escaped)
        escaped = false;
      else if (c == '\\')
        escaped = true;
      else if (c == '"')
        inString = false;
    } else if (c == '"') {
      inString = true;
    } else if (c == '[' || c == '{') {
      deepest = std::max(deepest, ++depth);
    } else if ((c == ']' || c == '}') && depth) {
      --depth;
    }
  }
  return deepest;
}

}  // namespace

std::wstring GetEditionFolder() {
  wchar_t common[MAX_PATH] = {};
  if (FAILED(SHGetFolderPathW(nullptr, CSIDL_COMMON_APPDATA, nullptr, SHGFP_TYPE_CURRENT, common)))
    return L"";
  std::wstring folder = std::wstring(common) + L"\\" + GetEditionName();
  CreateDirectoryW(folder.c_str(), nullptr);
  return folder;
}

std::wstring GetEditionFilePath(const wchar_t* fileName) {
  const std::wstring folder = GetEditionFolder();
  return folder.empty() ? std::wstring() : folder + L"\\" + fileName;
}

bool ReadWellFormedJsonText(const wchar_t* path, std::string* text) {
  try {
    if (!path || !path[0] || !ReadWholeFile(path, text)) return false;
    return JsonNestingDepth(*text) <= kMaxJsonDepth && nlohmann::json::accept(*text);
  } catch (...) {
    return false;
  }
}

nlohmann::json ReadJsonSettingsFile(const wchar_t* path) {
  try {
    std::string text;
    if (!ReadWellFormedJsonText(path, &text)) return nullptr;
    nlohmann::json document = nlohmann::json::parse(text, nullptr, false);
    return document.is_discarded() ? nlohmann::json() : document;
  } catch (...) {
    return nullptr;
  }
}

std::string FormatJsonSettings(const nlohmann::json& document) {
  std::ostringstream out;
  out << std::setw(4) << document.dump(4, ' ', false, nlohmann::json::error_handler_t::replace) << '\n';
  std::string lf = out.str(), crlf;
  crlf.reserve(lf.size() + lf.size() / 8);
  for (char c : lf) {
    if (c == '\n') crlf.push_back('\r');
    crlf.push_back(c);
  }
  return crlf;
}

bool WriteJsonSettingsFile(const wchar_t* path, const nlohmann::json& document) {
  if (!path || !path[0]) return false;
  std::string bytes;
  try {
    bytes = FormatJsonSettings(document);
  } catch (...) {
    return false;
  }
  // One temp name per process: both stations may write the same file at the same moment.
  const std::wstring temp = std::wstring(path) + L"." + std::to_wstring(GetCurrentProcessId()) + L".tmp";
  HANDLE file =
      CreateFileW(temp.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return false;
  DWORD written = 0;
  const bool ok =
      WriteFile(file, bytes.data(), DWORD(bytes.size()), &written, nullptr) && written == bytes.size();
  const bool closed = CloseHandle(file);
  if (!ok || !closed) {
    DeleteFileW(temp.c_str());
    return false;
  }
  // A reader that holds the file without delete sharing makes the replace fail for a moment.
  for (int attempt = 0; attempt < 40; ++attempt) {
    if (MoveFileExW(temp.c_str(), path, MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) return true;
    const DWORD error = GetLastError();
    if (error != ERROR_SHARING_VIOLATION && error != ERROR_ACCESS_DENIED) break;
    Sleep(25);
  }
  DeleteFileW(temp.c_str());
  return false;
}

bool ReadUrlListFile(const wchar_t* path, wchar_t** text, uint32_t* length) {
  *text = nullptr;
  *length = 0;
  HANDLE file = CreateFileW(path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_ALWAYS,
                            FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return false;
  LARGE_INTEGER size = {};
  uint8_t mark[2] = {};
  DWORD got = 0;
  if (GetFileSizeEx(file, &size) && size.QuadPart >= 2 && size.QuadPart <= kMaxUrlListBytes &&
      ReadFile(file, mark, 2, &got, nullptr) && got == 2 && mark[0] == 0xFF && mark[1] == 0xFE) {
    // The size less the mark holds the text; the mark's two bytes hold the NUL.
    const DWORD bytes = DWORD(size.QuadPart) - 2;
    auto* buffer = static_cast<wchar_t*>(malloc(size_t(bytes) + 2));
    DWORD read = 0;
    if (buffer && (bytes == 0 || ReadFile(file, buffer, bytes, &read, nullptr))) {
      *length = read / 2;
      buffer[*length] = 0;
      *text = buffer;
    } else {
      free(buffer);
    }
  }
  CloseHandle(file);
  return *text != nullptr;
}
