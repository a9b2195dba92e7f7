// The real recorder under input from another process that is well formed but extreme: each
// input alone, while a second thread of the test asks the window WM_NULL over and over and keeps
// the longest wait for its answer.
#include <windows.h>

#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <functional>
#include <string>
#include <thread>

#include "app/main/tests/RecorderProcess.h"
#include "app/res/resource.h"
#include "tests/support/DialogTestKit.h"
#include "tests/support/TestFiles.h"
#include "tests/support/UiDriver.h"

namespace {

// Asks the window WM_NULL every few milliseconds until stopped; the longest answer in ms.
class AnswerWatch {
 public:
  explicit AnswerWatch(HWND window) : window_(window) {
    thread_ = std::thread([this] {
      while (!stop_) {
        const ULONGLONG asked = GetTickCount64();
        DWORD_PTR unused = 0;
        SendMessageTimeoutW(window_, WM_NULL, 0, 0, SMTO_NORMAL, 120000, &unused);
        const auto waited = static_cast<DWORD>(GetTickCount64() - asked);
        if (waited > longest_) longest_ = waited;
        Sleep(5);
      }
    });
  }
  ~AnswerWatch() { Stop(); }
  DWORD Stop() {
    stop_ = true;
    if (thread_.joinable()) thread_.join();
    return longest_;
  }

 private:
  HWND window_;
  std::atomic<bool> stop_{false};
  std::atomic<DWORD> longest_{0};
  std::thread thread_;
};

class RecorderPressure : public ::testing::Test {
 protected:
  void SetUp() override {
    folder_ = MakeTempFolder(L"qmpressure");
    // Three minutes of Master: the widest zoom shows about 90 s of it.
    const std::wstring lesson = folder_ + L"\\lesson.wav";
    ASSERT_TRUE(
        WriteWholeFile(lesson, MonoWavBytes(44100 * 180, [](uint32_t i) { return (i % 100) * 300; })));
    ASSERT_TRUE(recorder_.Start(L"\"" + lesson + L"\""));
    dialog_ = recorder_.WaitForWindow(L"Recorder");
    ASSERT_NE(dialog_, nullptr);
    HWND field = GetDlgItem(dialog_, IDC_FILENAME);
    ASSERT_TRUE(
        WaitUntil([&] { return ControlText(field) == L"lesson.wav" && IsWindowEnabled(dialog_); }, 60000));
  }
  void TearDown() override {
    recorder_.Kill();
    RemoveTree(folder_);
  }

  // The longest answer to WM_NULL while `input` runs and until the window has handled it.
  DWORD LongestAnswerDuring(const std::function<void()>& input) {
    AnswerWatch watch(dialog_);
    input();
    DWORD_PTR unused = 0;
    SendMessageTimeoutW(dialog_, WM_NULL, 0, 0, SMTO_NORMAL, 120000, &unused);
    return watch.Stop();
  }

  std::wstring folder_;
  CRecorderProcess recorder_;
  HWND dialog_ = nullptr;
};

TEST_F(RecorderPressure, TheWindowAnswersThroughEachInputAlone) {
  // A chunk text holds 1,023 units; the box keeps what it can hold and no more.
  auto SetLongText = [&](int box) {
    const std::wstring text(25153, L'w');
    HWND edit = GetDlgItem(dialog_, box);
    DWORD_PTR length = 0;
    SendMessageTimeoutW(edit, WM_SETTEXT, 0, reinterpret_cast<LPARAM>(text.c_str()), SMTO_NORMAL, 120000,
                        &length);
    SendMessageTimeoutW(edit, WM_GETTEXTLENGTH, 0, 0, SMTO_NORMAL, 120000, &length);
    EXPECT_EQ(length, 1023u);
  };
  struct Case {
    const char* name;
    std::function<void()> input;
  } cases[] = {
      {"remote levels",
       [&] {
         // The classroom's level messages (0x592 with a slider's id, 0x498 with 0 or 1).
         for (UINT slider : {1046u, 1047u}) PostMessageW(dialog_, 0x592, slider, 1346250581);
         for (WPARAM which : {0u, 1u}) PostMessageW(dialog_, 0x498, which, -1346250581);
       }},
      {"a long text into the Master box", [&] { SetLongText(IDC_MASTERTEXT); }},
      {"a long text into the Student box", [&] { SetLongText(IDC_STUDENTTEXT); }},
      {"zoom out to the end and back",
       [&] {
         for (int i = 0; i < 12; ++i) ui::PostClick(dialog_, IDC_BUTMINUS);
         for (int i = 0; i < 12; ++i) ui::PostClick(dialog_, IDC_BUTPLUS);
       }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const DWORD longest = LongestAnswerDuring(c.input);
    printf("%s: longest answer %lu ms\n", c.name, static_cast<unsigned long>(longest));
    EXPECT_LT(longest, 50u);
  }
}

}  // namespace
