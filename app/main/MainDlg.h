// The program's one window: a borderless skinned dialog over template 102 that shows the Master
// track above the Student track. The class is split by concern:
//   MainDlg.cpp          construction, message map, data exchange, destruction
//   MainDlgInit.cpp      OnInitDialog and its steps
//   MainDlgTransport.cpp the tracks' notifications and the transport, chunk and mode buttons
//   MainDlgFiles.cpp     open, save, send and exit
//   MainDlgRemote.cpp    the classroom messages (ClassroomMessages.h)
//   MainDlgPaint.cpp     painting, menus, sliders, hints and the monitor table
//   MainDlgClocks.cpp    the two clocks and the chunk texts
// Tracks and settings are reached through the application data object given at construction;
// nothing here touches a track from its load start until its NOTIFY_LOADED.
#pragma once

#include <windows.h>
#include <commdlg.h>

#include <cstdint>
#include <string>

#include "app/controls/CGraphicSlider.h"
#include "app/controls/COwnClipboardEdit.h"
#include "app/controls/CStaticLedNumber.h"
#include "app/controls/CTransparentButton.h"
#include "app/controls/HintWindow.h"
#include "app/controls/WaitPopup.h"
#include "app/main/DeviceMenu.h"
#include "app/main/MainControls.h"
#include "app/main/StationLayout.h"
#include "app/res/resource.h"
#include "mfc/CDC.h"
#include "mfc/CDialog.h"
#include "mfc/CEdit.h"

class CAppData;
class CSoundDocument;
class CVideoManager;

// Pointerhub.dll, loaded by a station and kept for the process's life; null until then.
extern HMODULE g_hPointerhub;

// An export of a library as the function type it has; null when the library lacks it.
template <class Fn>
Fn LibraryExport(HMODULE module, const char* name) {
  return reinterpret_cast<Fn>(reinterpret_cast<void (*)()>(GetProcAddress(module, name)));
}

class CMainDlg : public CDialog {
  DECLARE_DYNAMIC(CMainDlg)
 public:
  explicit CMainDlg(CWnd* parent = nullptr, CAppData* appData = nullptr);
  ~CMainDlg() override;

  HDC QueryBackdropDC(UINT_PTR tag) override;
  BOOL OnCommand(WPARAM wParam, LPARAM lParam) override;
  BOOL OnNotify(WPARAM wParam, LPARAM lParam, LRESULT* result) override;
  void DoDataExchange(CDataExchange* dx) override;
  BOOL OnInitDialog() override;
  void OnOK() override;
  void OnCancel() override;
  // Opens a dropped file (the one virtual the dialog adds).
  virtual void OnDropFiles(HDROP drop);

  // Starts loading `path` into the Master track (a video goes to the video manager).
  void OpenMediaFile(const wchar_t* path);

  CTransparentButton* Button(UINT id);
  CSoundDocument* Master() const;
  CSoundDocument* Student() const;
  CAppData* AppData() const { return appData_; }

  // Members, in the order the class keeps them.
  HICON m_hIcon = nullptr;
  HBITMAP m_skinBitmap = nullptr;
  HDC m_skinDC = nullptr;
  int m_dragAnchorX = -1;
  int m_dragAnchorY = -1;
  int m_skinWidth = 0;
  int m_skinHeight = 0;
  wchar_t m_versionText[128] = {};
  HDC m_backDC = nullptr;
  HBITMAP m_backBitmap = nullptr;
  HBITMAP m_logoBitmap = nullptr;
  int m_logoWidth = 0;
  int m_logoHeight = 0;
  UINT m_playMode = 0;
  CFont m_largeFont;
  CFont m_smallFont;
  bool m_bookmarksOff = false;
  WaitPopupRecord* m_waitPopup = nullptr;
  UINT m_exitPending = 0;
  HCURSOR m_waitCursor = nullptr;
  HCURSOR m_arrowCursor = nullptr;
  HWND m_peerWindow = nullptr;
  UINT m_busy = 0;
  UINT m_unlockValue = 0;
  UINT m_videoMode = 0;
  HDC m_dialogDC = nullptr;
  CHintWindow m_hints;
  MonitorTable m_monitors;
  CTransparentButton m_buttons[kSkinnedButtonCount];
  CGraphicSlider m_outSlider;
  CGraphicSlider m_inSlider;
  CEdit m_fileName;
  CStaticLedNumber m_led;
  COwnClipboardEdit m_masterText;
  COwnClipboardEdit m_studentText;

  static BOOL CALLBACK MonitorEnumCallback(HMONITOR monitor, HDC dc, LPRECT rect, LPARAM dialog);

 protected:
  // Notifications and transport (MainDlgTransport.cpp; the clocks and chunk texts in
  // MainDlgClocks.cpp).
  // Posts WM_REMOTE_BUTTON (id, lParam) to the peer window, when there is one, so that a locked
  // station mirrors its presses to whoever locked it.
  void ForwardToPeer(UINT id, LPARAM lParam = 0);
  LRESULT OnSoundNotify(WPARAM code, LPARAM sender);
  void OnTrackLoaded();
  void ShowOpenFileName();
  CVideoManager* Video() const;
  // The transport buttons (the classroom messages call some of them directly).
  void OnMasterPlay();
  void OnMasterPause();
  void OnMasterStop();
  void OnMasterNext();
  void OnMasterPrev();
  void OnStudentPlay();
  void OnStudentRecord();
  void OnStudentPause();
  void OnStudentStop();
  void OnStudentNext();
  void OnStudentPrev();
  void OnNextChunk();
  void OnPrevChunk();
  void OnLedDoubleClick();
  void OnRepeat();
  void OnModePlayBoth();
  void OnModePlayRecord();
  void OnModeMasterThenStudent();
  void OnModeMasterThenRecord();
  void OnModeButtonRightClick(UINT id, NMHDR* header, LRESULT* result);
  void OnInsertBookmark();
  // Bookmarks on or off (the right click on BUTINSERTBM).
  void OnToggleBookmarks();
  void OnInsertBookmarkRightClick(NMHDR* header, LRESULT* result);
  // The bookmarks-off flag and BUTINSERTBM's look from the whole mode the Master side is in.
  void ShowBookmarksState();
  void OnRemoveBookmark();
  void OnClearStudentChunk();
  void OnEraseSelection();
  void OnZoomIn();
  void OnZoomOut();
  void OnMasterTextChange();
  void OnStudentTextChange();
  void UpdateMasterPlayFace();
  // Steps of the handlers.
  bool TracksReady() const;
  void RunPlayMode(UINT id, UINT mode);
  void OnPlayEnded(CSoundDocument* track, bool fromVideo);
  // StopTransport and TogglePause whose end of playback the play mode must not take for the
  // playback's own end.
  void StopTrack(CSoundDocument* track);
  void PauseTrack(CSoundDocument* track);
  int OwnPlayEndSlot(const CSoundDocument* track) const;
  // The video manager's entries in video mode, else the Master's chunks.
  int MasterCount();
  int MasterIndex();
  void StopMasterSide();
  void Refresh(bool withPosition = false);
  void Zoom(UINT id, uint32_t framesPerPixel);
  void OnTextChange(CSoundDocument* track, COwnClipboardEdit& edit);
  void ShowChunkNumber();
  // Sets a button's face stem (null: keeps it), reloads its faces and, if asked, repaints it.
  void SetButtonFace(UINT id, const wchar_t* stem, bool invalidate = true);
  void SetNotifiedFaces(WPARAM code);
  uint32_t ChunkLengthClockMs();
  uint32_t PositionClockValueMs();
  // Ends of playback still to come from our own stops and pauses: Master, Student.
  UINT m_ownPlayEnds[2] = {};
  bool m_showingTexts = false;

  // Painting (MainDlgPaint.cpp).
  void OnPaint();
  HCURSOR OnQueryDragIcon();
  void PaintSkin(HDC target);
  void DrawChunkLengthClock();
  void DrawPositionClock();
  void ShowChunkTexts();

  // Dragging, the level sliders' menus and volumes, the URL menu, the mixer and minimise buttons
  // and the busy cursor (MainDlgPaint.cpp).
 public:
  // The web-address menu of the open button, at `at` (screen coordinates).
  void ShowUrlMenu(POINT at);

 protected:
  void OnLButtonDown(UINT flags, CPoint point);
  void OnMouseMove(UINT flags, CPoint point);
  void OnLButtonUp(UINT flags, CPoint point);
  LRESULT OnContextMenu(WPARAM clicked, LPARAM packedPoint);
  LRESULT OnLevelScroll(WPARAM codeAndPosition, LPARAM scrollBar);
  BOOL OnSetCursor(CWnd* window, UINT hitTest, UINT message);
  void OnMixer();
  void OnMinimize();
  void OnMove(int, int) {}
  LRESULT OnQuietMessage(WPARAM, LPARAM) { return 0; }
  LevelSlider SliderOf(HWND window) const;
  // The Master while the dialog may touch it (not between a load's start and its NOTIFY_LOADED).
  CSoundDocument* IdleMaster() const;
  void ChooseLevelDevice(LevelSlider slider, const std::wstring& id);
  void ShowDeviceLevel(LevelSlider slider);
  void ManageUrlList();

  // Initialisation steps (MainDlgInit.cpp), in the order OnInitDialog runs them.
  void ReadVersionText();
  void LoadAllButtonFaces();
  void LoadSkin();
  void LoadLogo();
  void LoadDigitStrip();
  void CreateDialogFonts();
  void InitLevelSliders();
  bool AnotherInstanceRuns() const;
  void EnumerateMonitors();
  void PrepareTempFolders();
  void JoinClassroomStation();
  void StartWaitPopupThread(POINT position);
  void RegisterHints();
  void RouteNotifications();
  bool OpenCommandLineFile();
  void NotifyClassroomDaemon();
  void ShowFileButtons();
  void CreateWaveforms();

  // Every box and file dialog the window shows is up inside one of these (MainDlgRemote.cpp):
  // while any is, the dialog stays disabled under it, the handlers that change a track refuse,
  // and a classroom quit waits until the last one closes.
  class ModalHold {
   public:
    explicit ModalHold(CMainDlg* dialog);
    ~ModalHold();
    ModalHold(const ModalHold&) = delete;
    ModalHold& operator=(const ModalHold&) = delete;

   private:
    CMainDlg* dialog_;
  };
  // ShowPrompt owned by the dialog, counted as up.
  int Prompt(const wchar_t* text, const wchar_t* caption, UINT style);
  // The open (or save) dialog, counted as up; `error` as the free RunFileDialog gives it.
  BOOL RunFileDialog(OPENFILENAMEW* dialog, bool save, DWORD* error = nullptr);
  // Why a handler that changes a track must not run now (a box or file dialog up, the exit
  // under way); null when it may.
  const char* TrackChangeHeldBy() const;
  // Logs and refuses a press of control `id` while TrackChangeHeldBy says so.
  bool PressRefused(UINT id) const;
  UINT m_modalCount = 0;  // boxes and file dialogs of ours up now

  // Open, save, send and exit (MainDlgFiles.cpp, MainDlgExit.cpp). The exit may wait for saves;
  // a local exit while one runs or waits is dropped, a classroom quit is kept until it can run.
 public:
  // Non-zero when a save of `track` was started.
  int SaveTrackAs(CSoundDocument* track);
  bool AskDiscardChanges();
  void ExitRecorder();

 protected:
  void OnOpenFile();
  void OnSaveStudent();
  void OnSaveMaster();
  void OnCloseFile();
  void OnSendToFramework();
  void OnExitButton();
  void OnSysCommand(UINT command, LPARAM lParam);
  // The classroom's quit: run now, or kept while a box, a file dialog or another exit holds it.
  void OnRemoteExit();
  // Posts the kept quit once nothing holds it any more.
  void RunKeptQuit();
  // NOTIFY_SAVED from a current track.
  void OnTrackSaved(CSoundDocument* sender);
  // Picks the path of a save in the save dialog; false when cancelled or when the dialog could not
  // give a path (the user is told why).
  bool ChooseSavePath(CSoundDocument* track, std::wstring* path);
  // The folder of a save's path, made when missing; when it cannot be, the save does not start and
  // the user is told (when `tell`).
  bool MakeSaveFolder(const std::wstring& path, bool tell);
  bool StartTrackSave(CSoundDocument* track, const std::wstring& path, const std::wstring& backup = L"");
  // Opening the chosen path after AskDiscardChanges and the dialog or the drop.
  void OpenChosenFile(const wchar_t* buffer, size_t units);
  void StartStationSave();
  void WaitForStudentTake();
  bool TrackBusy(const CSoundDocument* track) const;
  bool SavesRunning() const;
  // True (and logged) when a file operation must not start now.
  bool FileOperationRefused(const char* what, bool studentToo) const;
  bool m_exitRunning = false;     // the exit's questions are up
  bool m_fileDialogUp = false;    // an open or save dialog of ours is up (no second one opens)
  bool m_exitSaveFailed = false;  // a save ended badly since the exit began
  bool m_quitKept = false;        // a classroom quit arrived while it could not run
  // The Master's file of a station's automatic save: the exit resets the Master, and a retry after
  // a failed save still names the Student's file after the lesson.
  std::wstring m_autoSaveMasterPath;

  // Classroom messages (MainDlgRemote.cpp). The lock, the remote busy, the wait pop-up, a
  // running load or save and a box of ours each hold on their own; what is enabled is derived
  // from all of them.
 public:
  // Every button but BUTCLEAR, the file-name field, the LED and both text edits.
  void EnableControls(bool enable);

 protected:
  LRESULT OnRemoteButton(WPARAM code, LPARAM value);
  LRESULT OnRemoteCommand(WPARAM code, LPARAM value);
  LRESULT OnCopyDataRecipients(WPARAM sender, LPARAM data);
  LRESULT OnSetLevel(WPARAM which, LPARAM level);
  LRESULT OnEnableChanged(WPARAM enabled, LPARAM);
  void OnRemoteLock(HWND peer);
  void OnRemoteUnlock(LPARAM value);
  void ShowRemoteWait();
  void HideRemoteWait();
  void SetRemotePosition(CSoundDocument* track, LPARAM value);
  void SetRemoteLevel(CGraphicSlider& slider, LPARAM level);
  void ShowSendFileButtons(bool show);
  // True (and logged) when a remote press must not reach the tracks now.
  bool RemotePressRefused(WPARAM code, LPARAM value) const;
  void ApplyEnableState();
  bool m_remoteBusy = false;  // REMOTE_BUSY until REMOTE_IDLE
  bool m_remoteWait = false;  // the wait pop-up shown by the controller
  bool m_lockBoxUp = false;   // the lock's message box is up

  DECLARE_MESSAGE_MAP()

 private:
  CAppData* appData_;
};
