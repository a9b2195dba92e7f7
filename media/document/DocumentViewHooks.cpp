// Call points that belong to the waveform window and to the sound-file loader. Until those are
// built, a redraw only remembers the view it was asked for and a chunk of a loaded source WAV
// cannot be read. The waveform and loader code take these definitions over.
#include "media/document/SoundDocument.h"

void CSoundDocument::RedrawWaveform(uint32_t viewStart, uint32_t framesPerPixel_) {
  viewStartFrame = viewStart;
  framesPerPixel = framesPerPixel_;
}

void CSoundDocument::DrawSelectionAndCursor(HDC) {}

bool CSoundDocument::ReadSourceFrames(CChunkInfo*) { return false; }
