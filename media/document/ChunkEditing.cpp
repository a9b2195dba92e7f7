// Chunk editing: bookmarks split and merge chunks, a selection is cut out of the source WAV, and
// whole mode shows the whole sound as one chunk while the bookmarks wait aside.
#include <algorithm>
#include <cstdlib>
#include <cstring>

#include "common/Locks.h"
#include "common/LogManager.h"
#include "common/SharedHelpers.h"
#include "media/document/SoundDocument.h"
#include "media/soundfile/SoundFile.h"

using Lock = std::lock_guard<RecursiveMutex>;

PFN_CutWrite g_pfnCutWrite = WriteFileAtOffset;

namespace {

constexpr DWORD kMoveBufferBytes = 4194304;

bool SeekTo(HANDLE file, uint64_t offset) {
  LARGE_INTEGER at;
  at.QuadPart = LONGLONG(offset);
  return SetFilePointerEx(file, at, nullptr, FILE_BEGIN) != FALSE;
}

bool WriteAt(HANDLE file, uint64_t offset, const void* data, DWORD bytes) {
  return g_pfnCutWrite(file, offset, data, bytes);
}

// The rewrite of a cut changes the file from one offset on, always at the end of what it changed
// so far. Before each write the bytes it replaces are copied to a temp file of the track, so a
// failure half way can put the file back as it was.
class CutUndo {
 public:
  CutUndo(HANDLE file, uint64_t base, const wchar_t* folder) : file_(file), base_(base) {
    wchar_t path[MAX_PATH + 1] = {};
    if (GetTempFileNameW(folder, L"Cut", 0, path))
      undo_ = CreateFileW(path, GENERIC_READ | GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                          FILE_ATTRIBUTE_TEMPORARY | FILE_FLAG_DELETE_ON_CLOSE, nullptr);
    saved_ = static_cast<uint8_t*>(malloc(kMoveBufferBytes));
  }
  ~CutUndo() {
    if (undo_ != INVALID_HANDLE_VALUE) CloseHandle(undo_);
    free(saved_);
  }
  bool Ready() const { return undo_ != INVALID_HANDLE_VALUE && saved_; }

  // Writes n bytes at offset (never before what was written so far), keeping what they replace.
  bool Write(uint64_t offset, const void* data, DWORD n) {
    if (offset < base_ || !Keep(offset + n)) return false;
    if (!WriteAt(file_, offset, data, n)) return false;
    changed_ = true;
    return true;
  }
  // Cuts the file at end, keeping what goes.
  bool Truncate(uint64_t end, uint64_t fileSize) {
    if (end < base_ || !Keep(fileSize) || !SeekTo(file_, end) || !SetEndOfFile(file_)) return false;
    changed_ = true;
    return true;
  }
  // False when nothing was changed yet: the file is still as it was.
  bool Changed() const { return changed_; }
  // Moves the bytes [from, to) down to `dest` (dest <= from), piece by piece from the front, so no
  // piece overwrites bytes that are still to be read.
  bool MoveDown(uint64_t from, uint64_t to, uint64_t dest, uint8_t* work) {
    while (from < to) {
      const DWORD piece = DWORD(std::min<uint64_t>(kMoveBufferBytes, to - from));
      if (!ReadFileAtOffset(file_, from, work, piece) || !Write(dest, work, piece)) return false;
      from += piece;
      dest += piece;
    }
    return true;
  }
  // Saves the original bytes from what is kept so far up to end.
  bool Keep(uint64_t end) {
    for (uint64_t at = base_ + kept_; at < end;) {
      const DWORD piece = DWORD(std::min<uint64_t>(kMoveBufferBytes, end - at));
      if (!ReadFileAtOffset(file_, at, saved_, piece) || !WriteFileAtOffset(undo_, kept_, saved_, piece))
        return false;
      kept_ += piece;
      at += piece;
    }
    return true;
  }
  // Puts every byte written back, and the file's length.
  bool Restore(uint64_t fileSize) {
    bool ok = true;
    for (uint64_t at = 0; ok && at < kept_;) {
      const DWORD piece = DWORD(std::min<uint64_t>(kMoveBufferBytes, kept_ - at));
      ok = ReadFileAtOffset(undo_, at, saved_, piece) && WriteAt(file_, base_ + at, saved_, piece);
      at += piece;
    }
    return ok && SeekTo(file_, fileSize) && SetEndOfFile(file_);
  }

 private:
  HANDLE file_;
  uint64_t base_;
  HANDLE undo_ = INVALID_HANDLE_VALUE;
  uint8_t* saved_ = nullptr;
  uint64_t kept_ = 0;  // bytes from base_ on that were saved before being written
  bool changed_ = false;
};

constexpr wchar_t kCutFailedText[] =
    L"The selection could not be cut: the sound file could not be rewritten. The sound is unchanged.";
constexpr wchar_t kCutDamagedText[] =
    L"The selection could not be cut, and the sound file could not be put back as it was: it may be "
    L"damaged. Save the track under another name.";

void DropBuffer(CChunkInfo* chunk) {
  CSoundDocument::FreeChunkBuffer(chunk);
  chunk->playOffset = 0;
}

}  // namespace

// A chunk whose PCM exists only in its own temp file or in memory: the source WAV cannot give
// its frames back, so its bytes must move with every edit.
bool CSoundDocument::HasOwnPcm(const CChunkInfo* chunk) const {
  return chunk->fileName[0] != 0 || !sourceWav;
}

bool CSoundDocument::InsertBookmark() {
  Lock lock(packetLock);
  if (wholeMode) return true;
  CChunkInfo* chunk = GetCurrentChunk();
  if (!chunk) return false;
  const uint32_t cursor = cursorFrame;
  if (cursor == 0 || cursor >= chunk->frames) return false;
  if (!SplitChunk(currentChunk, cursor)) return false;
  SetPositionBarRange(chunk->frames);
  SetPositionBarPos(playPosition);
  viewStartFrame = 0;
  cursorFrame = 0;
  RedrawWaveform(0, framesPerPixel);
  Notify(recording ? NOTIFY_CHUNK_RECORDING : NOTIFY_CHUNK_IDLE);
  return true;
}

bool CSoundDocument::SplitChunk(int index, uint32_t frame) {
  Lock lock(packetLock);
  CChunkInfo* chunk = GetChunk(index);
  if (!chunk || frame >= chunk->frames) return false;
  StopEngineDevices();
  // Blocks still on their way belong after the split point, not at the end of the first half.
  recordingChunk = nullptr;
  ReleaseParked();
  if (HasOwnPcm(chunk)) {
    if (!SplitOwnPcm(index, frame)) {
      PostLogLine(LOG_WAVE_MANAGER, "Bookmark not inserted: the chunk's sound could not be split");
      return false;
    }
  } else {
    DropBuffer(chunk);
    auto* tail = new CChunkInfo;
    tail->start = chunk->start + frame;
    tail->frames = chunk->frames - frame;
    chunk->frames = frame;
    chunks.insert(chunks.begin() + index + 1, tail);
    if (currentChunk > index) ++currentChunk;
    if (index == currentChunk) LoadChunk(index);
  }
  modified = 1;
  return true;
}

// The second part of the PCM goes into a new chunk with a temp file of its own; nothing changes
// when that file cannot be written.
bool CSoundDocument::SplitOwnPcm(int index, uint32_t frame) {
  CChunkInfo* chunk = GetChunk(index);
  const uint32_t align = BlockAlign();
  if (!align || !LoadChunk(index) || !chunk->buffer) return false;
  const uint64_t cut = uint64_t(frame) * align;
  if (cut > chunk->used) return false;
  const uint32_t tailBytes = chunk->used - uint32_t(cut);

  const int made = NewChunk();  // appended last; moved behind the chunk below
  if (made < 0) return false;
  CChunkInfo* tail = chunks[made];
  chunks.erase(chunks.begin() + made);
  tail->buffer = static_cast<uint8_t*>(malloc(tailBytes ? tailBytes : 1));
  if (!tail->buffer) {
    DeleteFileW(ChunkPath(tail).c_str());
    delete tail;
    return false;
  }
  if (tailBytes) memcpy(tail->buffer, chunk->buffer + cut, tailBytes);
  tail->used = tail->capacity = tailBytes;
  tail->frames = chunk->frames - frame;
  chunks.insert(chunks.begin() + index + 1, tail);
  if (!SaveChunk(index + 1)) {
    chunks.erase(chunks.begin() + index + 1);
    DeleteFileW(ChunkPath(tail).c_str());
    free(tail->buffer);
    delete tail;
    return false;
  }
  DropBuffer(tail);
  if (currentChunk > index) ++currentChunk;

  chunk->used = uint32_t(cut);
  chunk->frames = frame;
  chunk->playOffset = std::min(chunk->playOffset, chunk->used);
  // The first part stays in memory when it is current, or when its file could not be rewritten.
  if (SaveChunk(index) && index != currentChunk && chunk->fileName[0]) DropBuffer(chunk);
  return true;
}

void CSoundDocument::RemoveBookmark(int index) {
  FinishTake();
  Lock lock(packetLock);
  const int count = GetChunkCount();
  if (index < 0 || count < 2 || index >= count - 1) return;
  CChunkInfo* a = chunks[index];
  CChunkInfo* b = chunks[index + 1];
  if (HasOwnPcm(a) != HasOwnPcm(b)) {
    // One half lives in the source WAV and the other in a file of its own: no single chunk
    // can hold both.
    PostLogLine(LOG_WAVE_MANAGER, "Bookmark not removed: the chunks keep their sound in different places");
    return;
  }
  StopEngineDevices();
  recordingChunk = nullptr;
  ReleaseParked();
  const uint32_t boundary = a->frames;
  if (HasOwnPcm(a)) {
    if (!MergeOwnPcm(a, b)) {
      PostLogLine(LOG_WAVE_MANAGER, "Bookmark not removed: the chunks' sound could not be joined");
      return;
    }
  } else {
    DropBuffer(a);
    // The merged chunk reaches the end of the second one, gaps between them included.
    if (b->start >= a->start)
      a->frames = std::max(a->start + a->frames, b->start + b->frames) - a->start;
    else
      a->frames += b->frames;
  }
  a->text += b->text;
  FreeChunkBuffer(b);
  delete b;
  chunks.erase(chunks.begin() + index + 1);
  if (currentChunk > index) --currentChunk;

  LoadChunk(index);
  SelectChunk(index);
  Notify(recording ? NOTIFY_CHUNK_RECORDING : NOTIFY_CHUNK_IDLE);
  RedrawWaveform(0, framesPerPixel);
  selectionStartFrame = boundary;
  cursorFrame = boundary;
  SetPositionBarPos(boundary);
  DrawSelectionAndCursor(nullptr);
  const int64_t fpp = framesPerPixel ? framesPerPixel : 64;
  cursorColumn = int32_t((int64_t(boundary) - viewStartFrame) / fpp);
  selectionStartColumn = cursorColumn;
  modified = 1;
}

// Appends b's PCM to a's and writes a's file; b's file goes only once a holds its sound.
bool CSoundDocument::MergeOwnPcm(CChunkInfo* a, CChunkInfo* b) {
  const uint32_t align = BlockAlign();
  const int ia = int(std::find(chunks.begin(), chunks.end(), a) - chunks.begin());
  if (!align || !LoadChunk(ia) || !LoadChunk(ia + 1)) return false;
  const uint64_t aBytes = a->buffer ? std::min<uint64_t>(a->used, uint64_t(a->frames) * align) : 0;
  const uint64_t bBytes = b->buffer ? std::min<uint64_t>(b->used, uint64_t(b->frames) * align) : 0;
  if (aBytes + bBytes > kMaxChunkBytes) return false;
  a->used = uint32_t(aBytes);
  if (!GrowChunk(a, aBytes + bBytes ? aBytes + bBytes : 1)) return false;
  if (bBytes) memcpy(a->buffer + aBytes, b->buffer, size_t(bBytes));
  a->used = uint32_t(aBytes + bBytes);
  a->frames = a->used / align;
  const bool saved = SaveChunk(ia) && a->fileName[0];
  if (b->fileName[0] && saved) DeleteFileW(ChunkPath(b).c_str());
  return true;
}

// Source frames [from, to) were cut: every chunk of the source WAV in the list is moved and
// shortened to match.
void CSoundDocument::ShiftSourceChunks(std::vector<CChunkInfo*>& list, const CChunkInfo* skip, uint64_t from,
                                       uint64_t to) {
  auto map = [&](uint64_t p) { return p <= from ? p : (p >= to ? p - (to - from) : from); };
  for (CChunkInfo* chunk : list) {
    if (chunk == skip || chunk->fileName[0]) continue;
    const uint64_t start = map(chunk->start);
    const uint64_t end = map(uint64_t(chunk->start) + chunk->frames);
    chunk->start = uint32_t(start);
    chunk->frames = uint32_t(end - start);
  }
}

// The cut is planned under the packet lock, the source WAV is rewritten without it (while
// sourceRewriting keeps every reader away from the file), and the chunks follow under the lock
// again; the current chunk is then read back without the lock.
bool CSoundDocument::DeleteSelection() {
  HANDLE source = nullptr;
  uint64_t dataStart = 0, cutFrom = 0, cutTo = 0;
  uint32_t dataSize = 0, s = 0, e = 0;
  CChunkInfo* chunk = nullptr;
  CChunkInfo dropped;  // the chunk's PCM as it was, freed once the lock is let go
  {
    Lock lock(packetLock);
    if (!sourceWav || sourceRewriting) return false;
    chunk = GetCurrentChunk();
    const uint32_t align = BlockAlign();
    if (!chunk || !align || chunk->fileName[0]) return false;  // only source frames can be cut
    const uint32_t frames = chunk->frames;
    s = selectionStartFrame;
    e = cursorFrame;
    if (s >= frames) {
      selectionStartFrame = cursorFrame;
      DrawSelectionAndCursor(nullptr);
      return false;
    }
    if (e >= frames) {
      e = frames - 1;
      cursorFrame = e;
    }
    if (s >= e) return false;
    cutFrom = (uint64_t(chunk->start) + s) * align;
    cutTo = uint64_t(chunk->start) * align + uint64_t(e) * align;
    if (cutTo > sourceDataSize) return false;  // the chunk table points past the data
    source = sourceWav;
    dataStart = sourceDataOffset;
    dataSize = sourceDataSize;
    std::swap(dropped.buffer, chunk->buffer);
    std::swap(dropped.reservedBytes, chunk->reservedBytes);
    chunk->used = chunk->capacity = chunk->playOffset = 0;
    sourceRewriting = true;
  }
  FreeChunkBuffer(&dropped);

  const uint64_t cutBytes = cutTo - cutFrom;
  const uint32_t newDataSize = dataSize - uint32_t(cutBytes);
  uint32_t riffSize = 0;
  bool ok = false, restored = true;
  LARGE_INTEGER size = {};
  uint8_t* work = nullptr;
  // What the header words held, written back when the cut fails.
  uint32_t oldRiff = 0, declared = 0;
  CutUndo undo(source, dataStart + cutFrom, tempFolder);
  if (undo.Ready() && GetFileSizeEx(source, &size) && ReadFileAtOffset(source, 4, &oldRiff, 4) &&
      ReadFileAtOffset(source, dataStart - 4, &declared, 4) &&
      (work = static_cast<uint8_t*>(malloc(kMoveBufferBytes))) != nullptr) {
    const uint64_t fileSize = uint64_t(size.QuadPart);
    const uint64_t dataEnd = std::min<uint64_t>(dataStart + dataSize, fileSize);
    // Chunks after "data" (LIST and the like) stay. They begin after the data chunk as the file
    // declares it: the loader kept whole frames only, so a partial frame and the pad byte of an
    // odd-sized chunk lie in between and are dropped with the cut.
    const uint32_t oldDeclared = declared;
    if (declared < dataSize) declared = dataSize;
    const uint64_t tailStart = std::min<uint64_t>(dataStart + declared + (declared & 1), fileSize);
    ok = dataStart + cutTo <= dataEnd && undo.MoveDown(dataStart + cutTo, dataEnd, dataStart + cutFrom, work);
    uint64_t end = dataStart + newDataSize;
    if (ok && tailStart < fileSize) {
      if (newDataSize & 1) {
        const uint8_t pad = 0;
        ok = undo.Write(end, &pad, 1);
        ++end;
      }
      ok = ok && undo.MoveDown(tailStart, fileSize, end, work);
      end += fileSize - tailStart;
    }
    ok = ok && undo.Truncate(end, fileSize);
    // The RIFF size follows the file, so whatever follows the data stays inside it.
    riffSize = uint32_t(end - 8);
    ok = ok && WriteAt(source, 4, &riffSize, 4) && WriteAt(source, dataStart - 4, &newDataSize, 4);
    if (!ok && undo.Changed())
      restored = undo.Restore(fileSize) && WriteAt(source, 4, &oldRiff, 4) &&
                 WriteAt(source, dataStart - 4, &oldDeclared, 4);
  }
  free(work);

  {
    Lock lock(packetLock);
    sourceRewriting = false;
    if (!ok) {
      PostLogLine(LOG_WAVE_MANAGER,
                  restored ? "Cutting the selection out of the source WAV failed; file restored"
                           : "Cutting the selection out of the source WAV failed; file not restored");
      Report(restored ? kCutFailedText : kCutDamagedText);
    } else {
      wavHeader.riffSize = riffSize;
      sourceDataSize = newDataSize;
      const uint64_t first = cutFrom / BlockAlign(), last = cutTo / BlockAlign();
      // Every chunk of the source follows the cut, the cut chunk itself included.
      ShiftSourceChunks(chunks, nullptr, first, last);
      // Bookmarks put aside by whole mode describe the same source frames.
      ShiftSourceChunks(asideChunks, nullptr, first, last);
      audioChanged = 1;
      const CChunkInfo* current = GetCurrentChunk();
      cursorFrame = std::min(cursorFrame.load(), current ? current->frames : 0u);
      selectionStartFrame = cursorFrame;
    }
  }
  ReloadSourceChunk(currentChunk);
  Lock lock(packetLock);
  if (!ok) return false;
  RedrawWaveform(0, framesPerPixel);
  DrawSelectionAndCursor(nullptr);
  if (const CChunkInfo* current = GetCurrentChunk()) SetPositionBarRange(current->frames);
  return true;
}

bool CSoundDocument::BuildWholeChunk() {
  if (!sourceWav) return false;
  FreeChunkList(chunks);
  recordingChunk = nullptr;
  auto* whole = new CChunkInfo;
  whole->frames = BlockAlign() ? sourceDataSize / BlockAlign() : 0;
  chunks.push_back(whole);
  currentChunk = 0;
  // A redraw with the stored value then draws at the default zoom.
  framesPerPixel = 64;
  return true;
}

bool CSoundDocument::MakeWholeChunk() {
  Lock lock(packetLock);
  if (!BuildWholeChunk()) return false;
  LoadChunk(0);
  Notify(recording ? NOTIFY_CHUNK_RECORDING : NOTIFY_CHUNK_IDLE);
  modified = 0;
  return true;
}

void CSoundDocument::SetWholeMode(bool on) {
  if (on != wholeMode && (recording || IsDraining())) {
    StopTransport();
    FinishTake();
  }
  Lock lock(packetLock);
  if (on == wholeMode) return;
  StopTransport();
  if (CChunkInfo* current = GetCurrentChunk()) {
    // Only a chunk whose sound is safe elsewhere leaves memory.
    if (SaveChunk(currentChunk) && (current->fileName[0] || sourceWav)) DropBuffer(current);
  }
  wholeMode = on;
  if (on) {
    asideChunks = std::move(chunks);
    chunks.clear();
    currentChunk = -1;
    BuildWholeChunk();  // without a source the list stays empty
  } else {
    FreeChunkList(chunks);  // the whole chunk
    recordingChunk = nullptr;
    chunks = std::move(asideChunks);
    asideChunks.clear();
  }
  const int select = chunks.empty() ? -1 : 0;
  currentChunk = -1;
  SelectChunk(select);
  Notify(NOTIFY_LOADED);
}

void CSoundDocument::DiscardAsideChunks() {
  Lock lock(packetLock);
  FreeChunkList(asideChunks);
  wholeMode = false;
}
