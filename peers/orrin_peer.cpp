// Framework peer: accepts connections on "\\.\pipe\OrrinInterfacePipe" (reading and
// discarding what arrives), keeps a daemon window of class "VK_Main_PSDaemon" that logs the
// messages it gets, provides "QUILLMERIDIAN_SHAREDMEM" and logs each path written there, and
// drives a station's dialog found by its title. Command line and log format: peers/README.md.
#include <windows.h>

#include <atomic>
#include <string>
#include <vector>

#include "peers/PeerCommon.h"

using namespace peer;

namespace {

constexpr UINT WM_REMOTE_BUTTON = WM_USER + 0x192;
constexpr UINT WM_REMOTE_COMMAND = WM_USER + 0x12e;
constexpr UINT WM_SET_LEVEL = WM_USER + 0x98;
constexpr LPARAM kRemoteLock = -3;
constexpr LPARAM kRemoteUnlock = -2;
constexpr DWORD kDefaultTimeout = 10000;
constexpr UINT WM_PEER_QUIT = WM_APP + 1;

std::wstring g_pipeName = L"\\\\.\\pipe\\OrrinInterfacePipe";
std::wstring g_memName = L"QUILLMERIDIAN_SHAREDMEM";
DWORD g_memSize = 4096;
bool g_withPipe = true, g_withWindow = true, g_withMem = true;
HWND g_window = nullptr;
DWORD g_mainThread = 0;
HANDLE g_ready = nullptr;
std::atomic<int> g_accepted{0};
std::atomic<int> g_sharedMemWrites{0};

// Messages the daemon window received: (msg, wParam) pairs for wait-msg.
CRITICAL_SECTION g_msgLock;
std::vector<std::pair<UINT, WPARAM>> g_messages;

LRESULT CALLBACK DaemonProc(HWND window, UINT msg, WPARAM wParam, LPARAM lParam) {
  if (msg == WM_COPYDATA) {
    const auto* data = reinterpret_cast<const COPYDATASTRUCT*>(lParam);
    g_log.Line("COPYDATA-IN dwData=%lu bytes=%s", (unsigned long)data->dwData,
               Hex(data->lpData, data->cbData).c_str());
    return TRUE;
  }
  if (msg >= WM_USER && msg < WM_APP) {
    g_log.Line("MSG msg=0x%x wparam=%ld lparam=%ld", msg, long(wParam), long(lParam));
    EnterCriticalSection(&g_msgLock);
    g_messages.emplace_back(msg, wParam);
    LeaveCriticalSection(&g_msgLock);
    return 0;
  }
  return DefWindowProcW(window, msg, wParam, lParam);
}

DWORD WINAPI PipeReaderProc(LPVOID param) {
  HANDLE pipe = param;
  const int index = g_accepted++;
  g_log.Line("CONNECT conn=%d", index);
  HANDLE event = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  uint8_t buffer[4096];
  for (;;) {
    OVERLAPPED ov{};
    ov.hEvent = event;
    if (!ReadFile(pipe, buffer, sizeof buffer, nullptr, &ov) && GetLastError() != ERROR_IO_PENDING) break;
    DWORD got = 0;
    if (!GetOverlappedResult(pipe, &ov, &got, TRUE) && GetLastError() != ERROR_MORE_DATA) break;
    if (got) g_log.Line("DATA conn=%d bytes=%lu", index, (unsigned long)got);
  }
  DisconnectNamedPipe(pipe);
  CloseHandle(pipe);
  CloseHandle(event);
  g_log.Line("DISCONNECT conn=%d", index);
  return 0;
}

DWORD WINAPI ListenerProc(LPVOID) {
  HANDLE event = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  for (;;) {
    HANDLE pipe = CreateNamedPipeW(g_pipeName.c_str(), PIPE_ACCESS_DUPLEX | FILE_FLAG_OVERLAPPED,
                                   PIPE_TYPE_BYTE | PIPE_READMODE_BYTE | PIPE_WAIT, PIPE_UNLIMITED_INSTANCES,
                                   4096, 4096, 0, nullptr);
    if (pipe == INVALID_HANDLE_VALUE) {
      Sleep(50);
      continue;
    }
    SetEvent(g_ready);
    OVERLAPPED ov{};
    ov.hEvent = event;
    ResetEvent(event);
    bool connected = ConnectNamedPipe(pipe, &ov) != FALSE;
    if (!connected) {
      const DWORD error = GetLastError();
      DWORD unused;
      connected = error == ERROR_PIPE_CONNECTED ||
                  (error == ERROR_IO_PENDING && GetOverlappedResult(pipe, &ov, &unused, TRUE));
    }
    if (connected)
      CloseHandle(CreateThread(nullptr, 0, PipeReaderProc, pipe, 0, nullptr));
    else
      CloseHandle(pipe);
  }
}

DWORD WINAPI SharedMemWatchProc(LPVOID view) {
  const auto* text = static_cast<const wchar_t*>(view);
  const size_t units = g_memSize / sizeof(wchar_t);
  std::wstring last;
  for (;;) {
    std::wstring now;
    for (size_t i = 0; i < units && text[i]; ++i) now.push_back(text[i]);
    if (now != last) {
      last = now;
      ++g_sharedMemWrites;
      g_log.Line("SHAREDMEM path=%s", ToUtf8(now).c_str());
    }
    Sleep(20);
  }
}

struct ProcessWindowSearch {
  DWORD pid;
  HWND found;
};

// The main window of a recorder process: a visible top-level dialog with a station's title.
BOOL CALLBACK MatchProcessWindow(HWND window, LPARAM param) {
  auto* search = reinterpret_cast<ProcessWindowSearch*>(param);
  DWORD pid = 0;
  GetWindowThreadProcessId(window, &pid);
  wchar_t cls[64] = {}, title[128] = {};
  GetClassNameW(window, cls, 64);
  GetWindowTextW(window, title, 128);
  const std::wstring name = title;
  const bool stationTitle =
      name == L"Recorder" ||
      (name.size() > 18 && name[0] == L'_' && name.compare(name.size() - 17, 17, L"QuillmeridianUser") == 0);
  if (pid != search->pid || std::wstring(cls) != L"#32770" || !stationTitle) return TRUE;
  search->found = window;
  return FALSE;
}

// A station by number ("_<N>QuillmeridianUser"; station 0 keeps the title "Recorder") or by the
// recorder's process id ("pid:<id>").
HWND FindStation(const std::string& station) {
  if (station.compare(0, 4, "pid:") == 0) {
    int64_t pid = 0;
    if (!ParseInt(station.substr(4), &pid)) return nullptr;
    ProcessWindowSearch search{DWORD(pid), nullptr};
    EnumWindows(MatchProcessWindow, reinterpret_cast<LPARAM>(&search));
    return search.found;
  }
  if (station == "0") return FindWindowW(nullptr, L"Recorder");
  const std::wstring title = L"_" + FromUtf8(station) + L"QuillmeridianUser";
  return FindWindowW(nullptr, title.c_str());
}

bool Int(const std::vector<std::string>& w, size_t at, int64_t* v) {
  return w.size() > at && ParseInt(w[at], v);
}

DWORD TimeoutArg(const std::vector<std::string>& w, size_t at) {
  int64_t v;
  return Int(w, at, &v) && v >= 0 ? DWORD(v) : kDefaultTimeout;
}

bool Post(HWND station, UINT msg, int64_t wParam, int64_t lParam) {
  const bool ok = PostMessageW(station, msg, WPARAM(wParam), LPARAM(lParam)) != FALSE;
  g_log.Line("POSTED msg=0x%x wparam=%ld lparam=%ld ok=%d", msg, long(wParam), long(lParam), ok ? 1 : 0);
  return ok;
}

bool Command(const std::vector<std::string>& w) {
  const std::string& verb = w[0];
  int64_t a = 0, b = 0;
  if (verb == "wait-connect") {
    if (!Int(w, 1, &a)) return false;
    return WaitFor([&] { return g_accepted >= a; }, TimeoutArg(w, 2));
  }
  if (verb == "wait-sharedmem") {
    // Waits for the COUNT-th change of the shared memory's text.
    if (!Int(w, 1, &a)) return false;
    return WaitFor([&] { return g_sharedMemWrites >= a; }, TimeoutArg(w, 2));
  }
  if (verb == "wait-msg") {
    // wait-msg MSG [WPARAM] [TIMEOUT]
    if (!Int(w, 1, &a)) return false;
    const bool anyParam = w.size() < 3 || w[2] == "*";
    if (!anyParam && !Int(w, 2, &b)) return false;
    return WaitFor(
        [&] {
          EnterCriticalSection(&g_msgLock);
          bool seen = false;
          for (auto& [msg, wParam] : g_messages)
            seen = seen || (msg == UINT(a) && (anyParam || wParam == WPARAM(b)));
          LeaveCriticalSection(&g_msgLock);
          return seen;
        },
        TimeoutArg(w, 3));
  }
  if (w.size() < 2) return false;
  if (verb == "find-station") {
    HWND found = nullptr;
    const bool ok = WaitFor([&] { return (found = FindStation(w[1])) != nullptr; }, TimeoutArg(w, 2));
    if (ok) g_log.Line("STATION number=%s", w[1].c_str());
    return ok;
  }
  HWND station = FindStation(w[1]);
  if (!station) return false;
  if (verb == "lock") {
    // lock N [self | WINDOW]: to the daemon window, to the station's own window, or to any.
    LPARAM peer = LPARAM(g_window);
    if (w.size() > 2 && w[2] == "self")
      peer = LPARAM(station);
    else if (w.size() > 2 && !Int(w, 2, &a))
      return false;
    else if (w.size() > 2)
      peer = LPARAM(a);
    return Post(station, WM_REMOTE_BUTTON, kRemoteLock, peer);
  }
  if (verb == "unlock") return Int(w, 2, &a) && Post(station, WM_REMOTE_BUTTON, kRemoteUnlock, a);
  if (verb == "button") return Int(w, 2, &a) && Int(w, 3, &b) && Post(station, WM_REMOTE_BUTTON, a, b);
  if (verb == "command")
    return Int(w, 2, &a) && (w.size() < 4 || Int(w, 3, &b)) && Post(station, WM_REMOTE_COMMAND, a, b);
  if (verb == "level") return Int(w, 2, &a) && Int(w, 3, &b) && Post(station, WM_SET_LEVEL, a, b);
  if (verb == "post") {
    int64_t msg;
    return Int(w, 2, &msg) && Int(w, 3, &a) && Int(w, 4, &b) && Post(station, UINT(msg), a, b);
  }
  if (verb == "recipients" || verb == "copydata") {
    // recipients N TEXT | copydata N DWDATA TEXT [nonul]
    const bool generic = verb == "copydata";
    int64_t dwData = 1;
    if (generic && !Int(w, 2, &dwData)) return false;
    const size_t textAt = generic ? 3 : 2;
    if (w.size() <= textAt) return false;
    std::string text = w[textAt];
    const bool withNul = !(generic && w.size() > textAt + 1 && w[textAt + 1] == "nonul");
    std::vector<char> bytes(text.begin(), text.end());
    if (withNul) bytes.push_back('\0');
    COPYDATASTRUCT data{ULONG_PTR(dwData), DWORD(bytes.size()), bytes.data()};
    DWORD_PTR result = 0;
    const bool sent = SendMessageTimeoutW(station, WM_COPYDATA, WPARAM(g_window), LPARAM(&data), SMTO_NORMAL,
                                          5000, &result) != 0;
    g_log.Line("COPYDATA dwData=%ld bytes=%lu sent=%d result=%ld", long(dwData), (unsigned long)bytes.size(),
               sent ? 1 : 0, long(result));
    return sent;
  }
  return false;
}

struct ScriptJob {
  std::vector<std::string> commands;
  int code = 0;
};

DWORD WINAPI ScriptProc(LPVOID param) {
  auto* job = static_cast<ScriptJob*>(param);
  job->code = RunScript(job->commands, Command);
  PostThreadMessageW(g_mainThread, WM_PEER_QUIT, 0, 0);
  return 0;
}

}  // namespace

int main() {
  InitializeCriticalSection(&g_msgLock);
  Options options;
  const bool ok = ParseCommandLine(
      &options, {"--no-pipe", "--no-window", "--no-sharedmem"},
      [](const std::string& name, const std::string& value) {
        int64_t n;
        if (name == "--no-pipe")
          g_withPipe = false;
        else if (name == "--no-window")
          g_withWindow = false;
        else if (name == "--no-sharedmem")
          g_withMem = false;
        else if (name == "--pipe")
          g_pipeName = FromUtf8(value);
        else if (name == "--sharedmem")
          g_memName = FromUtf8(value);
        else if (name == "--sharedmem-size" && ParseInt(value, &n) && n >= 2 && n <= (1 << 24))
          g_memSize = DWORD(n);
        else
          return false;
        return true;
      });
  if (!ok) {
    fprintf(stderr,
            "usage: orrin_peer [--pipe NAME | --no-pipe] [--no-window] [--sharedmem NAME | --no-sharedmem]\n"
            "                  [--sharedmem-size BYTES] [--log FILE] [--script FILE] [--run \"cmd; cmd\"]\n");
    return 2;
  }
  g_mainThread = GetCurrentThreadId();
  MSG msg;
  PeekMessageW(&msg, nullptr, 0, 0, PM_NOREMOVE);

  if (g_withWindow) {
    WNDCLASSW wc{};
    wc.lpfnWndProc = DaemonProc;
    wc.hInstance = GetModuleHandleW(nullptr);
    wc.lpszClassName = L"VK_Main_PSDaemon";
    RegisterClassW(&wc);
    // A hidden top-level window: FindWindowW finds it, and it takes posted messages.
    g_window = CreateWindowExW(0, wc.lpszClassName, L"Orrin daemon", WS_OVERLAPPED, 0, 0, 100, 100, nullptr,
                               nullptr, wc.hInstance, nullptr);
    if (!g_window) {
      fprintf(stderr, "cannot create the daemon window (%lu)\n", GetLastError());
      return 1;
    }
  }
  if (g_withMem) {
    HANDLE mapping =
        CreateFileMappingW(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0, g_memSize, g_memName.c_str());
    const bool existed = GetLastError() == ERROR_ALREADY_EXISTS;
    void* view = mapping ? MapViewOfFile(mapping, FILE_MAP_ALL_ACCESS, 0, 0, g_memSize) : nullptr;
    if (!view) {
      fprintf(stderr, "cannot create the shared memory (%lu)\n", GetLastError());
      return 1;
    }
    if (existed) g_log.Line("SHAREDMEM-EXISTED");
    CloseHandle(CreateThread(nullptr, 0, SharedMemWatchProc, view, 0, nullptr));
  }
  if (g_withPipe) {
    g_ready = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    CloseHandle(CreateThread(nullptr, 0, ListenerProc, nullptr, 0, nullptr));
    WaitForSingleObject(g_ready, INFINITE);
  }
  g_log.Line("READY window=%d pipe=%s sharedmem=%s", g_window ? 1 : 0,
             g_withPipe ? ToUtf8(g_pipeName).c_str() : "-", g_withMem ? ToUtf8(g_memName).c_str() : "-");

  ScriptJob job{options.commands, 0};
  if (!options.Idle()) CloseHandle(CreateThread(nullptr, 0, ScriptProc, &job, 0, nullptr));
  while (GetMessageW(&msg, nullptr, 0, 0) > 0) {
    if (msg.hwnd == nullptr && msg.message == WM_PEER_QUIT) break;
    TranslateMessage(&msg);
    DispatchMessageW(&msg);
  }
  ExitProcess(UINT(job.code));
}
