#include "app/main/MainControls.h"

#include "app/res/resource.h"

const MainControl kMainControls[] = {
    {IDC_BUTEXIT, L"BUTEXIT", nullptr, 0},
    {IDC_BUTPREVCHUNK, L"BUTPREVCHUNK", nullptr, 0},
    {IDC_BUTNEXTCHUNK, L"BUTNEXTCHUNK", nullptr, 0},
    {IDC_BUTPREV, L"BUTPREV", nullptr, 0},
    {IDC_BUTNEXTB, L"BUTNEXTB", L"During recording, insert a bookmark on the fly", 16},
    {IDC_BUTPLAY, L"BUTPLAY", nullptr, 0},
    {IDC_BUTREC, L"BUTREC", nullptr, 0},
    {IDC_BUTPAUSE, L"BUTPAUSE", nullptr, 0},
    {IDC_BUTREPEAT, L"BUTREPEAT", L"Continuous comparison", 12},
    {IDC_BUTSTOP, L"BUTSTOP", nullptr, 0},
    {IDC_BUTCLEAR, L"BUTCLEAR", nullptr, 0},
    {IDC_MBUTPREV, L"MBUTPREV", nullptr, 0},
    {IDC_MBUTNEXT, L"MBUTNEXT", nullptr, 0},
    {IDC_MBUTPLAY, L"MBUTPLAY", nullptr, 0},
    // Master pause: a command without a control in the template; binding it fails quietly.
    {IDC_MBUTPAUSE, L"MBUTPAUSE", nullptr, 0},
    {IDC_MBUTSTOP, L"MBUTSTOP", nullptr, 0},
    {IDC_MBUTERASE, L"MBUTERASE", L"Delete audio of selected range", 8},
    {IDC_HBUTPLAYPLAY, L"HBUTPLAYPLAY", L"Sequential playback\nRight click to next", 6},
    {IDC_HBUTPLAYREC, L"HBUTPLAYREC", L"Sequential recording\nRight click to next", 5},
    {IDC_VBUTPLAYPLAY, L"VBUTPLAYPLAY", L"Simultaneous playback\nRight click to next", 4},
    {IDC_VBUTPLAYREC, L"VBUTPLAYREC", L"Simultaneous recording\nRight click to next", 3},
    {IDC_BUTOPENWAV, L"BUTOPENWAV",
     L"Load file on Master track\nRight side - Load a file on Master track from Internet", 1},
    {IDC_BUTSAVEWAV, L"BUTSAVEWAV", L"Save Student track", 2},
    // Hidden in the template: its hint is never registered.
    {IDC_BUTCLOSEWAV, L"BUTCLOSEWAV", L"Close master file", 11},
    {IDC_BUTSENDWAV, L"BUTSENDWAV", nullptr, 0},
    {IDC_BUTMINUS, L"BUTMINUS", nullptr, 0},
    {IDC_BUTPLUS, L"BUTPLUS", nullptr, 0},
    {IDC_BUTCUT, L"BUTCUT", nullptr, 0},
    {IDC_BUTINSERTBM, L"BUTINSERTBM",
     L"Insert bookmark in clicked position\nRight click to toggle all bookmarks ON/OFF", 9},
    {IDC_BUTSAVEBM, L"BUTSAVEBM", L"Save all changes of master track", 10},
    {IDC_BUTREMOVEBM, L"BUTREMOVEBM", L"Remove the bookmark you stopped in", 7},
    // Hidden in the template as well.
    {IDC_BUTMIXER, L"BUTMIXER", L"Recording level", 13},
    {IDC_BUTMINIMIZE, L"BUTMINIMIZE", nullptr, 0},
    // Not buttons.
    {IDC_INSLIDER, nullptr, L"Input level", 14},
    {IDC_OUTSLIDER, nullptr, L"Volume level", 15},
    {IDC_MASTERTEXT, nullptr, L"Master text", 17},
    {IDC_STUDENTTEXT, nullptr, L"Student text", 18},
};
const size_t kMainControlCount = sizeof kMainControls / sizeof kMainControls[0];

const MainControl* FindMainControl(UINT id) {
  for (const MainControl& c : kMainControls)
    if (c.id == id) return &c;
  return nullptr;
}

void HintRegistrationOrder(const MainControl* out[kHintCount]) {
  for (size_t i = 0; i < kHintCount; ++i) out[i] = nullptr;
  for (const MainControl& c : kMainControls)
    if (c.hintOrder >= 1 && static_cast<size_t>(c.hintOrder) <= kHintCount) out[c.hintOrder - 1] = &c;
}
