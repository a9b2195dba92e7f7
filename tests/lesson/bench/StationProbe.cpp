// A recording station watched from outside: the real recorder is started, driven through its
// buttons (posted clicks, its file dialogs answered), and a thread of ours sends WM_NULL to its
// window every 10 ms, keeping each answer time under the phase it fell in. Memory and handles are
// read from outside at the start of recording, after one minute and at its end.
//   station_probe HOUR_MP3 PACKAGE [RECORD_MINUTES [PLAY_SECONDS]]
// Prints one line "station: key=value ..."; exit 0 when every phase ran, 1 otherwise.
#include <windows.h>
#include <psapi.h>
#include <winternl.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cwchar>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "app/main/tests/RecorderProcess.h"
#include "app/res/resource.h"
#include "common/Locks.h"
#include "tests/support/TestFiles.h"
#include "tests/support/UiDriver.h"

namespace {

constexpr DWORD kPeriodMs = 10;
constexpr DWORD kAnswerLimitMs = 10000;

double NowMs() {
  static const LARGE_INTEGER frequency = [] {
    LARGE_INTEGER f;
    QueryPerformanceFrequency(&f);
    return f;
  }();
  LARGE_INTEGER t;
  QueryPerformanceCounter(&t);
  return 1000.0 * double(t.QuadPart) / double(frequency.QuadPart);
}

// The open and the save each have their file dialog's time apart from their thread's.
enum Phase { kIdle, kRecordFirst, kRecordRest, kPlay, kOpenDialog, kOpen, kSaveDialog, kSave, kPhases };
const char* const kPhaseKeys[kPhases] = {"idle", "rec1", "rec", "play", "opendlg", "open", "savedlg", "save"};

// Sends WM_NULL every 10 ms and files each answer time under the phase of the moment.
class CAnswerProbe {
 public:
  explicit CAnswerProbe(HWND window) : window_(window) {}
  ~CAnswerProbe() { Stop(); }
  void Start() {
    thread_ = std::thread([this] { Run(); });
  }
  void Stop() {
    stop_ = true;
    if (thread_.joinable()) thread_.join();
  }
  void Enter(Phase phase) { phase_ = phase; }
  std::vector<double> Answers(Phase phase) {
    std::lock_guard<Mutex> hold(lock_);
    return answers_[phase];
  }
  int Unanswered() const { return unanswered_; }

 private:
  void Run() {
    double next = NowMs();
    while (!stop_) {
      const double t0 = NowMs();
      DWORD_PTR result = 0;
      const bool answered =
          SendMessageTimeoutW(window_, WM_NULL, 0, 0, SMTO_NORMAL, kAnswerLimitMs, &result) != 0;
      const double took = NowMs() - t0;
      if (!answered) ++unanswered_;
      {
        std::lock_guard<Mutex> hold(lock_);
        answers_[phase_].push_back(answered ? took : double(kAnswerLimitMs));
      }
      next += kPeriodMs;
      const double now = NowMs();
      // A late answer starts the next period from now: no burst of catch-up sends.
      if (next < now) next = now;
      Sleep(static_cast<DWORD>(next - now));
    }
  }
  HWND window_;
  std::thread thread_;
  std::atomic<bool> stop_{false};
  std::atomic<int> phase_{kIdle};
  std::atomic<int> unanswered_{0};
  Mutex lock_;
  std::vector<double> answers_[kPhases];
};

struct Figures {
  double maxMs = 0, p99Ms = 0;
  size_t count = 0, over50 = 0;
};

Figures Summarise(std::vector<double> answers) {
  Figures f;
  f.count = answers.size();
  if (answers.empty()) return f;
  std::sort(answers.begin(), answers.end());
  f.maxMs = answers.back();
  f.p99Ms = answers[std::min(answers.size() - 1, answers.size() * 99 / 100)];
  f.over50 = static_cast<size_t>(answers.end() - std::upper_bound(answers.begin(), answers.end(), 50.0));
  return f;
}

// What the process holds, read from outside. The process list's HandleCount is not used: Wine
// gives the size of the handle table there, not the handles in it.
struct Holdings {
  double privateMb = -1, workingSetMb = -1;
  long handlesCounted = -1;  // handle values that can be duplicated out of the process
  long threads = -1;
  DWORD apiHandleCount = 0;  // GetProcessHandleCount, for comparison
};

using QuerySystemInformation = NTSTATUS(NTAPI*)(ULONG, PVOID, ULONG, PULONG);

void ReadThreads(DWORD pid, Holdings* h) {
  static const auto query = reinterpret_cast<QuerySystemInformation>(
      reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "NtQuerySystemInformation")));
  if (!query) return;
  std::vector<BYTE> buffer(1 << 20);
  ULONG needed = 0;
  NTSTATUS status;
  while ((status = query(SystemProcessInformation, buffer.data(), ULONG(buffer.size()), &needed)) ==
             static_cast<NTSTATUS>(0xC0000004L) &&
         buffer.size() < (64u << 20))
    buffer.resize(std::max<size_t>(buffer.size() * 2, needed));
  if (status < 0) return;
  for (size_t at = 0;;) {
    const auto* entry = reinterpret_cast<const SYSTEM_PROCESS_INFORMATION*>(buffer.data() + at);
    if (reinterpret_cast<uintptr_t>(entry->UniqueProcessId) == pid) {
      h->threads = long(entry->NumberOfThreads);
      return;
    }
    if (!entry->NextEntryOffset) return;
    at += entry->NextEntryOffset;
  }
}

long CountDuplicableHandles(HANDLE process) {
  long n = 0;
  for (uintptr_t value = 4; value < 0x20000; value += 4) {
    HANDLE copy = nullptr;
    if (DuplicateHandle(process, reinterpret_cast<HANDLE>(value), GetCurrentProcess(), &copy, 0, FALSE,
                        DUPLICATE_SAME_ACCESS)) {
      ++n;
      CloseHandle(copy);
    }
  }
  return n;
}

Holdings ReadHoldings(HANDLE process, DWORD pid) {
  Holdings h;
  PROCESS_MEMORY_COUNTERS_EX memory = {};
  memory.cb = sizeof memory;
  if (GetProcessMemoryInfo(process, reinterpret_cast<PROCESS_MEMORY_COUNTERS*>(&memory), sizeof memory)) {
    // Wine leaves PrivateUsage 0 and gives the private memory as PagefileUsage, as Windows also does.
    h.privateMb =
        double(memory.PrivateUsage ? memory.PrivateUsage : memory.PagefileUsage) / (1024.0 * 1024.0);
    h.workingSetMb = double(memory.WorkingSetSize) / (1024.0 * 1024.0);
  }
  GetProcessHandleCount(process, &h.apiHandleCount);
  ReadThreads(pid, &h);
  h.handlesCounted = CountDuplicableHandles(process);
  return h;
}

class CStation {
 public:
  bool Start() {
    if (!recorder_.Start(L"")) return Fail("the recorder did not start");
    dialog_ = recorder_.WaitForWindow(L"Recorder", 60000);
    if (!dialog_) return Fail("no window titled Recorder");
    if (!WaitUntil([&] { return IsWindowVisible(dialog_) && IsWindowEnabled(dialog_); }, 30000))
      return Fail("the window never became usable");
    return true;
  }
  HWND Dialog() const { return dialog_; }
  HANDLE Process() const { return recorder_.Process(); }
  DWORD Id() const { return recorder_.Id(); }

  void Click(UINT id) { ui::PostClick(dialog_, static_cast<int>(id)); }
  std::wstring Face(UINT id) { return ui::WindowTextOf(GetDlgItem(dialog_, static_cast<int>(id))); }
  bool WaitFace(UINT id, const wchar_t* stem, DWORD timeoutMs = 15000) {
    return WaitUntil([&] { return Face(id) == stem; }, timeoutMs);
  }
  bool Usable() { return IsWindowEnabled(dialog_) != FALSE; }

  // Through the real file dialog; true once the dialog took the path.
  bool Choose(UINT button, const std::wstring& path) {
    if (button == IDC_BUTOPENWAV) {
      // The open button's right part opens the web-address menu: the cursor is kept off it.
      RECT r = {};
      ::GetWindowRect(GetDlgItem(dialog_, IDC_BUTOPENWAV), &r);
      SetCursorPos(r.left + 4, r.top + 4);
    }
    Click(button);
    HWND chooser = ui::WaitForFileDialog(Id(), 30000);
    return chooser && ui::ChooseFile(chooser, path, 30000);
  }

  int Exit() {
    PostMessageW(dialog_, WM_KEYDOWN, VK_ESCAPE, 0);
    // Whatever the exit asks is answered No: what mattered is saved already.
    const DWORD end = GetTickCount() + 60000;
    while (GetTickCount() < end) {
      const DWORD code = recorder_.WaitExit(200);
      if (code != STILL_ACTIVE) return int(code);
      if (HWND box = ui::WaitForDialog(Id(), 0xFFFF, nullptr, 0)) ui::PostClick(box, IDNO);
    }
    recorder_.Kill();
    return -1;
  }

  bool Fail(const char* what) {
    fprintf(stderr, "station_probe: %s\n", what);
    failed_ = true;
    return false;
  }
  bool Failed() const { return failed_; }

 private:
  CRecorderProcess recorder_;
  HWND dialog_ = nullptr;
  bool failed_ = false;
};

double FileMb(const std::wstring& path) {
  WIN32_FILE_ATTRIBUTE_DATA data = {};
  if (!GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &data)) return -1;
  return double((uint64_t(data.nFileSizeHigh) << 32) | data.nFileSizeLow) / (1024.0 * 1024.0);
}

// The window goes busy (disabled, "Please wait...") when the track's thread starts and usable
// again at its notification; a thread quicker than the polling is taken as done at once.
bool WaitBusyThenUsable(CStation& station, DWORD timeoutMs) {
  HWND field = GetDlgItem(station.Dialog(), IDC_FILENAME);
  WaitUntil([&] { return !station.Usable() || ControlText(field) == L"Please wait..."; }, 2000);
  return WaitUntil([&] { return station.Usable() && ControlText(field) != L"Please wait..."; }, timeoutMs);
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  if (argc < 3) {
    fprintf(stderr, "usage: station_probe HOUR_MP3 PACKAGE [RECORD_MINUTES [PLAY_SECONDS]]\n");
    return 2;
  }
  const std::wstring hour = argv[1];
  const std::wstring package = argv[2];
  const double minutes = argc > 3 ? std::max(1.0, _wtof(argv[3])) : 10.0;
  const double playSeconds = argc > 4 ? std::max(1.0, _wtof(argv[4])) : 60.0;
  DeleteFileW(package.c_str());

  CStation station;
  if (!station.Start()) return 1;
  // Read before the probe runs: the handle count's thousands of requests would cloud the idle figures.
  const Holdings atStart = ReadHoldings(station.Process(), station.Id());
  CAnswerProbe probe(station.Dialog());
  probe.Start();
  Sleep(5000);

  // Recording: one minute, then on to the end; holdings before it, after a minute and at its end.
  probe.Enter(kRecordFirst);
  station.Click(IDC_BUTREC);
  const double recStart = NowMs();
  if (!station.WaitFace(IDC_BUTREC, L"BUTRECORDSTOP")) station.Fail("recording did not start");
  Sleep(static_cast<DWORD>(std::max(0.0, recStart + 60000 - NowMs())));
  probe.Enter(kRecordRest);
  const Holdings atMinute = ReadHoldings(station.Process(), station.Id());
  const double minuteMs = NowMs() - recStart;
  Sleep(static_cast<DWORD>(std::max(0.0, recStart + minutes * 60000 - NowMs())));
  const Holdings atEnd = ReadHoldings(station.Process(), station.Id());
  const double endMs = NowMs() - recStart;
  station.Click(IDC_BUTSTOP);
  if (!station.WaitFace(IDC_BUTREC, L"BUTREC")) station.Fail("recording did not stop");
  Sleep(1000);

  // Playing it back, from the start of the take.
  probe.Enter(kPlay);
  station.Click(IDC_BUTPLAY);
  if (!station.WaitFace(IDC_BUTNEXTB, L"BUTNEXT")) station.Fail("playback did not start");
  Sleep(static_cast<DWORD>(playSeconds * 1000));
  station.Click(IDC_BUTSTOP);
  if (!station.WaitFace(IDC_BUTNEXTB, L"BUTNEXTB")) station.Fail("playback did not stop");
  Sleep(1000);

  // The hour-long MP3 into the Master: from the press until the window is usable again.
  probe.Enter(kOpenDialog);
  const double openStart = NowMs();
  std::wstring name = hour.substr(hour.find_last_of(L"\\/") + 1);
  if (!station.Choose(IDC_BUTOPENWAV, hour)) station.Fail("the open dialog did not take the MP3");
  probe.Enter(kOpen);
  if (!WaitBusyThenUsable(station, 600000) || ControlText(GetDlgItem(station.Dialog(), IDC_FILENAME)) != name)
    station.Fail("the MP3 did not load");
  const double openMs = NowMs() - openStart;
  Sleep(1000);

  // The take saved as a package.
  probe.Enter(kSaveDialog);
  const double saveStart = NowMs();
  if (!station.Choose(IDC_BUTSAVEWAV, package)) station.Fail("the save dialog did not take the package");
  probe.Enter(kSave);
  if (!WaitBusyThenUsable(station, 600000) || FileMb(package) <= 0) station.Fail("the package was not saved");
  const double saveMs = NowMs() - saveStart;
  Sleep(1000);

  probe.Stop();
  const int exitCode = station.Exit();

  std::string line = "station:";
  char field[160];
  for (int p = 0; p < kPhases; ++p) {
    const Figures f = Summarise(probe.Answers(static_cast<Phase>(p)));
    snprintf(field, sizeof field, " %s_max_ms=%.1f %s_p99_ms=%.1f %s_over50=%u/%u", kPhaseKeys[p], f.maxMs,
             kPhaseKeys[p], f.p99Ms, kPhaseKeys[p], unsigned(f.over50), unsigned(f.count));
    line += field;
  }
  // 16-bit mono at 44,100 Hz is what the take holds in memory.
  const double pcmMb = (endMs - minuteMs) / 1000.0 * 44100 * 2 / (1024.0 * 1024.0);
  const double growth = atEnd.privateMb - atMinute.privateMb;
  snprintf(field, sizeof field, " rec_min=%.1f open_s=%.1f save_s=%.1f package_mb=%.1f", endMs / 60000.0,
           openMs / 1000.0, saveMs / 1000.0, FileMb(package));
  line += field;
  snprintf(field, sizeof field, " private_mb=%.1f/%.1f/%.1f growth_mb=%.1f pcm_mb=%.1f growth_ratio=%.2f",
           atStart.privateMb, atMinute.privateMb, atEnd.privateMb, growth, pcmMb,
           pcmMb > 0 ? growth / pcmMb : 0);
  line += field;
  snprintf(field, sizeof field, " handles=%ld/%ld/%ld threads=%ld/%ld/%ld", atStart.handlesCounted,
           atMinute.handlesCounted, atEnd.handlesCounted, atStart.threads, atMinute.threads, atEnd.threads);
  line += field;
  snprintf(field, sizeof field, " api_handles=%lu unanswered=%d exit=%d",
           static_cast<unsigned long>(atEnd.apiHandleCount), probe.Unanswered(), exitCode);
  line += field;
  printf("%s\n", line.c_str());
  fflush(stdout);
  return station.Failed() ? 1 : 0;
}
