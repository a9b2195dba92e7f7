// A Windows-side starter for the recorder: CreateProcessW with an exact command line, optionally
// as its debugger (to read what it writes with OutputDebugStringW), its windows found by title,
// its exit code, and the boxes it shows answered from outside.
#pragma once

#include <windows.h>

#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "common/Locks.h"
#include "tests/support/TestFiles.h"

class CRecorderProcess {
 public:
  CRecorderProcess() = default;
  ~CRecorderProcess();
  CRecorderProcess(const CRecorderProcess&) = delete;
  CRecorderProcess& operator=(const CRecorderProcess&) = delete;

  // Starts `exePath` (default: Quillmeridian.exe beside the test) with the command line
  // "\"exePath\" " + arguments, exactly. `debug`: run as its debugger and keep its debug lines.
  bool Start(const std::wstring& arguments, bool debug = false, const std::wstring& exePath = L"");
  // The top-level window of the process with this title (empty: any), waiting up to timeoutMs.
  HWND WaitForWindow(const std::wstring& title, DWORD timeoutMs = 30000) const;
  // The exit code, or STILL_ACTIVE when it still runs after timeoutMs.
  DWORD WaitExit(DWORD timeoutMs = 30000);
  void Kill();
  DWORD Id() const { return pid_; }
  HANDLE Process() const { return process_; }

  // Debug lines so far, and a wait for one that contains `needle`.
  std::vector<std::string> DebugLines() const;
  bool WaitForDebugLine(const std::string& needle, DWORD timeoutMs = 20000) const;

 private:
  void DebugLoop(std::wstring commandLine, HANDLE started);
  HANDLE process_ = nullptr;
  DWORD pid_ = 0;
  std::thread debugger_;
  mutable Mutex lock_;
  std::vector<std::string> lines_;
  bool launched_ = false;
};

// The recorder's folder beside the test, with a trailing backslash.
std::wstring BinFolder();
// A message box of the process (class #32770 with a static 0xFFFF) whose text is `text`, up to
// timeoutMs; its caption in *caption.
HWND WaitForBox(DWORD pid, const std::wstring& text, std::wstring* caption, DWORD timeoutMs = 20000);
// The class name and the title of a window.
std::wstring ClassOf(HWND window);
std::wstring TextOf(HWND window);
// A control's own text (WM_GETTEXT, which another process's edit answers; GetWindowTextW does not ask it).
std::wstring ControlText(HWND control);
// The process's pop-up menus on screen.
std::vector<HWND> VisibleMenus(DWORD pid);
// SendInput's absolute coordinates that land on exactly this pixel.
LONG Normalised(int pixel, int extent);
