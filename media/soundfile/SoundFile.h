// Loading and saving sound files of a track: the one-shot load and save threads, the ".cif"
// chunk-table record, the decode mutex, and the seam the tests use to make ZIP adds fail.
#pragma once

#include <windows.h>

#include <cstdint>
#include <string>

#include "audio/SoundWorks.h"
#include "standins/lame_enc/LameEnc.h"

class CSoundDocument;
struct ZipHandle;

// The block a load or save thread receives (allocated with new by the starter, deleted by the
// thread procedure).
struct SoundFileRequest {
  CSoundDocument* document;
  std::wstring path;
  std::wstring backup;  // a save's: where a file already at the path goes
};

// Load: LoadSoundFile, then NOTIFY_LOADED whatever the result. Save: SaveSoundFile (which records
// its result in the document's lastSaveResult), then NOTIFY_SAVED.
DWORD WINAPI LoadThreadProc(LPVOID request);
DWORD WINAPI SaveThreadProc(LPVOID request);

#pragma pack(push, 1)
// One record of a ".cif" chunk table: start and length in milliseconds, little-endian.
struct ChunkTableRecord {
  uint32_t startMs;
  uint32_t lengthMs;
};
#pragma pack(pop)
static_assert(sizeof(ChunkTableRecord) == 8, "a chunk-table record is 8 bytes");

// Serialises the decode step of every load between all running instances.
constexpr wchar_t kDecodeMutexName[] = L"Global\\QuillmeridianMP3DecodeMutex";

// No chunk table or text file makes more chunks than this (about 11 MB of chunk records).
constexpr uint32_t kMaxFileChunks = 10000;
// A chunk table whose chunks hold more than this many times the sound's frames, or more than a
// WAV's data can, is not used: its save would multiply the sound.
constexpr uint64_t kMaxTableRepeats = 16;
constexpr uint64_t kMaxWavDataBytes = 0xFFFFFFFFull - 36;
// A ".txt" larger than this is not read.
constexpr uint32_t kMaxTextFileBytes = 10000000;
// Longest chunk text read from a ".txt", in UTF-16 units.
constexpr size_t kMaxChunkTextUnits = 1023;
// A package with more entries than this is read only up to here.
constexpr int32_t kMaxPackageEntries = 1024;
// A package whose entries would extract to more than this (or more than the temp folder's free
// space) is refused before anything is extracted.
constexpr uint64_t kMaxPackageBytes = 2ull << 30;
// Sampling rates and channels a sound file may have: those the engine plays.
constexpr uint32_t kMinSampleRate = kMinPlayRate;
constexpr uint32_t kMaxSampleRate = kMaxPlayRate;
constexpr uint32_t kMaxChannels = kMaxPlayChannels;
// Longest path the loader takes.
constexpr size_t kMaxPathUnits = 259;

// Sound data are moved between files and memory in pieces of at most this many bytes: a save or
// a reload never needs a second block the size of a chunk, and the packet lock is held only for
// copying one piece.
constexpr uint32_t kSoundPieceBytes = 1u << 20;

// Reads size bytes at offset without using (or minding) the file pointer, so that threads sharing
// the handle cannot move each other's reads; false on a failed or short read.
bool ReadFileAtOffset(HANDLE file, uint64_t offset, void* data, DWORD size);
bool WriteFileAtOffset(HANDLE file, uint64_t offset, const void* data, DWORD size);

// True when a sound saved at path can be loaded again by a track whose temp folder is tempFolder:
// the loader takes paths of at most kMaxPathUnits characters, and decodes an MP3 or a package into
// the temp folder under the file's base name.
bool FitsTheLoader(const std::wstring& path, const std::wstring& tempFolder);

// The package writer's add call (ZipAdd by default), so that tests can make it fail.
using PFN_SoundZipAdd = uint32_t (*)(ZipHandle* handle, const wchar_t* name, const void* source,
                                     uint32_t length, uint32_t kind);
extern PFN_SoundZipAdd g_pfnSoundZipAdd;

// The encoder's four calls. LameEncLibrary() gives LAME_ENC.DLL's, loaded by name once and
// fetched by ordinal (all null when it cannot be loaded); the saver uses g_pLameEncCalls when a
// test sets it.
struct LameEncCalls {
  LameEncOpenStreamFn open = nullptr;
  LameEncEncodeChunkFn encode = nullptr;
  LameEncFlushStreamFn flush = nullptr;
  LameEncCloseStreamFn close = nullptr;
};
const LameEncCalls& LameEncLibrary();
extern const LameEncCalls* g_pLameEncCalls;
