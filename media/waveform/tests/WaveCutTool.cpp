// Command-line front end for the Linux-side cut test: loads a WAV into a track as the program
// does, cuts the selection out of it and prints the result.
//   wave_cut_tool <wav> <selection start frame> <cursor frame> [whole]
// Prints "cut<TAB>result<TAB>chunk frames<TAB>data bytes"; exit code 2 when the load fails.
#include <cstdio>
#include <cstdlib>
#include <string>

#include "media/document/tests/DocumentTestSupport.h"

int wmain(int argc, wchar_t** argv) {
  if (argc < 4) {
    std::fprintf(stderr, "usage: wave_cut_tool <wav> <selection start> <cursor> [whole]\n");
    return 1;
  }
  g_pfnCreateSoundEngine = MakeFakeEngine;
  g_pfnShowPrompt = [](HWND, LPCWSTR text, LPCWSTR, UINT) {
    std::fprintf(stderr, "report: %ls\n", text);
    return IDOK;
  };
  int rc = 0;
  {
    CSoundDocument doc(GetCurrentThreadId(), UniqueTrackName(L"WaveCutTool"), nullptr);
    if (!doc.LoadSoundFile(argv[1]) || !doc.GetCurrentChunk()) {
      std::printf("load\tfailed\n");
      rc = 2;
    } else {
      if (argc > 4 && std::wstring(argv[4]) == L"whole") doc.SetWholeMode(true);
      doc.selectionStartFrame = uint32_t(wcstoul(argv[2], nullptr, 10));
      doc.cursorFrame = uint32_t(wcstoul(argv[3], nullptr, 10));
      const bool cut = doc.DeleteSelection();
      std::printf("cut\t%d\t%u\t%u\n", cut ? 1 : 0, doc.GetCurrentChunk()->frames, doc.sourceDataSize);
    }
    const std::wstring folder = doc.tempFolder;
    doc.ClearTempFolder();
    RemoveDirectoryW(folder.c_str());
  }
  return rc;
}
