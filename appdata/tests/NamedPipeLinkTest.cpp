// The named-pipe link between two processes: the link runs here, the capture-product peer
// (or, for server mode, a second copy of this program) is the other end.
#include <gtest/gtest.h>
#include <windows.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "appdata/NamedPipeLink.h"
#include "peers/PeerProcess.h"
#include "tests/support/TestBytes.h"
#include "tests/support/TestFiles.h"

namespace {

constexpr UINT kMessageId = 1166;

struct LinkEvent {
  HANDLE pipe = nullptr;
  LPARAM lParam = 0;
  std::vector<uint8_t> block;  // copy of a received block (whole heap allocation)
  DWORD at = 0;                // GetTickCount when it was taken from the queue

  bool IsConnected() const { return lParam == CNamedPipeLink::kConnected; }
  bool IsDisconnected() const { return lParam == CNamedPipeLink::kDisconnected; }
  bool IsBlock() const { return !IsConnected() && !IsDisconnected(); }
};

// Takes the next event of the link from this thread's queue; a block is copied and freed as
// the owner would free it.
// Bytes that have arrived on the pipe and that nobody has read yet.
DWORD BytesWaitingIn(HANDLE pipe) {
  DWORD available = 0;
  return PeekNamedPipe(pipe, nullptr, 0, nullptr, &available, nullptr) ? available : DWORD(-1);
}

bool NextEvent(LinkEvent* event, DWORD timeoutMs = 5000) {
  const DWORD start = GetTickCount();
  for (;;) {
    MSG msg;
    if (PeekMessageW(&msg, reinterpret_cast<HWND>(-1), kMessageId, kMessageId, PM_REMOVE)) {
      event->pipe = reinterpret_cast<HANDLE>(msg.wParam);
      event->lParam = msg.lParam;
      event->at = GetTickCount();
      event->block.clear();
      if (event->IsBlock()) {
        void* block = reinterpret_cast<void*>(msg.lParam);
        const SIZE_T size = HeapSize(GetProcessHeap(), 0, block);
        event->block.assign(static_cast<uint8_t*>(block), static_cast<uint8_t*>(block) + size);
        CNamedPipeLink::FreeBlock(block);
      }
      return true;
    }
    const DWORD elapsed = GetTickCount() - start;
    if (elapsed >= timeoutMs) return false;
    MsgWaitForMultipleObjects(0, nullptr, FALSE, timeoutMs - elapsed, QS_POSTMESSAGE);
  }
}

std::string ToHex(const std::vector<uint8_t>& bytes) {
  static const char digits[] = "0123456789abcdef";
  std::string out;
  for (uint8_t b : bytes) {
    out.push_back(digits[b >> 4]);
    out.push_back(digits[b & 15]);
  }
  return out;
}

class NamedPipeLinkTest : public ::testing::Test {
 protected:
  void SetUp() override {
    MSG msg;
    PeekMessageW(&msg, nullptr, 0, 0, PM_NOREMOVE);  // this thread's queue must exist
    pipeName_ = L"\\\\.\\pipe\\" + UniqueName(L"qm-link");
  }

  // Starts the capture-product peer on this test's pipe with `script`.
  void StartPeer(const std::wstring& script) {
    ASSERT_TRUE(peer_.Start(L"pictavo_peer.exe", L"--pipe " + QuoteArgument(pipeName_) +
                                                     L" --no-auto-address --run " + QuoteArgument(script)));
  }

  // Stops the link and checks that what is left in the queue is at most the closing event of
  // the one open connection; closes the owner's handles.
  void StopAndDrain(CNamedPipeLink* link, HANDLE open) {
    link->Stop();
    LinkEvent e;
    while (NextEvent(&e, 200)) {
      EXPECT_TRUE(e.IsDisconnected()) << "unexpected event after the last expected one";
      EXPECT_EQ(e.pipe, open);
      if (e.IsDisconnected() && e.pipe) CloseHandle(e.pipe);
      open = nullptr;
    }
    EXPECT_EQ(open, nullptr) << "the open connection was never reported as ended";
  }

  std::wstring pipeName_;
  CPeerProcess peer_;
};

// The owner's side of one whole connection lifecycle, including the client's reconnect after
// the server drops it, with the retry period bounding how soon the new connection comes.
TEST_F(NamedPipeLinkTest, ConnectsDisconnectsAndReconnectsInOrder) {
  StartPeer(L"wait-frame 0 54; drop 0; wait-connect 2; wait-frame 1 52; send-frame 1 1 4100; serve");
  CNamedPipeLink link(pipeName_.c_str(), GetCurrentThreadId(), kMessageId);
  ASSERT_TRUE(link.HasConnectThread());
  link.Start();

  LinkEvent e;
  ASSERT_TRUE(NextEvent(&e));
  ASSERT_TRUE(e.IsConnected());
  HANDLE first = e.pipe;
  ASSERT_NE(first, nullptr);
  EXPECT_EQ(link.ConnectionCount(), 1u);
  const auto hello = FromHex("1a000000 36000000 0000000000000000 5175696c6c6d6572696469616e00");
  ASSERT_TRUE(WritePipeBytes(first, hello.data(), DWORD(hello.size())));

  ASSERT_TRUE(NextEvent(&e));
  ASSERT_TRUE(e.IsDisconnected());
  EXPECT_EQ(e.pipe, first);
  const DWORD droppedAt = e.at;
  // The handle is still the owner's: writing to it fails cleanly instead of reaching a reused
  // handle value.
  const uint8_t probe[8] = {4, 0, 0, 0, 52, 0, 0, 0};
  EXPECT_FALSE(WritePipeBytes(first, probe, sizeof probe, 1000));
  // Nor can its value have gone to a file opened meanwhile.
  wchar_t temp[MAX_PATH], file[MAX_PATH];
  GetTempPathW(MAX_PATH, temp);
  GetTempFileNameW(temp, L"qml", 0, file);
  HANDLE other =
      CreateFileW(file, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_FLAG_DELETE_ON_CLOSE, nullptr);
  EXPECT_NE(other, first);
  CloseHandle(other);
  CloseHandle(first);

  ASSERT_TRUE(NextEvent(&e));
  ASSERT_TRUE(e.IsConnected());
  HANDLE second = e.pipe;
  EXPECT_LT(e.at - droppedAt, 1500u) << "a client link retries every 500 ms";
  ASSERT_TRUE(WritePipeBytes(second, probe, sizeof probe));

  ASSERT_TRUE(NextEvent(&e));
  ASSERT_TRUE(e.IsBlock());
  EXPECT_EQ(e.pipe, second);
  EXPECT_EQ(ToHex(e.block),
            "060000000100000041"
            "00");

  const std::string log = peer_.Log();
  EXPECT_NE(log.find("FRAME conn=0 seq=0 length=26 type=54 data=" + ToHex(hello)), std::string::npos) << log;
  EXPECT_NE(log.find("FRAME conn=1 seq=1 length=4 type=52 data=0400000034000000"), std::string::npos) << log;
  StopAndDrain(&link, second);
  EXPECT_EQ(link.ConnectionCount(), 0u);
}

struct FramingCase {
  const char* name;
  const wchar_t* script;  // peer commands once the link is connected
  // In order: "block:<hex>", "bigblock:<length>" (bytes i & 0xFF), "disconnected".
  std::vector<std::string> expected;
};

void PrintTo(const FramingCase& c, std::ostream* os) { *os << c.name; }

class NamedPipeLinkFraming : public NamedPipeLinkTest, public ::testing::WithParamInterface<FramingCase> {};

TEST_P(NamedPipeLinkFraming, DeliversWholeFramesOrEndsTheConnection) {
  const FramingCase& c = GetParam();
  StartPeer(std::wstring(L"wait-connect 1; ") + c.script + L"; serve");
  CNamedPipeLink link(pipeName_.c_str(), GetCurrentThreadId(), kMessageId);
  link.Start();
  LinkEvent e;
  ASSERT_TRUE(NextEvent(&e));
  ASSERT_TRUE(e.IsConnected());
  HANDLE open = e.pipe;
  for (const std::string& want : c.expected) {
    SCOPED_TRACE(want);
    ASSERT_TRUE(NextEvent(&e, 10000));
    EXPECT_EQ(e.pipe, open);
    if (want == "disconnected") {
      ASSERT_TRUE(e.IsDisconnected());
      CloseHandle(open);
      open = nullptr;
    } else if (want.rfind("bigblock:", 0) == 0) {
      ASSERT_TRUE(e.IsBlock());
      const uint32_t length = uint32_t(std::stoul(want.substr(9)));
      ASSERT_EQ(e.block.size(), size_t(length) + 4);
      uint32_t word;
      memcpy(&word, e.block.data(), 4);
      EXPECT_EQ(word, length);
      size_t wrong = 0;
      for (size_t i = 0; i < length; ++i) wrong += e.block[4 + i] != uint8_t(i);
      EXPECT_EQ(wrong, 0u);
    } else {
      ASSERT_TRUE(e.IsBlock());
      EXPECT_EQ(ToHex(e.block), want.substr(6));
    }
  }
  if (!open) {
    // A connection the link ended itself is followed by a reconnect like any other.
    ASSERT_TRUE(NextEvent(&e, 3000));
    ASSERT_TRUE(e.IsConnected());
    open = e.pipe;
  }
  StopAndDrain(&link, open);
  EXPECT_TRUE(HeapValidate(GetProcessHeap(), 0, nullptr));
}

INSTANTIATE_TEST_SUITE_P(
    Frames, NamedPipeLinkFraming,
    ::testing::Values(
        FramingCase{"ZeroLength",
                    L"send-raw 0 00000000; send-raw 0 05000000 07000000 63",
                    {"block:00000000", "block:050000000700000063"}},
        FramingCase{"TwoFramesInOneWrite",
                    L"send-raw 0 04000000 01000000 05000000 02000000 ff",
                    {"block:0400000001000000", "block:0500000002000000ff"}},
        FramingCase{
            "FrameInThreePieces",
            L"send-raw 0 0a000000 0100; sleep 100; send-raw 0 0000 4142; sleep 100; send-raw 0 43444546",
            {"block:0a00000001000000414243444546"}},
        FramingCase{"LengthSplitTwoAndTwo",
                    L"send-raw 0 0600; sleep 100; send-raw 0 0000; sleep 100; send-raw 0 01000000 4100; "
                    L"send-raw 0 04000000 02000000",
                    {"block:06000000010000004100", "block:0400000002000000"}},
        FramingCase{"EmptyWritesBetweenPieces",
                    L"send-raw 0 08; send-empty 0; sleep 50; send-raw 0 000000; send-empty 0; sleep 50; "
                    L"send-raw 0 34000000 01020304",
                    {"block:080000003400000001020304"}},
        FramingCase{"AllOnesLength", L"send-raw 0 ffffffff 01000000 41424344", {"disconnected"}},
        FramingCase{"OneByteOverTheCap", L"send-raw 0 01000001 01000000", {"disconnected"}},
        FramingCase{"ExactlyTheCap", L"send-raw 0 00000001; send-fill 0 16777216", {"bigblock:16777216"}},
        // The peer goes away inside a frame: no zero-filled block stands in for the rest.
        FramingCase{
            "PeerDropsMidFrame", L"send-raw 0 10000000 01000000 4142; sleep 100; drop 0", {"disconnected"}},
        FramingCase{"OverTheCapAfterAGoodFrame",
                    L"send-raw 0 04000000 09000000; send-raw 0 00000080",
                    {"block:0400000009000000", "disconnected"}}),
    [](const ::testing::TestParamInfo<FramingCase>& info) { return std::string(info.param.name); });

// A stop while a frame body is half read: the pending read is cancelled and completed before
// its buffer goes, nothing is delivered for the frame, and bytes that arrive later land
// nowhere.
TEST_F(NamedPipeLinkTest, StopDuringAHalfReadFrameDeliversNothing) {
  StartPeer(
      L"wait-connect 1; send-raw 0 64000000 01000000; send-fill 0 40; log half-sent; "
      L"wait-frame 0 7; send-fill 0 56; send-raw 0 04000000 05000000; log rest-sent; serve");
  auto* link = new CNamedPipeLink(pipeName_.c_str(), GetCurrentThreadId(), kMessageId);
  link->Start();
  LinkEvent e;
  ASSERT_TRUE(NextEvent(&e));
  ASSERT_TRUE(e.IsConnected());
  HANDLE pipe = e.pipe;
  ASSERT_TRUE(peer_.WaitForLog("LOG half-sent"));
  // The reader has taken every byte sent so far and now waits inside the frame body.
  ASSERT_TRUE(WaitUntil([&] { return BytesWaitingIn(pipe) == 0; }));

  const DWORD start = GetTickCount();
  link->Stop();
  EXPECT_LT(GetTickCount() - start, 2500u) << "a reader notices a stop within one 1,000 ms wait";
  delete link;
  // Blocks of the frame's size, likely at the address of the one just given back: a read left
  // pending would write the rest of the frame into them.
  constexpr size_t kBlockSize = 104;
  std::vector<uint8_t*> probes;
  for (int i = 0; i < 8; ++i) {
    auto* p = static_cast<uint8_t*>(HeapAlloc(GetProcessHeap(), 0, kBlockSize));
    memset(p, 0xEE, kBlockSize);
    probes.push_back(p);
  }
  ASSERT_TRUE(NextEvent(&e, 500));
  EXPECT_TRUE(e.IsDisconnected()) << "no block for a half-read frame";
  EXPECT_EQ(e.pipe, pipe);

  // The owner's handle still holds the pipe open; let the peer finish the frame now.
  const uint8_t go[8] = {4, 0, 0, 0, 7, 0, 0, 0};
  ASSERT_TRUE(WritePipeBytes(pipe, go, sizeof go));
  ASSERT_TRUE(peer_.WaitForLog("LOG rest-sent"));
  // The rest waits in the pipe, where no read takes it (a read left pending would).
  WaitUntil([&] { return BytesWaitingIn(pipe) == 64; }, 2000);
  EXPECT_TRUE(HeapValidate(GetProcessHeap(), 0, nullptr));
  for (uint8_t* p : probes) {
    size_t changed = 0;
    for (size_t i = 0; i < kBlockSize; ++i) changed += p[i] != 0xEE;
    EXPECT_EQ(changed, 0u) << "bytes from the pipe landed in freed memory";
    HeapFree(GetProcessHeap(), 0, p);
  }
  EXPECT_FALSE(NextEvent(&e, 200));
  CloseHandle(pipe);
}

// An owner's write to a peer that has stopped reading gives up after its time-out instead of
// holding the owner's thread for ever.
TEST_F(NamedPipeLinkTest, WriteToAPeerThatStoppedReadingTimesOut) {
  StartPeer(L"wait-connect 1; stop-reading 0; log stopped; serve");
  CNamedPipeLink link(pipeName_.c_str(), GetCurrentThreadId(), kMessageId);
  link.Start();
  LinkEvent e;
  ASSERT_TRUE(NextEvent(&e));
  ASSERT_TRUE(e.IsConnected());
  ASSERT_TRUE(peer_.WaitForLog("LOG stopped"));
  std::vector<uint8_t> frame(1 << 20, 0);
  const DWORD start = GetTickCount();
  EXPECT_FALSE(WritePipeBytes(e.pipe, frame.data(), DWORD(frame.size()), 500));
  const DWORD elapsed = GetTickCount() - start;
  EXPECT_GE(elapsed, 400u);
  EXPECT_LT(elapsed, 2000u);
  StopAndDrain(&link, e.pipe);
}

TEST_F(NamedPipeLinkTest, StopsAtOnceWithoutAConnection) {
  {
    // Never started: its connect thread is still suspended.
    CNamedPipeLink link(pipeName_.c_str(), GetCurrentThreadId(), kMessageId);
    const DWORD start = GetTickCount();
    link.Stop();
    EXPECT_LT(GetTickCount() - start, 500u);
  }
  {
    // Started, but nobody serves the pipe: the connect thread is between retries.
    CNamedPipeLink link(pipeName_.c_str(), GetCurrentThreadId(), kMessageId);
    link.Start();
    Sleep(700);
    const DWORD start = GetTickCount();
    link.Stop();
    EXPECT_LT(GetTickCount() - start, 1500u);
    EXPECT_EQ(link.ConnectionCount(), 0u);
  }
  // A name that cannot be a pipe name leaves the link inert rather than half built.
  std::wstring tooLong(CNamedPipeLink::kNameCapacity, L'x');
  CNamedPipeLink inert(tooLong.c_str(), GetCurrentThreadId(), kMessageId);
  EXPECT_FALSE(inert.HasConnectThread());
  inert.Start();
  inert.Stop();
  LinkEvent e;
  EXPECT_FALSE(NextEvent(&e, 100));
}

// An owner gone before its connection ends cannot be told: the link closes the owner's handle
// itself instead of leaving it open for the rest of the process.
TEST_F(NamedPipeLinkTest, AnEndThatCannotBePostedClosesTheOwnersHandle) {
  StartPeer(L"wait-connect 1; unlisten; wait-frame 0 1; drop 0; serve");
  // The owner: a thread that takes "connected" and ends.
  std::atomic<DWORD> ownerThread{0};
  HANDLE owner = nullptr;
  std::thread target([&] {
    MSG msg;
    PeekMessageW(&msg, nullptr, 0, 0, PM_NOREMOVE);
    ownerThread = GetCurrentThreadId();
    LinkEvent e;
    if (NextEvent(&e, 10000) && e.IsConnected()) owner = e.pipe;
  });
  ASSERT_TRUE(WaitUntil([&] { return ownerThread != 0; }));
  CNamedPipeLink link(pipeName_.c_str(), ownerThread, kMessageId);
  link.Start();
  target.join();
  ASSERT_NE(owner, nullptr);

  // The peer drops the connection once it has this frame; the end finds no owner to tell.
  const uint8_t frame[8] = {4, 0, 0, 0, 1, 0, 0, 0};
  ASSERT_TRUE(WritePipeBytes(owner, frame, sizeof frame));
  ASSERT_TRUE(peer_.WaitForLog("DROP conn=0"));
  ASSERT_TRUE(WaitUntil([&] { return link.ConnectionCount() == 0; }));
  DWORD flags = 0;
  EXPECT_FALSE(GetHandleInformation(owner, &flags) && GetFileType(owner) == FILE_TYPE_PIPE)
      << "the owner's handle of the ended connection is still open";
  link.Stop();
}

// The client side for the server-mode test: a second copy of this program opens two
// connections, sends one frame on each and expects the matching answer on each.
int RunPipeClient(const wchar_t* name) {
  HANDLE pipes[2] = {};
  for (int i = 0; i < 2; ++i) {
    for (int tries = 0; tries < 500 && !pipes[i]; ++tries) {
      HANDLE h = CreateFileW(name, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
      if (h != INVALID_HANDLE_VALUE)
        pipes[i] = h;
      else
        Sleep(10);
    }
    if (!pipes[i]) return 10 + i;
  }
  for (int i = 0; i < 2; ++i) {
    const uint32_t frame[2] = {4, uint32_t(200 + i)};
    DWORD n;
    if (!WriteFile(pipes[i], frame, sizeof frame, &n, nullptr) || n != sizeof frame) return 20 + i;
  }
  for (int i = 0; i < 2; ++i) {
    uint32_t answer[2] = {};
    DWORD n;
    if (!ReadFile(pipes[i], answer, sizeof answer, &n, nullptr) || n != sizeof answer) return 30 + i;
    if (answer[0] != 4 || answer[1] != uint32_t(300 + i)) return 40 + i;
  }
  CloseHandle(pipes[0]);
  CloseHandle(pipes[1]);
  return 0;
}

// A peer that sends faster than the owner takes the frames: the link stops reading at the bound
// (the peer's writes wait in the pipe) and loses nothing once the owner catches up.
TEST_F(NamedPipeLinkTest, StopsReadingWhileTooManyFramesWait) {
  CNamedPipeLink link(pipeName_.c_str(), GetCurrentThreadId(), kMessageId);
  link.Start(true);
  constexpr uint32_t kFrames = 100, kLength = 1024 * 1024;  // 100 MB in all
  std::atomic<uint32_t> written{0};
  std::thread writer([&] {
    HANDLE pipe = INVALID_HANDLE_VALUE;
    for (int i = 0; i < 200 && pipe == INVALID_HANDLE_VALUE; ++i) {
      pipe =
          CreateFileW(pipeName_.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
      if (pipe == INVALID_HANDLE_VALUE) Sleep(20);
    }
    if (pipe == INVALID_HANDLE_VALUE) return;
    std::vector<uint8_t> frame(kLength + 4, 0x5A);
    memcpy(frame.data(), &kLength, 4);
    for (uint32_t i = 0; i < kFrames; ++i) {
      DWORD n = 0;
      if (!WriteFile(pipe, frame.data(), DWORD(frame.size()), &n, nullptr) || n != frame.size()) break;
      ++written;
    }
    CloseHandle(pipe);
  });
  const uint64_t bound = CNamedPipeLink::kMaxWaitingBytes + kLength + 4;
  const DWORD start = GetTickCount();
  while (CNamedPipeLink::WaitingBytes() < CNamedPipeLink::kMaxWaitingBytes && GetTickCount() - start < 20000)
    Sleep(5);
  ASSERT_GE(CNamedPipeLink::WaitingBytes(), CNamedPipeLink::kMaxWaitingBytes) << "the frames never piled up";
  // For a while the pile stays at the bound and the peer cannot write everything.
  for (int i = 0; i < 50; ++i) {
    EXPECT_LE(CNamedPipeLink::WaitingBytes(), bound);
    Sleep(10);
  }
  EXPECT_LT(written.load(), kFrames) << "the link kept reading";

  uint32_t frames = 0;
  HANDLE open = nullptr;
  LinkEvent e;
  while (frames < kFrames && NextEvent(&e, 10000)) {
    if (e.IsConnected()) open = e.pipe;
    if (e.IsBlock()) {
      EXPECT_EQ(e.block.size(), kLength + 4u);
      ++frames;
    }
  }
  writer.join();
  EXPECT_EQ(frames, kFrames);
  EXPECT_EQ(written.load(), kFrames);
  EXPECT_EQ(CNamedPipeLink::DroppedFrames(), 0u);
  while (NextEvent(&e, 2000)) {
    if (e.IsDisconnected()) {
      CloseHandle(e.pipe);
      open = nullptr;
      break;
    }
  }
  link.Stop();
  EXPECT_EQ(open, nullptr);
  EXPECT_EQ(CNamedPipeLink::WaitingBytes(), 0u);
}

TEST_F(NamedPipeLinkTest, ServerModeServesSeveralClientsEachOnItsOwnHandle) {
  CNamedPipeLink link(pipeName_.c_str(), GetCurrentThreadId(), kMessageId);
  link.Start(true);

  wchar_t self[MAX_PATH];
  GetModuleFileNameW(nullptr, self, MAX_PATH);
  std::wstring commandLine = QuoteArgument(self) + L" --pipe-client " + QuoteArgument(pipeName_);
  STARTUPINFOW si{};
  si.cb = sizeof si;
  PROCESS_INFORMATION pi{};
  ASSERT_TRUE(
      CreateProcessW(self, commandLine.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si, &pi));
  CloseHandle(pi.hThread);

  // Connected and block events of the two connections may interleave; answer each frame on
  // the handle it came from.
  std::vector<HANDLE> connected;
  HANDLE frameHandles[2] = {};
  int answered = 0, ended = 0;
  LinkEvent e;
  while (ended < 2 && NextEvent(&e, 10000)) {
    if (e.IsConnected()) {
      connected.push_back(e.pipe);
    } else if (e.IsDisconnected()) {
      ++ended;
      CloseHandle(e.pipe);
    } else {
      ASSERT_EQ(e.block.size(), 8u);
      uint32_t type;
      memcpy(&type, &e.block[4], 4);
      ASSERT_TRUE(type == 200 || type == 201);
      // Each connection is announced before anything arrives on it.
      EXPECT_NE(std::find(connected.begin(), connected.end(), e.pipe), connected.end());
      frameHandles[type - 200] = e.pipe;
      const uint32_t answer[2] = {4, type + 100};
      EXPECT_TRUE(WritePipeBytes(e.pipe, answer, sizeof answer));
      ++answered;
    }
  }
  EXPECT_EQ(connected.size(), 2u);
  EXPECT_NE(frameHandles[0], frameHandles[1]);
  EXPECT_EQ(answered, 2);
  EXPECT_EQ(ended, 2);
  ASSERT_EQ(WaitForSingleObject(pi.hProcess, 5000), WAIT_OBJECT_0);
  DWORD code = 1;
  GetExitCodeProcess(pi.hProcess, &code);
  CloseHandle(pi.hProcess);
  EXPECT_EQ(code, 0u);
  EXPECT_EQ(link.ConnectionCount(), 0u);
  const DWORD start = GetTickCount();
  link.Stop();
  EXPECT_LT(GetTickCount() - start, 2500u) << "a server link notices a stop within one 2,000 ms wait";
}

}  // namespace

int main(int argc, char** argv) {
  int wargc = 0;
  wchar_t** wargv = CommandLineToArgvW(GetCommandLineW(), &wargc);
  if (wargc == 3 && wcscmp(wargv[1], L"--pipe-client") == 0) return RunPipeClient(wargv[2]);
  LocalFree(wargv);
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
