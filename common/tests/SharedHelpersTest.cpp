#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

#include "common/SharedHelpers.h"

TEST(EditionName, IsQuillmeridianFromEveryThread) {
  std::vector<std::thread> threads;
  std::vector<std::wstring> seen(8);
  for (int i = 0; i < 8; ++i) threads.emplace_back([&, i] { seen[i] = GetEditionName(); });
  for (auto& t : threads) t.join();
  for (auto& s : seen) EXPECT_EQ(s, L"Quillmeridian");
  EXPECT_STREQ(GetEditionNameById(1), L"Brindlecote");
  EXPECT_STREQ(GetEditionNameById(2), L"Vessarine");
  EXPECT_STREQ(GetEditionNameById(7), L"Unknown");
}

struct ExtensionCase {
  const wchar_t* path;
  const wchar_t* ext;
  size_t size;
  bool ok;
  const wchar_t* result;
};

TEST(PathHelpers, ReplaceFileExtension) {
  const ExtensionCase cases[] = {
      {L"D:\\a.b\\name", L"wav", 260, true, L"D:\\a.b\\name.wav"},
      {L"D:\\x\\name.mp3", L"wav", 260, true, L"D:\\x\\name.wav"},
      {L"name.tmp", L"wav", 260, true, L"name.wav"},
      {L"D:\\x\\name.", L"qpk", 260, true, L"D:\\x\\name.qpk"},
      // Exactly fits: "a.wav" + NUL is 6.
      {L"a.mp3", L"wav", 6, true, L"a.wav"},
      // One short: fails and leaves the buffer alone.
      {L"a.mp3", L"wavx", 6, false, L"a.mp3"},
      {L"abcd", L"wav", 8, false, L"abcd"},
  };
  for (const auto& c : cases) {
    std::vector<wchar_t> buf(c.size + 4, L'#');
    wcscpy_s(buf.data(), c.size, c.path);
    EXPECT_EQ(ReplaceFileExtension(buf.data(), c.size, c.ext), c.ok) << c.path;
    EXPECT_STREQ(buf.data(), c.result) << c.path;
    for (size_t i = c.size; i < buf.size(); ++i)
      ASSERT_EQ(buf[i], L'#') << "wrote past the buffer: " << c.path;
  }
}

TEST(PathHelpers, FileNameAndExtension) {
  struct Case {
    const wchar_t* path;
    const wchar_t* name;
    const wchar_t* ext;
  } cases[] = {
      {L"D:\\x\\y.wav", L"y.wav", L"wav"},
      {L"y.wav", L"y.wav", L""},  // no backslash: no extension
      {L"D:\\x\\archive.tar.qpk", L"archive.tar.qpk", L"qpk"},
      {L"D:\\x\\name", L"name", L""},
      {L"D:\\a.b\\name", L"name", L""},
      {L"D:\\x\\Song.WAV", L"Song.WAV", L"WAV"},
      {L"D:\\x\\", L"", L""},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(GetFileNameOfPath(c.path), c.name) << c.path;
    EXPECT_EQ(GetExtensionOfPath(c.path), c.ext) << c.path;
  }
}

// The std::wstring helpers take "/" as a separator too, and a dot in a folder is no extension.
TEST(PathHelpers, WideStringPathsWithEitherSeparator) {
  struct Case {
    const wchar_t* path;
    size_t nameStart;
    const wchar_t* base;
    const wchar_t* upperExt;
    const wchar_t* withWav;
  } cases[] = {
      {L"D:\\x\\Song.mp3", 5, L"Song", L"MP3", L"D:\\x\\Song.wav"},
      {L"D:/x.y/name", 7, L"name", L"", L"D:/x.y/name.wav"},
      {L"C:\\a/b.c.qpk", 5, L"b.c", L"QPK", L"C:\\a/b.c.wav"},
      {L"name.tmp", 0, L"name", L"TMP", L"name.wav"},
      {L"D:\\x\\", 5, L"", L"", L"D:\\x\\.wav"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(PathFileNameStart(c.path), c.nameStart) << c.path;
    EXPECT_EQ(PathBaseName(c.path), c.base) << c.path;
    EXPECT_EQ(PathUpperExtension(c.path), c.upperExt) << c.path;
    EXPECT_EQ(PathWithExtension(c.path, L"wav"), c.withWav) << c.path;
  }
}

TEST(PathHelpers, ResolveExistingFileSpellsTheStoredName) {
  wchar_t dir[MAX_PATH];
  GetTempPathW(MAX_PATH, dir);
  std::wstring folder = std::wstring(dir) + L"qm-resolve-" + std::to_wstring(GetCurrentProcessId());
  CreateDirectoryW(folder.c_str(), nullptr);
  std::wstring stored = folder + L"\\song.wav";
  HANDLE h = CreateFileW(stored.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
  ASSERT_NE(h, INVALID_HANDLE_VALUE);
  CloseHandle(h);

  wchar_t path[MAX_PATH];
  wcscpy_s(path, (folder + L"\\SONG.WAV").c_str());
  EXPECT_EQ(ResolveExistingFile(path, MAX_PATH), 1);
  EXPECT_EQ(std::wstring(path), stored);

  wcscpy_s(path, (folder + L"\\missing.wav").c_str());
  EXPECT_EQ(ResolveExistingFile(path, MAX_PATH), 0);
  EXPECT_EQ(std::wstring(path), folder + L"\\missing.wav");

  // A buffer too small for the stored spelling is left alone.
  std::wstring pattern = folder + L"\\s*.wav";
  std::vector<wchar_t> small(pattern.begin(), pattern.end());
  small.push_back(0);
  EXPECT_EQ(ResolveExistingFile(small.data(), small.size()), 0);
  EXPECT_EQ(std::wstring(small.data()), pattern);

  DeleteFileW(stored.c_str());
  RemoveDirectoryW(folder.c_str());
}

namespace {
HBITMAP MakeBitmap(int bpp, const std::vector<DWORD>& pixels, int width) {
  int height = int(pixels.size()) / width;
  return CreateBitmap(width, height, 1, bpp, bpp == 32 ? pixels.data() : nullptr);
}
std::vector<DWORD> ReadPixels(HBITMAP bmp, size_t count) {
  std::vector<DWORD> out(count);
  GetBitmapBits(bmp, LONG(count * 4), out.data());
  return out;
}
}  // namespace

TEST(BitmapHelpers, PremultiplyShiftsByEight) {
  // B, G, R, A in memory order: 0xAARRGGBB.
  std::vector<DWORD> px = {0x800080FF, 0xFFFFFFFF, 0x00123456, 0x40FFFFFF};
  HBITMAP bmp = MakeBitmap(32, px, 2);
  ASSERT_TRUE(bmp);
  ASSERT_TRUE(PremultiplyBitmapAlpha(bmp));
  auto out = ReadPixels(bmp, px.size());
  EXPECT_EQ(out[0], 0x8000407Fu);  // (255,128,0,128) -> (127,64,0,128)
  EXPECT_EQ(out[1], 0xFFFEFEFEu);  // opaque white -> 254
  EXPECT_EQ(out[2], 0x00000000u);
  EXPECT_EQ(out[3], 0x403F3F3Fu);
  DeleteObject(bmp);
}

TEST(BitmapHelpers, HasAlpha) {
  HBITMAP none = MakeBitmap(32, {0x00FFFFFF, 0x00000000}, 2);
  HBITMAP some = MakeBitmap(32, {0x00FFFFFF, 0x01000000}, 2);
  HBITMAP rgb = CreateBitmap(2, 1, 1, 24, nullptr);
  EXPECT_FALSE(BitmapHasAlpha(none));
  EXPECT_TRUE(BitmapHasAlpha(some));
  EXPECT_FALSE(BitmapHasAlpha(rgb));
  EXPECT_FALSE(BitmapHasAlpha(nullptr));
  EXPECT_FALSE(PremultiplyBitmapAlpha(rgb));
  DeleteObject(none);
  DeleteObject(some);
  DeleteObject(rgb);
}

namespace {
struct Entry {
  int a;
  double b;
};
RecordArray MakeArray(uint32_t step, uint32_t sides = 0) {
  RecordArray array{};
  array.growStep = step;
  array.recordSize = sizeof(Entry);
  array.sideCount = sides;
  return array;
}
}  // namespace

TEST(RecordArray, AppendGrowsByStepAndZeroesNull) {
  RecordArray array = MakeArray(4, 2);
  for (uint32_t i = 0; i < 9; ++i) {
    Entry e{int(i) * 10, i * 0.5};
    EXPECT_EQ(RecordArrayAppend(&array, i == 3 ? nullptr : &e), i);
    EXPECT_EQ(array.capacity, (i / 4 + 1) * 4) << i;
  }
  EXPECT_EQ(array.count, 9u);
  for (uint32_t i = 0; i < 9; ++i) {
    auto* e = static_cast<Entry*>(RecordArrayAt(&array, i));
    EXPECT_EQ(e->a, i == 3 ? 0 : int(i) * 10);
    EXPECT_EQ(e->b, i == 3 ? 0.0 : i * 0.5);
  }
  EXPECT_NE(array.side[0], nullptr);
  EXPECT_NE(array.side[1], nullptr);
  EXPECT_EQ(array.side[2], nullptr);
  RecordArrayFree(&array);
}

TEST(RecordArray, CopyHoldsExactlyTheSourceAndOntoItselfKeepsIt) {
  RecordArray src = MakeArray(4);
  RecordArray dst = MakeArray(2);
  for (int i = 0; i < 6; ++i) {
    Entry e{i, -i * 1.0};
    RecordArrayAppend(&src, &e);
  }
  Entry junk{99, 99};
  RecordArrayAppend(&dst, &junk);
  ASSERT_TRUE(RecordArrayCopy(&dst, &src));
  EXPECT_EQ(dst.count, 6u);
  EXPECT_EQ(dst.growStep, 2u);
  for (uint32_t i = 0; i < 6; ++i) EXPECT_EQ(static_cast<Entry*>(RecordArrayAt(&dst, i))->a, int(i));

  ASSERT_TRUE(RecordArrayCopy(&dst, &dst));
  EXPECT_EQ(dst.count, 6u);
  for (uint32_t i = 0; i < 6; ++i) EXPECT_EQ(static_cast<Entry*>(RecordArrayAt(&dst, i))->a, int(i));

  RecordArray empty = MakeArray(4);
  ASSERT_TRUE(RecordArrayCopy(&dst, &empty));
  EXPECT_EQ(dst.count, 0u);
  EXPECT_EQ(RecordArrayAppend(&dst, &junk), 0u);  // usable again after an empty copy
  RecordArrayFree(&src);
  RecordArrayFree(&dst);
}
