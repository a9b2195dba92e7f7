// Saving a track as a PCM WAV file, an MP3 file (through LAME_ENC.DLL) or a package (a ZIP
// archive holding the sound as MP3, the chunk table and the chunk texts), and the ".txt" of
// chunk texts beside a WAV or MP3.
//
// Every file is written under a new temporary name beside its target and moved into place only
// when it is whole, so that a failed save never leaves half a file nor destroys the one that was
// there; the MP3 inside a package is encoded into the track's temp folder.
// A failed save says why, keeps "modified" and leaves the track's audio as it was.
#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "common/Locks.h"
#include "common/LogManager.h"
#include "common/Prompt.h"
#include "common/SharedHelpers.h"
#include "media/document/SoundDocument.h"
#include "media/soundfile/PartialFile.h"
#include "media/soundfile/SoundFile.h"
#include "media/zip/ZipArchive.h"
#include "standins/lame_enc/LameTag.h"

using Lock = std::lock_guard<RecursiveMutex>;

namespace {

uint32_t CallZipAdd(ZipHandle* handle, const wchar_t* name, const void* source, uint32_t length,
                    uint32_t kind) {
  return ZipAdd(handle, name, source, length, kind);
}

// A failure of the save, kept for the end of the save: no box is put up while the save runs (it
// may hold the packet lock, and a box's message loop lets the user re-enter the dialog).
void Fail(CSoundDocument& doc, const wchar_t* text, const wchar_t* caption = nullptr) {
  doc.saveFailures.emplace_back(text, caption ? caption : GetEditionName());
}

constexpr wchar_t kMp3Caption[] = L"MP3 encoding error";
const wchar_t* const kMp3Messages[] = {
    nullptr,
    L"Incorrect number of channels in the file",
    L"Bad format reported during encoder initialization",
    L"Unable to save to requested destination",
    L"The MP3 encoder library LAME_ENC.DLL is missing or cannot be loaded: MP3 and package files "
    L"cannot be saved",
};

bool WriteAll(HANDLE file, const void* data, uint32_t size) {
  const auto* bytes = static_cast<const uint8_t*>(data);
  while (size) {
    DWORD written = 0;
    if (!WriteFile(file, bytes, size, &written, nullptr) || written == 0) return false;
    bytes += written;
    size -= written;
  }
  return true;
}

// The MP3 stream on its way to the file, counted in frames, so that the Info frame the encoder
// put in front can be completed once the stream is whole: the file then tells its own length,
// and opens again (here or in another program) with the samples that were encoded and no more.
class Mp3FileWriter {
 public:
  explicit Mp3FileWriter(HANDLE file) : file_(file) {}
  bool Append(const uint8_t* bytes, uint32_t n) {
    Count(bytes, n);
    return WriteAll(file_, bytes, n);
  }
  // False only when the file cannot be read or written; a stream not made of whole frames behind
  // such an Info frame (another encoder's) is left as it is.
  bool CompleteInfoFrame(uint64_t samples) {
    if (!whole_ || have_ || skip_ || frames_ < 2) return true;
    std::vector<uint8_t> frame(firstLength_);
    if (!ReadFileAtOffset(file_, 0, frame.data(), firstLength_)) return false;
    if (!::CompleteInfoFrame(frame.data(), firstLength_, frames_ - 1, samples)) return true;
    return WriteFileAtOffset(file_, 0, frame.data(), firstLength_);
  }

 private:
  void Count(const uint8_t* p, uint32_t n) {
    while (n && whole_) {
      if (skip_) {
        const uint32_t k = std::min(skip_, n);
        skip_ -= k;
        p += k;
        n -= k;
        continue;
      }
      header_[have_++] = *p++;
      --n;
      if (have_ < 4) continue;
      have_ = 0;
      const uint32_t length = Layer3FrameLength(header_);
      if (length < 4) {
        whole_ = false;
        break;
      }
      if (frames_++ == 0) firstLength_ = length;
      skip_ = length - 4;
    }
  }

  HANDLE file_;
  uint8_t header_[4] = {};
  uint32_t have_ = 0, skip_ = 0, frames_ = 0, firstLength_ = 0;
  bool whole_ = true;
};

// Chunk texts are one line each: a line break inside one would split it on reading.
std::wstring OneLine(const std::wstring& text) {
  std::wstring line = text;
  std::replace(line.begin(), line.end(), L'\r', L' ');
  std::replace(line.begin(), line.end(), L'\n', L' ');
  return line;
}

// Saving over the source WAV: it can be replaced only while closed; the track then reads the new
// file, in which every chunk of the source lies at its place in the chunk order. False when the
// new file could not take the old one's place or be opened again. The files are handled without
// the packet lock; meanwhile the source is marked as being rewritten, so nothing reads it.
bool ReplaceOpenSource(CSoundDocument& doc, PartialFile& partial, const std::wstring& target,
                       const std::wstring& keep, const std::wstring& backup) {
  HANDLE old = nullptr;
  {
    Lock lock(doc.packetLock);
    old = doc.sourceWav;
    doc.sourceRewriting = true;
  }
  CloseHandle(old);
  const bool moved = partial.PlaceAt(target, keep, backup);
  HANDLE reopened = CreateFileW(target.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ, nullptr,
                                OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (reopened == INVALID_HANDLE_VALUE) reopened = nullptr;
  WavHeaderImage header = {};
  uint32_t dataSize = 0;
  const bool read = moved && reopened && ReadFileAtOffset(reopened, 0, &header, sizeof header) &&
                    ReadFileAtOffset(reopened, 40, &dataSize, 4);
  Lock lock(doc.packetLock);
  doc.sourceWav = reopened;
  if (read) {
    doc.wavHeader = header;
    doc.sourceDataOffset = 44;
    doc.sourceDataSize = dataSize;
    uint32_t at = 0;
    for (CChunkInfo* chunk : doc.chunks) {
      if (chunk->fileName[0] == 0) chunk->start = at;
      at += chunk->frames;
    }
  }
  doc.sourceRewriting = false;
  return moved && reopened;
}

// Where a chunk's PCM is taken from for a save.
enum class PcmFrom { kNothing, kMemory, kSource, kFile };

// Hands the PCM of chunk `index` to put() in pieces of at most pieceBytes (a multiple of the block
// align) copied into piece. The packet lock is held only to look at the chunk and to copy one
// piece out of a buffer in memory; the source WAV and chunk files are read without it. A chunk
// never claims more frames than its bytes hold: its frames are cut to them. put() returns false
// after telling its own failure; a chunk that cannot be read is told here.
template <class Put>
bool StreamChunkPcm(CSoundDocument& doc, int index, uint8_t* piece, uint32_t pieceBytes, Put put) {
  const uint32_t align = doc.wavHeader.blockAlign;
  PcmFrom from = PcmFrom::kNothing;
  const CChunkInfo* chunk = nullptr;
  uint64_t bytes = 0, offset = 0;
  HANDLE file = nullptr;
  std::wstring path;
  {
    Lock lock(doc.packetLock);
    CChunkInfo* c = doc.GetChunk(index);
    if (!c || align == 0 || (c->fileName[0] == 0 && !c->buffer && doc.sourceRewriting)) {
      Fail(doc, L"Could not read the sound data");
      return false;
    }
    chunk = c;
    if (c->buffer) {
      from = PcmFrom::kMemory;
      if (c->frames > c->used / align) c->frames = c->used / align;
      bytes = uint64_t(c->frames) * align;
    } else if (c->frames == 0) {
    } else if (c->fileName[0] == 0 && doc.sourceWav) {
      from = PcmFrom::kSource;
      const uint64_t available = doc.sourceDataSize / align;
      const uint64_t frames = c->start >= available ? 0 : std::min<uint64_t>(c->frames, available - c->start);
      c->frames = uint32_t(frames);
      bytes = frames * align;
      offset = uint64_t(doc.sourceDataOffset) + uint64_t(c->start) * align;
      file = doc.sourceWav;
    } else {
      from = PcmFrom::kFile;
      path = doc.tempFolder;
      if (!path.empty() && path.back() != L'\\') path += L'\\';
      path += c->fileName;
      bytes = uint64_t(c->frames) * align;
    }
  }
  if (from == PcmFrom::kFile) {
    file = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                       FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
      Fail(doc, L"Could not open file in LoadChunk");
      return false;
    }
    LARGE_INTEGER size = {};
    const uint64_t held = GetFileSizeEx(file, &size) ? uint64_t(size.QuadPart) / align : 0;
    Lock lock(doc.packetLock);
    CChunkInfo* c = doc.GetChunk(index);
    if (c == chunk && c->frames > held) c->frames = uint32_t(held);
    bytes = std::min<uint64_t>(bytes, held * align);
  }

  bool ok = true;
  for (uint64_t done = 0; ok && done < bytes;) {
    const uint32_t n = uint32_t(std::min<uint64_t>(pieceBytes, bytes - done));
    bool got = false;
    if (from == PcmFrom::kMemory) {
      Lock lock(doc.packetLock);
      const CChunkInfo* c = doc.GetChunk(index);
      got = c == chunk && c->buffer && uint64_t(c->used) >= done + n;
      if (got) memcpy(piece, c->buffer + done, n);
    } else {
      got = ReadFileAtOffset(file, offset + done, piece, n);
    }
    if (!got) {
      Fail(doc, L"Could not read the sound data");
      ok = false;
    } else {
      ok = put(piece, n);
    }
    done += n;
  }
  if (from == PcmFrom::kFile) CloseHandle(file);
  return ok;
}

// The current chunk's file brought up to date with its buffer before the save reads it, written
// piece by piece outside the packet lock. False when it cannot be written.
bool WriteCurrentChunkFile(CSoundDocument& doc) {
  std::wstring path;
  int index = -1;
  {
    Lock lock(doc.packetLock);
    index = doc.currentChunk;
    const CChunkInfo* chunk = doc.GetChunk(index);
    if (!chunk || !chunk->buffer) return true;
    // Chunks of a loaded sound are read from the source WAV, not from temp files.
    if (chunk->fileName[0] == 0) return doc.sourceWav != nullptr;
    path = doc.tempFolder;
    if (!path.empty() && path.back() != L'\\') path += L'\\';
    path += chunk->fileName;
  }
  HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_ALWAYS,
                            FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return false;
  std::vector<uint8_t> piece(kSoundPieceBytes);
  bool ok = true;
  for (uint64_t done = 0; ok;) {
    uint32_t n = 0;
    {
      Lock lock(doc.packetLock);
      const CChunkInfo* chunk = doc.GetChunk(index);
      if (!chunk || !chunk->buffer || chunk->used < done) {
        ok = false;
        break;
      }
      n = uint32_t(std::min<uint64_t>(kSoundPieceBytes, chunk->used - done));
      if (n) memcpy(piece.data(), chunk->buffer + done, n);
    }
    if (n == 0) break;
    ok = WriteAll(file, piece.data(), n);
    done += n;
  }
  ok = CloseHandle(file) && ok;
  return ok;
}

// The ".txt" of chunk texts beside a WAV or MP3.
bool WriteTextsFile(const std::wstring& txtPath, const uint8_t* texts, uint32_t length) {
  HANDLE file = CreateFileW(txtPath.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_ALWAYS,
                            FILE_ATTRIBUTE_NORMAL, nullptr);
  const bool written = texts && file != INVALID_HANDLE_VALUE && WriteAll(file, texts, length);
  if (file != INVALID_HANDLE_VALUE) CloseHandle(file);
  return written;
}

}  // namespace

bool FitsTheLoader(const std::wstring& path, const std::wstring& tempFolder) {
  const size_t nameStart = PathFileNameStart(path);
  if (path.size() > kMaxPathUnits || path.find(L'.', nameStart) == std::wstring::npos) return false;
  const std::wstring ext = PathUpperExtension(path);
  if (ext != L"MP3" && ext != L"QPK") return true;
  // Decoded (and, for a package, extracted) into the temp folder under the base name.
  return (ext == L"QPK" || nameStart > 0) &&
         (tempFolder + PathBaseName(path) + L".wav").size() <= kMaxPathUnits;
}

const LameEncCalls& LameEncLibrary() {
  static const LameEncCalls calls = [] {
    LameEncCalls c;
    HMODULE dll = LoadLibraryW(LAMEENC_DLL_NAME);
    if (!dll) {
      PostLogLine(LOG_WAVE_MANAGER, "LAME_ENC.DLL cannot be loaded");
      return c;
    }
    auto get = [dll](WORD ordinal) {
      return reinterpret_cast<void (*)()>(GetProcAddress(dll, MAKEINTRESOURCEA(ordinal)));
    };
    c.open = reinterpret_cast<LameEncOpenStreamFn>(get(LAMEENC_ORDINAL_OPEN));
    c.encode = reinterpret_cast<LameEncEncodeChunkFn>(get(LAMEENC_ORDINAL_ENCODE));
    c.flush = reinterpret_cast<LameEncFlushStreamFn>(get(LAMEENC_ORDINAL_FLUSH));
    c.close = reinterpret_cast<LameEncCloseStreamFn>(get(LAMEENC_ORDINAL_CLOSE));
    return c;
  }();
  return calls;
}

const LameEncCalls* g_pLameEncCalls = nullptr;
PFN_SoundZipAdd g_pfnSoundZipAdd = CallZipAdd;

bool CSoundDocument::StartSaveThread(const std::wstring& path, const std::wstring& backup) {
  // The former save has posted its end but its handle was not closed yet; closing waits for its
  // thread while serving sent messages.
  if (saveThread) CloseSaveThread();
  auto* request = new SoundFileRequest{this, path, backup};
  if (parentWindow) EnableWindow(parentWindow, FALSE);
  saveThread = CreateThread(nullptr, 0, SaveThreadProc, request, 0, nullptr);
  if (!saveThread) {
    delete request;
    if (parentWindow) EnableWindow(parentWindow, TRUE);
    lastSaveResult = 0;
    ShowPrompt(nullptr, L"Could not start saving", GetEditionName(), MB_ICONEXCLAMATION);
    return false;
  }
  return true;
}

namespace {
// A background save leaves its failures to the track's owner, who is told by NOTIFY_SAVED.
thread_local bool t_onSaveThread = false;

// The package writer while a save adds to it: closed, and its partial file removed, unless it
// was finished.
class PackageWriter {
 public:
  ~PackageWriter() {
    if (zip_) CloseZipWriter(zip_);
  }
  bool Create() { return file.MakeBeside(target) && (zip_ = CreateZip(file.Path().c_str())) != nullptr; }
  bool Add(const std::wstring& name, const void* source, uint32_t length, uint32_t kind) {
    return g_pfnSoundZipAdd(zip_, name.c_str(), source, length, kind) == ZR_OK;
  }
  bool Close() {
    const uint32_t closed = CloseZipWriter(zip_);
    zip_ = nullptr;
    return closed == ZR_OK;
  }
  std::wstring target;
  PartialFile file;

 private:
  ZipHandle* zip_ = nullptr;
};

// One save of a track, step by step. Every file it writes is a PartialFile until it is placed,
// so a step that fails just returns false: what was written goes with the owners.
class TrackSave {
 public:
  TrackSave(CSoundDocument& doc, const std::wstring& path, const std::wstring& backup)
      : doc_(doc), path_(path), backup_(backup), base_(PathBaseName(path)) {
    const std::wstring ext = PathUpperExtension(path);
    package_ = ext == L"QPK";
    mp3_ = package_ || ext == L"MP3";
    temp_ = doc.tempFolder;
  }

  bool Run() {
    if (!CanStart() || !StartPackage() || !WriteTexts() || !WriteSound()) return false;
    return package_ ? FinishPackage() : PlaceSoundWithTexts();
  }

 private:
  void Fail(const std::wstring& text, const wchar_t* caption = nullptr) {
    doc_.saveFailures.emplace_back(text, caption ? caption : GetEditionName());
  }

  // A file that could not be opened again is not saved at all; the current chunk's file (in the
  // temp folder) is brought up to date first.
  bool CanStart() {
    const std::wstring target = PathWithExtension(path_, package_ ? L"qpk" : mp3_ ? L"mp3" : L"wav");
    if (!FitsTheLoader(target, temp_)) {
      Fail(L"The path is too long to be opened again");
      return false;
    }
    if (!WriteCurrentChunkFile(doc_)) {
      Fail(L"Could not save chunk: the temp folder " + temp_ + L" cannot be written (is its drive full?)");
      return false;
    }
    doc_.chunksToWrite = uint32_t(doc_.GetChunkCount());
    return true;
  }

  bool StartPackage() {
    if (!package_) return true;
    zip_.target = PathWithExtension(path_, L"qpk");
    if (!zip_.Create()) {
      Fail(L"Could not create the package file");
      return false;
    }
    return true;
  }

  // Into the package, or beside a WAV or MP3 in a file of their own until the sound is placed. A
  // ".txt" that cannot be written fails the save, but the sound is still saved.
  bool WriteTexts() {
    if (!doc_.textsPresent) return true;
    uint8_t* texts = nullptr;
    const uint32_t length = doc_.ExportChunkTexts(&texts);
    if (package_) {
      const bool added = texts && zip_.Add(base_ + L".txt", texts, length, ZIP_SOURCE_MEMORY);
      free(texts);
      if (!added) Fail(L"Could not add the chunk texts to the package");
      return added;
    }
    txtTarget_ = PathWithExtension(path_, L"txt");
    const bool written = texts_.MakeBeside(txtTarget_) && WriteTextsFile(texts_.Path(), texts, length);
    free(texts);
    if (!written) {
      texts_.Discard();
      TextsFailed();
    }
    return true;
  }
  void TextsFailed() {
    textsOk_ = false;
    Fail(L"Could not write the chunk texts file");
  }

  // The sound: an MP3 (a package's in the temp folder, to be added under the ".mpa" name) or a WAV.
  bool WriteSound() {
    bool ok = false;
    if (mp3_) {
      soundTarget_ = PathWithExtension(path_, package_ ? L"mpa" : L"mp3");
      uint32_t code = 3;
      if (package_ ? sound_.MakeIn(temp_) : sound_.MakeBeside(soundTarget_))
        ok = doc_.EncodeMp3File(sound_.Path(), &code);
      if (code == 3 && package_)
        Fail(L"Unable to save to the temp folder " + temp_ + L" (is its drive full?)", kMp3Caption);
      else if (code >= 1 && code <= 4)
        Fail(kMp3Messages[code], kMp3Caption);
    } else {
      soundTarget_ = PathWithExtension(path_, L"wav");
      if (sound_.MakeBeside(soundTarget_))
        ok = doc_.WriteWavFile(sound_.Path());
      else
        Fail(L"Could not write the sound file");
    }
    return ok;
  }

  // The sound takes its place only together with its texts: an old ".txt" that cannot be moved
  // (another program holds it) stops the save before anything is placed, and a sound that cannot
  // be placed puts the old ".txt" back.
  bool PlaceSoundWithTexts() {
    if (doc_.chunksToWrite == 0) return PlaceTexts();  // no sound file for a track without chunks
    PartialFile oldTexts;
    const DWORD existing = GetFileAttributesW(txtTarget_.c_str());
    const bool oldTextsFile = existing != INVALID_FILE_ATTRIBUTES && !(existing & FILE_ATTRIBUTE_DIRECTORY);
    if (texts_.Exists() && oldTextsFile && !oldTexts.TakeAside(txtTarget_)) {
      Fail(L"Could not replace the chunk texts file " + txtTarget_ + L": another program may hold it");
      return false;
    }
    if (!PlaceSound()) {
      if (oldTexts.Exists()) oldTexts.PlaceAt(txtTarget_);
      return false;
    }
    return PlaceTexts();
  }
  bool PlaceSound() {
    if (!mp3_ && IsSameFile(doc_.sourceWav, soundTarget_)) {
      if (ReplaceOpenSource(doc_, sound_, soundTarget_, path_, backup_)) return true;
      Fail(L"Could not replace the open sound file");
      return false;
    }
    if (sound_.PlaceAt(soundTarget_, path_, backup_)) return true;
    Fail(mp3_ ? kMp3Messages[3] : L"Could not write the sound file", mp3_ ? kMp3Caption : nullptr);
    return false;
  }
  bool PlaceTexts() {
    if (texts_.Exists() && !texts_.PlaceAt(txtTarget_)) TextsFailed();
    return textsOk_;
  }

  // The MP3 under the ".mpa" name, then the chunk table; then the package takes its place.
  bool FinishPackage() {
    if (doc_.chunksToWrite > 0 && !zip_.Add(base_ + L".mpa", sound_.Path().c_str(), 0, ZIP_SOURCE_FILE)) {
      Fail(L"Could not add the sound to the package");
      return false;
    }
    sound_.Discard();
    uint8_t* table = nullptr;
    const uint32_t tableLength = doc_.BuildChunkTable(&table);
    const bool added = !table || zip_.Add(base_ + L".cif", table, tableLength, ZIP_SOURCE_MEMORY);
    free(table);
    if (!added) {
      Fail(L"Could not add the chunk table to the package");
      return false;
    }
    if (!zip_.Close() || !zip_.file.PlaceAt(zip_.target, path_, backup_)) {
      Fail(L"Could not write the package file");
      return false;
    }
    return true;
  }

  CSoundDocument& doc_;
  const std::wstring path_, backup_, base_;
  std::wstring temp_;
  bool package_ = false, mp3_ = false;
  PackageWriter zip_;
  std::wstring txtTarget_, soundTarget_;
  PartialFile texts_, sound_;
  bool textsOk_ = true;
};

}  // namespace

DWORD WINAPI SaveThreadProc(LPVOID param) {
  t_onSaveThread = true;
  auto* request = static_cast<SoundFileRequest*>(param);
  CSoundDocument* doc = request->document;
  doc->SaveSoundFile(request->path, request->backup);
  delete request;
  doc->Notify(NOTIFY_SAVED);
  return 0;
}

bool CSoundDocument::SaveSoundFile(const std::wstring& path, const std::wstring& backup) {
  saveFailures.clear();
  StopTransport();
  FinishTake();  // the take's last blocks are still on their way to the chunk
  const bool ok = TrackSave(*this, path, backup).Run();
  if (ok) {
    audioChanged = 0;
    modified = 0;
  }
  // Told now that the save holds no lock: by the caller itself, or, for a background save, by the
  // owner of the track when NOTIFY_SAVED arrives (no box on the save thread).
  for (const auto& [text, caption] : saveFailures) {
    if (t_onSaveThread)
      Report(text.c_str(), caption.c_str(), MB_ICONEXCLAMATION);
    else
      ShowPrompt(nullptr, text.c_str(), caption.c_str(), MB_ICONEXCLAMATION);
  }
  lastSaveResult = ok ? 1 : 0;
  return ok;
}

bool CSoundDocument::WriteWavFile(const std::wstring& path) {
  chunksToWrite = uint32_t(GetChunkCount());
  if (chunksToWrite == 0) return true;
  const uint32_t align = BlockAlign();
  if (align == 0 || wavHeader.channels == 0) {
    Fail(*this, L"Could not write the sound file");
    return false;
  }

  HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_ALWAYS,
                            FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) {
    Fail(*this, L"Could not write the sound file");
    return false;
  }
  // The header is written with the sizes of the data actually written, once they are known.
  uint8_t header[44] = {};
  bool ok = WriteAll(file, header, sizeof header);
  const size_t failuresBefore = saveFailures.size();
  uint64_t dataBytes = 0;
  std::vector<uint8_t> piece(std::max(kSoundPieceBytes / align, 1u) * align);
  auto put = [&](const uint8_t* bytes, uint32_t n) {
    // More than a WAV header can describe, or a short write.
    if (dataBytes + n > kMaxWavDataBytes || !WriteAll(file, bytes, n)) return false;
    dataBytes += n;
    return true;
  };
  for (int i = 0; ok && i < int(chunksToWrite); ++i)
    ok = StreamChunkPcm(*this, i, piece.data(), uint32_t(piece.size()), put);
  if (ok && (dataBytes & 1)) {
    const uint8_t pad = 0;
    ok = WriteAll(file, &pad, 1);
  }
  if (ok) {
    const uint32_t data = uint32_t(dataBytes);
    const uint32_t riff = data + 36 + (data & 1);
    memcpy(header, "RIFF", 4);
    memcpy(header + 4, &riff, 4);
    memcpy(header + 8, "WAVEfmt ", 8);
    const uint32_t fmtSize = 16;
    const uint16_t tag = WAVE_FORMAT_PCM;
    memcpy(header + 16, &fmtSize, 4);
    memcpy(header + 20, &tag, 2);
    memcpy(header + 22, &wavHeader.channels, 2);
    memcpy(header + 24, &wavHeader.samplesPerSec, 4);
    const uint32_t bytesPerSec =
        uint32_t(std::min<uint64_t>(uint64_t(wavHeader.samplesPerSec) * align, UINT32_MAX));
    memcpy(header + 28, &bytesPerSec, 4);
    memcpy(header + 32, &wavHeader.blockAlign, 2);
    memcpy(header + 34, &wavHeader.bitsPerSample, 2);
    memcpy(header + 36, "data", 4);
    memcpy(header + 40, &data, 4);
    ok = SetFilePointer(file, 0, nullptr, FILE_BEGIN) == 0 && WriteAll(file, header, sizeof header);
  }
  ok = CloseHandle(file) && ok;
  if (!ok) {
    DeleteFileW(path.c_str());
    if (saveFailures.size() == failuresBefore) Fail(*this, L"Could not write the sound file");
  }
  return ok;
}

bool CSoundDocument::EncodeMp3File(const std::wstring& path, uint32_t* errorCode) {
  uint32_t dummy = 0;
  uint32_t& code = errorCode ? *errorCode : dummy;
  code = 0;
  chunksToWrite = uint32_t(GetChunkCount());
  if (chunksToWrite == 0) return true;
  const uint32_t channels = wavHeader.channels;
  if (channels != 1 && channels != 2) {
    code = 1;
    return false;
  }
  const LameEncCalls& lame = g_pLameEncCalls ? *g_pLameEncCalls : LameEncLibrary();
  if (!lame.open || !lame.encode || !lame.flush || !lame.close) {
    code = 4;
    return false;
  }
  if (wavHeader.bitsPerSample != 16 || BlockAlign() != channels * 2 || wavHeader.samplesPerSec == 0) {
    code = 2;
    return false;
  }

  LameEncConfig config = {};
  config.kind = LAMEENC_KIND_MP3;
  config.samplesPerSecond = wavHeader.samplesPerSec;
  config.mode = channels == 1 ? LAMEENC_MODE_MONO : LAMEENC_MODE_STEREO;
  config.bitRateKbps = uint16_t(64 * channels);
  uint32_t samplesPerCall = 0, outputSize = 0;
  LameEncStream stream = nullptr;
  if (lame.open(&config, &samplesPerCall, &outputSize, &stream) != LAMEENC_OK || !stream) {
    code = 2;
    return false;
  }
  const uint32_t framesPerCall = samplesPerCall / channels;
  std::vector<uint8_t> output;
  HANDLE file = INVALID_HANDLE_VALUE;
  if (framesPerCall == 0 || outputSize == 0 || framesPerCall > kSoundPieceBytes) {
    code = 2;
  } else {
    output.resize(outputSize);
    // Read as well: its first frame is completed at the end.
    file = CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_ALWAYS,
                       FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) code = 3;
  }
  Mp3FileWriter writer(file);
  uint64_t framesEncoded = 0;

  bool ok = code == 0;
  // Pieces of whole encoder calls: each chunk is fed from its first frame in calls of the size the
  // encoder asked for, the last call of a chunk taking what is left.
  const uint32_t callBytes = framesPerCall * BlockAlign();
  std::vector<uint8_t> piece(ok ? std::max(kSoundPieceBytes / std::max(callBytes, 1u), 1u) * callBytes : 0);
  auto put = [&](const uint8_t* bytes, uint32_t n) {
    const auto* samples = reinterpret_cast<const int16_t*>(bytes);
    const uint32_t frames = n / BlockAlign();
    for (uint32_t done = 0; done < frames;) {
      const uint32_t count = std::min(frames - done, framesPerCall);
      uint32_t produced = 0;
      if (lame.encode(stream, count * channels, samples + size_t(done) * channels, output.data(),
                      &produced) != LAMEENC_OK ||
          produced > outputSize) {
        code = 2;
        return false;
      }
      if (produced && !writer.Append(output.data(), produced)) {
        code = 3;
        return false;
      }
      done += count;
    }
    framesEncoded += frames;
    return true;
  };
  for (int i = 0; ok && i < int(chunksToWrite); ++i)
    ok = StreamChunkPcm(*this, i, piece.data(), uint32_t(piece.size()), put);
  if (ok) {
    uint32_t produced = 0;
    if (lame.flush(stream, output.data(), &produced) != LAMEENC_OK || produced > outputSize) {
      code = 2;
      ok = false;
    } else if ((produced && !writer.Append(output.data(), produced)) ||
               !writer.CompleteInfoFrame(framesEncoded)) {
      code = 3;
      ok = false;
    }
  }
  lame.close(stream);
  if (file != INVALID_HANDLE_VALUE) {
    if (!CloseHandle(file) && ok) {
      code = 3;
      ok = false;
    }
    if (!ok) DeleteFileW(path.c_str());
  }
  return ok;
}

uint32_t CSoundDocument::BuildChunkTable(uint8_t** buffer) {
  *buffer = nullptr;
  Lock lock(packetLock);
  if (chunksToWrite == 0 || chunksToWrite > chunks.size()) chunksToWrite = uint32_t(chunks.size());
  const uint64_t rate = wavHeader.samplesPerSec;
  uint64_t total = 0;
  for (uint32_t i = 0; i < chunksToWrite; ++i) total += chunks[i]->frames;
  if (total == 0 || rate == 0) {
    chunksToWrite = 0;
    return 0;
  }
  auto* records = static_cast<ChunkTableRecord*>(malloc(size_t(chunksToWrite) * sizeof(ChunkTableRecord)));
  if (!records) return 0;
  uint64_t start = 0;
  for (uint32_t i = 0; i < chunksToWrite; ++i) {
    records[i].startMs = uint32_t(start * 1000 / rate);
    records[i].lengthMs = uint32_t(uint64_t(chunks[i]->frames) * 1000 / rate);
    start += chunks[i]->frames;
  }
  *buffer = reinterpret_cast<uint8_t*>(records);
  return chunksToWrite * uint32_t(sizeof(ChunkTableRecord));
}

uint32_t CSoundDocument::ExportChunkTexts(uint8_t** buffer) {
  Lock lock(packetLock);
  std::wstring text = L"\xFEFF";
  for (const CChunkInfo* chunk : chunks) text += OneLine(chunk->text) + L"\r\n";
  const size_t bytes = text.size() * sizeof(wchar_t);
  *buffer = static_cast<uint8_t*>(malloc(bytes));
  if (!*buffer) return 0;
  memcpy(*buffer, text.data(), bytes);
  return uint32_t(bytes);
}
