// A save never leaves the user without a file: the new file is written whole beside the target
// and only then swapped in (backup and move back to back), a process killed half-way leaves
// nothing that the next start keeps, the sound is placed only with its texts, every target the
// loader takes can have its partial file, and a temp folder that cannot be written is named.
#include "media/soundfile/PartialFile.h"
#include "media/soundfile/tests/SoundFileTestSupport.h"

namespace {

HANDLE StartTool(const std::wstring& arguments) {
  return StartSibling(L"soundfile_tool.exe", arguments, true);
}

// The partial files in folder: "~qm" + 8 hexadecimal digits + ".tmp".
std::vector<std::wstring> Partials(const std::wstring& folder) { return FolderNames(folder, L"~qm"); }

// Without opening it: the writer shares it for reading only.
uint64_t FileSize(const std::wstring& path) {
  WIN32_FILE_ATTRIBUTE_DATA data = {};
  if (!GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &data)) return 0;
  return uint64_t(data.nFileSizeHigh) << 32 | data.nFileSizeLow;
}

}  // namespace

class SaveSafetyTest : public SoundFileTest {};

// Killed while it writes the new file, a save leaves the user's file as it was under its own
// name; the partial file stays while its process lives (another process's sweep keeps it), and
// the next start removes it.
TEST_F(SaveSafetyTest, AKilledSaveLeavesTheFileAndNothingTheNextStartKeeps) {
  const Bytes mine = "the user's own lesson, saved before";
  WriteBytes(dir + L"lesson.mp3", mine);
  // Five minutes to encode: the kill comes while the MP3 is being written.
  WriteBytes(dir + L"long.wav", CanonicalWav(1, 44100, Bytes(44100 * 2 * 300, '\x11')));
  HANDLE tool = StartTool(L"load \"" + dir + L"long.wav\" save \"" + dir + L"lesson.mp3\"");
  ASSERT_NE(tool, nullptr);
  ASSERT_TRUE(WaitUntil(
      [&] {
        const auto partials = Partials(dir);
        return partials.size() == 1 && FileSize(dir + partials[0]) > 1000;
      },
      60000))
      << "no partial file while the save ran";
  RemoveLeftPartials();
  EXPECT_EQ(Partials(dir).size(), 1u) << "the partial of a live save was removed";
  const DWORD killed = GetProcessId(tool);
  ASSERT_TRUE(TerminateProcess(tool, 9));
  WaitForSingleObject(tool, 10000);
  CloseHandle(tool);
  // What the killed track left in its own temp folder is not this test's subject.
  wchar_t temp[MAX_PATH] = {};
  GetTempPathW(MAX_PATH, temp);
  RemoveTree(std::wstring(temp) + L"Quillmeridian\\TempSnd\\Tool" + std::to_wstring(killed));
  EXPECT_EQ(ReadBytes(dir + L"lesson.mp3"), mine);
  EXPECT_EQ(Partials(dir).size(), 1u);

  // A later start: the tool's track prepares its temp folder.
  EXPECT_EQ(SiblingExit(StartTool(L"dump"), 60000), 0u);
  EXPECT_EQ(Partials(dir), std::vector<std::wstring>{});
  EXPECT_EQ(FolderNames(dir), (std::vector<std::wstring>{L"lesson.mp3", L"long.wav"}));
}

// The backup is made only when the new file is whole and takes the name: a save that fails keeps
// the user's file under its own name and makes no backup.
TEST_F(SaveSafetyTest, TheBackupIsMadeOnlyAsTheNewFileTakesItsPlace) {
  for (const wchar_t* name : {L"old.wav", L"old.mp3", L"old.qpk"}) {
    SCOPED_TRACE(testing::PrintToString(std::wstring(name)));
    const std::wstring target = dir + name, backup = dir + L"old - Old" + std::wstring(name).substr(3);
    const Bytes mine = Bytes("the user's ") + Bytes(name, name + 7);
    WriteBytes(target, mine);
    doc->FreeAllChunks();
    MakeTrack({4410, 4410});
    doc->currentChunk = 0;
    LoseChunkFile(1);  // the save fails half-way through the sound
    EXPECT_FALSE(doc->SaveSoundFile(target, backup));
    EXPECT_EQ(ReadBytes(target), mine);
    EXPECT_FALSE(Exists(backup));

    doc->FreeAllChunks();
    MakeTrack({4410});
    ASSERT_TRUE(doc->SaveSoundFile(target, backup));
    EXPECT_EQ(ReadBytes(backup), mine);
    EXPECT_NE(ReadBytes(target), mine);
    EXPECT_EQ(FolderNames(dir).size(), 2u);
    for (const std::wstring& file : FolderNames(dir)) DeleteFileW((dir + file).c_str());
  }
}

// A ".txt" that another program holds open: the new sound is not placed without its texts; both
// stay as they were, and the user is told which file. Once it is let go, both are replaced.
TEST_F(SaveSafetyTest, TheSoundIsPlacedOnlyWithItsTexts) {
  for (const wchar_t* ext : {L"wav", L"mp3"}) {
    SCOPED_TRACE(testing::PrintToString(std::wstring(ext)));
    const std::wstring sound = dir + L"pair." + ext, texts = dir + L"pair.txt";
    const Bytes mySound = "the user's sound", myTexts = "the user's texts\r\n";
    WriteBytes(sound, mySound);
    WriteBytes(texts, myTexts);
    doc->FreeAllChunks();
    MakeTrack({4410});
    doc->GetChunk(0)->text = L"new text";
    doc->textsPresent = 1;
    // As an editor holds a file: reading, sharing reads only.
    HANDLE held =
        CreateFileW(texts.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(held, INVALID_HANDLE_VALUE);
    prompts.Clear();
    EXPECT_FALSE(doc->SaveSoundFile(sound));
    CloseHandle(held);
    EXPECT_EQ(ReadBytes(sound), mySound);
    EXPECT_EQ(ReadBytes(texts), myTexts);
    std::vector<std::wstring> pair = {L"pair." + std::wstring(ext), L"pair.txt"};
    std::sort(pair.begin(), pair.end());
    EXPECT_EQ(FolderNames(dir), pair);
    const std::vector<std::wstring> told = Messages();
    ASSERT_EQ(told.size(), 1u);
    EXPECT_NE(told[0].find(texts), std::wstring::npos) << testing::PrintToString(told[0]);

    ASSERT_TRUE(doc->SaveSoundFile(sound));
    EXPECT_NE(ReadBytes(sound), mySound);
    EXPECT_EQ(ReadBytes(texts).substr(2, 16), Bytes("n\0e\0w\0 \0t\0e\0x\0t\0", 16));
    for (const std::wstring& file : FolderNames(dir)) DeleteFileW((dir + file).c_str());
  }
}

// Targets of up to 259 characters are taken, in folders of any length up to that: their partial
// files too (no name of the system's temp-file kind, which fails past 246 characters).
TEST_F(SaveSafetyTest, EveryTargetTheLoaderTakesCanBeSaved) {
  const std::wstring folder = dir + std::wstring(252 - dir.size(), L'f') + L"\\";  // 253 characters
  ASSERT_TRUE(CreateDirectoryW((L"\\\\?\\" + folder).c_str(), nullptr));
  for (const wchar_t* name : {L"a.wav", L"a.mp3"}) {
    const std::wstring target = folder + name;  // 258 characters
    SCOPED_TRACE(testing::PrintToString(target));
    doc->FreeAllChunks();
    MakeTrack({4410});
    doc->GetChunk(0)->text = L"t";
    doc->textsPresent = 1;
    prompts.Clear();
    EXPECT_TRUE(doc->SaveSoundFile(target));
    EXPECT_EQ(Messages(), std::vector<std::wstring>{});
    EXPECT_TRUE(Exists(target));
    EXPECT_TRUE(Exists(folder + L"a.txt"));
  }
  EXPECT_EQ(Partials(L"\\\\?\\" + folder), std::vector<std::wstring>{});
  ASSERT_TRUE(doc->LoadSoundFile(folder + L"a.wav"));
  EXPECT_EQ(doc->GetChunk(0)->frames, 4410u);
  EXPECT_EQ(doc->GetChunk(0)->text, L"t");
  doc->ResetSoundData();
  for (const wchar_t* name : {L"a.wav", L"a.mp3", L"a.txt"})
    DeleteFileW((L"\\\\?\\" + folder + name).c_str());
  RemoveDirectoryW((L"\\\\?\\" + folder).c_str());
}

// Writes into the temp folder that fail name the temp folder, not the destination.
TEST_F(SaveSafetyTest, FailuresInTheTempFolderNameIt) {
  const std::wstring temp = doc->tempFolder;
  // The current chunk's file cannot be written: a folder stands at its name.
  MakeTrack({4410});
  doc->currentChunk = 0;
  const std::wstring chunkFile = temp + doc->GetChunk(0)->fileName;
  ASSERT_TRUE(DeleteFileW(chunkFile.c_str()));
  ASSERT_TRUE(CreateDirectoryW(chunkFile.c_str(), nullptr));
  prompts.Clear();
  EXPECT_FALSE(doc->SaveSoundFile(dir + L"x.wav"));
  RemoveDirectoryW(chunkFile.c_str());
  std::vector<std::wstring> told = Messages();
  ASSERT_EQ(told.size(), 1u);
  EXPECT_NE(told[0].find(L"Could not save chunk"), std::wstring::npos);
  EXPECT_NE(told[0].find(temp), std::wstring::npos) << testing::PrintToString(told[0]);

  // A package's MP3 is made in the temp folder: here one that is gone.
  WriteBytes(dir + L"t.wav", CanonicalWav(1, 8000, Pcm16(800)));
  ASSERT_TRUE(doc->LoadSoundFile(dir + L"t.wav"));
  const std::wstring gone = temp.substr(0, temp.size() - 1) + L"gone\\";
  wcscpy(doc->tempFolder, gone.c_str());
  prompts.Clear();
  EXPECT_FALSE(doc->SaveSoundFile(dir + L"p.qpk"));
  wcscpy(doc->tempFolder, temp.c_str());
  told = Messages();
  ASSERT_EQ(told.size(), 1u);
  EXPECT_NE(told[0].find(gone), std::wstring::npos) << testing::PrintToString(told[0]);
  EXPECT_FALSE(Exists(dir + L"p.qpk"));
  EXPECT_EQ(Partials(dir), std::vector<std::wstring>{});
}
