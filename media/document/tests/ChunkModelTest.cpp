// The sound document's model: serials, temp folder and chunk files, loading and saving a
// chunk's PCM on real files, and the clean-up operations.
#include <fstream>
#include <iterator>
#include <memory>

#include "media/document/tests/DocumentTestSupport.h"
#include "tests/support/TestFiles.h"

namespace {

int CountFiles(const std::wstring& folder) {
  WIN32_FIND_DATAW found;
  HANDLE find = FindFirstFileW((folder + L"*.*").c_str(), &found);
  int n = 0;
  if (find == INVALID_HANDLE_VALUE) return 0;
  do {
    if (!(found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)) ++n;
  } while (FindNextFileW(find, &found));
  FindClose(find);
  return n;
}

}  // namespace

using ChunkModelTest = DocumentTest;

TEST_F(ChunkModelTest, ConstructionSetsFormatSerialAndEngine) {
  EXPECT_EQ(doc->currentChunk.load(), -1);
  EXPECT_EQ(doc->captureMask, 1u);
  EXPECT_EQ(doc->wavHeader.channels, 1);
  EXPECT_EQ(doc->wavHeader.samplesPerSec, 44100u);
  EXPECT_EQ(doc->wavHeader.avgBytesPerSec, 88200u);
  EXPECT_EQ(doc->wavHeader.blockAlign, 2);
  EXPECT_EQ(doc->wavHeader.bitsPerSample, 16);
  ASSERT_NE(engine, nullptr);
  EXPECT_TRUE(engine->started);
  EXPECT_EQ(engine->framesPerBuffer, 4410u);
  CSoundDocument second(0, UniqueTrackName(L"DocSecond"), nullptr);
  EXPECT_EQ(second.serial, doc->serial + 1);
}

TEST_F(ChunkModelTest, TempFolderAndChunkFiles) {
  const std::wstring folder = doc->tempFolder;
  EXPECT_NE(folder.find(L"\\Quillmeridian\\TempSnd\\DocTest"), std::wstring::npos) << folder;
  EXPECT_EQ(folder.back(), L'\\');
  EXPECT_EQ(GetFileAttributesW(folder.c_str()) & FILE_ATTRIBUTE_DIRECTORY, DWORD(FILE_ATTRIBUTE_DIRECTORY));

  EXPECT_EQ(doc->NewChunk(), 0);
  EXPECT_EQ(doc->NewChunk(), 1);
  const CChunkInfo* chunk = doc->GetChunk(1);
  const std::wstring name = chunk->fileName;
  EXPECT_EQ(name.rfind(L"Wav", 0), 0u) << name;
  EXPECT_EQ(name.substr(name.size() - 4), L".tmp");
  EXPECT_EQ(chunk->frames, 0u);
  EXPECT_EQ(CountFiles(folder), 2);
  // An empty chunk needs nothing from its file.
  DeleteFileW((folder + name).c_str());
  EXPECT_TRUE(doc->LoadChunk(1));
  EXPECT_TRUE(Reports().empty());

  // The destructor empties the folder.
  delete doc;
  doc = nullptr;
  EXPECT_EQ(CountFiles(folder), 0);
}

TEST_F(ChunkModelTest, SaveAndLoadRoundTripOnTheChunkFile) {
  CChunkInfo* chunk = AddChunk(100, 1000);
  doc->SelectChunk(0);
  doc->SelectChunk(-1);  // saves the chunk and frees its buffer
  EXPECT_EQ(chunk->buffer, nullptr);
  const std::wstring path = std::wstring(doc->tempFolder) + chunk->fileName;
  std::vector<char> bytes = ReadFileBytes<std::vector<char>>(path);
  ASSERT_EQ(bytes.size(), 200u);
  EXPECT_EQ(reinterpret_cast<int16_t*>(bytes.data())[99], 1099);

  ASSERT_TRUE(doc->LoadChunk(0));
  EXPECT_EQ(chunk->used, 200u);
  EXPECT_EQ(chunk->capacity, 200u);
  EXPECT_EQ(ChunkSamples(chunk).at(42), 1042);

  // A file shorter than the frames it should hold: the chunk claims only what it holds.
  free(chunk->buffer);
  chunk->buffer = nullptr;
  HANDLE f = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
  SetFilePointer(f, 151, nullptr, FILE_BEGIN);
  SetEndOfFile(f);
  CloseHandle(f);
  ASSERT_TRUE(doc->LoadChunk(0));
  EXPECT_EQ(chunk->used, 151u);
  EXPECT_EQ(chunk->frames, 75u);
}

TEST_F(ChunkModelTest, LoadChunkFailures) {
  AddChunk(10);
  CChunkInfo* missing = AddChunk(10);
  CChunkInfo* noName = AddChunk(10);
  CChunkInfo* huge = AddChunk(10);
  for (CChunkInfo* c : {missing, noName, huge}) {
    free(c->buffer);
    c->buffer = nullptr;
  }
  DeleteFileW((std::wstring(doc->tempFolder) + missing->fileName).c_str());
  noName->fileName[0] = 0;  // no source WAV open: it tries the temp folder itself
  // A (sparse) file larger than a 32-bit process can hold.
  HANDLE f = CreateFileW((std::wstring(doc->tempFolder) + huge->fileName).c_str(), GENERIC_WRITE, 0, nullptr,
                         OPEN_EXISTING, 0, nullptr);
  LARGE_INTEGER size;
  size.QuadPart = 2500ll << 20;
  SetFilePointerEx(f, size, nullptr, FILE_BEGIN);
  SetEndOfFile(f);
  CloseHandle(f);

  struct LoadCase {
    int index;
    bool result;
    const wchar_t* report;
  };
  const LoadCase cases[] = {
      {-1, false, nullptr},
      {4, false, nullptr},
      {-5, false, nullptr},
      {0, true, nullptr},
      {1, false, L"Could not open file in LoadChunk"},
      {2, false, L"Could not open file in LoadChunk"},
      {3, false, L"Memory allocation error in LoadChunk"},
  };
  for (const auto& c : cases) {
    prompts.Clear();
    EXPECT_EQ(doc->LoadChunk(c.index), c.result) << c.index;
    if (c.report)
      EXPECT_EQ(Reports(), std::vector<std::wstring>{c.report}) << c.index;
    else
      EXPECT_TRUE(Reports().empty()) << c.index;
  }
  // Every redraw of a chunk whose file is gone tries again: the user hears of it once.
  prompts.Clear();
  for (int i = 0; i < 20; ++i) EXPECT_FALSE(doc->LoadChunk(1));
  EXPECT_EQ(Reports(), std::vector<std::wstring>{L"Could not open file in LoadChunk"});
  for (CChunkInfo* c : {missing, huge}) {
    EXPECT_EQ(c->buffer, nullptr);
    EXPECT_EQ(c->frames, 10u);
  }
  EXPECT_FALSE(doc->SaveChunk(-1));
  EXPECT_FALSE(doc->SaveChunk(4));
}

// An id no active device has becomes the default endpoint's, else the first active one's, else
// none: a stale id never stays.
TEST_F(ChunkModelTest, ResolveDeviceIdNeverKeepsAStaleId) {
  struct Case {
    const char* name;
    DeviceList devices;
    std::wstring defaultId;
    std::wstring id, expected;
  };
  const DeviceList two = {{L"a", L"A"}, {L"b", L"B"}};
  const Case cases[] = {
      {"active id stays", two, L"b", L"a", L"a"},
      {"stale id: the default", two, L"b", L"gone", L"b"},
      {"empty id: the default", two, L"b", L"", L"b"},
      {"no default: the first active", two, L"", L"gone", L"a"},
      {"no device at all: none", {}, L"", L"gone", L""},
  };
  for (const Case& c : cases) {
    for (bool capture : {false, true}) {
      SCOPED_TRACE(std::string(c.name) + (capture ? " (capture)" : " (render)"));
      engine->renderDevices = capture ? DeviceList{} : c.devices;
      engine->captureDevices = capture ? c.devices : DeviceList{};
      engine->defaults[0] = engine->defaults[1] = {};
      engine->defaults[capture ? 1 : 0] = {c.defaultId, L"default"};
      std::wstring id = c.id;
      doc->ResolveDeviceId(id, capture);
      EXPECT_EQ(id, c.expected);
    }
  }
}

TEST_F(ChunkModelTest, TextsResetAndFreeAll) {
  doc->SetChunkText(L"first line");
  ASSERT_EQ(doc->GetChunkCount(), 1);
  EXPECT_EQ(doc->currentChunk.load(), 0);
  EXPECT_EQ(doc->GetCurrentChunk()->text, L"first line");
  EXPECT_EQ(doc->modified, 1);

  doc->cursorFrame = 9;
  doc->playPosition = 9;
  Codes();
  doc->ResetSoundData();
  EXPECT_EQ(Codes(), std::vector<int>{4});
  EXPECT_EQ(doc->wavHeader.blockAlign, 0);
  EXPECT_EQ(doc->cursorFrame.load(), 0u);
  EXPECT_EQ(doc->playPosition.load(), 0u);

  doc->FreeAllChunks();
  EXPECT_EQ(doc->GetChunkCount(), 0);
  EXPECT_EQ(doc->currentChunk.load(), -1);
  doc->FreeAllChunks();
  EXPECT_EQ(doc->GetChunkCount(), 0);
}

namespace {
std::atomic<bool> g_saveEnded{false};
DWORD WINAPI QuickThread(LPVOID) { return 0; }
DWORD WINAPI SlowThread(LPVOID) {
  Sleep(200);
  g_saveEnded = true;
  return 0;
}
}  // namespace

TEST_F(ChunkModelTest, ClosedThreadHandlesAreNotWaitedOnAgain) {
  doc->loadThread = CreateThread(nullptr, 0, QuickThread, nullptr, 0, nullptr);
  WaitForSingleObject(doc->loadThread, INFINITE);
  doc->CloseLoadThread();
  EXPECT_EQ(doc->loadThread, nullptr);
  // A live thread's handle is waited on by the destructor.
  doc->saveThread = CreateThread(nullptr, 0, SlowThread, nullptr, 0, nullptr);
  delete doc;
  doc = nullptr;
  EXPECT_TRUE(g_saveEnded.load());
}

namespace {

// Runs the probe: another process makes, fills and ends a track named `name`. Its temp folder.
std::wstring ProbeCommand(const std::wstring& name, const std::wstring& out, const wchar_t* extra = L"") {
  wchar_t self[MAX_PATH];
  GetModuleFileNameW(nullptr, self, MAX_PATH);
  std::wstring exe = self;
  exe = exe.substr(0, exe.rfind(L'\\') + 1) + L"track_folder_probe.exe";
  return L"\"" + exe + L"\" \"" + name + L"\" \"" + out + L"\"" + extra;
}

std::wstring ProbeOutFile() {
  wchar_t temp[MAX_PATH], out[MAX_PATH];
  GetTempPathW(MAX_PATH, temp);
  GetTempFileNameW(temp, L"tfp", 0, out);
  return out;
}

std::wstring RunTrackInAnotherProcess(const std::wstring& name) {
  const std::wstring out = ProbeOutFile();
  std::wstring line = ProbeCommand(name, out);
  STARTUPINFOW si = {sizeof si};
  PROCESS_INFORMATION pi = {};
  if (!CreateProcessW(nullptr, line.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si, &pi))
    return L"";
  DWORD code = 1;
  if (WaitForSingleObject(pi.hProcess, 60000) == WAIT_OBJECT_0) GetExitCodeProcess(pi.hProcess, &code);
  CloseHandle(pi.hThread);
  CloseHandle(pi.hProcess);
  const std::string bytes = ReadFileOrMissing(out);
  DeleteFileW(out.c_str());
  if (code != 0) return L"exit " + std::to_wstring(code);
  return std::wstring(reinterpret_cast<const wchar_t*>(bytes.data()), bytes.size() / sizeof(wchar_t));
}

}  // namespace

// A second instance with the same station number makes tracks of the same names: it must neither
// clear nor share the first one's folder, whose chunks the first still reloads afterwards.
TEST_F(ChunkModelTest, ATrackOfTheSameNameInAnotherProcessLeavesThisOnesChunks) {
  const std::wstring name = UniqueTrackName(L"Shared");
  auto first = std::make_unique<CSoundDocument>(GetCurrentThreadId(), name, nullptr);
  const std::wstring folder = first->tempFolder;
  EXPECT_NE(folder.find(L"\\TempSnd\\" + name + L"\\"), std::wstring::npos) << folder;
  std::vector<int16_t> samples(5000);
  for (size_t i = 0; i < samples.size(); ++i) samples[i] = int16_t(i * 7);
  int indexes[3];
  for (int& index : indexes) {
    index = first->NewChunk();
    ASSERT_GE(index, 0);
    CChunkInfo* chunk = first->GetChunk(index);
    chunk->buffer = static_cast<uint8_t*>(malloc(samples.size() * 2));
    memcpy(chunk->buffer, samples.data(), samples.size() * 2);
    chunk->used = chunk->capacity = uint32_t(samples.size() * 2);
    chunk->frames = uint32_t(samples.size());
    ASSERT_TRUE(first->SaveChunk(index));
    CSoundDocument::FreeChunkBuffer(chunk);
  }

  const std::wstring other = RunTrackInAnotherProcess(name);
  ASSERT_FALSE(other.empty());
  ASSERT_EQ(other.rfind(L"exit ", 0), std::wstring::npos) << other;
  EXPECT_NE(other, folder) << "both processes used one folder";
  EXPECT_NE(other.find(name), std::wstring::npos) << other;

  for (int index : indexes) {
    ASSERT_TRUE(first->LoadChunk(index)) << "chunk " << index << " was deleted by the other process";
    EXPECT_EQ(ChunkSamples(first->GetChunk(index)), samples);
  }
  EXPECT_TRUE(first->TakeReports().empty());
  EXPECT_EQ(CountFiles(folder), 3);

  // Once this process has let the name go, the next process gets it.
  first.reset();
  EXPECT_EQ(RunTrackInAnotherProcess(name), folder);
  RemoveDirectoryW(folder.c_str());
  RemoveDirectoryW(other.c_str());
}

namespace {

// Another process whose track of `name` lives, with one chunk in its folder, until it is killed.
struct LiveTrackProcess {
  PROCESS_INFORMATION process = {};
  std::wstring folder;  // empty when the probe never told it

  explicit LiveTrackProcess(const std::wstring& name) {
    const std::wstring out = ProbeOutFile();
    std::wstring line = ProbeCommand(name, out, L" hold");
    STARTUPINFOW si = {sizeof si};
    if (CreateProcessW(nullptr, line.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si, &process)) {
      for (int i = 0; i < 600 && (folder.empty() || folder.back() != L'\\'); ++i) {
        if (WaitForSingleObject(process.hProcess, 50) == WAIT_OBJECT_0) break;
        const std::string bytes = ReadFileOrMissing(out);
        folder.assign(reinterpret_cast<const wchar_t*>(bytes.data()), bytes.size() / sizeof(wchar_t));
      }
      if (!folder.empty() && folder.back() != L'\\') folder.clear();
    }
    DeleteFileW(out.c_str());
  }
  ~LiveTrackProcess() { Kill(); }
  void Kill() {
    if (!process.hProcess) return;
    TerminateProcess(process.hProcess, 9);
    WaitForSingleObject(process.hProcess, 10000);
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    process = {};
  }
};

bool FolderExists(const std::wstring& folder) {
  const DWORD attributes = GetFileAttributesW(folder.c_str());
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY);
}

void WriteSmallFile(const std::wstring& path) { std::ofstream(path.c_str(), std::ios::binary) << "chunk"; }

}  // namespace

// Folders "<name>-<process id>" of processes that are gone, killed or ended, are removed when a
// track of that name starts; a live process's folder, other names' folders and the held name
// itself stay with their chunks.
TEST_F(ChunkModelTest, ATrackRemovesTheFoldersOfEndedProcessesOfItsName) {
  const std::wstring name = UniqueTrackName(L"Swept");
  auto first = std::make_unique<CSoundDocument>(GetCurrentThreadId(), name, nullptr);
  const std::wstring held = first->tempFolder;
  const int kept = first->NewChunk();
  ASSERT_GE(kept, 0);
  const std::wstring base = held.substr(0, held.size() - name.size() - 1);

  LiveTrackProcess live(name);
  ASSERT_FALSE(live.folder.empty()) << "the live probe never reported its folder";
  LiveTrackProcess killed(name);
  ASSERT_FALSE(killed.folder.empty()) << "the killed probe never reported its folder";
  killed.Kill();
  ASSERT_EQ(CountFiles(killed.folder), 1) << "the killed process left no chunk behind";
  const std::wstring ended = RunTrackInAnotherProcess(name);
  ASSERT_TRUE(FolderExists(ended)) << ended;

  // A lock file that outlived its process (the machine went down), with a sub-folder inside.
  const std::wstring crashed = base + name + L"-77777";
  ASSERT_TRUE(CreateDirectoryW(crashed.c_str(), nullptr));
  ASSERT_TRUE(CreateDirectoryW((crashed + L"\\extract").c_str(), nullptr));
  WriteSmallFile(crashed + L"\\Wav1.tmp");
  WriteSmallFile(crashed + L"\\extract\\lesson.mp3");
  WriteSmallFile(crashed + L".lock");
  // Not this name's process folders.
  const std::wstring notPid = base + name + L"-12a";
  const std::wstring otherName = base + name + L"x-77777";
  for (const std::wstring& folder : {notPid, otherName}) {
    ASSERT_TRUE(CreateDirectoryW(folder.c_str(), nullptr));
    WriteSmallFile(folder + L"\\Wav1.tmp");
  }

  auto second = std::make_unique<CSoundDocument>(GetCurrentThreadId(), name, nullptr);
  const std::wstring own = second->tempFolder;
  EXPECT_NE(own, held);
  EXPECT_FALSE(FolderExists(killed.folder)) << "the killed process's folder stayed";
  EXPECT_FALSE(FolderExists(ended)) << "the ended process's folder stayed";
  EXPECT_FALSE(FolderExists(crashed)) << "the folder with a stale lock file stayed";
  EXPECT_EQ(GetFileAttributesW((crashed + L".lock").c_str()), INVALID_FILE_ATTRIBUTES);
  EXPECT_EQ(CountFiles(live.folder), 1) << "the live process's chunk went";
  EXPECT_EQ(CountFiles(held), 1) << "the held folder's chunk went";
  EXPECT_TRUE(first->TakeReports().empty());
  EXPECT_EQ(CountFiles(notPid + L"\\"), 1);
  EXPECT_EQ(CountFiles(otherName + L"\\"), 1);
  EXPECT_TRUE(FolderExists(own));

  // Once the live process is gone, the next track of the name takes its folder away too.
  live.Kill();
  second.reset();
  auto third = std::make_unique<CSoundDocument>(GetCurrentThreadId(), name, nullptr);
  EXPECT_FALSE(FolderExists(live.folder)) << "the folder stayed after its process was killed";
  EXPECT_TRUE(FolderExists(third->tempFolder));
  third.reset();
  RemoveDirectoryW(own.c_str());
  first.reset();
  for (const std::wstring& folder : {notPid, otherName}) {
    DeleteFileW((folder + L"\\Wav1.tmp").c_str());
    RemoveDirectoryW(folder.c_str());
  }
  RemoveDirectoryW(held.c_str());
}
