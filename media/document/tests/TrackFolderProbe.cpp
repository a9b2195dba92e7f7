// Another process's track: track_folder_probe <track name> <out file> [hold]
// Makes a track of that name (as a second instance of the recorder does at start), records a
// chunk into its temp folder, writes the folder's path to <out file> (UTF-16) and ends the track.
// With "hold" it writes the path while the track lives and then waits until it is killed.
#include <windows.h>

#include <cstdio>
#include <string>

#include "media/document/SoundDocument.h"
#include "tests/support/FakeSoundEngine.h"

namespace {

bool WritePath(const wchar_t* file, const std::wstring& folder) {
  FILE* out = _wfopen(file, L"wb");
  if (!out) return false;
  fwrite(folder.data(), sizeof(wchar_t), folder.size(), out);
  fclose(out);
  return true;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  const bool hold = argc == 4 && std::wstring(argv[3]) == L"hold";
  if (argc != 3 && !hold) return 5;
  g_pfnCreateSoundEngine = MakeSilentFakeEngine;
  std::wstring folder;
  {
    CSoundDocument track(0, argv[1], nullptr);
    folder = track.tempFolder;
    const int index = track.NewChunk();
    if (index < 0) return 3;
    CChunkInfo* chunk = track.GetChunk(index);
    chunk->buffer = static_cast<uint8_t*>(malloc(200));
    chunk->used = chunk->capacity = 200;
    chunk->frames = 100;
    if (!track.SaveChunk(index)) return 4;
    if (hold) {
      if (!WritePath(argv[2], folder)) return 6;
      Sleep(INFINITE);
    }
  }
  return WritePath(argv[2], folder) ? 0 : 6;
}
