// A save that fails at any step, the last ones included, leaves a file already at the target and
// the side files beside it byte for byte as they were, and adds nothing beside them.
#include <string>
#include <vector>

#include "media/soundfile/tests/SoundFileTestSupport.h"
#include "media/zip/ZipArchive.h"
#include "standins/lame_enc/LameEnc.h"

namespace {

// The encoder's calls, failing on the given encode call or at the flush.
int g_failAtEncode, g_failFlush, g_encodes;
const LameEncCalls kFailingEncoder = {
    [](const LameEncConfig* config, uint32_t* perCall, uint32_t* size, LameEncStream* stream) {
      return LameEncLibrary().open(config, perCall, size, stream);
    },
    [](LameEncStream stream, uint32_t n, const int16_t* samples, uint8_t* out, uint32_t* produced) {
      if (++g_encodes == g_failAtEncode) return uint32_t(LAMEENC_ERR_ENCODE);
      return LameEncLibrary().encode(stream, n, samples, out, produced);
    },
    [](LameEncStream stream, uint8_t* out, uint32_t* produced) {
      return g_failFlush ? uint32_t(LAMEENC_ERR_ENCODE) : LameEncLibrary().flush(stream, out, produced);
    },
    [](LameEncStream stream) { return LameEncLibrary().close(stream); },
};

// The package writer's adds, failing on the given one.
int g_failAtAdd, g_adds;
uint32_t FailingZipAdd(ZipHandle* zip, const wchar_t* name, const void* source, uint32_t length,
                       uint32_t kind) {
  return ++g_adds == g_failAtAdd ? ZR_READWRITE : ZipAdd(zip, name, source, length, kind);
}

struct FailedSave {
  const char* what;
  const wchar_t* target;
  int failAtEncode = 0;
  int failFlush = 0;
  int failAtAdd = 0;  // with texts the adds are: 1 the texts, 2 the sound, 3 the chunk table
};

class FailedSaveTest : public SoundFileTest {};

TEST_F(FailedSaveTest, TargetAndSideFilesStayAsTheyWere) {
  const FailedSave cases[] = {
      {"MP3, the encoder fails mid-stream", L"old.mp3", 3},
      {"MP3, the encoder's flush fails", L"old.mp3", 0, 1},
      {"package, its texts cannot be added", L"old.qpk", 0, 0, 1},
      {"package, its sound cannot be added", L"old.qpk", 0, 0, 2},
      {"package, its chunk table cannot be added", L"old.qpk", 0, 0, 3},
      {"package, the encoder's flush fails", L"old.qpk", 0, 1},
  };
  // A real package of the user's, so that a save that rewrote it in place would show.
  const Bytes package =
      StoredZip({{"x.mpa", Bytes(3000, 'm')}, {"x.cif", Bytes(8, '\1')}, {"x.txt", "a\r\n"}});
  for (const FailedSave& c : cases) {
    SCOPED_TRACE(c.what);
    const std::wstring target = dir + c.target;
    const Bytes mine = std::wstring(c.target) == L"old.qpk" ? package : Bytes(5000, 'u') + c.what;
    const Bytes myTable("\0\0\0\0\x10\0\0\0", 8), myTexts = "the user's texts\r\n";
    WriteBytes(target, mine);
    WriteBytes(dir + L"old.cif", myTable);
    WriteBytes(dir + L"old.txt", myTexts);
    const std::vector<std::wstring> before = FolderNames(dir);

    g_failAtEncode = c.failAtEncode;
    g_failFlush = c.failFlush;
    g_encodes = 0;
    g_pLameEncCalls = &kFailingEncoder;
    g_failAtAdd = c.failAtAdd;
    g_adds = 0;
    g_pfnSoundZipAdd = FailingZipAdd;
    doc->FreeAllChunks();
    MakeTrack({22050, 22050});
    doc->GetChunk(0)->text = L"new text";
    doc->textsPresent = 1;
    doc->currentChunk = 0;
    doc->modified = 1;

    EXPECT_FALSE(doc->SaveSoundFile(target));
    EXPECT_EQ(doc->modified, 1);
    EXPECT_TRUE(ReadBytes(target) == mine) << "the target changed";
    EXPECT_TRUE(ReadBytes(dir + L"old.cif") == myTable) << "the chunk table changed";
    EXPECT_TRUE(ReadBytes(dir + L"old.txt") == myTexts) << "the texts changed";
    EXPECT_EQ(FolderNames(dir), before) << "nothing is added beside the target";
    EXPECT_EQ(FolderNames(doc->tempFolder, L"~qm"), std::vector<std::wstring>{});

    for (const std::wstring& name : FolderNames(dir)) DeleteFileW((dir + name).c_str());
  }
}

}  // namespace
