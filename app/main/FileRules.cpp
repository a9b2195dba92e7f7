// The main dialog's file decisions that need no window.
#include "app/main/FileRules.h"

#include <commdlg.h>

#include <cstdarg>
#include <cstdint>
#include <cwchar>

#include "common/LogManager.h"
#include "common/Prompt.h"
#include "common/SharedHelpers.h"

namespace {

// Index of the file name's last dot, or npos when the file name has none.
size_t ExtensionDot(const std::wstring& path) {
  const size_t slash = path.find_last_of(L"\\/");
  const size_t dot = path.rfind(L'.');
  if (dot == std::wstring::npos || (slash != std::wstring::npos && dot < slash)) return std::wstring::npos;
  return dot;
}

std::wstring UpperExtension(const wchar_t* path) {
  const wchar_t* dot = path ? wcsrchr(path, L'.') : nullptr;
  if (!dot) return {};
  wchar_t extension[16] = {};
  wcsncpy(extension, dot + 1, 15);
  CharUpperBuffW(extension, static_cast<DWORD>(wcslen(extension)));
  return extension;
}

std::wstring Format(const wchar_t* format, ...) {
  wchar_t text[1024];
  va_list args;
  va_start(args, format);
  const int n = vswprintf(text, 1024, format, args);
  va_end(args);
  return n < 0 ? std::wstring() : std::wstring(text, static_cast<size_t>(n));
}

}  // namespace

std::wstring ProposedSaveName(const SYSTEMTIME& now, const wchar_t* loadedPath) {
  wchar_t buffer[MAX_PATH] = {};
  if (loadedPath && *loadedPath) {
    wcsncpy(buffer, loadedPath, MAX_PATH - 1);
  } else {
    swprintf(buffer, MAX_PATH, L"%ls%02u%02u%02u_%02u%02u_", kStudentWorksFolder, now.wYear % 100u,
             unsigned(now.wMonth), unsigned(now.wDay), unsigned(now.wHour), unsigned(now.wMinute));
  }
  // A path too long for the extension is proposed as it is.
  ReplaceFileExtension(buffer, MAX_PATH, L"qpk");
  return buffer;
}

std::wstring BackupName(const std::wstring& path) {
  const size_t dot = ExtensionDot(path);
  if (dot == std::wstring::npos) return path + L" - Old";
  return path.substr(0, dot) + L" - Old" + path.substr(dot);
}

std::wstring MasterNameOf(const std::wstring& path) {
  const size_t dot = ExtensionDot(path);
  const std::wstring cut = dot == std::wstring::npos ? path : path.substr(0, dot);
  const size_t slash = cut.find_last_of(L"\\/");
  return slash == std::wstring::npos ? cut : cut.substr(slash + 1);
}

std::wstring AutoSaveNameWithMaster(const SYSTEMTIME& now, const std::wstring& masterPath, UINT station) {
  const std::wstring name = MasterNameOf(masterPath);
  const unsigned y = now.wYear % 100u, mo = now.wMonth, d = now.wDay, h = now.wHour, mi = now.wMinute;
  if (station == 0)
    return Format(L"%ls%02u%02u%02u_%02u%02u_%ls.qpk", kStudentWorksFolder, y, mo, d, h, mi, name.c_str());
  return Format(L"%ls%02u%02u%02u_%02u%02u_%ls_Stud%u.qpk", kStudentWorksFolder, y, mo, d, h, mi,
                name.c_str(), station);
}

std::wstring AutoSaveNameWithoutMaster(const wchar_t* prefix, UINT station, UINT attempt) {
  // Without a prefix from the classroom the save goes where every other save goes, not into
  // whatever folder the program was started in.
  const wchar_t* folder = prefix && *prefix ? prefix : kStudentWorksFolder;
  const UINT number = station ? station : 1;
  if (attempt == 0) return Format(L"%ls%uStudentsWorks.qpk", folder, number);
  return Format(L"%ls%uStudentsWorks[%u].qpk", folder, number, attempt);
}

std::wstring SendFileName(const wchar_t* documentsFolder, DWORD tick) {
  std::wstring folder = documentsFolder ? documentsFolder : L"";
  if (folder.size() > 1023) folder.resize(1023);
  if (folder.empty() || folder.back() != L'\\') folder += L'\\';
  return Format(L"%lsOrrin%lu.qpk", folder.c_str(), static_cast<unsigned long>(tick));
}

void LogFileLine(const char* what, const std::wstring& path) {
  char narrow[2048] = {};
  WideCharToMultiByte(CP_OEMCP, 0, path.c_str(), -1, narrow, sizeof narrow - 1, nullptr, nullptr);
  PostLogLinef(LOG_WAVE_MANAGER, "%s %s", what, narrow);
}

std::wstring FolderOf(const std::wstring& path) {
  const size_t slash = path.find_last_of(L"\\/");
  return slash == std::wstring::npos ? std::wstring() : path.substr(0, slash + 1);
}

MediaKind MediaKindOf(const wchar_t* path) {
  if (!path || !wcsrchr(path, L'.')) return MediaKind::kNone;
  const std::wstring ext = UpperExtension(path);
  if (ext == L"AVI" || ext == L"MPG" || ext == L"MPEG") return MediaKind::kVideo;
  return MediaKind::kSound;
}

bool IsDroppableSound(const wchar_t* path) {
  const std::wstring ext = UpperExtension(path);
  return ext == L"MP3" || ext == L"WAV" || ext == L"QPK";
}

void ReadLastOpenPath(const nlohmann::json& settings, wchar_t* out, size_t size) {
  if (!out || size == 0) return;
  out[0] = 0;
  if (!settings.is_object()) return;
  auto main = settings.find("Main");
  if (main == settings.end() || !main->is_object()) return;
  auto stored = main->find("LastOpenPath");
  if (stored == main->end() || !stored->is_array()) return;
  size_t n = 0;
  for (const auto& unit : *stored) {
    if (n + 1 >= size || !unit.is_number_integer()) break;
    const auto value = unit.get<long long>();
    if (value <= 0 || value > 0xFFFF) break;
    out[n++] = static_cast<wchar_t>(value);
  }
  out[n] = 0;
}

void StoreLastOpenPath(nlohmann::json& settings, const wchar_t* buffer, size_t units) {
  if (!settings.is_object()) settings = nlohmann::json::object();
  nlohmann::json& main = settings["Main"];
  if (!main.is_object()) main = nlohmann::json::object();
  nlohmann::json path = nlohmann::json::array();
  for (size_t i = 0; i < units; ++i) path.push_back(static_cast<unsigned>(static_cast<uint16_t>(buffer[i])));
  main["LastOpenPath"] = std::move(path);
}

namespace {

constexpr UINT kAsk = MB_YESNOCANCEL | MB_ICONQUESTION;
constexpr wchar_t kMasterCaption[] = L"Master track unsaved data";

// The bookmark question (for the Master or for the video entries). False when the exit must not
// go on.
bool AskBookmarkQuestion(HWND owner, const wchar_t* caption, const ExitFacts& facts,
                         const std::function<bool(ExitSaveTrack)>& startSave, ExitAnswers* answers) {
  const int answer = ShowPrompt(owner, L"Do you want to save bookmark and text information?", caption, kAsk);
  if (answer == IDCANCEL) return false;
  if (answer != IDYES) return true;
  if (facts.studentModified) {
    // The Master changes the user wants kept are not saved: the program stays open for them.
    ShowPrompt(owner, L"Use blue save button to save student track first", L"Attention", MB_ICONEXCLAMATION);
    return false;
  }
  if (ShowPrompt(owner, L"Do you want to save all changes of the master track?", L"Confirm", kAsk) != IDYES)
    return true;
  if (!startSave(ExitSaveTrack::kMaster)) return false;
  answers->saveStarted = true;
  return true;
}

}  // namespace

ExitAnswers AskExitQuestions(HWND owner, const ExitFacts& facts,
                             const std::function<bool(ExitSaveTrack)>& startSave) {
  ExitAnswers answers;
  if (facts.masterAudioChanged) {
    const int answer = ShowPrompt(owner, L"Do you want to save updated audio data?", kMasterCaption, kAsk);
    if (answer == IDYES) {
      if (startSave(ExitSaveTrack::kMaster))
        answers.saveStarted = true;
      else
        answers.mayExit = false;  // the save dialog was cancelled
    } else if (answer == IDCANCEL) {
      answers.mayExit = false;
    }
  }
  if (facts.masterModified && !answers.saveStarted &&
      !AskBookmarkQuestion(owner, kMasterCaption, facts, startSave, &answers))
    answers.mayExit = false;
  if (facts.videoEntriesChanged && !AskBookmarkQuestion(owner, L"Unsaved data", facts, startSave, &answers))
    answers.mayExit = false;
  if (facts.studentModified) {
    const int answer =
        ShowPrompt(owner, L"Do you want to save student track?", L"Student track unsaved data", kAsk);
    if (answer == IDCANCEL) {
      answers.mayExit = false;
      return answers;
    }
    if (answer == IDYES) {
      if (!startSave(ExitSaveTrack::kStudent)) {
        answers.mayExit = false;
        return answers;
      }
      answers.saveStarted = true;
    }
  }
  return answers;
}

std::wstring SaveDialogFailureText(DWORD error) {
  if (error == FNERR_BUFFERTOOSMALL || error == FNERR_INVALIDFILENAME)
    return L"The file was not saved: its path is too long or not valid. A path may have at most 259 "
           L"characters.";
  wchar_t text[96];
  swprintf(text, 96, L"The file was not saved: the save dialog failed (error 0x%04lX).", error);
  return text;
}

std::wstring SaveFolderFailureText(const std::wstring& path) {
  return L"The file was not saved: the folder " + FolderOf(path) +
         L" cannot be made (a missing drive, or a file " + L"of that name?).";
}
