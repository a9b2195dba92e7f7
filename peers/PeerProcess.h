// Test side of the peers: starts one as a child process with its own log file and watches
// that log. Used by the link tests and by every later test that drives the recorder.
#pragma once

#include <windows.h>

#include <string>

// The folder of the running program, with a trailing backslash (the peers sit beside it).
std::wstring ProgramFolder();
// A name no other test process uses: tag, process id and a counter.
std::wstring UniqueName(const wchar_t* tag);
// Quotes one argument the way CommandLineToArgvW splits it back.
std::wstring QuoteArgument(const std::wstring& argument);

class CPeerProcess {
 public:
  CPeerProcess() = default;
  ~CPeerProcess();
  CPeerProcess(const CPeerProcess&) = delete;
  CPeerProcess& operator=(const CPeerProcess&) = delete;

  // Starts <program folder>\exeName with "--log <own file>" and then `arguments` (already
  // quoted), and waits for its READY line. Its stdout goes to NUL.
  bool Start(const wchar_t* exeName, const std::wstring& arguments, DWORD readyTimeoutMs = 10000);
  // The whole log so far (UTF-8).
  std::string Log() const;
  // Waits until the log holds `needle`.
  bool WaitForLog(const std::string& needle, DWORD timeoutMs = 10000) const;
  // The exit code, or STILL_ACTIVE when the peer still runs after timeoutMs.
  DWORD WaitExit(DWORD timeoutMs = 10000);
  void Kill();
  HANDLE Process() const { return process_; }
  const std::wstring& LogPath() const { return logPath_; }

 private:
  HANDLE process_ = nullptr;
  std::wstring logPath_;
};
