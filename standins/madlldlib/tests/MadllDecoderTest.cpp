// The decoder's refusals through the import library: bad arguments, missing or foreign input, an
// output it cannot write. Decoding real MP3s is checked against ffmpeg by decode_test.py.
#include "standins/madlldlib/MadllDecoder.h"
#include "tests/support/TestFiles.h"

#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <vector>

namespace {

class MadllDecoderTest : public testing::Test {
 protected:
  void SetUp() override {
    dir_ = MakeTempFolder(L"mdt");
    ASSERT_FALSE(dir_.empty());
  }
  void TearDown() override { RemoveTree(dir_); }

  std::string Oem(const std::wstring& name) const {
    std::wstring path = dir_ + L"\\" + name;
    char oem[MAX_PATH];
    CharToOemW(path.c_str(), oem);
    return oem;
  }
  void WriteFileBytes(const std::wstring& name, const std::string& bytes) const {
    ASSERT_TRUE(WriteWholeFile(dir_ + L"\\" + name, bytes));
  }
  std::string ReadFileBytes(const std::wstring& name) const { return ::ReadFileBytes(dir_ + L"\\" + name); }
  std::vector<std::wstring> Files() const {
    std::vector<std::wstring> names;
    WIN32_FIND_DATAW data;
    HANDLE find = FindFirstFileW((dir_ + L"\\*").c_str(), &data);
    if (find == INVALID_HANDLE_VALUE) return names;
    do {
      if (!(data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)) names.push_back(data.cFileName);
    } while (FindNextFileW(find, &data));
    FindClose(find);
    return names;
  }

  std::wstring dir_;
};

int WINAPI CountCalls(uint32_t, uint32_t, uint32_t);
int g_progressCalls = 0;
int WINAPI CountCalls(uint32_t, uint32_t, uint32_t) { return ++g_progressCalls; }

TEST_F(MadllDecoderTest, ExportIsFoundByItsPlainName) {
  HMODULE dll = GetModuleHandleW(MADLL_DLL_NAME);
  ASSERT_NE(dll, nullptr) << "imported at load time";
  FARPROC byName = GetProcAddress(dll, MADLL_DECODER_EXPORT);
  EXPECT_EQ(reinterpret_cast<void*>(byName), reinterpret_cast<void*>(&CbMpegAudioDecoder));
}

TEST_F(MadllDecoderTest, RefusesBadArguments) {
  WriteFileBytes(L"in.mp3", "not read");
  const std::string in = Oem(L"in.mp3"), out = Oem(L"out.wav");
  struct Case {
    const char* what;
    const char* in;
    const char* out;
    int flag;
  } cases[] = {
      {"null input", nullptr, out.c_str(), 1},      {"null output", in.c_str(), nullptr, 1},
      {"empty input", "", out.c_str(), 1},          {"empty output", in.c_str(), "", 1},
      {"raw PCM flag", in.c_str(), out.c_str(), 0}, {"unknown flag", in.c_str(), out.c_str(), 2},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(CbMpegAudioDecoder(c.in, c.out, c.flag, nullptr, nullptr), MADLL_ERR_ARGUMENTS) << c.what;
  }
  EXPECT_EQ(Files(), std::vector<std::wstring>{L"in.mp3"});
}

TEST_F(MadllDecoderTest, FailsOnInputThatIsMissingOrNoMp3AndLeavesNoWav) {
  std::string noise(20000, '\0');
  for (size_t i = 0; i < noise.size(); ++i) noise[i] = static_cast<char>((i * 2654435761u) >> 13);
  WriteFileBytes(L"text.mp3", std::string(5000, 'a') + "\r\nnot audio\r\n");
  WriteFileBytes(L"noise.mp3", noise);
  WriteFileBytes(L"empty.mp3", "");
  // A WAV named .mp3: a second of a loud tone, whose samples hold many 0xFF bytes.
  std::string wav(
      "RIFF\x24\x58\x01\x00WAVEfmt "
      "\x10\0\0\0\x01\0\x01\0\x44\xac\0\0\x88\x58\x01\0\x02\0\x10\0data\x88\x58\x01\0",
      44);
  for (int i = 0; i < 44100; ++i) {
    const int16_t v = static_cast<int16_t>(30000 * std::sin(2 * M_PI * 440 * i / 44100.0));
    wav.append(reinterpret_cast<const char*>(&v), 2);
  }
  WriteFileBytes(L"wave.mp3", wav);
  CreateDirectoryW((dir_ + L"\\folder.mp3").c_str(), nullptr);
  struct Case {
    const wchar_t* name;
    int result;
  } cases[] = {{L"missing.mp3", MADLL_ERR_OPEN_INPUT},   {L"folder.mp3", MADLL_ERR_OPEN_INPUT},
               {L"text.mp3", MADLL_ERR_NOT_MPEG_AUDIO},  {L"noise.mp3", MADLL_ERR_NOT_MPEG_AUDIO},
               {L"empty.mp3", MADLL_ERR_NOT_MPEG_AUDIO}, {L"wave.mp3", MADLL_ERR_NOT_MPEG_AUDIO}};
  g_progressCalls = 0;
  for (const Case& c : cases) {
    EXPECT_EQ(CbMpegAudioDecoder(Oem(c.name).c_str(), Oem(L"out.wav").c_str(), 1, nullptr, CountCalls),
              c.result)
        << testing::PrintToString(std::wstring(c.name));
  }
  RemoveDirectoryW((dir_ + L"\\folder.mp3").c_str());
  EXPECT_EQ(g_progressCalls, 0);
  // Nothing at the output path and no temporary file beside it.
  std::vector<std::wstring> files = Files();
  EXPECT_EQ(files.size(), 4u);
  for (const std::wstring& f : files) EXPECT_NE(f, L"out.wav");
}

TEST_F(MadllDecoderTest, KeepsAnExistingOutputWhenDecodingFails) {
  WriteFileBytes(L"text.mp3", "plain text, no frames");
  WriteFileBytes(L"out.wav", "earlier file");
  EXPECT_NE(CbMpegAudioDecoder(Oem(L"text.mp3").c_str(), Oem(L"out.wav").c_str(), 1, nullptr, nullptr),
            MADLL_OK);
  EXPECT_EQ(ReadFileBytes(L"out.wav"), "earlier file");
  EXPECT_EQ(Files().size(), 2u);
}

}  // namespace
