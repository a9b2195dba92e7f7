#include "common/LogManager.h"

#include <atomic>

#include <shlobj.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>

#include "common/SharedHelpers.h"

CLogManager* g_pLogManager = nullptr;

namespace {

constexpr UINT kFlushTimerId = 1;
constexpr UINT kFlushPeriodMs = 10000;

struct ChannelDef {
  int id;
  const wchar_t* displayName;
  const wchar_t* fileName;
};

// Creation order matters only for the map's history; every id gets its own file.
constexpr ChannelDef kChannels[] = {
    {LOG_UDP_NETWORK, L"UDP Network Log", L"GlimmoxUDPNetwork.log"},
    {LOG_TCP_NETWORK, L"TCP Network Log", L"GlimmoxTCPNetwork.log"},
    {LOG_MAIN, L"Main Log", L"GlimmoxServ.log"},
    {LOG_SCREEN, L"Screen Log", L"GlimmoxScreen.log"},
    {LOG_SOUND, L"Sound Log", L"GlimmoxSound.log"},
    {LOG_UPDATE, L"Update Log", L"GlimmoxUpdate.log"},
    {LOG_LOGIC, L"Logic Log", L"GlimmoxLogic.log"},
    {LOG_INPUT, L"Input Log", L"GlimmoxInput.log"},
    {LOG_UDP_DUMP_IN, L"UDP Dump In", L"UDPDumpIn.log"},
    {LOG_UDP_DUMP_OUT, L"UDP Dump Out", L"UDPDumpOut.log"},
    {LOG_TAVRIN, L"Tavrin", L"Tavrin.log"},
    {LOG_WAVE_MANAGER, L"WaveManager", L"WavManager.log"},
};

bool EqualsUpperAscii(const std::wstring& s, const wchar_t* upper) {
  size_t i = 0;
  for (; i < s.size() && upper[i]; ++i) {
    wchar_t c = s[i];
    if (c >= L'a' && c <= L'z') c = wchar_t(c - L'a' + L'A');
    if (c != upper[i]) return false;
  }
  return i == s.size() && upper[i] == 0;
}

bool IsBuildFolderName(const std::wstring& name) {
  return EqualsUpperAscii(name, L"DEBUG") || EqualsUpperAscii(name, L"RELEASE");
}

// Creates every missing level of a folder path (with or without a trailing backslash).
void CreateFolderLevels(const std::wstring& folder) {
  for (size_t i = 0; i < folder.size(); ++i) {
    if (folder[i] == L'\\' && i > 0 && folder[i - 1] != L':') {
      CreateDirectoryW(folder.substr(0, i).c_str(), nullptr);
    }
  }
  CreateDirectoryW(folder.c_str(), nullptr);
}

bool ProbeWritable(const wchar_t* path) {
  HANDLE h = CreateFileW(path, GENERIC_WRITE, 0, nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h == INVALID_HANDLE_VALUE) return false;
  CloseHandle(h);
  return true;
}

}  // namespace

size_t FormatLogLine(char* out, size_t size, const SYSTEMTIME& t, const char* text) {
  if (size == 0) return 0;
  int prefix = std::snprintf(out, size, "%02u.%02u.%02u | %02u:%02u:%02u:%03u | ", t.wDay, t.wMonth, t.wYear,
                             t.wHour, t.wMinute, t.wSecond, t.wMilliseconds);
  if (prefix < 0 || size_t(prefix) + 3 > size) {  // no room even for the stamp and CR LF
    out[0] = 0;
    return 0;
  }
  size_t room = size - size_t(prefix) - 3;
  size_t len = text ? strnlen(text, room) : 0;
  std::memcpy(out + prefix, text, len);
  size_t end = size_t(prefix) + len;
  out[end++] = '\r';
  out[end++] = '\n';
  out[end] = 0;
  return end;
}

CLogFile::CLogFile(const std::wstring& fileName, const std::wstring& displayName, const std::wstring& folder)
    : path_(folder + fileName), displayName_(displayName) {
  if (path_.size() >= 2048) path_.resize(2047);
  capacity_ = kInitialCapacity;
  buffer_ = static_cast<char*>(std::malloc(capacity_));
  if (!buffer_)
    capacity_ = 0;
  else
    buffer_[0] = 0;
  used_ = 0;
  // Without a log folder (its path could not be built) the channel lives in memory only: a
  // relative path would put the file in whatever folder the process happens to run in.
  const bool absolute = folder.size() >= 3 && ((folder[1] == L':' && folder[2] == L'\\') ||
                                               (folder[0] == L'\\' && folder[1] == L'\\'));
  if (!absolute) {
    path_.clear();
    return;
  }
  file_ = CreateFileW(path_.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_ALWAYS,
                      FILE_ATTRIBUTE_NORMAL, nullptr);
  EmptyFile();
}

CLogFile::~CLogFile() {
  Flush();
  std::free(buffer_);
  if (file_ != INVALID_HANDLE_VALUE) CloseHandle(file_);
}

void CLogFile::EmptyFile() {
  if (file_ == INVALID_HANDLE_VALUE) return;
  SetFilePointer(file_, 0, nullptr, FILE_BEGIN);
  SetEndOfFile(file_);
}

void CLogFile::Flush() {
  if (file_ == INVALID_HANDLE_VALUE) return;
  SetFilePointer(file_, 0, nullptr, FILE_BEGIN);
  DWORD written = 0;
  if (used_) WriteFile(file_, buffer_, used_, &written, nullptr);
  SetEndOfFile(file_);
}

void CLogFile::Write(const char* text) {
  SYSTEMTIME t;
  GetLocalTime(&t);
  char line[kLineBufferSize];
  size_t len = FormatLogLine(line, sizeof line, t, text ? text : "");
  Append(line, DWORD(len + 1));
}

void CLogFile::Append(const char* line, DWORD n) {
  if (!buffer_) return;
  if (used_ + n > limit_) {
    // Drop the oldest quarter, up to and including the first line end at or after it.
    DWORD i = used_ / 4;
    while (i + 1 < used_ && buffer_[i] != '\r' && buffer_[i + 1] != '\n') ++i;
    DWORD drop = i + 2 <= used_ ? i + 2 : used_;
    std::memmove(buffer_, buffer_ + drop, used_ - drop + 1);
    used_ -= drop;
  }
  if (used_ + n >= capacity_) {
    DWORD grown = capacity_ + kInitialCapacity;
    char* bigger = static_cast<char*>(std::realloc(buffer_, grown));
    if (!bigger) return;  // keep the old text; this line is lost
    buffer_ = bigger;
    capacity_ = grown;
  }
  std::memcpy(buffer_ + used_, line, n);
  used_ += n - 1;
}

std::wstring ProductFolderNameFromModulePath(const wchar_t* modulePath) {
  std::wstring path(modulePath);
  size_t cut = path.rfind(L'\\');
  if (cut == std::wstring::npos) return L"Corvane";
  path.resize(cut);
  size_t last = path.rfind(L'\\');
  if (last == std::wstring::npos) return L"Corvane";
  std::wstring name = path.substr(last + 1);
  if (name.empty() || IsBuildFolderName(name)) return L"Corvane";
  return name;
}

std::wstring GetProductFolderName() {
  wchar_t module[1024] = {};
  DWORD n = GetModuleFileNameW(nullptr, module, 1024);
  if (n == 0 || n >= 1024) return L"Corvane";
  return ProductFolderNameFromModulePath(module);
}

bool BuildCommonAppDataPath(wchar_t* path, const wchar_t* relative) {
  wchar_t base[MAX_PATH] = {};
  if (FAILED(SHGetFolderPathW(nullptr, CSIDL_COMMON_APPDATA, nullptr, SHGFP_TYPE_CURRENT, base)))
    return false;
  std::wstring folder = std::wstring(base) + L"\\" + relative;
  if (folder.size() + 2 > MAX_PATH) return false;
  CreateFolderLevels(folder);
  folder += L"\\";
  wcscpy_s(path, MAX_PATH, folder.c_str());
  if (ProbeWritable(path)) return true;

  // The path is taken: look for a numbered variant (name1.ext, name12.ext, ...).
  std::wstring current = path;
  for (int n = 1; n < 10; ++n) {
    std::wstring candidate;
    size_t dot = current.rfind(L'.');
    std::wstring digits = std::to_wstring(n);
    if (dot != std::wstring::npos)
      candidate = current.substr(0, dot) + digits + current.substr(dot);
    else
      candidate = current + digits;
    if (candidate.size() + 1 > MAX_PATH) return false;
    wchar_t found[1024];
    wcscpy_s(found, candidate.c_str());
    if (!ResolveExistingFile(found, 1024)) {
      if (!CopyFileW(path, candidate.c_str(), FALSE)) return false;
      wcscpy_s(path, MAX_PATH, candidate.c_str());
      return true;
    }
    if (wcslen(found) + 1 > MAX_PATH) return false;
    current = found;
    if (ProbeWritable(found)) {
      wcscpy_s(path, MAX_PATH, found);
      return true;
    }
  }
  return false;
}

namespace {

void AddLogChannel(CLogManager* manager, int id, const wchar_t* fileName, const wchar_t* displayName) {
  manager->channels[id] = std::make_shared<CLogFile>(fileName, displayName, manager->logFolder);
}

// Posts in progress: the manager is freed only once none is left.
std::atomic<LONG> g_logPosters{0};

}  // namespace

void CreateLogChannel(int id, const wchar_t* fileName, const wchar_t* displayName) {
  if (!g_pLogManager) return;
  AddLogChannel(g_pLogManager, id, fileName, displayName);
}

DWORD WINAPI LogWriterThreadProc(LPVOID param) {
  auto* manager = static_cast<CLogManager*>(param);
  const DWORD self = GetCurrentThreadId();
  // The queue exists once a post to ourselves succeeds.
  while (!PostThreadMessageW(self, WM_USER, 0, 0)) Sleep(50);
  SetEvent(manager->queueReady);

  UINT_PTR timer = SetTimer(nullptr, kFlushTimerId, kFlushPeriodMs, nullptr);
  MSG msg;
  while (GetMessageW(&msg, nullptr, 0, 0) > 0) {
    if (msg.message == WM_TIMER && msg.wParam == timer) {
      if (manager->flushEnabled) {
        for (auto& entry : manager->channels) {
          std::shared_ptr<CLogFile> channel = entry.second;
          channel->Flush();
        }
      }
    } else if (msg.message == WM_LOG_WRITE) {
      char* text = reinterpret_cast<char*>(msg.lParam);
      auto it = manager->channels.find(LOWORD(msg.wParam));
      if (it != manager->channels.end() && text) {
        std::shared_ptr<CLogFile> channel = it->second;
        if (HIWORD(msg.wParam)) channel->EmptyFile();
        channel->Write(text);
      }
      delete[] text;
    }
  }
  if (timer) KillTimer(nullptr, timer);
  // Texts posted after WM_QUIT are still ours to free.
  while (PeekMessageW(&msg, nullptr, WM_LOG_WRITE, WM_LOG_WRITE, PM_REMOVE)) {
    delete[] reinterpret_cast<char*>(msg.lParam);
  }
  return 0;
}

void InitLogChannels() {
  if (g_pLogManager) return;
  auto* manager = new CLogManager();
  manager->queueReady = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  manager->writerThread = CreateThread(nullptr, 0, LogWriterThreadProc, manager, 0, &manager->writerThreadId);
  if (manager->writerThread) {
    // Posts made before the writer has a queue would be lost.
    HANDLE waits[2] = {manager->queueReady, manager->writerThread};
    WaitForMultipleObjects(2, waits, FALSE, INFINITE);
  }

  std::wstring folderName = GetProductFolderName();
  if (IsBuildFolderName(folderName)) folderName = L"Corvane";
  std::wstring relative = folderName + L"\\Logs";
  wchar_t folder[MAX_PATH] = {};
  BuildCommonAppDataPath(folder, relative.c_str());
  wcsncpy_s(manager->logFolder, folder, _TRUNCATE);
  if (manager->logFolder[0]) CreateDirectoryW(manager->logFolder, nullptr);
  manager->flushEnabled = 1;

  // Published complete: another thread's first line must find every channel.
  for (const ChannelDef& def : kChannels) AddLogChannel(manager, def.id, def.fileName, def.displayName);
  MemoryBarrier();
  g_pLogManager = manager;
}

void ShutdownLogChannels() {
  CLogManager* manager = g_pLogManager;
  if (!manager) return;
  // No new line finds the manager; lines already on their way are posted before it goes.
  g_pLogManager = nullptr;
  MemoryBarrier();
  for (int i = 0; i < 1000 && g_logPosters.load() != 0; ++i) Sleep(1);
  if (manager->writerThread) {
    PostThreadMessageW(manager->writerThreadId, WM_QUIT, 0, 0);
    WaitForSingleObject(manager->writerThread, INFINITE);
    CloseHandle(manager->writerThread);
  }
  if (manager->queueReady) CloseHandle(manager->queueReady);
  delete manager;  // each channel writes its buffer and closes its file
}

std::string FormatLogTextV(const char* format, va_list args) {
  va_list again;
  va_copy(again, args);
  const int n = std::vsnprintf(nullptr, 0, format, again);
  va_end(again);
  if (n <= 0) return {};
  std::string text(size_t(n) + 1, '\0');
  std::vsnprintf(text.data(), text.size(), format, args);
  text.resize(size_t(n));
  return text;
}

bool PostLogLinef(int channel, const char* format, ...) {
  va_list args;
  va_start(args, format);
  const std::string text = FormatLogTextV(format, args);
  va_end(args);
  return PostLogLine(channel, text.c_str());
}

bool PostLogLine(int channel, const char* text) {
  if (!text) return false;
  size_t n = std::strlen(text) + 1;
  char* copy = new (std::nothrow) char[n];
  if (!copy) return false;
  std::memcpy(copy, text, n);
  ++g_logPosters;
  CLogManager* manager = g_pLogManager;
  const bool posted = manager && PostThreadMessageW(manager->writerThreadId, WM_LOG_WRITE,
                                                    WPARAM(channel & 0xFFFF), LPARAM(copy));
  --g_logPosters;
  if (!posted) delete[] copy;
  return posted;
}
