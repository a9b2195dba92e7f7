// The main dialog in-process over tracks with the fake engine: which notifications it takes and
// the sound branch of opening a file through to its end-of-load notification.
#include <windows.h>
#include <objbase.h>

#include <gtest/gtest.h>

#include <string>

#include "app/main/MainDlg.h"
#include "appdata/AppData.h"
#include "media/document/SoundDocument.h"
#include "tests/support/FakeSoundEngine.h"
#include "tests/support/ScriptedPrompts.h"
#include "app/main/tests/InProcessDialog.h"
#include "tests/support/DialogTestKit.h"
#include "tests/support/TestFiles.h"

namespace {

std::wstring Text(CWnd& control) {
  wchar_t text[512] = {};
  control.GetWindowText(text, 512);
  return text;
}

std::string WavBytes(uint32_t frames) {
  return MonoWavBytes(frames, [](uint32_t i) { return 0x1010; });
}

class MainDialog : public InProcessDialog<> {
 protected:
  void SetUp() override { ASSERT_TRUE(OpenDialog(L"qmdialog")); }
  void TearDown() override { CloseDialog(); }

  ScriptedPrompts prompts_;  // the tracks' reports are answered, not shown
};

TEST_F(MainDialog, TakesTheEndOfALoadOnlyFromItsMasterTrack) {
  dialog_->EnableWindow(FALSE);
  int stranger = 0;
  for (LPARAM sender :
       {LPARAM(0), reinterpret_cast<LPARAM>(&stranger), reinterpret_cast<LPARAM>(app_->studentTrack)})
    dialog_->PostMessage(WM_SOUND_NOTIFY, NOTIFY_LOADED, sender);
  Pump();
  EXPECT_FALSE(dialog_->IsWindowEnabled());
  dialog_->PostMessage(WM_SOUND_NOTIFY, NOTIFY_LOADED, reinterpret_cast<LPARAM>(app_->masterTrack));
  EXPECT_TRUE(PumpUntil([&] { return dialog_->IsWindowEnabled() != FALSE; }));
}

TEST_F(MainDialog, OpeningASoundFileLoadsItIntoTheMasterAndShowsItsName) {
  const std::wstring path = folder_ + L"\\lesson.wav";
  ASSERT_TRUE(WriteWholeFile(path, WavBytes(44100)));
  dialog_->OpenMediaFile(path.c_str());
  // Disabled from the start of the load until its end.
  EXPECT_FALSE(dialog_->IsWindowEnabled());
  EXPECT_EQ(Text(dialog_->m_fileName), L"Please wait...");
  ASSERT_TRUE(PumpUntil([&] { return dialog_->IsWindowEnabled() != FALSE; }));
  EXPECT_EQ(Text(dialog_->m_fileName), L"lesson.wav");
  EXPECT_EQ(app_->masterTrack->loadThread, nullptr);
  ASSERT_NE(app_->masterTrack->loadedPath, nullptr);
  EXPECT_EQ(std::wstring(app_->masterTrack->loadedPath), path);
  EXPECT_EQ(app_->studentTrack->overwriteOnRecord, app_->masterTrack->GetChunkCount() > 0 ? 1 : 0);
}

TEST_F(MainDialog, AFileWithoutASoundExtensionLoadsNothing) {
  for (const std::wstring name : {L"\\noextension", L"\\clip.avi"}) {
    const std::wstring path = folder_ + name;
    ASSERT_TRUE(WriteWholeFile(path, WavBytes(100)));
    dialog_->OpenMediaFile(path.c_str());
    Pump();
    EXPECT_TRUE(dialog_->IsWindowEnabled());
    EXPECT_EQ(app_->masterTrack->loadThread, nullptr);
    EXPECT_EQ(app_->masterTrack->loadedPath, nullptr);
    // A video goes to the video manager instead.
    EXPECT_EQ(dialog_->m_videoMode, name == L"\\clip.avi" ? 1u : 0u);
  }
}

TEST_F(MainDialog, GivesTheSkinToItsControlsAndNothingForOtherTags) {
  EXPECT_NE(dialog_->QueryBackdropDC(0x11111111), nullptr);
  EXPECT_EQ(dialog_->QueryBackdropDC(0x11111112), nullptr);
  EXPECT_EQ(app_->masterTrack->backgroundDC, dialog_->m_skinDC);
  EXPECT_EQ(app_->masterTrack->notifyTarget.window, dialog_->m_hWnd);
  EXPECT_EQ(app_->studentTrack->notifyTarget.window, dialog_->m_hWnd);
  EXPECT_EQ(app_->masterTrack->notifyTarget.message, WM_SOUND_NOTIFY);
  EXPECT_EQ(dialog_->m_skinWidth, 516);
  EXPECT_EQ(dialog_->m_skinHeight, 470);
  // The binding of 1033 fails quietly: it has no control.
  EXPECT_EQ(dialog_->Button(1033)->m_hWnd, nullptr);
  EXPECT_NE(dialog_->Button(1049)->m_hWnd, nullptr);
}

TEST_F(MainDialog, EnterDoesNotCloseTheWindow) {
  dialog_->SendMessage(WM_COMMAND, IDOK, 0);
  Pump();
  EXPECT_TRUE(IsWindow(dialog_->m_hWnd));
  EXPECT_TRUE(dialog_->IsWindowVisible());
}

TEST_F(MainDialog, KeepsTheFirstTwoMonitorsEnumerated) {
  dialog_->m_monitors = MonitorTable{};
  RECT a = {0, 0, 10, 10}, b = {10, 0, 20, 10}, c = {20, 0, 30, 10};
  EXPECT_TRUE(CMainDlg::MonitorEnumCallback(nullptr, nullptr, &a, reinterpret_cast<LPARAM>(dialog_)));
  EXPECT_TRUE(CMainDlg::MonitorEnumCallback(nullptr, nullptr, &b, reinterpret_cast<LPARAM>(dialog_)));
  EXPECT_FALSE(CMainDlg::MonitorEnumCallback(nullptr, nullptr, &c, reinterpret_cast<LPARAM>(dialog_)));
  EXPECT_EQ(dialog_->m_monitors.count, 2u);
  EXPECT_EQ(dialog_->m_monitors.rects[1].left, 10);
}

}  // namespace
