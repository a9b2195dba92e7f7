// Reads back what is on the screen, and the pixels of bitmaps, for marker-pixel checks.
#pragma once

#include <windows.h>

#include <cstdint>
#include <vector>

struct Rgba {
  int r, g, b, a;
};

class CPixels {
 public:
  // The screen area (screen coordinates).
  static CPixels FromScreen(const RECT& area);
  // A bitmap's pixels, top row first (32-bit: with alpha; others: alpha 255).
  static CPixels FromBitmap(HBITMAP bitmap);
  int width = 0, height = 0;
  std::vector<uint32_t> px;  // 0xAARRGGBB
  Rgba At(int x, int y) const;
};

// AlphaBlend's source-over of a premultiplied pixel onto an opaque one.
Rgba BlendOver(Rgba premultipliedSource, Rgba destination);
bool Near(Rgba a, Rgba b, int tolerance);
// GDI objects of this process: the system's count, else the live handles of Wine's table.
int CountGdiObjects();
