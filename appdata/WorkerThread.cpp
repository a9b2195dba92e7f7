// The worker thread: played and captured buffers, the two pipes' events, the capture product's
// messages and the streaming of the Student recording.
#include <atomic>
#include <cstring>
#include <memory>
#include <utility>

#include "appdata/AppData.h"
#include "audio/BufferRecord.h"
#include "audio/SoundWorks.h"
#include "common/Locks.h"
#include "common/LogManager.h"
#include "common/Prompt.h"
#include "media/document/SoundDocument.h"

namespace {

struct WorkerBox {
  std::wstring text;
  std::wstring caption;
  UINT style;
};

// A peer that floods the pipe with text must not exhaust the process with box threads.
std::atomic<LONG> g_openWorkerBoxes{0};

DWORD WINAPI WorkerBoxThread(LPVOID param) {
  std::unique_ptr<WorkerBox> box(static_cast<WorkerBox*>(param));
  ShowPrompt(nullptr, box->text.c_str(), box->caption.c_str(), box->style);
  --g_openWorkerBoxes;
  return 0;
}

void StartBoxThread(WorkerBox* box);

}  // namespace

// A box on the worker's own thread would drop the thread messages posted to it while it is up.
void ShowBoxOnOwnThread(const wchar_t* text, const wchar_t* caption, UINT style) {
  StartBoxThread(new WorkerBox{text, caption, style});
}

namespace {

void StartBoxThread(WorkerBox* box) {
  if (++g_openWorkerBoxes > LONG(kMaxWorkerBoxes)) {
    --g_openWorkerBoxes;
    delete box;
    PostLogLine(LOG_WAVE_MANAGER, "Too many message boxes open: one more was not shown");
    return;
  }
  HANDLE thread =
      CreateThread(nullptr, 256 * 1024, WorkerBoxThread, box, STACK_SIZE_PARAM_IS_A_RESERVATION, nullptr);
  if (thread) {
    CloseHandle(thread);
  } else {
    delete box;
    --g_openWorkerBoxes;
    PostLogLine(LOG_WAVE_MANAGER, "A message box could not be shown");
  }
}

}  // namespace

DWORD WINAPI CAppData::WorkerThreadProc(LPVOID self) {
  static_cast<CAppData*>(self)->RunWorker();
  return 0;
}

void CAppData::RunWorker() {
  while (!PostThreadMessageW(GetCurrentThreadId(), WM_USER, 0, 0)) Sleep(50);
  if (workerReady_) SetEvent(workerReady_);
  MSG msg;
  while (GetMessageW(&msg, nullptr, 0, 0) > 0) {
    switch (msg.message) {
      case WM_SOUND_OUT: {
        PostLogLine(LOG_WAVE_MANAGER, "WM_SOUND_OUT message");
        auto* record = reinterpret_cast<CBufferRecord*>(msg.wParam);
        if (studentTrack) studentTrack->OnSoundOut(&record);
        if (record && masterTrack) masterTrack->OnSoundOut(&record);
        // Neither track took it: nobody else will.
        if (record) ReleaseBufferRecord(record);
        break;
      }
      case WM_SOUND_IN:
        OnSoundIn(reinterpret_cast<CBufferRecord*>(msg.wParam), msg.lParam);
        break;
      case WM_FRAMEWORK_PIPE_EVENT:
        OnFrameworkPipeMessage(reinterpret_cast<HANDLE>(msg.wParam), msg.lParam);
        break;
      case WM_CAPTURE_PIPE_EVENT:
        OnCapturePipeMessage(reinterpret_cast<HANDLE>(msg.wParam), msg.lParam);
        break;
      case WM_WORKER_BARRIER:
        if (msg.lParam) SetEvent(reinterpret_cast<HANDLE>(msg.lParam));
        break;
      default:
        break;
    }
    ShowWorkerTrackReports();
  }
}

// What the worker's calls into the tracks had to tell the user (a chunk that pipe audio selected
// cannot be loaded, a recording that stopped): shown on a thread of its own, after the call.
void CAppData::ShowWorkerTrackReports() {
  for (CSoundDocument* track : {masterTrack, studentTrack}) {
    if (!track) continue;
    for (const TrackReport& r : track->TakeReports(GetCurrentThreadId()))
      ShowBoxOnOwnThread(r.text.c_str(), r.caption.c_str(), r.style);
  }
}

void CAppData::OnSoundIn(CBufferRecord* record, LPARAM session) {
  const bool final = record == nullptr;
  if (studentTrack) {
    if (record)
      studentTrack->OnSoundIn(record);
    else
      studentTrack->OnCaptureEnd(uint32_t(session));
  } else if (record) {
    ReleaseBufferRecord(record);
  }
  if (streaming && !StreamStudentChunk(final)) {
    ShowBoxOnOwnThread(L"StreamingMode will be disabled", L"Error streaming", MB_OK);
    streaming = 0;
  }
}

void CAppData::OnFrameworkPipeMessage(HANDLE pipe, LPARAM lParam) {
  if (lParam == CNamedPipeLink::kConnected) {
    frameworkPipe = pipe;
  } else if (lParam == CNamedPipeLink::kDisconnected) {
    if (frameworkPipe == pipe) frameworkPipe = nullptr;
    if (pipe) CloseHandle(pipe);
  } else {
    CNamedPipeLink::FreeBlock(reinterpret_cast<void*>(lParam));  // no framework message is read
  }
}

void CAppData::OnCapturePipeMessage(HANDLE pipe, LPARAM lParam) {
  if (lParam == CNamedPipeLink::kConnected) {
    static const std::vector<uint8_t> hello = BuildHelloFrame();
    static const std::vector<uint8_t> request = BuildStationAddressRequest();
    // The greeting comes first on every connection: the handle is published for other writers
    // (the UI thread's mixer query) only once it is out. Failures of the greeting are not
    // reported; a failed write closes the connection.
    bool query = false;
    {
      std::lock_guard<Mutex> lock(captureWriteLock_);
      if (!WriteFrameLocked(pipe, hello.data(), DWORD(hello.size())) ||
          !WriteFrameLocked(pipe, request.data(), DWORD(request.size())) ||
          !WriteFrameLocked(pipe, nullptr, 0))
        return;
      capturePipe = pipe;
      query = std::exchange(mixerQueryPending_, false);
    }
    if (query) {
      const std::vector<uint8_t> frame = BuildMixerQueryFrame();
      if (WriteCaptureFrameTo(pipe, frame.data(), DWORD(frame.size()))) WriteCaptureFrameTo(pipe, nullptr, 0);
    }
    return;
  }
  if (lParam == CNamedPipeLink::kDisconnected) {
    std::lock_guard<Mutex> lock(captureWriteLock_);
    if (capturePipe == pipe) capturePipe = nullptr;
    if (pipe) CloseHandle(pipe);
    return;
  }
  void* block = reinterpret_cast<void*>(lParam);
  const SIZE_T size = HeapSize(GetProcessHeap(), 0, block);
  PipeFrameView frame;
  if (size != SIZE_T(-1) && DecodePipeFrame(block, size, &frame)) {
    HandleCaptureFrame(frame);
  } else {
    PostLogLine(LOG_WAVE_MANAGER, "Capture pipe frame ignored: it does not fit its length");
  }
  CNamedPipeLink::FreeBlock(block);
}

void CAppData::HandleCaptureFrame(const PipeFrameView& frame) {
  switch (frame.type) {
    case PIPE_TEXT:
      ShowBoxOnOwnThread(frame.text.c_str(), L"Pipe Data", MB_ICONINFORMATION);
      break;
    case PIPE_AUDIO:
      HandlePipeAudio(frame);
      break;
    case PIPE_STATION_ADDRESS:
      ownStationAddress = frame.address;
      break;
    case PIPE_MIXER_VALUES: {
      const uint32_t input = mixerInput;
      if ((input == 1 || input == 2) && frame.mixerWords >= input) mixerValue = frame.mixerValues[input - 1];
      break;
    }
    default:
      break;
  }
}

void CAppData::HandlePipeAudio(const PipeFrameView& frame) {
  if (!AudioFrameIsForStation(frame, ownStationAddress)) return;
  // A load replaces the Master's chunks and format as it goes: audio written now would be freed
  // by it or land in the wrong format.
  if ((masterTrack && masterTrack->loading) || (studentTrack && studentTrack->loading)) {
    PostLogLine(LOG_WAVE_MANAGER, "Pipe audio dropped: the track is loading a file");
    return;
  }
  const int index = int(frame.chunkIndex);
  for (CSoundDocument* track : {masterTrack, studentTrack}) {
    if (!track) return;
    std::lock_guard<RecursiveMutex> lock(track->PacketLock());
    if (track->currentChunk == index) continue;
    while (track->GetChunkCount() < index + 1) {
      const int before = track->GetChunkCount();
      if (track->NewChunk() < 0 || track->GetChunkCount() <= before) {
        PostLogLine(LOG_WAVE_MANAGER, "Pipe audio ignored: no chunk could be made");
        return;
      }
    }
    track->SelectChunk(index);
  }
  if (!masterTrack) return;
  // Checked again under the lock that the load takes to free the chunks: a load that starts now
  // frees them only after this write.
  std::lock_guard<RecursiveMutex> lock(masterTrack->PacketLock());
  if (masterTrack->loading) {
    PostLogLine(LOG_WAVE_MANAGER, "Pipe audio dropped: the track is loading a file");
    return;
  }
  masterTrack->WriteChunkPcm(frame.sampleOffset, frame.byteCount, frame.pcm);
}

bool CAppData::StreamStudentChunk(bool final) {
  CSoundDocument* track = studentTrack;
  if (!track) return true;
  uint32_t n = 0;
  uint32_t offset = streamedSamples;
  int index = -1;
  // Asked before the track's lock: the pipe's lock may be held for a whole write by the UI thread,
  // and the track's audio threads must not wait that long.
  const bool connected = GetCapturePipe() != nullptr;
  {
    std::lock_guard<RecursiveMutex> lock(track->PacketLock());
    index = track->currentChunk;
    const CChunkInfo* chunk = track->GetChunk(index);
    if (index == -1 || track->wavHeader.samplesPerSec == 0 || !chunk) return true;
    // The count belongs to the chunk it was streamed from; another chunk starts again.
    if (streamedSamples && (chunk != streamedChunk_ || index != streamedChunkIndex_)) {
      streamedSamples = 0;
      streamedChunk_ = nullptr;
      streamedChunkIndex_ = -1;
      offset = 0;
    }
    if (chunk->frames == 0) return true;
    if (streamedSamples == 0 && final) return true;
    if (!connected) return false;
    n = StreamBlockSamples(chunk->frames, streamedSamples, final);
    if (n == 0) return true;
    // Only bytes really held in memory go out.
    const uint64_t end = (uint64_t(offset) + n) * 2;
    if (!chunk->buffer || chunk->used < end) {
      if (final) streamedSamples = 0;
      return true;
    }
    EnterCriticalSection(&recipientLock);
    BuildForwardFrame(streamFrame_, uint32_t(index), offset, recipients,
                      recipientCount < kMaxRecipients ? recipientCount : kMaxRecipients,
                      chunk->buffer + size_t(offset) * 2, n * 2);
    LeaveCriticalSection(&recipientLock);
    streamedChunk_ = chunk;
    streamedChunkIndex_ = index;
  }
  // Outside the track's lock: a slow peer holds up only the worker.
  const bool ok = WriteCaptureFrame(streamFrame_.data(), DWORD(streamFrame_.size()));
  if (final) {
    streamedSamples = 0;
    streamedChunk_ = nullptr;
    streamedChunkIndex_ = -1;
  } else {
    streamedSamples += n;
  }
  return ok;
}
