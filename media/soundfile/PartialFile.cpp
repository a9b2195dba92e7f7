#include "media/soundfile/PartialFile.h"

#include <atomic>
#include <cwchar>
#include <vector>

#include "common/LogManager.h"
#include "common/SharedHelpers.h"

namespace {

// Partial files are named "~qm" + 8 hexadecimal digits + ".tmp": no more than 15 characters.
constexpr wchar_t kPrefix[] = L"~qm";
constexpr wchar_t kSuffix[] = L".tmp";

bool IsPartialName(const std::wstring& path) {
  const size_t start = PathFileNameStart(path);
  const std::wstring name = path.substr(start);
  return name.size() == 15 && name.compare(0, 3, kPrefix) == 0 && name.compare(11, 4, kSuffix) == 0;
}

// The folder of the notes: one file per partial file, holding its path, held open by its owner.
std::wstring NotesFolder() {
  wchar_t temp[1024] = {};
  const DWORD n = GetTempPathW(1024, temp);
  if (n == 0 || n >= 1024) return L"";
  std::wstring folder = std::wstring(temp) + L"Quillmeridian\\";
  CreateDirectoryW(folder.c_str(), nullptr);
  folder += L"Partials\\";
  CreateDirectoryW(folder.c_str(), nullptr);
  return folder;
}

// Paths past MAX_PATH are given in their long form, which CreateFileW and MoveFileExW take.
std::wstring LongForm(const std::wstring& path) {
  if (path.size() < MAX_PATH) return path;
  if (path.size() > 2 && path[1] == L':' && path[2] == L'\\') return L"\\\\?\\" + path;
  if (path.compare(0, 2, L"\\\\") == 0 && path.compare(0, 4, L"\\\\?\\") != 0)
    return L"\\\\?\\UNC\\" + path.substr(2);
  return path;
}

std::wstring CandidateName(const std::wstring& folder) {
  static std::atomic<uint32_t> counter{0};
  const uint32_t mixed = (GetCurrentProcessId() * 2654435761u) ^ GetTickCount() ^ (++counter * 0x9E3779B9u);
  wchar_t name[16];
  swprintf(name, 16, L"%ls%08X%ls", kPrefix, mixed, kSuffix);
  return LongForm(folder + name);
}

std::wstring FolderOfTarget(const std::wstring& target) {
  const size_t start = PathFileNameStart(target);
  return start ? target.substr(0, start) : L".\\";
}

// The chosen file goes to its backup name; the file dialog's own folder view may still hold it
// for a moment after it closed.
bool MoveToBackup(const std::wstring& keep, const std::wstring& backup) {
  for (int attempt = 0; attempt < 40; ++attempt) {
    if (MoveFileW(LongForm(keep).c_str(), LongForm(backup).c_str())) return true;
    const DWORD error = GetLastError();
    if (error != ERROR_SHARING_VIOLATION && error != ERROR_ACCESS_DENIED) break;
    Sleep(25);
  }
  PostLogLine(LOG_WAVE_MANAGER, "Could not keep the former file under its backup name");
  return false;
}

}  // namespace

bool PartialFile::Adopt(const std::wstring& path, bool noted) {
  Discard();
  if (noted) {
    static std::atomic<uint32_t> notes{0};
    const std::wstring folder = NotesFolder();
    notePath_ = folder + std::to_wstring(GetCurrentProcessId()) + L"-" + std::to_wstring(++notes) + L".note";
    note_ = folder.empty() ? INVALID_HANDLE_VALUE
                           : CreateFileW(notePath_.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr,
                                         CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    DWORD written = 0;
    if (note_ == INVALID_HANDLE_VALUE ||
        !WriteFile(note_, path.data(), DWORD(path.size() * sizeof(wchar_t)), &written, nullptr)) {
      PostLogLine(LOG_WAVE_MANAGER, "No note of a partial file: a kill now would leave it");
      if (note_ != INVALID_HANDLE_VALUE) CloseHandle(note_);
      note_ = nullptr;
      if (!folder.empty()) DeleteFileW(notePath_.c_str());
      notePath_.clear();
    }
  }
  path_ = path;
  return true;
}

void PartialFile::DropNote() {
  if (note_) CloseHandle(note_);
  note_ = nullptr;
  if (!notePath_.empty()) DeleteFileW(notePath_.c_str());
  notePath_.clear();
}

bool PartialFile::MakeBeside(const std::wstring& target) {
  const std::wstring folder = FolderOfTarget(target);
  for (int attempt = 0; attempt < 100; ++attempt) {
    const std::wstring path = CandidateName(folder);
    Adopt(path, true);  // noted before it exists
    HANDLE made = CreateFileW(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_NEW,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    if (made != INVALID_HANDLE_VALUE) {
      CloseHandle(made);
      return true;
    }
    const DWORD error = GetLastError();
    path_.clear();  // not ours: another file of that name, or none could be made
    DropNote();
    if (error != ERROR_FILE_EXISTS && error != ERROR_ALREADY_EXISTS) return false;
  }
  return false;
}

bool PartialFile::MakeIn(const std::wstring& folder) {
  for (int attempt = 0; attempt < 100; ++attempt) {
    const std::wstring path = CandidateName(folder);
    HANDLE made = CreateFileW(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_NEW,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    if (made != INVALID_HANDLE_VALUE) {
      CloseHandle(made);
      return Adopt(path, false);
    }
    const DWORD error = GetLastError();
    if (error != ERROR_FILE_EXISTS && error != ERROR_ALREADY_EXISTS) return false;
  }
  return false;
}

bool PartialFile::TakeAside(const std::wstring& file) {
  const std::wstring folder = FolderOfTarget(file);
  for (int attempt = 0; attempt < 100; ++attempt) {
    const std::wstring path = CandidateName(folder);
    Adopt(path, true);
    if (MoveFileExW(LongForm(file).c_str(), path.c_str(), 0)) return true;
    const DWORD error = GetLastError();
    path_.clear();
    DropNote();
    if (error != ERROR_FILE_EXISTS && error != ERROR_ALREADY_EXISTS) return false;
  }
  return false;
}

bool PartialFile::PlaceAt(const std::wstring& target, const std::wstring& keep, const std::wstring& backup) {
  if (path_.empty()) return false;
  // On the disk before its name is: after a power cut the rename must not survive the data.
  HANDLE file = CreateFileW(path_.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                            OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return false;
  const bool flushed = FlushFileBuffers(file) != FALSE;
  CloseHandle(file);
  if (!flushed) return false;
  // The backup and the move back to back: the user's name is without a file only between them.
  const bool backedUp = !keep.empty() && !backup.empty() &&
                        GetFileAttributesW(keep.c_str()) != INVALID_FILE_ATTRIBUTES &&
                        MoveToBackup(keep, backup);
  if (!MoveFileExW(path_.c_str(), LongForm(target).c_str(),
                   MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
    if (backedUp) MoveFileW(LongForm(backup).c_str(), LongForm(keep).c_str());
    return false;
  }
  path_.clear();
  DropNote();
  return true;
}

void PartialFile::Discard() {
  if (!path_.empty()) {
    SetFileAttributesW(path_.c_str(), FILE_ATTRIBUTE_NORMAL);
    DeleteFileW(path_.c_str());
    path_.clear();
  }
  DropNote();
}

void RemoveLeftPartials() {
  const std::wstring folder = NotesFolder();
  if (folder.empty()) return;
  std::vector<std::wstring> notes;
  WIN32_FIND_DATAW found;
  HANDLE find = FindFirstFileW((folder + L"*.note").c_str(), &found);
  if (find == INVALID_HANDLE_VALUE) return;
  do {
    if (!(found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)) notes.push_back(folder + found.cFileName);
  } while (FindNextFileW(find, &found));
  FindClose(find);
  for (const std::wstring& note : notes) {
    // A live owner holds its note open for writing: this open fails then.
    HANDLE file = CreateFileW(note.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) continue;
    LARGE_INTEGER size = {};
    std::wstring path;
    if (GetFileSizeEx(file, &size) && size.QuadPart > 0 && size.QuadPart < 65536) {
      path.resize(size_t(size.QuadPart) / sizeof(wchar_t));
      if (!ReadFileAt(file, 0, path.data(), DWORD(path.size() * sizeof(wchar_t)))) path.clear();
    }
    CloseHandle(file);
    if (IsPartialName(path)) {
      SetFileAttributesW(path.c_str(), FILE_ATTRIBUTE_NORMAL);
      if (DeleteFileW(path.c_str()))
        PostLogLine(LOG_WAVE_MANAGER, "Removed a partial file an ended save left");
    }
    DeleteFileW(note.c_str());
  }
}
