// The line format, the 4 KiB line bound, the trim at the 1 MiB limit and the folder-name rule.
#include <gtest/gtest.h>

#include <regex>
#include <string>

#include "common/LogManager.h"
#include "tests/support/TestFiles.h"

namespace {
std::wstring TempFolder(const wchar_t* tag) {
  wchar_t dir[MAX_PATH];
  GetTempPathW(MAX_PATH, dir);
  std::wstring folder = std::wstring(dir) + tag + std::to_wstring(GetCurrentProcessId()) + L"\\";
  CreateDirectoryW(folder.c_str(), nullptr);
  return folder;
}
}  // namespace

TEST(LogLine, ExactFormat) {
  SYSTEMTIME t{};
  t.wYear = 2026;
  t.wMonth = 12;
  t.wDay = 9;
  t.wHour = 7;
  t.wMinute = 5;
  t.wSecond = 3;
  t.wMilliseconds = 42;
  char line[4096];
  size_t n = FormatLogLine(line, sizeof line, t, "engine started");
  EXPECT_STREQ(line, "09.12.2026 | 07:05:03:042 | engine started\r\n");
  EXPECT_EQ(n, strlen(line));
  FormatLogLine(line, sizeof line, t, "");
  EXPECT_STREQ(line, "09.12.2026 | 07:05:03:042 | \r\n");
}

TEST(LogLine, LongTextIsCutAndStillEndsWithCrLf) {
  SYSTEMTIME t{};
  t.wYear = 2026;
  t.wMonth = 1;
  t.wDay = 1;
  for (size_t textLen : {4060u, 4066u, 4067u, 5000u, 100000u}) {
    std::string text(textLen, 'x');
    char line[4096 + 16];
    memset(line, '#', sizeof line);
    size_t n = FormatLogLine(line, 4096, t, text.c_str());
    ASSERT_LT(n, 4096u);
    EXPECT_EQ(line[n], 0);
    EXPECT_EQ(std::string(line + n - 2, 2), "\r\n");
    for (size_t i = 4096; i < sizeof line; ++i) ASSERT_EQ(line[i], '#');
    size_t prefix = strlen("01.01.2026 | 00:00:00:000 | ");
    EXPECT_EQ(n, std::min(prefix + textLen + 2, size_t(4095))) << textLen;
  }
}

TEST(LogFile, TrimDropsTheOldestQuarterUpToALineEnd) {
  std::wstring folder = TempFolder(L"qm-logtrim-");
  CLogFile log(L"trim.log", L"Trim", folder);
  std::string text(1000, 'a');
  int lines = 0;
  // Fill until the next line would pass the limit.
  const size_t lineLen = strlen("01.01.2026 | 00:00:00:000 | ") + text.size() + 2;
  while (log.Used() + lineLen + 1 <= CLogFile::kLimit) {
    text[0] = char('A' + lines % 26);
    log.Write(text.c_str());
    ++lines;
  }
  std::string before(log.Text(), log.Used());
  ASSERT_EQ(before.size(), lines * lineLen);
  text[0] = '!';
  log.Write(text.c_str());

  // Everything up to and including the first CR LF at or after a quarter is gone.
  size_t quarter = before.size() / 4;
  size_t cut = before.find("\r\n", quarter) + 2;
  std::string after(log.Text(), log.Used());
  ASSERT_LE(after.size(), CLogFile::kLimit);
  EXPECT_EQ(after.substr(0, before.size() - cut), before.substr(cut));
  EXPECT_EQ(after.substr(after.size() - text.size() - 2), text + "\r\n");
  EXPECT_EQ(log.Text()[log.Used()], 0);

  log.Flush();
  EXPECT_EQ(ReadFileOrMissing(folder + L"trim.log"), after);
}

TEST(LogFile, FileIsEmptiedAtCreationAndHoldsTheBufferAtDestruction) {
  std::wstring folder = TempFolder(L"qm-logfile-");
  std::wstring path = folder + L"x.log";
  HANDLE h = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
  DWORD w;
  WriteFile(h, "old run\r\n", 9, &w, nullptr);
  CloseHandle(h);
  {
    CLogFile log(L"x.log", L"X", folder);
    EXPECT_EQ(ReadFileOrMissing(path), "");
    log.Write("one");
    log.Write("two");
  }
  std::string text = ReadFileOrMissing(path);
  std::regex line(
      R"(\d\d\.\d\d\.\d{4} \| \d\d:\d\d:\d\d:\d{3} \| one\r\n\d\d\.\d\d\.\d{4} \| \d\d:\d\d:\d\d:\d{3} \| two\r\n)");
  EXPECT_TRUE(std::regex_match(text, line)) << text;
}

// A log folder whose path could not be built (left empty): the channel keeps its lines in memory
// and never writes a file into the current folder.
TEST(LogFile, WithoutAFolderNothingIsWrittenInTheCurrentFolder) {
  const std::wstring folder = TempFolder(L"qm-logcwd-");
  wchar_t before[MAX_PATH] = {};
  GetCurrentDirectoryW(MAX_PATH, before);
  ASSERT_TRUE(SetCurrentDirectoryW(folder.c_str()));
  {
    CLogFile log(L"cwd.log", L"X", L"");
    log.Write("kept in memory");
    EXPECT_NE(std::string(log.Text()).find("kept in memory"), std::string::npos);
    log.Flush();
  }
  EXPECT_EQ(GetFileAttributesW((folder + L"cwd.log").c_str()), INVALID_FILE_ATTRIBUTES);
  SetCurrentDirectoryW(before);
}

TEST(LogFolderName, BuildFoldersAndDriveRootBecomeCorvane) {
  struct Case {
    const wchar_t* module;
    const wchar_t* name;
  } cases[] = {
      {L"C:\\Program Files\\Quillmeridian\\Quillmeridian.exe", L"Quillmeridian"},
      {L"C:\\src\\Debug\\Quillmeridian.exe", L"Corvane"},
      {L"C:\\src\\release\\Quillmeridian.exe", L"Corvane"},
      {L"C:\\src\\ReLeAsE\\x.exe", L"Corvane"},
      {L"C:\\src\\Debugger\\x.exe", L"Debugger"},
      {L"C:\\Quillmeridian.exe", L"Corvane"},
      {L"Quillmeridian.exe", L"Corvane"},
  };
  for (const auto& c : cases) EXPECT_EQ(ProductFolderNameFromModulePath(c.module), c.name) << c.module;
}

TEST(LogFolder, BuildCommonAppDataPathCreatesEveryLevel) {
  std::wstring relative = L"qm-levels-" + std::to_wstring(GetTickCount()) + L"\\a\\b\\Logs";
  wchar_t path[MAX_PATH] = {};
  BuildCommonAppDataPath(path, relative.c_str());  // a folder never probes as writable file: result unused
  std::wstring got = path;
  ASSERT_FALSE(got.empty());
  EXPECT_EQ(got.back(), L'\\');
  EXPECT_NE(got.find(relative), std::wstring::npos);
  DWORD attr = GetFileAttributesW(path);
  ASSERT_NE(attr, INVALID_FILE_ATTRIBUTES);
  EXPECT_TRUE(attr & FILE_ATTRIBUTE_DIRECTORY);
}
