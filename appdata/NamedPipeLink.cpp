#include "appdata/NamedPipeLink.h"

#include "common/LogManager.h"

#include <cstdio>
#include <cstring>
#include <cwchar>

namespace {

constexpr DWORD kClientRetryMs = 500;
constexpr DWORD kServerRetryMs = 500;
constexpr DWORD kPipeBufferBytes = 0x20000;

}  // namespace

CNamedPipeLink::CNamedPipeLink(const wchar_t* pipeName, DWORD targetThreadId, UINT messageId)
    : targetThreadId_(targetThreadId), messageId_(messageId) {
  InitializeCriticalSection(&lock_);
  // Signalled from the start: a link with no connection may be stopped at once.
  noConnectionEvent_ = CreateEventW(nullptr, TRUE, TRUE, nullptr);
  stopEvent_ = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  const size_t length = pipeName ? wcslen(pipeName) : kNameCapacity;
  if (length >= kNameCapacity || !noConnectionEvent_ || !stopEvent_) return;
  wmemcpy(pipeName_, pipeName, length + 1);
  connectThread_ = CreateThread(nullptr, 0, ConnectThreadProc, this, CREATE_SUSPENDED, &connectThreadId_);
}

CNamedPipeLink::~CNamedPipeLink() {
  Stop();
  DeleteCriticalSection(&lock_);
  if (noConnectionEvent_) CloseHandle(noConnectionEvent_);
  if (stopEvent_) CloseHandle(stopEvent_);
}

void CNamedPipeLink::Start(bool server) {
  if (!connectThread_ || started_ || stopped_) return;
  serverFlag_ = server ? 1 : 0;
  started_ = true;
  run_.store(1, std::memory_order_release);
  ResumeThread(connectThread_);
}

void CNamedPipeLink::Stop() {
  if (stopped_) return;
  stopped_ = true;
  run_.store(0, std::memory_order_release);
  if (stopEvent_) SetEvent(stopEvent_);
  if (connectThread_) {
    // A link that was never started still has its connect thread suspended; with the run
    // flag clear it ends as soon as it runs.
    if (!started_) ResumeThread(connectThread_);
    WaitForSingleObject(connectThread_, INFINITE);
    CloseHandle(connectThread_);
    connectThread_ = nullptr;
  }
  if (!noConnectionEvent_) return;
  // No connect thread is left to add a connection, so once the event is set no reader holds
  // an entry; wait for the last one to leave the link entirely.
  WaitForSingleObject(noConnectionEvent_, INFINITE);
  EnterCriticalSection(&lock_);
  HANDLE last = lastReader_;
  lastReader_ = nullptr;
  LeaveCriticalSection(&lock_);
  if (last) {
    WaitForSingleObject(last, INFINITE);
    CloseHandle(last);
  }
}

DWORD CNamedPipeLink::ConnectionCount() {
  EnterCriticalSection(&lock_);
  const DWORD count = connectionCount_;
  LeaveCriticalSection(&lock_);
  return count;
}

bool CNamedPipeLink::CloseConnection(HANDLE ownerPipe) {
  if (!ownerPipe) return false;
  bool found = false;
  EnterCriticalSection(&lock_);
  for (DWORD i = 0; i < connectionCount_; ++i) {
    if (ownerPipes_[i] != ownerPipe) continue;
    // The reader's wait ends on it, and the read it waited for is cancelled.
    if (dropEvents_[i]) SetEvent(dropEvents_[i]);
    found = true;
    break;
  }
  LeaveCriticalSection(&lock_);
  return found;
}

DWORD WINAPI CNamedPipeLink::ConnectThreadProc(LPVOID self) {
  auto* link = static_cast<CNamedPipeLink*>(self);
  if (link->serverFlag_)
    link->RunServer();
  else
    link->RunClient();
  return 0;
}

void CNamedPipeLink::RunClient() {
  while (Running()) {
    if (ConnectionCount() > 0) {
      // Wakes as soon as the connection ends, so a reconnect does not wait out a poll.
      const HANDLE waits[2] = {noConnectionEvent_, stopEvent_};
      WaitForMultipleObjects(2, waits, FALSE, INFINITE);
      continue;
    }
    HANDLE pipe = CreateFileW(pipeName_, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                              FILE_FLAG_OVERLAPPED, nullptr);
    if (pipe == INVALID_HANDLE_VALUE) {
      WaitForStop(kClientRetryMs);  // the server is not there yet, or busy
      continue;
    }
    AddConnection(pipe);
    WaitForStop(kClientRetryMs);
  }
}

void CNamedPipeLink::RunServer() {
  HANDLE connectEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  if (!connectEvent) return;
  while (Running()) {
    HANDLE pipe = CreateNamedPipeW(pipeName_, PIPE_ACCESS_DUPLEX | FILE_FLAG_OVERLAPPED,
                                   PIPE_TYPE_BYTE | PIPE_READMODE_BYTE | PIPE_WAIT, kMaxConnections,
                                   kPipeBufferBytes, kPipeBufferBytes, 0, nullptr);
    if (pipe == INVALID_HANDLE_VALUE) {
      WaitForStop(kServerRetryMs);  // every instance in use, or the name is taken
      continue;
    }
    OVERLAPPED ov{};
    ov.hEvent = connectEvent;
    ResetEvent(connectEvent);
    bool connected = ConnectNamedPipe(pipe, &ov) != FALSE;
    if (!connected) {
      const DWORD error = GetLastError();
      if (error == ERROR_PIPE_CONNECTED) {
        connected = true;  // the client came between creating the instance and this call
      } else if (error == ERROR_IO_PENDING) {
        const HANDLE waits[2] = {connectEvent, stopEvent_};
        const bool stopping = WaitForMultipleObjects(2, waits, FALSE, INFINITE) != WAIT_OBJECT_0;
        DWORD unused = 0;
        if (stopping) {
          CancelIo(pipe);
          GetOverlappedResult(pipe, &ov, &unused, TRUE);
        } else {
          connected = GetOverlappedResult(pipe, &ov, &unused, FALSE) != FALSE;
        }
      }
    }
    if (connected) {
      AddConnection(pipe);
    } else {
      // A client that came and went, or a stop: this instance is spent.
      CloseHandle(pipe);
      WaitForStop(50);
    }
  }
  CloseHandle(connectEvent);
}

bool CNamedPipeLink::AddConnection(HANDLE pipe) {
  HANDLE owner = nullptr;
  if (!DuplicateHandle(GetCurrentProcess(), pipe, GetCurrentProcess(), &owner, 0, FALSE,
                       DUPLICATE_SAME_ACCESS)) {
    CloseHandle(pipe);
    return false;
  }
  EnterCriticalSection(&lock_);
  HANDLE reader = nullptr;
  const DWORD slot = connectionCount_;
  if (slot < kMaxConnections) {
    // The reader looks itself up by id, so the entry is complete before it runs.
    reader = CreateThread(nullptr, 0, ReaderThreadProc, this, CREATE_SUSPENDED, &readerThreadIds_[slot]);
  }
  if (!reader) {
    LeaveCriticalSection(&lock_);
    CloseHandle(owner);
    CloseHandle(pipe);
    return false;
  }
  readerThreads_[slot] = reader;
  dropEvents_[slot] = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  pipes_[slot] = pipe;
  ownerPipes_[slot] = owner;
  connectionCount_ = slot + 1;
  ResetEvent(noConnectionEvent_);
  ResumeThread(reader);
  LeaveCriticalSection(&lock_);
  return true;
}

DWORD WINAPI CNamedPipeLink::ReaderThreadProc(LPVOID self) {
  static_cast<CNamedPipeLink*>(self)->RunReader();
  return 0;
}

namespace {
std::atomic<uint64_t> g_waitingBytes{0};
std::atomic<uint32_t> g_droppedFrames{0};
}  // namespace

uint64_t CNamedPipeLink::WaitingBytes() { return g_waitingBytes.load(); }
uint32_t CNamedPipeLink::DroppedFrames() { return g_droppedFrames.load(); }

void CNamedPipeLink::FreeBlock(void* block) {
  if (!block) return;
  uint32_t length = 0;
  memcpy(&length, block, sizeof length);
  const uint64_t bytes = uint64_t(length) + 4;
  uint64_t was = g_waitingBytes.load();
  while (!g_waitingBytes.compare_exchange_weak(was, was >= bytes ? was - bytes : 0)) {
  }
  HeapFree(GetProcessHeap(), 0, block);
}

bool CNamedPipeLink::WaitForRoom() {
  if (g_waitingBytes.load() <= kMaxWaitingBytes) return Running();
  char line[128];
  snprintf(line, sizeof line, "Pipe reading paused: %llu bytes of frames wait for the owner",
           static_cast<unsigned long long>(g_waitingBytes.load()));
  PostLogLine(LOG_WAVE_MANAGER, line);
  while (Running() && g_waitingBytes.load() > kMaxWaitingBytes) Sleep(10);
  return Running();
}

bool CNamedPipeLink::Post(HANDLE ownerPipe, LPARAM lParam) {
  return PostThreadMessageW(targetThreadId_, messageId_, reinterpret_cast<WPARAM>(ownerPipe), lParam) !=
         FALSE;
}

bool CNamedPipeLink::WaitForStop(DWORD ms) { return WaitForSingleObject(stopEvent_, ms) == WAIT_OBJECT_0; }

bool CNamedPipeLink::WaitIo(HANDLE pipe, HANDLE drop, OVERLAPPED* ov, DWORD* transferred) {
  *transferred = 0;
  const HANDLE waits[3] = {ov->hEvent, stopEvent_, drop};
  if (WaitForMultipleObjects(drop ? 3 : 2, waits, FALSE, INFINITE) != WAIT_OBJECT_0) {
    // The buffer must not be given back while the read may still write into it.
    CancelIo(pipe);
    GetOverlappedResult(pipe, ov, transferred, TRUE);
    return false;
  }
  if (GetOverlappedResult(pipe, ov, transferred, FALSE)) return true;
  return GetLastError() == ERROR_MORE_DATA;  // a message-mode server: the bytes are there
}

bool CNamedPipeLink::ReadExactly(HANDLE pipe, HANDLE drop, OVERLAPPED* ov, void* buffer, DWORD size) {
  auto* bytes = static_cast<BYTE*>(buffer);
  DWORD have = 0;
  while (have < size) {
    if (!Running() || (drop && WaitForSingleObject(drop, 0) == WAIT_OBJECT_0)) return false;
    HANDLE event = ov->hEvent;
    *ov = OVERLAPPED{};
    ov->hEvent = event;
    if (!ReadFile(pipe, bytes + have, size - have, nullptr, ov)) {
      const DWORD error = GetLastError();
      // Broken pipe, not connected or anything else: the client side reconnects anyway, and
      // retrying a persistent error would only spin.
      if (error != ERROR_IO_PENDING && error != ERROR_MORE_DATA) return false;
    }
    DWORD got = 0;
    if (!WaitIo(pipe, drop, ov, &got)) return false;
    have += got;  // a peer's empty write completes with 0 bytes and changes nothing
  }
  return true;
}

void CNamedPipeLink::RunReader() {
  const DWORD self = GetCurrentThreadId();
  HANDLE pipe = nullptr;
  HANDLE owner = nullptr;
  HANDLE selfHandle = nullptr;
  HANDLE drop = nullptr;
  bool found = false;
  EnterCriticalSection(&lock_);
  for (DWORD i = 0; i < connectionCount_; ++i) {
    if (readerThreadIds_[i] == self) {
      pipe = pipes_[i];
      owner = ownerPipes_[i];
      drop = dropEvents_[i];
      selfHandle = readerThreads_[i];
      readerThreads_[i] = nullptr;  // kept by this reader until it hands it to lastReader_
      found = true;
      break;
    }
  }
  LeaveCriticalSection(&lock_);
  if (!found) {
    // Cannot happen with entries completed before the reader resumes; it owns nothing then.
    Post(nullptr, kDisconnected);
    return;
  }

  OVERLAPPED ov{};
  ov.hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  bool announced = false;
  if (ov.hEvent && Post(owner, kConnected)) {
    announced = true;
  } else {
    // The owner never learnt this handle, so it cannot close it.
    CloseHandle(owner);
    owner = nullptr;
  }

  while (announced && WaitForRoom()) {
    uint32_t length = 0;
    if (!ReadExactly(pipe, drop, &ov, &length, sizeof length)) break;
    if (length > kMaxFrameLength) break;  // also keeps length + 4 from wrapping
    auto* block = static_cast<BYTE*>(HeapAlloc(GetProcessHeap(), HEAP_ZERO_MEMORY, size_t(length) + 4));
    if (!block) break;
    memcpy(block, &length, sizeof length);
    if (length > 0 && !ReadExactly(pipe, drop, &ov, block + 4, length)) {
      HeapFree(GetProcessHeap(), 0, block);
      break;
    }
    g_waitingBytes += uint64_t(length) + 4;
    if (!Post(owner, reinterpret_cast<LPARAM>(block))) {
      FreeBlock(block);
      const uint32_t n = ++g_droppedFrames;
      char line[128];
      snprintf(line, sizeof line, "Pipe frame of %u bytes dropped: it could not be posted (%u so far)",
               length, n);
      PostLogLine(LOG_WAVE_MANAGER, line);
    }
  }
  // An owner that never hears of the end cannot close its handle: it is closed here then.
  if (announced && !Post(owner, kDisconnected)) {
    PostLogLine(LOG_WAVE_MANAGER, "Pipe end could not be posted: the owner's handle is closed here");
    CloseHandle(owner);
  }

  EnterCriticalSection(&lock_);
  for (DWORD i = 0; i < connectionCount_; ++i) {
    if (readerThreadIds_[i] != self) continue;
    DisconnectNamedPipe(pipe);  // fails on a client handle; harmless
    CloseHandle(pipe);
    if (dropEvents_[i]) CloseHandle(dropEvents_[i]);
    for (DWORD j = i + 1; j < connectionCount_; ++j) {
      dropEvents_[j - 1] = dropEvents_[j];
      pipes_[j - 1] = pipes_[j];
      ownerPipes_[j - 1] = ownerPipes_[j];
      readerThreads_[j - 1] = readerThreads_[j];
      readerThreadIds_[j - 1] = readerThreadIds_[j];
    }
    --connectionCount_;
    pipes_[connectionCount_] = nullptr;
    dropEvents_[connectionCount_] = nullptr;
    ownerPipes_[connectionCount_] = nullptr;
    readerThreads_[connectionCount_] = nullptr;
    readerThreadIds_[connectionCount_] = 0;
    break;
  }
  if (lastReader_) CloseHandle(lastReader_);
  lastReader_ = selfHandle;
  if (connectionCount_ == 0) SetEvent(noConnectionEvent_);
  LeaveCriticalSection(&lock_);
  if (ov.hEvent) CloseHandle(ov.hEvent);
}

bool WritePipeBytes(HANDLE pipe, const void* data, DWORD size, DWORD timeoutMs) {
  HANDLE event = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  if (!event) return false;
  const BYTE* bytes = static_cast<const BYTE*>(data);
  const DWORD start = GetTickCount();
  DWORD written = 0;
  bool ok = true;
  // do-while: an empty write is a write too (a peer may wait on one).
  do {
    OVERLAPPED ov{};
    ov.hEvent = event;
    if (!WriteFile(pipe, bytes + written, size - written, nullptr, &ov) &&
        GetLastError() != ERROR_IO_PENDING) {
      ok = false;
      break;
    }
    const DWORD elapsed = GetTickCount() - start;
    const DWORD wait = WaitForSingleObject(event, elapsed < timeoutMs ? timeoutMs - elapsed : 0);
    DWORD done = 0;
    if (wait != WAIT_OBJECT_0) {
      CancelIo(pipe);
      GetOverlappedResult(pipe, &ov, &done, TRUE);
      ok = false;
      break;
    }
    if (!GetOverlappedResult(pipe, &ov, &done, FALSE) || (done == 0 && written < size)) {
      ok = false;
      break;
    }
    written += done;
  } while (written < size);
  CloseHandle(event);
  return ok;
}
