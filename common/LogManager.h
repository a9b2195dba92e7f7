// Log manager: numbered channels, each mirrored into one file in the Logs folder; all writing
// happens on one writer thread that other threads post finished lines to.
#pragma once

#include <windows.h>

#include <cstdarg>

#include <memory>
#include <string>
#include <unordered_map>

enum LogChannelId : int {
  LOG_MAIN = 0,
  LOG_SOUND = 2,
  LOG_UDP_NETWORK = 3,
  LOG_TCP_NETWORK = 4,
  LOG_SCREEN = 5,
  LOG_LOGIC = 6,
  LOG_UPDATE = 7,
  LOG_INPUT = 8,
  LOG_UDP_DUMP_IN = 9,
  LOG_UDP_DUMP_OUT = 10,
  LOG_TAVRIN = 11,
  LOG_WAVE_MANAGER = 12,
};

// Thread message to the writer: wParam low word the channel id, high word non-zero empties the
// channel's file first; lParam a text allocated with new[], owned by the writer once posted.
constexpr UINT WM_LOG_WRITE = WM_USER + 1;

class ILogFile {
 public:
  virtual void Write(const char* text) = 0;
  virtual ~ILogFile() = default;
};

class CLogFile : public ILogFile {
 public:
  static constexpr DWORD kInitialCapacity = 0xFFFFF;
  static constexpr DWORD kLimit = 0x100000;
  static constexpr size_t kLineBufferSize = 4096;

  CLogFile(const std::wstring& fileName, const std::wstring& displayName, const std::wstring& folder);
  ~CLogFile() override;
  CLogFile(const CLogFile&) = delete;
  CLogFile& operator=(const CLogFile&) = delete;

  void Write(const char* text) override;
  // Rewrites the file from its start with the buffer and cuts it there.
  void Flush();
  // Empties the file (not the buffer).
  void EmptyFile();

  const char* Text() const { return buffer_; }
  DWORD Used() const { return used_; }
  DWORD Capacity() const { return capacity_; }
  const std::wstring& Path() const { return path_; }
  const std::wstring& DisplayName() const { return displayName_; }

 private:
  void Append(const char* line, DWORD n);

  char* buffer_ = nullptr;
  DWORD capacity_ = 0;
  DWORD used_ = 0;
  DWORD limit_ = kLimit;
  HANDLE file_ = INVALID_HANDLE_VALUE;
  std::wstring path_;
  std::wstring displayName_;
};

class CLogManager {
 public:
  HANDLE writerThread = nullptr;
  DWORD writerThreadId = 0;
  std::unordered_map<int, std::shared_ptr<CLogFile>> channels;
  volatile LONG flushEnabled = 0;
  wchar_t logFolder[MAX_PATH] = {};
  HANDLE queueReady = nullptr;  // set by the writer once its message queue exists
};

extern CLogManager* g_pLogManager;

// Creates the manager, starts its writer thread (returns once it takes messages), sets up the
// log folder and creates the twelve channels.
void InitLogChannels();
// Ends the writer thread, writes and closes every channel, frees the manager.
void ShutdownLogChannels();
// Any thread: copies the text and posts it to the writer. False when the line could not be
// handed over (no log manager yet, or the writer's queue is full); the copy is then freed.
bool PostLogLine(int channel, const char* text);
// A line's text from a printf format, and PostLogLine of such a text: the one way a formatted
// line is made, whatever its channel.
std::string FormatLogTextV(const char* format, va_list args);
bool PostLogLinef(int channel, const char* format, ...) __attribute__((format(printf, 2, 3)));

std::wstring GetProductFolderName();
// The folder-name rule on a given module path (GetProductFolderName uses the program's own).
std::wstring ProductFolderNameFromModulePath(const wchar_t* modulePath);
// Builds the folder under the common application-data folder (every missing level) and probes it.
bool BuildCommonAppDataPath(wchar_t* path /* MAX_PATH */, const wchar_t* relative);
void CreateLogChannel(int id, const wchar_t* fileName, const wchar_t* displayName);
DWORD WINAPI LogWriterThreadProc(LPVOID manager);

// Formats one log line as the files hold it; the text is cut so that the line with its CR LF
// fits in `size` bytes. Returns the length without the NUL.
size_t FormatLogLine(char* out, size_t size, const SYSTEMTIME& t, const char* text);
