// Another process's track: track_folder_probe <track name> <out file>
// Makes a track of that name (as a second instance of the recorder does at start), records a
// chunk into its temp folder, writes the folder's path to <out file> (UTF-16) and ends the track.
#include <windows.h>

#include <cstdio>
#include <string>

#include "media/document/SoundDocument.h"
#include "tests/support/FakeSoundEngine.h"

int wmain(int argc, wchar_t** argv) {
  if (argc != 3) return 5;
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
  }
  FILE* out = _wfopen(argv[2], L"wb");
  if (!out) return 6;
  fwrite(folder.data(), sizeof(wchar_t), folder.size(), out);
  fclose(out);
  return 0;
}
