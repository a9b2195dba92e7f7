// The sound document's model: construction and destruction, notifications, chunks and their
// temp files, device ids, chunk texts and endpoint volume.
#include "common/Locks.h"
#include "media/document/SoundDocument.h"

#include <endpointvolume.h>
#include <mmdeviceapi.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

extern "C" {
#include <libavutil/channel_layout.h>
#include <libavutil/samplefmt.h>
#include <libswresample/swresample.h>
}

#include "common/LogManager.h"
#include "common/SharedHelpers.h"
#include "media/soundfile/PartialFile.h"

namespace {

std::atomic<uint32_t> g_documentSerials{0};

}  // namespace

CSoundDocument::CSoundDocument(uint32_t workerThreadId_, const std::wstring& name, void* sharedRecord_) {
  serial = ++g_documentSerials;
  takeDone_ = CreateEventW(nullptr, TRUE, TRUE, nullptr);
  sharedRecord = sharedRecord_;
  workerThreadId = workerThreadId_;
  SetDefaultFormat();

  engine = CreateTrackEngine(*this);

  recording = false;
  playing = false;
  AVChannelLayout mono = AV_CHANNEL_LAYOUT_MONO;
  if (swr_alloc_set_opts2(&converter, &mono, AV_SAMPLE_FMT_S16, 44100, &mono, AV_SAMPLE_FMT_FLT, 44100, 0,
                          nullptr) < 0 ||
      swr_init(converter) < 0) {
    swr_free(&converter);
    PostLogLine(LOG_WAVE_MANAGER, "Could not create the recording sample converter");
  }

  CreateTempFolder(name);
  ClearTempFolder();
  currentChunk = -1;
}

CSoundDocument::~CSoundDocument() {
  if (outputVolume) outputVolume->Release();
  if (inputVolume) inputVolume->Release();
  outputVolume = inputVolume = nullptr;

  // A load waiting for another process's decode gives up now.
  closing = true;
  for (HANDLE* thread : {&loadThread, &saveThread}) {
    if (*thread) {
      WaitServingSentMessages(*thread, INFINITE);
      CloseHandle(*thread);
      *thread = nullptr;
    }
  }

  FreeAllChunks();
  {
    std::lock_guard<RecursiveMutex> lock(packetLock);
    FreeChunkList(asideChunks);
    wholeMode = false;
    ReleaseParked();
  }
  swr_free(&converter);

  // ResetSoundData without its notification: nobody may receive a pointer to a dying document.
  if (sourceWav) {
    CloseHandle(sourceWav);
    sourceWav = nullptr;
  }
  free(loadedPath);
  loadedPath = nullptr;
  ClearTempFolder();
  if (tempFolderLock_) CloseHandle(tempFolderLock_);
  tempFolderLock_ = nullptr;

  delete engine;
  engine = nullptr;
  if (takeDone_) CloseHandle(takeDone_);
  takeDone_ = nullptr;
}

void CSoundDocument::SetDefaultFormat() {
  wavHeader.formatTag = WAVE_FORMAT_PCM;
  wavHeader.channels = 1;
  wavHeader.samplesPerSec = 44100;
  wavHeader.avgBytesPerSec = 88200;
  wavHeader.blockAlign = 2;
  wavHeader.bitsPerSample = 16;
}

void CSoundDocument::EnsureSoundFormat() {
  if (wavHeader.channels == 0 || wavHeader.samplesPerSec == 0 || wavHeader.blockAlign == 0 ||
      wavHeader.bitsPerSample < 8)
    SetDefaultFormat();
}

void CSoundDocument::Notify(WPARAM code) const {
  // Copied first: once the first post is out, the receiver may already be freeing this track.
  const NotifyTarget target = notifyTarget;
  const LPARAM self = reinterpret_cast<LPARAM>(this);
  if (target.threadId) PostThreadMessageW(target.threadId, target.message, code, self);
  if (target.window) PostMessageW(target.window, target.message, code, self);
}

void CSoundDocument::Report(const wchar_t* text, const wchar_t* caption, UINT style) const {
  TrackReport report{text ? text : L"", caption ? caption : GetEditionName(), style, GetCurrentThreadId()};
  std::lock_guard<Mutex> lock(reportLock_);
  // The same failure again (every redraw of a chunk whose file is gone) joins the report that
  // already waits: the user is told once.
  for (const TrackReport& waiting : reports_)
    if (waiting.text == report.text && waiting.caption == report.caption && waiting.style == report.style &&
        waiting.thread == report.thread)
      return;
  if (reports_.size() >= kMaxReports) {
    reports_.erase(reports_.begin());
    PostLogLine(LOG_WAVE_MANAGER, "A failure report was dropped: nobody took the reports");
  }
  reports_.push_back(std::move(report));
}

std::vector<TrackReport> CSoundDocument::TakeReports(DWORD raisedOn) {
  std::vector<TrackReport> taken;
  std::lock_guard<Mutex> lock(reportLock_);
  for (auto it = reports_.begin(); it != reports_.end();) {
    if (raisedOn == 0 || it->thread == raisedOn) {
      taken.push_back(std::move(*it));
      it = reports_.erase(it);
    } else {
      ++it;
    }
  }
  return taken;
}

CChunkInfo* CSoundDocument::GetChunk(int index) const {
  std::lock_guard<RecursiveMutex> lock(packetLock);
  if (index < 0 || index >= static_cast<int>(chunks.size())) return nullptr;
  return chunks[index];
}

int CSoundDocument::GetChunkCount() const {
  std::lock_guard<RecursiveMutex> lock(packetLock);
  return static_cast<int>(chunks.size());
}

std::wstring CSoundDocument::ChunkPath(const CChunkInfo* chunk) const {
  std::wstring path = tempFolder;
  if (!path.empty() && path.back() != L'\\') path += L'\\';
  return path + chunk->fileName;
}

namespace {

// A folder's lock: "<folder>.lock" beside it, open without sharing for as long as the folder is
// used. The system drops it with the process, so a lock left by a dead process is taken again.
HANDLE TakeFolderLock(const std::wstring& folderWithoutSlash) {
  HANDLE lock = CreateFileW((folderWithoutSlash + L".lock").c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                            OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL | FILE_FLAG_DELETE_ON_CLOSE, nullptr);
  return lock == INVALID_HANDLE_VALUE ? nullptr : lock;
}

bool IsProcessIdText(const std::wstring& text) {
  if (text.empty() || text.size() > 10) return false;
  for (wchar_t c : text)
    if (c < L'0' || c > L'9') return false;
  return true;
}

// Removes a folder with everything in it. A linked folder inside is unlinked, never entered.
void RemoveFolderTree(const std::wstring& folder) {
  WIN32_FIND_DATAW found;
  HANDLE find = FindFirstFileW((folder + L"\\*").c_str(), &found);
  if (find != INVALID_HANDLE_VALUE) {
    do {
      const std::wstring entry = found.cFileName;
      if (entry == L"." || entry == L"..") continue;
      const std::wstring path = folder + L"\\" + entry;
      if (!(found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)) {
        if (found.dwFileAttributes & FILE_ATTRIBUTE_READONLY)
          SetFileAttributesW(path.c_str(), FILE_ATTRIBUTE_NORMAL);
        DeleteFileW(path.c_str());
      } else if (found.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) {
        RemoveDirectoryW(path.c_str());
      } else {
        RemoveFolderTree(path);
      }
    } while (FindNextFileW(find, &found));
    FindClose(find);
  }
  RemoveDirectoryW(folder.c_str());
}

// "<name>-<process id>" folders were taken by other processes while the name itself was held.
// Their owners clear them but leave them, and a killed one leaves its chunks too: every such
// folder whose lock this process can take has no live owner and goes. The lock is held while the
// folder is removed, so an owner just starting waits for it (see TakePidFolderLock).
void RemoveAbandonedFolders(const std::wstring& base, const std::wstring& name) {
  const std::wstring prefix = name + L"-";
  std::vector<std::wstring> candidates;
  WIN32_FIND_DATAW found;
  HANDLE find = FindFirstFileW((base + prefix + L"*").c_str(), &found);
  if (find == INVALID_HANDLE_VALUE) return;
  do {
    const std::wstring entry = found.cFileName;
    if (!(found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) || entry.size() <= prefix.size() ||
        CompareStringOrdinal(entry.c_str(), int(prefix.size()), prefix.c_str(), int(prefix.size()), TRUE) !=
            CSTR_EQUAL ||
        !IsProcessIdText(entry.substr(prefix.size())))
      continue;
    candidates.push_back(base + entry);
  } while (FindNextFileW(find, &found));
  FindClose(find);
  for (const std::wstring& folder : candidates) {
    HANDLE lock = TakeFolderLock(folder);
    if (!lock) continue;  // held: its process lives
    RemoveFolderTree(folder);
    CloseHandle(lock);
    if (GetFileAttributesW(folder.c_str()) != INVALID_FILE_ATTRIBUTES)
      PostLogLine(LOG_WAVE_MANAGER, "Could not remove the temp folder of an ended process");
  }
}

// A process sweeping the folders may hold this folder's lock for a moment (the folder of an
// ended process that had the same id): wait for it rather than go without a lock.
HANDLE TakePidFolderLock(const std::wstring& folder) {
  HANDLE lock = TakeFolderLock(folder);
  for (int i = 0; !lock && GetLastError() == ERROR_SHARING_VIOLATION && i < 100; ++i) {
    Sleep(20);
    lock = TakeFolderLock(folder);
  }
  return lock;
}

}  // namespace

// Two processes may ask for the same name (two instances with one station number): a folder
// another live process holds is never used or cleared here; this process then takes the name
// followed by its process id.
void CSoundDocument::CreateTempFolder(const std::wstring& name) {
  wchar_t path[1024] = {};
  DWORD n = GetTempPathW(1024, path);
  if (n == 0 || n >= 1024) path[0] = 0;
  std::wstring base = path;
  base += L"Quillmeridian\\";
  CreateDirectoryW(base.c_str(), nullptr);
  base += L"TempSnd\\";
  CreateDirectoryW(base.c_str(), nullptr);
  // Before this track lets its former folder go: its own lock keeps it out of the sweep.
  RemoveAbandonedFolders(base, name);
  RemoveLeftPartials();
  if (tempFolderLock_) CloseHandle(tempFolderLock_);
  tempFolderLock_ = nullptr;
  std::wstring folder = base + name;
  tempFolderLock_ = TakeFolderLock(folder);
  if (!tempFolderLock_ && GetLastError() == ERROR_SHARING_VIOLATION) {
    folder += L"-" + std::to_wstring(GetCurrentProcessId());
    tempFolderLock_ = TakePidFolderLock(folder);
  }
  folder += L"\\";
  CreateDirectoryW(folder.c_str(), nullptr);
  wcsncpy(tempFolder, folder.c_str(), 259);
  tempFolder[259] = 0;
}

void CSoundDocument::ClearTempFolder() {
  std::wstring folder = tempFolder;
  if (folder.empty()) return;
  if (folder.back() != L'\\') folder += L'\\';
  WIN32_FIND_DATAW found;
  HANDLE find = FindFirstFileW((folder + L"*.*").c_str(), &found);
  if (find == INVALID_HANDLE_VALUE) return;
  do {
    DeleteFileW((folder + found.cFileName).c_str());
  } while (FindNextFileW(find, &found));
  FindClose(find);
}

bool CSoundDocument::AssignChunkFile(CChunkInfo* chunk) {
  wchar_t path[MAX_PATH + 1] = {};
  if (!GetTempFileNameW(tempFolder, L"Wav", 0, path)) {
    PostLogLine(LOG_WAVE_MANAGER, "Could not create a chunk file");
    return false;
  }
  const wchar_t* slash = wcsrchr(path, L'\\');
  if (!slash || !slash[1]) return false;
  wcsncpy(chunk->fileName, slash + 1, 519);
  chunk->fileName[519] = 0;
  return true;
}

int CSoundDocument::NewChunk() {
  auto* chunk = new (std::nothrow) CChunkInfo;
  if (!chunk) return -1;
  if (!AssignChunkFile(chunk)) {
    delete chunk;
    return -1;
  }
  std::lock_guard<RecursiveMutex> lock(packetLock);
  chunks.push_back(chunk);
  return static_cast<int>(chunks.size()) - 1;
}

bool CSoundDocument::LoadChunk(int index) {
  std::lock_guard<RecursiveMutex> lock(packetLock);
  CChunkInfo* chunk = GetChunk(index);
  if (!chunk) return false;
  if (chunk->frames == 0 || chunk->buffer) return true;
  if (sourceWav && chunk->fileName[0] == 0) return ReadSourceFrames(chunk);

  HANDLE file = CreateFileW(ChunkPath(chunk).c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                            FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) {
    Report(L"Could not open file in LoadChunk");
    return false;
  }
  LARGE_INTEGER size = {};
  uint8_t* buffer = nullptr;
  if (!GetFileSizeEx(file, &size) || size.QuadPart > 0xFFFFFFFFll ||
      !(buffer = static_cast<uint8_t*>(malloc(size.QuadPart ? size_t(size.QuadPart) : 1)))) {
    CloseHandle(file);
    Report(L"Memory allocation error in LoadChunk");
    return false;
  }
  DWORD total = 0;
  const DWORD want = static_cast<DWORD>(size.QuadPart);
  while (total < want) {
    DWORD got = 0;
    if (!ReadFile(file, buffer + total, want - total, &got, nullptr) || got == 0) break;
    total += got;
  }
  CloseHandle(file);
  if (total < want) {
    free(buffer);
    PostLogLine(LOG_WAVE_MANAGER, "Could not read a chunk file");
    return false;
  }
  chunk->buffer = buffer;
  chunk->used = chunk->capacity = total;
  chunk->playOffset = 0;
  // A chunk never claims more frames than its bytes hold.
  if (BlockAlign() && chunk->frames > total / BlockAlign()) chunk->frames = total / BlockAlign();
  return true;
}

bool CSoundDocument::SaveChunk(int index) {
  std::lock_guard<RecursiveMutex> lock(packetLock);
  CChunkInfo* chunk = GetChunk(index);
  if (!chunk) return false;
  if (!chunk->buffer) return true;
  // Chunks of a loaded sound are read from the source WAV, not from temp files.
  if (chunk->fileName[0] == 0) return sourceWav != nullptr;
  HANDLE file = CreateFileW(ChunkPath(chunk).c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_ALWAYS,
                            FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return false;
  DWORD written = 0;
  BOOL ok = chunk->used == 0 ||
            (WriteFile(file, chunk->buffer, chunk->used, &written, nullptr) && written == chunk->used);
  CloseHandle(file);
  return ok != FALSE;
}

void CSoundDocument::ResetSoundData() {
  std::lock_guard<RecursiveMutex> lock(packetLock);
  DiscardAsideChunks();  // bookmarks put aside by whole mode belong to the sound being forgotten
  // The path goes with the sound even when the source could not be reopened after a save.
  free(loadedPath);
  loadedPath = nullptr;
  if (sourceWav) {
    CloseHandle(sourceWav);
    sourceWav = nullptr;
  }
  wavHeader = WavHeaderImage{};
  cursorColumn = 0;
  cursorFrame = 0;
  playCursorColumn = 0;
  playPosition = 0;
  viewLengthFrames = 0;
  Notify(NOTIFY_PROGRESS);
}

void CSoundDocument::ResolveDeviceId(std::wstring& id, bool capture) {
  if (!engine) return;
  DeviceList devices = capture ? engine->GetCaptureDevices() : engine->GetRenderDevices();
  for (const auto& device : devices)
    if (device.first == id) return;
  // No default endpoint of that flow: the first active one, or none at all. An id that names no
  // active device never stays, or the track would open a device that is not there.
  id = engine->GetDefaultDevice(capture ? 1 : 0).first;
  if (id.empty() && !devices.empty()) id = devices.front().first;
}

void CSoundDocument::SetChunkText(const wchar_t* text) {
  std::lock_guard<RecursiveMutex> lock(packetLock);
  if (!GetCurrentChunk()) {
    int index = NewChunk();
    if (index < 0) return;
    currentChunk = index;
  }
  GetCurrentChunk()->text = text ? text : L"";
  modified = 1;
}

void CSoundDocument::FreeChunkBuffer(CChunkInfo* chunk) {
  if (chunk->reservedBytes)
    VirtualFree(chunk->buffer, 0, MEM_RELEASE);
  else
    free(chunk->buffer);
  chunk->buffer = nullptr;
  chunk->reservedBytes = 0;
  chunk->used = chunk->capacity = 0;
}

void CSoundDocument::EmptyChunk(CChunkInfo* chunk) {
  FreeChunkBuffer(chunk);
  chunk->frames = chunk->start = chunk->playOffset = 0;
}

void CSoundDocument::FreeChunkList(std::vector<CChunkInfo*>& list) {
  for (CChunkInfo* chunk : list) {
    FreeChunkBuffer(chunk);
    // A chunk's file dies with it: over a day of takes the folder would fill up (and the names
    // run out) before anything else empties it.
    if (chunk->fileName[0]) DeleteFileW(ChunkPath(chunk).c_str());
    delete chunk;
  }
  list.clear();
  list.shrink_to_fit();
}

void CSoundDocument::FreeAllChunks() {
  StopTransport();
  FinishTake();
  // No wait for the buffers in flight: each is a copy, and one that comes back after the chunks
  // are gone finds no current chunk and is released (OnSoundOut).
  std::lock_guard<RecursiveMutex> lock(packetLock);
  FreeChunkList(chunks);
  currentChunk = -1;
  recordingChunk = nullptr;
}

// The thread posted its notification as its last act: it ends at once, and it must have ended
// before its handle goes, or the destructor would no longer wait for it.
void CSoundDocument::CloseLoadThread() {
  if (loadThread) {
    WaitServingSentMessages(loadThread, INFINITE);
    CloseHandle(loadThread);
  }
  loadThread = nullptr;
}

void CSoundDocument::CloseSaveThread() {
  if (saveThread) {
    WaitServingSentMessages(saveThread, INFINITE);
    CloseHandle(saveThread);
  }
  saveThread = nullptr;
}

CSoundWorksBase* CreateTrackEngine(const CSoundDocument& doc) {
  CSoundWorksBase* engine = CreateSoundEngine(doc.sharedRecord);
  if (!engine) return nullptr;
  engine->SetSoundFormat(doc.wavHeader.channels, doc.wavHeader.samplesPerSec, 16, 100);
  engine->SetNotifyTargets(NotifyTarget{doc.workerThreadId, nullptr, WM_SOUND_OUT},
                           NotifyTarget{doc.workerThreadId, nullptr, WM_SOUND_IN});
  engine->StartEngine();
  return engine;
}

HRESULT GetEndpointVolume(const std::wstring& deviceId, IAudioEndpointVolume** out) {
  if (!out) return E_POINTER;
  *out = nullptr;
  IMMDeviceEnumerator* enumerator = nullptr;
  HRESULT hr = CoCreateInstance(__uuidof(MMDeviceEnumerator), nullptr, CLSCTX_INPROC_SERVER,
                                __uuidof(IMMDeviceEnumerator), reinterpret_cast<void**>(&enumerator));
  if (FAILED(hr)) return hr;
  IMMDevice* device = nullptr;
  hr = enumerator->GetDevice(deviceId.c_str(), &device);
  if (SUCCEEDED(hr)) {
    hr = device->Activate(__uuidof(IAudioEndpointVolume), CLSCTX_ALL, nullptr, reinterpret_cast<void**>(out));
    if (FAILED(hr)) *out = nullptr;
    device->Release();
  }
  enumerator->Release();
  return hr;
}
