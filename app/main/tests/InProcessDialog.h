// The main dialog in-process over fake-engine tracks: the application data object, the dialog
// made from its template and a temp folder of the test's own, made and taken down in one place.
#pragma once

#include <windows.h>

#include <string>

#include <gtest/gtest.h>

#include "app/main/MainDlg.h"
#include "appdata/AppData.h"
#include "media/document/SoundDocument.h"
#include "tests/support/DialogTestKit.h"
#include "tests/support/FakeSoundEngine.h"
#include "tests/support/TestFiles.h"

template <class Dialog = CMainDlg>
class InProcessDialog : public ::testing::Test {
 protected:
  // COM, the tracks over `engine`, the dialog and the folder; false when the dialog was not made.
  bool OpenDialog(const wchar_t* folderStem, CSoundWorksBase* (*engine)(void*) = MakeSilentFakeEngine) {
    CoInitialize(nullptr);
    g_pfnCreateSoundEngine = engine;
    app_ = new CAppData;
    g_pAppData = app_;
    dialog_ = new Dialog(nullptr, app_);
    if (!dialog_->Create()) {
      delete dialog_;
      dialog_ = nullptr;
      return false;
    }
    Pump();
    folder_ = MakeTempFolder(folderStem);
    return !folder_.empty();
  }

  // Waits for the tracks' load and save threads, then takes everything down again.
  void CloseDialog() {
    if (dialog_) {
      PumpUntil([&] {
        return !app_->masterTrack->loadThread && !app_->masterTrack->saveThread &&
               !app_->studentTrack->saveThread;
      });
      dialog_->DestroyWindow();
      delete dialog_;
      dialog_ = nullptr;
    }
    delete app_;
    app_ = nullptr;
    g_pAppData = nullptr;
    g_pfnCreateSoundEngine = nullptr;
    if (!folder_.empty()) RemoveTree(folder_);
    CoUninitialize();
  }

  CAppData* app_ = nullptr;
  Dialog* dialog_ = nullptr;
  std::wstring folder_;
};
