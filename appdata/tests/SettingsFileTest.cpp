// The settings files on their own: exact bytes, round trips, malformed and hostile files. Each
// test works in a temp folder of its own.
#include <gtest/gtest.h>
#include <windows.h>

#include <atomic>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "appdata/AppData.h"
#include "appdata/SettingsFile.h"
#include "tests/support/TestFiles.h"

namespace {

class SettingsFileTest : public ::testing::Test {
 protected:
  void SetUp() override {
    folder_ = MakeTempFolder(L"qm-settings-");
    ASSERT_FALSE(folder_.empty());
  }
  void TearDown() override { RemoveTree(folder_); }
  std::wstring Path(const wchar_t* name) const { return folder_ + L"\\" + name; }
  static void Write(const std::wstring& path, const std::string& bytes) {
    ASSERT_TRUE(WriteWholeFile(path, bytes));
  }
  size_t FileCount() const {
    size_t n = 0;
    WIN32_FIND_DATAW found;
    HANDLE find = FindFirstFileW((folder_ + L"\\*").c_str(), &found);
    if (find == INVALID_HANDLE_VALUE) return 0;
    do n += !(found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY);
    while (FindNextFileW(find, &found));
    FindClose(find);
    return n;
  }
  std::wstring folder_;
};

TEST_F(SettingsFileTest, JsonFilesHaveTheirExactBytes) {
  struct Case {
    nlohmann::json document;
    std::string bytes;
  };
  const Case cases[] = {
      {nullptr, "null\r\n"},
      {nlohmann::json::object(), "  {}\r\n"},  // the field width pads a short serialisation
      {nlohmann::json::array(), "  []\r\n"},
      {7, "   7\r\n"},
      {{{"Main", {{"LastOpenPath", {67, 58, 92}}}}},
       "{\r\n    \"Main\": {\r\n        \"LastOpenPath\": [\r\n            67,\r\n            58,\r\n"
       "            92\r\n        ]\r\n    }\r\n}\r\n"},
  };
  const std::wstring path = Path(L"RecorderPaths.json");
  for (const Case& c : cases) {
    ASSERT_TRUE(WriteJsonSettingsFile(path.c_str(), c.document));
    EXPECT_EQ(ReadFileOrMissing(path), c.bytes) << c.document.dump();
    EXPECT_EQ(ReadJsonSettingsFile(path.c_str()), c.document);
  }
  EXPECT_EQ(FileCount(), 1u) << "a temp file was left beside the settings file";
}

TEST_F(SettingsFileTest, MalformedAndHostileJsonReadsAsNull) {
  const std::string cases[] = {
      "",
      "{",
      "{\"Main\": }",
      "null garbage",
      std::string("\"\xE9\"\r\n"),                          // an ANSI byte is not UTF-8
      std::string(100000, '[') + std::string(100000, ']'),  // would recurse that deep on the way out
      std::string("\xFF\xFE{\0}\0", 6),                     // UTF-16 is not this file's encoding
  };
  const std::wstring path = Path(L"RecorderPaths.json");
  EXPECT_TRUE(ReadJsonSettingsFile(path.c_str()).is_null()) << "missing file";
  for (const std::string& text : cases) {
    Write(path, text);
    EXPECT_TRUE(ReadJsonSettingsFile(path.c_str()).is_null()) << text.substr(0, 40);
  }
  // Nesting within the limit is kept, and written back as it came.
  const std::string deep = std::string(kMaxJsonDepth, '[') + std::string(kMaxJsonDepth, ']');
  Write(path, deep);
  const nlohmann::json document = ReadJsonSettingsFile(path.c_str());
  EXPECT_TRUE(document.is_array());
  ASSERT_TRUE(WriteJsonSettingsFile(path.c_str(), document));
  EXPECT_EQ(nlohmann::json::parse(ReadFileOrMissing(path)), document);
}

TEST_F(SettingsFileTest, WriteIntoAMissingFolderFailsCleanly) {
  const std::wstring path = Path(L"no-such-folder\\RecorderPaths.json");
  EXPECT_FALSE(WriteJsonSettingsFile(path.c_str(), nlohmann::json::object()));
  EXPECT_FALSE(WriteJsonSettingsFile(L"", nlohmann::json::object()));
}

TEST_F(SettingsFileTest, WaveDeviceFileRoundTripAndPartialFiles) {
  const std::wstring path = Path(L"QuillmeridianSt1.ini");
  WaveDevicePair pair;
  wcscpy(pair.settingsPath, path.c_str());
  pair.WaveDeviceOut = L"{0.0.0.00000000}.{out}";
  pair.WaveDeviceIn = std::wstring(1, wchar_t(0xFFFF));  // no device chosen
  pair.SaveWaveDeviceSettings();
  // Keys sorted; the placeholder becomes the ANSI default character.
  EXPECT_EQ(ReadFileOrMissing(path),
            "{\r\n    \"Wave\": {\r\n        \"WaveDeviceIn\": \"?\",\r\n"
            "        \"WaveDeviceOut\": \"{0.0.0.00000000}.{out}\"\r\n    }\r\n}\r\n");
  WaveDevicePair back;
  wcscpy(back.settingsPath, path.c_str());
  back.LoadWaveDeviceSettings();
  EXPECT_EQ(back.WaveDeviceOut, L"{0.0.0.00000000}.{out}");
  EXPECT_EQ(back.WaveDeviceIn, L"?");

  struct Case {
    const char* text;
    const wchar_t* out;
    const wchar_t* in;
  };
  const Case cases[] = {
      {"{\"Wave\": {\"WaveDeviceOut\": \"new-out\"}}", L"new-out", L"old-in"},  // only the output id changes
      {"{\"Wave\": {\"WaveDeviceOut\": 5, \"WaveDeviceIn\": null}}", L"old-out", L"old-in"},
      {"{\"Wave\": [1, 2]}", L"old-out", L"old-in"},
      {"{\"Wave\": \"x\"}", L"old-out", L"old-in"},
      {"[]", L"old-out", L"old-in"},
      {"{\"Wave\": {\"WaveDeviceIn\": \"in\"", L"old-out", L"old-in"},  // not well-formed
      {"{\"Wave\": {\"WaveDeviceIn\": \"caf\xC3\xA9\"}}", L"old-out",
       L"caf\u00C3\u00A9"},  // read as ANSI bytes
  };
  for (const Case& c : cases) {
    Write(path, c.text);
    WaveDevicePair ids;
    wcscpy(ids.settingsPath, path.c_str());
    ids.WaveDeviceOut = L"old-out";
    ids.WaveDeviceIn = L"old-in";
    ids.LoadWaveDeviceSettings();
    EXPECT_EQ(ids.WaveDeviceOut, c.out) << c.text;
    EXPECT_EQ(ids.WaveDeviceIn, c.in) << c.text;
  }
  DeleteFileW(path.c_str());
  WaveDevicePair missing;
  wcscpy(missing.settingsPath, path.c_str());
  missing.WaveDeviceOut = L"kept";
  missing.LoadWaveDeviceSettings();
  EXPECT_EQ(missing.WaveDeviceOut, L"kept");
}

// An id with characters above 0x7F becomes bytes that are not UTF-8: the file is still written
// (and nothing throws out of the shutdown path).
TEST_F(SettingsFileTest, WaveDeviceIdsOutsideAsciiDoNotStopTheSave) {
  const std::wstring path = Path(L"Quillmeridian.ini");
  WaveDevicePair pair;
  wcscpy(pair.settingsPath, path.c_str());
  pair.WaveDeviceOut = L"Lautsprecher (H\u00F6rer)";
  pair.WaveDeviceIn = L"mic";
  EXPECT_NO_THROW(pair.SaveWaveDeviceSettings());
  const nlohmann::json written = nlohmann::json::parse(ReadFileOrMissing(path));
  EXPECT_EQ(written["Wave"]["WaveDeviceIn"], "mic");
  EXPECT_TRUE(written["Wave"]["WaveDeviceOut"].is_string());
}

TEST_F(SettingsFileTest, UrlListMarkSizeAndSharing) {
  const std::wstring path = Path(L"URLList.txt");
  wchar_t* text = reinterpret_cast<wchar_t*>(1);
  uint32_t length = 7;

  // Missing: created empty, no list.
  EXPECT_FALSE(ReadUrlListFile(path.c_str(), &text, &length));
  EXPECT_EQ(text, nullptr);
  EXPECT_EQ(length, 0u);
  EXPECT_EQ(ReadFileOrMissing(path), "");

  Write(path, std::string("\xFF\xFE"
                          "a\0b\0\r\0\n\0",
                          10));
  ASSERT_TRUE(ReadUrlListFile(path.c_str(), &text, &length));
  EXPECT_EQ(length, 4u);
  EXPECT_EQ(std::wstring(text), L"ab\r\n");
  free(text);

  // Exactly the limit is read, one byte more is ignored; so is a list without the mark.
  std::string big(kMaxUrlListBytes, 'x');
  big[0] = '\xFF';
  big[1] = '\xFE';
  Write(path, big);
  ASSERT_TRUE(ReadUrlListFile(path.c_str(), &text, &length));
  EXPECT_EQ(length, (kMaxUrlListBytes - 2) / 2);
  EXPECT_EQ(text[length], 0);
  free(text);
  Write(path, big + "x");
  EXPECT_FALSE(ReadUrlListFile(path.c_str(), &text, &length));
  Write(path, std::string("a\0b\0", 4));
  EXPECT_FALSE(ReadUrlListFile(path.c_str(), &text, &length));
  EXPECT_EQ(ReadFileOrMissing(path), std::string("a\0b\0", 4)) << "an ignored list is not changed";

  // Another station holds the list open for writing while this one starts.
  Write(path, std::string("\xFF\xFE"
                          "z\0",
                          4));
  HANDLE other = CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                             nullptr, OPEN_ALWAYS, 0, nullptr);
  ASSERT_NE(other, INVALID_HANDLE_VALUE);
  ASSERT_TRUE(ReadUrlListFile(path.c_str(), &text, &length));
  EXPECT_EQ(std::wstring(text), L"z");
  free(text);
  CloseHandle(other);
}

// The other station reads while this one rewrites: it sees one whole document or the other.
TEST_F(SettingsFileTest, AReaderNeverSeesAHalfWrittenFile) {
  const std::wstring path = Path(L"RecorderPaths.json");
  nlohmann::json a = {{"Main", {{"LastOpenPath", std::vector<int>(2000, 65)}}}};
  nlohmann::json b = {{"Main", {{"LastOpenPath", std::vector<int>(10, 66)}}}};
  ASSERT_TRUE(WriteJsonSettingsFile(path.c_str(), b));
  std::atomic<bool> done{false};
  std::thread writer([&] {
    for (int i = 0; i < 50; ++i) WriteJsonSettingsFile(path.c_str(), i % 2 ? a : b);
    done = true;
  });
  int seen = 0;
  do {
    // As the other station reads it.
    std::string bytes;
    EXPECT_TRUE(ReadWellFormedJsonText(path.c_str(), &bytes)) << "the file was missing or half written";
    ++seen;
    EXPECT_TRUE(bytes == FormatJsonSettings(a) || bytes == FormatJsonSettings(b)) << bytes.size() << " bytes";
  } while (!done);
  writer.join();
  EXPECT_EQ(ReadFileOrMissing(path), FormatJsonSettings(a));
  EXPECT_EQ(FileCount(), 1u);
  EXPECT_GT(seen, 0);
}

}  // namespace
