// One end of a named pipe that keeps itself connected and turns everything that arrives into
// thread messages for one owner thread.
//
// Events, all posted with the link's message id:
//   wParam = the owner's pipe handle, lParam = 0            a connection is established
//   wParam = the owner's pipe handle, lParam = block        one frame arrived (HeapFree it)
//   wParam = the owner's pipe handle, lParam = -1           the connection ended
// The handle in wParam belongs to the owner: it may write whole frames to it between
// "connected" and "disconnected", and must CloseHandle it once it has handled "disconnected"
// (a "disconnected" that cannot be posted leaves it to the link, which closes it then).
// The link reads through a handle of its own, so a handle the owner still uses never refers
// to another object while the owner holds it. The handle is overlapped: write with
// WritePipeBytes. Per connection the owner sees one "connected", any number of blocks, then
// one "disconnected", in that order.
//
// A received block is allocated on the process heap: u32 L (the length word), then the L
// bytes that followed it on the pipe.
#pragma once

#include <windows.h>

#include <atomic>
#include <cstdint>

class CNamedPipeLink {
 public:
  static constexpr DWORD kMaxConnections = 16;
  static constexpr DWORD kNameCapacity = 1024;
  // A length word above this ends the connection: no peer of ours sends frames this big.
  static constexpr uint32_t kMaxFrameLength = 16u * 1024 * 1024;
  static constexpr LPARAM kConnected = 0;
  static constexpr LPARAM kDisconnected = -1;

  // The name must fit kNameCapacity wide characters with its NUL; a longer name leaves the
  // link without a connect thread (Start then does nothing).
  CNamedPipeLink(const wchar_t* pipeName, DWORD targetThreadId, UINT messageId);
  // Stops the link when the owner has not done so.
  ~CNamedPipeLink();
  CNamedPipeLink(const CNamedPipeLink&) = delete;
  CNamedPipeLink& operator=(const CNamedPipeLink&) = delete;

  // server false: connect as a client and reconnect after every disconnection;
  // server true: create up to 16 pipe instances and accept clients on them.
  void Start(bool server = false);
  // Ends the connect thread and every reader, waiting for them. Blocks posted meanwhile stay
  // with the owner. Safe to call twice, and on a link that was never started.
  void Stop();

  // Ends the connection whose owner handle this is, as a broken pipe would: its reader stops and
  // posts "disconnected" (the owner closes the handle then, as always). For a writer whose frame
  // went out only in part: the peer must not read the rest of the stream out of step. False when
  // no connection has that handle. Any thread.
  bool CloseConnection(HANDLE ownerPipe);

  bool HasConnectThread() const { return connectThread_ != nullptr; }
  DWORD ConnectionCount();

  // Received frames posted to owners and not yet freed, in bytes, over every link of the
  // process. While more than kMaxWaitingBytes wait, the readers read nothing more (the peer's
  // writes then wait in the pipe), so a peer faster than the owner cannot fill the memory.
  static constexpr uint64_t kMaxWaitingBytes = 64ull * 1024 * 1024;
  static uint64_t WaitingBytes();
  // How an owner frees a received block: HeapFree, and the block no longer counts as waiting.
  static void FreeBlock(void* block);
  // Frames read and then dropped because their event could not be posted, in the process.
  static uint32_t DroppedFrames();

 private:
  struct ReaderStart;

  static DWORD WINAPI ConnectThreadProc(LPVOID self);
  static DWORD WINAPI ReaderThreadProc(LPVOID self);
  void RunClient();
  void RunServer();
  // Registers a connected pipe and starts its reader; closes the pipe when that fails.
  bool AddConnection(HANDLE pipe);
  void RunReader();
  bool Post(HANDLE ownerPipe, LPARAM lParam);
  // Waits while too many received bytes wait for the owners; false when the link stops.
  bool WaitForRoom();
  // Waits for the I/O or the stop. Returns false when the I/O failed or the link stops; a
  // stopped read is cancelled and has completed before this returns.
  bool WaitIo(HANDLE pipe, HANDLE drop, OVERLAPPED* ov, DWORD* transferred);
  // Reads exactly `size` bytes, over as many completions as the pipe needs; false also once
  // `drop` (the connection's CloseConnection event) is set.
  bool ReadExactly(HANDLE pipe, HANDLE drop, OVERLAPPED* ov, void* buffer, DWORD size);
  // Waits up to ms; true when the link is stopping.
  bool WaitForStop(DWORD ms);
  bool Running() const { return run_.load(std::memory_order_acquire) != 0; }

  DWORD targetThreadId_;
  UINT messageId_;
  HANDLE connectThread_ = nullptr;
  DWORD connectThreadId_ = 0;
  std::atomic<uint32_t> run_{0};
  wchar_t pipeName_[kNameCapacity] = {};
  HANDLE pipes_[kMaxConnections] = {};       // the link's own handles, read by the readers
  HANDLE ownerPipes_[kMaxConnections] = {};  // the owner's duplicates, named in the events
  DWORD connectionCount_ = 0;
  CRITICAL_SECTION lock_;
  HANDLE readerThreads_[kMaxConnections] = {};
  DWORD readerThreadIds_[kMaxConnections] = {};
  HANDLE dropEvents_[kMaxConnections] = {};  // manual reset; set by CloseConnection
  // Manual reset; signalled exactly while the count is 0, changed only under lock_.
  HANDLE noConnectionEvent_ = nullptr;
  // Manual reset; set by Stop, so every wait of the link's threads ends at once.
  HANDLE stopEvent_ = nullptr;
  // The thread handle of the reader that removed its entry last; Stop waits for it so that no
  // reader still runs inside the link when it is freed.
  HANDLE lastReader_ = nullptr;
  uint32_t serverFlag_ = 0;
  bool started_ = false;
  bool stopped_ = false;
};

// Writes all bytes to an overlapped pipe handle and waits for the completion, at most
// timeoutMs (a peer that stops reading must not hold the writer for ever); a write that
// times out is cancelled. Returns true when every byte was written.
bool WritePipeBytes(HANDLE pipe, const void* data, DWORD size, DWORD timeoutMs = 5000);
