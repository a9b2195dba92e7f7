// Black-box: the real writer thread, the twelve channel files in the Logs folder, early posts,
// the 10-second flush and the flush at shutdown. This program runs from a folder of its own
// ("logcheck"), so its Logs folder is its own.
#include <gtest/gtest.h>

#include <shlobj.h>

#include <regex>
#include <string>

#include "common/LogManager.h"
#include "tests/support/TestFiles.h"

namespace {
std::wstring ExpectedLogFolder() {
  wchar_t base[MAX_PATH];
  SHGetFolderPathW(nullptr, CSIDL_COMMON_APPDATA, nullptr, 0, base);
  return std::wstring(base) + L"\\" + GetProductFolderName() + L"\\Logs\\";
}
const wchar_t* kFiles[] = {
    L"GlimmoxUDPNetwork.log", L"GlimmoxTCPNetwork.log", L"GlimmoxServ.log",  L"GlimmoxScreen.log",
    L"GlimmoxSound.log",      L"GlimmoxUpdate.log",     L"GlimmoxLogic.log", L"GlimmoxInput.log",
    L"UDPDumpIn.log",         L"UDPDumpOut.log",        L"Tavrin.log",       L"WavManager.log"};
const char* kStamp = R"(\d\d\.\d\d\.\d{4} \| \d\d:\d\d:\d\d:\d{3} \| )";
}  // namespace

TEST(LogChannels, TwelveEmptyFilesThenEveryEarlyLineAtShutdown) {
  EXPECT_EQ(GetProductFolderName(), L"logcheck");
  // Leftovers from an earlier run must be emptied.
  std::wstring folder = ExpectedLogFolder();
  SHCreateDirectoryExW(nullptr, folder.c_str(), nullptr);
  HANDLE h = CreateFileW((folder + L"GlimmoxSound.log").c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0,
                         nullptr);
  DWORD w;
  WriteFile(h, "stale\r\n", 7, &w, nullptr);
  CloseHandle(h);

  EXPECT_FALSE(PostLogLine(LOG_SOUND, "before the manager exists"));
  InitLogChannels();
  ASSERT_NE(g_pLogManager, nullptr);
  EXPECT_EQ(std::wstring(g_pLogManager->logFolder), folder);
  EXPECT_EQ(g_pLogManager->channels.size(), 12u);
  for (const wchar_t* f : kFiles) EXPECT_EQ(ReadFileOrMissing(folder + f), "") << f;

  // Posted at once: none may be lost to a writer that has no queue yet.
  for (int i = 0; i < 200; ++i) EXPECT_TRUE(PostLogLine(LOG_SOUND, ("line " + std::to_string(i)).c_str()));
  PostLogLine(LOG_WAVE_MANAGER, "");
  PostLogLine(1, "no such channel");
  PostLogLine(13, "no such channel");
  ShutdownLogChannels();
  EXPECT_EQ(g_pLogManager, nullptr);

  std::string sound = ReadFileOrMissing(folder + L"GlimmoxSound.log");
  std::string expected;
  for (int i = 0; i < 200; ++i) expected += std::string(kStamp) + "line " + std::to_string(i) + "\r\n";
  EXPECT_TRUE(std::regex_match(sound, std::regex(expected))) << sound.substr(0, 200);
  EXPECT_TRUE(std::regex_match(ReadFileOrMissing(folder + L"WavManager.log"),
                               std::regex(std::string(kStamp) + "\r\n")));
  for (const wchar_t* f : kFiles) {
    if (wcscmp(f, L"GlimmoxSound.log") && wcscmp(f, L"WavManager.log")) {
      EXPECT_EQ(ReadFileOrMissing(folder + f), "") << f;
    }
  }
}

TEST(LogChannels, TimerFlushWritesWithinTenSecondsAndEmptyRequestCutsTheFile) {
  InitLogChannels();
  std::wstring file = ExpectedLogFolder() + L"WavManager.log";
  PostLogLine(LOG_WAVE_MANAGER, "before the tick");
  Sleep(1000);
  EXPECT_EQ(ReadFileOrMissing(file), "");  // only in memory until the first tick
  DWORD start = GetTickCount();
  std::string text;
  while (GetTickCount() - start < 15000) {
    text = ReadFileOrMissing(file);
    if (!text.empty()) break;
    Sleep(100);
  }
  EXPECT_TRUE(std::regex_match(text, std::regex(std::string(kStamp) + "before the tick\r\n"))) << text;

  // The "empty the file first" flag empties the file, not the memory, which the next flush rewrites.
  char* copy = new char[6];
  strcpy(copy, "after");
  ASSERT_TRUE(PostThreadMessageW(g_pLogManager->writerThreadId, WM_LOG_WRITE, MAKEWPARAM(LOG_WAVE_MANAGER, 1),
                                 LPARAM(copy)));
  ShutdownLogChannels();
  text = ReadFileOrMissing(file);
  EXPECT_TRUE(
      std::regex_match(text, std::regex(std::string(kStamp) + "before the tick\r\n" + kStamp + "after\r\n")))
      << text;
}
