// The skinned controls drawn for real under Xvfb: screen pixels compared with the faces, the
// skin and the digit strip composited the way AlphaBlend and TransparentBlt must do it.
#include <gtest/gtest.h>

#include <windows.h>
#include <commctrl.h>

#include <string>

#include "app/controls/tests/ScreenCapture.h"
#include "app/controls/tests/SkinTestDialog.h"
#include "common/SharedHelpers.h"

namespace {

HBITMAP LoadFace(const std::wstring& name) {
  return static_cast<HBITMAP>(LoadImageW(GetModuleHandleW(nullptr), name.c_str(), IMAGE_BITMAP, 0, 0,
                                         LR_CREATEDIBSECTION | LR_VGACOLOR));
}

class SkinnedControls : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(dlg.Create());
    PumpUntilSettled(dlg.m_hWnd);
    skin = CPixels::FromBitmap(dlg.skin);
    ASSERT_EQ(skin.width, 516);
  }

  RECT ScreenRect(UINT id) {
    RECT r = {};
    GetWindowRect(GetDlgItem(dlg.m_hWnd, static_cast<int>(id)), &r);
    return r;
  }

  void Redraw(UINT id) {
    HWND h = GetDlgItem(dlg.m_hWnd, static_cast<int>(id));
    InvalidateRect(h, nullptr, TRUE);
    UpdateWindow(h);
    PumpUntilSettled(dlg.m_hWnd);
  }

  // Pixels of the control that differ from `face` drawn over the skin (keyed: the key shows skin).
  int Mismatches(UINT id, const std::wstring& faceName, bool* sawPartialAlpha = nullptr) {
    HBITMAP face = LoadFace(faceName);
    bool alpha = BitmapHasAlpha(face);
    if (alpha) PremultiplyBitmapAlpha(face);
    CPixels f = CPixels::FromBitmap(face);
    DeleteObject(face);
    RECT r = ScreenRect(id);
    CPixels screen = CPixels::FromScreen(r);
    EXPECT_EQ(screen.width, f.width) << "button sized to its face";
    Rgba key = f.At(0, 0);
    int bad = 0;
    for (int y = 0; y < f.height && y < screen.height; ++y)
      for (int x = 0; x < f.width && x < screen.width; ++x) {
        Rgba s = f.At(x, y), under = skin.At(r.left + x, r.top + y), want;
        if (alpha)
          want = BlendOver(s, under);
        else
          want = Near(s, key, 0) ? under : s;
        if (sawPartialAlpha && alpha && s.a > 0 && s.a < 255) *sawPartialAlpha = true;
        if (!Near(screen.At(x, y), want, 4)) ++bad;
      }
    return bad;
  }

  CSkinTestDlg dlg;
  CPixels skin;
};

TEST_F(SkinnedControls, AlphaFaceIsBlendedOverTheSkinToItsEdges) {
  bool partial = false;
  EXPECT_EQ(Mismatches(IDC_BUTPLAY, L"BUTPLAYU", &partial), 0);
  EXPECT_TRUE(partial) << "the face's rounded edge must carry partial alpha for this check to mean anything";
  EXPECT_EQ(Mismatches(IDC_BUTOPENWAV, L"BUTOPENWAVU"), 0);
}

TEST_F(SkinnedControls, KeyedFaceShowsTheSkinWhereItsKeyColourIs) {
  for (UINT id : {IDC_BUTPLUS, IDC_BUTEXIT, IDC_BUTPREVCHUNK}) {
    CTransparentButton* b = dlg.Button(id);
    EXPECT_FALSE(b->m_normalHasAlpha);
    wchar_t stem[64];
    b->GetWindowText(stem, 64);
    EXPECT_EQ(Mismatches(id, std::wstring(stem) + L"U"), 0) << stem;
    CPixels screen = CPixels::FromScreen(ScreenRect(id));
    int magenta = 0;
    for (int y = 0; y < screen.height; ++y)
      for (int x = 0; x < screen.width; ++x) magenta += Near(screen.At(x, y), {255, 0, 255, 255}, 30);
    EXPECT_EQ(magenta, 0) << stem;
  }
}

TEST_F(SkinnedControls, FaceFollowsPressedLookAndHeldState) {
  struct Case {
    bool pressedLook, held;
    const wchar_t* face;
  } cases[] = {{false, false, L"BUTRECU"},
               {false, true, L"BUTRECD"},
               {true, false, L"BUTRECD"},
               {true, true, L"BUTRECU"}};
  CTransparentButton* rec = dlg.Button(IDC_BUTREC);
  for (const Case& c : cases) {
    if ((rec->m_pressedLook != 0) != c.pressedLook) rec->TogglePressedLook();
    rec->SendMessage(BM_SETSTATE, c.held, 0);
    Redraw(IDC_BUTREC);
    EXPECT_EQ(Mismatches(IDC_BUTREC, c.face), 0) << "look " << c.pressedLook << " held " << c.held;
  }
}

// Whether a face is blended or keyed is decided for each face: a button may hold one of each.
TEST_F(SkinnedControls, FacesOfDifferentKindsAreEachDrawnTheirOwnWay) {
  CTransparentButton* b = dlg.Button(IDC_BUTREC);
  b->SetWindowText(L"MIXED");
  ASSERT_TRUE(b->LoadButtonFaces(IDC_BUTREC, &dlg));
  EXPECT_TRUE(b->m_normalHasAlpha);
  EXPECT_FALSE(b->m_pressedHasAlpha);
  struct Case {
    bool held;
    const wchar_t* face;
  } cases[] = {{false, L"MIXEDU"}, {true, L"MIXEDD"}, {false, L"MIXEDU"}};
  for (const Case& c : cases) {
    b->SendMessage(BM_SETSTATE, c.held, 0);
    Redraw(IDC_BUTREC);
    EXPECT_EQ(Mismatches(IDC_BUTREC, c.face), 0) << "held " << c.held;
  }
}

TEST_F(SkinnedControls, PressedLookSetBeforeLoadingShowsTheDFaceAtRest) {
  CTransparentButton* b = dlg.Button(IDC_BUTINSERTBM);
  b->m_pressedLook = 1;
  ASSERT_TRUE(b->LoadButtonFaces(IDC_BUTINSERTBM, &dlg));
  Redraw(IDC_BUTINSERTBM);
  EXPECT_EQ(Mismatches(IDC_BUTINSERTBM, L"BUTINSERTBMD"), 0);
}

TEST_F(SkinnedControls, LedDrawsEveryPlaceWithLeadingZerosAndClamps) {
  HBITMAP strip = LoadFace(L"LEDIMAGES");
  PremultiplyBitmapAlpha(strip);
  CPixels glyphs = CPixels::FromBitmap(strip);
  DeleteObject(strip);
  struct Case {
    int value, tens, ones;
  } cases[] = {{7, 0, 7}, {42, 4, 2}, {99, 9, 9}, {123, 9, 9}, {-5, 0, 0}};
  RECT r = ScreenRect(IDC_LEDNUMBER);
  for (const Case& c : cases) {
    dlg.led.m_value = c.value;
    Redraw(IDC_LEDNUMBER);
    CPixels screen = CPixels::FromScreen(r);
    int shown[2];
    for (int place = 0; place < 2; ++place) {
      int best = -1, bestBad = 1 << 30;
      for (int d = 0; d < 10; ++d) {
        int bad = 0;
        for (int y = 0; y < screen.height && y < 40; ++y)
          for (int x = 0; x < 32 && place * 32 + x < screen.width; ++x) {
            Rgba want = BlendOver(glyphs.At(d * 32 + x, y), skin.At(r.left + place * 32 + x, r.top + y));
            bad += !Near(screen.At(place * 32 + x, y), want, 4);
          }
        if (bad < bestBad) best = d, bestBad = bad;
      }
      EXPECT_EQ(bestBad, 0) << "value " << c.value << " place " << place;
      shown[place] = best;
    }
    EXPECT_EQ(shown[0], c.tens) << "value " << c.value;
    EXPECT_EQ(shown[1], c.ones) << "value " << c.value;
  }
}

TEST_F(SkinnedControls, FaceChangesKeepTheGdiObjectCountFlat) {
  CTransparentButton* pause = dlg.Button(IDC_BUTPAUSE);
  auto change = [&](int i) {
    pause->SetWindowText(i % 2 ? L"BUTPAUSEREC" : L"BUTPAUSE");
    ASSERT_TRUE(pause->LoadButtonFaces(IDC_BUTPAUSE, &dlg));
    if (i % 7 == 0) pause->TogglePressedLook();
    pause->Invalidate(TRUE);
    pause->UpdateWindow();
  };
  for (int i = 0; i < 4; ++i) change(i);
  int before = CountGdiObjects();
  ASSERT_GT(before, 0);
  HBITMAP probe[10];
  for (HBITMAP& p : probe) p = CreateBitmap(4, 4, 1, 32, nullptr);
  ASSERT_EQ(CountGdiObjects(), before + 10) << "the counter must see new objects";
  for (HBITMAP p : probe) DeleteObject(p);

  for (int i = 4; i < 204; ++i) change(i);
  EXPECT_EQ(CountGdiObjects(), before);

  // The same stem again is no reload: the faces stay the very same objects.
  HBITMAP normal = pause->m_normalFace;
  ASSERT_TRUE(pause->LoadButtonFaces(IDC_BUTPAUSE, &dlg));
  EXPECT_EQ(pause->m_normalFace, normal);
}

TEST_F(SkinnedControls, MissingFacesLeaveTheButtonBlankAndUnbound) {
  EXPECT_FALSE(dlg.Button(IDC_MBUTPAUSE)->LoadButtonFaces(IDC_MBUTPAUSE, &dlg)) << "1033 has no control";
  EXPECT_EQ(dlg.Button(IDC_MBUTPAUSE)->m_hWnd, nullptr);
  CTransparentButton* cut = dlg.Button(IDC_BUTCUT);
  cut->SetWindowText(L"NOSUCHFACE");
  EXPECT_FALSE(cut->LoadButtonFaces(IDC_BUTCUT, &dlg));
  EXPECT_EQ(cut->m_normalFace, nullptr);
  cut->ShowWindow(SW_SHOW);
  Redraw(IDC_BUTCUT);  // draws nothing, and must not fail
}

TEST_F(SkinnedControls, RightClickNotifiesTheParent) {
  dlg.Button(IDC_BUTINSERTBM)->SendMessage(WM_RBUTTONDOWN, MK_RBUTTON, MAKELPARAM(3, 3));
  ASSERT_EQ(dlg.notifyCodes.size(), 1u);
  EXPECT_EQ(dlg.notifyCodes[0], static_cast<UINT>(NM_RCLICK));
  EXPECT_EQ(dlg.lastNotifyId, static_cast<UINT>(IDC_BUTINSERTBM));
}

TEST_F(SkinnedControls, ControlsSitWhereTheTemplateMeansOnWindows) {
  struct Case {
    UINT id;
    int x, y;
  } cases[] = {
      {IDC_BUTPLAY, 113, 416}, {IDC_BUTOPENWAV, 9, 46}, {IDC_LEDNUMBER, 224, 192}, {IDC_MASTERTEXT, 9, 78}};
  for (const Case& c : cases) {
    RECT r = ScreenRect(c.id);
    EXPECT_EQ(r.left, c.x) << c.id;
    EXPECT_EQ(r.top, c.y) << c.id;
  }
  RECT text = ScreenRect(IDC_MASTERTEXT);
  EXPECT_EQ(text.right - text.left, 497);  // 331 units
  EXPECT_EQ(text.bottom - text.top, 33);   // 20 units
}

// Takes the posted WM_VSCROLL (or other message) the slider sent to the dialog.
bool TakePosted(HWND dialog, UINT message, MSG* out) {
  return PeekMessageW(out, dialog, message, message, PM_REMOVE) != FALSE;
}

TEST_F(SkinnedControls, SliderDragStopsAtItsEndsAndReportsPercent) {
  CGraphicSlider& s = dlg.outSlider;
  ASSERT_EQ(s.m_width, 24);
  ASSERT_GT(s.Travel(), 0);
  struct Step {
    UINT message;
    WPARAM flags;
    int y;
    int code;
    int percent;
    UINT tip;
  } steps[] = {
      {WM_LBUTTONDOWN, MK_LBUTTON, -40, SB_THUMBTRACK, 100, static_cast<UINT>(s.Travel())},
      {WM_MOUSEMOVE, MK_LBUTTON, 5000, SB_THUMBTRACK, 0, 0},
      {WM_MOUSEMOVE, MK_LBUTTON, s.m_height / 2, SB_THUMBTRACK, -1,
       static_cast<UINT>(s.m_height - s.m_tipHeight / 2 - s.m_height / 2 - 7)},
      {WM_LBUTTONUP, 0, 0, SB_ENDSCROLL, -1,
       static_cast<UINT>(s.m_height - s.m_tipHeight / 2 - s.m_height / 2 - 7)},
  };
  for (const Step& st : steps) {
    s.SendMessage(st.message, st.flags, MAKELPARAM(5, st.y));
    MSG m;
    ASSERT_TRUE(TakePosted(dlg.m_hWnd, WM_VSCROLL, &m)) << st.message;
    EXPECT_EQ(LOWORD(m.wParam), st.code);
    int want = st.percent >= 0 ? st.percent : static_cast<int>(float(st.tip) / float(s.Travel()) * 100.0f);
    EXPECT_EQ(HIWORD(m.wParam), want) << st.message << " y " << st.y;
    EXPECT_EQ(reinterpret_cast<HWND>(m.lParam), s.m_hWnd);
    EXPECT_EQ(s.m_tipPosition, st.tip);
  }
  s.SendMessage(WM_MOUSEMOVE, 0, MAKELPARAM(5, 1));  // no button held: the tip stays
  MSG m;
  EXPECT_FALSE(TakePosted(dlg.m_hWnd, WM_VSCROLL, &m));

  s.SendMessage(WM_RBUTTONDOWN, MK_RBUTTON, MAKELPARAM(7, 30));
  ASSERT_TRUE(TakePosted(dlg.m_hWnd, WM_CONTEXTMENU, &m));
  EXPECT_EQ(reinterpret_cast<HWND>(m.wParam), s.m_hWnd);
  EXPECT_EQ(m.lParam, MAKELPARAM(7, 30));
}

TEST_F(SkinnedControls, SliderWithoutTravelReportsZero) {
  CGraphicSlider& s = dlg.inSlider;
  s.m_height = s.m_tipHeight + 13;  // a body no taller than the tip's margins
  s.SetThumbFromY(0);
  MSG m;
  ASSERT_TRUE(TakePosted(dlg.m_hWnd, WM_VSCROLL, &m));
  EXPECT_EQ(HIWORD(m.wParam), 0);
  EXPECT_EQ(s.m_tipPosition, 0u);
}

TEST_F(SkinnedControls, SliderTipIsDrawnAtItsPosition) {
  // The tip's middle line is the darkest row of the tip; it must sit where the position puts it.
  CGraphicSlider& s = dlg.outSlider;
  for (UINT tip : {0u, static_cast<UINT>(s.Travel())}) {
    s.m_tipPosition = tip;
    Redraw(IDC_OUTSLIDER);
    CPixels screen = CPixels::FromScreen(ScreenRect(IDC_OUTSLIDER));
    int top = s.m_height - static_cast<int>(tip) - s.m_tipHeight - 7;
    Rgba inTip = screen.At(s.m_width / 2 - 6, top + 3);
    Rgba aboveTip = screen.At(s.m_width / 2 - 6, top - 3 >= 0 ? top - 3 : top + s.m_tipHeight + 3);
    EXPECT_GT(inTip.r + inTip.g + inTip.b, 450) << "light tip at " << tip;
    EXPECT_LT(aboveTip.r + aboveTip.g + aboveTip.b, 300) << "dark body next to tip at " << tip;
  }
}

}  // namespace

namespace {

struct FaceInfo {
  bool loaded;
  SIZE size;
  bool alpha;
};

FaceInfo Inspect(const std::wstring& name) {
  HBITMAP b = LoadFace(name);
  FaceInfo info = {b != nullptr, {0, 0}, false};
  if (b) {
    BITMAP bm = {};
    GetObjectW(b, sizeof bm, &bm);
    info.size = {bm.bmWidth, bm.bmHeight};
    info.alpha = BitmapHasAlpha(b);
    DeleteObject(b);
  }
  return info;
}

TEST_F(SkinnedControls, EveryStemHasTwoFacesOfOneKindAtItsTemplateSize) {
  struct Extra {
    const wchar_t* stem;
    const wchar_t* sizeOf;
  } extras[] = {{L"BUTNEXT", L"BUTNEXTB"},
                {L"BUTPAUSEREC", L"BUTPAUSE"},
                {L"BUTRECORDSTOP", L"BUTREC"},
                {L"HBUTPLAYRECSTOP", L"HBUTPLAYREC"},
                {L"VBUTPLAYRECSTOP", L"VBUTPLAYREC"},
                {L"MBUTPAUSE", L"MBUTPLAY"}};
  int checked = 0;
  for (size_t i = 0; i < kSkinnedButtonCount; ++i) {
    CTransparentButton* b = dlg.Button(kMainControls[i].id);
    if (!b->m_hWnd) continue;
    wchar_t stem[64];
    b->GetWindowText(stem, 64);
    RECT r;
    b->GetWindowRect(&r);
    FaceInfo up = Inspect(std::wstring(stem) + L"U"), down = Inspect(std::wstring(stem) + L"D");
    ASSERT_TRUE(up.loaded && down.loaded) << stem;
    EXPECT_EQ(up.alpha, down.alpha) << stem;
    EXPECT_EQ(up.size.cx, down.size.cx) << stem;
    EXPECT_EQ(up.size.cy, down.size.cy) << stem;
    EXPECT_EQ(up.size.cy, r.bottom - r.top) << stem;
    EXPECT_LE(r.right, 516) << stem << " stays on the skin";
    ++checked;
  }
  EXPECT_EQ(checked, 32);  // every button of the template
  for (const Extra& e : extras) {
    FaceInfo base = Inspect(std::wstring(e.sizeOf) + L"U");
    for (const wchar_t* suffix : {L"U", L"D"}) {
      FaceInfo f = Inspect(std::wstring(e.stem) + suffix);
      ASSERT_TRUE(f.loaded) << e.stem << suffix;
      EXPECT_EQ(f.size.cx, base.size.cx) << e.stem;
      EXPECT_EQ(f.size.cy, base.size.cy) << e.stem;
      EXPECT_EQ(f.alpha, base.alpha) << e.stem;
    }
  }
}

TEST_F(SkinnedControls, SkinStripSliderAndIconArtIsThere) {
  EXPECT_EQ(skin.height, 470);
  int notOpaque = 0;
  for (uint32_t v : skin.px) notOpaque += (v >> 24) != 255;
  EXPECT_EQ(notOpaque, 0) << "the skin is opaque everywhere";
  FaceInfo strip = Inspect(L"LEDIMAGES");
  EXPECT_EQ(strip.size.cx, 320);
  EXPECT_EQ(strip.size.cy, 40);
  EXPECT_TRUE(strip.alpha);
  EXPECT_TRUE(Inspect(L"SLIDERBODY").alpha);
  EXPECT_TRUE(Inspect(L"SLIDERTIP").alpha);
  HICON icon = static_cast<HICON>(
      LoadImageW(GetModuleHandleW(nullptr), MAKEINTRESOURCEW(IDI_MAIN_ICON), IMAGE_ICON, 32, 32, 0));
  EXPECT_NE(icon, nullptr);
  if (icon) DestroyIcon(icon);
}

}  // namespace
