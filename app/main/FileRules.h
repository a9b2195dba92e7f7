// The main dialog's file decisions that need no window: the names it saves under, the stored
// last open path, which files it opens and how, and the questions of the exit.
#pragma once

#include <windows.h>

#include <functional>
#include <string>

#include <nlohmann/json.hpp>

// Where saves go unless the user picks another folder.
constexpr wchar_t kStudentWorksFolder[] = L"c:\\StudentWorks\\";
constexpr size_t kOpenPathUnits = 260;   // the open dialog's path buffer
constexpr size_t kDropPathUnits = 1024;  // a dropped file's path buffer

// The save dialog's proposal: the track's loaded path, or the default folder and a time stamp,
// with the package extension.
std::wstring ProposedSaveName(const SYSTEMTIME& now, const wchar_t* loadedPath);
// The chosen path with " - Old" before its extension, where a file about to be overwritten goes.
std::wstring BackupName(const std::wstring& path);
// The Master's file name without folder and extension (the whole name when it has no dot).
std::wstring MasterNameOf(const std::wstring& path);
// A station's automatic save of the Student beside a Master file.
std::wstring AutoSaveNameWithMaster(const SYSTEMTIME& now, const std::wstring& masterPath, UINT station);
// The same without a Master file: try 0 is the plain name, later tries carry "[try]".
std::wstring AutoSaveNameWithoutMaster(const wchar_t* prefix, UINT station, UINT attempt);
// The package handed to the framework.
std::wstring SendFileName(const wchar_t* documentsFolder, DWORD tick);
// Logs `what` and the path (OEM code page) on the wave-manager channel.
void LogFileLine(const char* what, const std::wstring& path);
// The folder part of a path, with its trailing backslash; empty for a bare name.
std::wstring FolderOf(const std::wstring& path);
// What the user is told when a save cannot start: the save dialog failed with CommDlgExtendedError
// `error` (a path longer than its buffer, say), or the folder of `path` cannot be made.
std::wstring SaveDialogFailureText(DWORD error);
std::wstring SaveFolderFailureText(const std::wstring& path);

enum class MediaKind { kNone, kSound, kVideo };
// By extension: AVI, MPG and MPEG are video, anything else with a dot is loaded as sound.
MediaKind MediaKindOf(const wchar_t* path);
// Dropping takes only MP3, WAV and QPK files.
bool IsDroppableSound(const wchar_t* path);

// The stored "LastOpenPath" (under "Main") as text up to its first zero unit or first element
// that is not a code unit, at most out size - 1 units; empty when there is none.
void ReadLastOpenPath(const nlohmann::json& settings, wchar_t* out, size_t size);
// Stores the whole buffer (trailing zero units included) as "LastOpenPath"; a settings document
// or "Main" that is not an object becomes one.
void StoreLastOpenPath(nlohmann::json& settings, const wchar_t* buffer, size_t units);

// The exit's questions. What changed is read once before the first question.
struct ExitFacts {
  bool masterAudioChanged = false;
  bool masterModified = false;
  bool videoEntriesChanged = false;
  bool studentModified = false;
};
enum class ExitSaveTrack { kMaster, kStudent };
struct ExitAnswers {
  bool mayExit = true;       // no answer kept the program open
  bool saveStarted = false;  // at least one save was started
};
// Asks through ShowPrompt; `startSave` is called for every save the user asks for and says
// whether one runs.
ExitAnswers AskExitQuestions(HWND owner, const ExitFacts& facts,
                             const std::function<bool(ExitSaveTrack)>& startSave);
