// Command-line front end over a track's loading and saving, for the Linux-side round trips and the
// benchmark. Commands run in order on one Master-like track with a silent engine:
//   load <path>          LoadSoundFile
//   save <path>          SaveSoundFile
//   split <ms,ms,...>    chunks of the loaded sound, contiguous from 0, cut at these times
//   texts <a|b|...>      chunk texts in order (\r and \n stand for CR and LF); sets texts present
//   dump                 one JSON line: format, data size and every chunk (start, frames, text)
// Each command prints "time <command> <ms>" on stderr, and the end "memory peak_private <bytes>";
// messages for the user go to stderr too.
// Exit code 0 when every command succeeded, 1 when a load or save failed, 2 for bad usage.
#include <windows.h>
#include <psapi.h>

#include <chrono>
#include <cstdio>
#include <string>
#include <vector>

#include "audio/SoundWorks.h"
#include "common/Locks.h"
#include "common/Prompt.h"
#include "media/document/SoundDocument.h"
#include "media/soundfile/SoundFile.h"
#include "tests/support/FakeSoundEngine.h"

namespace {

std::string Utf8(const std::wstring& text) {
  if (text.empty()) return {};
  int n = WideCharToMultiByte(CP_UTF8, 0, text.data(), int(text.size()), nullptr, 0, nullptr, nullptr);
  std::string out(size_t(n), '\0');
  WideCharToMultiByte(CP_UTF8, 0, text.data(), int(text.size()), out.data(), n, nullptr, nullptr);
  return out;
}

std::string JsonString(const std::wstring& text) {
  std::string out = "\"";
  for (unsigned char c : Utf8(text)) {
    if (c == '"' || c == '\\') {
      out += '\\';
      out += char(c);
    } else if (c < 0x20) {
      char esc[8];
      snprintf(esc, sizeof esc, "\\u%04x", c);
      out += esc;
    } else {
      out += char(c);
    }
  }
  return out + "\"";
}

std::wstring Unescape(const std::wstring& text) {
  std::wstring out;
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] == L'\\' && i + 1 < text.size() && (text[i + 1] == L'n' || text[i + 1] == L'r')) {
      out += text[++i] == L'n' ? L'\n' : L'\r';
    } else {
      out += text[i];
    }
  }
  return out;
}

std::vector<std::wstring> SplitOn(const std::wstring& text, wchar_t separator) {
  std::vector<std::wstring> parts;
  size_t start = 0;
  for (;;) {
    size_t end = text.find(separator, start);
    parts.push_back(text.substr(start, end == std::wstring::npos ? std::wstring::npos : end - start));
    if (end == std::wstring::npos) return parts;
    start = end + 1;
  }
}

void Split(CSoundDocument& doc, const std::wstring& list) {
  const uint32_t align = doc.wavHeader.blockAlign;
  const uint64_t total = align ? doc.sourceDataSize / align : 0;
  std::vector<uint64_t> cuts = {0};
  for (const std::wstring& ms : SplitOn(list, L','))
    cuts.push_back(
        std::min<uint64_t>(total, uint64_t(_wtoi64(ms.c_str())) * doc.wavHeader.samplesPerSec / 1000));
  cuts.push_back(total);
  doc.FreeAllChunks();
  std::lock_guard<RecursiveMutex> lock(doc.packetLock);
  for (size_t i = 0; i + 1 < cuts.size(); ++i) {
    auto* chunk = new CChunkInfo;
    chunk->start = uint32_t(cuts[i]);
    chunk->frames = uint32_t(cuts[i + 1] > cuts[i] ? cuts[i + 1] - cuts[i] : 0);
    doc.chunks.push_back(chunk);
  }
  doc.currentChunk = 0;
  doc.LoadChunk(0);
  doc.modified = 1;
}

void Dump(CSoundDocument& doc) {
  printf(
      "{\"channels\": %u, \"rate\": %u, \"bits\": %u, \"dataSize\": %u, \"textsPresent\": %u, \"chunks\": [",
      doc.wavHeader.channels, doc.wavHeader.samplesPerSec, doc.wavHeader.bitsPerSample, doc.sourceDataSize,
      doc.textsPresent);
  for (int i = 0; i < doc.GetChunkCount(); ++i) {
    const CChunkInfo* chunk = doc.GetChunk(i);
    printf("%s[%u, %u, %s]", i ? ", " : "", chunk->start, chunk->frames, JsonString(chunk->text).c_str());
  }
  printf("]}\n");
  fflush(stdout);
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  g_pfnCreateSoundEngine = [](void* owner) {
    CSoundWorksBase* engine = MakeSilentFakeEngine(owner);
    static_cast<FakeEngine*>(engine)->captureCount = 0;
    return engine;
  };
  g_pfnShowPrompt = [](HWND, LPCWSTR text, LPCWSTR caption, UINT) {
    fprintf(stderr, "message: %ls: %ls\n", caption, text);
    return IDOK;
  };
  int status = 0;
  std::wstring folder;
  {
    CSoundDocument doc(0, L"Tool" + std::to_wstring(GetCurrentProcessId()), nullptr);
    for (int i = 1; i < argc; ++i) {
      const std::wstring command = argv[i];
      const bool hasArgument = i + 1 < argc;
      const auto start = std::chrono::steady_clock::now();
      bool ok = true;
      if (command == L"load" && hasArgument) {
        ok = doc.LoadSoundFile(argv[++i]);
      } else if (command == L"save" && hasArgument) {
        ok = doc.SaveSoundFile(argv[++i]);
      } else if (command == L"split" && hasArgument) {
        Split(doc, argv[++i]);
      } else if (command == L"texts" && hasArgument) {
        const std::vector<std::wstring> texts = SplitOn(argv[++i], L'|');
        for (size_t k = 0; k < texts.size() && k < size_t(doc.GetChunkCount()); ++k)
          doc.GetChunk(int(k))->text = Unescape(texts[k]);
        doc.textsPresent = 1;
      } else if (command == L"dump") {
        Dump(doc);
      } else {
        fprintf(stderr, "usage: load|save|split|texts|dump ...\n");
        return 2;
      }
      const double ms =
          std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
      fprintf(stderr, "time %ls %.1f\n", command.c_str(), ms);
      if (!ok) {
        fprintf(stderr, "%ls failed\n", command.c_str());
        status = 1;
        break;
      }
    }
    folder = doc.tempFolder;
  }
  RemoveDirectoryW(folder.c_str());  // the destructor emptied it
  PROCESS_MEMORY_COUNTERS_EX counters = {};
  counters.cb = sizeof counters;
  GetProcessMemoryInfo(GetCurrentProcess(), reinterpret_cast<PROCESS_MEMORY_COUNTERS*>(&counters),
                       sizeof counters);
  fprintf(stderr, "memory peak_private %llu\n", static_cast<unsigned long long>(counters.PeakPagefileUsage));
  return status;
}
