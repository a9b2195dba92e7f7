// The chunk number: digits taken from a strip of ten glyphs, drawn over the parent's skin.
#pragma once

#include "mfc/CDC.h"
#include "mfc/CStatic.h"

class CStaticLedNumber : public CStatic {
  DECLARE_DYNAMIC(CStaticLedNumber)
 public:
  CStaticLedNumber() = default;

  // Takes the strip (ten glyphs 0..9 side by side): premultiplies it, selects it into the digit
  // DC and sets the digit size. Null leaves the control without a strip (it draws nothing).
  void SetDigitStrip(HBITMAP strip);
  void DrawItem(LPDRAWITEMSTRUCT item) override;
  // The value drawn: clamped to what the digit places can show (0 .. 10^digits - 1).
  int ShownValue() const;

  int m_x = 0, m_y = 0, m_cx = 0, m_cy = 0;  // control rectangle in the parent, refreshed at every draw
  HBITMAP m_strip = nullptr;
  CDC m_digitDC;
  HDC m_backdropDC = nullptr;
  int m_digitWidth = 0;
  int m_digitHeight = 0;
  int m_value = 0;
  int m_digits = 2;
};
