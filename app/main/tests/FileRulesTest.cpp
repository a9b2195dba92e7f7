// The main dialog's file decisions without a window: save names, the stored open path, the
// kinds of file it opens, and the exit's question tree answered from a script.
#include <windows.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "app/main/FileRules.h"
#include "tests/support/ScriptedPrompts.h"

namespace {

SYSTEMTIME At(WORD year, WORD month, WORD day, WORD hour, WORD minute) {
  SYSTEMTIME t = {};
  t.wYear = year;
  t.wMonth = month;
  t.wDay = day;
  t.wHour = hour;
  t.wMinute = minute;
  return t;
}

TEST(SaveNames, ProposalsBackupsAndAutomaticSaves) {
  const SYSTEMTIME t = At(2026, 3, 7, 9, 5);
  EXPECT_EQ(ProposedSaveName(t, nullptr), L"c:\\StudentWorks\\260307_0905_.qpk");
  EXPECT_EQ(ProposedSaveName(t, L""), L"c:\\StudentWorks\\260307_0905_.qpk");
  EXPECT_EQ(ProposedSaveName(t, L"D:\\x\\lesson.mp3"), L"D:\\x\\lesson.qpk");
  EXPECT_EQ(ProposedSaveName(t, L"D:\\x.y\\lesson"), L"D:\\x.y\\lesson.qpk");

  EXPECT_EQ(BackupName(L"c:\\w\\a.qpk"), L"c:\\w\\a - Old.qpk");
  EXPECT_EQ(BackupName(L"c:\\w.v\\a.b.qpk"), L"c:\\w.v\\a.b - Old.qpk");
  EXPECT_EQ(BackupName(L"c:\\w.v\\a"), L"c:\\w.v\\a - Old");

  // Without a dot the whole file name is the Master's name; a dot in a folder is not an extension.
  EXPECT_EQ(MasterNameOf(L"c:\\m\\lesson.wav"), L"lesson");
  EXPECT_EQ(MasterNameOf(L"c:\\m\\lesson"), L"lesson");
  EXPECT_EQ(MasterNameOf(L"c:\\m.d\\lesson"), L"lesson");
  EXPECT_EQ(AutoSaveNameWithMaster(t, L"c:\\m\\lesson.wav", 0), L"c:\\StudentWorks\\260307_0905_lesson.qpk");
  EXPECT_EQ(AutoSaveNameWithMaster(t, L"c:\\m\\lesson.wav", 2),
            L"c:\\StudentWorks\\260307_0905_lesson_Stud2.qpk");
  EXPECT_EQ(AutoSaveNameWithMaster(At(2100, 12, 31, 23, 59), L"lesson", 1),
            L"c:\\StudentWorks\\001231_2359_lesson_Stud1.qpk");

  // Stations 0 and 1 both save as "1StudentsWorks"; an empty prefix means the default folder.
  EXPECT_EQ(AutoSaveNameWithoutMaster(L"p:\\class\\", 0, 0), L"p:\\class\\1StudentsWorks.qpk");
  EXPECT_EQ(AutoSaveNameWithoutMaster(L"p:\\class\\", 1, 0), L"p:\\class\\1StudentsWorks.qpk");
  EXPECT_EQ(AutoSaveNameWithoutMaster(L"p:\\class\\", 2, 3), L"p:\\class\\2StudentsWorks[3].qpk");
  EXPECT_EQ(AutoSaveNameWithoutMaster(L"", 1, 1), L"c:\\StudentWorks\\1StudentsWorks[1].qpk");

  EXPECT_EQ(SendFileName(L"C:\\users\\me\\Documents", 1234), L"C:\\users\\me\\Documents\\Orrin1234.qpk");
  EXPECT_EQ(SendFileName(L"C:\\docs\\", 7), L"C:\\docs\\Orrin7.qpk");
  EXPECT_EQ(FolderOf(L"c:\\a\\b.qpk"), L"c:\\a\\");
  EXPECT_EQ(FolderOf(L"b.qpk"), L"");
}

TEST(MediaKinds, VideoSoundOrNothing) {
  struct Row {
    const wchar_t* path;
    MediaKind kind;
    bool droppable;
  } rows[] = {
      {L"c:\\a\\clip.avi", MediaKind::kVideo, false}, {L"c:\\a\\clip.MpEg", MediaKind::kVideo, false},
      {L"c:\\a\\clip.mpg", MediaKind::kVideo, false}, {L"c:\\a\\l.wav", MediaKind::kSound, true},
      {L"c:\\a\\l.Mp3", MediaKind::kSound, true},     {L"c:\\a\\l.qpk", MediaKind::kSound, true},
      {L"c:\\a\\l.txt", MediaKind::kSound, false},    {L"c:\\a\\noextension", MediaKind::kNone, false},
  };
  for (const Row& row : rows) {
    EXPECT_EQ(MediaKindOf(row.path), row.kind) << row.path;
    EXPECT_EQ(IsDroppableSound(row.path), row.droppable) << row.path;
  }
}

TEST(LastOpenPath, StoredAsTheWholeBufferAndReadBackUpToItsEnd) {
  nlohmann::json settings = nlohmann::json::parse(R"({"Main": 5, "Other": 1})");
  wchar_t buffer[kOpenPathUnits] = L"c:\\m\\l\u00e9.wav";
  StoreLastOpenPath(settings, buffer, kOpenPathUnits);
  ASSERT_TRUE(settings["Main"].is_object());
  EXPECT_EQ(settings["Other"], 1);
  EXPECT_EQ(settings["Main"]["LastOpenPath"].size(), kOpenPathUnits);
  EXPECT_EQ(settings["Main"]["LastOpenPath"][6], 0xE9);
  wchar_t out[kOpenPathUnits] = {L'x'};
  ReadLastOpenPath(settings, out, kOpenPathUnits);
  EXPECT_STREQ(out, buffer);

  nlohmann::json list = nlohmann::json::array();
  StoreLastOpenPath(list, buffer, 4);
  EXPECT_TRUE(list.is_object());

  struct Row {
    const char* json;
    const wchar_t* read;
  } rows[] = {
      {R"({"Main": {"LastOpenPath": [99, 58, 0, 65]}})", L"c:"},
      {R"({"Main": {"LastOpenPath": [99, 70000, 65]}})", L"c"},
      {R"({"Main": {"LastOpenPath": [99, -1, 65]}})", L"c"},
      {R"({"Main": {"LastOpenPath": [99, 1.5, 65]}})", L"c"},
      {R"({"Main": {"LastOpenPath": [99, "A", 65]}})", L"c"},
      {R"({"Main": {"LastOpenPath": "c:\\x"}})", L""},
      {R"({"Main": []})", L""},
      {R"([1, 2])", L""},
      {R"(null)", L""},
  };
  for (const Row& row : rows) {
    wchar_t read[kOpenPathUnits] = {L'x'};
    ReadLastOpenPath(nlohmann::json::parse(row.json), read, kOpenPathUnits);
    EXPECT_STREQ(read, row.read) << row.json;
  }
  // At most 259 units come back from a longer array.
  nlohmann::json longer = {{"Main", {{"LastOpenPath", std::vector<int>(300, 65)}}}};
  ReadLastOpenPath(longer, out, kOpenPathUnits);
  EXPECT_EQ(wcslen(out), kOpenPathUnits - 1);
}

// One row of the exit: what changed, the answers given in order, what each save attempt gives,
// and what must happen.
struct ExitRow {
  const char* name;
  ExitFacts facts;
  std::deque<int> answers;
  std::vector<bool> saveResults;
  std::vector<std::wstring> asked;  // text | caption of each box, in order
  std::vector<ExitSaveTrack> saves;
  bool mayExit;
  bool saveStarted;
};

constexpr wchar_t kAudio[] = L"Do you want to save updated audio data?|Master track unsaved data";
constexpr wchar_t kBookmarks[] =
    L"Do you want to save bookmark and text information?|Master track unsaved data";
constexpr wchar_t kVideo[] = L"Do you want to save bookmark and text information?|Unsaved data";
constexpr wchar_t kBlue[] = L"Use blue save button to save student track first|Attention";
constexpr wchar_t kConfirm[] = L"Do you want to save all changes of the master track?|Confirm";
constexpr wchar_t kStudent[] = L"Do you want to save student track?|Student track unsaved data";

TEST(ExitQuestions, FollowTheTreeWithScriptedAnswers) {
  using T = ExitSaveTrack;
  const ExitRow rows[] = {
      {"nothing changed", {}, {}, {}, {}, {}, true, false},
      {"audio yes", {true, true, false, false}, {IDYES}, {true}, {kAudio}, {T::kMaster}, true, true},
      {"audio yes, dialog cancelled: stays open, bookmarks still asked",
       {true, true, false, false},
       {IDYES, IDNO},
       {false},
       {kAudio, kBookmarks},
       {T::kMaster},
       false,
       false},
      {"audio cancel still asks the others",
       {true, false, false, true},
       {IDCANCEL, IDYES},
       {true},
       {kAudio, kStudent},
       {T::kStudent},
       false,
       true},
      {"audio no, bookmarks yes, confirm yes",
       {true, true, false, false},
       {IDNO, IDYES, IDYES},
       {true},
       {kAudio, kBookmarks, kConfirm},
       {T::kMaster},
       true,
       true},
      {"bookmarks yes with the Student modified: the blue-button message keeps it open",
       {false, true, false, true},
       {IDYES, IDOK, IDNO},
       {},
       {kBookmarks, kBlue, kStudent},
       {},
       false,
       false},
      {"bookmarks yes, confirm no",
       {false, true, false, false},
       {IDYES, IDNO},
       {},
       {kBookmarks, kConfirm},
       {},
       true,
       false},
      {"bookmarks yes, confirm cancel goes on",
       {false, true, false, false},
       {IDYES, IDCANCEL},
       {},
       {kBookmarks, kConfirm},
       {},
       true,
       false},
      {"bookmarks cancel", {false, true, false, false}, {IDCANCEL}, {}, {kBookmarks}, {}, false, false},
      {"video entries asked even after a Master save",
       {true, true, true, false},
       {IDYES, IDYES, IDYES},
       {true, true},
       {kAudio, kVideo, kConfirm},
       {T::kMaster, T::kMaster},
       true,
       true},
      {"student yes", {false, false, false, true}, {IDYES}, {true}, {kStudent}, {T::kStudent}, true, true},
      {"student yes, dialog cancelled",
       {false, false, false, true},
       {IDYES},
       {false},
       {kStudent},
       {T::kStudent},
       false,
       false},
      {"student no", {false, false, false, true}, {IDNO}, {}, {kStudent}, {}, true, false},
      {"student cancel after a Master save keeps it open",
       {true, false, false, true},
       {IDYES, IDCANCEL},
       {true},
       {kAudio, kStudent},
       {T::kMaster},
       false,
       true},
      {"both saved",
       {true, false, false, true},
       {IDYES, IDYES},
       {true, true},
       {kAudio, kStudent},
       {T::kMaster, T::kStudent},
       true,
       true},
  };
  for (const ExitRow& row : rows) {
    SCOPED_TRACE(row.name);
    ScriptedPrompts prompts(row.answers);
    std::vector<ExitSaveTrack> saves;
    size_t next = 0;
    const ExitAnswers got = AskExitQuestions(nullptr, row.facts, [&](ExitSaveTrack track) {
      saves.push_back(track);
      return next < row.saveResults.size() ? bool(row.saveResults[next++]) : true;
    });
    std::vector<std::wstring> asked;
    for (const AskedPrompt& p : prompts.Asked()) asked.push_back(p.text + L"|" + p.caption);
    EXPECT_EQ(asked, row.asked);
    EXPECT_EQ(saves, row.saves);
    EXPECT_EQ(got.mayExit, row.mayExit);
    EXPECT_EQ(got.saveStarted, row.saveStarted);
  }
}

TEST(ExitQuestions, AskWithTheQuestionStyles) {
  ScriptedPrompts prompts({IDNO, IDYES, IDNO});
  AskExitQuestions(nullptr, {false, true, false, true}, [](ExitSaveTrack) { return true; });
  const auto asked = prompts.Asked();
  ASSERT_EQ(asked.size(), 2u);
  EXPECT_EQ(asked[0].style, UINT(MB_YESNOCANCEL | MB_ICONQUESTION));
  EXPECT_EQ(asked[1].style, UINT(MB_YESNOCANCEL | MB_ICONQUESTION));
}

}  // namespace
