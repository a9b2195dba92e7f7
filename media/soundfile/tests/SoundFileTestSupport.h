// Test support for loading and saving: a document on the fake engine with a folder of its own for
// the files, builders of WAV bytes and stored ZIP archives, and the messages the user would see.
#pragma once

#include <zlib.h>

#include <algorithm>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "common/SharedHelpers.h"
#include "media/document/tests/DocumentTestSupport.h"
#include "media/soundfile/SoundFile.h"
#include "tests/support/TestFiles.h"

using Bytes = std::string;

inline void Put16(Bytes& b, uint32_t v) { b.append({char(v & 0xFF), char((v >> 8) & 0xFF)}); }
inline void Put32(Bytes& b, uint32_t v) {
  Put16(b, v & 0xFFFF);
  Put16(b, v >> 16);
}
inline uint32_t Get32(const Bytes& b, size_t at) {
  return uint8_t(b[at]) | uint8_t(b[at + 1]) << 8 | uint8_t(b[at + 2]) << 16 |
         uint32_t(uint8_t(b[at + 3])) << 24;
}

// A RIFF chunk: id, size, payload and the pad byte of an odd payload.
inline Bytes RiffChunk(const char* id, const Bytes& payload, uint32_t sizeField = UINT32_MAX) {
  Bytes b(id, 4);
  Put32(b, sizeField == UINT32_MAX ? uint32_t(payload.size()) : sizeField);
  b += payload;
  if (payload.size() & 1) b += '\0';
  return b;
}

inline Bytes FmtPayload(uint16_t tag, uint16_t channels, uint32_t rate, uint16_t align, uint16_t bits) {
  Bytes b;
  Put16(b, tag);
  Put16(b, channels);
  Put32(b, rate);
  Put32(b, rate * align);
  Put16(b, align);
  Put16(b, bits);
  return b;
}

// "RIFF" size "WAVE" followed by the given chunks.
inline Bytes RiffFile(const Bytes& chunks) {
  Bytes b("RIFF", 4);
  Put32(b, uint32_t(chunks.size() + 4));
  return b + "WAVE" + chunks;
}

// 16-bit samples counting up from first.
inline Bytes Pcm16(uint32_t samples, int16_t first = 0) {
  Bytes b;
  for (uint32_t i = 0; i < samples; ++i) Put16(b, uint16_t(int16_t(first + int16_t(i))));
  return b;
}

inline Bytes CanonicalWav(uint16_t channels, uint32_t rate, const Bytes& data) {
  return RiffFile(RiffChunk("fmt ", FmtPayload(1, channels, rate, uint16_t(channels * 2), 16)) +
                  RiffChunk("data", data));
}

struct ZipEntrySpec {
  std::string name;
  Bytes data;
  bool folder = false;             // the MS-DOS folder attribute
  uint32_t declared = UINT32_MAX;  // sizes the headers give, when not the data's own
};

// A ZIP archive of stored entries.
inline Bytes StoredZip(const std::vector<ZipEntrySpec>& entries) {
  Bytes out, central;
  for (const auto& [name, data, folder, declared] : entries) {
    const uint32_t crc = uint32_t(crc32(0, reinterpret_cast<const Bytef*>(data.data()), uInt(data.size())));
    const uint32_t offset = uint32_t(out.size());
    Bytes common;
    Put16(common, 20);    // version needed
    Put16(common, 0);     // flags
    Put16(common, 0);     // stored
    Put16(common, 0);     // time
    Put16(common, 0x21);  // date 1980-01-01
    Put32(common, crc);
    const uint32_t size = declared == UINT32_MAX ? uint32_t(data.size()) : declared;
    Put32(common, size);
    Put32(common, size);
    Put16(common, uint16_t(name.size()));
    Put16(common, 0);  // extra
    out += Bytes("PK\x03\x04", 4) + common + name + data;
    central += Bytes("PK\x01\x02", 4);
    Put16(central, 20);  // made by
    central += common;
    Put16(central, 0);  // comment
    Put16(central, 0);  // disk
    Put16(central, 0);  // internal attributes
    Put32(central, folder ? FILE_ATTRIBUTE_DIRECTORY : 0);
    Put32(central, offset);
    central += name;
  }
  const uint32_t centralOffset = uint32_t(out.size());
  out += central;
  out += Bytes("PK\x05\x06", 4);
  Put16(out, 0);
  Put16(out, 0);
  Put16(out, uint16_t(entries.size()));
  Put16(out, uint16_t(entries.size()));
  Put32(out, uint32_t(central.size()));
  Put32(out, centralOffset);
  Put16(out, 0);
  return out;
}

inline void WriteBytes(const std::wstring& path, const Bytes& bytes) {
  ASSERT_TRUE(WriteWholeFile(path, bytes)) << "cannot create " << testing::PrintToString(path);
}
inline Bytes ReadBytes(const std::wstring& path) { return ReadFileBytes<Bytes>(path); }
// The names of the files in folder (which ends with "\\") that begin with prefix, sorted.
inline std::vector<std::wstring> FolderNames(const std::wstring& folder, const std::wstring& prefix = L"") {
  std::vector<std::wstring> names;
  WIN32_FIND_DATAW found;
  HANDLE find = FindFirstFileW((folder + prefix + L"*").c_str(), &found);
  if (find == INVALID_HANDLE_VALUE) return names;
  do {
    if (wcscmp(found.cFileName, L".") && wcscmp(found.cFileName, L"..")) names.push_back(found.cFileName);
  } while (FindNextFileW(find, &found));
  FindClose(find);
  std::sort(names.begin(), names.end());
  return names;
}
inline bool Exists(const std::wstring& path) {
  return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

// A program built beside the test, started with arguments (its standard handles none); null when
// it cannot be started.
inline HANDLE StartSibling(const wchar_t* program, const std::wstring& arguments, bool quiet = false) {
  wchar_t self[MAX_PATH];
  GetModuleFileNameW(nullptr, self, MAX_PATH);
  const std::wstring path = self;
  std::wstring line = L"\"" + path.substr(0, path.rfind(L'\\') + 1) + program + L"\" " + arguments;
  STARTUPINFOW si = {sizeof si};
  if (quiet) si.dwFlags = STARTF_USESTDHANDLES;
  PROCESS_INFORMATION pi = {};
  if (!CreateProcessW(nullptr, line.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si, &pi))
    return nullptr;
  CloseHandle(pi.hThread);
  return pi.hProcess;
}
// Its exit code (99 when it does not end within timeoutMs); the handle is closed.
inline DWORD SiblingExit(HANDLE process, DWORD timeoutMs = 20000) {
  DWORD code = 99;
  if (WaitForSingleObject(process, timeoutMs) == WAIT_OBJECT_0) GetExitCodeProcess(process, &code);
  CloseHandle(process);
  return code;
}

class SoundFileTest : public DocumentTest {
 protected:
  void SetUp() override {
    DocumentTest::SetUp();
    dir = MakeTempFolder(L"qmsf");
    ASSERT_FALSE(dir.empty());
    dir += L"\\";
  }
  void TearDown() override {
    DocumentTest::TearDown();
    g_pfnSoundZipAdd = defaultZipAdd;
    g_pLameEncCalls = nullptr;
    RemoveTree(dir);
  }

  // The chunk's PCM as bytes, loading it first.
  Bytes ChunkBytes(int index) {
    EXPECT_TRUE(doc->LoadChunk(index));
    const CChunkInfo* chunk = doc->GetChunk(index);
    if (!chunk || !chunk->buffer) return {};
    return Bytes(reinterpret_cast<const char*>(chunk->buffer), chunk->used);
  }

  // Chunks with their own temp files, in memory, holding mono samples counting up from first.
  void MakeTrack(const std::vector<uint32_t>& frames, int16_t first = 0) {
    for (uint32_t n : frames) {
      AddChunk(n, first);
      first = int16_t(first + n);
    }
  }

  // The chunk's PCM is neither in memory nor in its file any more: a save fails when it comes to it.
  void LoseChunkFile(int index) {
    CChunkInfo* chunk = doc->GetChunk(index);
    free(chunk->buffer);
    chunk->buffer = nullptr;
    chunk->used = chunk->capacity = 0;
    ASSERT_TRUE(DeleteFileW((std::wstring(doc->tempFolder) + chunk->fileName).c_str()));
  }

  // "caption: text" of the boxes shown since the fixture began or prompts.Clear().
  std::vector<std::wstring> Messages() const {
    std::vector<std::wstring> shown;
    for (const AskedPrompt& asked : prompts.Asked()) shown.push_back(asked.caption + L": " + asked.text);
    return shown;
  }
  static inline const PFN_SoundZipAdd defaultZipAdd = g_pfnSoundZipAdd;
  std::wstring dir;
};
