// The launcher's decisions as tables: its command line, the two instances' parameters, the INI
// text both ways (in memory and through real files) and the folder picker's field.
#include <gtest/gtest.h>

#include <windows.h>

#include <string>

#include "launcher/LauncherFiles.h"
#include "launcher/LauncherLogic.h"
#include "tests/support/TestFiles.h"

namespace {

TEST(LauncherCommandLine, ArgumentsStartAfterTheProgramsName) {
  struct Case {
    const wchar_t* full;
    const wchar_t* arguments;
  } cases[] = {
      {L"\"C:\\Program Files\\Quill\\Quillgate.exe\" setup", L"setup"},
      {L"\"C:\\Quill\\Quillgate.exe\"", L""},
      {L"\"C:\\Quill\\Quillgate.exe\"\t  \"D:\\a.wav\"", L"\"D:\\a.wav\""},
      {L"Quillgate.exe /ZUBRA x", L"/ZUBRA x"},
      {L"Quillgate.exe", L""},
      {L"C:\\Quill\\Quillgate.exe   \"D:\\a b\\c.qpk\" ", L"\"D:\\a b\\c.qpk\" "},
      {L"", L""},
  };
  for (const Case& c : cases) EXPECT_STREQ(ArgumentsOfCommandLine(c.full), c.arguments) << c.full;
  EXPECT_STREQ(ArgumentsOfCommandLine(nullptr), L"");
}

TEST(LauncherCommandLine, SwitchesAndTheLastQuotedArgument) {
  struct Case {
    const wchar_t* arguments;
    bool setup;
    bool zubra;
    const wchar_t* quoted;
  } cases[] = {
      {L"", false, false, L""},
      {L"setup", true, false, L""},
      {L"SETUP", false, false, L""},
      {L"Setup", false, false, L""},
      {L"mysetupfile", true, false, L""},
      {L"/ZUBRA", false, true, L""},
      {L"/zubra", false, false, L""},
      {L"x/ZUBRAy setup", true, true, L""},
      {L"\"D:\\Kurs 1\\a.wav\"", false, false, L"\"D:\\Kurs 1\\a.wav\""},
      {L"\"D:\\one.wav\" \"D:\\two.wav\"", false, false, L"\"D:\\two.wav\""},
      {L"/ZUBRA \"a\" setup \"b c\" tail", true, true, L"\"b c\""},
      {L"one \" quote", false, false, L""},
      {L"\"\"", false, false, L"\"\""},
      {L"\"a\"\"", false, false, L"\"\""},
      // The switches are found inside a quoted path too.
      {L"\"C:\\setup\\a.wav\"", true, false, L"\"C:\\setup\\a.wav\""},
  };
  for (const Case& c : cases) {
    const LauncherRequest r = ParseLauncherArguments(c.arguments);
    EXPECT_EQ(r.setup, c.setup) << c.arguments;
    EXPECT_EQ(r.zubra, c.zubra) << c.arguments;
    EXPECT_EQ(r.quoted, c.quoted) << c.arguments;
  }
}

TEST(LauncherCommandLine, StationParameters) {
  struct Case {
    const wchar_t* arguments;
    const wchar_t* first;
    const wchar_t* second;
  } cases[] = {
      {L"", L"/Pos:1 ", L"/Pos:2 "},
      {L"setup", L"/Pos:1 ", L"/Pos:2 "},
      {L"/ZUBRA", L"/_p ", L"/_s "},
      {L"\"D:\\a.wav\"", L"/Pos:1 \"D:\\a.wav\"", L"/Pos:2 \"D:\\a.wav\""},
      {L"\"x\" /ZUBRA \"D:\\b c.qpk\"", L"/_p \"D:\\b c.qpk\"", L"/_s \"D:\\b c.qpk\""},
  };
  for (const Case& c : cases) {
    const StationParameters p = BuildStationParameters(ParseLauncherArguments(c.arguments));
    EXPECT_EQ(p.first, c.first) << c.arguments;
    EXPECT_EQ(p.second, c.second) << c.arguments;
  }
  EXPECT_EQ(StationProgramPath(L"C:\\Lab\\"), L"C:\\Lab\\Quillmeridian.exe");
}

TEST(LauncherEdition, TableAndUnknown) {
  EXPECT_STREQ(LauncherEditionName(), L"Quillmeridian");
  EXPECT_STREQ(LauncherEditionName(1), L"Brindlecote");
  EXPECT_STREQ(LauncherEditionName(2), L"Vessarine");
  EXPECT_STREQ(LauncherEditionName(3), L"Unknown");
}

TEST(LauncherIniText, Parsing) {
  const std::string v259(259, 'v');
  const std::string v260(260, 'w');
  struct Case {
    const char* name;
    std::string content;
    bool hasSave;
    const char* save;
    bool hasOpen;
    const char* open;
  } cases[] = {
      {"own file", BuildLauncherIni("C:\\Save", "D:\\Open"), true, "C:\\Save", true, "D:\\Open"},
      {"own file, empty paths", BuildLauncherIni("", ""), true, "", true, ""},
      {"keys in the other order", "[Main]\r\nPathOpen=o\r\nPathSave=s\r\n\r\n", true, "s", true, "o"},
      {"blank before =", "[Main]\r\nPathSave =C:\\S\r\nPathOpen=C:\\O\r\n\r\n", false, "", true, "C:\\O"},
      {"blank after = is kept", "[Main]\r\nPathSave= C:\\S\r\n\r\n", true, " C:\\S", false, ""},
      {"empty", "", false, "", false, ""},
      {"one byte", "[", false, "", false, ""},
      {"no section", "PathSave=C:\\S\r\nPathOpen=C:\\O\r\n\r\n", false, "", false, ""},
      {"other section only", "[Other]\r\nPathSave=C:\\S\r\n\r\n", false, "", false, ""},
      {"after another section", "[Other]\r\nPathSave=x\r\n[Main]\r\nPathSave=y\r\n\r\n", true, "y", false,
       ""},
      {"key in the next section", "[Main]\r\nPathSave=s\r\n[Next]\r\nPathOpen=o\r\n\r\n", true, "s", false,
       ""},
      {"[ inside a path", BuildLauncherIni("D:\\Kurs[2]", "D:\\[a]\\b"), true, "D:\\Kurs[2]", true,
       "D:\\[a]\\b"},
      {"259-byte value", "[Main]\r\nPathSave=" + v259 + "\r\n\r\n", true, v259.c_str(), false, ""},
      {"260-byte value", "[Main]\r\nPathSave=" + v260 + "\r\nPathOpen=o\r\n\r\n", false, "", true, "o"},
      // The last byte stands for the line end: a file that ends right after a value loses it.
      {"single line end at the end", "[Main]\r\nPathSave=s\r\nPathOpen=o\r\n", true, "s", false, ""},
      {"zero byte ends the text", std::string("[Main]\r\nPathSave=s\r\n\0PathOpen=o\r\n\r\n", 36), true, "s",
       false, ""},
      {"no =", "[Main]\r\nPathSave\r\n\r\n", false, "", false, ""},
      // A key's name inside a value is no key: the launcher's own file with such a folder.
      {"key names in values", BuildLauncherIni("D:\\PathOpen", "E:\\PathSave=x"), true, "D:\\PathOpen", true,
       "E:\\PathSave=x"},
      {"key name inside another key", "[Main]\r\nMyPathSave=a\r\nPathSave=s\r\n\r\n", true, "s", false, ""},
  };
  for (const Case& c : cases) {
    const LauncherIniValues v = ParseLauncherIni(c.content);
    EXPECT_EQ(v.hasSave, c.hasSave) << c.name;
    EXPECT_EQ(v.save, c.save) << c.name;
    EXPECT_EQ(v.hasOpen, c.hasOpen) << c.name;
    EXPECT_EQ(v.open, c.open) << c.name;
  }
}

TEST(LauncherIniText, ExactLinesWritten) {
  EXPECT_EQ(BuildLauncherIni("C:\\S", "C:\\O"), "[Main]\r\nPathSave=C:\\S\r\nPathOpen=C:\\O\r\n\r\n");
}

class LauncherIniFile : public ::testing::Test {
 protected:
  void SetUp() override {
    folder_ = MakeTempFolder(L"qm-launcher-ini");
    ASSERT_FALSE(folder_.empty());
    file_ = folder_ + L"\\QuillmeridianPath.ini";
  }
  void TearDown() override { RemoveTree(folder_); }

  // Both fields start with a marker, so that "left as they were" and "emptied" differ.
  bool Read() {
    wcscpy(save_, L"untouched");
    wcscpy(open_, L"untouched");
    return ReadLauncherIni(file_, save_, open_);
  }

  std::wstring folder_;
  std::wstring file_;
  wchar_t save_[kLauncherPathChars];
  wchar_t open_[kLauncherPathChars];
};

TEST_F(LauncherIniFile, RoundTripInTheOemCodePage) {
  // Code page 437: e acute is 0x82, u umlaut 0x81.
  ASSERT_TRUE(WriteLauncherIni(file_, L"C:\\Übungen\\Kurs[2]", L"D:\\Café"));
  EXPECT_EQ(ReadFileOrMissing(file_),
            "[Main]\r\nPathSave=C:\\\x9a"
            "bungen\\Kurs[2]\r\nPathOpen=D:\\Caf\x82\r\n\r\n");
  ASSERT_TRUE(Read());
  EXPECT_STREQ(save_, L"C:\\Übungen\\Kurs[2]");
  EXPECT_STREQ(open_, L"D:\\Café");
}

TEST_F(LauncherIniFile, WritingReplacesTheWholeFile) {
  ASSERT_TRUE(WriteWholeFile(file_, std::string(5000, 'x')));
  ASSERT_TRUE(WriteLauncherIni(file_, L"a", L"b"));
  EXPECT_EQ(ReadFileOrMissing(file_), "[Main]\r\nPathSave=a\r\nPathOpen=b\r\n\r\n");
}

TEST_F(LauncherIniFile, LongestPathsSurviveAndCharactersTheCodePageLacksBecomeItsDefault) {
  const std::wstring longest(kLauncherPathMaxLength, L'p');
  ASSERT_TRUE(WriteLauncherIni(file_, longest.c_str(), L"C:\\\u4e2d"));
  ASSERT_TRUE(Read());
  EXPECT_EQ(std::wstring(save_), longest);
  EXPECT_STREQ(open_, L"C:\\?");
}

TEST_F(LauncherIniFile, WhatCountsAsRead) {
  struct Case {
    const char* name;
    std::string content;
    bool read;
    const wchar_t* save;
    const wchar_t* open;
  } cases[] = {
      {"0 bytes", "", true, L"", L""},
      {"blank before =", "[Main]\r\nPathSave =s\r\nPathOpen=o\r\n\r\n", true, L"", L"o"},
      {"no section", "hello\r\n", true, L"", L""},
      {"64 KiB", "[Main]\r\nPathSave=s\r\n" + std::string(65536 - 20, '\n'), true, L"s", L""},
      {"above 64 KiB", "[Main]\r\nPathSave=s\r\n" + std::string(65536 - 19, '\n'), false, L"untouched",
       L"untouched"},
      {"1 MiB", std::string(1 << 20, 'x'), false, L"untouched", L"untouched"},
  };
  for (const Case& c : cases) {
    ASSERT_TRUE(WriteWholeFile(file_, c.content)) << c.name;
    EXPECT_EQ(Read(), c.read) << c.name;
    EXPECT_STREQ(save_, c.save) << c.name;
    EXPECT_STREQ(open_, c.open) << c.name;
  }
}

TEST_F(LauncherIniFile, MissingOrUnreadableFileIsNotRead) {
  EXPECT_FALSE(Read());
  EXPECT_STREQ(save_, L"untouched");
  // Held open for writing by someone else: it cannot be opened for reading beside that.
  ASSERT_TRUE(WriteWholeFile(file_, BuildLauncherIni("s", "o")));
  HANDLE writer = CreateFileW(file_.c_str(), GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
  ASSERT_NE(writer, INVALID_HANDLE_VALUE);
  EXPECT_FALSE(Read());
  CloseHandle(writer);
  EXPECT_TRUE(Read());
  EXPECT_STREQ(save_, L"s");
}

TEST_F(LauncherIniFile, WriteIntoAMissingFolderFails) {
  EXPECT_FALSE(WriteLauncherIni(folder_ + L"\\no\\such\\file.ini", L"a", L"b"));
}

TEST(LauncherFolderPicker, FileFieldAndChosenFolder) {
  const std::wstring fits(kLauncherPathMaxLength - 12, L'a');  // "\Audio Files" is 12 units
  const std::wstring tooLong(kLauncherPathMaxLength - 11, L'b');
  EXPECT_EQ(PickerStartName(L"C:\\Lab"), L"C:\\Lab\\Audio Files");
  EXPECT_EQ(PickerStartName(L""), L"\\Audio Files");
  EXPECT_EQ(PickerStartName(fits), fits + L"\\Audio Files");
  EXPECT_EQ(PickerStartName(fits).size(), kLauncherPathMaxLength);
  EXPECT_EQ(PickerStartName(tooLong), tooLong);
  EXPECT_EQ(PickerStartName(std::wstring(kLauncherPathMaxLength, L'c')),
            std::wstring(kLauncherPathMaxLength, L'c'));

  struct Case {
    const wchar_t* name;
    bool changed;
    const wchar_t* path;
  } cases[] = {
      {L"C:\\Lab\\Audio Files", true, L"C:\\Lab"},
      {L"D:\\Kurs\\Sub\\x.wav", true, L"D:\\Kurs\\Sub"},
      {L"C:\\", true, L"C:"},
      {L"Audio Files", false, L"before"},
  };
  for (const Case& c : cases) {
    std::wstring path = L"before";
    EXPECT_EQ(FolderOfPickedName(c.name, &path), c.changed) << c.name;
    EXPECT_EQ(path, c.path) << c.name;
  }
}

}  // namespace
