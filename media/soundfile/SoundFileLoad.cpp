// Loading a sound file into a track: a WAV is opened as the source, an MP3 is first decoded into
// a WAV in the temp folder by madlldlib.dll, a package is first extracted there. Then the chunk
// table (".cif") and the chunk texts (".txt") beside the sound are read.
#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "common/Locks.h"
#include "common/LogManager.h"
#include "common/SharedHelpers.h"
#include "standins/madlldlib/MadllDecoder.h"
#include "media/document/SoundDocument.h"
#include "media/soundfile/SoundFile.h"
#include "media/zip/ZipArchive.h"

using Lock = std::lock_guard<RecursiveMutex>;

namespace {

int WINAPI IgnoreProgress(uint32_t, uint32_t, uint32_t) { return 0; }

int CallDecoder(const char* mp3, const char* wav) {
  return CbMpegAudioDecoder(mp3, wav, 1, nullptr, IgnoreProgress);
}

// The decoder takes OEM-code-page paths. A path of an existing file that the code page cannot
// spell is passed by its short (8.3) name, which it always can.
bool ToOemPath(const std::wstring& path, char (&out)[260]) {
  BOOL lossy = FALSE;
  int n = WideCharToMultiByte(CP_OEMCP, 0, path.c_str(), -1, out, sizeof out, nullptr, &lossy);
  if (n > 0 && !lossy) return true;
  wchar_t shortName[1024];
  const DWORD len = GetShortPathNameW(path.c_str(), shortName, 1024);
  if (len == 0 || len >= 1024) return false;
  n = WideCharToMultiByte(CP_OEMCP, 0, shortName, -1, out, sizeof out, nullptr, &lossy);
  return n > 0 && !lossy;
}

bool FileExists(const std::wstring& path) {
  WIN32_FIND_DATAW found;
  HANDLE find = FindFirstFileW(path.c_str(), &found);
  if (find == INVALID_HANDLE_VALUE) return false;
  FindClose(find);
  return true;
}

// Only plain suffixes name an extracted entry: no separators, drive colons or dots.
bool IsPlainSuffix(const std::wstring& suffix) {
  if (suffix.empty() || suffix.size() > 16) return false;
  for (wchar_t c : suffix)
    if (!((c >= L'0' && c <= L'9') || (c >= L'A' && c <= L'Z') || (c >= L'a' && c <= L'z'))) return false;
  return true;
}

// The engine is rebuilt for the loaded format, as the constructor builds it. Ending an engine and
// making one take a good part of a second; under the packet lock every paint and query of the
// dialog would wait for that, so only the pointer is changed under it.
void RebuildEngine(CSoundDocument* doc) {
  CSoundWorksBase* old = nullptr;
  {
    Lock lock(doc->packetLock);
    old = doc->engine;
    doc->engine = nullptr;
  }
  delete old;
  CSoundWorksBase* made = CreateTrackEngine(*doc);
  Lock lock(doc->packetLock);
  doc->engine = made;
}

// The decode mutex for one load. When it cannot be created, the load goes on unserialised.
class DecodeMutex {
 public:
  // Another process may hold the mutex for as long as it likes: the wait ends when `cancel` is
  // set (the track is being destroyed, its destructor waits for this thread), and Held() is false.
  explicit DecodeMutex(const std::atomic<bool>& cancel) {
    handle_ = CreateMutexW(nullptr, TRUE, kDecodeMutexName);
    if (!handle_) {
      PostLogLine(LOG_WAVE_MANAGER, "Could not create the decode mutex; decoding unserialised");
      held_ = true;
      return;
    }
    // An abandoned mutex is ours as well.
    for (;;) {
      const DWORD r = WaitForSingleObject(handle_, 100);
      if (r == WAIT_OBJECT_0 || r == WAIT_ABANDONED) break;
      if (r != WAIT_TIMEOUT || cancel) {
        // Only the initial ownership (given when this process created it) is ours.
        ReleaseMutex(handle_);
        CloseHandle(handle_);
        handle_ = nullptr;
        return;
      }
    }
    held_ = true;
  }
  ~DecodeMutex() { Release(); }
  bool Held() const { return held_; }
  void Release() {
    if (!handle_) return;
    // The second release balances the initial ownership, which only the creating process gets.
    ReleaseMutex(handle_);
    ReleaseMutex(handle_);
    CloseHandle(handle_);
    handle_ = nullptr;
  }

 private:
  HANDLE handle_ = nullptr;
  bool held_ = false;
};

// The track is loading for as long as this lives.
struct LoadingFlag {
  explicit LoadingFlag(std::atomic<bool>& flag) : flag_(flag) { flag_ = true; }
  ~LoadingFlag() { flag_ = false; }
  std::atomic<bool>& flag_;
};

// Offset of the first occurrence of the 4-byte tag at or after from; UINT64_MAX when none.
uint64_t FindTag(HANDLE file, uint64_t fileSize, uint64_t from, const char* tag) {
  std::vector<char> block(1 << 16);
  for (uint64_t at = from; at + 4 <= fileSize;) {
    const DWORD n = DWORD(std::min<uint64_t>(block.size(), fileSize - at));
    if (!ReadFileAt(file, at, block.data(), n)) return UINT64_MAX;
    for (DWORD i = 0; i + 4 <= n; ++i)
      if (memcmp(block.data() + i, tag, 4) == 0) return at + i;
    if (at + n >= fileSize) break;
    at += n - 3;  // a tag across two blocks
  }
  return UINT64_MAX;
}

// Where the "data" chunk of a PCM WAV lies, found by walking the RIFF chunks after "fmt ".
struct WavLayout {
  uint32_t dataOffset = 0;
  uint32_t dataSize = 0;
};

bool ParseWav(HANDLE file, WavHeaderImage* header, WavLayout* layout) {
  LARGE_INTEGER size = {};
  if (!GetFileSizeEx(file, &size)) return false;
  const uint64_t fileSize = uint64_t(size.QuadPart);
  if (fileSize < sizeof(WavHeaderImage) || !ReadFileAt(file, 0, header, sizeof *header)) return false;
  if (memcmp(header->riff, "RIFF", 4) || memcmp(header->wave, "WAVE", 4) || memcmp(header->fmt, "fmt ", 4))
    return false;
  const WavHeaderImage& h = *header;
  if (h.fmtSize < 16 || h.formatTag != WAVE_FORMAT_PCM || h.bitsPerSample != 16 || h.channels == 0 ||
      h.channels > kMaxChannels || h.blockAlign != uint32_t(h.channels) * 2 ||
      h.samplesPerSec < kMinSampleRate || h.samplesPerSec > kMaxSampleRate)
    return false;

  // The data of the "data" chunk whose header is at pos, cut to what the file holds.
  auto takeData = [&](uint64_t pos) {
    uint32_t chunkSize = 0;
    const uint64_t offset = pos + 8;
    if (offset > 0xFFFFFFFFull || offset > fileSize || !ReadFileAt(file, pos + 4, &chunkSize, 4))
      return false;
    uint64_t bytes = std::min<uint64_t>(chunkSize, fileSize - offset);  // truncated files
    bytes -= bytes % h.blockAlign;
    if (bytes == 0) return false;
    layout->dataOffset = uint32_t(offset);
    layout->dataSize = uint32_t(bytes);
    return true;
  };
  uint64_t pos = 20 + uint64_t(h.fmtSize) + (h.fmtSize & 1);
  while (pos + 8 <= fileSize) {
    char id[4];
    uint32_t chunkSize = 0;
    if (!ReadFileAt(file, pos, id, 4) || !ReadFileAt(file, pos + 4, &chunkSize, 4)) break;
    if (memcmp(id, "data", 4) == 0) {
      if (takeData(pos)) return true;
      break;
    }
    pos += 8 + uint64_t(chunkSize) + (chunkSize & 1);
  }
  // Some tools leave out the pad byte after an odd-sized chunk, which throws the walk off: the
  // first "data" tag after the header is taken instead.
  const uint64_t tag = FindTag(file, fileSize, sizeof(WavHeaderImage), "data");
  return tag != UINT64_MAX && tag + 8 <= fileSize && takeData(tag);
}

// The most bytes an entry of this suffix is extracted with: a side file no larger than the
// loader reads (a larger one would be passed over after extraction); anything else up to the
// package's own bound.
uint64_t EntryBound(const std::wstring& suffix) {
  if (CompareStringOrdinal(suffix.c_str(), -1, L".txt", -1, TRUE) == CSTR_EQUAL) return kMaxTextFileBytes;
  if (CompareStringOrdinal(suffix.c_str(), -1, L".cif", -1, TRUE) == CSTR_EQUAL)
    return uint64_t(kMaxFileChunks) * sizeof(ChunkTableRecord);
  return kMaxPackageBytes;
}

// Why a package that opened cannot be loaded, for the user.
std::wstring UnreadableEntry(const std::wstring& path, const std::wstring& entry) {
  return L"The package \"" + path + L"\" cannot be opened: its entry \"" + entry + L"\" cannot be read.";
}

// Extracts every plainly named entry of the package into the temp folder as base name + its
// suffix, and names the sound entry (".mpa") ".mp3". False when the package cannot be opened or
// an entry present in it cannot be read whole (*failure then says which, for the user): a
// package is loaded complete or not at all.
bool ExtractPackage(const std::wstring& path, const std::wstring& temp, const std::wstring& base,
                    std::wstring* failure) {
  ZipHandle* zip = OpenZip(path.c_str());
  if (!zip) return false;
  // What each entry extracts to. A later entry replaces an earlier one of the same target, so
  // only the last of them is extracted.
  struct Extraction {
    int32_t index;
    std::wstring name;
    std::wstring target;
    uint64_t bytes;
  };
  std::vector<Extraction> extractions;
  for (int32_t index = 0; index < kMaxPackageEntries; ++index) {
    ZipEntryInfo info = {};
    const uint32_t listed = GetZipItem(zip, index, &info);
    if (listed == ZR_ARGS) break;  // past the last entry
    if (listed != ZR_OK) {
      CloseZipReader(zip);
      *failure = UnreadableEntry(path, L"number " + std::to_wstring(index + 1));
      return false;
    }
    const std::wstring name(info.name, wcsnlen(info.name, 260));
    if ((info.attributes & FILE_ATTRIBUTE_DIRECTORY) || name.empty() || name.back() == L'/' ||
        name.back() == L'\\')
      continue;
    const size_t dot = name.rfind(L'.');
    if (dot == std::wstring::npos || !IsPlainSuffix(name.substr(dot + 1))) continue;
    const std::wstring target = temp + base + name.substr(dot);
    if (target.size() > kMaxPathUnits) continue;
    for (auto it = extractions.begin(); it != extractions.end(); ++it) {
      if (CompareStringOrdinal(it->target.c_str(), -1, target.c_str(), -1, TRUE) == CSTR_EQUAL) {
        extractions.erase(it);
        break;
      }
    }
    if (info.uncompressedSize > EntryBound(name.substr(dot))) {
      PostLogLine(LOG_WAVE_MANAGER, "A package entry is larger than its kind can be; it is passed over");
      continue;
    }
    extractions.push_back({index, name, target, info.uncompressedSize});
  }
  // Every entry stops at its declared size: together they may not pass what a package can hold
  // nor the free space (a small archive can declare gigabytes).
  uint64_t total = 0;
  for (const Extraction& e : extractions) total += e.bytes;
  ULARGE_INTEGER freeBytes = {};
  if (total > kMaxPackageBytes ||
      (GetDiskFreeSpaceExW(temp.c_str(), &freeBytes, nullptr, nullptr) && total > freeBytes.QuadPart)) {
    CloseZipReader(zip);
    PostLogLine(LOG_WAVE_MANAGER, "The package's entries are larger than a package can hold");
    return false;
  }
  for (const Extraction& e : extractions) {
    SetFileAttributesW(e.target.c_str(), FILE_ATTRIBUTE_NORMAL);
    DeleteFileW(e.target.c_str());
    if (UnzipItem(zip, e.index, e.target.c_str()) != ZR_OK) {
      DeleteFileW(e.target.c_str());  // no half-written entry is taken for the sound
      CloseZipReader(zip);
      PostLogLine(LOG_WAVE_MANAGER, "Could not extract a package entry");
      *failure = UnreadableEntry(path, e.name);
      return false;
    }
    SetFileAttributesW(e.target.c_str(), FILE_ATTRIBUTE_NORMAL);
  }
  CloseZipReader(zip);
  MoveFileW((temp + base + L".mpa").c_str(), (temp + base + L".mp3").c_str());
  return true;
}

// Decodes the MP3 into a WAV of the same name in the temp folder (a WAV already there is used as
// it is) and gives that WAV's path. The caller holds the decode mutex.
bool DecodeMp3(const std::wstring& mp3Path, const std::wstring& temp, std::wstring* wavPathOut) {
  const size_t mp3Name = PathFileNameStart(mp3Path);
  if (mp3Name == 0) return false;
  const std::wstring mp3FileName = mp3Path.substr(mp3Name);
  const std::wstring wavPath = temp + mp3FileName.substr(0, mp3FileName.size() - 3) + L"wav";
  *wavPathOut = wavPath;
  if (wavPath.size() > kMaxPathUnits || mp3Path.size() > kMaxPathUnits) return false;
  if (!FileExists(mp3Path)) return true;
  HANDLE existing = CreateFileW(wavPath.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                FILE_ATTRIBUTE_NORMAL, nullptr);
  if (existing != INVALID_HANDLE_VALUE) {
    CloseHandle(existing);  // a package's own WAV entry is used as it is
    return true;
  }
  char oemMp3[260], oemWav[260];
  if (!ToOemPath(mp3Path, oemMp3)) return false;
  // A WAV name the code page cannot spell gets its short name once the file exists: an empty
  // one stands there until the decoder replaces it.
  bool placeholder = false;
  if (!ToOemPath(wavPath, oemWav)) {
    HANDLE made =
        CreateFileW(wavPath.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (made == INVALID_HANDLE_VALUE) return false;
    CloseHandle(made);
    placeholder = true;
    if (!ToOemPath(wavPath, oemWav)) {
      DeleteFileW(wavPath.c_str());
      return false;
    }
  }
  const int result = CallDecoder(oemMp3, oemWav);
  if (result != 0) {
    if (placeholder) DeleteFileW(wavPath.c_str());
    PostLogLinef(LOG_WAVE_MANAGER, "MP3 decoder failed with %d", result);
    return false;
  }
  return true;
}

// Reads up to bytes of the source's data at offset into buffer, piece by piece; the whole frames
// that arrived before a failed or short read.
uint64_t ReadSourcePieces(HANDLE file, uint64_t offset, uint8_t* buffer, uint64_t bytes, uint32_t align) {
  uint64_t total = 0;
  while (total < bytes) {
    const DWORD want = DWORD(std::min<uint64_t>(bytes - total, kSoundPieceBytes));
    OVERLAPPED at = {};
    at.Offset = DWORD(offset + total);
    at.OffsetHigh = DWORD((offset + total) >> 32);
    DWORD got = 0;
    if (!ReadFile(file, buffer + total, want, &got, &at) || got == 0) break;
    total += got;
  }
  return total - total % align;
}

namespace {

// A new block holding `bytes` of the source from `offset` (*total: what was read); null, with its
// log line, when there is no memory or nothing could be read.
uint8_t* ReadSourceBlock(HANDLE source, uint64_t offset, uint64_t bytes, uint32_t align, uint64_t* total) {
  auto* buffer = bytes <= SIZE_MAX ? static_cast<uint8_t*>(malloc(size_t(bytes))) : nullptr;
  if (!buffer) {
    PostLogLine(LOG_WAVE_MANAGER, "No memory for the frames of a chunk");
    return nullptr;
  }
  *total = ReadSourcePieces(source, offset, buffer, bytes, align);
  if (*total == 0) {
    free(buffer);
    PostLogLine(LOG_WAVE_MANAGER, "Could not read the source WAV");
    return nullptr;
  }
  return buffer;
}

void GiveChunkBuffer(CChunkInfo* chunk, uint8_t* buffer, uint64_t bytes) {
  chunk->buffer = buffer;
  chunk->used = chunk->capacity = uint32_t(bytes);
  chunk->playOffset = 0;
}

}  // namespace

}  // namespace

bool ReadFileAtOffset(HANDLE file, uint64_t offset, void* data, DWORD size) {
  DWORD total = 0;
  while (total < size) {
    OVERLAPPED at = {};
    at.Offset = DWORD(offset + total);
    at.OffsetHigh = DWORD((offset + total) >> 32);
    DWORD got = 0;
    if (!ReadFile(file, static_cast<uint8_t*>(data) + total, size - total, &got, &at) || got == 0)
      return false;
    total += got;
  }
  return true;
}

bool WriteFileAtOffset(HANDLE file, uint64_t offset, const void* data, DWORD size) {
  DWORD total = 0;
  while (total < size) {
    OVERLAPPED at = {};
    at.Offset = DWORD(offset + total);
    at.OffsetHigh = DWORD((offset + total) >> 32);
    DWORD put = 0;
    if (!WriteFile(file, static_cast<const uint8_t*>(data) + total, size - total, &put, &at) || put == 0)
      return false;
    total += put;
  }
  return true;
}

DWORD WINAPI LoadThreadProc(LPVOID param) {
  auto* request = static_cast<SoundFileRequest*>(param);
  CSoundDocument* doc = request->document;
  doc->LoadSoundFile(request->path);
  delete request;
  doc->Notify(NOTIFY_LOADED);
  return 0;
}

bool CSoundDocument::LoadSoundFile(const std::wstring& path) {
  LoadingFlag busy(loading);
  ForgetLoadedSound();
  if (path.size() < 4) return false;
  // Only the last three letters choose the kind.
  std::wstring tail = path.substr(path.size() - 3);
  CharUpperBuffW(tail.data(), DWORD(tail.size()));
  if (tail == L"MP3") loadedAsMp3 = 1;
  if (tail == L"QPK") loadedAsMp3 = loadedAsPackage = 1;

  const size_t nameStart = PathFileNameStart(path);
  if (path.find(L'.', nameStart) == std::wstring::npos || path.size() > kMaxPathUnits) return false;
  const std::wstring base = PathBaseName(path);
  ClearTempFolder();
  std::wstring wavPath;
  if (!PrepareSourceWav(path, base, &wavPath) || !OpenSourceWav(wavPath, path)) return false;
  RebuildEngine(this);
  ReadSideFiles(loadedAsPackage ? std::wstring(tempFolder) : path.substr(0, nameStart), base);
  return true;
}

// The track is empty, whatever the load gives: nothing of it is left to save. Chunks of the
// former sound point into its source and at temp files about to be deleted.
void CSoundDocument::ForgetLoadedSound() {
  if (playing || recording) {
    FreeAllChunks();  // stops the transport and lets the buffers in flight come back
  }
  {
    Lock lock(packetLock);
    FreeChunkList(chunks);
    FreeChunkList(asideChunks);
    currentChunk = -1;
    recordingChunk = nullptr;
    wholeMode = false;
  }
  modified = 0;
  audioChanged = 0;
  textsPresent = 0;
  ResetSoundData();
  loadedAsMp3 = 0;
  loadedAsPackage = 0;
}

// The WAV the track will hold: the path itself, or the MP3 (a package's, extracted into the temp
// folder) decoded there under the decode mutex.
bool CSoundDocument::PrepareSourceWav(const std::wstring& path, const std::wstring& base,
                                      std::wstring* wavPath) {
  const std::wstring temp = tempFolder;
  if (loadedAsPackage) {
    std::wstring failure;
    if (!ExtractPackage(path, temp, base, &failure)) {
      if (!failure.empty()) Report(failure.c_str());
      return false;
    }
  }
  *wavPath = path;
  DecodeMutex mutex(closing);
  if (!mutex.Held()) {
    PostLogLine(LOG_WAVE_MANAGER, "Load abandoned while it waited for the decode mutex");
    ResetSoundData();
    return false;
  }
  return !loadedAsMp3 || DecodeMp3(loadedAsPackage ? temp + base + L".mp3" : path, temp, wavPath);
}

// Opens the WAV as the track's source, kept open for reading and writing, with its format and
// data; the loaded path is the one the user gave.
bool CSoundDocument::OpenSourceWav(const std::wstring& wavPath, const std::wstring& path) {
  HANDLE wav = CreateFileW(wavPath.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ, nullptr,
                           OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (wav == INVALID_HANDLE_VALUE) {
    ResetSoundData();
    return false;
  }
  WavHeaderImage header = {};
  WavLayout layout;
  if (!ParseWav(wav, &header, &layout)) {
    CloseHandle(wav);
    PostLogLine(LOG_WAVE_MANAGER, "Not a 16-bit PCM WAV file");
    ResetSoundData();
    return false;
  }
  const size_t pathBytes = (path.size() + 1) * sizeof(wchar_t);
  auto* pathCopy = static_cast<wchar_t*>(malloc(pathBytes));
  if (!pathCopy) {
    CloseHandle(wav);
    ResetSoundData();
    return false;
  }
  memcpy(pathCopy, path.c_str(), pathBytes);
  Lock lock(packetLock);
  sourceWav = wav;
  wavHeader = header;
  sourceDataOffset = layout.dataOffset;
  sourceDataSize = layout.dataSize;
  loadedPath = pathCopy;
  return true;
}

// The chunks from the ".cif" (or the whole sound as one), their texts from the ".txt", and the
// first chunk selected.
void CSoundDocument::ReadSideFiles(const std::wstring& sideFolder, const std::wstring& base) {
  if (!ReadChunkTable(sideFolder + base + L".cif")) {
    // The whole sound as one chunk, as MakeWholeChunk makes it, but not yet read: the SelectChunk
    // below reads it once (a chunk of an hour's sound is hundreds of megabytes).
    Lock lock(packetLock);
    BuildWholeChunk();
    Notify(recording ? NOTIFY_CHUNK_RECORDING : NOTIFY_CHUNK_IDLE);
    modified = 0;
  }
  textsPresent = ImportChunkTexts(sideFolder + base + L".txt") ? 1 : 0;
  {
    // The first chunk's frames (the whole hour of a long file) are read without the lock; the
    // selection then finds them in memory rather than dropping and reading them again under it.
    Lock lock(packetLock);
    currentChunk = -1;
  }
  ReloadSourceChunk(0);
  SelectChunk(0);
  Notify(NOTIFY_CHUNK_IDLE);
}

bool CSoundDocument::ReadSourceFrames(CChunkInfo* chunk) {
  if (!chunk) return false;
  if (!ReadSourceFrames(chunk->start, chunk->frames, chunk)) return false;
  // A chunk never claims more frames than the source held for it.
  const uint32_t align = BlockAlign();
  const uint32_t held = chunk->buffer && align ? chunk->used / align : 0;
  if (chunk->frames > held) chunk->frames = held;
  return true;
}

bool CSoundDocument::ReadSourceFrames(uint32_t firstFrame, uint32_t frameCount, CChunkInfo* chunk) {
  Lock lock(packetLock);
  const uint32_t align = BlockAlign();
  if (!chunk || !sourceWav || align == 0) return false;
  if (sourceRewriting) {
    PostLogLine(LOG_WAVE_MANAGER, "The source WAV is being rewritten; its frames are read afterwards");
    return false;
  }
  const uint64_t available = sourceDataSize / align;
  if (firstFrame >= available || frameCount == 0) return true;  // nothing of the source lies there
  const uint64_t frames = std::min<uint64_t>(frameCount, available - firstFrame);
  const uint64_t bytes = frames * align;
  uint64_t total = 0;
  uint8_t* buffer = ReadSourceBlock(sourceWav, uint64_t(sourceDataOffset) + uint64_t(firstFrame) * align,
                                    bytes, align, &total);
  if (!buffer) return false;
  GiveChunkBuffer(chunk, buffer, total);
  return true;
}

bool CSoundDocument::ReloadSourceChunk(int index) {
  CChunkInfo* chunk = nullptr;
  HANDLE source = nullptr;
  uint32_t start = 0, frames = 0, align = 0;
  uint64_t offset = 0, bytes = 0;
  {
    Lock lock(packetLock);
    chunk = GetChunk(index);
    if (!chunk) return false;
    if (chunk->frames == 0 || chunk->buffer) return true;
    if (!sourceWav || chunk->fileName[0]) return LoadChunk(index);  // a file of its own, read as ever
    align = BlockAlign();
    if (align == 0 || sourceRewriting) return false;
    const uint64_t available = sourceDataSize / align;
    if (chunk->start >= available) return true;
    source = sourceWav;
    start = chunk->start;
    frames = chunk->frames;
    offset = uint64_t(sourceDataOffset) + uint64_t(start) * align;
    bytes = std::min<uint64_t>(frames, available - start) * align;
  }
  // Read without the lock: the worker and the painting go on meanwhile.
  uint64_t total = 0;
  uint8_t* buffer = ReadSourceBlock(source, offset, bytes, align, &total);
  if (!buffer) return false;
  Lock lock(packetLock);
  // The chunk may have changed meanwhile; then the frames read are not its own.
  const bool same = GetChunk(index) == chunk && !chunk->buffer && chunk->start == start &&
                    chunk->frames == frames && sourceWav == source && !sourceRewriting;
  if (!same) {
    free(buffer);
    return GetChunk(index) == chunk && chunk->buffer;
  }
  GiveChunkBuffer(chunk, buffer, total);
  if (chunk->frames > total / align) chunk->frames = uint32_t(total / align);
  return true;
}

bool CSoundDocument::ReadChunkTable(const std::wstring& path) {
  if (!sourceWav) return false;
  {
    Lock lock(packetLock);
    FreeChunkList(chunks);
    recordingChunk = nullptr;
    currentChunk = -1;
  }
  if (path.size() > kMaxPathUnits) return false;
  HANDLE file = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                            FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return false;
  LARGE_INTEGER size = {};
  if (!GetFileSizeEx(file, &size) || size.QuadPart == 0 || size.QuadPart % 8 != 0) {
    CloseHandle(file);
    return false;
  }
  const uint32_t count = uint32_t(std::min<int64_t>(size.QuadPart / 8, kMaxFileChunks));
  std::vector<ChunkTableRecord> records(count);
  const bool read = ReadFileAt(file, 0, records.data(), count * 8);
  CloseHandle(file);
  if (!read) return false;

  const uint64_t rate = wavHeader.samplesPerSec;
  const uint64_t total = BlockAlign() ? sourceDataSize / BlockAlign() : 0;
  // Each record is kept inside the sound and otherwise as written: overlapping, repeated and
  // unordered records are a table's own. Only a table whose chunks together would make a save
  // many times the sound's size is refused as a whole.
  std::vector<std::pair<uint32_t, uint32_t>> spans;  // start frame, frames
  uint64_t sum = 0;
  for (const ChunkTableRecord& record : records) {
    const uint64_t start = std::min<uint64_t>(rate * record.startMs / 1000, total);
    const uint64_t frames = std::min(rate * record.lengthMs / 1000, total - start);
    spans.emplace_back(uint32_t(start), uint32_t(frames));
    sum += frames;
  }
  const uint64_t maxFrames =
      std::min<uint64_t>(total * kMaxTableRepeats, kMaxWavDataBytes / std::max(BlockAlign(), 1u));
  if (sum > maxFrames) {
    PostLogLine(LOG_WAVE_MANAGER, "The chunk table repeats the sound too many times; it is not used");
    return false;
  }
  {
    Lock lock(packetLock);
    for (const auto& [start, frames] : spans) {
      auto* chunk = new CChunkInfo;
      chunk->start = start;
      chunk->frames = frames;
      chunks.push_back(chunk);
    }
    currentChunk = 0;  // the loader selects it, which reads its frames
  }
  Notify(recording ? NOTIFY_CHUNK_RECORDING : NOTIFY_CHUNK_IDLE);
  RedrawWaveform(0, framesPerPixel);
  modified = 0;
  return true;
}

bool CSoundDocument::ImportChunkTexts(const std::wstring& path) {
  if (path.size() > kMaxPathUnits) return false;
  HANDLE file = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                            FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return false;
  LARGE_INTEGER size = {};
  if (!GetFileSizeEx(file, &size) || size.QuadPart > kMaxTextFileBytes) {
    CloseHandle(file);
    return false;
  }
  std::vector<uint8_t> bytes(size_t(size.QuadPart));
  DWORD total = 0;
  while (total < bytes.size()) {
    DWORD got = 0;
    if (!ReadFile(file, bytes.data() + total, DWORD(bytes.size()) - total, &got, nullptr) || got == 0) break;
    total += got;
  }
  CloseHandle(file);
  bytes.resize(total);

  std::wstring text;
  const bool utf16 = bytes.size() >= 2 && bytes[0] == 0xFF && bytes[1] == 0xFE;
  if (utf16) {
    text.resize((bytes.size() - 2) / 2);
    if (!text.empty()) memcpy(text.data(), bytes.data() + 2, text.size() * 2);
  } else if (!bytes.empty()) {
    const int n = MultiByteToWideChar(CP_OEMCP, 0, reinterpret_cast<const char*>(bytes.data()),
                                      int(bytes.size()), nullptr, 0);
    text.resize(size_t(std::max(n, 0)));
    if (n > 0)
      MultiByteToWideChar(CP_OEMCP, 0, reinterpret_cast<const char*>(bytes.data()), int(bytes.size()),
                          text.data(), n);
  }

  // Lines end with CR LF, CR or LF (and LF CR in OEM text); text after the last break is a line too.
  Lock lock(packetLock);
  size_t line = 0;
  size_t pos = 0;
  while (pos < text.size()) {
    size_t end = pos;
    while (end < text.size() && text[end] != L'\r' && text[end] != L'\n') ++end;
    size_t next = end;
    if (next < text.size()) {
      const wchar_t first = text[next++];
      const wchar_t pair = first == L'\r' ? L'\n' : L'\r';
      if (next < text.size() && text[next] == pair && (first == L'\r' || !utf16)) ++next;
    }
    if (line == chunks.size()) {
      if (chunks.size() >= kMaxFileChunks) break;
      chunks.push_back(new CChunkInfo);
    }
    chunks[line]->text = text.substr(pos, std::min(end - pos, kMaxChunkTextUnits));
    ++line;
    pos = next;
  }
  return true;
}
