// The sound document's transport: chunk selection, recording on and off, pull-driven playback
// (two packets at start, one more per packet that comes back), pause and stop.
#include <algorithm>
#include <cstdlib>
#include <cstring>

#include "common/Locks.h"
#include "common/LogManager.h"
#include "media/document/SoundDocument.h"

#include <commctrl.h>

using Lock = std::lock_guard<RecursiveMutex>;

void CSoundDocument::StopRenderDevice() {
  Lock lock(packetLock);
  ++playGeneration;
  packetsInFlight = 0;
  if (engine) engine->StopRender(outputDeviceId, 0);
}

void CSoundDocument::StartCaptureStreams(bool newTake) {
  if (!engine) return;
  Lock lock(packetLock);
  if (++sessionCounter_ == 0) ++sessionCounter_;  // 0 marks blocks that carry no session
  captureSession_ = sessionCounter_;
  if (newTake) {
    takeFirstSession_ = sessionCounter_;
    appendFailed_ = false;
  }
  // The engine stamps every block of these streams with the value it holds when they open.
  engine->SetTagKeys01(sessionCounter_, engine->streamValues[1]);
  if (captureMask & 1) engine->StartCapture(inputDeviceId, 0, 1);
  if (captureMask & 2) engine->StartCapture(outputDeviceId, 0, 3);
  streamsRunning_ = true;
}

bool CSoundDocument::IsOlderSession(uint32_t session) const {
  const uint32_t first = takeFirstSession_;
  return session != 0 && first != 0 && int32_t(session - first) < 0;
}

void CSoundDocument::EndTake() {
  Lock lock(packetLock);
  StopCaptureStreams();
  const uint32_t session = captureSession_;
  // A paused take's streams ended at the pause; when that end has arrived nothing more comes.
  if (!engine || session == 0 || draining_ || endedSession_ == session) return;
  drainSession_ = session;
  draining_ = true;
  ResetEvent(takeDone_);
  if (!engine->PostCaptureEnd(session)) {
    // Nothing will come after the streams (an engine without capture): the take is whole now.
    draining_ = false;
    SetEvent(takeDone_);
  }
}

void CSoundDocument::CompleteTake(const char* how) {
  Lock lock(packetLock);
  if (!draining_) return;
  draining_ = false;
  if (strcmp(how, "complete") != 0) {
    // Whatever of it still comes is late: it is dropped, not added to whatever happens next.
    uint32_t next = drainSession_ + 1;
    if (next == 0) next = 1;
    takeFirstSession_ = next;
  }
  char line[160];
  const CChunkInfo* chunk = recordingChunk;
  snprintf(line, sizeof line, "Take %s: %u frames in its chunk, %u late blocks dropped so far", how,
           chunk ? chunk->frames : 0u, droppedBlocks_.load());
  PostLogLine(LOG_WAVE_MANAGER, line);
  SetEvent(takeDone_);
  Notify(NOTIFY_TAKE_COMPLETE);
}

bool CSoundDocument::WaitForTakeComplete(DWORD ms) {
  if (!draining_) return true;
  // The worker delivers the end itself; waiting there would only stall it.
  if (GetCurrentThreadId() == workerThreadId || !takeDone_) return !draining_;
  const ULONGLONG deadline = GetTickCount64() + ms;
  for (;;) {
    const ULONGLONG now = GetTickCount64();
    const DWORD left = now >= deadline ? 0 : DWORD(deadline - now);
    const DWORD r = MsgWaitForMultipleObjects(1, &takeDone_, FALSE, left, QS_SENDMESSAGE);
    if (r == WAIT_OBJECT_0) return true;
    if (r != WAIT_OBJECT_0 + 1) return !draining_;
    MSG msg;
    PeekMessageW(&msg, nullptr, 0, 0, PM_NOREMOVE | PM_QS_SENDMESSAGE);  // serves sent messages
    if (left == 0) return !draining_;
  }
}

void CSoundDocument::FinishTake() {
  if (recording) StopEngineDevices();
  if (!draining_) return;
  // The worker delivers the tail itself, after this call: the take keeps draining and its tail
  // still goes to the take's chunk (AppendWithGain), current or not.
  if (GetCurrentThreadId() == workerThreadId) return;
  if (WaitForTakeComplete(kTakeDrainMs)) return;
  CompleteTake("closed without its end");
}

void CSoundDocument::StopCaptureStreams() {
  if (!engine) return;
  Lock lock(packetLock);
  // What the streams still deliver now comes after their count has dropped: it is the session's
  // tail, mixed by stream at its end marker.
  if (streamsRunning_) {
    tailSession_ = captureSession_;
    tailStreams_ = engine->GetCaptureDeviceCount();
  }
  streamsRunning_ = false;
  if (captureMask & 1) engine->StopCapture(inputDeviceId, 0);
  if (captureMask & 2) engine->StopCapture(outputDeviceId, 0);
}

void CSoundDocument::StopEngineDevices() {
  Lock lock(packetLock);
  if (recording)
    EndTake();
  else
    StopCaptureStreams();
  StopRenderDevice();
  recording = false;
  playing = false;
  paused = false;
}

void CSoundDocument::SetPositionBarRange(uint32_t frames) {
  if (!positionBar) return;
  // The bar lives on the UI thread; the worker must not wait for it.
  if (GetWindowThreadProcessId(positionBar, nullptr) == GetCurrentThreadId())
    SendMessageW(positionBar, PBM_SETRANGE32, 0, frames);
  else
    PostMessageW(positionBar, PBM_SETRANGE32, 0, frames);
}

void CSoundDocument::SetPositionBarPos(uint32_t frames) {
  if (!positionBar) return;
  if (GetWindowThreadProcessId(positionBar, nullptr) == GetCurrentThreadId())
    SendMessageW(positionBar, PBM_SETPOS, frames, 0);
  else
    PostMessageW(positionBar, PBM_SETPOS, frames, 0);
}

void CSoundDocument::SelectChunk(int index) {
  FinishTake();  // the take's last blocks belong to the chunk it was recorded in
  Lock lock(packetLock);
  StopEngineDevices();
  cursorColumn = 0;
  cursorFrame = 0;
  playPosition = 0;
  if (index < -1 || index >= GetChunkCount()) return;

  if (CChunkInfo* current = GetCurrentChunk()) {
    if (SaveChunk(currentChunk)) {
      FreeChunkBuffer(current);
      current->playOffset = 0;
    } else {
      // Freeing it would lose the recording: it stays in memory until a save succeeds.
      PostLogLinef(LOG_WAVE_MANAGER, "Could not save chunk %d; kept in memory", currentChunk.load());
    }
  }
  // A take still draining (only on the worker) keeps its chunk for its tail.
  if (!draining_) recordingChunk = nullptr;
  currentChunk = index;
  if (CChunkInfo* chunk = GetChunk(index)) {
    LoadChunk(index);
    SetPositionBarRange(chunk->frames);
    SetPositionBarPos(0);
  }
  RedrawWaveform(0, framesPerPixel);
  Notify(NOTIFY_CHUNK_IDLE);
}

void CSoundDocument::SelectNextChunk() {
  FinishTake();
  Lock lock(packetLock);
  if (!GetCurrentChunk()) {
    int index = NewChunk();
    if (index < 0) return;
    currentChunk = index;
  }
  if (currentChunk + 1 >= GetChunkCount() && NewChunk() < 0) return;
  SelectChunk(currentChunk + 1);
}

void CSoundDocument::SelectPrevChunk() {
  FinishTake();
  Lock lock(packetLock);
  if (currentChunk >= 1) SelectChunk(currentChunk - 1);
}

void CSoundDocument::ToggleRecording() {
  // A new take starts after the last one is whole: its tail must not land in this one's chunk.
  if (!recording) FinishTake();
  Lock lock(packetLock);
  const bool wasPlaying = playing;
  if (playing) {
    StopRenderDevice();
    playing = false;
  }
  if (!recording) {
    StopEngineDevices();
    // Leftovers of an earlier recording never reach this one.
    ReleaseParked();
    if (!GetCurrentChunk()) {
      // No chunk, or none selected: record into a new one rather than into some old chunk.
      int index = NewChunk();
      if (index < 0) {
        PostLogLine(LOG_WAVE_MANAGER, "Recording not started: no chunk could be made");
        if (wasPlaying) Notify(NOTIFY_PLAY_ENDED);
        return;
      }
      currentChunk = index;
    }
    CChunkInfo* chunk = GetCurrentChunk();
    EnsureSoundFormat();
    if (overwriteOnRecord) {
      EmptyChunk(chunk);
    } else if (!LoadChunk(currentChunk)) {
      // Appending to a chunk whose sound is not in memory would overwrite it when saved.
      PostLogLine(LOG_WAVE_MANAGER, "Recording not started: the chunk could not be loaded");
      if (wasPlaying) Notify(NOTIFY_PLAY_ENDED);
      return;
    }
    playPosition = chunk->frames;
    recordingChunk = chunk;
    StartCaptureStreams(true);
    recording = true;
    modified = 1;
  } else {
    if (paused) TogglePause();
    EndTake();
    recording = false;
    RedrawWaveform(0, framesPerPixel);
  }
  Notify(NOTIFY_TRANSPORT_CHANGED);
  Notify(recording ? NOTIFY_CHUNK_RECORDING : NOTIFY_CHUNK_IDLE);
}

void CSoundDocument::EndPlayback(CChunkInfo* chunk) {
  if (chunk) chunk->playOffset = 0;
  playing = false;
  paused = false;
  Notify(NOTIFY_PLAY_ENDED);
}

void CSoundDocument::StartPlayback() {
  if (recording) {
    Lock lock(packetLock);
    if (recording) {
      if (paused) TogglePause();
      ToggleRecording();
    }
  }
  // The take just stopped plays whole: its tail arriving during playback would move the position.
  FinishTake();
  Lock lock(packetLock);
  if (!paused) playPosition = cursorFrame.load();
  const bool wasPlaying = playing && !paused;
  StopRenderDevice();
  CChunkInfo* chunk = GetCurrentChunk();
  if (!chunk) {
    playing = false;
    paused = false;
    if (wasPlaying) Notify(NOTIFY_PLAY_ENDED);
    return;
  }
  LoadChunk(currentChunk);
  const uint32_t align = BlockAlign();
  const uint32_t available = (chunk->buffer && align) ? chunk->used / align : 0;
  if (playPosition > available) playPosition = available;

  bool opened = engine && engine->StartRender(outputDeviceId, 0);
  if (!opened && engine) {
    const auto failure = engine->TakeFailureText();
    if (!failure.first.empty()) Report(failure.first.c_str(), failure.second.c_str(), MB_OK);
  }
  chunk->playOffset = playPosition * align;
  const uint32_t generation = playGeneration;
  for (int i = 0; i < 2; ++i) {
    CBufferRecord* packet = opened ? NextPlaybackPacket(chunk) : nullptr;
    if (packet) {
      if (engine->PlayBlock(packet, 0)) ++packetsInFlight;
      PostLogLine(LOG_WAVE_MANAGER, "Precaching sound buffer");
    } else {
      PostLogLine(LOG_WAVE_MANAGER, "Next buffer is zero in precache");
    }
  }
  playing = true;
  paused = false;
  Notify(NOTIFY_TRANSPORT_CHANGED);
  // Nothing to play (cursor at the end, chunk not loadable, device not open): end at once.
  if (packetsInFlight == 0 && generation == playGeneration) {
    EndPlayback(chunk);
    Notify(NOTIFY_PROGRESS);
  }
}

uint32_t CSoundDocument::FramesPlaybackWouldPlay() {
  Lock lock(packetLock);
  CChunkInfo* chunk = GetCurrentChunk();
  if (!chunk || !LoadChunk(currentChunk)) return 0;
  const uint32_t align = BlockAlign();
  const uint32_t available = (chunk->buffer && align) ? std::min(chunk->used, chunk->capacity) / align : 0;
  const uint32_t from = paused ? playPosition.load() : cursorFrame.load();
  return from < available ? available - from : 0;
}

CBufferRecord* CSoundDocument::NextPlaybackPacket(CChunkInfo* chunk) {
  Lock lock(packetLock);
  const uint32_t align = BlockAlign();
  if (!chunk || !chunk->buffer || !engine || align == 0) return nullptr;
  int64_t step = int64_t(engine->framesPerBuffer) * align;
  if (step <= 0) step = int64_t(wavHeader.samplesPerSec / 10) * align;
  const int64_t left = int64_t(std::min(chunk->used, chunk->capacity)) - int64_t(chunk->playOffset);
  int64_t n = std::min(step, left);
  n -= n % align;  // whole frames only
  if (n <= 0) return nullptr;

  CBufferRecord* packet = CreateBufferRecord(uint32_t(n) + kBufferHeaderBytes);
  if (!packet) return nullptr;
  packet->kind = kBufferKindAudio;
  packet->size = uint32_t(n) + kBufferHeaderBytes;
  packet->payloadBytes = 0;
  packet->documentSerial = serial;
  packet->trackIndex = int32_t(trackIndex);
  BufferBlockHeader* header = PlayBlockHeader(packet);
  memset(header, 0, sizeof *header);
  header->channels = wavHeader.channels;
  header->sampleRate = wavHeader.samplesPerSec;
  header->streamKey = uint32_t(reinterpret_cast<uintptr_t>(this));
  header->frameCount = uint32_t(n) / align;
  header->bitsPerSample = wavHeader.bitsPerSample;
  header->reserved = playGeneration;
  header->timestamp = GetTickCount64();
  memcpy(packet->data->data + kBufferHeaderBytes, chunk->buffer + chunk->playOffset, size_t(n));
  chunk->playOffset += uint32_t(n);
  return packet;
}

void CSoundDocument::OnSoundOut(CBufferRecord** record) {
  if (!record || !*record || (*record)->documentSerial != serial) return;
  CBufferRecord*& packet = *record;
  Lock lock(packetLock);
  CChunkInfo* chunk = GetCurrentChunk();
  const BufferBlockHeader* header =
      packet->data && packet->data->size >= kBufferHeaderBytes ? PlayBlockHeader(packet) : nullptr;
  if (!chunk || !header || header->reserved != playGeneration || !playing) {
    ReleaseBufferRecord(packet);  // ours, but from a playback that is over
    return;
  }
  if (packetsInFlight > 0) --packetsInFlight;
  const uint32_t align = BlockAlign();
  if (align && packet->size > kBufferHeaderBytes) playPosition += (packet->size - kBufferHeaderBytes) / align;
  SetPositionBarPos(playPosition);

  CBufferRecord* next = nullptr;
  if (!paused && (next = NextPlaybackPacket(chunk)) != nullptr) {
    if (engine->PlayBlock(next, 0)) ++packetsInFlight;
  }
  if (packetsInFlight == 0) EndPlayback(chunk);

  // Keep the play position in view.
  const int64_t pos = playPosition, start = viewStartFrame, length = viewLengthFrames;
  const int64_t frames = chunk->frames, half = length / 2;
  int64_t newStart = start;
  if (start + half < pos) {
    if (frames > start + length) newStart = std::min(pos - half, frames - length);
  } else if (pos < start) {
    newStart = pos;
  }
  if (newStart < 0) newStart = 0;
  RedrawWaveform(uint32_t(newStart), framesPerPixel);
  DrawSelectionAndCursor(nullptr);

  Notify(NOTIFY_PROGRESS);
  ReleaseBufferRecord(packet);
}

void CSoundDocument::TogglePause() {
  Lock lock(packetLock);
  if (playing && paused) {
    StartPlayback();
    paused = false;
  } else if (playing) {
    StopTransport();
    playing = true;
    paused = true;
  } else if (recording && paused) {
    Notify(NOTIFY_TRANSPORT_CHANGED);
    StartCaptureStreams();
    paused = false;
  } else if (recording) {
    Notify(NOTIFY_REC_PAUSED);
    StopCaptureStreams();
    paused = true;
  }
}

bool CSoundDocument::ClearCurrentChunk() {
  Lock lock(packetLock);
  StopTransport();
  CChunkInfo* chunk = GetCurrentChunk();
  if (!chunk) return false;
  if (draining_) {
    // The take still draining belonged to the chunk's old sound: its tail is late from now on.
    uint32_t next = drainSession_ + 1;
    if (next == 0) next = 1;
    takeFirstSession_ = next;
  }
  recordingChunk = nullptr;
  ReleaseParked();
  EmptyChunk(chunk);
  playPosition = 0;
  return true;
}

void CSoundDocument::StopTransport() {
  Lock lock(packetLock);
  if (recording) {
    if (paused) TogglePause();
    ToggleRecording();
  }
  if (playing) {
    StopRenderDevice();
    playing = false;
    Notify(NOTIFY_PLAY_ENDED);
  }
  paused = false;
}
