// The peers checked from a second process against the bytes of the classroom protocol:
// frames on the capture pipe, the framework's window, shared memory and pipe, and the sibling
// product's slots under its named mutex.
#include <gtest/gtest.h>
#include <windows.h>

#include <cstring>
#include <string>
#include <vector>

#include "peers/PeerProcess.h"
#include "tests/support/TestBytes.h"

namespace {

std::string ToHex(const void* data, size_t size) {
  static const char digits[] = "0123456789abcdef";
  std::string out;
  for (size_t i = 0; i < size; ++i) {
    const uint8_t b = static_cast<const uint8_t*>(data)[i];
    out.push_back(digits[b >> 4]);
    out.push_back(digits[b & 15]);
  }
  return out;
}

HANDLE OpenClient(const std::wstring& name, DWORD flags = 0) {
  for (int tries = 0; tries < 300; ++tries) {
    HANDLE h =
        CreateFileW(name.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, flags, nullptr);
    if (h != INVALID_HANDLE_VALUE) return h;
    Sleep(10);
  }
  return nullptr;
}

bool WriteHex(HANDLE pipe, const std::string& hex) {
  const auto bytes = FromHex(hex);
  DWORD n = 0;
  return WriteFile(pipe, bytes.data(), DWORD(bytes.size()), &n, nullptr) && n == bytes.size();
}

// Reads exactly as many bytes as `hex` spells and returns them as hex.
std::string ReadHex(HANDLE pipe, size_t size) {
  std::vector<uint8_t> bytes(size);
  size_t have = 0;
  while (have < size) {
    DWORD n = 0;
    if (!ReadFile(pipe, bytes.data() + have, DWORD(size - have), &n, nullptr)) break;
    have += n;
  }
  return ToHex(bytes.data(), have);
}

std::wstring PipeName() { return L"\\\\.\\pipe\\" + UniqueName(L"qm-peer"); }

constexpr const char* kHello = "1a000000 36000000 0000000000000000 5175696c6c6d6572696469616e00";
constexpr const char* kAddressRequest = "04000000 34000000";

// Greeting, address answer per station, the scripted frames byte for byte, two stations at
// once on the shared pipe name, and dropping one of them.
TEST(PictavoPeer, AnswersStationsAndSendsScriptedFrames) {
  const std::wstring pipe = PipeName();
  CPeerProcess peer;
  ASSERT_TRUE(peer.Start(L"pictavo_peer.exe",
                         L"--pipe " + QuoteArgument(pipe) + L" --address 10.0.0.5,10.0.0.6 --run " +
                             QuoteArgument(L"wait-frame 0 52; send-text 0 Hi; send-mixer 0 7 9; "
                                           L"send-audio 0 3 100 ramp:2 2:10.0.0.6 3:10.0.0.5; "
                                           L"wait-frame 1 52; drop 0; wait-disconnect 1")));
  HANDLE a = OpenClient(pipe);
  ASSERT_NE(a, nullptr);
  HANDLE b = OpenClient(pipe);  // a second station on the same computer
  ASSERT_NE(b, nullptr);
  ASSERT_TRUE(WriteHex(a, kHello));
  ASSERT_TRUE(WriteHex(a, kAddressRequest));
  EXPECT_EQ(ReadHex(a, 12),
            "08000000"
            "34000000"
            "0a000005");
  EXPECT_EQ(ReadHex(a, 14),
            "0a000000"
            "01000000"
            "480069000000");
  EXPECT_EQ(ReadHex(a, 16),
            "0c000000"
            "e9030000"
            "07000000"
            "09000000");
  EXPECT_EQ(ReadHex(a, 44),
            "28000000"
            "02000000"
            "03000000"
            "64000000"
            "04000000"
            "02000000"
            "02000000"
            "0a000006"
            "03000000"
            "0a000005"
            "0000"
            "6400");

  ASSERT_TRUE(WriteHex(b, kAddressRequest));
  EXPECT_EQ(ReadHex(b, 12),
            "08000000"
            "34000000"
            "0a000006");
  // Dropped by the peer: the station's next read fails instead of hanging.
  uint8_t byte;
  DWORD n;
  EXPECT_FALSE(ReadFile(a, &byte, 1, &n, nullptr));
  CloseHandle(a);
  CloseHandle(b);
  EXPECT_EQ(peer.WaitExit(), 0u) << peer.Log();

  const std::string log = peer.Log();
  EXPECT_NE(
      log.find(std::string("FRAME conn=0 seq=0 length=26 type=54 data=") + ToHex(FromHex(kHello).data(), 30)),
      std::string::npos)
      << log;
  EXPECT_NE(log.find("HELLO conn=0 name=Quillmeridian"), std::string::npos);
  EXPECT_NE(log.find("ADDRESS-REQUEST conn=0"), std::string::npos);
  EXPECT_NE(log.find("ADDRESS-SENT conn=1 address=10.0.0.6"), std::string::npos);
  EXPECT_NE(log.find("DROP conn=0"), std::string::npos);
  EXPECT_NE(log.find("DISCONNECT conn=1"), std::string::npos);
}

// A forward frame as a streaming station sends it is decoded in the log; length words split
// over several writes are put back together.
TEST(PictavoPeer, LogsForwardFramesWrittenInPieces) {
  const std::wstring pipe = PipeName();
  CPeerProcess peer;
  ASSERT_TRUE(peer.Start(L"pictavo_peer.exe", L"--pipe " + QuoteArgument(pipe) + L" --run " +
                                                  QuoteArgument(L"wait-frame 0 55; quit")));
  HANDLE a = OpenClient(pipe);
  ASSERT_NE(a, nullptr);
  // B = 4 bytes of PCM, R = 1 recipient: length B + 8R + 50 = 62, inner length B + 8R + 20 = 32.
  ASSERT_TRUE(WriteHex(a, "3e00"));
  Sleep(50);
  ASSERT_TRUE(WriteHex(a, "0000 37000000 ffffffffffffffff 5175696c6c6d6572696469616e00"));
  ASSERT_TRUE(
      WriteHex(a, "20000000 02000000 01000000 00400000 04000000 01000000 03000000 0a000005 0100 ffff"));
  EXPECT_EQ(peer.WaitExit(), 0u) << peer.Log();
  CloseHandle(a);
  // FNV-1a of 01 00 ff ff.
  uint32_t hash = 2166136261u;
  for (uint8_t v : {0x01, 0x00, 0xff, 0xff}) hash = (hash ^ v) * 16777619u;
  char expected[200];
  snprintf(expected, sizeof expected,
           "FORWARD conn=0 inner-length=32 inner-type=2 chunk=1 offset=16384 bytes=4 recipients=3:10.0.0.5 "
           "pcm-fnv=%08x",
           hash);
  EXPECT_NE(peer.Log().find(expected), std::string::npos) << peer.Log();
}

// Stopped reading holds a station's write back; after unlisten no station can connect, after
// listen one can again.
TEST(PictavoPeer, StopsReadingAndListensAgain) {
  const std::wstring pipe = PipeName();
  CPeerProcess peer;
  ASSERT_TRUE(peer.Start(
      L"pictavo_peer.exe",
      L"--pipe " + QuoteArgument(pipe) + L" --instances 2 --run " +
          QuoteArgument(L"wait-connect 1; stop-reading 0; log stopped; sleep 800; resume-reading 0; "
                        L"wait-frame 0 9; unlisten; sleep 100; log unlistened; sleep 600; listen; "
                        L"wait-connect 2; quit")));
  HANDLE a = OpenClient(pipe, FILE_FLAG_OVERLAPPED);
  ASSERT_NE(a, nullptr);
  ASSERT_TRUE(peer.WaitForLog("LOG stopped"));
  // One frame far larger than the pipe's buffers.
  std::vector<uint8_t> frame(256 * 1024 + 8, 0x5a);
  const uint32_t head[2] = {uint32_t(frame.size() - 4), 9};
  memcpy(frame.data(), head, sizeof head);
  OVERLAPPED ov{};
  ov.hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  if (!WriteFile(a, frame.data(), DWORD(frame.size()), nullptr, &ov)) {
    ASSERT_EQ(GetLastError(), DWORD(ERROR_IO_PENDING));
  }
  EXPECT_EQ(WaitForSingleObject(ov.hEvent, 300), DWORD(WAIT_TIMEOUT)) << "the peer should not be reading";
  ASSERT_EQ(WaitForSingleObject(ov.hEvent, 5000), DWORD(WAIT_OBJECT_0));
  DWORD written = 0;
  EXPECT_TRUE(GetOverlappedResult(a, &ov, &written, FALSE));
  EXPECT_EQ(written, frame.size());
  CloseHandle(ov.hEvent);

  ASSERT_TRUE(peer.WaitForLog("LOG unlistened"));
  HANDLE refused =
      CreateFileW(pipe.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
  EXPECT_EQ(refused, INVALID_HANDLE_VALUE);
  if (refused != INVALID_HANDLE_VALUE) CloseHandle(refused);
  ASSERT_TRUE(peer.WaitForLog("LISTEN\n"));
  HANDLE again = OpenClient(pipe);
  EXPECT_NE(again, nullptr);
  EXPECT_EQ(peer.WaitExit(), 0u) << peer.Log();
  if (again) CloseHandle(again);
  CloseHandle(a);
  EXPECT_NE(peer.Log().find("FRAME conn=0 seq=0 length=262148 type=9"), std::string::npos);
}

// A station window as the recorder titles it, recording what the framework posts and sends.
struct StationWindow {
  struct Received {
    UINT msg;
    WPARAM wParam;
    LPARAM lParam;
    std::string data;
  };
  static std::vector<Received>* received;

  static LRESULT CALLBACK Proc(HWND w, UINT msg, WPARAM wParam, LPARAM lParam) {
    if (msg == WM_COPYDATA) {
      const auto* cds = reinterpret_cast<const COPYDATASTRUCT*>(lParam);
      received->push_back(
          {msg, cds->dwData, lParam, std::string(static_cast<const char*>(cds->lpData), cds->cbData)});
      return TRUE;
    }
    if (msg >= WM_USER && msg < WM_APP) {
      received->push_back({msg, wParam, lParam, {}});
      return 0;
    }
    return DefWindowProcW(w, msg, wParam, lParam);
  }
};
std::vector<StationWindow::Received>* StationWindow::received = nullptr;

// Pumps this thread's messages until the process ends or the time is up.
bool PumpUntilExit(HANDLE process, DWORD timeoutMs) {
  const DWORD start = GetTickCount();
  for (;;) {
    MSG msg;
    while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) DispatchMessageW(&msg);
    if (WaitForSingleObject(process, 0) == WAIT_OBJECT_0) return true;
    const DWORD elapsed = GetTickCount() - start;
    if (elapsed >= timeoutMs) return false;
    MsgWaitForMultipleObjects(1, &process, FALSE, timeoutMs - elapsed, QS_ALLINPUT);
  }
}

TEST(OrrinPeer, RecordsTheDaemonNoticeAndSentPathAndDrivesAStation) {
  std::vector<StationWindow::Received> received;
  StationWindow::received = &received;
  WNDCLASSW wc{};
  wc.lpfnWndProc = StationWindow::Proc;
  wc.hInstance = GetModuleHandleW(nullptr);
  wc.lpszClassName = L"QmPeerTestStation";
  RegisterClassW(&wc);
  HWND station = CreateWindowExW(0, wc.lpszClassName, L"_1QuillmeridianUser", WS_OVERLAPPED, 0, 0, 50, 50,
                                 nullptr, nullptr, wc.hInstance, nullptr);
  ASSERT_NE(station, nullptr);

  const std::wstring pipe = PipeName();
  const std::wstring memName = UniqueName(L"qm-orrin-mem");
  CPeerProcess peer;
  ASSERT_TRUE(
      peer.Start(L"orrin_peer.exe",
                 L"--pipe " + QuoteArgument(pipe) + L" --sharedmem " + QuoteArgument(memName) + L" --run " +
                     QuoteArgument(L"find-station 1; lock 1; button 1 1032 0; command 1 11; level 1 1 5; "
                                   L"recipients 1 \"3|10.0.0.5|4|10.0.0.6|\"; wait-msg 0x592 1027; "
                                   L"wait-sharedmem 1; wait-connect 1; sleep 200")));
  HWND daemon = FindWindowW(L"VK_Main_PSDaemon", nullptr);
  ASSERT_NE(daemon, nullptr);
  ASSERT_TRUE(PostMessageW(daemon, 0x590, 9, 1));
  ASSERT_TRUE(PostMessageW(daemon, 0x592, 1027, 0));  // a press forwarded by a locked station

  HANDLE mapping = OpenFileMappingW(FILE_MAP_ALL_ACCESS, FALSE, memName.c_str());
  ASSERT_NE(mapping, nullptr);
  void* view = MapViewOfFile(mapping, FILE_MAP_ALL_ACCESS, 0, 0, 0);
  ASSERT_NE(view, nullptr);
  const wchar_t path[] = L"C:\\users\\root\\Documents\\Orrin1234.qpk";
  memcpy(view, path, sizeof path);
  UnmapViewOfFile(view);
  CloseHandle(mapping);

  HANDLE client = OpenClient(pipe);
  ASSERT_NE(client, nullptr);
  ASSERT_TRUE(WriteHex(client, "0600000001000000 4100"));

  ASSERT_TRUE(PumpUntilExit(peer.Process(), 10000)) << peer.Log();
  EXPECT_EQ(peer.WaitExit(), 0u) << peer.Log();
  CloseHandle(client);
  DestroyWindow(station);

  // Posted messages keep their order; the sent WM_COPYDATA may overtake them.
  std::vector<StationWindow::Received> posted, copied;
  for (auto& r : received) (r.msg == WM_COPYDATA ? copied : posted).push_back(r);
  ASSERT_EQ(posted.size(), 4u);
  EXPECT_EQ(posted[0].msg, 0x592u);
  EXPECT_EQ(LPARAM(posted[0].wParam), -3);
  EXPECT_EQ(HWND(posted[0].lParam), daemon) << "the lock names the window that gets the station's presses";
  EXPECT_EQ(posted[1].msg, 0x592u);
  EXPECT_EQ(posted[1].wParam, 1032u);
  EXPECT_EQ(posted[1].lParam, 0);
  EXPECT_EQ(posted[2].msg, 0x52eu);
  EXPECT_EQ(posted[2].wParam, 11u);
  EXPECT_EQ(posted[3].msg, 0x498u);
  EXPECT_EQ(posted[3].wParam, 1u);
  EXPECT_EQ(posted[3].lParam, 5);
  ASSERT_EQ(copied.size(), 1u);
  EXPECT_EQ(copied[0].wParam, 1u);
  EXPECT_EQ(copied[0].data, std::string("3|10.0.0.5|4|10.0.0.6|\0", 23));

  const std::string log = peer.Log();
  EXPECT_NE(log.find("MSG msg=0x590 wparam=9 lparam=1"), std::string::npos) << log;
  EXPECT_NE(log.find("SHAREDMEM path=C:\\users\\root\\Documents\\Orrin1234.qpk"), std::string::npos) << log;
  EXPECT_NE(log.find("COPYDATA dwData=1 bytes=23 sent=1 result=1"), std::string::npos) << log;
  EXPECT_NE(log.find("CONNECT conn=0"), std::string::npos) << log;
  EXPECT_NE(log.find("DATA conn=0 bytes=10"), std::string::npos) << log;
}

// Station 0 keeps the title "Recorder" and is also found by its process; a lock may name the
// station itself or any window instead of the daemon window.
TEST(OrrinPeer, ReachesStationZeroByTitleOrProcessAndLocksToAnyWindow) {
  std::vector<StationWindow::Received> received;
  StationWindow::received = &received;
  // A top-level dialog as the recorder's main window is, taking its messages here.
  HWND station = CreateWindowExW(0, L"#32770", L"Recorder", WS_POPUP | WS_VISIBLE, 0, 0, 50, 50, nullptr,
                                 nullptr, GetModuleHandleW(nullptr), nullptr);
  ASSERT_NE(station, nullptr);
  SetWindowLongPtrW(station, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(&StationWindow::Proc));

  const std::wstring byPid = L"pid:" + std::to_wstring(GetCurrentProcessId());
  CPeerProcess peer;
  ASSERT_TRUE(peer.Start(L"orrin_peer.exe",
                         L"--pipe " + QuoteArgument(PipeName()) + L" --no-sharedmem --run " +
                             QuoteArgument(L"find-station 0; lock 0 self; lock " + byPid +
                                           L" 0x1234; lock 0; button " + byPid + L" 1025 0; sleep 2000")));
  HWND daemon = FindWindowW(L"VK_Main_PSDaemon", nullptr);
  ASSERT_TRUE(PumpUntilExit(peer.Process(), 10000)) << peer.Log();
  EXPECT_EQ(peer.WaitExit(), 0u) << peer.Log();
  DestroyWindow(station);

  ASSERT_EQ(received.size(), 4u);
  for (size_t i = 0; i < 3; ++i) {
    EXPECT_EQ(received[i].msg, 0x592u) << i;
    EXPECT_EQ(LPARAM(received[i].wParam), -3) << i;
  }
  EXPECT_EQ(HWND(received[0].lParam), station);
  EXPECT_EQ(received[1].lParam, 0x1234);
  EXPECT_EQ(HWND(received[2].lParam), daemon);
  EXPECT_EQ(received[3].wParam, 1025u);
}

// The slot writes wait for the recorder's mutex (which exists only while someone holds it),
// land at the offsets of the stations in the OEM code page, and the clearing is noticed.
TEST(ZubraPeer, WritesStationSlotsUnderTheMutex) {
  const std::wstring mapName = UniqueName(L"qm-zubra-mem");
  const std::wstring mutexName = UniqueName(L"qm-zubra-mutex");
  HANDLE held = CreateMutexW(nullptr, TRUE, mutexName.c_str());
  ASSERT_NE(held, nullptr);
  ASSERT_NE(GetLastError(), DWORD(ERROR_ALREADY_EXISTS));

  CPeerProcess peer;
  ASSERT_TRUE(peer.Start(
      L"zubra_peer.exe",
      L"--mapping " + QuoteArgument(mapName) + L" --mutex " + QuoteArgument(mutexName) + L" --run " +
          QuoteArgument(L"write 2 C:\\W\u00f6rk\\; write 1 D:\\x\\; wait-cleared 1; read 2")));
  HANDLE mapping = OpenFileMappingW(FILE_MAP_ALL_ACCESS, FALSE, mapName.c_str());
  ASSERT_NE(mapping, nullptr);
  auto* view = static_cast<uint8_t*>(MapViewOfFile(mapping, FILE_MAP_ALL_ACCESS, 0, 0, 2069));
  ASSERT_NE(view, nullptr);

  Sleep(300);
  EXPECT_EQ(view[1068], 0) << "written while the mutex was held";
  EXPECT_EQ(peer.Log().find("WRITE"), std::string::npos);
  CloseHandle(held);
  ASSERT_TRUE(peer.WaitForLog("WRITE station=1"));

  EXPECT_EQ(std::string(reinterpret_cast<char*>(view)), "ZUBRA-USB");
  // 0x94 is o-umlaut in code page 437.
  EXPECT_EQ(ToHex(view + 1068, 10), "433a5c5794726b5c0000");
  EXPECT_EQ(ToHex(view + 67, 7), "443a5c785c0000");

  // Taking the text as the recorder does: clear the slot under the mutex.
  HANDLE mine = nullptr;
  while (!mine) {
    mine = CreateMutexW(nullptr, TRUE, mutexName.c_str());
    if (mine && GetLastError() == ERROR_ALREADY_EXISTS) {
      CloseHandle(mine);
      mine = nullptr;
    }
  }
  memset(view + 67, 0, 1001);
  CloseHandle(mine);
  EXPECT_EQ(peer.WaitExit(), 0u) << peer.Log();
  const std::string log = peer.Log();
  EXPECT_NE(log.find("CLEARED station=1 offset=67"), std::string::npos) << log;
  EXPECT_NE(log.find("SLOT station=2 offset=1068 oem=433a5c5794726b5c\n"), std::string::npos) << log;
  UnmapViewOfFile(view);
  CloseHandle(mapping);
}

}  // namespace

namespace {

// A test program killed at its time-out takes its peers with it: the pipe name is free again
// for the next test.
TEST(PeerProcess, PeersEndWithTheProgramThatStartedThem) {
  const std::wstring pipe = PipeName();
  wchar_t self[MAX_PATH];
  GetModuleFileNameW(nullptr, self, MAX_PATH);
  std::wstring commandLine = QuoteArgument(self) + L" --start-peer-and-die " + QuoteArgument(pipe);
  STARTUPINFOW si{};
  si.cb = sizeof si;
  PROCESS_INFORMATION pi{};
  ASSERT_TRUE(
      CreateProcessW(self, commandLine.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si, &pi));
  CloseHandle(pi.hThread);
  ASSERT_EQ(WaitForSingleObject(pi.hProcess, 20000), WAIT_OBJECT_0);
  DWORD code = 0;
  GetExitCodeProcess(pi.hProcess, &code);
  CloseHandle(pi.hProcess);
  ASSERT_EQ(code, 77u) << "the starter could not start its peer";

  bool gone = false;
  for (int i = 0; i < 300 && !gone; ++i) {
    HANDLE h = CreateFileW(pipe.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    if (h != INVALID_HANDLE_VALUE) {
      CloseHandle(h);
    } else if (GetLastError() == ERROR_FILE_NOT_FOUND) {
      gone = true;
      break;
    }
    Sleep(10);
  }
  EXPECT_TRUE(gone) << "the peer outlived the program that started it";
}

// Such a program leaves its peers' logs behind, and Wine gives its process id to later programs:
// a leftover log at the name a start would take must not answer READY for the new peer.
TEST(PeerProcess, ALogLeftAtTheNameOfTheNextPeerDoesNotAnswerForIt) {
  const std::wstring probe = UniqueName(L"qm-peer");  // the next start takes the number after it
  const long next = wcstol(probe.c_str() + probe.rfind(L'-') + 1, nullptr, 10) + 1;
  wchar_t temp[MAX_PATH];
  GetTempPathW(MAX_PATH, temp);
  const std::wstring left = std::wstring(temp) + L"qm-peer-" + std::to_wstring(GetCurrentProcessId()) + L"-" +
                            std::to_wstring(next) + L".log";
  HANDLE file = CreateFileW(left.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
  ASSERT_NE(file, INVALID_HANDLE_VALUE);
  const char ready[] = "READY window=1 pipe=- sharedmem=-\n";
  DWORD written = 0;
  WriteFile(file, ready, DWORD(strlen(ready)), &written, nullptr);
  CloseHandle(file);

  CPeerProcess daemon;
  ASSERT_TRUE(daemon.Start(L"orrin_peer.exe", L"--no-pipe --no-sharedmem"));
  // Its own READY: the window it announces is there.
  EXPECT_NE(FindWindowW(L"VK_Main_PSDaemon", nullptr), nullptr) << daemon.Log();
  DeleteFileW(left.c_str());
}

}  // namespace

int main(int argc, char** argv) {
  int wargc = 0;
  wchar_t** wargv = CommandLineToArgvW(GetCommandLineW(), &wargc);
  if (wargc == 3 && wcscmp(wargv[1], L"--start-peer-and-die") == 0) {
    // Starts a peer and is then killed the way a time-out kills a test program.
    auto* peer = new CPeerProcess;
    const bool started = peer->Start(L"pictavo_peer.exe", L"--pipe " + QuoteArgument(wargv[2]));
    TerminateProcess(GetCurrentProcess(), started ? 77 : 1);
  }
  LocalFree(wargv);
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
